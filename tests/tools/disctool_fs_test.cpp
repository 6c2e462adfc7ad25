// kelva-disctool's file commands: copying trees in and out of images and
// magazine discs, listing, folders, removal, free space and the check.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/tools/disctool_runner.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {
namespace {

namespace fs = std::filesystem;

using testing::Result;
using testing::Tool;

void WriteBytes(const fs::path& p, size_t n, char seed) {
  fs::create_directories(p.parent_path());
  std::ofstream o(p, std::ios::binary);
  for (size_t i = 0; i < n; ++i) o.put(static_cast<char>(seed + i * 31 % 251));
}

using testing::ReadAll;

class DisctoolFiles : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kelva-disctool-fs-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    if (GetParam() == "image-bd-re") {
      disc_ = {"--image", (dir_ / "re.img").string(), "--size", "268435456"};
    } else if (GetParam() == "image-bd-r") {
      disc_ = {"--image", (dir_ / "r.img").string(), "--media", "bd-r"};
    } else {
      disc_ = {"--magazine", (dir_ / "mag").string(), "--slot", "0", "--media", "bd-r"};
    }
    Result r = Tool(Args({"format"}));
    ASSERT_EQ(r.code, 0) << r.err;
    // Later commands name the disc without its creation options.
    disc_.resize(disc_[0] == "--image" ? 2 : 4);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::vector<std::string> Args(std::vector<std::string> a) {
    a.insert(a.end(), disc_.begin(), disc_.end());
    return a;
  }
  fs::path dir_;
  std::vector<std::string> disc_;
};

TEST_P(DisctoolFiles, TreesGoInAndComeOutEqual) {
  const fs::path src = dir_ / "src";
  WriteBytes(src / "a.bin", 300000, 'a');
  WriteBytes(src / "empty", 0, 'x');
  WriteBytes(src / "sub" / "Grüße €.txt", 2049, 'g');
  WriteBytes(src / "sub" / "deep" / "z", 2048, 'z');
  Result r = Tool(Args({"put", src.string(), "/backup"}));
  ASSERT_EQ(r.code, 0) << r.err;
  r = Tool(Args({"ls", "/backup"}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("300000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sub/"), std::string::npos) << r.out;
  r = Tool(Args({"ls", "/BACKUP/sub/gr*"}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Grüße €.txt"), std::string::npos) << r.out;
  fs::create_directories(dir_ / "out");  // an existing folder receives the folder itself
  r = Tool(Args({"get", "/backup", (dir_ / "out").string()}));
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* f : {"a.bin", "empty", "sub/Grüße €.txt", "sub/deep/z"})
    EXPECT_EQ(ReadAll(dir_ / "out" / "backup" / f), ReadAll(src / f)) << f;
  r = Tool(Args({"check"}));
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("clean"), std::string::npos);
}

TEST_P(DisctoolFiles, FoldersRemovalFreeSpaceAndErrors) {
  Result r = Tool(Args({"mkdir", "/x/y/z"}));
  ASSERT_EQ(r.code, 0) << r.err;
  r = Tool(Args({"mkdir", "/x/y/z"}));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("183"), std::string::npos) << r.err;
  WriteBytes(dir_ / "f", 5000, 'f');
  ASSERT_EQ(Tool(Args({"put", (dir_ / "f").string(), "/x/y/z/f"})).code, 0);
  r = Tool(Args({"put", (dir_ / "f").string(), "/x/y/z/f"}));
  EXPECT_EQ(r.code, 1);  // exists
  r = Tool(Args({"rm", "/x/y"}));
  EXPECT_EQ(r.code, 1);  // not empty
  ASSERT_EQ(Tool(Args({"rm", "/x/y/z/f"})).code, 0);
  r = Tool(Args({"rm", "/x/y/z"}));
  ASSERT_EQ(r.code, 0) << r.err;
  r = Tool(Args({"ls", "/x/y"}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = Tool(Args({"get", "/nothing", (dir_ / "n").string()}));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("nothing"), std::string::npos);
  r = Tool(Args({"df"}));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("UDF 2."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("free"), std::string::npos);
  EXPECT_EQ(Tool(Args({"check"})).code, 0);
  EXPECT_EQ(Tool(Args({"ls", "a", "b"})).code, 2);
  EXPECT_EQ(Tool(Args({"put", "onlyone"})).code, 2);
}

TEST_P(DisctoolFiles, PutOntoAnExistingFileRefusesUnlessForced) {
  const fs::path src = dir_ / "tree";
  WriteBytes(src / "f", 5000, 'f');
  WriteBytes(src / "keep", 100, 'k');
  ASSERT_EQ(Tool(Args({"put", src.string(), "/"})).code, 0);
  struct Step {
    std::vector<std::string> put;  // options and operands of put
    size_t size;                   // of the new source file "f"
    char seed;
    int code;
    char expectSeed;               // what /tree/f holds afterwards
    size_t expectSize;
  };
  const std::vector<Step> steps = {
      {{"put"}, 3000, 'g', 1, 'f', 5000},             // refused, the file stays
      {{"put", "--force"}, 3000, 'g', 0, 'g', 3000},  // replaced by a shorter file
      {{"put", "-f"}, 9000, 'h', 0, 'h', 9000},       // and by a longer one
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.put.back() + " " + std::to_string(step.size));
    WriteBytes(dir_ / "new" / "f", step.size, step.seed);
    std::vector<std::string> args = step.put;
    args.push_back((dir_ / "new" / "f").string());
    args.push_back("/tree/f");
    const Result r = Tool(Args(args));
    EXPECT_EQ(r.code, step.code) << r.err;
    const bool told = r.err.find("tree\\f: the file exists (--force replaces it)") != std::string::npos;
    EXPECT_EQ(told, step.code != 0) << r.err;
    ASSERT_EQ(Tool(Args({"get", "/tree/f", (dir_ / "back").string()})).code, 0);
    WriteBytes(dir_ / "want", step.expectSize, step.expectSeed);
    EXPECT_EQ(ReadAll(dir_ / "back"), ReadAll(dir_ / "want"));
  }
  // A folder put again with --force replaces the files it holds and keeps the rest.
  WriteBytes(src / "f", 700, 'm');
  WriteBytes(src / "added", 10, 'a');
  ASSERT_EQ(Tool(Args({"put", "--force", src.string(), "/"})).code, 0);
  ASSERT_EQ(Tool(Args({"get", "/tree", (dir_ / "out").string()})).code, 0);
  for (const char* f : {"f", "keep", "added"}) EXPECT_EQ(ReadAll(dir_ / "out" / f), ReadAll(src / f)) << f;
  EXPECT_EQ(Tool(Args({"check"})).code, 0);
  EXPECT_EQ(Tool(Args({"ls", "--force"})).code, 2);
}

INSTANTIATE_TEST_SUITE_P(Discs, DisctoolFiles,
                         ::testing::Values("image-bd-re", "image-bd-r", "magazine-bd-r"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
}  // namespace kelva::disctool
