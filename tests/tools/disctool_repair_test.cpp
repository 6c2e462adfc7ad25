// kelva-disctool repair on damaged write-once discs: a magazine disc and an
// image rescued, --dry-run showing what the real run then writes without
// changing a byte, and a second run finding nothing to do.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "service/unit/unit_drive.h"
#include "tests/platform/udf/fs/fs_fixture.h"
#include "tests/service/udf/udf_damage.h"
#include "tests/tools/external_program.h"
#include "tests/tools/disctool_runner.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {
namespace {

namespace fs = std::filesystem;

using testing::Result;
using testing::Tool;

using testing::ReadAll;

// A fingerprint of a (large, sparse) image: a hash of every 1 MiB piece.
size_t Fingerprint(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::string piece(1 << 20, '\0');
  size_t h = 0;
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    h = h * 1000003u ^ std::hash<std::string_view>{}(std::string_view(piece.data(), in.gcount()));
    if (!in) break;
  }
  return h;
}

std::string Line(const std::string& text, const std::string& prefix) {
  const size_t at = text.find(prefix);
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

class DisctoolRepair : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelva-disctool-repair-" + std::to_string(::getpid()) +
                                        "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "tree" / "late" / "deep");
    for (int i = 0; i < 48; ++i) Write(dir_ / "tree" / ("f" + std::to_string(i)), 100 + i);
    Write(dir_ / "tree" / "late" / "deep" / "z.bin", 5000);
    mag_ = {"--magazine", (dir_ / "mag").string(), "--slot", "0"};
    // A small write-once disc: 640000 sectors hold the four tracks of the layout.
    ASSERT_EQ(Tool(Args({"format", "--media", "bd-r", "--size", "1310720000"})).code, 0);
    RecordTree();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void Write(const fs::path& p, size_t n) {
    std::ofstream o(p, std::ios::binary);
    for (size_t i = 0; i < n; ++i) o.put(static_cast<char>(i * 7 + n));
  }
  std::vector<std::string> Args(std::vector<std::string> a) {
    a.insert(a.end(), mag_.begin(), mag_.end());
    return a;
  }
  // Records the tree as recorders leave it that continue the metadata file in
  // further extents (the discs a repair is for); our own moves it into one.
  void RecordTree() {
    Unit u(dir_ / "mag");
    udf::DriveSectorDevice device(&u.drive, /*recordable=*/true);
    udf::UdfMountOptions o;
    o.moveMetadata = false;
    std::unique_ptr<udf::UdfFileSystem> fs;
    ASSERT_EQ(udf::UdfFileSystem::Mount(&device, o, &fs), 0u);
    ASSERT_EQ(fs->CreateFolder(u"tree"), 0u);
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "tree")) {
      const std::string rel = "tree/" + fs::relative(e.path(), dir_ / "tree").generic_string();
      std::u16string path;
      for (char c : rel) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
      if (e.is_directory()) {
        ASSERT_EQ(fs->CreateFolder(path), 0u);
        continue;
      }
      const std::string data = ReadAll(e.path());
      ASSERT_EQ(udf::testing::PutFile(*fs, path, std::vector<uint8_t>(data.begin(), data.end())),
                0u);
    }
    ASSERT_EQ(fs->Dismount(), 0u);
  }
  // A unit holding the magazine, ready.
  struct Unit {
    explicit Unit(const fs::path& mag) {
      EXPECT_EQ(unit.InsertMagazine(mag), 0u);
      drive.TestUnitReady();
    }
    emulator::SimUnit unit;
    emulator::SimScsiDevice device{&unit};
    unit::UnitDrive drive{&device};
  };
  // Marks the metadata file's last extent not recorded and breaks the mirror
  // entry's checksum, through a unit holding the magazine.
  void Damage() {
    Unit u(dir_ / "mag");
    udf::testing::UdfDamage d(u.drive);
    ASSERT_TRUE(d.ok());
    std::vector<udf::ShortAd> ads = d.MetaAds();
    ASSERT_GE(ads.size(), 2u);
    ads.back().type = udf::ExtentType::kAllocatedNotRecorded;
    ASSERT_TRUE(d.SetMetaAds(ads));
    ASSERT_TRUE(d.BreakChecksum(d.MirrorLba()));
  }

  fs::path dir_;
  std::vector<std::string> mag_;
};

