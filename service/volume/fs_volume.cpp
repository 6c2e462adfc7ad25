#include "service/volume/fs_volume.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "platform/eventlog.h"
#include "platform/text.h"
#include "platform/thread_priority.h"
#include "service/storage/catalog_directory.h"
#include "service/storage/dir_object.h"
#include "service/volume/cache_pruning.h"

namespace kelva::volume {

namespace {

constexpr uint64_t kOneDayMs = 86400000;
constexpr Win32Error kErrorLockFailed = 167;
constexpr Win32Error kErrorFileExists = 80;
constexpr Win32Error kErrorRetry = 1237;
constexpr Win32Error kErrorAccessDenied = 5;
constexpr Win32Error kErrorNotFound = 2;
constexpr Win32Error kErrorInvalidParameter = 87;

// Elapsed ms from tick to now; ticks are taken from the same clock.
uint64_t Since(uint64_t now, uint64_t tick) { return now - tick; }

}  // namespace

CFsVolume::CFsVolume(unit::UnitController* controller, platform::Clock& clock, uint64_t version,
                     const MachineIdentity& identity)
    : controller_(controller),
      clock_(clock),
      version_(version),
      identity_(identity),
      gate_(1, 1, clock),
      work_(false, false, clock),
      ack_(true, false, clock) {
  const uint64_t now = clock_.NowMs();
  last_activity_ = now;
  last_uncached_read_ = now - kOneDayMs;
  last_write_ = now - kOneDayMs;
}

std::unique_ptr<CFsVolume> CFsVolume::Create(unit::UnitController* controller, platform::Clock& clock) {
  MachineIdentity identity;
  identity.fill(0xFF);
  if (!ComputeMachineIdentity(&identity)) identity.fill(0xFF);
  return std::make_unique<CFsVolume>(controller, clock, kProgramVersion, identity);
}

CFsVolume::~CFsVolume() {
  StopWriter();
  Close();
}

// ---------------------------------------------------------------------------
// Open and Close

void CFsVolume::Attach(IVolumeUnit* unit, IVolumeDiscs* discs, std::unique_ptr<storage::CCacheStore> cache) {
  unit_ = unit;
  discs_ = discs;
  cache_ = std::move(cache);
}

bool CFsVolume::Open(VolumeOpenParts parts) {
  // Steps 1 to 3: the tables, gate and events exist since construction; no read
  // or write counts as recent.
  const uint64_t now = clock_.NowMs();
  last_activity_ = now;
  last_uncached_read_ = now - kOneDayMs;
  last_write_ = now - kOneDayMs;
  Attach(parts.unit, parts.discs, std::move(parts.cache));
  recorder_ = parts.recorder;
  restore_ = parts.restore;
  run_archive_ = std::move(parts.run_archive);
  closing_ = false;
  closed_ = false;

  // Step 4: the magazine configuration.
  have_config_ = parts.have_config;
  config_history_ = parts.config_history;
  if (parts.have_config) {
    SetSplitSetting(static_cast<int64_t>(parts.config_split));
    if (parts.config_mode <= 3) {
      settings_.retention_mode = parts.config_mode == 0 ? 1 : parts.config_mode;
      settings_.cache_keep_count = parts.config_keep;
    }
  }
  // Step 5: the cache store and the engine were made by the caller.
  if (!cache_ || !cache_->IsOpen() || discs_ == nullptr || restore_ == nullptr) return false;

  // Step 6: catalog search, resume or new volume.
  const RestoreResult restored = restore_->RestoreState(*this);
  if (restored == RestoreResult::kFatal || !structure_) return false;
  if (restored == RestoreResult::kNewVolume && discs_->CurrentDisc() == 255) return false;
  const bool from_discs = restored == RestoreResult::kFromDiscs;
  // From now on every file not yet safe on the discs is kept in the journal.
  if (!RestartJournal()) KLOG_WARN("volume: the journal could not be started; a kill may lose unrecorded files");

  // Step 7.
  SetPatternLists(u"~$*", u"*.tmp");
  // Step 8.
  if (unit_ != nullptr && unit_->IsVolumeReadOnly()) read_only_.fetch_or(kReadOnlyVolume);

  // Step 9: who wrote the magazine last.
  uint8_t last_system[32] = {};
  size_t length = 0;
  const bool have_last = structure_->GetProperty("LastSystem", last_system, sizeof last_system, &length) == 1 &&
                         length == sizeof last_system;
  const bool same = have_last && std::memcmp(last_system, identity_.data(), identity_.size()) == 0;
  bool written_here = same;
  const bool version_check = same ? from_discs : (have_last || from_discs);
  if (version_check) {
    uint8_t raw[8] = {};
    size_t vlen = 0;
    if (structure_->GetProperty("Version", raw, sizeof raw, &vlen) == 1 && vlen == sizeof raw) {
      uint64_t stored = 0;
      for (int i = 7; i >= 0; --i) stored = (stored << 8) | raw[i];
      if (stored > 10 && !discs_->CleanMarker()) {
        read_only_.fetch_or(kReadOnlyOtherSystem);
        Report(kNoticeOtherSystem, false);
      }
    }
  }
  // Step 10. Writing "Version" itself changes the catalog, so the catalog's own
  // state is read first; a magazine protected as another computer's is never
  // stamped as ours (that would lift the protection at the next open).
  if (discs_->CanWrite()) {
    const bool changed = structure_->ChangeState() == 1;
    uint8_t raw[8];
    for (int i = 0; i < 8; ++i) raw[i] = static_cast<uint8_t>(version_ >> (8 * i));
    structure_->SetProperty("Version", raw, sizeof raw);
    if (changed && (read_only_.load() & kReadOnlyOtherSystem) == 0) {
      structure_->SetProperty("LastSystem", identity_.data(), identity_.size());
      written_here = true;
    }
  }
  discs_->SetOtherSystem(!written_here);
  stamp_pending_ = !written_here;

  // Step 11. A snapshot holds directories only: a resume that brought back
  // files still to be recorded is archived by the writer once they are on the
  // discs, since a snapshot resume starts the cache afresh and would drop them.
  if (read_only_.load() != 0) {
    if (unit_ != nullptr) unit_->SetWriteHeld(true);
  } else if (HoldsUnwrittenFiles()) {
    directory_written_ = true;
  } else {
    Archive();
  }
  return true;
}

void CFsVolume::Close() {
  if (closed_.exchange(true)) return;
  closing_ = true;
  // Step 1: the final write-back. A quick close keeps the pending work for the
  // next mount instead, so it counts as unfinished.
  bool failed = quick_close_.load();
  if (!quick_close_) {
    EnterBusy();
    failed = !WriteBackAll();
    LeaveBusy();
  }
  // What the discs may not keep goes into the resume file as still to record.
  if (failed) RecordAgainSinceLastClose();
  // Step 2: the live resume file keeps what is still to be recorded.
  bool resumable = false;
  if (settings_.retention_mode == 2) resumable = WriteResumeFile();
  if (!resumable && failed) {
    std::vector<FileRef*> done;
    {
      storage::ReadGuard g(file_lock_);
      for (auto& f : files_) {
        if (!f->file->HasUnwrittenData()) done.push_back(f.get());
      }
    }
    for (FileRef* f : done) RemoveFileRef(f);
    resumable = WriteResumeFile();
  }
  // Step 3.
  FreeAllFiles();
  if (!resumable && settings_.retention_mode != 3) resumable = WriteResumeFile();
  // A live resume file read at the open no longer describes the volume.
  if (!resumable) DropLiveResumeFile();
  const bool journal_needed = failed && !resumable;
  // Step 4: free the objects, the structure catalog and its pin.
  FreeAllDirectories();
  if (structure_) {
    structure_->Close();
    structure_.reset();
    UnpinCacheFile(storage::CK_DB, storage::kStructDisc, structure_file_, this, true);
  }
  {
    std::lock_guard l(prefetch_mu_);
    prefetch_.clear();
  }
  // Step 5: files marked for removal go, unless the whole cache is kept.
  if (cache_ && cache_->IsOpen() && settings_.retention_mode != 2) {
    cache_->PurgeMarked(storage::CK_DAT);
    cache_->PurgeMarked(storage::CK_IND);
    if (settings_.retention_mode == 3) cache_->PurgeMarked(storage::CK_DIR);
    cache_->PurgeMarked(storage::CK_DB);
    cache_->PurgeMarked(storage::CK_LOG);
  }
  // Step 6.
  {
    std::lock_guard l(pin_mu_);
    pins_.clear();
  }
  DeletePendingLogs();
  std::filesystem::path data_folder;
  if (cache_) {
    data_folder = cache_->MagazineFolder().parent_path().parent_path();
    cache_->SetMapLog(nullptr);
    if (cache_->IsOpen()) cache_->Close();
    cache_.reset();
  }
  // With the maps saved, the journal is needed again only when nothing else
  // keeps what was not recorded, and then without the maps' changes.
  if (journal_needed) journal_.Rewrite([](const JournalRecord& r) { return r.type != JournalRecord::kMap; }, {});
  journal_.Stop(!journal_needed);
  {
    std::lock_guard l(pattern_mu_);
    pattern1_.clear();
    pattern2_.clear();
  }
  // Step 7: the caches of other magazines.
  if (!quick_close_ && !data_folder.empty()) {
    PruneMagazineCaches(data_folder, settings_.cache_keep_count, clock_);
  }
}

int CFsVolume::Archive() {
  if (run_archive_) {
    run_archive_();
    return 0;
  }
  return RunArchive();
}

void CFsVolume::FetchDiscCatalogs() {
  if (!structure_ || !cache_ || discs_ == nullptr) return;
  const uint8_t current = discs_->CurrentDisc();
  std::vector<std::pair<uint8_t, uint32_t>> wanted;
  structure_->EnumDirectories(
      [](uint8_t disc, uint32_t file, void* context) {
        static_cast<std::vector<std::pair<uint8_t, uint32_t>>*>(context)->emplace_back(disc, file);
        return 1;
      },
      &wanted);
  for (const auto& [disc, file] : wanted) {
    if (disc != current) continue;
    bool open = false;
    {
      storage::ReadGuard g(dir_lock_);
      for (auto& d : dirs_) open |= d->dir->current_disc() == disc && d->dir->current_file() == file;
    }
    std::filesystem::path present;
    if (open || cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &present)) continue;
    discs_->FetchFile(storage::CK_DIR, disc, file);
  }
}

