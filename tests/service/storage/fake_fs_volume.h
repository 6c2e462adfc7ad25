// A volume for the directory-object and history-log tests: a real cache store,
// a real structure catalog and real space accounting, with the discs kept in
// memory (FakeDisc) so that recordings, full discs and disc changes can be set
// up and looked at. Calls the objects make are counted for the tests to check.
#pragma once

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/cache_store.h"
#include "service/storage/catalog_structure.h"
#include "service/storage/dir_object.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume_iface.h"

namespace kelva::storage::testing {

namespace fs = std::filesystem;
using platform::Win32Error;

// Discs in memory: what was recorded where, with a capacity per disc.
class FakeDisc : public IDiscRecorder {
 public:
  using Key = std::tuple<uint8_t, uint8_t, uint32_t>;  // kind, disc, file

  explicit FakeDisc(CCacheStore* store, std::function<uint32_t()> next_number)
      : store_(store), next_number_(std::move(next_number)) {}

  uint8_t CurrentDisc() override { return current; }
  bool CanWrite() override { return writable; }
  Win32Error RecordCacheFile(CacheKind kind, uint8_t disc, uint32_t file, bool on_disc, const fs::path* source,
                             uint8_t* out_disc, uint32_t* out_file) override {
    fs::path path;
    if (source != nullptr) {
      path = *source;
    } else if (!store_->CacheFilePath(kind, disc, file, 0, &path)) {
      return platform::ERROR_FILE_NOT_FOUND;
    }
    std::string bytes;
    if (const Win32Error e = platform::ReadWholeFile(path, &bytes); e != 0) return e;
    return Put(kind, disc, file, on_disc, std::move(bytes), out_disc, out_file);
  }
  Win32Error RecordLogHead(uint8_t disc, uint32_t file, bool on_disc, uint8_t* out_disc,
                           uint32_t* out_file) override {
    fs::path path;
    if (!store_->CacheFilePath(CK_LOG, disc, file, 0, &path)) return platform::ERROR_FILE_NOT_FOUND;
    std::string bytes;
    if (const Win32Error e = platform::ReadWholeFile(path, &bytes); e != 0) return e;
    bytes.resize(std::min<size_t>(bytes.size(), kHistorySegmentLimit));
    ++head_recordings;
    return Put(CK_LOG, disc, file, on_disc, std::move(bytes), out_disc, out_file);
  }
  bool ChangeDisc(uint8_t n) override {
    if (n > highest) return false;
    if (n > current) current = n;
    return true;
  }

  void LockIo() override {
    io_.lock();
    ++io_locks;
  }
  void UnlockIo() override { io_.unlock(); }
  Win32Error ReadData(CacheKind kind, uint8_t disc, uint32_t file, uint64_t offset, void* buffer, uint32_t count,
                      uint32_t* done) override {
    *done = 0;
    auto it = files.find({kind, disc, file});
    if (it == files.end()) return platform::ERROR_FILE_NOT_FOUND;
    if (offset < it->second.size()) {
      *done = static_cast<uint32_t>(std::min<uint64_t>(count, it->second.size() - offset));
      std::memcpy(buffer, it->second.data() + offset, *done);
    }
    ++data_reads;
    return 0;
  }
  Win32Error BeginDataFile(CacheKind kind, uint32_t file, bool create) override {
    if (!writable) return platform::ERROR_WRITE_PROTECT;
    const Key key{kind, current, file};
    if (create && files.count(key)) return platform::ERROR_FILE_EXISTS;
    if (!create && !files.count(key)) return platform::ERROR_FILE_NOT_FOUND;
    files[key];
    in_progress_ = key;
    open_ = true;
    return 0;
  }
  Win32Error WriteData(const void* data, uint32_t count, uint32_t* done) override {
    *done = 0;
    if (!open_) return platform::ERROR_INVALID_HANDLE;
    if (on_write) std::exchange(on_write, nullptr)();
    const uint64_t used = UsedOn(std::get<1>(in_progress_));
    const uint64_t room = full.count(std::get<1>(in_progress_)) ? 0 : (used >= disc_bytes ? 0 : disc_bytes - used);
    *done = static_cast<uint32_t>(std::min<uint64_t>(count, room));
    files[in_progress_].append(static_cast<const char*>(data), *done);
    return *done == count ? Win32Error{0} : Win32Error{platform::ERROR_DISK_FULL};
  }
  Win32Error SetDataLength(uint64_t length) override {
    if (!open_) return platform::ERROR_INVALID_HANDLE;
    files[in_progress_].resize(length);
    return 0;
  }
  Win32Error CloseDataFile() override {
    open_ = false;
    return 0;
  }
  uint64_t UsedOn(uint8_t disc) const {
    uint64_t used = 0;
    for (const auto& [key, bytes] : files) {
      if (std::get<1>(key) == disc) used += bytes.size();
    }
    return used;
  }

