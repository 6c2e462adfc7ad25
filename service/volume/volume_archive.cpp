// CFsVolume: saving the structure catalog to the discs, the archive run into the
// snapshot folders and the flush before a dismount.
#include <algorithm>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/text.h"
#include "service/storage/dir_object.h"
#include "service/storage/resume_container.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {

constexpr Win32Error kErrorAccessDenied = 5;
constexpr Win32Error kErrorDiskFull = 112;
constexpr Win32Error kErrorClosing = 641;
constexpr Win32Error kErrorRetry = 1237;

// Catalog change states.
constexpr uint8_t kClean = 0;
constexpr uint8_t kChanged = 1;
constexpr uint8_t kRecording = 2;

bool ToRecording(storage::CCatalogDb& db) {
  // Only a catalog that changed since the copy stays in state 1.
  return db.ChangeState() == kChanged ? (db.SetChangeState(kRecording), true) : false;
}

}  // namespace

Win32Error CFsVolume::SaveCatalog() {
  if (!structure_) return kErrorAccessDenied;
  // The first catalog written from this computer names it.
  if (stamp_pending_.load() && read_only_.load() == 0 && discs_ != nullptr && discs_->CanWrite() &&
      stamp_pending_.exchange(false)) {
    structure_->SetProperty("LastSystem", identity_.data(), identity_.size());
  }
  if (structure_->ChangeState() != kChanged) {
    const int64_t growth = catalog_growth_.exchange(0);
    if (growth != 0) AddMetadataBytes(-growth);
    return 0;
  }
  if (discs_ == nullptr || recorder_ == nullptr || !cache_ || !discs_->CanWrite() || read_only_.load() != 0) return 0;

  Win32Error result = 0;
  for (;;) {
    std::filesystem::path temp;
    result = cache_->NewTempCatalogName(&temp);
    if (result == 0) {
      // The copy is taken with the catalog checkpointed and locked. The change
      // state moves to 2 with it, so that a change made while the copy is being
      // recorded turns it back to 1 and is saved the next time.
      if (structure_->CheckpointAndLock() == 0) {
        ToRecording(*structure_);
        result = platform::CopyFile(std::filesystem::path(platform::Utf16ToUtf8(structure_->Path())), temp, false);
        structure_->Unlock();
      } else {
        result = kErrorAccessDenied;
      }
    }
    uint8_t out_disc = 0;
    uint32_t out_file = structure_file_;
    if (result == 0) {
      result = recorder_->RecordCacheFile(storage::CK_DB, storage::kStructDisc, structure_file_,
                                          existing_catalog_.load(), &temp, &out_disc, &out_file);
    }
    if (!temp.empty()) cache_->DeleteNamedFile(temp.filename().string());
    if (result == 0) {
      const int64_t growth = catalog_growth_.exchange(0);
      if (growth != 0) AddMetadataBytes(-growth);
      existing_catalog_ = true;
      catalog_disc_ = out_disc;
      Win32Error stamp = 0;
      if (out_file != structure_file_) {
        stamp = RenameCacheFile(storage::CK_DB, storage::kStructDisc, structure_file_, storage::kStructDisc, out_file,
                                this);
        if (stamp == 0) {
          structure_file_ = out_file;
          JournalCatalog();
        }
      }
      platform::FileTime written = kUnknownTime;
      if (stamp == 0) stamp = discs_->CatalogTime(out_disc, out_file, &written);
      catalog_time_ = stamp == 0 ? written : kUnknownTime;
      result = stamp;
      const uint8_t message[] = {0xFF, kNotifyCatalogSaved, 0};
      Notify(message, sizeof message);
      return result;
    }
    // Not recorded: the catalog still has to go out.
    if (structure_->ChangeState() == kRecording) structure_->SetChangeState(kChanged);
    if (result == kErrorDiskFull) {
      const uint8_t next = static_cast<uint8_t>(recorder_->CurrentDisc() + 1);
      if (next != 0 && recorder_->ChangeDisc(next)) continue;
    }
    if (result == kErrorClosing || result == kErrorRetry) return result;
    KLOG_ERROR("volume: saving the structure catalog failed (%u)", result);
    const uint8_t message[] = {0xFF, kNotifyCatalogSaveFailed, 0};
    Notify(message, sizeof message);
    return result;
  }
}