void CFsVolume::FreeAllFiles() {
  storage::WriteGuard g(file_lock_);
  {
    std::lock_guard q(file_queue_mu_);
    file_queue_.clear();
    files_to_write_ = 0;
  }
  for (auto& f : files_) FreeFileObject(f.get());
  files_.clear();
  file_set_.clear();
}

void CFsVolume::FreeAllDirectories() {
  storage::WriteGuard g(dir_lock_);
  {
    std::lock_guard q(dir_queue_mu_);
    dir_queue_.clear();
  }
  reference_table_.clear();
  // Children before parents: the newest entries first.
  while (!dirs_.empty()) {
    dirs_.back()->dir->Close();
    dirs_.pop_back();
  }
}

void CFsVolume::SetStructure(std::unique_ptr<storage::CStructureDb> db, uint32_t file_number) {
  structure_ = std::move(db);
  structure_file_ = file_number;
}


// ---------------------------------------------------------------------------
// Settings and requests

bool CFsVolume::SetSplitSetting(int64_t value) {
  if (!gate_.Wait(0)) return false;
  if (gate_entrants_.load() > 0) {
    gate_.Release();
    return false;
  }
  split_ = value;
  single_writer_ = value == -1;
  gate_.Release();
  return true;
}

int CFsVolume::EnterGate(uint32_t timeout_ms) {
  if (!gate_.Wait(timeout_ms)) return 0;
  gate_entrants_.fetch_add(1);
  if (!single_writer_.load()) gate_.Release();
  return 1;
}

void CFsVolume::LeaveCapacityGate() {
  if (!single_writer_.load()) gate_.Wait();
  gate_entrants_.fetch_sub(1);
  gate_.Release();
}

int CFsVolume::HasBusyOpenFiles() {
  storage::WriteGuard op(op_lock_);
  storage::ReadGuard g(file_lock_);
  for (auto& f : files_) {
    if (f->refs.load() > 0 && f->file->HasUnwrittenData()) return 1;
  }
  return 0;
}

int CFsVolume::ReleaseReadOnly(uint32_t selector) {
  if (selector > 1) return 0;
  uint8_t flags = read_only_.load();
  if (selector == 1) flags &= static_cast<uint8_t>(~kReadOnlyOtherSystem);
  if (flags == 0) {
    Archive();
    if (unit_ != nullptr) unit_->SetWriteHeld(false);
  }
  read_only_ = flags;
  return 1;
}

void CFsVolume::SetPatternLists(std::u16string list1, std::u16string list2) {
  std::lock_guard l(pattern_mu_);
  pattern1_ = std::move(list1);
  pattern2_ = std::move(list2);
}

bool CFsVolume::MatchesList(std::u16string_view list, std::u16string_view name) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(u';', start);
    if (end == std::u16string_view::npos) end = list.size();
    const std::u16string_view pattern = list.substr(start, end - start);
    if (!pattern.empty() && platform::WildcardMatch(pattern, name)) return true;
    start = end + 1;
  }
  return false;
}

bool CFsVolume::MatchesPatternList1(std::u16string_view name) {
  std::lock_guard l(pattern_mu_);
  return MatchesList(pattern1_, name);
}

bool CFsVolume::MatchesPatternList2(std::u16string_view name) {
  std::lock_guard l(pattern_mu_);
  return MatchesList(pattern2_, name);
}

void CFsVolume::MarkOpenFilesForTrim() {
  storage::ReadGuard g(file_lock_);
  for (auto& f : files_) {
    if (f->file->IsOpenInHost()) f->file->SetTrimAtClose();
  }
}