  // Copies a recorded file back into the cache (as a fetch from the discs does).
  Win32Error Fetch(CacheKind kind, uint8_t disc, uint32_t file) {
    auto it = files.find({kind, disc, file});
    if (it == files.end()) return platform::ERROR_FILE_NOT_FOUND;
    platform::File f;
    uint32_t number = file;
    if (const Win32Error e = store_->CreateCacheFile(kind, disc, &number, 0, &f, true); e != 0) return e;
    return f.WriteAllAt(0, it->second.data(), static_cast<uint32_t>(it->second.size()));
  }

  std::map<Key, std::string> files;
  std::set<uint8_t> full;  // discs that take nothing more
  uint8_t current = 0;
  uint8_t highest = 11;
  bool writable = true;
  int head_recordings = 0;
  uint64_t disc_bytes = UINT64_MAX;  // data bytes each disc takes (WriteData)
  std::atomic<int> io_locks{0};
  std::atomic<int> data_reads{0};
  // Run once by the next data write, while the recorder copies (no file lock held).
  std::function<void()> on_write;
  // Errors answered by the next recordings, first one first.
  std::vector<Win32Error> fail_next;

 private:
  Win32Error Put(CacheKind kind, uint8_t disc, uint32_t file, bool on_disc, std::string bytes, uint8_t* out_disc,
                 uint32_t* out_file) {
    if (!writable) return platform::ERROR_WRITE_PROTECT;
    if (!fail_next.empty()) {
      const Win32Error e = fail_next.front();
      fail_next.erase(fail_next.begin());
      return e;
    }
    if (full.count(current)) return platform::ERROR_DISK_FULL;
    // A file recorded before, or one from a lower disc, gets a new number.
    uint32_t number = on_disc || disc < current ? next_number_() : file;
    while (files.count({kind, current, number})) number = next_number_();
    files[{kind, current, number}] = std::move(bytes);
    *out_disc = current;
    *out_file = number;
    return platform::ERROR_SUCCESS;
  }

  CCacheStore* store_;
  std::function<uint32_t()> next_number_;
  std::recursive_mutex io_;
  Key in_progress_{};
  bool open_ = false;
};

class FakeFsVolume : public volume::IFsVolume, public ICacheStoreOwner {
 public:
  explicit FakeFsVolume(const fs::path& data) : store_(this, data, clock), disc_(&store_, [this] { return NextFileNumber(); }) {
    clock.SetAutoAdvanceOnSleep(true);
    EXPECT_TRUE(store_.Open(u"MAG-TEST"));
    uint32_t number = 1;
    platform::File f;
    EXPECT_EQ(store_.CreateCacheFile(CK_DB, kStructDisc, &number, 0, &f, false), 0u);
    f.Close();
    fs::path path;
    EXPECT_TRUE(store_.CacheFilePath(CK_DB, kStructDisc, number, 0, &path));
    EXPECT_EQ(structure.Create(platform::Utf8ToUtf16(path.string())), SQLITE_OK);
  }
  ~FakeFsVolume() override {
    structure.Close();
    store_.Close();
  }

