// Real optical drives as the device manager sees them, from a fake sysfs tree,
// /dev folder and mountinfo file; udev events fed to the source directly.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "platform/file.h"
#include "platform/sr_device_source.h"
#include "platform/system_device_manager.h"
#include "tests/emulator/sim_fixture.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;

const std::string kClass = "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

void Put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class FakeSystem {
 public:
  FakeSystem() : root_(emulator::testing::FreshDir("sysfs")) {}

  // A drive srN whose SCSI device lies at devices/<place>.
  void AddDrive(uint32_t n, const std::string& place, const std::string& vendor, const std::string& model,
                const std::string& serial, const std::string& sg) {
    const fs::path device = sys() / "devices" / place;
    Put(device / "vendor", vendor + "\n");
    Put(device / "model", model + "\n");
    if (!serial.empty()) {
      std::string page = {0x05, static_cast<char>(0x80), 0x00, static_cast<char>(serial.size())};
      Put(device / "vpd_pg80", page + serial);
    }
    if (!sg.empty()) fs::create_directories(device / "scsi_generic" / sg);
    const fs::path block = sys() / "class" / "block" / ("sr" + std::to_string(n));
    fs::create_directories(block);
    fs::create_symlink(device, block / "device");
  }
  void MoveDrive(uint32_t n, const std::string& place) {
    const fs::path link = sys() / "class" / "block" / ("sr" + std::to_string(n)) / "device";
    const fs::path old = fs::read_symlink(link);
    fs::create_directories((sys() / "devices" / place).parent_path());
    fs::rename(old, sys() / "devices" / place);
    fs::remove(link);
    fs::create_symlink(sys() / "devices" / place, link);
  }

  SystemDeviceManagerOptions Options() const {
    SystemDeviceManagerOptions o;
    o.run_dir = root_ / "run";
    o.sysfs_root = sys();
    o.dev_root = dev();
    o.mountinfo = root_ / "mountinfo";
    o.use_udev = false;
    o.simulated_units = false;
    return o;
  }
  fs::path sys() const { return root_ / "sys"; }
  fs::path dev() const { return root_ / "dev"; }
  fs::path root() const { return root_; }

 private:
  fs::path root_;
};

// Four drives and a few things that are not drives.
void Populate(FakeSystem& s) {
  s.AddDrive(0, "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0", "KORRINDA", "QX V1A0         ",
             "KQX10000042", "sg3");
  s.AddDrive(10, "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host7/target7:0:0/7:0:0:0", "norve   ",
             "qx v1a0         ", "", "sg4");
  s.AddDrive(2, "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "TSSTcorp", "CDDVDW SH-224DB ", "R8RK6GCDB",
             "sg1");
  s.AddDrive(1, "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "HL-DT-ST", "DVDRAM GH24NSD1 ", "", "sg0");
  fs::create_directories(s.sys() / "class" / "block" / "sr3");  // no device behind it
  fs::create_directories(s.sys() / "class" / "block" / "sda");
  fs::create_directories(s.sys() / "class" / "block" / "srx");
}

TEST(SrDrives, EnumeratedInNumberOrderWithStableNames) {
  FakeSystem s;
  Populate(s);
  std::unique_ptr<DeviceManager> manager;
  ASSERT_EQ(CreateSystemDeviceManager(s.Options(), &manager), ERROR_SUCCESS);
  std::vector<std::string> paths;
  ASSERT_EQ(manager->EnumerateOpticalDevices(&paths), ERROR_SUCCESS);
  ASSERT_EQ(paths, (std::vector<std::string>{
                       "\\\\?\\USBSTOR#CdRom&Ven_KORRINDA&Prod_QX_V1A0#KQX10000042" + kClass,
                       "\\\\?\\SCSI#CdRom&Ven_HL-DT-ST&Prod_DVDRAM_GH24NSD1#0&0&0&0" + kClass,
                       "\\\\?\\SCSI#CdRom&Ven_TSSTcorp&Prod_CDDVDW_SH-224DB#R8RK6GCDB" + kClass,
                       "\\\\?\\USBSTOR#CdRom&Ven_norve&Prod_qx_v1a0#7&0&0&0" + kClass,
                   }));
  std::vector<std::string> volumes;
  ASSERT_EQ(manager->EnumerateVolumes(&volumes), ERROR_SUCCESS);
  ASSERT_EQ(volumes.size(), 4u);
  const char* names[] = {"\\Device\\CdRom0", "\\Device\\CdRom1", "\\Device\\CdRom2", "\\Device\\CdRom10"};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(volumes[i].size(), 49u);
    std::string name;
    ASSERT_EQ(manager->QueryVolumeDeviceName(volumes[i].substr(4, 44), &name), ERROR_SUCCESS);
    EXPECT_EQ(name, names[i]);
  }
  // Only the two archive units (any case of their identity) have volume files.
  std::string text;
  ASSERT_EQ(ReadWholeFile(s.root() / "run" / "volumes" / volumes[0].substr(4, 44), &text), ERROR_SUCCESS);
  EXPECT_EQ(text, (s.dev() / "sr0").string() + "\n" + (s.dev() / "sg3").string() + "\n");
  ASSERT_EQ(ReadWholeFile(s.root() / "run" / "volumes" / volumes[3].substr(4, 44), &text), ERROR_SUCCESS);
  EXPECT_EQ(text, (s.dev() / "sr10").string() + "\n" + (s.dev() / "sg4").string() + "\n");
  EXPECT_FALSE(fs::exists(s.root() / "run" / "volumes" / volumes[1].substr(4, 44)));
  EXPECT_FALSE(fs::exists(s.root() / "run" / "volumes" / volumes[2].substr(4, 44)));

  // A drive with a serial keeps its volume when it moves to another port; one
  // without a serial is known by its place.
  manager.reset();
  EXPECT_FALSE(fs::exists(s.root() / "run" / "volumes" / volumes[0].substr(4, 44)));
  s.MoveDrive(0, "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host8/target8:0:0/8:0:0:0");
  s.MoveDrive(1, "pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0");
  ASSERT_EQ(CreateSystemDeviceManager(s.Options(), &manager), ERROR_SUCCESS);
  std::vector<std::string> again;
  ASSERT_EQ(manager->EnumerateVolumes(&again), ERROR_SUCCESS);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(again[0], volumes[0]);
  EXPECT_NE(again[1], volumes[1]);
  EXPECT_EQ(again[2], volumes[2]);
  EXPECT_EQ(again[3], volumes[3]);
}

