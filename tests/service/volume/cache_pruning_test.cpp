// Pruning of other magazines' caches and the prefetched history-log list.
#include "service/volume/cache_pruning.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "service/storage/cache_store.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    root_ = fs::path(::testing::TempDir()) / ("kelva-prune-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  // A magazine cache folder with some content, and a resume file written at
  // `time` (0: none).
  void Cache(const std::string& name, platform::FileTime time) {
    const fs::path cache = root_ / "magazine" / name / "cache";
    fs::create_directories(cache / "000" / "001");
    ASSERT_EQ(platform::WriteWholeFile(cache / "000" / "001" / "000000400.DIR", "x"), 0u);
    ASSERT_EQ(platform::WriteWholeFile(root_ / "magazine" / name / "mapdat", "y"), 0u);
    if (time != 0) {
      ASSERT_EQ(platform::WriteWholeFile(cache / "resume.bin", "r"), 0u);
      ASSERT_EQ(platform::SetLastWriteTime(cache / "resume.bin", time), 0u);
    }
  }
  std::set<std::string> Left() {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(root_ / "magazine")) out.insert(e.path().filename().string());
    return out;
  }
  fs::path root_;
  platform::TestClock clock_;
};

constexpr platform::FileTime kBase = 133500000000000000ULL;
constexpr platform::FileTime kSecond = 10000000ULL;

TEST_F(TempFolder, PruningKeepsTheNewestCachesWithResumeFiles) {
  struct Row {
    const char* what;
    uint32_t keep;
    int with_resume;     // caches m00.. with resume files, m00 the oldest
    int without_resume;  // caches n00.. without
    size_t deleted;
  };
  const Row rows[] = {
      {"keep count 0 means 20", 0, 25, 3, 5},
      {"keep count 2", 2, 5, 1, 3},
      {"fewer than the keep count", 0, 4, 2, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    fs::remove_all(root_ / "magazine");
    std::set<std::string> expected;
    for (int i = 0; i < r.with_resume; ++i) {
      const std::string name = "m" + std::string(i < 10 ? "0" : "") + std::to_string(i);
      Cache(name, kBase + static_cast<platform::FileTime>(i) * kSecond);
      if (i >= r.with_resume - static_cast<int>(r.keep == 0 ? 20 : r.keep)) expected.insert(name);
    }
    for (int i = 0; i < r.without_resume; ++i) {
      Cache("n" + std::to_string(i), 0);
      expected.insert("n" + std::to_string(i));
    }
    ASSERT_EQ(platform::WriteWholeFile(root_ / "magazine" / "stray-file", "z"), 0u);
    expected.insert("stray-file");
    EXPECT_EQ(PruneMagazineCaches(root_, r.keep, clock_), r.deleted);
    EXPECT_EQ(Left(), expected);
  }
}

TEST_F(TempFolder, PruningTiesGoToTheFolderListedLater) {
  Cache("a", kBase);
  Cache("b", kBase);
  Cache("c", kBase - kSecond);
  EXPECT_EQ(PruneMagazineCaches(root_, 1, clock_), 2u);
  EXPECT_EQ(Left(), (std::set<std::string>{"b"}));
}

// A disc that holds history logs 0..max of disc 0; fetching one puts it in the cache.
class LogDiscs : public IVolumeDiscs {
 public:
  uint8_t CurrentDisc() override { return 0; }
  uint8_t LoadedDisc() override { return 0; }
  uint8_t HighestDisc() override { return 11; }
  bool CanWrite() override { return true; }
  uint64_t DiscCapacity() override { return 1ULL << 36; }
  uint64_t CurrentFreeBytes() override { return 1ULL << 36; }
  bool SplitFlag() override { return false; }
  Win32Error FetchFile(storage::CacheKind kind, uint8_t disc, uint32_t file) override {
    ++fetches;
    if (file > max) return 2;
    platform::File f;
    uint32_t number = file;
    return cache->CreateCacheFile(kind, disc, &number, 0, &f, true);
  }
  Win32Error Flush() override { return 0; }
  bool CleanMarker() override { return false; }
  Win32Error MarkClean() override { return 0; }
  void SetOtherSystem(bool) override {}
  Win32Error ListDisc(storage::CacheKind, uint8_t, uint32_t file,
                      const std::function<void(uint32_t)>& found) override {
    for (uint32_t n = file & ~0xFFu; n < (file & ~0xFFu) + 256 && n <= max; ++n) found(n);
    return 0;
  }
  storage::CCacheStore* cache = nullptr;
  uint32_t max = 0;
  int fetches = 0;
};

TEST_F(TempFolder, PrefetchedLogsAreBoundedAndDeletedOldestFirst) {
  MachineIdentity id;
  id.fill(1);
  LogDiscs discs;  // outlives the volume, which closes through it
  CFsVolume volume(nullptr, clock_, 1, id);
  auto cache = std::make_unique<storage::CCacheStore>(&volume, root_, clock_);
  ASSERT_TRUE(cache->Open(u"MAG"));
  storage::CCacheStore* store = cache.get();
  discs.cache = store;
  discs.max = 767;  // three full blocks
  volume.Attach(nullptr, &discs, std::move(cache));
  auto cached = [&](uint32_t n) {
    fs::path p;
    return store->CacheFilePath(storage::CK_LOG, 0, n, 0, &p);
  };

  // The asked-for log and the other 255 of its block.
  ASSERT_EQ(volume.FetchHistoryLog(0, 5), 0u);
  EXPECT_EQ(discs.fetches, 256);
  EXPECT_EQ(volume.PrefetchedLogCount(), 255u);
  // A prefetched one is handed out without going to the disc.
  ASSERT_EQ(volume.FetchHistoryLog(0, 7), 0u);
  EXPECT_EQ(discs.fetches, 256);
  EXPECT_EQ(volume.PrefetchedLogCount(), 254u);
  EXPECT_TRUE(cached(7));
  // Two more blocks bring the list past 512: the oldest entries go, with their files.
  ASSERT_EQ(volume.FetchHistoryLog(0, 300), 0u);
  EXPECT_EQ(volume.PrefetchedLogCount(), 254u + 255u);
  ASSERT_EQ(volume.FetchHistoryLog(0, 600), 0u);
  EXPECT_EQ(volume.PrefetchedLogCount(), CFsVolume::kMaxPrefetchedLogs);
  // 254 + 255 + 255 = 764 fetched: the 252 oldest (block 0, first listed) are gone.
  EXPECT_FALSE(cached(0));
  EXPECT_FALSE(cached(255 - 3));
  EXPECT_TRUE(cached(255));
  EXPECT_TRUE(cached(5));
  EXPECT_TRUE(cached(7));
  // Not on the disc: 2.
  EXPECT_EQ(volume.FetchHistoryLog(0, 800), 2u);
  // A flush or close deletes what is still waiting.
  volume.DeletePendingLogs();
  EXPECT_EQ(volume.PrefetchedLogCount(), 0u);
  EXPECT_FALSE(cached(255));
  EXPECT_FALSE(cached(767));
  EXPECT_TRUE(cached(300));
}

}  // namespace
}  // namespace kelva::volume