Win32Error CFsVolume::StampAndSaveCatalog() {
  if (!structure_) return kErrorAccessDenied;
  stamp_pending_ = false;
  structure_->SetProperty("LastSystem", identity_.data(), identity_.size());
  return SaveCatalog();
}

platform::Win32Error CFsVolume::SaveStructure() { return SaveCatalog(); }

int CFsVolume::RunArchive() {
  // Host operations drain first; the run never waits more than about 5 s.
  const uint64_t start = clock_.NowMs();
  while (active_ops_.load() > 0) {
    if (clock_.NowMs() - start >= kArchiveWaitMs) return -1;
    clock_.Sleep(10);
  }
  storage::WriteGuard op(op_lock_);
  if (!cache_ || !structure_) return -1;
  platform::File file;
  if (cache_->BeginSnapshot(&file) != 0) {
    cache_->AbortSnapshot();
    clock_.Sleep(kArchiveFailSleepMs);
    return -1;
  }
  bool ok = true;
  {
    storage::WriteGuard g(dir_lock_);
    OrderDirectoriesParentsFirst();
    BuildReferenceTable();
    storage::CCacheDataStream stream(&file);
    storage::ResumeHeader header;
    header.metadata_bytes = static_cast<uint64_t>(metadata_.load());
    header.catalog_number = structure_file_;
    header.catalog_growth = static_cast<uint64_t>(catalog_growth_.load());
    if (structure_->ChangeState() == kChanged) header.flags |= storage::ResumeHeader::kCatalogChanged;
    if (settings_.history_flag == 0) header.flags |= storage::ResumeHeader::kNoHistory;
    ok = storage::BeginResumeContainer(stream, storage::kSnapshotResumeGuid, header);
    if (ok) {
      // A catalog whose log is not all in its main file would be saved without
      // its latest changes: the run fails and is tried again.
      ok = structure_->CheckpointAndLock() == 0;
      if (ok) {
        ok = cache_->AddToSnapshot(storage::CK_DB, storage::kStructDisc, structure_file_) == 0;
        structure_->Unlock();
      }
    }
    for (size_t i = 0; ok && i < reference_table_.size(); ++i) {
      DirRef* d = reference_table_[i];
      CDirObject* dir = d->dir.get();
      CDirectoryDb* catalog = dir->catalog();
      if (catalog == nullptr) continue;
      const uint32_t parent = d->parent == nullptr ? 0 : ReferenceOfCatalog(d->parent->dir->catalog());
      uint8_t head[10];
      head[0] = storage::kResumeTagDirectory;
      for (int b = 0; b < 4; ++b) head[1 + b] = static_cast<uint8_t>(parent >> (8 * b));
      // The snapshot record: the directory's identity, then its resume records.
      head[5] = dir->current_disc();
      for (int b = 0; b < 4; ++b) head[6 + b] = static_cast<uint8_t>(dir->current_file() >> (8 * b));
      ok = stream.Write(head, sizeof head) && dir->SaveState(stream) == 0;
      if (!ok) break;
      ok = catalog->CheckpointAndLock() == 0;
      if (!ok) break;
      ok = cache_->AddToSnapshot(storage::CK_DIR, dir->current_disc(), dir->current_file()) == 0;
      catalog->Unlock();
    }
    if (ok) ok = storage::SealResumeContainer(stream, file);
    FreeReferenceTable();
  }
  if (ok) {
    const Win32Error synced = file.Flush();
    if (synced == kErrorDiskFull) ReportCacheShortage();
    ok = synced == 0;
  }
  file.Close();
  if (ok && cache_->CommitSnapshot() == 0) {
    // The snapshot now holds what a live resume file read at the open held.
    DropLiveResumeFile();
    return 0;
  }
  cache_->AbortSnapshot();
  KLOG_WARN("volume: the archive run failed");
  clock_.Sleep(kArchiveFailSleepMs);
  return -1;
}

