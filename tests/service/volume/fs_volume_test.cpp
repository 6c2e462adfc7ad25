#include "service/volume/fs_volume.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <deque>
#include <cstring>
#include <optional>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "service/storage/catalog_structure.h"
#include "service/storage/dir_object.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/catalog_restore.h"
#include "tests/eventually.h"

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;
using platform::Win32Error;
using storage::CacheKind;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = 1LL << 30;

class FakeUnit : public IVolumeUnit {
 public:
  void Report(uint32_t code, bool with_code) override {
    std::lock_guard l(mu);
    notices.emplace_back(code, with_code);
  }
  bool IsVolumeReadOnly() override { return read_only; }
  void SetWriteHeld(bool held) override { write_held = held; }
  int Count(uint32_t code) {
    std::lock_guard l(mu);
    int n = 0;
    for (auto& [c, w] : notices) n += c == code;
    return n;
  }
  std::mutex mu;
  std::vector<std::pair<uint32_t, bool>> notices;
  bool read_only = false;
  bool write_held = false;
};

class FakeDiscs : public IVolumeDiscs {
 public:
  uint8_t CurrentDisc() override { return current; }
  uint8_t LoadedDisc() override { return loaded; }
  uint8_t HighestDisc() override { return 11; }
  bool CanWrite() override { return writable; }
  uint64_t DiscCapacity() override { return capacity; }
  uint64_t CurrentFreeBytes() override { return free_bytes; }
  bool SplitFlag() override { return false; }
  Win32Error FetchFile(CacheKind, uint8_t, uint32_t) override {
    ++fetches;
    if (failures > 0) {
      --failures;
      return fail_with;
    }
    return 0;
  }
  Win32Error Flush() override {
    ++flushes;
    if (on_flush) on_flush();
    return 0;
  }
  bool CleanMarker() override { return clean; }
  Win32Error MarkClean() override {
    ++mark_clean;
    return 0;
  }
  void SetOtherSystem(bool other) override { other_system = other; }
  Win32Error CatalogTime(uint8_t, uint32_t, platform::FileTime* out) override {
    *out = catalog_time;
    return 0;
  }

  platform::FileTime catalog_time = 133000000000000000ULL;
  uint8_t current = 0, loaded = 0;
  bool writable = true, clean = false, other_system = false;
  uint64_t capacity = 100 * kGiB, free_bytes = 100 * kGiB;
  std::atomic<int> fetches{0}, flushes{0}, mark_clean{0};
  std::function<void()> on_flush;  // what a disc close tells the volume
  int failures = 0;
  Win32Error fail_with = 167;
};

// A file object whose write-back gives its cached bytes back.
class FakeFile : public IOpenFile {
 public:
  FakeFile(CFsVolume* v, int64_t bytes) : volume(v), cached(bytes) {}
  Win32Error WriteBack(bool close_mode) override {
    ++writes;
    if (close_mode) closes++;
    if (answer != 0) return answer;
    if (records) awaits = true;
    if (close_mode && cached != 0) {
      volume->AddCachedBytes(-cached);
      cached = 0;
    }
    return 0;
  }
  // A file to be recorded goes only once it was (step c's case, not step h's).
  bool AgreesToEvict() override { return !refuses && !awaits && !(records && writes.load() == 0); }
  bool AwaitsDiscClose() override { return awaits; }
  void DiscClosed(uint64_t) override { awaits = false; }
  void FinishPendingClose() override {}
  bool HasUnwrittenData() override { return unwritten; }
  bool IsOpenInHost() override { return in_host; }
  void SetTrimAtClose() override { trim = true; }
  CFsVolume* volume;
  int64_t cached;
  std::atomic<int> writes{0}, closes{0};
  Win32Error answer = 0;
  bool unwritten = false, in_host = false, trim = false;
  std::atomic<bool> refuses{false};
  // A write-back records the content, which then waits for a disc close.
  bool records = false;
  std::atomic<bool> awaits{false};
};

class FsVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    temp_ = fs::path(::testing::TempDir()) /
            ("kelva-volume-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(temp_);
    fs::create_directories(temp_);
    identity_.fill(0x5A);
    freed_ = 0;
    unit_.notices.clear();
    unit_.read_only = unit_.write_held = false;
    discs_.current = discs_.loaded = 0;
    discs_.clean = discs_.other_system = false;
    discs_.writable = true;
    discs_.flushes = discs_.mark_clean = 0;
    volume_ = std::make_unique<CFsVolume>(nullptr, clock_, 0x0001000200030004ULL, identity_);
    volume_->set_free_file([this](IOpenFile* f) { freed_.fetch_add(1), (void)f; });
  }
  void TearDown() override {
    if (writer_.joinable()) {
      volume_->StopWriter();
      writer_.join();
    }
    volume_.reset();
    files_.clear();
    fs::remove_all(temp_);
  }
  std::unique_ptr<storage::CCacheStore> MakeCache() {
    auto cache = std::make_unique<storage::CCacheStore>(volume_.get(), temp_ / "data", clock_);
    EXPECT_TRUE(cache->Open(u"MAG"));
    return cache;
  }
  void AttachFakes(bool with_cache = false) {
    volume_->Attach(&unit_, &discs_, with_cache ? MakeCache() : nullptr);
  }
  FakeFile* AddFile(int64_t bytes, bool referenced) {
    files_.push_back(std::make_unique<FakeFile>(volume_.get(), bytes));
    FakeFile* f = files_.back().get();
    FileRef* ref = volume_->AddFile(f, f, nullptr);
    volume_->AddCachedBytes(bytes);
    if (!referenced) volume_->ReleaseFile(ref);
    return f;
  }
  void StartWriter() {
    writer_ = std::thread([this] { volume_->RunWriter(); });
    ASSERT_TRUE(test::Eventually([&] { return volume_->writer_running(); }));
  }

  platform::TestClock clock_;
  fs::path temp_;
  MachineIdentity identity_;
  FakeUnit unit_;
  FakeDiscs discs_;
  std::unique_ptr<CFsVolume> volume_;
  std::vector<std::unique_ptr<FakeFile>> files_;
  std::atomic<int> freed_{0};
  std::thread writer_;
};

