// Files copied in with kelva-disctool, read back by UDF readers that are not
// ours and follow the metadata partition: 7-Zip extracts the whole tree and
// UDFclient copies files out. Skipped where the readers are not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/tools/external_program.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {
namespace {

namespace fs = std::filesystem;

using test_util::Capture;
using test_util::HaveProgram;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Write(const fs::path& p, size_t n, unsigned seed) {
  fs::create_directories(p.parent_path());
  std::ofstream o(p, std::ios::binary);
  for (size_t i = 0; i < n; ++i) o.put(static_cast<char>((i * 2654435761u + seed) >> 13));
}

class ForeignReaders : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kelva-readers-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    FILE* sink = std::fopen("/dev/null", "w");
    if (std::string(GetParam()) == "bd-re") {
      disc_ = {"--image", (dir_ / "re.img").string()};
      image_ = dir_ / "re.img";
      ASSERT_EQ(disctool::Run({"format", "--image", image_.string(), "--size", "268435456"}, sink, sink), 0);
    } else {
      disc_ = {"--magazine", (dir_ / "mag").string(), "--slot", "0"};
      image_ = dir_ / "mag" / "disc00.img";
      ASSERT_EQ(disctool::Run({"format", "--magazine", (dir_ / "mag").string(), "--slot", "0", "--media", "bd-r"},
                    sink, sink),
                0);
    }
    src_ = dir_ / "src";
    Write(src_ / "big.bin", 3 * 1048576 + 5, 1);
    Write(src_ / "one", 1, 2);
    Write(src_ / "edge", 2048, 3);
    Write(src_ / "empty", 0, 4);
    Write(src_ / "sub" / "deeper" / "leaf.txt", 2049, 5);
    std::vector<std::string> put = {"put", src_.string(), "/tree"};
    put.insert(put.end(), disc_.begin(), disc_.end());
    ASSERT_EQ(disctool::Run(put, sink, sink), 0);
    std::fclose(sink);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_, image_, src_;
  std::vector<std::string> disc_;
};

TEST_P(ForeignReaders, SevenZipExtractsTheSameTree) {
  const char* program = HaveProgram("7zz") ? "7zz" : HaveProgram("7z") ? "7z" : nullptr;
  if (!program) GTEST_SKIP() << "7-Zip is not installed";
  const fs::path out = dir_ / "7z";
  Capture(std::string(program) + " x -y -o" + out.string() + " " + image_.string() + " 2>&1");
  for (const char* f : {"big.bin", "one", "edge", "empty", "sub/deeper/leaf.txt"}) {
    ASSERT_TRUE(fs::exists(out / "tree" / f)) << f;
    EXPECT_EQ(ReadAll(out / "tree" / f), ReadAll(src_ / f)) << f;
  }
}

TEST_P(ForeignReaders, UdfClientCopiesFilesOut) {
  if (!HaveProgram("udfclient")) GTEST_SKIP() << "UDFclient is not installed";
  // UDFclient shows the logical volume as a folder of the root.
  const std::string listing = Capture("printf 'ls\\nquit\\n' | udfclient -b 2048 " + image_.string() + " 2>/dev/null");
  const size_t at = listing.find(" UDF Volume Set:");
  ASSERT_NE(at, std::string::npos) << listing;
  const size_t start = listing.rfind(' ', at - 1) + 1;
  const std::string volume = listing.substr(start, listing.find('\n', at) - start);
  const fs::path out = dir_ / "uc";
  fs::create_directories(out);
  const std::string script = "cd \"" + volume + "\"\ncd tree\nlcd " + out.string() +
                             "\nget big.bin\nget edge\ncd sub\ncd deeper\nget leaf.txt\nquit\n";
  std::ofstream(dir_ / "script") << script;
  Capture("udfclient -b 2048 " + image_.string() + " < " + (dir_ / "script").string() + " 2>&1");
  for (const char* f : {"big.bin", "edge"}) EXPECT_EQ(ReadAll(out / f), ReadAll(src_ / f)) << f;
  EXPECT_EQ(ReadAll(out / "leaf.txt"), ReadAll(src_ / "sub" / "deeper" / "leaf.txt"));
}

INSTANTIATE_TEST_SUITE_P(Media, ForeignReaders, ::testing::Values("bd-re", "bd-r"),
                         [](const auto& info) {
                           return std::string(info.param) == "bd-re" ? "Rewritable" : "WriteOnce";
                         });

}  // namespace
}  // namespace kelva::disctool
