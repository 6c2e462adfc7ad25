// A well-filled disc of the simulated unit read by UDF readers that are not ours:
// ten thousand files in one folder, a path thirty folders deep, names outside
// ASCII, files of hundreds of MiB, files deleted and rewritten shorter. 7-Zip and
// UDFclient must extract every file byte for byte and our check must find nothing,
// on both media, and again after a write cut short by unplugging the unit, once
// the disc was mounted again and its integrity closed. Readers that are not
// installed are skipped.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "tests/platform/udf/fs/fs_fixture.h"
#include "tests/tools/external_program.h"

namespace kelva::udf::testing {
namespace {

namespace pe = platform;
using disctool::test_util::Capture;
using disctool::test_util::HaveProgram;

constexpr int kManyFiles = 10000;
constexpr size_t kChunk = 1 << 20;

// What a file holds: `size` bytes; small files are a seeded pattern, large ones
// (`sparse`) zeros except for a patterned MiB at the start, the middle and the end,
// so that they cost little to write and compare.
struct Content {
  uint64_t size = 0;
  uint32_t seed = 0;
  bool sparse = false;

  void Fill(uint64_t at, size_t n, uint8_t* out) const {
    auto pattern = [&](uint64_t from, uint64_t to) {
      for (uint64_t p = std::max(from, at); p < std::min(to, at + n); ++p)
        out[p - at] = static_cast<uint8_t>((p * 2654435761u + seed) >> 11);
    };
    if (!sparse) return pattern(0, size);
    std::memset(out, 0, n);
    pattern(0, kChunk);
    pattern(size / 2, size / 2 + kChunk);
    pattern(size - std::min<uint64_t>(size, kChunk), size);
  }
};

// Compares a file on the computer's disk with what it should hold.
bool SameContent(const fs::path& p, const Content& c) {
  std::error_code ec;
  if (fs::file_size(p, ec) != c.size || ec) return false;
  std::ifstream in(p, std::ios::binary);
  static std::vector<uint8_t> got(kChunk), want(kChunk);
  for (uint64_t at = 0; at < c.size; at += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, c.size - at));
    in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
    if (static_cast<size_t>(in.gcount()) != n) return false;
    c.Fill(at, n, want.data());
    if (std::memcmp(got.data(), want.data(), n) != 0) return false;
  }
  return true;
}