TEST_F(FsVolumeTest, ConstructionSetsTheDefaults) {
  const VolumeSettings& s = volume_->settings();
  EXPECT_EQ(s.dir_limit, 256);
  EXPECT_EQ(s.file_limit, 1024);
  EXPECT_EQ(s.cache_limit, 0x100000000LL);
  EXPECT_EQ(s.cache_trim_percent, 80);
  EXPECT_EQ(s.small_file_limit, 0x2000000);
  EXPECT_EQ(s.retention_mode, 1);
  EXPECT_EQ(volume_->CacheReserve(), 0x40000000);
  EXPECT_EQ(volume_->read_only(), 0);
  EXPECT_EQ(volume_->NextFileNumber(), 0u);
  EXPECT_EQ(volume_->NextFileNumber(), 1u);
}

// Each row marks the same file in turn; the state and the count of files to
// write are checked after the last mark.
TEST_F(FsVolumeTest, DirtyQueueStatesFollowTheMarks) {
  struct Row {
    std::vector<std::pair<int, int>> marks;  // (write, close)
    uint8_t state;
    uint32_t to_write;
  };
  const Row rows[] = {
      {{{0, 0}}, kQueueMeta, 0},
      {{{1, 0}}, kQueueWrite, 1},
      {{{1, 1}}, kQueueWriteClose, 1},
      {{{0, 0}, {1, 0}}, kQueueWrite, 1},
      {{{0, 0}, {1, 1}}, kQueueWriteClose, 1},
      {{{1, 0}, {1, 1}}, kQueueWriteClose, 1},
      {{{1, 1}, {1, 0}}, kQueueWriteClose, 1},
      {{{1, 0}, {0, 0}}, kQueueWrite, 1},
      {{{1, 0}, {1, 0}, {1, 0}}, kQueueWrite, 1},
  };
  uint32_t expected_total = 0;
  for (const Row& row : rows) {
    FakeFile* f = AddFile(0, true);
    for (auto [w, c] : row.marks) EXPECT_EQ(volume_->MarkFileDirty(f, w, c), 1);
    EXPECT_EQ(volume_->FileState(f), row.state);
    expected_total += row.to_write;
    EXPECT_EQ(volume_->FilesToWrite(), expected_total);
  }
  EXPECT_TRUE(volume_->busy());
  int unknown = 0;
  EXPECT_EQ(volume_->MarkFileDirty(&unknown, 1, 0), 0);
}

TEST_F(FsVolumeTest, WriterWritesQueuedFilesAndRetriesOnRetryAnswer) {
  AttachFakes();
  std::mutex mu;
  std::vector<bool> busy_changes;
  volume_->set_busy_callback([&](bool on) {
    std::lock_guard l(mu);
    busy_changes.push_back(on);
  });
  FakeFile* ok = AddFile(0, true);
  FakeFile* retry = AddFile(0, true);
  retry->answer = 1237;
  volume_->MarkFileDirty(ok, 1, 1);
  volume_->MarkFileDirty(retry, 1, 0);
  clock_.SetScale(200);
  StartWriter();
  ASSERT_TRUE(test::Eventually([&] { return ok->writes.load() >= 1 && retry->writes.load() >= 2; }));
  EXPECT_EQ(ok->closes.load(), 1);  // state 3 writes in close mode
  EXPECT_EQ(volume_->FileState(ok), kQueueNone);
  retry->answer = 0;
  ASSERT_TRUE(test::Eventually([&] { return volume_->FilesToWrite() == 0; }));
  ASSERT_TRUE(test::Eventually([&] { return !volume_->busy(); }));  // the idle pass leaves busy
  EXPECT_GT(discs_.flushes.load(), 0);
  // Two marks and the passes in between enter and leave busy once each: the
  // service's count of busy volumes stays balanced.
  volume_->set_busy_callback(nullptr);
  EXPECT_EQ(busy_changes, (std::vector<bool>{true, false}));
}