  // ---- what the tests set up and look at ----
  platform::TestClock clock;
  CStructureDb structure;
  FakeDisc& disc() { return disc_; }
  CCacheStore& store() { return store_; }
  std::atomic<int64_t> metadata_bytes{0};
  int64_t free_capacity = INT64_MAX / 4;
  uint8_t history_flag = 1;
  std::vector<std::tuple<CDirObject*, int, int>> dirty;
  std::vector<std::string> notifications;
  std::vector<CDirectoryDb*> queued_catalogs;
  std::vector<CDirectoryDb*> references;  // ReferenceOfCatalog: position + 1
  std::map<std::tuple<uint8_t, uint8_t, uint32_t, const void*>, int> pins;
  int exclusive_depth = 0;
  int max_exclusive_depth = 0;
  // Directories the volume has open (SyncDirectoryGrowth finds them by catalog).
  void Register(CDirObject* dir) { open_.push_back(dir); }
  void Unregister(CDirObject* dir) { std::erase(open_, dir); }
  bool Pinned(CacheKind kind, uint8_t disc, uint32_t file) {
    for (auto& [key, count] : pins) {
      if (std::get<0>(key) == kind && std::get<1>(key) == disc && std::get<2>(key) == file && count > 0) return true;
    }
    return false;
  }

  // ---- ICacheStoreOwner ----
  void ReportCacheShortage() override {}
  uint32_t NewFileNumber(CacheKind, uint8_t) override { return NextFileNumber(); }

