#include "service/volume/machine_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace kelva::volume {
namespace {
namespace fs = std::filesystem;

std::string Hex(const MachineIdentity& id) {
  std::string out;
  char buf[3];
  for (uint8_t b : id) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    out += buf;
  }
  return out;
}

platform::MachineSources FullSources() {
  platform::MachineSources s;
  s.board_serial = "MB-1234";
  s.bios_serial = "SYS-42";
  s.enclosure_serial = "Chassis \xc3\xbc";  // u-umlaut: one UTF-16 unit 0x00FC
  s.product_id = "0123456789abcdef0123456789abcdef";
  s.disk.vendor = "ATA     ";
  s.disk.product = "Samsung SSD 870 EVO 1TB ";
  s.disk.revision = "SVT0";
  s.disk.serial = "S1234567890";
  s.disk.start_offset = 2048ull * 512;
  return s;
}

platform::MachineSources OverlongSources() {
  platform::MachineSources s;
  s.board_serial = std::string(40, 'B');  // cut to 31 units
  s.disk.vendor = "VENDORVENDORX";        // cut to 11 characters
  s.disk.product = std::string(50, 'P');
  s.disk.revision = std::string(20, 'R');
  s.disk.serial = std::string(30, 'S');
  return s;
}

// Digests worked out by an independent script that lays out the block from
// the field table (UTF-16LE serials of at most 31 units, ASCII strings cut to
// their field less one, the offset as a little-endian 64-bit value).
TEST(MachineIdentityTest, DigestOfTheSourceBlock) {
  struct Case {
    const char* name;
    platform::MachineSources sources;
    const char* sha256;
  };
  const Case cases[] = {
      {"every source", FullSources(), "c539f87147ce8344a5c5c7fb428239072a95865ddf2260640ff62ad5c8e1c08b"},
      {"overlong values", OverlongSources(), "1a8f22c6bb781eb3bf8985fc301cc27732c5e8358a28d3709fb9208873208185"},
      {"no source at all", {}, "60107be66c9efe4d6aa0a3864f71d60b3800c8d6400daa36c05609d099b5f891"},
  };
  for (const auto& c : cases) {
    MachineIdentity id;
    id.fill(0xFF);
    ASSERT_TRUE(ComputeMachineIdentity(c.sources, &id)) << c.name;
    EXPECT_EQ(Hex(id), c.sha256) << c.name;
  }
}

TEST(MachineIdentityTest, BlockLayout) {
  const auto block = BuildIdentitySourceBlock(FullSources());
  // The non-ASCII serial character lands as one little-endian unit.
  EXPECT_EQ(block[128 + 16], 0xFC);
  EXPECT_EQ(block[128 + 17], 0x00);
  // Padding blanks of the disk's strings are kept as the disk reports them.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[704])), "ATA     ");
  const uint8_t offset[8] = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_TRUE(std::equal(offset, offset + 8, &block[796]));

  // Each string field keeps its terminating zero even when the value is too long.
  const auto cut = BuildIdentitySourceBlock(OverlongSources());
  EXPECT_EQ(cut[62], 0);
  EXPECT_EQ(cut[63], 0);
  EXPECT_EQ(cut[60], 'B');
  EXPECT_EQ(cut[715], 0);
  EXPECT_EQ(cut[714], 'O');  // the vendor is cut to "VENDORVENDO"
}

TEST(MachineIdentityTest, ComputersDifferingOnlyInDiskSerialDiffer) {
  auto a = FullSources();
  auto b = a;
  b.disk.serial = "S1234567891";
  MachineIdentity ia{}, ib{};
  ASSERT_TRUE(ComputeMachineIdentity(a, &ia));
  ASSERT_TRUE(ComputeMachineIdentity(b, &ib));
  EXPECT_NE(ia, ib);
}

TEST(MachineIdentityTest, FailedDigestLeavesTheIdentityUntouched) {
  MachineIdentity id;
  id.fill(0xFF);
  auto failing = [](std::span<const uint8_t>, platform::Sha256Digest*) { return false; };
  EXPECT_FALSE(ComputeMachineIdentity(FullSources(), &id, failing));
  MachineIdentity all_ff;
  all_ff.fill(0xFF);
  EXPECT_EQ(id, all_ff);
}

// A fake sysfs tree in which the test folder's own device number leads, as
// on a real system, through /sys/dev/block to a device-mapper volume built on
// a partition of a SCSI disk.
class MachineSourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kelva-ms-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    sys_ = root_ / "sys";
    system_ = root_ / "system";
    fs::create_directories(system_);
    struct stat st {};
    ASSERT_EQ(::stat(system_.c_str(), &st), 0);
    dev_link_ = sys_ / "dev" / "block" / (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)));
    fs::create_directories(dev_link_.parent_path());
    disk_ = sys_ / "devices" / "pci0" / "host0" / "block" / "sda";
    Write(disk_ / "device" / "vendor", "ATA     \n");
    Write(disk_ / "device" / "model", "Samsung SSD 870 \n");
    Write(disk_ / "device" / "rev", "SVT0\n");
    Write(disk_ / "sda2" / "partition", "2\n");
    Write(disk_ / "sda2" / "start", "1050624\n");
    Write(root_ / "machine-id", "0123456789abcdef0123456789abcdef\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  platform::MachineSourcePaths Paths() const { return {sys_, root_ / "machine-id", system_}; }

  fs::path root_, sys_, system_, dev_link_, disk_;
};

TEST_F(MachineSourcesTest, ReadsThroughAMappedDeviceToItsDisk) {
  const fs::path dm = sys_ / "devices" / "virtual" / "block" / "dm-0";
  fs::create_directories(dm / "slaves");
  fs::create_directory_symlink(disk_ / "sda2", dm / "slaves" / "sda2");
  fs::create_directory_symlink(dm, dev_link_);
  Write(disk_ / "device" / "vpd_pg80", std::string("\x00\x80\x00\x05WD-77", 9));
  Write(sys_ / "class" / "dmi" / "id" / "board_serial", "BRD-9\n");

  const auto s = platform::ReadMachineSources(Paths());
  EXPECT_EQ(s.board_serial, "BRD-9");
  EXPECT_EQ(s.bios_serial, "");  // unreadable sources stay empty
  EXPECT_EQ(s.product_id, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(s.disk.vendor, "ATA     ");
  EXPECT_EQ(s.disk.product, "Samsung SSD 870 ");
  EXPECT_EQ(s.disk.revision, "SVT0");
  EXPECT_EQ(s.disk.serial, "WD-77");
  ASSERT_TRUE(s.disk.start_offset.has_value());
  EXPECT_EQ(*s.disk.start_offset, 1050624ull * 512);
}

TEST_F(MachineSourcesTest, SerialAttributeWinsAndMissingDeviceLeavesDiskEmpty) {
  fs::create_directory_symlink(disk_ / "sda2", dev_link_);
  Write(disk_ / "device" / "serial", "SER-1\n");
  EXPECT_EQ(platform::ReadMachineSources(Paths()).disk.serial, "SER-1");

  fs::remove(dev_link_);  // an overlay root: no block device behind it
  const auto s = platform::ReadMachineSources(Paths());
  EXPECT_EQ(s.disk.vendor, "");
  EXPECT_EQ(s.disk.serial, "");
  EXPECT_FALSE(s.disk.start_offset.has_value());
}

}  // namespace
}  // namespace kelva::volume