// The writer trims the file table and the cached bytes down to their trim levels.
TEST_F(FsVolumeTest, WriterEvictsDownToTheTrimLevels) {
  struct Row {
    int files;
    int64_t bytes_each;
    size_t remaining;
  };
  const Row rows[] = {
      {1025, 0, 512},         // 1024 x 50 %
      {8, 600 * kMiB, 5},     // 4.8 GiB: down to 3.0 GiB, the first count within 3.2 GiB
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.files);
    TearDown();
    SetUp();
    AttachFakes();
    for (int i = 0; i < row.files; ++i) AddFile(row.bytes_each, false);
    clock_.SetScale(200);
    StartWriter();
    ASSERT_TRUE(test::Eventually([&] { return volume_->FileCount() == row.remaining; }));
    EXPECT_LE(volume_->cached_bytes(), volume_->settings().cache_limit * 80 / 100);
    EXPECT_EQ(freed_.load(), row.files - static_cast<int>(row.remaining));
    EXPECT_EQ(volume_->GetWriterPassCount(), static_cast<uint32_t>(freed_.load()));
  }
}

// Eviction takes the oldest candidates first, however the entries that
// cannot go (referenced or refusing) are spread through the table.
TEST_F(FsVolumeTest, EvictionTakesTheOldestCandidatesAcrossEntriesThatStay) {
  struct Row {
    const char* name;
    int every;           // every n-th entry stays (0: none)
    bool referenced;     // it stays by its reference, else it refuses
  };
  const Row rows[] = {
      {"refusing every 4th", 4, false},
      {"referenced every 3rd", 3, true},
      {"refusing every 2nd", 2, false},
  };
  constexpr int kFiles = 1100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    AttachFakes();
    // Shared with the callback, which the volume may still call after an
    // assertion left this scope.
    auto mu = std::make_shared<std::mutex>();
    auto freed = std::make_shared<std::set<const IOpenFile*>>();
    volume_->set_free_file([mu, freed](IOpenFile* f) {
      std::lock_guard l(*mu);
      freed->insert(f);
    });
    std::vector<FakeFile*> order;
    for (int i = 0; i < kFiles; ++i) {
      const bool stays = i % row.every == row.every - 1;
      FakeFile* f = AddFile(0, stays && row.referenced);
      f->refuses = stays && !row.referenced;
      order.push_back(f);
    }
    const int staying = kFiles / row.every;
    const size_t remaining = std::max<size_t>(512, static_cast<size_t>(staying));
    clock_.SetScale(200);
    StartWriter();
    ASSERT_TRUE(test::Eventually([&] { return volume_->FileCount() == remaining; }));
    volume_->StopWriter();
    writer_.join();
    // Walking from the oldest: every candidate up to the last one freed went,
    // nothing after it, and nothing that had to stay.
    size_t candidates_kept = 0;
    bool gap = false;
    for (int i = 0; i < kFiles; ++i) {
      const bool stays = i % row.every == row.every - 1;
      const bool gone = freed->count(order[i]) != 0;
      if (stays) {
        EXPECT_FALSE(gone) << i;
        continue;
      }
      if (!gone) {
        gap = true;
        ++candidates_kept;
      } else {
        EXPECT_FALSE(gap) << "a newer candidate went before an older one at " << i;
      }
    }
    EXPECT_EQ(candidates_kept + staying, remaining);
  }
}