  // ---- IFsVolume ----
  IDiscRecorder* GetDiscEngine() override { return &disc_; }
  CCacheStore* GetCacheStore() override { return &store_; }
  unit::UnitController* GetUnitController() override { return nullptr; }
  uint32_t NextFileNumber() override { return next_number_++; }
  int SettleCatalogGrowth() override { return 1; }
  int SettleDirectoryGrowth(CDirectoryDb* catalog) override {
    CDirObject* dir = Find(catalog);
    if (dir == nullptr) return 0;
    queued_catalogs.push_back(catalog);
    if (catalog->ChangeState() == 1) {
      MarkDirectoryDirty(dir, 0, 0);
    } else {
      metadata_bytes -= dir->ExchangeAccountedSize(0);
    }
    return 1;
  }
  int MarkDirectoryDirty(CDirObject* dir, int write, int close) override {
    dirty.emplace_back(dir, write, close);
    return 1;
  }
  int MarkFileDirty(void* file, int write, int close) override {
    std::lock_guard lock(file_dirty_mu_);
    file_dirty.emplace_back(file, write, close);
    return 1;
  }
  void CheckCachePressure() override {}
  Win32Error CatalogAddEntry(std::u16string_view path, uint8_t disc, uint32_t file) override {
    return structure.AddDirectory(path, disc, file) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  Win32Error CatalogRelocate(uint8_t od, uint32_t of, uint8_t nd, uint32_t nf) override {
    if (fail_relocate) return platform::ERROR_ACCESS_DENIED;
    return structure.ChangeIdentity(od, of, nd, nf);
  }
  Win32Error CatalogDeleteEntry(uint8_t disc, uint32_t file) override {
    return structure.SetDeleted(disc, file) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  Win32Error CatalogUndeleteEntry(uint8_t disc, uint32_t file) override {
    return structure.ClearDeleted(disc, file) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  Win32Error CatalogRenameEntry(uint8_t disc, uint32_t file, std::u16string_view name) override {
    return structure.RenameDirectory(disc, file, name) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  Win32Error CatalogRenameChild(uint8_t dd, uint32_t df, std::u16string_view old_name,
                                std::u16string_view new_name) override {
    uint8_t disc = 0;
    uint32_t file = 0;
    if (!structure.LookupChild(dd, df, old_name, &disc, &file)) return platform::ERROR_ACCESS_DENIED;
    return structure.RenameDirectory(disc, file, new_name) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  Win32Error CatalogMoveEntry(uint8_t disc, uint32_t file, std::u16string_view path) override {
    return structure.MoveDirectory(disc, file, path) ? Win32Error{0} : Win32Error{platform::ERROR_ACCESS_DENIED};
  }
  size_t CatalogPathLength(const CDirObject* dir) override {
    return dir ? structure.GetPathLength(dir->current_disc(), dir->current_file()) : 0;
  }
  size_t CatalogBuildPath(const CDirObject* dir, size_t capacity, char16_t* buffer) override {
    return dir ? structure.BuildPath(capacity, dir->current_disc(), dir->current_file(), buffer) : 0;
  }
  uint32_t DirectoryTableIndex(const CDirObject* dir) override {
    for (size_t i = 0; i < open_.size(); ++i) {
      if (open_[i] == dir) return static_cast<uint32_t>(i + 1);
    }
    return 0;
  }
  CDirectoryDb* DirectoryTableAt(uint32_t index) override {
    return index >= 1 && index <= open_.size() ? open_[index - 1]->catalog() : nullptr;
  }
  Win32Error PinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool) override {
    auto& count = pins[{kind, disc, file, owner}];
    if (count == 0) {
      fs::path path;
      if (!store_.CacheFilePath(kind, disc, file, 0, &path)) {
        if (const Win32Error e = disc_.Fetch(kind, disc, file); e != 0) {
          pins.erase({kind, disc, file, owner});
          return e;
        }
        ++fetches;
      }
    }
    ++count;
    return 0;
  }
  Win32Error CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, const void* owner,
                             fs::path* path) override {
    platform::File f;
    if (const Win32Error e = store_.CreateCacheFile(kind, disc, file, 0, &f, false); e != 0) return e;
    store_.CacheFilePath(kind, disc, *file, 0, path);
    ++pins[{kind, disc, *file, owner}];
    return 0;
  }
  Win32Error PinCacheFileKeyed(CacheKind kind, uint8_t disc, uint32_t file, const void* key) override {
    ++pins[{kind, disc, file, key}];
    return 0;
  }
  Win32Error RenameCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint8_t nd, uint32_t nf,
                             const void* owner) override {
    auto it = pins.find({kind, disc, file, owner});
    if (it == pins.end()) return platform::ERROR_FILE_NOT_FOUND;
    if (const Win32Error e = store_.ReKey(kind, disc, file, nd, nf); e != 0) return e;
    const int count = it->second;
    pins.erase(it);
    pins[{kind, nd, nf, owner}] += count;
    return 0;
  }
  Win32Error UnpinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool keep) override {
    auto it = pins.find({kind, disc, file, owner});
    if (it == pins.end()) return platform::ERROR_FILE_NOT_FOUND;
    if (--it->second > 0) return 0;
    pins.erase(it);
    if (kind == CK_DIR || keep) {
      store_.MarkForDeletion(kind, disc, file);
    } else {
      store_.DeleteCacheFile(kind, disc, file, 0);
    }
    return 0;
  }
  Win32Error UnpinAndDeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner) override {
    if (pins.erase({kind, disc, file, owner}) == 0) return platform::ERROR_FILE_NOT_FOUND;
    return store_.DeleteCacheFile(kind, disc, file, 0);
  }
  uint32_t GetWriterPassCount() override { return 0; }
  void AddCachedBytes(int64_t delta) override { cached_bytes += delta; }
  int WaitForCacheRoom() override { return 1; }
  void WaitDirectoryEviction() override {}
  void WaitWriterPriority() override {}
  int MayWriterProceed() override { return 1; }
  void BeginForegroundDisc() override {}
  void EndForegroundDisc() override {}
  int AddPendingBytes(int64_t delta) override {
    pending_bytes += delta;
    return delta < 0 ? 1 : HasRoomFor(0);
  }
  int AddMetadataBytes(int64_t delta) override {
    metadata_bytes += delta;
    return delta < 0 ? 1 : HasRoomFor(0);
  }
  int SyncCatalogGrowth() override { return 1; }
  int SyncDirectoryGrowth(CDirectoryDb* catalog) override {
    CDirObject* dir = Find(catalog);
    if (dir == nullptr) return 1;
    const int64_t now = static_cast<int64_t>(catalog->FileSize());
    return AddMetadataBytes(now - dir->ExchangeAccountedSize(now));
  }
  int HasRoomFor(int64_t bytes) override {
    return metadata_bytes.load() + pending_bytes.load() + bytes + (int64_t{64} << 20) <= free_capacity ? 1 : 0;
  }
  void CommitAfterDiscClose() override {}
  // The fake discs keep what is recorded at once.
  uint64_t DiscCloses() override { return ++disc_closes; }
  uint64_t disc_closes = 0;
  void ReloadForDisc(uint8_t) override {}
  void DiscEngineEvent(int) override {}
  Win32Error StampAndSaveCatalog() override { return 0; }
  void FatalError(uint32_t) override {}
  void Notify(const uint8_t* message, size_t length) override {
    notifications.emplace_back(reinterpret_cast<const char*>(message), length);
  }
  bool IsSingleWriter() override { return single_writer; }
  int64_t SingleFileLimit() override { return single_file_limit; }
  bool SplitActive() override { return false; }
  int64_t GetSmallFileLimit() override { return small_file_limit; }
  uint8_t GetPatternFlag() override { return 1; }
  bool MatchesPatternList1(std::u16string_view) override { return false; }
  bool MatchesPatternList2(std::u16string_view) override { return false; }
  int64_t CacheReserve() override { return 0; }
  uint8_t GetHistoryFlag() override { return history_flag; }
  uint32_t ReferenceOfCatalog(const CDirectoryDb* catalog) override {
    for (size_t i = 0; i < references.size(); ++i) {
      if (catalog != nullptr && references[i] == catalog) return static_cast<uint32_t>(i + 1);
    }
    return 0;
  }
  CDirectoryDb* CatalogOfReference(uint32_t reference) override {
    return reference >= 1 && reference <= references.size() ? references[reference - 1] : nullptr;
  }
  void ReportWriterBusy() override { ++writer_busy_notices; }
  void ReportWriteFailure(int) override {}
  void LockCatalogShared() override { ns_.lock(); }
  void LockCatalogExclusive() override {
    ns_.lock();
    max_exclusive_depth = std::max(max_exclusive_depth, ++exclusive_depth);
  }
  void UnlockCatalogShared() override { ns_.unlock(); }
  void UnlockCatalogExclusive() override {
    --exclusive_depth;
    ns_.unlock();
  }
  void LockCatalog2Shared() override { ++entry_lock_holds; }
  void UnlockCatalog2Shared() override {}
  // The capacity gate: in single-writer mode one holder at a time, the wait
  // limited to gate_wait_ms; otherwise taken and released at once.
  int EnterCapacityGate() override {
    std::unique_lock lock(gate_mu_);
    if (!single_writer) return 1;
    if (!gate_cv_.wait_for(lock, std::chrono::milliseconds(gate_wait_ms), [&] { return !gate_held_; })) return 0;
    gate_held_ = true;
    return 1;
  }
  int TryEnterCapacityGate() override {
    std::lock_guard lock(gate_mu_);
    if (!single_writer) return 1;
    if (gate_held_) return 0;
    gate_held_ = true;
    return 1;
  }
  void LeaveCapacityGate() override {
    {
      std::lock_guard lock(gate_mu_);
      gate_held_ = false;
      ++gate_leaves;
    }
    gate_cv_.notify_all();
  }
  bool GateHeld() {
    std::lock_guard lock(gate_mu_);
    return gate_held_;
  }

