// CFsVolume: the live resume file written at close and the two resume paths at
// open (the snapshot of the last archive run, the live resume file).
//
// Both files name directories by reference numbers: the position, from 1, of
// the directory in the open-directory table as it was written. Directories are
// written parents first, so that every parent a record names is known by the
// time the record is read back.
#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "platform/log.h"
#include "service/storage/dir_object.h"
#include "service/storage/file_object.h"
#include "service/storage/resume_container.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume.h"
#include "service/volume/open_file_object.h"

namespace kelva::volume {

namespace {

constexpr uint8_t kChanged = 1;

bool WriteU32(storage::IDataStream& s, uint32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return s.Write(b, 4);
}

bool ReadU32(storage::IDataStream& s, uint32_t* v) {
  uint8_t b[4];
  if (!s.Read(b, 4)) return false;
  *v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
       static_cast<uint32_t>(b[3]) << 24;
  return true;
}

platform::FileTime HeaderTime(const storage::ResumeHeader& h) {
  return static_cast<platform::FileTime>(h.catalog_time_high) << 32 | h.catalog_time_low;
}

}  // namespace

// ---- helpers ----

void CFsVolume::OrderDirectoriesParentsFirst() {
  SortDirectoriesById();
  auto depth = [](const DirRef* d) {
    size_t n = 0;
    for (const DirRef* p = d->parent; p != nullptr && n < 4096; p = p->parent) ++n;
    return n;
  };
  std::stable_sort(dirs_.begin(), dirs_.end(),
                   [&](const std::unique_ptr<DirRef>& a, const std::unique_ptr<DirRef>& b) {
                     return depth(a.get()) < depth(b.get());
                   });
}

void CFsVolume::BuildReferenceTable() {
  reference_table_.clear();
  for (auto& d : dirs_) reference_table_.push_back(d.get());
}

void CFsVolume::FreeReferenceTable() { reference_table_.clear(); }

void CFsVolume::FreeFileObject(FileRef* ref) {
  if (ref->restored) {
    delete ref->file;
  } else if (free_file_) {
    free_file_(ref->file);
  }
  ref->file = nullptr;
}

void CFsVolume::DropRestoredState() {
  FreeAllFiles();
  FreeAllDirectories();
  if (structure_) {
    structure_->Close();
    structure_.reset();
    UnpinCacheFile(storage::CK_DB, storage::kStructDisc, structure_file_, this, true);
  }
  {
    std::lock_guard l(pin_mu_);
    pins_.clear();
  }
  cached_ = 0;
  pending_ = 0;
  metadata_ = 0;
  catalog_growth_ = 0;
  structure_file_ = 0;
  existing_catalog_ = false;
  save_requested_ = false;
  deferred_save_ = false;
}

// ---- what both resume files restore ----

bool CFsVolume::RequeueUnwrittenFiles() {
  bool queued = false;
  storage::ReadGuard g(file_lock_);
  std::lock_guard q(file_queue_mu_);
  for (auto& f : files_) {
    if (!f->file->HasUnwrittenData() || f->state == kQueueTaken) continue;
    if (f->state == kQueueNone) file_queue_.push_back(f.get());
    if (f->state < kQueueWrite) ++files_to_write_;
    f->state = kQueueWriteClose;
    queued = true;
  }
  return queued;
}

bool CFsVolume::RequeueChangedDirectories() {
  // A directory whose catalog changed since it was last recorded is written
  // again, in close mode.
  bool queued = false;
  storage::ReadGuard g(dir_lock_);
  std::lock_guard q(dir_queue_mu_);
  for (auto& d : dirs_) {
    CDirectoryDb* c = d->dir->catalog();
    if (c == nullptr || c->ChangeState() != kChanged || d->state == kQueueTaken) continue;
    if (d->state == kQueueNone) dir_queue_.push_back(d.get());
    d->state = kQueueWriteClose;
    queued = true;
  }
  return queued;
}

void CFsVolume::ApplyResumeFlags(uint8_t flags) {
  if (flags & storage::ResumeHeader::kCatalogChanged) {
    structure_->SetChangeState(kChanged);
    deferred_save_ = true;
  }
  settings_.history_flag = (flags & storage::ResumeHeader::kNoHistory) ? 0 : 1;
}

// ---- the live resume file ----

bool CFsVolume::WriteResumeFile() {
  if (!cache_ || !structure_ || catalog_time_.load() == kUnknownTime) return false;
  // From now on released cache files stay: the resume file may name them.
  keep_cache_files_ = true;
  platform::File file;
  if (cache_->CreateResumeFile(&file) != 0) {
    DropLiveResumeFile();
    return false;
  }
  bool ok;
  {
    storage::WriteGuard dirs(dir_lock_);
    storage::ReadGuard files(file_lock_);
    OrderDirectoriesParentsFirst();
    BuildReferenceTable();
    storage::CCacheDataStream stream(&file);
    storage::ResumeHeader h;
    const platform::FileTime t = catalog_time_.load();
    h.catalog_time_low = static_cast<uint32_t>(t);
    h.catalog_time_high = static_cast<uint32_t>(t >> 32);
    h.cached_data_bytes = static_cast<uint64_t>(cached_.load());
    h.pending_archive_bytes = static_cast<uint64_t>(pending_.load());
    h.metadata_bytes = static_cast<uint64_t>(metadata_.load());
    h.catalog_number = structure_file_;
    if (existing_catalog_.load()) h.flags |= storage::ResumeHeader::kExistingCatalog;
    if (save_requested_.load()) h.flags |= storage::ResumeHeader::kSaveRequested;
    if (structure_->ChangeState() == kChanged) h.flags |= storage::ResumeHeader::kCatalogChanged;
    if (settings_.history_flag == 0) h.flags |= storage::ResumeHeader::kNoHistory;
    h.catalog_growth = static_cast<uint64_t>(catalog_growth_.load());
    ok = storage::BeginResumeContainer(stream, storage::kLiveResumeGuid, h);
    for (size_t i = 0; ok && i < reference_table_.size(); ++i) {
      DirRef* d = reference_table_[i];
      const uint32_t parent = d->parent == nullptr ? 0 : ReferenceOfCatalog(d->parent->dir->catalog());
      ok = storage::WriteResumeTag(stream, storage::kResumeTagDirectory) && WriteU32(stream, parent) &&
           d->dir->SaveState(stream) == 0;
    }
    for (size_t i = 0; ok && i < files_.size(); ++i) {
      FileRef* f = files_[i].get();
      const uint32_t parent = f->parent == nullptr ? 0 : ReferenceOfCatalog(f->parent->dir->catalog());
      ok = storage::WriteResumeTag(stream, storage::kResumeTagFile) && WriteU32(stream, parent) &&
           f->file->SaveState(stream) == 0;
    }
    if (ok) {
      std::lock_guard l(pin_mu_);
      for (const Pin& p : pins_) {
        storage::ResumePinnedRecord r;
        r.kind = p.kind;
        r.disc = p.disc;
        r.file = p.file;
        r.owner = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p.owner));
        r.pin_count = static_cast<uint32_t>(p.count);
        if (!storage::WriteResumeTag(stream, storage::kResumeTagPinned) || !storage::WritePinnedRecord(stream, r)) {
          ok = false;
          break;
        }
      }
    }
    if (ok) ok = storage::SealResumeContainer(stream, file);
    FreeReferenceTable();
  }
  if (ok) {
    const Win32Error e = file.Flush();
    if (e == 112) ReportCacheShortage();
    ok = e == 0;
  }
  file.Close();
  if (ok && cache_->CommitResumeFile() != 0) ok = false;
  if (!ok) {
    KLOG_WARN("volume: writing the live resume file failed");
    cache_->DiscardResumeFile();
    // An older one no longer describes the volume.
    DropLiveResumeFile();
  }
  return ok;
}