// Files recorded one by one wait for a disc close before they can be
// evicted: the writer closes the disc for a batch of them, not for each, and
// still closes for a few when the rest cannot be recorded for a while.
TEST_F(FsVolumeTest, DiscClosesForEvictionAreBatched) {
  struct Row {
    const char* name;
    int queued;     // closed files queued for recording
    int recorded;   // closed files already waiting for a disc close
    bool stuck;     // the table is kept full by referenced files and one whose recording is always retried
    size_t at_most;
    int max_closes;
  };
  const Row rows[] = {
      // Closing for every recorded file would take 77 closes to get within 1024.
      {"a burst recorded one by one", 1100, 0, false, 1024, 6},
      {"the rest cannot be recorded", 0, 10, true, 1021, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    discs_.flushes = 0;
    discs_.on_flush = [this] { volume_->CommitAfterDiscClose(); };
    AttachFakes();
    for (int i = 0; i < row.recorded; ++i) AddFile(0, false)->awaits = true;
    if (row.stuck) {
      for (int i = row.recorded; i < 1030; ++i) AddFile(0, true);
      FakeFile* stuck = AddFile(0, true);
      stuck->answer = 1237;
      volume_->MarkFileDirty(stuck, 1, 1);
    }
    for (int i = 0; i < row.queued; ++i) {
      FakeFile* f = AddFile(0, false);
      f->records = true;
      volume_->MarkFileDirty(f, 1, 1);
    }
    clock_.SetScale(200);
    StartWriter();
    ASSERT_TRUE(test::Eventually(
        [&] { return volume_->FileCount() <= row.at_most && (row.stuck || volume_->FilesToWrite() == 0); }));
    EXPECT_LE(discs_.flushes.load(), row.max_closes);
    volume_->StopWriter();
    writer_.join();
    discs_.on_flush = nullptr;
  }
}

TEST_F(FsVolumeTest, ReferencedFilesAreNeverEvicted) {
  AttachFakes();
  for (int i = 0; i < 1030; ++i) AddFile(0, true);
  clock_.SetScale(200);
  StartWriter();
  clock_.Advance(10000);
  EXPECT_FALSE(test::Eventually([&] { return volume_->FileCount() < 1030; }, 300));
}

// Read windows: how long after an uncached read the writer must wait.
TEST_F(FsVolumeTest, WriterWaitsForTheReadWindow) {
  AttachFakes();
  struct Row {
    int foreground;
    uint8_t loaded;
    uint64_t after_read_ms;
    int answer;
  };
  const Row rows[] = {
      {1, 0, 150, 0},   {1, 0, 250, 1},     {0, 0, 1900, 0},  {0, 0, 2100, 1},
      {0, 3, 59000, 0}, {0, 3, 61000, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.after_read_ms);
    for (int i = 0; i < row.foreground; ++i) volume_->BeginForegroundDisc();
    discs_.loaded = row.loaded;
    volume_->BeginRead(true);
    volume_->EndRead();
    clock_.Advance(row.after_read_ms);
    EXPECT_EQ(volume_->MayWriterProceed(), row.answer);
    for (int i = 0; i < row.foreground; ++i) volume_->EndForegroundDisc();
  }
}

TEST_F(FsVolumeTest, ReaderEverySecondYieldsToTheWriterAfterTenMinutes) {
  AttachFakes();
  clock_.SetAutoAdvanceOnSleep(true);
  uint64_t granted_after = 0;
  for (uint64_t s = 0; s <= 700; ++s) {
    volume_->BeginRead(true);
    volume_->EndRead();
    if (volume_->MayWriterProceed() == 1) {
      granted_after = s;
      break;
    }
    clock_.Advance(1000);
  }
  EXPECT_EQ(granted_after, 600u);
  EXPECT_EQ(volume_->MayWriterProceed(), 1);  // the priority holds
  // The reader now waits until the writer has been quiet for 200 ms.
  volume_->BeginWrite();
  volume_->EndWrite();
  const uint64_t before = clock_.NowMs();
  volume_->WaitWriterPriority();
  EXPECT_GE(clock_.NowMs() - before, 200u);
  volume_->BeginRead(true);
  volume_->EndRead();
  EXPECT_EQ(volume_->MayWriterProceed(), 0);  // a fresh ten minutes start
}

TEST_F(FsVolumeTest, WaitForCacheRoomOutcomes) {
  AttachFakes();
  EXPECT_EQ(volume_->WaitForCacheRoom(), 1);  // within limits: at once
  AddFile(5 * kGiB, true);                    // referenced: nothing can be evicted
  clock_.SetScale(1000);
  // No writer answers: every round waits 5000 ms, and after 30000 ms it goes on.
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(volume_->WaitForCacheRoom(), 1);
  EXPECT_GE(clock_.NowMs() - start, 30000u);
  EXPECT_LT(clock_.NowMs() - start, 40000u);
  // A writer that answers at once but makes no progress: 0 after 20 rounds
  // (time runs slower so that the 20 answers come well inside 30000 ms).
  clock_.SetScale(10);
  StartWriter();
  EXPECT_EQ(volume_->WaitForCacheRoom(), 0);
  // Aborted waits go on.
  volume_->SetAbortWaits(true);
  EXPECT_EQ(volume_->WaitForCacheRoom(), 1);
}

TEST_F(FsVolumeTest, PinRetriesLockedFiles) {
  AttachFakes(true);
  clock_.SetAutoAdvanceOnSleep(true);
  struct Row {
    int failures;
    Win32Error fail_with;
    bool retry;
    Win32Error result;
    int fetches;
  };
  const Row rows[] = {
      {3, 167, true, 0, 4},   {2, 80, true, 0, 3},       {3, 167, false, 167, 1},
      {1, 5, true, 5, 1},     {1000, 167, true, 167, 300},
  };
  uint32_t file = 100;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failures);
    discs_.failures = row.failures;
    discs_.fail_with = row.fail_with;
    discs_.fetches = 0;
    const uint64_t start = clock_.NowMs();
    EXPECT_EQ(volume_->PinCacheFile(storage::CK_DAT, 1, ++file, this, row.retry), row.result);
    EXPECT_EQ(discs_.fetches.load(), row.fetches);
    EXPECT_EQ(clock_.NowMs() - start, static_cast<uint64_t>(row.retry ? row.fetches - 1 : 0) * 1500);
  }
  // A second pin by the same owner only counts up; unpins count down.
  discs_.fetches = 0;
  const size_t pins = volume_->PinCount();
  EXPECT_EQ(volume_->PinCacheFile(storage::CK_DAT, 1, 101, this, false), 0u);
  EXPECT_EQ(discs_.fetches.load(), 0);
  EXPECT_EQ(volume_->UnpinCacheFile(storage::CK_DAT, 1, 101, this, true), 0u);
  EXPECT_EQ(volume_->PinCount(), pins);
  EXPECT_EQ(volume_->UnpinCacheFile(storage::CK_DAT, 1, 101, this, true), 0u);
  EXPECT_EQ(volume_->PinCount(), pins - 1);
  EXPECT_EQ(volume_->UnpinCacheFile(storage::CK_DAT, 1, 101, this, true), 2u);
}

TEST_F(FsVolumeTest, CreatedCacheFilesArePinnedAndDeletedOnUnpin) {
  AttachFakes(true);
  uint32_t file = 7;
  fs::path path;
  ASSERT_EQ(volume_->CreateCacheFile(storage::CK_DAT, 2, &file, this, &path), 0u);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(volume_->RenameCacheFile(storage::CK_DAT, 2, file, 3, 9, this), 0u);
  EXPECT_EQ(volume_->RenameCacheFile(storage::CK_DAT, 2, file, 3, 9, this), 2u);
  EXPECT_EQ(volume_->UnpinCacheFile(storage::CK_DAT, 3, 9, this, false), 0u);
  EXPECT_FALSE(fs::exists(path));
}