  bool fail_relocate = false;
  // File objects: data accounting and the single-writer settings.
  std::atomic<int64_t> pending_bytes{0};
  std::atomic<int64_t> cached_bytes{0};
  std::vector<std::tuple<void*, int, int>> file_dirty;
  bool single_writer = false;
  int64_t single_file_limit = INT64_MAX;
  int64_t small_file_limit = 32 << 20;
  int gate_wait_ms = 1000;
  std::atomic<int> writer_busy_notices{0};
  int gate_leaves = 0;
  int fetches = 0;
  int entry_lock_holds = 0;

 private:
  CDirObject* Find(CDirectoryDb* catalog) {
    if (catalog == nullptr) return nullptr;
    for (CDirObject* d : open_) {
      if (d->catalog() == catalog) return d;
    }
    return nullptr;
  }

  CCacheStore store_;
  FakeDisc disc_;
  std::recursive_mutex ns_;
  std::mutex file_dirty_mu_;
  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool gate_held_ = false;
  std::vector<CDirObject*> open_;
  std::atomic<uint32_t> next_number_{100};
};

// A scratch data folder per test with a fake volume over it.
class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = fs::temp_directory_path() / ("kelva_dirobj_" + std::to_string(std::random_device{}()));
    fs::create_directories(data_);
    volume_ = std::make_unique<FakeFsVolume>(data_);
  }
  void TearDown() override {
    volume_.reset();
    std::error_code ec;
    fs::remove_all(data_, ec);
  }

  fs::path data_;
  std::unique_ptr<FakeFsVolume> volume_;
};

using MemoryStream = CMemoryDataStream;

}  // namespace kelva::storage::testing