void CFsVolume::DropLiveResumeFile() {
  live_resume_kept_ = false;
  if (cache_ && cache_->IsOpen()) cache_->DeleteNamedFile(std::string(storage::CCacheStore::kResumeFileName));
}

void CFsVolume::RefreshLiveResume() {
  if (live_resume_kept_.load() && !WriteResumeFile()) live_resume_kept_ = false;
}

bool CFsVolume::ReadLiveResume(uint32_t number) {
  if (!cache_) return false;
  platform::File file;
  if (platform::File::Open(cache_->LiveResumePath(), platform::kAccessReadWrite, platform::Disposition::kOpenExisting,
                           &file) != 0) {
    return false;
  }
  storage::CCacheDataStream stream(&file);
  storage::ResumeHeader h;
  bool ok = storage::OpenResumeContainer(stream, file, storage::kLiveResumeGuid, &h) == 0;
  // Only a file written against this catalog, or against a newer one saved
  // after it, is taken.
  if (ok) {
    const platform::FileTime mine = catalog_time_.load();
    const platform::FileTime theirs = HeaderTime(h);
    ok = mine != kUnknownTime && h.catalog_number >= number &&
         (h.catalog_number == number ? theirs == mine : theirs >= mine);
  }
  uint8_t flags = h.flags;
  bool queued = false;
  if (ok) {
    // The cached and pending bytes are those of the file objects, which count
    // their segments as they load: the header's figures would count them twice
    // (and may be a moment older than the records of a file written while
    // the volume was in use).
    cached_ = 0;
    pending_ = 0;
    save_requested_ = (flags & storage::ResumeHeader::kSaveRequested) != 0;
    catalog_growth_ = static_cast<int64_t>(h.catalog_growth);
    existing_catalog_ = (flags & storage::ResumeHeader::kExistingCatalog) != 0;
    ok = OpenStructureFile(h.catalog_number) == 0;
  }
  if (ok) {
    storage::WriteGuard dirs(dir_lock_);
    reference_table_.clear();
    for (;;) {
      uint8_t tag = 0;
      if (!storage::ReadResumeTag(stream, &tag)) {
        ok = false;
        break;
      }
      if (tag == storage::kResumeTagEnd) break;
      uint32_t parent = 0;
      if (tag == storage::kResumeTagDirectory) {
        auto dir = std::make_unique<CDirObject>(this);
        if (!ReadU32(stream, &parent) || parent > reference_table_.size() || dir->LoadState(stream) != 0) {
          ok = false;
          break;
        }
        DirRef* ref = AddDirectory(std::move(dir), parent == 0 ? nullptr : reference_table_[parent - 1]);
        reference_table_.push_back(ref);
        ref->refs.fetch_sub(1);
      } else if (tag == storage::kResumeTagFile) {
        auto open = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(this), recorder_);
        if (!ReadU32(stream, &parent) || parent > reference_table_.size() || open->LoadState(stream) != 0) {
          ok = false;
          break;
        }
        COpenFileObject* raw = open.release();
        FileRef* ref = AddFile(raw, raw->key(), parent == 0 ? nullptr : reference_table_[parent - 1]);
        ref->restored = true;
        ref->object = raw;  // found again by identity when the file is opened
        ref->refs.fetch_sub(1);
      } else if (tag == storage::kResumeTagPinned) {
        storage::ResumePinnedRecord r;
        if (!storage::ReadPinnedRecord(stream, &r) || r.kind > storage::CK_LOG) {
          ok = false;
          break;
        }
        std::lock_guard l(pin_mu_);
        pins_.insert(pins_.begin(), Pin{static_cast<CacheKind>(r.kind), r.disc, r.file,
                                        reinterpret_cast<const void*>(static_cast<uintptr_t>(r.owner)),
                                        static_cast<int32_t>(r.pin_count)});
      } else {
        ok = false;
        break;
      }
    }
  }
  if (ok) {
    // Whatever was still to be written goes into the queues again.
    if (RequeueChangedDirectories()) {
      flags |= storage::ResumeHeader::kCatalogChanged;
      queued = true;
    }
    if (RequeueUnwrittenFiles()) queued = true;
    ApplyResumeFlags(flags);
    // The header's metadata figure already holds what the objects added.
    metadata_ = static_cast<int64_t>(h.metadata_bytes);
  }
  FreeReferenceTable();
  file.Close();
  if (!ok) {
    DropLiveResumeFile();
    DropRestoredState();
    return false;
  }
  // The file stays until what it restored is safe elsewhere (the next
  // snapshot, a full flush, or the resume file of the next close), so that a
  // crash before then resumes from it again; the cache files it names stay
  // with it. The writer writes it again after each step it records.
  keep_cache_files_ = true;
  live_resume_kept_ = true;
  if (queued || (flags & storage::ResumeHeader::kCatalogChanged)) Report(kNoticeResumed, false);
  if (queued) EnterBusy();
  work_.Set();
  return true;
}