TEST(FsVolumePatterns, ListsMatchAnyNonEmptyPattern) {
  struct Row {
    std::u16string_view list, name;
    bool match;
  };
  const Row rows[] = {
      {u"", u"a.tmp", false},          {u";;", u"a", false},
      {u"*.tmp", u"A.TMP", true},      {u"~$*", u"~$doc.docx", true},
      {u"*.bak;;*.tmp", u"x.tmp", true}, {u"*.bak;;*.tmp", u"x.txt", false},
      {u";a?c;", u"abc", true},        {u"*.bak;", u"", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CFsVolume::MatchesList(row.list, row.name), row.match)
        << std::string(row.list.begin(), row.list.end()) << " / " << std::string(row.name.begin(), row.name.end());
  }
}

TEST_F(FsVolumeTest, CapacityAccountingAgainstFreeSpace) {
  AttachFakes();
  discs_.current = 10;
  discs_.capacity = 1 * kGiB;
  discs_.free_bytes = 512 * kMiB;
  EXPECT_EQ(volume_->TotalCapacity(), 12 * kGiB);
  EXPECT_EQ(volume_->FreeCapacity(), kGiB + 512 * kMiB);
  EXPECT_EQ(volume_->HasRoomFor(kGiB + 448 * kMiB), 1);
  EXPECT_EQ(volume_->HasRoomFor(kGiB + 448 * kMiB + 1), 0);
  EXPECT_EQ(volume_->AddPendingBytes(kGiB), 1);
  EXPECT_EQ(volume_->AddMetadataBytes(448 * kMiB), 1);
  EXPECT_EQ(volume_->AddMetadataBytes(1), 0);
  const uint32_t passes = volume_->GetWriterPassCount();
  EXPECT_EQ(volume_->AddPendingBytes(-2 * kGiB), 1);  // clamped at 0, counts a pass
  EXPECT_EQ(volume_->pending_bytes(), 0);
  EXPECT_EQ(volume_->GetWriterPassCount(), passes + 1);
  discs_.writable = false;
  EXPECT_EQ(volume_->FreeCapacity(), 0);
  EXPECT_EQ(volume_->HasRoomFor(0), 0);
}

TEST_F(FsVolumeTest, SplitSettingAndTheCapacityGate) {
  EXPECT_TRUE(volume_->SetSplitSetting(-1));
  EXPECT_TRUE(volume_->IsSingleWriter());
  EXPECT_EQ(volume_->EnterCapacityGate(), 1);
  clock_.SetScale(1000);
  EXPECT_EQ(volume_->EnterCapacityGate(), 0);  // a second writer times out
  EXPECT_FALSE(volume_->SetSplitSetting(0));   // refused while a writer is inside
  volume_->LeaveCapacityGate();
  EXPECT_TRUE(volume_->SetSplitSetting(1000));
  EXPECT_FALSE(volume_->IsSingleWriter());
  EXPECT_EQ(volume_->EnterCapacityGate(), 1);
  EXPECT_EQ(volume_->TryEnterCapacityGate(), 1);  // unrestricted writers
  EXPECT_FALSE(volume_->SetSplitSetting(-1));
  volume_->LeaveCapacityGate();
  volume_->LeaveCapacityGate();
  EXPECT_TRUE(volume_->SetSplitSetting(-1));
}

TEST_F(FsVolumeTest, ReadOnlyReleaseAndFailureReports) {
  AttachFakes();
  volume_->set_read_only_bits(kReadOnlyOtherSystem);
  EXPECT_EQ(volume_->ReleaseReadOnly(2), 0);
  EXPECT_EQ(volume_->ReleaseReadOnly(0), 1);
  EXPECT_EQ(volume_->read_only(), kReadOnlyOtherSystem);
  unit_.write_held = true;
  EXPECT_EQ(volume_->ReleaseReadOnly(1), 1);
  EXPECT_EQ(volume_->read_only(), 0);
  EXPECT_FALSE(unit_.write_held);
  volume_->ReportWriteFailure(0);
  volume_->ReportWriteFailure(1);
  volume_->ReportWriteFailure(7);
  EXPECT_EQ(volume_->read_only(), kReadOnlyRefused | kReadOnlyWriteFailed);
  EXPECT_EQ(unit_.Count(kNoticeWriteFailed), 1);
  std::vector<uint32_t> logged;
  int detached = 0;
  volume_->set_event_log([&](uint32_t id) { logged.push_back(id); });
  volume_->set_detach_callback([&] { ++detached; });
  volume_->FatalError(0xC0000064);
  EXPECT_EQ(logged, std::vector<uint32_t>{0xC0000064});
  EXPECT_EQ(detached, 1);
}

TEST_F(FsVolumeTest, BusyOpenFilesAndTrimMarks) {
  FakeFile* idle = AddFile(0, false);
  FakeFile* busy = AddFile(0, true);
  busy->in_host = true;
  EXPECT_EQ(volume_->HasBusyOpenFiles(), 0);
  idle->unwritten = true;  // unreferenced: does not count
  EXPECT_EQ(volume_->HasBusyOpenFiles(), 0);
  busy->unwritten = true;
  EXPECT_EQ(volume_->HasBusyOpenFiles(), 1);
  volume_->MarkOpenFilesForTrim();
  EXPECT_TRUE(busy->trim);
  EXPECT_FALSE(idle->trim);
}