void CFsVolume::Report(uint32_t code, bool with_code) {
  if (unit_ != nullptr) unit_->Report(code, with_code);
}

void CFsVolume::ReportWriteFailure(int kind) {
  if (kind == 0) {
    read_only_.fetch_or(kReadOnlyRefused);
  } else if (kind == 1) {
    read_only_.fetch_or(kReadOnlyWriteFailed);
    Report(kNoticeWriteFailed, true);
  }
}

void CFsVolume::FatalError(uint32_t event_id) {
  if (event_log_) {
    event_log_(event_id);
  } else {
    platform::ReportEvent(platform::EventType::kError, event_id, "The volume met a fatal condition.");
  }
  if (detach_) detach_();
}

void CFsVolume::Notify(const uint8_t* message, size_t length) {
  if (notify_) notify_(message, length);
}

void CFsVolume::EnterBusy() {
  std::lock_guard l(busy_mu_);
  if (busy_) return;
  busy_ = true;
  if (busy_cb_) busy_cb_(true);
}

void CFsVolume::LeaveBusy() {
  std::lock_guard l(busy_mu_);
  if (!busy_) return;
  busy_ = false;
  if (busy_cb_) busy_cb_(false);
}

// ---------------------------------------------------------------------------
// Capacity accounting

void CFsVolume::AddAtomic(std::atomic<int64_t>& value, int64_t delta, bool clamp) {
  int64_t old = value.load();
  int64_t next;
  do {
    next = old + delta;
    if (clamp && next < 0) next = 0;
  } while (!value.compare_exchange_weak(old, next));
}

int64_t CFsVolume::TotalCapacity() {
  if (discs_ == nullptr) return 0;
  return (static_cast<int64_t>(discs_->HighestDisc()) + 1) * static_cast<int64_t>(discs_->DiscCapacity());
}

int64_t CFsVolume::FreeCapacity() {
  if (discs_ == nullptr || !discs_->CanWrite()) return 0;
  const int64_t current = discs_->CurrentDisc();
  const int64_t highest = discs_->HighestDisc();
  if (current > highest) return 0;
  return (highest - current) * static_cast<int64_t>(discs_->DiscCapacity()) +
         static_cast<int64_t>(discs_->CurrentFreeBytes());
}

int CFsVolume::CapacityAvailable(int64_t extra) {
  return metadata_.load() + pending_.load() + extra + kCapacityReserve <= FreeCapacity() ? 1 : 0;
}

int CFsVolume::HasRoomFor(int64_t bytes) { return CapacityAvailable(bytes); }

int CFsVolume::AddPendingBytes(int64_t delta) {
  AddAtomic(pending_, delta, true);
  if (delta >= 0) return CapacityAvailable(0);
  passes_.fetch_add(1);
  return 1;
}

int CFsVolume::AddMetadataBytes(int64_t delta) {
  AddAtomic(metadata_, delta, false);
  return delta < 0 ? 1 : CapacityAvailable(0);
}

void CFsVolume::AddCachedBytes(int64_t delta) {
  AddAtomic(cached_, delta, false);
  if (cached_.load() > settings_.cache_limit) work_.Set();
}

int CFsVolume::SettleCatalogGrowth() {
  if (!structure_) return 0;
  if (structure_->ChangeState() != 1) {
    const int64_t old = catalog_growth_.exchange(0);
    if (old != 0) AddAtomic(metadata_, -old, false);
  }
  return 1;
}

int CFsVolume::SyncCatalogGrowth() {
  if (!structure_) return 1;
  const int64_t size = static_cast<int64_t>(structure_->FileSize());
  const int64_t old = catalog_growth_.exchange(size);
  return AddMetadataBytes(size - old);
}

int CFsVolume::SettleDirectoryGrowth(CDirectoryDb* catalog) {
  if (catalog == nullptr) return 0;
  CDirObject* dir = nullptr;
  {
    storage::ReadGuard g(dir_lock_);
    DirRef* ref = FindDirRefByCatalog(catalog);
    if (ref == nullptr) return 0;
    dir = ref->dir.get();
  }
  if (catalog->ChangeState() == 1) {
    MarkDirectoryDirty(dir, 0, 0);
  } else {
    AddAtomic(metadata_, -dir->ExchangeAccountedSize(0), false);
  }
  return 1;
}

int CFsVolume::SyncDirectoryGrowth(CDirectoryDb* catalog) {
  if (catalog == nullptr) return 1;
  CDirObject* dir = nullptr;
  {
    storage::ReadGuard g(dir_lock_);
    DirRef* ref = FindDirRefByCatalog(catalog);
    if (ref == nullptr) return 1;
    dir = ref->dir.get();
  }
  const int64_t size = static_cast<int64_t>(catalog->FileSize());
  const int64_t old = dir->ExchangeAccountedSize(size);
  return AddMetadataBytes(size - old);
}

int64_t CFsVolume::SingleFileLimit() {
  int64_t limit = discs_ == nullptr ? 0 : static_cast<int64_t>(discs_->CurrentFreeBytes());
  limit -= catalog_growth_.load() + 0x1000000;
  const int64_t split = split_.load();
  if (split >= 0 && split < limit) limit = split;
  return limit;
}

bool CFsVolume::SplitActive() { return split_.load() != 0 && discs_ != nullptr && discs_->SplitFlag(); }

// ---------------------------------------------------------------------------
// Tables and dirty queues

DirRef* CFsVolume::AddDirectory(std::unique_ptr<CDirObject> dir, DirRef* parent) {
  storage::WriteGuard g(dir_lock_);
  auto ref = std::make_unique<DirRef>();
  ref->dir = std::move(dir);
  ref->refs = 1;
  ref->parent = parent;
  if (parent != nullptr) parent->refs.fetch_add(1);
  dirs_.push_back(std::move(ref));
  return dirs_.back().get();
}

FileRef* CFsVolume::AddFile(IOpenFile* file, void* key, DirRef* parent) {
  storage::WriteGuard g(file_lock_);
  auto ref = std::make_unique<FileRef>();
  ref->file = file;
  ref->key = key;
  ref->journal_number = journal_numbers_.fetch_add(1);
  ref->refs = 1;
  ref->parent = parent;
  if (parent != nullptr) parent->refs.fetch_add(1);
  file_set_.insert(ref.get());
  files_.push_back(std::move(ref));
  return files_.back().get();
}

void CFsVolume::ReleaseDirectory(DirRef* ref) {
  if (ref != nullptr && ref->refs.fetch_sub(1) == 1) {
    unref_dirs_.fetch_add(1);
    work_.Set();
  }
}

void CFsVolume::ReleaseFile(FileRef* ref) {
  if (ref == nullptr) return;
  // Settled for now: what a kill must not lose goes into the journal first.
  if (ref->refs.load() == 1) JournalFile(ref);
  if (ref->refs.fetch_sub(1) == 1) {
    unref_files_.fetch_add(1);
    work_.Set();
  }
}