class PopulatedDisc : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_ = TestDir(GetParam() ? "readers-bdr" : "readers-bdre");
    vol_ = std::make_unique<SimVolume>(dir_, GetParam());
    ASSERT_EQ(vol_->Mount(), 0u);
  }
  void TearDown() override {
    vol_.reset();
    fs::remove_all(dir_);
  }
  UdfFileSystem& fs() { return vol_->fs(); }
  fs::path Image() const { return dir_ / "mag" / "disc00.img"; }

  // Writes (or, existing, rewrites from its start, cutting it back) a file and
  // records what it holds.
  void Put(const std::string& path, Content c, bool existing = false) {
    std::unique_ptr<UdfFile> f;
    const std::u16string p = pe::Utf8ToUtf16("archive\\" + path);
    ASSERT_EQ(fs().Open(p, existing ? UdfCreate::kOpenExisting : UdfCreate::kCreateNew, true, &f), 0u)
        << path;
    ASSERT_EQ(existing ? f->SetEndOfFile(0) : 0u, 0u);
    static std::vector<uint8_t> buf(kChunk);
    for (uint64_t at = 0; at < c.size; at += kChunk) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, c.size - at));
      c.Fill(at, n, buf.data());
      ASSERT_EQ(f->WriteAt(at, buf.data(), n), 0u) << path;
    }
    ASSERT_EQ(f->Close(), 0u);
    std::string key = path;
    std::replace(key.begin(), key.end(), '\\', '/');
    expected_[key] = c;
  }
  static std::string ManyName(int i) {
    std::string name = "file-" + std::to_string(i) + std::string(static_cast<size_t>(i % 41), 'q');
    if (i % 7 == 0) name += "-Grüße-日本";
    return name + ".dat";
  }

  void Populate() {
    ASSERT_EQ(fs().CreateFolder(u"archive"), 0u);
    ASSERT_EQ(fs().CreateFolder(u"archive\\many"), 0u);
    for (int i = 0; i < kManyFiles; ++i)
      Put("many\\" + ManyName(i), {static_cast<uint64_t>(i * 37 % 5000), static_cast<uint32_t>(i)});
    std::string deep = "deep";
    ASSERT_EQ(fs().CreateFolder(u"archive\\deep"), 0u);
    for (int level = 1; level <= 30; ++level) {
      deep += "\\level " + std::to_string(level);
      ASSERT_EQ(fs().CreateFolder(pe::Utf8ToUtf16("archive\\" + deep)), 0u);
    }
    Put(deep + "\\leaf.txt", {2049, 1});
    ASSERT_EQ(fs().CreateFolder(pe::Utf8ToUtf16("archive\\Ελληνικά και 中文")), 0u);
    Put("Ελληνικά και 中文\\données €.bin", {70000, 2});
    Put("Ελληνικά και 中文\\ファイル.txt", {1, 3});
    ASSERT_EQ(fs().CreateFolder(u"archive\\large"), 0u);
    Put("large\\first.bin", {(160ull << 20) + 5, 4, true});
    Put("large\\second.bin", {(256ull << 20) + 2048, 5, true});
    ASSERT_EQ(fs().Dismount(), 0u);
    // A second session deletes some files and rewrites others shorter.
    ASSERT_EQ(vol_->Mount(), 0u);
    for (int i = 0; i < kManyFiles; i += 97) {
      ASSERT_EQ(fs().Delete(pe::Utf8ToUtf16("archive\\many\\" + ManyName(i))), 0u);
      expected_.erase("many/" + ManyName(i));
    }
    for (int i = 1; i < kManyFiles; i += 89)
      if (i % 97 != 0) Put("many\\" + ManyName(i), {static_cast<uint64_t>(i * 37 % 5000) / 3, static_cast<uint32_t>(i + 7)}, true);
    Put("large\\first.bin", {(100ull << 20) + 77, 6, true}, true);
    ASSERT_EQ(fs().Dismount(), 0u);
  }

  // Every file below `root` on the computer's disk, against what the disc holds.
  // With `lossy_names` a reader that shows names outside ASCII in a form of its
  // own ("_" and "_#" with a checksum) is matched by the ASCII part of each such
  // name before its first other character; the contents are compared all the same.
  void ExpectTree(const fs::path& root, const char* reader, bool lossy_names) {
    auto key = [&](const std::string& path, bool found) {
      if (!lossy_names) return path;
      std::string out, part;
      std::istringstream in(path);
      while (std::getline(in, part, '/')) {
        const auto other = std::find_if(part.begin(), part.end(), [](char c) { return c & 0x80; });
        if (found && part.find("_#") != std::string::npos)
          part = part.substr(0, part.find('_')) + "\x01";
        else if (!found && other != part.end())
          part = std::string(part.begin(), other) + "\x01";
        out += (out.empty() ? "" : "/") + part;
      }
      return out;
    };
    std::map<std::string, std::string> found;  // key -> path found
    if (fs::exists(root))
      for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) {
          const std::string path = fs::relative(e.path(), root).string();
          found[key(path, true)] = path;
        }
    size_t missing = 0, wrong = 0;
    for (const auto& [path, content] : expected_) {
      auto it = found.find(key(path, false));
      if (it == found.end()) {
        if (++missing <= 5) ADD_FAILURE() << reader << ": missing " << path;
        continue;
      }
      if (!SameContent(root / it->second, content) && ++wrong <= 5)
        ADD_FAILURE() << reader << ": differs " << path;
      found.erase(it);
    }
    EXPECT_EQ(missing, 0u) << reader;
    EXPECT_EQ(wrong, 0u) << reader;
    EXPECT_EQ(found.size(), 0u) << reader << ": files that should not be there, such as "
                                << (found.empty() ? "" : found.begin()->second);
  }

  void ExpectReadersAgree(const std::string& tag) {
    const std::string env = "LC_ALL=C.UTF-8 ";
    if (const char* seven = HaveProgram("7zz") ? "7zz" : HaveProgram("7z") ? "7z" : nullptr) {
      const fs::path out = dir_ / ("7z-" + tag);
      const std::string log = Capture(env + seven + " x -y -o" + out.string() + " " + Image().string() +
                                      " >/dev/null 2>&1; echo rc=$?");
      EXPECT_EQ(log, "rc=0\n") << "7-Zip failed";
      ExpectTree(out / "archive", "7-Zip", false);
      fs::remove_all(out);
    }
    if (HaveProgram("udfclient")) {
      // UDFclient shows the logical volume as a folder of its root.
      const std::string listing =
          Capture("printf 'ls\\nquit\\n' | udfclient -b 2048 " + Image().string() + " 2>/dev/null");
      const size_t at = listing.find(" UDF Volume Set:");
      ASSERT_NE(at, std::string::npos) << listing;
      const size_t start = listing.rfind(' ', at - 1) + 1;
      const std::string volume = listing.substr(start, listing.find('\n', at) - start);
      const fs::path out = dir_ / ("uc-" + tag);
      fs::create_directories(out);
      std::ofstream(dir_ / "script") << "cd \"" << volume << "\"\nlcd " << out.string()
                                     << "\nget archive\nquit\n";
      Capture(env + "udfclient -b 2048 " + Image().string() + " < " + (dir_ / "script").string() +
              " >/dev/null 2>&1");
      ExpectTree(out / "archive", "UDFclient", true);
      fs::remove_all(out);
    }
  }

  fs::path dir_;
  std::unique_ptr<SimVolume> vol_;
  std::map<std::string, Content> expected_;
};