// ---- Open with a real structure catalog ----

class CatalogRestore : public IVolumeRestore {
 public:
  RestoreResult RestoreState(CFsVolume& volume) override {
    auto db = std::make_unique<storage::CStructureDb>();
    const fs::path path = dir / "struct.db";
    const std::string narrow = path.string();
    const std::u16string p(narrow.begin(), narrow.end());
    if (db->Create(p) != 0) return RestoreResult::kFatal;
    if (last_system) db->SetProperty("LastSystem", last_system->data(), last_system->size());
    if (version) {
      uint8_t raw[8];
      for (int i = 0; i < 8; ++i) raw[i] = static_cast<uint8_t>(*version >> (8 * i));
      db->SetProperty("Version", raw, 8);
    }
    db->SetChangeState(changed ? 1 : 0);
    catalog = db.get();
    volume.SetStructure(std::move(db), 0);
    return result;
  }
  fs::path dir;
  std::optional<MachineIdentity> last_system;
  std::optional<uint64_t> version;
  bool changed = false;
  RestoreResult result = RestoreResult::kRestored;
  storage::CStructureDb* catalog = nullptr;
};

TEST_F(FsVolumeTest, OpenChecksWhoWroteTheMagazineLast) {
  MachineIdentity other;
  other.fill(0x11);
  struct Row {
    const char* name;
    std::optional<MachineIdentity> last;
    std::optional<uint64_t> version;
    bool clean, from_discs, changed;
    bool read_only;
    bool last_rewritten;
  };
  const Row rows[] = {
      {"other computer, no marker", other, 11, false, false, false, true, false},
      {"other computer, clean marker", other, 11, true, false, true, false, true},
      {"old version", other, 10, false, false, false, false, false},
      {"this computer", identity_, 11, false, false, false, false, true},
      {"this computer, taken from discs", identity_, 11, false, true, false, true, true},
      {"no marker, no LastSystem, local state", std::nullopt, 11, false, false, false, false, false},
      {"no LastSystem, taken from discs", std::nullopt, 11, false, true, false, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    SetUp();
    CatalogRestore restore;
    restore.dir = temp_;
    restore.last_system = row.last;
    restore.version = row.version;
    restore.changed = row.changed;
    restore.result = row.from_discs ? RestoreResult::kFromDiscs : RestoreResult::kRestored;
    discs_.clean = row.clean;
    int archives = 0;
    VolumeOpenParts parts;
    parts.unit = &unit_;
    parts.discs = &discs_;
    parts.cache = MakeCache();
    parts.restore = &restore;
    parts.run_archive = [&] { ++archives; };
    ASSERT_TRUE(volume_->Open(std::move(parts)));
    EXPECT_EQ((volume_->read_only() & kReadOnlyOtherSystem) != 0, row.read_only);
    EXPECT_EQ(unit_.Count(kNoticeOtherSystem), row.read_only ? 1 : 0);
    EXPECT_EQ(unit_.write_held, row.read_only);
    EXPECT_EQ(archives, row.read_only ? 0 : 1);
    uint8_t raw[32] = {};
    size_t len = 0;
    ASSERT_EQ(restore.catalog->GetProperty("Version", raw, 8, &len), 1);
    EXPECT_EQ(raw[0], 0x04);  // the program version, low part first
    EXPECT_EQ(raw[7], 0x00);
    EXPECT_EQ(raw[6], 0x01);
    const bool is_ours = restore.catalog->GetProperty("LastSystem", raw, 32, &len) == 1 &&
                         std::memcmp(raw, identity_.data(), 32) == 0;
    EXPECT_EQ(is_ours, row.last_rewritten || (row.last && *row.last == identity_));
    EXPECT_EQ(discs_.other_system, !is_ours);
    EXPECT_TRUE(volume_->MatchesPatternList1(u"~$x.doc"));
    EXPECT_TRUE(volume_->MatchesPatternList2(u"a.TMP"));
  }
}

TEST_F(FsVolumeTest, OpenFailsOnAFatalSearchAndNewVolumeWithoutDisc) {
  struct Row {
    RestoreResult result;
    uint8_t current;
  };
  for (const Row& row : {Row{RestoreResult::kFatal, 0}, Row{RestoreResult::kNewVolume, 255}}) {
    TearDown();
    SetUp();
    CatalogRestore restore;
    restore.dir = temp_;
    restore.result = row.result;
    discs_.current = row.current;
    VolumeOpenParts parts;
    parts.unit = &unit_;
    parts.discs = &discs_;
    parts.cache = MakeCache();
    parts.restore = &restore;
    EXPECT_FALSE(volume_->Open(std::move(parts)));
  }
}

TEST_F(FsVolumeTest, OpenTakesTheMagazineConfiguration) {
  CatalogRestore restore;
  restore.dir = temp_;
  VolumeOpenParts parts;
  parts.unit = &unit_;
  parts.discs = &discs_;
  parts.cache = MakeCache();
  parts.restore = &restore;
  parts.have_config = true;
  parts.config_split = -1;
  parts.config_mode = 0;
  parts.config_keep = 7;
  unit_.read_only = true;
  ASSERT_TRUE(volume_->Open(std::move(parts)));
  EXPECT_EQ(volume_->split_setting(), -1);
  EXPECT_TRUE(volume_->IsSingleWriter());
  EXPECT_EQ(volume_->settings().retention_mode, 1);
  EXPECT_EQ(volume_->settings().cache_keep_count, 7);
  EXPECT_EQ(volume_->read_only(), kReadOnlyVolume);
  volume_->Close();
  EXPECT_EQ(discs_.mark_clean.load(), 1);  // read-only bit 2 does not keep the marker away
}

}  // namespace
}  // namespace kelva::volume