DirRef* CFsVolume::root() {
  storage::ReadGuard g(dir_lock_);
  return dirs_.empty() ? nullptr : dirs_.front().get();
}

size_t CFsVolume::DirectoryCount() {
  storage::ReadGuard g(dir_lock_);
  return dirs_.size();
}

size_t CFsVolume::FileCount() {
  storage::ReadGuard g(file_lock_);
  return files_.size();
}

uint8_t CFsVolume::DirectoryState(const CDirObject* dir) {
  storage::ReadGuard g(dir_lock_);
  DirRef* ref = FindDirRef(dir);
  std::lock_guard q(dir_queue_mu_);
  return ref == nullptr ? kQueueNone : ref->state;
}

uint8_t CFsVolume::FileState(const void* key) {
  storage::ReadGuard g(file_lock_);
  FileRef* ref = FindFileRef(key);
  std::lock_guard q(file_queue_mu_);
  return ref == nullptr ? kQueueNone : ref->state;
}

uint32_t CFsVolume::FilesToWrite() {
  std::lock_guard q(file_queue_mu_);
  return files_to_write_;
}

bool CFsVolume::HoldsUnwrittenFiles() {
  storage::ReadGuard g(file_lock_);
  return std::any_of(files_.begin(), files_.end(), [](const auto& f) { return f->file->HasUnwrittenData(); });
}

size_t CFsVolume::PinCount() {
  std::lock_guard l(pin_mu_);
  return pins_.size();
}

DirRef* CFsVolume::FindDirRef(const CDirObject* dir) {
  for (auto& d : dirs_) {
    if (d->dir.get() == dir) return d.get();
  }
  return nullptr;
}

DirRef* CFsVolume::FindDirRefByCatalog(const CDirectoryDb* catalog) {
  for (auto& d : dirs_) {
    if (d->dir->catalog() == catalog) return d.get();
  }
  return nullptr;
}

FileRef* CFsVolume::FindFileRef(const void* key) {
  for (auto& f : files_) {
    if (f->key == key) return f.get();
  }
  return nullptr;
}

namespace {

// The queue transition shared by both tables. Returns false for a taken entry.
template <typename Ref>
bool QueueTransition(Ref* ref, int write, int close, std::deque<Ref*>* queue, uint32_t* to_write) {
  const uint8_t old = ref->state;
  if (old == kQueueTaken) return false;
  if (write == 0) {
    if (old == kQueueNone) {
      ref->state = kQueueMeta;
      queue->push_back(ref);
    }
    return true;
  }
  const uint8_t target = close != 0 ? kQueueWriteClose : kQueueWrite;
  if (old == kQueueNone) {
    ref->state = target;
    queue->push_back(ref);
  } else if (old == kQueueMeta) {
    ref->state = target;
  } else if (old == kQueueWrite && close != 0) {
    ref->state = kQueueWriteClose;
  }
  if (to_write != nullptr && old < kQueueWrite && ref->state >= kQueueWrite) ++*to_write;
  return true;
}

}  // namespace

int CFsVolume::MarkDirectoryDirty(CDirObject* dir, int write, int close) {
  if (closing_.load()) return 0;
  EnterBusy();
  storage::ReadGuard g(dir_lock_);
  DirRef* ref = FindDirRef(dir);
  if (ref == nullptr) return 0;
  {
    std::lock_guard q(dir_queue_mu_);
    if (!QueueTransition<DirRef>(ref, write, close, &dir_queue_, nullptr)) return 0;
  }
  work_.Set();
  return 1;
}

int CFsVolume::MarkFileDirty(void* file_object, int write, int close) {
  if (closing_.load()) return 0;
  EnterBusy();
  storage::ReadGuard g(file_lock_);
  FileRef* ref = FindFileRef(file_object);
  if (ref == nullptr) return 0;
  {
    std::lock_guard q(file_queue_mu_);
    if (!QueueTransition<FileRef>(ref, write, close, &file_queue_, &files_to_write_)) return 0;
  }
  work_.Set();
  return 1;
}

bool CFsVolume::FileLimitsExceeded() {
  return FileCount() > static_cast<size_t>(settings_.file_limit) || cached_.load() > settings_.cache_limit;
}

bool CFsVolume::FileTrimReached() {
  const int64_t files = static_cast<int64_t>(FileCount());
  return files <= static_cast<int64_t>(settings_.file_limit) * settings_.file_trim_percent / 100 &&
         cached_.load() <= settings_.cache_limit / 100 * settings_.cache_trim_percent +
                               settings_.cache_limit % 100 * settings_.cache_trim_percent / 100;
}

void CFsVolume::CheckCachePressure() {
  if (FileLimitsExceeded()) work_.Set();
}

void CFsVolume::BeginOperation() { active_ops_.fetch_add(1); }

void CFsVolume::EndOperation() {
  last_activity_ = clock_.NowMs();
  if (active_ops_.fetch_sub(1) == 1) WakeWriterAfterOperations();
}

void CFsVolume::WakeWriterAfterOperations() {
  // A writer waiting for the quiet time wakes by itself when it ends, and every
  // change that gives it work wakes it anyway; only a writer that waits without
  // a deadline (for the operations to end) needs this wake. Waking it after
  // every operation cost each file system call a round trip through the writer.
  if (!writer_quiet_wait_.load()) work_.Set();
}

void CFsVolume::BeginRead(bool uncached) {
  reads_.fetch_add(1);
  if (uncached) last_uncached_read_ = clock_.NowMs();
}

void CFsVolume::EndRead() {
  reads_.fetch_sub(1);
  last_activity_ = clock_.NowMs();
}

void CFsVolume::BeginWrite() { writes_.fetch_add(1); }

void CFsVolume::EndWrite() {
  const uint64_t now = clock_.NowMs();
  last_write_ = now;
  last_activity_ = now;
  writes_.fetch_sub(1);
}

void CFsVolume::AddDirectoryPrefetch(uint8_t disc, uint32_t file) {
  std::lock_guard l(prefetch_mu_);
  Prefetch p{disc, file};
  auto at = std::lower_bound(prefetch_.begin(), prefetch_.end(), p, [](const Prefetch& a, const Prefetch& b) {
    return a.disc != b.disc ? a.disc < b.disc : a.file < b.file;
  });
  if (at != prefetch_.end() && at->disc == disc && at->file == file) return;
  prefetch_.insert(at, p);
}

uint32_t CFsVolume::DirectoryTableIndex(const CDirObject* dir) {
  storage::ReadGuard g(dir_lock_);
  for (size_t i = 0; i < dirs_.size(); ++i) {
    if (dirs_[i]->dir.get() == dir) return static_cast<uint32_t>(i + 1);
  }
  return 0;
}

CDirectoryDb* CFsVolume::DirectoryTableAt(uint32_t index) {
  storage::ReadGuard g(dir_lock_);
  if (index == 0 || index > dirs_.size()) return nullptr;
  return dirs_[index - 1]->dir->catalog();
}