TEST(SrDrives, MountPointsComeFromMountinfoAndOnlyThoseAreUnmounted) {
  FakeSystem s;
  Populate(s);
  const fs::path place = s.root() / "mnt ten";
  fs::create_directories(place);
  std::string escaped = place.string();
  escaped.replace(escaped.find(' '), 1, "\\040");
  Put(s.root() / "mountinfo",
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "36 22 11:1 / /media/user/DISC\\040ONE ro,nosuid - udf " + (s.dev() / "sr1").string() + " ro,utf8\n"
      "37 22 11:1 / /mnt/second rw shared:5 master:2 - udf " + (s.dev() / "sr1").string() + " ro\n"
      "38 22 11:10 / " + escaped + " rw - udf " + (s.dev() / "sr10").string() + " rw\n"
      "39 22 11:1 / /mnt/broken\n"
      "40 22 11:11 / /mnt/other rw - udf " + (s.dev() / "sr11").string() + " rw\n");
  std::unique_ptr<DeviceManager> manager;
  ASSERT_EQ(CreateSystemDeviceManager(s.Options(), &manager), ERROR_SUCCESS);
  std::vector<std::string> volumes, points;
  ASSERT_EQ(manager->EnumerateVolumes(&volumes), ERROR_SUCCESS);
  ASSERT_EQ(manager->GetVolumeMountPoints(volumes[1], &points), ERROR_SUCCESS);
  EXPECT_EQ(points, (std::vector<std::string>{"/media/user/DISC ONE", "/mnt/second"}));
  ASSERT_EQ(manager->GetVolumeMountPoints(volumes[0], &points), ERROR_SUCCESS);
  EXPECT_TRUE(points.empty());
  ASSERT_EQ(manager->GetVolumeMountPoints(volumes[3].substr(4, 44), &points), ERROR_SUCCESS);
  EXPECT_EQ(points, std::vector<std::string>{place.string()});
  EXPECT_EQ(manager->GetVolumeMountPoints("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", &points),
            ERROR_FILE_NOT_FOUND);

  // Places that are not mount points of our drives are never unmounted.
  EXPECT_EQ(manager->DeleteMountPoint("/"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(manager->DeleteMountPoint("/mnt/other"), ERROR_FILE_NOT_FOUND);
  // The fake entry is not really mounted: the system's refusal comes back.
  const Win32Error e = manager->DeleteMountPoint(place.string());
  EXPECT_NE(e, ERROR_SUCCESS);
  EXPECT_NE(e, ERROR_FILE_NOT_FOUND);
}

TEST(SrDrives, MountInfoLines) {
  std::string point, source;
  ASSERT_TRUE(ParseMountInfoLine("36 22 11:0 / /a\\134b\\011c ro shared:1 - udf /dev/sr0 ro", &point, &source));
  EXPECT_EQ(point, "/a\\b\tc");
  EXPECT_EQ(source, "/dev/sr0");
  EXPECT_FALSE(ParseMountInfoLine("36 22 11:0 / /a ro shared:1 udf /dev/sr0 ro", &point, &source));
  EXPECT_FALSE(ParseMountInfoLine("36 22 11:0 / /a ro - udf", &point, &source));
  EXPECT_FALSE(ParseMountInfoLine("", &point, &source));
  // A trailing backslash without three digits stays as it is.
  ASSERT_TRUE(ParseMountInfoLine("1 2 3:4 / /x\\04 rw - udf /dev/sr1 rw", &point, &source));
  EXPECT_EQ(point, "/x\\04");
}

struct RecordingSink : DeviceSourceSink {
  void DeviceArrived(const SourceDevice& d) override { log.push_back("arrived " + d.key + (d.medium ? " medium" : "")); }
  void DeviceRemoved(const std::string& key) override { log.push_back("removed " + key); }
  void MediaChanged(const std::string& key, bool present, const std::vector<fs::path>& files) override {
    log.push_back(std::string(present ? "medium " : "no medium ") + key + " " + std::to_string(files.size()));
  }
  std::vector<std::string> log;
};

TEST(SrDrives, UdevEventsBecomeArrivalsRemovalsAndMediaChanges) {
  FakeSystem s;
  Populate(s);
  SrDeviceSourceOptions o;
  o.sysfs_root = s.sys();
  o.dev_root = s.dev();
  o.mountinfo = s.root() / "mountinfo";
  o.use_udev = false;
  SrDeviceSource source(o);
  RecordingSink sink;
  ASSERT_EQ(source.Start(&sink), ERROR_SUCCESS);
  EXPECT_EQ(sink.log, (std::vector<std::string>{"arrived 0/sr0000000000", "arrived 0/sr0000000001",
                                                "arrived 0/sr0000000002", "arrived 0/sr0000000010"}));
  sink.log.clear();
  const std::map<std::string, std::string> inserted{{"DISK_MEDIA_CHANGE", "1"}, {"ID_CDROM", "1"},
                                                    {"ID_CDROM_MEDIA", "1"}};
  const std::map<std::string, std::string> emptied{{"DISK_MEDIA_CHANGE", "1"}, {"ID_CDROM", "1"}};
  source.HandleUevent("change", "sr0", inserted);
  source.HandleUevent("change", "sr0", inserted);  // nothing new
  source.HandleUevent("change", "sr0", {{"ID_CDROM", "1"}, {"ID_CDROM_MEDIA", "0"}});  // not a media change
  source.HandleUevent("change", "sr0", emptied);
  source.HandleUevent("change", "sr7", inserted);  // unknown drive
  source.HandleUevent("change", "sda", inserted);
  source.HandleUevent("remove", "sr1", {});
  source.HandleUevent("remove", "sr1", {});
  source.HandleUevent("add", "sr1", inserted);
  source.HandleUevent("add", "sr1", inserted);  // already there
  source.HandleUevent("add", "sr3", {{"ID_CDROM", "1"}});  // no device in sysfs
  EXPECT_EQ(sink.log, (std::vector<std::string>{"medium 0/sr0000000000 2", "no medium 0/sr0000000000 2",
                                                "removed 0/sr0000000001", "arrived 0/sr0000000001 medium"}));
}

TEST(SrDrives, IdentityAndNames) {
  EXPECT_TRUE(IsArchiveUnitIdentity("KORRINDA", "QX V1A0         "));
  EXPECT_TRUE(IsArchiveUnitIdentity("korrinda  ", "Qx v1a0"));
  EXPECT_TRUE(IsArchiveUnitIdentity("NORVE   ", "QX V1A0"));
  EXPECT_FALSE(IsArchiveUnitIdentity("KORRINDA", "QX V1A1"));
  EXPECT_FALSE(IsArchiveUnitIdentity("KORRINDA", ""));
  EXPECT_FALSE(IsArchiveUnitIdentity("KORRINDA ", " QX V1A0"));
  EXPECT_EQ(InterfacePathField("DVD RW #1\\x/y&z  "), "DVD_RW__1_x_y_z");
  const std::string g = NameBasedGuid("a");
  ASSERT_EQ(g.size(), 38u);
  EXPECT_EQ(g[15], '3');  // version 3 (name based)
  EXPECT_NE(std::string("89ab").find(g[20]), std::string::npos);
  EXPECT_EQ(g, NameBasedGuid("a"));
  EXPECT_NE(g, NameBasedGuid("b"));
  for (char c : g) EXPECT_FALSE(c >= 'A' && c <= 'Z');
}

}  // namespace
}  // namespace kelva::platform