namespace kelva::volume {
namespace {

// Records every cache file under its own identity.
class FakeRecorder : public storage::IDiscRecorder {
 public:
  uint8_t CurrentDisc() override { return 0; }
  bool CanWrite() override { return true; }
  Win32Error RecordCacheFile(CacheKind kind, uint8_t disc, uint32_t file, bool, const fs::path*, uint8_t* out_disc,
                             uint32_t* out_file) override {
    std::lock_guard l(mu);
    if (!answers.empty()) {
      const Win32Error e = answers.front();
      answers.pop_front();
      if (e != 0) return e;
    }
    recorded.emplace_back(kind, file);
    if (out_disc != nullptr) *out_disc = disc;
    if (out_file != nullptr) *out_file = file;
    return 0;
  }
  Win32Error RecordLogHead(uint8_t disc, uint32_t file, bool, uint8_t* out_disc, uint32_t* out_file) override {
    if (out_disc != nullptr) *out_disc = disc;
    if (out_file != nullptr) *out_file = file;
    return 0;
  }
  bool ChangeDisc(uint8_t) override {
    ++changes;
    return change_ok;
  }
  void LockIo() override {}
  void UnlockIo() override {}
  Win32Error ReadData(CacheKind, uint8_t, uint32_t, uint64_t, void*, uint32_t, uint32_t*) override { return 2; }
  Win32Error BeginDataFile(CacheKind, uint32_t, bool) override { return 19; }
  Win32Error WriteData(const void*, uint32_t, uint32_t*) override { return 19; }
  Win32Error SetDataLength(uint64_t) override { return 19; }
  Win32Error CloseDataFile() override { return 0; }
  size_t Count() {
    std::lock_guard l(mu);
    return recorded.size();
  }
  std::mutex mu;
  std::vector<std::pair<CacheKind, uint32_t>> recorded;
  std::deque<Win32Error> answers;  // answered before recording, one per call
  bool change_ok = false;
  int changes = 0;
};

class CatalogVolumeTest : public FsVolumeTest {
 protected:
  bool OpenWith(CCatalogRestore* restore) {
    VolumeOpenParts parts;
    parts.unit = &unit_;
    parts.discs = &discs_;
    parts.recorder = &recorder_;
    parts.cache = MakeCache();
    parts.restore = restore;
    parts.run_archive = [this] { ++archives_; };
    return volume_->Open(std::move(parts));
  }
  FakeRecorder recorder_;
  int archives_ = 0;
};

// A new volume gets a structure catalog and a root; a directory created in it
// is written by the writer, and the catalog found again after close holds it.
TEST_F(CatalogVolumeTest, NewVolumeRoundTripsThroughTheCache) {
  CCatalogRestore fresh(std::nullopt);
  ASSERT_TRUE(OpenWith(&fresh));
  EXPECT_EQ(volume_->read_only(), 0);
  EXPECT_EQ(archives_, 1);
  ASSERT_NE(volume_->root(), nullptr);
  uint8_t raw[32] = {};
  size_t len = 0;
  ASSERT_EQ(volume_->structure()->GetProperty("LastSystem", raw, 32, &len), 1);  // a new catalog is changed
  EXPECT_EQ(std::memcmp(raw, identity_.data(), 32), 0);
  const uint32_t catalog_number = volume_->structure_file();

  auto sub = std::make_unique<storage::CDirObject>(volume_.get());
  storage::CDirObject* raw_sub = sub.get();
  DirRef* sub_ref = volume_->AddDirectory(std::move(sub), volume_->root());
  ASSERT_EQ(raw_sub->Create(volume_->root()->dir->catalog(), u"docs", 0, 133000000000000000LL), 0u);
  EXPECT_EQ(volume_->DirectoryTableIndex(raw_sub), 2u);
  EXPECT_EQ(volume_->DirectoryTableAt(2), raw_sub->catalog());
  EXPECT_GT(volume_->metadata_bytes(), 0);
  EXPECT_EQ(volume_->MarkDirectoryDirty(raw_sub, 1, 0), 1);
  EXPECT_EQ(volume_->DirectoryState(raw_sub), kQueueWrite);
  std::vector<char16_t> path(64);
  const size_t n = volume_->CatalogBuildPath(raw_sub, path.size(), path.data());
  EXPECT_EQ(std::u16string(path.end() - static_cast<long>(n), path.end()), u"\\docs");

  clock_.SetScale(200);
  StartWriter();
  ASSERT_TRUE(test::Eventually([&] { return recorder_.Count() > 0 && !volume_->busy(); }));
  EXPECT_EQ(volume_->DirectoryState(raw_sub), kQueueNone);
  volume_->ReleaseDirectory(sub_ref);
  volume_->StopWriter();
  writer_.join();
  volume_->settings().retention_mode = 2;  // keep the whole cache
  volume_->Close();
  EXPECT_EQ(discs_.mark_clean.load(), 1);

  // Open again from the catalog left in the cache.
  volume_ = std::make_unique<CFsVolume>(nullptr, clock_, 0x0001000200030004ULL, identity_);
  CCatalogRestore found(catalog_number);
  ASSERT_TRUE(OpenWith(&found));
  uint8_t disc = 0;
  uint32_t file = 0;
  EXPECT_EQ(volume_->structure()->LookupPath(u"docs", -1, &disc, &file, 0), 1);
  storage::DirEntryRecord entry;
  EXPECT_EQ(volume_->root()->dir->GetEntry(u"docs", &entry), 0u);
  EXPECT_EQ(discs_.fetches.load(), 0);  // it was in the cache: nothing fetched
}

// Unreferenced directories above the table limit are written and evicted down
// to the trim level; referenced ones (the root) stay.
TEST_F(CatalogVolumeTest, WriterEvictsUnreferencedDirectories) {
  CCatalogRestore fresh(std::nullopt);
  ASSERT_TRUE(OpenWith(&fresh));
  volume_->settings().dir_limit = 16;
  volume_->settings().dir_trim_percent = 50;
  std::vector<DirRef*> refs;
  for (int i = 0; i < 20; ++i) {
    auto dir = std::make_unique<storage::CDirObject>(volume_.get());
    storage::CDirObject* raw = dir.get();
    refs.push_back(volume_->AddDirectory(std::move(dir), volume_->root()));
    const std::string name = "d" + std::to_string(i);
    ASSERT_EQ(raw->Create(volume_->root()->dir->catalog(), std::u16string(name.begin(), name.end()), 0,
                          133000000000000000LL),
              0u);
  }
  EXPECT_EQ(volume_->DirectoryCount(), 21u);
  volume_->ReleaseDirectory(refs[3]);  // released before the writer starts: still seen
  clock_.SetScale(200);
  StartWriter();
  ASSERT_TRUE(test::Eventually([&] { return volume_->DirectoryCount() == 20u; }));
  for (size_t i = 0; i < refs.size(); ++i) {
    if (i != 3) volume_->ReleaseDirectory(refs[i]);
  }
  ASSERT_TRUE(test::Eventually([&] { return volume_->DirectoryCount() == 8u; }));
  EXPECT_NE(volume_->root(), nullptr);
  EXPECT_NE(volume_->DirectoryTableIndex(volume_->root()->dir.get()), 0u);
  // Every evicted directory left its catalog recorded and its row in the root.
  for (int i = 0; i < 20; ++i) {
    const std::string name = "d" + std::to_string(i);
    storage::DirEntryRecord entry;
    EXPECT_EQ(volume_->root()->dir->GetEntry(std::u16string(name.begin(), name.end()), &entry), 0u);
  }
}

// SaveCatalog's outcomes: a full disc moves to the next one and saves there,
// a magazine without a further disc and other errors send 0x51, and 641/1237
// come back silently for a later retry; the catalog stays changed unless saved.
TEST_F(CatalogVolumeTest, SaveCatalogOutcomes) {
  struct Row {
    const char* what;
    std::deque<Win32Error> answers;
    bool change_ok;
    Win32Error result;
    std::vector<uint8_t> notifications;
    int changes;
    uint8_t state_after;
  };
  const Row rows[] = {
      {"saved", {0}, false, 0, {kNotifyCatalogSaved}, 0, 2},
      {"full disc, next disc", {112, 0}, true, 0, {kNotifyCatalogSaved}, 1, 2},
      {"full magazine", {112}, false, 112, {kNotifyCatalogSaveFailed}, 1, 1},
      {"retry later", {1237}, false, 1237, {}, 0, 1},
      {"closing", {641}, false, 641, {}, 0, 1},
      {"engine failed", {31}, false, 31, {kNotifyCatalogSaveFailed}, 0, 1},
  };
  CCatalogRestore fresh(std::nullopt);
  ASSERT_TRUE(OpenWith(&fresh));
  std::vector<uint8_t> sent;
  volume_->set_notify_callback([&](const uint8_t* m, size_t n) {
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(m[0], 0xFF);
    sent.push_back(m[1]);
  });
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    sent.clear();
    recorder_.answers = r.answers;
    recorder_.change_ok = r.change_ok;
    recorder_.changes = 0;
    volume_->structure()->SetChangeState(1);
    EXPECT_EQ(volume_->SaveCatalog(), r.result);
    EXPECT_EQ(sent, r.notifications);
    EXPECT_EQ(recorder_.changes, r.changes);
    EXPECT_EQ(volume_->structure()->ChangeState(), r.state_after);
    if (r.result == 0) {
      EXPECT_EQ(volume_->catalog_time(), discs_.catalog_time);  // read back from the disc
    }
  }
  // Nothing changed: nothing is recorded, the growth is settled.
  const size_t recorded = recorder_.Count();
  volume_->structure()->SetChangeState(0);
  EXPECT_EQ(volume_->SaveCatalog(), 0u);
  EXPECT_EQ(recorder_.Count(), recorded);
  volume_->set_notify_callback(nullptr);
}

}  // namespace
}  // namespace kelva::volume