uint32_t CFsVolume::ReferenceOfCatalog(const CDirectoryDb* catalog) {
  if (catalog == nullptr) return 0;
  storage::ReadGuard g(dir_lock_);
  for (size_t i = 0; i < reference_table_.size(); ++i) {
    if (reference_table_[i]->dir->catalog() == catalog) return static_cast<uint32_t>(i + 1);
  }
  return 0;
}

CDirectoryDb* CFsVolume::CatalogOfReference(uint32_t reference) {
  storage::ReadGuard g(dir_lock_);
  if (reference == 0 || reference > reference_table_.size()) return nullptr;
  return reference_table_[reference - 1]->dir->catalog();
}

// ---------------------------------------------------------------------------
// Structure catalog operations

Win32Error CFsVolume::CatalogAddEntry(std::u16string_view path, uint8_t disc, uint32_t file) {
  if (!structure_) return kErrorAccessDenied;
  return structure_->AddDirectory(path, disc, file) == 1 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogRelocate(uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file) {
  {
    std::lock_guard l(prefetch_mu_);
    std::erase_if(prefetch_, [&](const Prefetch& p) { return p.disc == old_disc && p.file == old_file; });
  }
  if (!structure_) return kErrorAccessDenied;
  const Win32Error e = structure_->ChangeIdentity(old_disc, old_file, new_disc, new_file);
  if (e == 0) structure_->SetChangeState(1);
  return e == 0 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogDeleteEntry(uint8_t disc, uint32_t file) {
  return structure_ && structure_->SetDeleted(disc, file) == 1 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogUndeleteEntry(uint8_t disc, uint32_t file) {
  return structure_ && structure_->ClearDeleted(disc, file) == 1 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogRenameEntry(uint8_t disc, uint32_t file, std::u16string_view new_name) {
  return structure_ && structure_->RenameDirectory(disc, file, new_name) == 1 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogRenameChild(uint8_t dir_disc, uint32_t dir_file, std::u16string_view old_name,
                                         std::u16string_view new_name) {
  if (!structure_) return kErrorAccessDenied;
  uint8_t disc = 0;
  uint32_t file = 0;
  if (structure_->LookupChild(dir_disc, dir_file, old_name, &disc, &file) != 1) return kErrorAccessDenied;
  return structure_->RenameDirectory(disc, file, new_name) == 1 ? 0 : kErrorAccessDenied;
}

Win32Error CFsVolume::CatalogMoveEntry(uint8_t disc, uint32_t file, std::u16string_view new_path) {
  return structure_ && structure_->MoveDirectory(disc, file, new_path) == 1 ? 0 : kErrorAccessDenied;
}

size_t CFsVolume::CatalogPathLength(const CDirObject* dir) {
  if (dir == nullptr || !structure_) return 0;
  return structure_->GetPathLength(dir->current_disc(), dir->current_file());
}

size_t CFsVolume::CatalogBuildPath(const CDirObject* dir, size_t capacity, char16_t* buffer) {
  if (dir == nullptr || !structure_) return 0;
  return structure_->BuildPath(capacity, dir->current_disc(), dir->current_file(), buffer);
}

// ---------------------------------------------------------------------------
// Pinned cache files

CFsVolume::Pin* CFsVolume::FindPin(CacheKind kind, uint8_t disc, uint32_t file, const void* owner) {
  for (auto& p : pins_) {
    if (p.kind == kind && p.disc == disc && p.file == file && p.owner == owner) return &p;
  }
  return nullptr;
}

Win32Error CFsVolume::FetchIntoCache(CacheKind kind, uint8_t disc, uint32_t file) {
  if (!cache_) return kErrorAccessDenied;
  // A file the cache already holds needs no fetch, whatever its kind.
  std::filesystem::path present;
  if (cache_->CacheFilePath(kind, disc, file, 0, &present)) return 0;
  if (discs_ == nullptr) return kErrorNotFound;
  if (kind == storage::CK_LOG) return FetchHistoryLog(disc, file);
  // The structure catalog is cached under disc 255 but lies on a real disc.
  if (kind == storage::CK_DB) return discs_->FetchFile(kind, catalog_disc_.load(), file);
  return discs_->FetchFile(kind, disc, file);
}

Win32Error CFsVolume::PinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool retry) {
  if (kind == storage::CK_DB) disc = storage::kStructDisc;
  {
    std::lock_guard l(pin_mu_);
    if (Pin* p = FindPin(kind, disc, file, owner)) {
      ++p->count;
      return 0;
    }
  }
  for (uint32_t attempt = 1;; ++attempt) {
    Win32Error e;
    {
      std::lock_guard serial(pin_serial_mu_);
      {
        std::lock_guard l(pin_mu_);
        if (Pin* p = FindPin(kind, disc, file, owner)) {
          ++p->count;
          return 0;
        }
      }
      e = FetchIntoCache(kind, disc, file);
      if (e == 0) {
        std::lock_guard l(pin_mu_);
        pins_.push_back(Pin{kind, disc, file, owner, 1});
        return 0;
      }
    }
    // The pinning lock is not held while waiting, so other files pin meanwhile.
    if ((e == kErrorLockFailed || e == kErrorFileExists) && retry && attempt < kPinAttempts) {
      clock_.Sleep(kPinRetryMs);
      continue;
    }
    return e;
  }
}

Win32Error CFsVolume::PinCacheFileKeyed(CacheKind kind, uint8_t disc, uint32_t file, const void* key) {
  if (kind == storage::CK_DB) disc = storage::kStructDisc;
  std::lock_guard l(pin_mu_);
  if (Pin* p = FindPin(kind, disc, file, key)) {
    ++p->count;
  } else {
    pins_.push_back(Pin{kind, disc, file, key, 1});
  }
  return 0;
}

Win32Error CFsVolume::CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, const void* owner,
                                      std::filesystem::path* path) {
  if (!cache_) return kErrorAccessDenied;
  if (kind == storage::CK_DB) disc = storage::kStructDisc;
  {
    platform::File created;
    const Win32Error e = cache_->CreateCacheFile(kind, disc, file, 0, &created, false);
    if (e != 0) return e;
  }
  if (path != nullptr && !cache_->CacheFilePath(kind, disc, *file, 0, path)) return kErrorNotFound;
  return PinCacheFileKeyed(kind, disc, *file, owner);
}

Win32Error CFsVolume::RenameCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint8_t new_disc,
                                      uint32_t new_file, const void* owner) {
  if (!cache_ || kind > storage::CK_LOG) return kErrorAccessDenied;
  if (kind == storage::CK_DB) disc = new_disc = storage::kStructDisc;
  std::lock_guard l(pin_mu_);
  Pin* p = FindPin(kind, disc, file, owner);
  if (p == nullptr) return kErrorNotFound;
  const Win32Error e = cache_->ReKey(kind, disc, file, new_disc, new_file);
  if (e == 0) {
    p->disc = new_disc;
    p->file = new_file;
  }
  return e;
}

Win32Error CFsVolume::UnpinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool keep) {
  if (kind == storage::CK_DB) disc = storage::kStructDisc;
  {
    std::lock_guard l(pin_mu_);
    Pin* p = FindPin(kind, disc, file, owner);
    if (p == nullptr) return kErrorNotFound;
    if (--p->count > 0) return 0;
    std::erase_if(pins_, [&](const Pin& q) { return &q == p; });
  }
  if (keep_cache_files_.load() || !cache_) return 0;
  if (kind == storage::CK_DIR || keep) {
    cache_->MarkForDeletion(kind, disc, file);
  } else {
    cache_->DeleteCacheFile(kind, disc, file, 0);
  }
  return 0;
}

Win32Error CFsVolume::UnpinAndDeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner) {
  if (kind == storage::CK_DB) disc = storage::kStructDisc;
  {
    std::lock_guard l(pin_mu_);
    Pin* p = FindPin(kind, disc, file, owner);
    if (p == nullptr) return kErrorNotFound;
    std::erase_if(pins_, [&](const Pin& q) { return &q == p; });
  }
  if (cache_) cache_->DeleteCacheFile(kind, disc, file, 0);
  return 0;
}

