// Volumes written by kelva-disctool as other UDF readers see them: udftools'
// udfinfo (a dependency of the build) and, when installed, 7-Zip, which also
// walks the metadata partition to the file set and the root directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/tools/external_program.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {
namespace {

namespace fs = std::filesystem;

using test_util::Capture;
using test_util::HaveProgram;

class IndependentReader : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    image_ = fs::temp_directory_path() / (std::string("kelva-reader-") + GetParam() + ".img");
    fs::remove(image_);
    FILE* sink = std::fopen("/dev/null", "w");
    const bool bdr = std::string(GetParam()) == "bd-r";
    ASSERT_EQ(disctool::Run({"format", "--image", image_.string(), "--media", GetParam(), "--size",
                   bdr ? "2147483648" : "1073741824"},
                  sink, sink),
              0);
    std::fclose(sink);
  }
  void TearDown() override { fs::remove(image_); }
  fs::path image_;
};

TEST_P(IndependentReader, UdfinfoSeesAnEmptyClosedVolume) {
  if (!HaveProgram("udfinfo")) GTEST_SKIP() << "udfinfo (udftools) is not installed";
  const std::string out = Capture("udfinfo " + image_.string() + " 2>&1");
  const bool bdr = std::string(GetParam()) == "bd-r";
  EXPECT_NE(out.find("udfrev=2.50\n"), std::string::npos) << out;  // minimum read revision
  EXPECT_NE(out.find(bdr ? "udfwriterev=2.60\n" : "udfwriterev=2.50\n"), std::string::npos) << out;
  EXPECT_NE(out.find("integrity=closed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("numfiles=0\nnumdirs=1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(bdr ? "accesstype=pseudo-overwritable\n" : "accesstype=overwritable\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("vid=UDF Volume\n"), std::string::npos) << out;
  EXPECT_NE(out.find("impid=*MERIDANSTORIX\n"), std::string::npos) << out;
  // 1 GiB: 523712 partition blocks less 32 bitmap blocks, the two metadata
  // entries, the 512-block metadata area and its mirror, plus blocks 34..63.
  if (!bdr) {
    EXPECT_NE(out.find("freeblocks=523165\n"), std::string::npos) << out;
  }
}

TEST_P(IndependentReader, SevenZipListsAnEmptyRootThroughTheMetadataPartition) {
  const char* program = HaveProgram("7zz") ? "7zz" : HaveProgram("7z") ? "7z" : nullptr;
  if (!program) GTEST_SKIP() << "7-Zip is not installed";
  const std::string out = Capture(std::string(program) + " l -slt " + image_.string() + " 2>&1");
  EXPECT_NE(out.find("Type = Udf"), std::string::npos) << out;
  EXPECT_NE(out.find("IsMetadata: 1"), std::string::npos) << out;
  EXPECT_NE(out.find("Id: UDF Volume Set"), std::string::npos) << out;  // the file set
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_EQ(out.find("Warning"), std::string::npos) << out;
  const std::string test = Capture(std::string(program) + " t " + image_.string() + " 2>&1");
  EXPECT_NE(test.find("Everything is Ok"), std::string::npos) << test;
  EXPECT_NE(test.find("Files: 0"), std::string::npos) << test;
}

INSTANTIATE_TEST_SUITE_P(Media, IndependentReader, ::testing::Values("bd-re", "bd-r"),
                         [](const auto& info) {
                           return std::string(info.param) == "bd-re" ? "Rewritable" : "WriteOnce";
                         });

}  // namespace
}  // namespace kelva::disctool