TEST_F(DisctoolRepair, DryRunShowsTheRepairThatThenRescuesTheDisc) {
  Damage();
  EXPECT_NE(Tool(Args({"check"})).code, 0);
  const fs::path image = dir_ / "mag" / "disc00.img";
  const size_t before = Fingerprint(image);

  const Result dry = Tool(Args({"repair", "--dry-run"}));
  EXPECT_EQ(dry.code, 0) << dry.out << dry.err;
  EXPECT_NE(dry.out.find("would write"), std::string::npos) << dry.out;
  EXPECT_EQ(Fingerprint(image), before) << "the dry run changed the disc";

  const Result real = Tool(Args({"repair"}));
  EXPECT_EQ(real.code, 0) << real.out << real.err;
  EXPECT_NE(real.out.find("Recovered Metadata File Main -> Mirror\n"), std::string::npos);
  EXPECT_NE(real.out.find("Resolve Metadata Error at "), std::string::npos) << real.out;
  EXPECT_EQ(Line(real.out, "repairs: "), Line(dry.out, "repairs: "));
  // The dry run listed as many sectors as the real run wrote.
  uint32_t listed = 0;
  for (size_t at = dry.out.find("would write "); at != std::string::npos;
       at = dry.out.find("would write ", at + 1))
    listed += static_cast<uint32_t>(std::stoul(dry.out.substr(at + 12)));
  EXPECT_NE(Line(real.out, "repairs: ").find("sectors written: " + std::to_string(listed) + ","),
            std::string::npos)
      << real.out << dry.out;

  EXPECT_EQ(Tool(Args({"check"})).code, 0);
  const Result get = Tool(Args({"get", "/tree/late/deep/z.bin", (dir_ / "z.bin").string()}));
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadAll(dir_ / "z.bin"), ReadAll(dir_ / "tree" / "late" / "deep" / "z.bin"));

  const Result again = Tool(Args({"repair"}));
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(Line(again.out, "repairs: "), "repairs: 0, sectors written: 0, integrity: closed");
}

TEST_F(DisctoolRepair, ImageOfADamagedDiscIsRescued) {
  Damage();
  const fs::path copy = dir_ / "copy.img";
  fs::copy_file(dir_ / "mag" / "disc00.img", copy);
  const std::vector<std::string> img = {"--image", copy.string(), "--media", "bd-r"};
  auto with = [&](std::vector<std::string> a) {
    a.insert(a.end(), img.begin(), img.end());
    return a;
  };
  const Result r = Tool(with({"repair"}));
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Tool(with({"check"})).code, 0);
  const Result get = Tool(with({"get", "/tree/f47", (dir_ / "f47").string()}));
  ASSERT_EQ(get.code, 0) << get.err;
  EXPECT_EQ(ReadAll(dir_ / "f47"), ReadAll(dir_ / "tree" / "f47"));
  // An independent reader finds the file set through the repaired metadata.
  if (test_util::HaveProgram("udfinfo")) {
    const std::string info = test_util::Capture("udfinfo " + copy.string() + " 2>&1");
    EXPECT_NE(info.find("fsid=UDF Volume Set\n"), std::string::npos) << info;
    EXPECT_NE(info.find("integrity=closed\n"), std::string::npos) << info;
  }
}

TEST_F(DisctoolRepair, WriteProtectedMagazineIsLeftAsItWasAndTheRunSaysWhy) {
  Damage();
  {
    emulator::Magazine m;
    ASSERT_EQ(m.Open(dir_ / "mag"), 0u);
    m.write_protect = true;
    m.MarkDirty();
    ASSERT_EQ(m.Save(), 0u);
  }
  const fs::path image = dir_ / "mag" / "disc00.img";
  const size_t before = Fingerprint(image);
  const Result r = Tool(Args({"repair", "--close-integrity"}));
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("the disc is write-protected"), std::string::npos) << r.err;
  EXPECT_EQ(Line(r.out, "repairs: "), "repairs: 0, sectors written: 0, integrity: closed") << r.out;
  EXPECT_EQ(Fingerprint(image), before);
  EXPECT_NE(Tool(Args({"check"})).code, 0) << "the damage is still there";
}

TEST_F(DisctoolRepair, UsageAndUndamagedDisc) {
  EXPECT_EQ(Tool({"repair", "--help"}).code, 0);
  EXPECT_EQ(Tool(Args({"info", "--dry-run"})).code, 2);
  EXPECT_EQ(Tool(Args({"repair", "--path"})).code, 2);
  const Result r = Tool(Args({"repair", "--path", "/tree/f1"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Line(r.out, "repairs: "), "repairs: 0, sectors written: 0, integrity: closed");
}

}  // namespace
}  // namespace kelva::disctool