// ---------------------------------------------------------------------------
// Engine callbacks

void CFsVolume::ReleaseRecordedPieces() {
  const uint64_t closes = disc_closes_.load();
  if (released_closes_.exchange(closes) == closes) return;
  storage::ReadGuard g(file_lock_);
  for (auto& f : files_) {
    f->file->DiscClosed(closes);
    if (f->journaled.load()) JournalFile(f.get());
  }
}

void CFsVolume::CloseDiscForEviction() {
  // Closed files whose recorded content waits for the disc to be closed keep
  // their pieces and cannot be evicted: the disc is closed for them.
  if (discs_ == nullptr) return;
  const size_t trim = static_cast<size_t>(settings_.file_limit) * settings_.file_trim_percent / 100;
  size_t waiting = 0;
  size_t wanted = 1;
  {
    storage::ReadGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    if (files_.size() > trim) wanted = std::clamp<size_t>(files_.size() - trim, 1, kEvictionCloseBatch);
    // Only entries out of the dirty queue become candidates after the close.
    size_t left = files_.size() > file_queue_.size() ? files_.size() - file_queue_.size() : 0;
    for (auto it = files_.begin(); it != files_.end() && left > 0; ++it) {
      const FileRef* f = it->get();
      if (f->state != kQueueNone && f->state != kQueueTaken) continue;
      --left;
      if (f->state == kQueueNone && f->refs.load() < 1 && !f->file->IsOpenInHost() && f->file->AwaitsDiscClose() &&
          ++waiting >= wanted) {
        break;
      }
    }
  }
  if (waiting == 0) return;
  const uint64_t now = clock_.NowMs();
  if (waiting < wanted && FilesToWrite() > 0 && cached_.load() <= settings_.cache_limit &&
      Since(now, eviction_close_tick_) < kEvictionCloseMaxMs) {
    return;  // the next recordings join this close
  }
  eviction_close_tick_ = now;
  discs_->Flush();
  ReleaseRecordedPieces();
}

void CFsVolume::RecordAgainSinceLastClose() {
  storage::ReadGuard g(file_lock_);
  for (auto& f : files_) f->file->RecordAgain();
}

void CFsVolume::CommitAfterDiscClose() {
  disc_closes_.fetch_add(1);
  {
    storage::ReadGuard g(dir_lock_);
    for (auto& d : dirs_) {
      CDirectoryDb* catalog = d->dir->catalog();
      if (catalog != nullptr && catalog->ChangeState() == 2) catalog->SetChangeState(0);
    }
  }
  if (structure_ && structure_->ChangeState() == 2) structure_->SetChangeState(0);
}

void CFsVolume::ReloadForDisc(uint8_t disc) {
  // Whether an entry's content is offline depends on the disc in the drive:
  // the host reads the folders it holds open again. Their paths are taken
  // under the lock; the host is told afterwards (it queues the news).
  reload_disc_ = disc;
  if (!change_) return;
  std::vector<std::u16string> paths;
  {
    storage::ReadGuard g(dir_lock_);
    for (auto& d : dirs_) {
      if (d->open_count.load() >= 1 && !d->closing.load()) paths.push_back(d->dir->FullPath());
    }
  }
  constexpr uint32_t kChangeModified = 4;
  for (const std::u16string& p : paths) change_(p, kChangeModified);
}

void CFsVolume::DiscEngineEvent(int code) {
  switch (code) {
    case 0:
      abort_waits_ = true;
      break;
    case 1:
      // The writer copies the new disc's directory catalogs into the cache:
      // this may be called on the engine's own thread, which must not wait
      // for further requests.
      disc_refetch_ = true;
      work_.Set();
      break;
    case 2: {
      abort_waits_ = false;
      const uint8_t message[] = {0xFF, 16, 0, discs_ != nullptr ? discs_->CurrentDisc() : uint8_t{255}};
      Notify(message, sizeof message);
      if (structure_) structure_->SetChangeState(1);
      // The catalog save and the directory pack follow on the writer's thread.
      disc_changed_ = true;
      EnterBusy();
      work_.Set();
      break;
    }
    case 3:
      abort_waits_ = false;
      break;
    default:
      break;
  }
}


// ---------------------------------------------------------------------------
// Waits and arbitration

void CFsVolume::SetSuspended(bool on) {
  suspended_ = on;
  if (!on) work_.Set();
}

int CFsVolume::WaitForCacheRoom() {
  if (!FileLimitsExceeded()) return 1;
  cache_waiters_.fetch_add(1);
  const uint64_t start = clock_.NowMs();
  uint32_t seen = passes_.load();
  uint32_t still = 0;
  int result = 1;
  for (;;) {
    if (!FileLimitsExceeded()) break;
    if (Since(clock_.NowMs(), start) >= kCacheWaitTotalMs || suspended_.load()) break;
    ack_.Reset();
    work_.Set();
    ack_.Wait(kCacheWaitRoundMs);
    if (abort_waits_.load()) break;
    const uint32_t now_passes = passes_.load();
    if (now_passes != seen) {
      seen = now_passes;
      still = 0;
    } else if (++still >= kCacheWaitRounds) {
      result = 0;
      break;
    }
  }
  cache_waiters_.fetch_sub(1);
  return result;
}

void CFsVolume::WaitDirectoryEviction() {
  const uint64_t start = clock_.NowMs();
  while (dir_eviction_running_.load() && Since(clock_.NowMs(), start) < kCacheWaitTotalMs) {
    ack_.Reset();
    work_.Set();
    ack_.Wait(kCacheWaitRoundMs);
  }
}

bool CFsVolume::InsideReadWindow() {
  uint32_t window;
  if (foreground_.load() > 0) {
    window = 200;
  } else if (discs_ == nullptr || discs_->LoadedDisc() == discs_->CurrentDisc()) {
    window = 2000;
  } else {
    window = 60000;
  }
  return reads_.load() > 0 || Since(clock_.NowMs(), last_uncached_read_.load()) < window;
}