TEST_P(PopulatedDisc, ForeignReadersExtractEveryFileAlsoAfterAnInterruptedWrite) {
  ASSERT_NO_FATAL_FAILURE(Populate());
  ASSERT_EQ(vol_->Mount(), 0u);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  vol_->Drop();
  ExpectReadersAgree("clean");

  // Another session: some files reach the disc, then the unit is unplugged in the
  // middle of the next file's data.
  ASSERT_EQ(vol_->Mount(), 0u);
  for (int i = 0; i < 300; ++i) Put("many\\later-" + std::to_string(i), {static_cast<uint64_t>(i * 13), 9});
  ASSERT_EQ(fs().Flush(), 0u);
  const size_t writes = vol_->log().writes.size();
  vol_->log().before_write = [&](size_t n) {
    if (n == writes + 4) vol_->unit().Unplug();
  };
  {
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"archive\\many\\lost.bin", UdfCreate::kCreateNew, true, &f), 0u);
    std::vector<uint8_t> data(kChunk, 0x42);
    pe::Win32Error e = 0;
    for (int i = 0; i < 16 && !e; ++i) e = f->WriteAt(uint64_t(i) * kChunk, data.data(), data.size());
    EXPECT_NE(e, 0u);
  }
  EXPECT_NE(fs().Flush(), 0u);
  vol_->Drop();
  vol_->log().before_write = nullptr;
  vol_->unit().Plug();
  for (int i = 0; i < 3 && vol_->drive().TestUnitReady() != 0; ++i) {
  }
  // Mounted again (read-only while the integrity is open), then closed.
  ASSERT_EQ(vol_->Mount(), 0u);
  UdfVolumeInfo info;
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_TRUE(info.integrityOpen);
  vol_->Drop();
  ASSERT_TRUE(CloseIntegrity(vol_->drive()));
  ASSERT_EQ(vol_->Mount(), 0u);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  vol_->Drop();
  ExpectReadersAgree("interrupted");
}

INSTANTIATE_TEST_SUITE_P(Media, PopulatedDisc, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WriteOnce" : "Rewritable"; });

}  // namespace
}  // namespace kelva::udf::testing