bool CFsVolume::WriteBackAll() {
  bool failed = false;
  {
    storage::ReadGuard g(file_lock_);
    for (auto& f : files_) f->file->FinishPendingClose();
    evictions_.fetch_add(1);
    for (auto& f : files_) {
      const Win32Error e = f->file->WriteBack(true);
      if (e != 0 && e != kErrorRetry) failed = true;
    }
    evictions_.fetch_sub(1);
  }
  {
    storage::WriteGuard g(dir_lock_);
    SortDirectoriesById();
    for (auto& d : dirs_) {
      const Win32Error e = d->dir->Flush(true);
      if (e != 0 && e != kErrorRetry) failed = true;
    }
  }
  if (SaveCatalog() != 0) failed = true;
  if (!failed && (read_only_.load() & kReadOnlyOtherSystem) == 0 && discs_ != nullptr && discs_->CanWrite()) {
    if (discs_->MarkClean() != 0) failed = true;
  }
  // What was recorded becomes durable on the disc now, not at the next disc
  // change: a crash after this must find the saved catalog, and the pieces of
  // what the disc now keeps may go.
  if (discs_ != nullptr && discs_->Flush() != 0) failed = true;
  ReleaseRecordedPieces();
  return !failed;
}

int CFsVolume::FlushAll() {
  // 1: the writer finishes its pass and stays idle.
  suspended_ = true;
  ack_.Reset();
  work_.Set();
  if (worker_running_.load()) ack_.Wait(platform::kInfinite);
  EnterBusy();
  // 3: nothing stays queued; what is written below is written here.
  {
    storage::ReadGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    for (FileRef* f : file_queue_) {
      if (f->state != kQueueTaken) f->state = kQueueNone;
    }
    file_queue_.clear();
    files_to_write_ = 0;
  }
  {
    storage::ReadGuard g(dir_lock_);
    std::lock_guard q(dir_queue_mu_);
    for (DirRef* d : dir_queue_) {
      if (d->state != kQueueTaken) d->state = kQueueNone;
    }
    dir_queue_.clear();
  }
  ack_.Reset();
  work_.Set();
  if (worker_running_.load()) ack_.Wait(platform::kInfinite);

  if (quick_close_.load()) {
    // What is being recorded goes back to "changed" for the next mount.
    {
      storage::ReadGuard g(dir_lock_);
      for (auto& d : dirs_) {
        if (CDirectoryDb* c = d->dir->catalog(); c != nullptr && c->ChangeState() == kRecording) {
          c->SetChangeState(kChanged);
        }
        storage::CHistoryLog& log = d->dir->history_log();
        if (log.state() == storage::CHistoryLog::kStateSealed) log.set_state(storage::CHistoryLog::kStateAppended);
      }
    }
    if (structure_) {
      if (structure_->ChangeState() == kRecording) structure_->SetChangeState(kChanged);
      if (structure_->ChangeState() == kChanged) SyncCatalogGrowth();
    }
  } else {
    storage::WriteGuard catalogs(catalog_lock_);
    const bool failed = !WriteBackAll();
    if (flush_report_.exchange(false) && discs_ != nullptr && discs_->CanWrite() && read_only_.load() == 0) {
      const uint8_t message[] = {0xFF, failed ? kNotifyFlushFailed : kNotifyFlushDone, 0};
      Notify(message, sizeof message);
    }
    // Everything is on the discs: a live resume file read at the open is spent,
    // and the journal starts again.
    if (!failed) {
      DropLiveResumeFile();
      RestartJournal();
    }
  }
  DeletePendingLogs();
  if (cache_) cache_->DropSnapshots();
  suspended_ = false;
  work_.Set();
  return 0;
}

bool CFsVolume::SortDirectoriesById() {
  // Comb sort (shrink factor 10/13) by the structure catalog's row ids, so
  // that directories go out in catalog order. REQUIRES: dir_lock_ held.
  std::vector<int64_t> ids(dirs_.size(), -1);
  if (structure_) {
    for (size_t i = 0; i < dirs_.size(); ++i) {
      ids[i] = structure_->GetDirectoryId(dirs_[i]->dir->current_disc(), dirs_[i]->dir->current_file());
    }
  }
  size_t gap = dirs_.size();
  bool swapped = true;
  bool any = false;
  while (gap > 1 || swapped) {
    gap = std::max<size_t>(1, gap * 10 / 13);
    swapped = false;
    for (size_t i = 0; i + gap < dirs_.size(); ++i) {
      if (ids[i] > ids[i + gap]) {
        std::swap(ids[i], ids[i + gap]);
        std::swap(dirs_[i], dirs_[i + gap]);
        swapped = any = true;
      }
    }
  }
  return any;
}

}  // namespace kelva::volume