int CFsVolume::MayWriterProceed() {
  std::lock_guard l(priority_mu_);
  if (writer_priority_) return 1;
  if (evictions_.load() > 0) {
    priority_tick_ = 0;
    return 1;
  }
  if (!InsideReadWindow()) return 1;
  const uint64_t now = clock_.NowMs();
  if (priority_tick_ == 0) {
    priority_tick_ = now == 0 ? 1 : now;
    return 0;
  }
  if (Since(now, priority_tick_) >= kPriorityAfterMs) {
    writer_priority_ = true;
    priority_tick_ = now == 0 ? 1 : now;
    return 1;
  }
  return 0;
}

void CFsVolume::WaitWriterPriority() {
  for (;;) {
    {
      std::lock_guard l(priority_mu_);
      const uint64_t now = clock_.NowMs();
      if (writer_priority_ &&
          (Since(now, priority_tick_) >= 200 || (writes_.load() == 0 && Since(now, last_write_.load()) >= 200))) {
        writer_priority_ = false;
        priority_tick_ = 0;
      }
      if (!writer_priority_ && evictions_.load() == 0 && dir_writes_.load() == 0) return;
    }
    clock_.Sleep(200);
  }
}

// ---------------------------------------------------------------------------
// The background writer

void CFsVolume::RemoveFileRef(FileRef* ref) {
  DirRef* parent = ref->parent;
  std::unique_ptr<FileRef> owned;
  {
    storage::WriteGuard g(file_lock_);
    for (auto it = files_.begin(); it != files_.end(); ++it) {
      if (it->get() == ref) {
        owned = std::move(*it);
        files_.erase(it);
        file_set_.erase(ref);
        break;
      }
    }
  }
  ReleaseDirectory(parent);
  if (owned && owned->journaled.exchange(false)) {
    JournalRecord gone;
    gone.type = JournalRecord::kGone;
    gone.object = owned->journal_number;
    journal_.Append(gone);
  }
  if (owned) FreeFileObject(owned.get());
}

void CFsVolume::RemoveDirRef(DirRef* ref) {
  DirRef* parent = ref->parent;
  std::unique_ptr<DirRef> owned;
  {
    storage::WriteGuard g(dir_lock_);
    for (auto it = dirs_.begin(); it != dirs_.end(); ++it) {
      if (it->get() == ref) {
        owned = std::move(*it);
        dirs_.erase(it);
        break;
      }
    }
  }
  if (owned) owned->dir->Close();
  ReleaseDirectory(parent);
}

bool CFsVolume::EvictOneFile(bool write_dirty, EvictionWalk* walk) {
  FileRef* victim = nullptr;
  {
    storage::ReadGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    // Every eviction walking from the oldest entry again would make trimming
    // a large table quadratic. Entries that others add or move meanwhile go
    // to the end, where this walk still meets them; one that another thread
    // removes ahead of the position only makes the walk pass over a
    // candidate, which a later eviction takes.
    // Without write_dirty only entries out of the dirty queue are candidates,
    // so the walk ends once it has met all of them: a burst of new files
    // leaves a long tail of queued ones.
    const size_t unqueued = files_.size() > file_queue_.size() ? files_.size() - file_queue_.size() : 0;
    size_t left = unqueued > walk->unqueued_before ? unqueued - walk->unqueued_before : 0;
    for (size_t i = std::min(walk->from, files_.size()); i < files_.size(); ++i) {
      if (!write_dirty && left == 0) break;
      FileRef* f = files_[i].get();
      const bool queued = f->state != kQueueNone && f->state != kQueueTaken;
      if (!queued) --left;
      if (queued && !write_dirty) continue;
      if (f->refs.load() < 1 && f->state != kQueueTaken && f->file->AgreesToEvict()) {
        victim = f;
        walk->from = i;  // the entries after the victim move up to its place
        break;
      }
      if (!queued) ++walk->unqueued_before;
    }
    if (victim == nullptr) return false;
    if (victim->state != kQueueNone) {
      std::erase(file_queue_, victim);
      if (victim->state >= kQueueWrite) --files_to_write_;
    }
    victim->state = kQueueTaken;
  }
  evictions_.fetch_add(1);
  const Win32Error e = victim->file->WriteBack(true);
  evictions_.fetch_sub(1);
  if (e == 0) {
    passes_.fetch_add(1);
    RemoveFileRef(victim);
    return true;
  }
  std::lock_guard q(file_queue_mu_);
  victim->state = kQueueNone;
  return false;
}

size_t CFsVolume::EvictFiles(bool write_dirty) {
  size_t evicted = 0;
  EvictionWalk walk;
  while (!FileTrimReached() && EvictOneFile(write_dirty, &walk)) ++evicted;
  return evicted;
}

size_t CFsVolume::EvictDirectories() {
  dir_eviction_running_ = true;
  size_t evicted = 0;
  const size_t target = static_cast<size_t>(settings_.dir_limit) * settings_.dir_trim_percent / 100;
  while (DirectoryCount() > target) {
    DirRef* victim = nullptr;
    {
      storage::ReadGuard g(dir_lock_);
      std::lock_guard q(dir_queue_mu_);
      for (auto& d : dirs_) {
        if (d->refs.load() < 1 && !d->closing && d->state != kQueueTaken) {
          victim = d.get();
          break;
        }
      }
      if (victim == nullptr) break;
      if (victim->state != kQueueNone) std::erase(dir_queue_, victim);
      victim->state = kQueueTaken;
    }
    evictions_.fetch_add(1);
    const Win32Error e = victim->dir->Flush(true);
    evictions_.fetch_sub(1);
    if (e == 0 || e == kErrorRetry) {
      passes_.fetch_add(1);
      RemoveDirRef(victim);
      ++evicted;
    } else {
      std::lock_guard q(dir_queue_mu_);
      victim->state = kQueueNone;
      break;
    }
  }
  dir_eviction_running_ = false;
  return evicted;
}

bool CFsVolume::WriteNextFile(bool states_2_3) {
  FileRef* ref = nullptr;
  uint8_t old = kQueueNone;
  {
    std::lock_guard q(file_queue_mu_);
    auto it = std::find_if(file_queue_.begin(), file_queue_.end(), [&](FileRef* f) {
      return states_2_3 ? f->state >= kQueueWrite : f->state == kQueueMeta;
    });
    if (it == file_queue_.end()) return false;
    ref = *it;
    file_queue_.erase(it);
    old = ref->state;
    if (old >= kQueueWrite) --files_to_write_;
    ref->state = kQueueNone;
    // Deleting or replacing the file waits for this write-back: the entry is
    // not freed under the writer.
    ref->in_writeback = true;
  }
  bg_writes_.fetch_add(1);
  const Win32Error e = ref->file->WriteBack(old == kQueueWriteClose);
  bg_writes_.fetch_sub(1);
  JournalFile(ref);  // still held by in_writeback
  std::lock_guard q(file_queue_mu_);
  ref->in_writeback = false;
  if (e == 0) {
    passes_.fetch_add(1);
  } else if (e == kErrorRetry) {
    if (ref->state == kQueueNone) {
      ref->state = old;
      file_queue_.push_back(ref);
      if (old >= kQueueWrite) ++files_to_write_;
    }
  }
  return true;
}