// ---- the snapshot ----

bool CFsVolume::ReadSnapshotResume(uint8_t disc, uint32_t number) {
  if (!cache_) return false;
  platform::File file;
  if (platform::File::Open(cache_->SnapshotResumePath(), platform::kAccessReadWrite,
                           platform::Disposition::kOpenExisting, &file) != 0) {
    return false;
  }
  storage::CCacheDataStream stream(&file);
  storage::ResumeHeader h;
  // A magazine closed cleanly has nothing to resume: its snapshot is stale.
  bool ok = discs_ == nullptr || !discs_->CleanMarker();
  if (ok) ok = storage::OpenResumeContainer(stream, file, storage::kSnapshotResumeGuid, &h) == 0;
  uint8_t flags = h.flags;
  if (ok) {
    metadata_ = static_cast<int64_t>(h.metadata_bytes);
    catalog_growth_ = static_cast<int64_t>(h.catalog_growth);
    ok = StartFresh() && cache_->RestoreFromSnapshot(storage::CK_DB, storage::kStructDisc, h.catalog_number) == 0 &&
         OpenStructureFile(h.catalog_number) == 0;
  }
  if (ok) {
    storage::WriteGuard dirs(dir_lock_);
    reference_table_.clear();
    for (;;) {
      uint8_t tag = 0;
      if (!storage::ReadResumeTag(stream, &tag)) {
        ok = false;
        break;
      }
      if (tag == storage::kResumeTagEnd) break;
      uint8_t head[9];
      if (tag != storage::kResumeTagDirectory || !stream.Read(head, sizeof head)) {
        ok = false;
        break;
      }
      uint32_t parent = 0, file_number = 0;
      for (int b = 0; b < 4; ++b) {
        parent |= static_cast<uint32_t>(head[b]) << (8 * b);
        file_number |= static_cast<uint32_t>(head[5 + b]) << (8 * b);
      }
      const uint8_t dir_disc = head[4];
      if (parent > reference_table_.size() ||
          cache_->RestoreFromSnapshot(storage::CK_DIR, dir_disc, file_number) != 0) {
        ok = false;
        break;
      }
      auto dir = std::make_unique<CDirObject>(this);
      if (dir->LoadState(stream) != 0) {
        ok = false;
        break;
      }
      if (dir_disc == disc && file_number >= next_file_.load()) RaiseNextFileNumber(file_number + 1);
      DirRef* ref = AddDirectory(std::move(dir), parent == 0 ? nullptr : reference_table_[parent - 1]);
      reference_table_.push_back(ref);
      ref->refs.fetch_sub(1);
    }
  }
  bool queued = false;
  if (ok) {
    if (RequeueChangedDirectories()) {
      flags |= storage::ResumeHeader::kCatalogChanged;
      queued = true;
    }
    // The catalog takes the number found on the discs; it is saved again.
    if (h.catalog_number != number) {
      if (RenameCacheFile(storage::CK_DB, storage::kStructDisc, h.catalog_number, storage::kStructDisc, number,
                          this) == 0) {
        structure_file_ = number;
      }
      flags |= storage::ResumeHeader::kCatalogChanged;
    }
    existing_catalog_ = true;
    ApplyResumeFlags(flags);
  }
  FreeReferenceTable();
  file.Close();
  if (!ok) {
    DropRestoredState();
    cache_->DropSnapshots();
    // The live cache is started afresh, which also drops a live resume file.
    StartFresh();
    return false;
  }
  cache_->DropSnapshots();
  Report(kNoticeResumed, false);
  if (queued || deferred_save_.load()) EnterBusy();
  work_.Set();
  return true;
}

}  // namespace kelva::volume
