// kelva-disctool's commands against images and magazine folders.
#include "tests/tools/disctool_runner.h"
#include "tools/disctool/disctool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "service/udf/image_drive.h"

namespace kelva::disctool {
namespace {

namespace fs = std::filesystem;

using testing::Result;
inline Result RunTool(const std::vector<std::string>& args) { return testing::Tool(args); }

class Disctool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kelva-disctool-" + std::string(
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Disctool, FormatsAndDescribesImagesOfBothKinds) {
  const std::string re = (dir_ / "re.img").string();
  Result r = RunTool({"format", "--image", re, "--size", "268435456"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("revision          2.50"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("partition         start 288, length 130496 blocks"), std::string::npos);
  EXPECT_EQ(fs::file_size(re), 268435456u);

  r = RunTool({"info", "--image", re});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("UDF Volume Set\""), std::string::npos);
  EXPECT_NE(r.out.find("integrity         at 64, closed"), std::string::npos);
  // 130496 blocks need 8 bitmap blocks; the metadata area starts at block 32.
  EXPECT_NE(r.out.find("metadata file     block 8, mirror 544, bitmap 9"), std::string::npos);

  const std::string bdr = (dir_ / "r.img").string();
  r = RunTool({"format", "--image", bdr, "--media", "bd-r", "--size", "2147483648"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("revision          2.60"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("metadata file     block 25312, mirror 25376, bitmap none"),
            std::string::npos);
}

TEST_F(Disctool, InfoRefusesWhatIsNotAVolume) {
  const std::string blank = (dir_ / "blank.img").string();
  {
    udf::ImageDrive d;
    ASSERT_EQ(d.Open(blank, udf::ImageMedia::kBdRe, 1 << 24, true), 0u);
  }
  Result r = RunTool({"info", "--image", blank});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no UDF volume"), std::string::npos);
  // info never creates a missing image.
  r = RunTool({"info", "--image", (dir_ / "missing.img").string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(dir_ / "missing.img"));
  // A write-once image too small for the fixed track boundaries is refused.
  r = RunTool({"format", "--image", (dir_ / "small.img").string(), "--media", "bd-r", "--size",
               "268435456"});
  EXPECT_EQ(r.code, 1);
}

TEST_F(Disctool, FormatsADiscOfAMagazineFolder) {
  const std::string mag = (dir_ / "mag").string();
  Result r = RunTool({"format", "--magazine", mag, "--slot", "4", "--size", "1073741824"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("revision          2.50"), std::string::npos);
  r = RunTool({"info", "--magazine", mag, "--slot", "4"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = RunTool({"info", "--magazine", mag, "--slot", "5"});  // never formatted
  EXPECT_EQ(r.code, 1);
  // The disc's image is readable on its own.
  r = RunTool({"info", "--image", (dir_ / "mag" / "disc04.img").string()});
  EXPECT_EQ(r.code, 0) << r.err;
}

TEST_F(Disctool, UsageErrors) {
  EXPECT_EQ(RunTool({}).code, 2);
  EXPECT_EQ(RunTool({"erase", "--image", "x"}).code, 2);
  EXPECT_EQ(RunTool({"info"}).code, 2);
  EXPECT_EQ(RunTool({"info", "--image", "a", "--device", "/dev/sg9"}).code, 2);
  EXPECT_EQ(RunTool({"info", "--magazine", "m"}).code, 2);  // no slot
  EXPECT_EQ(RunTool({"info", "--magazine", "m", "--slot", "12"}).code, 2);
  EXPECT_EQ(RunTool({"format", "--image", "a", "--size", "1000"}).code, 2);
  EXPECT_EQ(RunTool({"format", "--image", "a", "--media", "dvd"}).code, 2);
  EXPECT_EQ(RunTool({"format", "--image"}).code, 2);
  Result r = RunTool({"info", "--device", (dir_ / "no-such-sg").string()});
  EXPECT_EQ(r.code, 1);
}

TEST_F(Disctool, HelpSaysWhatPutDoesWithFilesThatExist) {
  const Result r = RunTool({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("is refused, or replaced with --force"), std::string::npos) << r.out;
  EXPECT_EQ(RunTool({"put", "-h"}).code, 0);
}

}  // namespace
}  // namespace kelva::disctool