bool CFsVolume::WriteNextDirectory(bool any_state) {
  DirRef* ref = nullptr;
  uint8_t old = kQueueNone;
  {
    std::lock_guard q(dir_queue_mu_);
    auto it = std::find_if(dir_queue_.begin(), dir_queue_.end(),
                           [&](DirRef* d) { return any_state || d->state >= kQueueWrite; });
    if (it == dir_queue_.end()) return false;
    ref = *it;
    dir_queue_.erase(it);
    old = ref->state;
    ref->state = kQueueNone;
    ref->in_writeback = true;  // deleting the folder waits for this write
  }
  dir_writes_.fetch_add(1);
  const Win32Error e = ref->dir->Flush(true);
  dir_writes_.fetch_sub(1);
  std::lock_guard q(dir_queue_mu_);
  ref->in_writeback = false;
  if (e == 0) {
    passes_.fetch_add(1);
    directory_written_ = true;
  } else if (e == kErrorRetry) {
    if (ref->state == kQueueNone) {
      ref->state = old;
      dir_queue_.push_back(ref);
    }
  }
  return true;
}

bool CFsVolume::PrefetchOne() {
  if (discs_ == nullptr || !cache_) return false;
  const uint8_t loaded = discs_->LoadedDisc();
  Prefetch taken{};
  {
    std::lock_guard l(prefetch_mu_);
    auto it = std::find_if(prefetch_.begin(), prefetch_.end(), [&](const Prefetch& p) { return p.disc == loaded; });
    if (it == prefetch_.end()) return false;
    taken = *it;
    prefetch_.erase(it);
  }
  bool open = false;
  {
    storage::ReadGuard g(dir_lock_);
    for (auto& d : dirs_) {
      if (d->dir->current_disc() == taken.disc && d->dir->current_file() == taken.file) open = true;
    }
  }
  std::filesystem::path present;
  if (!open && !cache_->CacheFilePath(storage::CK_DIR, taken.disc, taken.file, 0, &present)) {
    if (PinCacheFile(storage::CK_DIR, taken.disc, taken.file, this, false) == 0) {
      UnpinCacheFile(storage::CK_DIR, taken.disc, taken.file, this, true);
    }
  }
  return true;
}

void CFsVolume::RunWriter() {
  platform::RaiseThreadPriority();
  worker_running_ = true;
  bool idle = false;
  while (!stop_worker_.load()) {
    // Step 1.
    if (idle || suspended_.load()) {
      work_.Wait(platform::kInfinite);
    } else {
      const uint64_t quiet = Since(clock_.NowMs(), last_activity_.load());
      if (quiet < kQuietMs) {
        writer_quiet_wait_ = true;
        work_.Wait(static_cast<uint32_t>(kQuietMs - quiet));
        writer_quiet_wait_ = false;
      }
    }
    if (stop_worker_.load()) break;
    // Step 2: one pass, restarted by the steps that say so.
    idle = false;
    for (bool restart = true; restart && !stop_worker_.load();) {
      restart = false;
      // What the last step recorded moved catalogs and files: a live resume
      // file still in use is written again to match.
      RefreshLiveResume();
      ReleaseRecordedPieces();
      CompactJournal();
      ack_.Set();                                   // a
      if (suspended_.load()) {
        idle = true;
        break;
      }
      if (save_requested_.exchange(false)) {                  // b
        SaveCatalog();
        RefreshLiveResume();
      }
      if (disc_changed_.exchange(false)) {
        SaveCatalog();
        RefreshLiveResume();
        WriteDirPack();
        ReloadForDisc(discs_ != nullptr ? discs_->CurrentDisc() : uint8_t{255});
      }
      if (disc_refetch_.exchange(false)) FetchDiscCatalogs();
      if (FileLimitsExceeded()) {                              // c
        CloseDiscForEviction();
        EvictFiles(false);
      }
      if (MayWriterProceed() == 0) {                          // e
        passes_.fetch_add(1);
        clock_.Sleep(200);
        break;
      }
      if (WriteNextFile(true)) {                              // f
        restart = true;
        continue;
      }
      if (WriteNextDirectory(false)) {                        // g
        restart = true;
        continue;
      }
      size_t evicted = 0;
      const uint32_t unref_files = unref_files_.load();       // h
      if (unref_files != seen_unref_files_) {
        seen_unref_files_ = unref_files;
        if (FileLimitsExceeded()) {
          CloseDiscForEviction();
          evicted += EvictFiles(true);
        }
      }
      const uint32_t unref_dirs = unref_dirs_.load();         // i
      if (unref_dirs != seen_unref_dirs_) {
        seen_unref_dirs_ = unref_dirs;
        if (DirectoryCount() > static_cast<size_t>(settings_.dir_limit)) evicted += EvictDirectories();
      }
      if (evicted > 0) {                                      // j
        if (discs_ != nullptr) discs_->Flush();
        restart = true;
        continue;
      }
      if (active_ops_.load() > 0 && cache_waiters_.load() == 0) {  // k
        idle = true;
        break;
      }
      if (PrefetchOne()) {                                    // l
        restart = true;
        continue;
      }
      bool file_queue_empty;
      {
        std::lock_guard q(file_queue_mu_);
        file_queue_empty = file_queue_.empty();
      }
      if (file_queue_empty) {                                 // m
        if (Since(clock_.NowMs(), last_activity_.load()) < kQuietMs) break;
        if (WriteNextDirectory(true)) {
          restart = true;
          continue;
        }
        if (deferred_save_.exchange(false)) {
          SaveCatalog();
          RefreshLiveResume();
          restart = true;
          continue;
        }
        // The disc is closed first, so that the snapshot never names catalogs
        // or data that a crash could still take off the disc. A failed
        // archive run keeps the mark and is tried again later.
        if (discs_ != nullptr) discs_->Flush();
        if (directory_written_.load() && Archive() == 0) directory_written_ = false;
        LeaveBusy();
        idle = true;
        break;
      }
      if (WriteNextFile(false)) restart = true;               // n
    }
    ReleaseRecordedPieces();
    RefreshLiveResume();
    last_write_ = clock_.NowMs();
  }
  // Step 3.
  worker_running_ = false;
  ack_.Set();
  LeaveBusy();
}

void CFsVolume::StopWriter() {
  suspended_ = true;
  stop_worker_ = true;
  work_.Set();
  for (;;) {
    ack_.Reset();
    if (!worker_running_.load()) break;
    ack_.Wait(platform::kInfinite);
  }
}

}  // namespace kelva::volume
