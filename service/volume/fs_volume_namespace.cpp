// The namespace operations of CFsVolume: volume size, label and id; create,
// open and close of files and folders; information, listings, attribute
// changes, deletion, rename and move; the deleted-entry view.
//
// Entries of the open tables are found again by identity: a folder by the
// identity of its catalog in the structure catalog (compared under the
// catalog lock, which also guards its changes), a file by the type, disc and
// file its object publishes. An entry being evicted or deleted (queue state
// 255, or closing) is waited for rather than opened a second time.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/text.h"
#include "service/storage/catalog_records.h"
#include "service/storage/catalog_structure.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_ALREADY_EXISTS;
using platform::ERROR_DIR_NOT_EMPTY;
using platform::ERROR_DISK_FULL;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_PATH_NOT_FOUND;
using platform::ERROR_WRITE_PROTECT;
using storage::DirEntryRecord;

constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrOffline = 0x1000;
constexpr uint64_t kDirectoryIdBit = 0x40000000;
constexpr size_t kMaxStreamPart = 249;
constexpr size_t kMaxListedName = 256;
constexpr size_t kMaxLabelBytes = 80;
constexpr size_t kMaxLabelUnits = 32;
constexpr uint32_t kDeleteWaitMs = 30000;
constexpr uint32_t kDeletePollMs = 100;
constexpr uint32_t kBusyPollMs = 10;
constexpr uint32_t kBusyWaitMs = 30000;
constexpr size_t kPrefetchMaxChildren = 32;
constexpr int kCreateAttempts = 3;
constexpr uint32_t kChangeAdded = 1;
constexpr uint32_t kChangeRemoved = 2;
constexpr Win32Error kErrorRetry = 1237;

std::u16string_view StripRoot(std::u16string_view path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return path;
}

std::u16string_view DirPart(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? std::u16string_view{} : path.substr(0, slash);
}

std::u16string_view NamePart(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

std::u16string Join(std::u16string_view dir, std::u16string_view name) {
  std::u16string out(dir);
  if (!out.empty() && out.back() != u'\\') out.push_back(u'\\');
  out.append(name);
  return out;
}

template <typename Ref>
DirRef* ParentOf(std::mutex& mu, Ref* ref) {
  std::lock_guard l(mu);
  return ref->parent;
}

bool IsTombstone(const DirEntryRecord& row) { return (row.type & storage::ENTRY_DELETED) != 0; }
bool IsDirectoryRow(const DirEntryRecord& row) {
  return (row.type & storage::ENTRY_KIND_MASK) == storage::ENTRY_KIND_DIRECTORY;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared steps

bool CFsVolume::RefusesChanges() {
  return discs_ == nullptr || !discs_->CanWrite() || read_only_.load() != 0 || deleted_view_.load();
}

bool CFsVolume::LinkParent(DirRef* ref, const DirEntryRecord& row, DirRef* parent) {
  std::lock_guard l(link_mu_);
  if (ref->parent != nullptr || parent == nullptr) return false;
  ref->dir->AdoptEntry(row, parent->dir->catalog());
  ref->parent = parent;
  return true;
}

DirRef* CFsVolume::TakeDirRef(uint8_t disc, uint32_t file, bool* busy) {
  *busy = false;
  storage::ReadGuard g(dir_lock_);
  std::lock_guard q(dir_queue_mu_);
  for (auto& d : dirs_) {
    if (d->dir->current_disc() != disc || d->dir->current_file() != file) continue;
    if (d->state == kQueueTaken || d->closing.load()) {
      *busy = true;
      continue;
    }
    d->refs.fetch_add(1);
    return d.get();
  }
  return nullptr;
}

Win32Error CFsVolume::InsertDirectory(std::unique_ptr<CDirObject> dir, DirRef* parent, DirRef** out) {
  DirRef* found = nullptr;
  {
    LockCatalogShared();
    storage::WriteGuard g(dir_lock_);
    for (auto& d : dirs_) {
      if (d->dir->current_disc() == dir->current_disc() && d->dir->current_file() == dir->current_file() &&
          !d->closing.load()) {
        std::lock_guard q(dir_queue_mu_);
        if (d->state == kQueueTaken) continue;
        d->refs.fetch_add(1);
        found = d.get();
        break;
      }
    }
    if (found == nullptr) {
      auto ref = std::make_unique<DirRef>();
      ref->dir = std::move(dir);
      ref->refs = 1;
      ref->parent = parent;
      dirs_.push_back(std::move(ref));
      *out = dirs_.back().get();
    }
    UnlockCatalogShared();
  }
  if (found != nullptr) {
    // Another thread opened the same folder first: use its entry.
    const DirEntryRecord row = dir->entry();
    dir->Close();
    if (parent != nullptr && !LinkParent(found, row, parent)) ReleaseDirectory(parent);
    *out = found;
  }
  return 0;
}

Win32Error CFsVolume::OpenDirectoryByPath(std::u16string_view dir_path, DirRef** out) {
  *out = nullptr;
  if (!structure_) return ERROR_PATH_NOT_FOUND;
  const uint64_t start = clock_.NowMs();
  for (;;) {
    uint8_t disc = 0;
    uint32_t file = 0;
    bool busy = false;
    DirRef* ref = nullptr;
    LockCatalogShared();
    const int found = structure_->LookupPath(dir_path, -1, &disc, &file, deleted_view_.load() ? 1 : 0);
    if (found == 1) ref = TakeDirRef(disc, file, &busy);
    UnlockCatalogShared();
    if (found != 1) return ERROR_PATH_NOT_FOUND;
    if (ref != nullptr) {
      *out = ref;
      return 0;
    }
    if (busy && clock_.NowMs() - start < kBusyWaitMs) {
      clock_.Sleep(kBusyPollMs);
      continue;
    }
    auto dir = std::make_unique<CDirObject>(this);
    if (const Win32Error e = dir->OpenByPath(dir_path, disc, file); e != 0) return e;
    return InsertDirectory(std::move(dir), nullptr, out);
  }
}

Win32Error CFsVolume::OpenDirectoryRow(std::u16string_view full_path, const DirEntryRecord& row, DirRef* parent,
                                       DirRef** out) {
  *out = nullptr;
  const uint64_t start = clock_.NowMs();
  for (;;) {
    uint8_t disc = 0;
    uint32_t file = 0;
    bool busy = false;
    DirRef* ref = nullptr;
    LockCatalogShared();
    const int found = structure_ ? structure_->LookupPath(full_path, -1, &disc, &file,
                                                          deleted_view_.load() || IsTombstone(row) ? 1 : 0)
                                 : 0;
    if (found == 1) ref = TakeDirRef(disc, file, &busy);
    UnlockCatalogShared();
    if (found != 1) {
      ReleaseDirectory(parent);
      return ERROR_PATH_NOT_FOUND;
    }
    if (ref != nullptr) {
      if (!LinkParent(ref, row, parent)) ReleaseDirectory(parent);
      *out = ref;
      return 0;
    }
    if (busy && clock_.NowMs() - start < kBusyWaitMs) {
      clock_.Sleep(kBusyPollMs);
      continue;
    }
    auto dir = std::make_unique<CDirObject>(this);
    if (const Win32Error e = dir->Open(row, parent->dir->catalog(), disc, file); e != 0) {
      ReleaseDirectory(parent);
      return e;
    }
    return InsertDirectory(std::move(dir), parent, out);
  }
}

Win32Error CFsVolume::ResolveParent(std::u16string_view path, bool link, DirRef** out) {
  *out = nullptr;
  const std::u16string_view dir_path = DirPart(path);
  DirRef* ref = nullptr;
  if (const Win32Error e = OpenDirectoryByPath(dir_path, &ref); e != 0) return e;
  bool linked;
  {
    std::lock_guard l(link_mu_);
    linked = ref->parent != nullptr;
  }
  if (link && !dir_path.empty() && !linked) {
    DirRef* grand = nullptr;
    Win32Error e = OpenDirectoryByPath(DirPart(dir_path), &grand);
    if (e == 0) {
      DirEntryRecord row;
      e = grand->dir->GetEntry(NamePart(dir_path), &row);
      if (e == 0) {
        if (!LinkParent(ref, row, grand)) ReleaseDirectory(grand);
      } else {
        ReleaseDirectory(grand);
      }
    }
    if (e != 0) {
      ReleaseDirectory(ref);
      return e;
    }
  }
  *out = ref;
  return 0;
}

FileRef* CFsVolume::TakeFileRef(uint64_t identity, bool* busy) {
  *busy = false;
  storage::ReadGuard g(file_lock_);
  std::lock_guard q(file_queue_mu_);
  for (auto& f : files_) {
    if (f->object == nullptr || f->object->file()->identity() != identity) continue;
    if (f->state == kQueueTaken || f->closing.load()) {
      *busy = true;
      continue;
    }
    if (f->orphaned.load()) continue;
    f->refs.fetch_add(1);
    return f.get();
  }
  return nullptr;
}

FileRef* CFsVolume::InsertFile(std::unique_ptr<COpenFileObject> object, DirRef* parent) {
  storage::WriteGuard g(file_lock_);
  auto ref = std::make_unique<FileRef>();
  ref->object = object.get();
  ref->key = object->key();
  ref->file = object.release();
  ref->journal_number = journal_numbers_.fetch_add(1);
  ref->refs = 1;
  ref->parent = parent;
  file_set_.insert(ref.get());
  files_.push_back(std::move(ref));
  return files_.back().get();
}

Win32Error CFsVolume::OpenFileRow(const DirEntryRecord& row, DirRef* parent, bool host_open, FileRef** out) {
  *out = nullptr;
  const uint64_t identity = storage::CFileObject::PackIdentity(row.type, row.disk, row.file);
  const uint64_t start = clock_.NowMs();
  for (;;) {
    bool busy = false;
    FileRef* ref = TakeFileRef(identity, &busy);
    if (ref != nullptr) {
      ReleaseDirectory(parent);
      if (host_open) {
        ref->object->file()->Reopen();
        MoveToNewest(ref);
      }
      *out = ref;
      return 0;
    }
    if (!busy || clock_.NowMs() - start >= kBusyWaitMs) break;
    clock_.Sleep(kBusyPollMs);
  }
  auto object = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(this), recorder_);
  if (const Win32Error e = object->file()->Open(row, parent->dir->catalog()); e != 0) {
    ReleaseDirectory(parent);
    return e;
  }
  // Two threads may open the same file at once: the second keeps the first's entry.
  {
    storage::WriteGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    for (auto& f : files_) {
      if (f->object != nullptr && f->object->file()->identity() == identity && f->state != kQueueTaken &&
          !f->closing.load() && !f->orphaned.load()) {
        f->refs.fetch_add(1);
        *out = f.get();
        break;
      }
    }
  }
  if (*out != nullptr) {
    object->file()->Close();
    ReleaseDirectory(parent);
    return 0;
  }
  // An object opened for the volume's own use (not by the host) counts as
  // closed: what it records is not kept in the cache for further reads.
  if (!host_open) object->file()->Close();
  *out = InsertFile(std::move(object), parent);
  return 0;
}

void CFsVolume::MoveToNewest(DirRef* ref) {
  storage::WriteGuard g(dir_lock_);
  auto it = std::find_if(dirs_.begin(), dirs_.end(), [&](const std::unique_ptr<DirRef>& d) { return d.get() == ref; });
  // The root stays first: the table's first entry is the root.
  if (it == dirs_.end() || it == dirs_.begin()) return;
  std::unique_ptr<DirRef> owned = std::move(*it);
  dirs_.erase(it);
  dirs_.push_back(std::move(owned));
}

void CFsVolume::MoveToNewest(FileRef* ref) {
  storage::WriteGuard g(file_lock_);
  auto it =
      std::find_if(files_.begin(), files_.end(), [&](const std::unique_ptr<FileRef>& f) { return f.get() == ref; });
  if (it == files_.end()) return;
  std::unique_ptr<FileRef> owned = std::move(*it);
  files_.erase(it);
  files_.push_back(std::move(owned));
}

void CFsVolume::TouchDirectory(DirRef* dir) {
  if (dir == nullptr) return;
  const int64_t now = static_cast<int64_t>(Now());
  dir->dir->SetInfo(0, nullptr, &now, &now);
}

uint8_t CFsVolume::TakeFileForDeletion(FileRef* ref) {
  for (;;) {
    {
      std::lock_guard q(file_queue_mu_);
      if (ref->state != kQueueTaken && !ref->in_writeback) {
        const uint8_t old = ref->state;
        if (old != kQueueNone) {
          std::erase(file_queue_, ref);
          if (old >= kQueueWrite) --files_to_write_;
        }
        ref->state = kQueueTaken;
        evictions_.fetch_add(1);
        return old;
      }
    }
    // The writer holds it or writes it back: let it finish its pass.
    ack_.Reset();
    work_.Set();
    ack_.Wait(kDeletePollMs);
  }
}

void CFsVolume::GiveFileBack(FileRef* ref, uint8_t old_state) {
  {
    std::lock_guard q(file_queue_mu_);
    ref->state = old_state;
    if (old_state != kQueueNone) {
      file_queue_.push_back(ref);
      if (old_state >= kQueueWrite) ++files_to_write_;
    }
  }
  evictions_.fetch_sub(1);
  if (old_state != kQueueNone) work_.Set();
}

uint8_t CFsVolume::TakeDirForDeletion(DirRef* ref) {
  for (;;) {
    {
      std::lock_guard q(dir_queue_mu_);
      if (ref->state != kQueueTaken && !ref->in_writeback) {
        const uint8_t old = ref->state;
        if (old != kQueueNone) std::erase(dir_queue_, ref);
        ref->state = kQueueTaken;
        evictions_.fetch_add(1);
        return old;
      }
    }
    ack_.Reset();
    work_.Set();
    ack_.Wait(kDeletePollMs);
  }
}

void CFsVolume::GiveDirBack(DirRef* ref, uint8_t old_state) {
  {
    std::lock_guard q(dir_queue_mu_);
    ref->state = old_state;
    if (old_state != kQueueNone) dir_queue_.push_back(ref);
  }
  evictions_.fetch_sub(1);
  if (old_state != kQueueNone) work_.Set();
}

bool CFsVolume::WaitSoleHolder(const std::atomic<int32_t>& refs) {
  const uint64_t start = clock_.NowMs();
  while (refs.load() > 1) {
    if (clock_.NowMs() - start >= kDeleteWaitMs) return false;
    clock_.Sleep(kDeletePollMs);
  }
  return true;
}

void CFsVolume::DropDeletedFile(FileRef* ref) {
  if (ref->object != nullptr) ref->object->file()->DiscardContent();
  RemoveFileRef(ref);
}

void CFsVolume::RetireIdleStreams(DirRef* parent, std::u16string_view base) {
  std::vector<FileRef*> taken;
  {
    storage::ReadGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    for (auto& f : files_) {
      if (f->object == nullptr || f->parent != parent || f->refs.load() != 0 || f->state == kQueueTaken ||
          f->closing.load() || (f->object->file()->identity() >> 40 & storage::ENTRY_STREAM) == 0) {
        continue;
      }
      if (f->state != kQueueNone) {
        std::erase(file_queue_, f.get());
        if (f->state >= kQueueWrite) --files_to_write_;
      }
      f->state = kQueueTaken;
      f->refs.fetch_add(1);
      evictions_.fetch_add(1);
      taken.push_back(f.get());
    }
  }
  const std::u16string prefix = std::u16string(base) + u":";
  for (FileRef* f : taken) {
    const std::u16string name = f->object->file()->entry().name;
    const bool mine = name.size() > prefix.size() && platform::EqualNoCase(name.substr(0, prefix.size()), prefix);
    if (mine && f->object->WriteBack(true) == 0) {
      evictions_.fetch_sub(1);
      f->refs.fetch_sub(1);
      RemoveFileRef(f);
    } else {
      {
        std::lock_guard q(file_queue_mu_);
        f->state = kQueueNone;
      }
      evictions_.fetch_sub(1);
      if (mine) MarkFileDirty(f->key, 1, 1);  // to be tried again by the writer
      ReleaseFile(f);
    }
  }
}

Win32Error CFsVolume::FileDeletionCheck(FileRef* ref, bool* may_delete) {
  *may_delete = false;
  if (ref->object == nullptr) return ERROR_ACCESS_DENIED;
  storage::CFileObject* file = ref->object->file();
  const DirEntryRecord entry = file->entry();
  if (IsTombstone(entry)) return 0;
  if (!SyncCatalogGrowth() || !SyncDirectoryGrowth(file->parent_catalog())) return 0;
  if (deleted_view_.load()) {
    const bool empty_removable = settings_.empty_file_flag != 0 && file->end_of_file() == 0;
    if (!empty_removable && !MatchesPatternList2(entry.name) && !MatchesPatternList1(entry.name)) {
      return ERROR_WRITE_PROTECT;
    }
  }
  *may_delete = true;
  return 0;
}

std::unordered_map<uint64_t, FileRef*> CFsVolume::OpenFileIdentities() {
  std::unordered_map<uint64_t, FileRef*> out;
  storage::ReadGuard g(file_lock_);
  out.reserve(files_.size());
  for (auto& f : files_) {
    if (f->object != nullptr) out.emplace(f->object->file()->identity(), f.get());
  }
  return out;
}

FileRef* CFsVolume::TakeListedFileRef(FileRef* candidate, uint64_t identity) {
  storage::ReadGuard g(file_lock_);
  std::lock_guard q(file_queue_mu_);
  // The entry may have left the table since the listing saw it (its memory
  // then maybe reused): only one in the table now, with that identity, counts.
  if (file_set_.count(candidate) == 0 || candidate->object == nullptr ||
      candidate->object->file()->identity() != identity || candidate->state == kQueueTaken ||
      candidate->closing.load() || candidate->orphaned.load()) {
    return nullptr;
  }
  candidate->refs.fetch_add(1);
  return candidate;
}

void CFsVolume::RowInfo(std::u16string_view dir_path, const DirEntryRecord& row, EntryInfo* info,
                        const std::unordered_map<uint64_t, FileRef*>* open_files) {
  DirEntryRecord shown = row;
  bool offline = false;
  uint64_t id = 0;
  const uint8_t loaded = discs_ != nullptr ? discs_->LoadedDisc() : uint8_t{255};
  if (IsDirectoryRow(row)) {
    uint8_t disc = row.disk;
    uint32_t file = row.file;
    bool open = false;
    LockCatalogShared();
    if (structure_) {
      structure_->LookupPath(Join(dir_path, row.name), -1, &disc, &file,
                             deleted_view_.load() || IsTombstone(row) ? 1 : 0);
    }
    {
      storage::ReadGuard g(dir_lock_);
      for (auto& d : dirs_) {
        if (d->dir->current_disc() == disc && d->dir->current_file() == file && !d->closing.load()) {
          DirEntryRecord live;
          if (d->dir->GetInfo(&live) == 0) {
            live.name = row.name;
            shown = live;
          }
          open = true;
          break;
        }
      }
    }
    UnlockCatalogShared();
    if (!open) {
      std::filesystem::path cached;
      offline = !(cache_ && cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &cached)) && disc != loaded;
    }
    id = (uint64_t{disc} << 32 | file) | kDirectoryIdBit;
  } else {
    bool busy = false;
    const uint64_t identity = storage::CFileObject::PackIdentity(row.type, row.disk, row.file);
    FileRef* ref = nullptr;
    if (open_files == nullptr) {
      ref = TakeFileRef(identity, &busy);
    } else if (auto it = open_files->find(identity); it != open_files->end()) {
      ref = TakeListedFileRef(it->second, identity);
      if (ref == nullptr) ref = TakeFileRef(identity, &busy);  // it changed meanwhile: search
    }
    if (ref != nullptr) {
      DirEntryRecord live;
      if (ref->object->file()->GetInfo(&live) == 0) {
        live.name = row.name;
        shown = live;
      }
      offline = !ref->object->file()->FullyCached();
      ReleaseFile(ref);
    } else {
      offline = (row.type & storage::ENTRY_KIND_MASK) == storage::ENTRY_KIND_EXTENTS || row.disk != loaded;
    }
    id = uint64_t{shown.disk} << 32 | shown.file;
  }
  info->exists = true;
  info->creation_time = shown.ctime;
  info->access_time = shown.atime;
  info->write_time = shown.mtime;
  info->end_of_file = shown.size;
  info->allocation = shown.alloc;
  info->file_id = id;
  uint32_t attributes = shown.attr;
  if (IsTombstone(row)) attributes = (attributes & ~kAttrNormal) | kAttributeDeletedEntry | kAttrReadOnly;
  if (offline) attributes = (attributes & ~kAttrNormal) | kAttrOffline;
  if (RefusesChanges()) attributes = (attributes & ~kAttrNormal) | kAttrReadOnly;
  info->attributes = attributes;
}

// ---------------------------------------------------------------------------
// Volume size, label and id

Win32Error CFsVolume::GetVolumeSize(uint64_t* total_sectors, uint64_t* free_sectors) {
  storage::ReadGuard op(op_lock_);
  const int64_t total = TotalCapacity() - kCapacityReserve;
  const int64_t free_bytes = FreeCapacity() - pending_.load() - metadata_.load() - kCapacityReserve;
  *total_sectors = total > 0 ? static_cast<uint64_t>(total / 512) : 0;
  *free_sectors = free_bytes > 0 ? static_cast<uint64_t>(free_bytes / 512) : 0;
  return 0;
}

Win32Error CFsVolume::GetVolumeLabel(std::u16string* label) {
  storage::ReadGuard op(op_lock_);
  label->clear();
  if (!structure_) return 0;
  char raw[kMaxLabelBytes] = {};
  size_t length = 0;
  if (structure_->GetProperty("VolumeLabel", raw, sizeof raw, &length) != 1) return 0;
  length = std::min(length, sizeof raw);
  const std::string_view utf8(raw, strnlen(raw, length));
  // A label that is not UTF-8 cannot be shown.
  const std::u16string text = platform::Utf8ToUtf16(utf8);
  if (text.find(u'\uFFFD') != std::u16string::npos) return ERROR_ACCESS_DENIED;
  *label = text.substr(0, kMaxLabelUnits);
  return 0;
}

Win32Error CFsVolume::SetVolumeLabel(std::u16string_view label) {
  storage::ReadGuard op(op_lock_);
  if (!structure_) return ERROR_ACCESS_DENIED;
  if (!SyncCatalogGrowth()) return ERROR_DISK_FULL;
  if (label.empty()) return structure_->DeleteProperty("VolumeLabel") == 1 ? Win32Error{0} : Win32Error{ERROR_ACCESS_DENIED};
  const std::string utf8 = platform::Utf16ToUtf8(label);
  if (utf8.size() > kMaxLabelBytes) return ERROR_INVALID_PARAMETER;
  const size_t length = strnlen(utf8.data(), utf8.size());
  return structure_->SetProperty("VolumeLabel", utf8.data(), length) == 1 ? Win32Error{0} : Win32Error{ERROR_ACCESS_DENIED};
}

Win32Error CFsVolume::GetVolumeId(uint32_t* id) {
  storage::ReadGuard op(op_lock_);
  *id = 0;
  if (!structure_) return 0;
  uint8_t raw[4] = {};
  size_t length = 0;
  if (structure_->GetProperty("VolumeID", raw, sizeof raw, &length) == 1 && length >= sizeof raw) {
    *id = uint32_t{raw[0]} | uint32_t{raw[1]} << 8 | uint32_t{raw[2]} << 16 | uint32_t{raw[3]} << 24;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Create, open, close

Win32Error CFsVolume::CreateEntry(std::u16string_view path, uint32_t attributes, EntryRef** context) {
  *context = nullptr;
  OperationFrame frame(*this);
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  path = StripRoot(path);
  const std::u16string_view name = NamePart(path);
  if (name.empty()) return ERROR_ALREADY_EXISTS;  // the root
  DirRef* parent = nullptr;
  if (const Win32Error e = ResolveParent(path, true, &parent); e != 0) return e;
  // The parent's reference goes to the new entry on success, else it is dropped.
  struct Drop {
    CFsVolume* v;
    DirRef* d;
    ~Drop() {
      if (d != nullptr) v->ReleaseDirectory(d);
    }
  } drop{this, parent};
  const bool view = deleted_view_.load();

  DirEntryRecord own;
  if (parent->dir->GetInfo(&own) == 0 && IsTombstone(own)) return ERROR_ACCESS_DENIED;
  // Also asked again after a failed insertion: another create of the same name
  // may have come first.
  auto name_taken = [&] {
    DirEntryRecord existing;
    return parent->dir->GetEntry(name, &existing) == 0 && (!IsTombstone(existing) || view);
  };
  if (name_taken()) return ERROR_ALREADY_EXISTS;

  const size_t colons = static_cast<size_t>(std::count(path.begin(), path.end(), u':'));
  const size_t colon = name.find(u':');
  if (colons >= 2 || (colons == 1 && colon == std::u16string_view::npos)) return ERROR_INVALID_PARAMETER;
  const bool is_stream = colons == 1;
  if (is_stream) {
    const std::u16string_view part = name.substr(colon);
    if (part.size() == 1 || colon == 0) return ERROR_INVALID_PARAMETER;
    if (part.size() > kMaxStreamPart) return ERROR_PATH_NOT_FOUND;
  }
  const int64_t now = static_cast<int64_t>(Now());

  if ((attributes & kAttrDirectory) != 0) {
    // A folder cannot be a named stream.
    if (is_stream) return ERROR_INVALID_PARAMETER;
    auto object = std::make_unique<CDirObject>(this);
    CDirObject* raw = object.get();
    DirRef* ref = nullptr;
    {
      // In the table (closing, so that no lookup takes it) before its catalog
      // exists, so that the catalog's growth is counted against it.
      storage::WriteGuard g(dir_lock_);
      auto owned = std::make_unique<DirRef>();
      owned->dir = std::move(object);
      owned->closing = true;
      owned->refs = 1;
      owned->open_count = 1;
      owned->prefetched = true;
      owned->parent = parent;
      ref = owned.get();
      dirs_.push_back(std::move(owned));
    }
    Win32Error e = 0;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
      e = raw->Create(parent->dir->catalog(), path, attributes, now);
      if (e == 0 || name_taken()) break;
    }
    if (e != 0) {
      {
        storage::WriteGuard g(dir_lock_);
        std::erase_if(dirs_, [&](const std::unique_ptr<DirRef>& d) { return d.get() == ref; });
      }
      return name_taken() ? Win32Error{ERROR_ALREADY_EXISTS} : e;  // drop releases the parent
    }
    drop.d = nullptr;  // the new entry holds the parent now
    ref->closing = false;
    TouchDirectory(parent);
    work_.Set();
    *context = ref;
    return 0;
  }

  if (is_stream) {
    const std::u16string_view base = name.substr(0, colon);
    DirEntryRecord base_row;
    if (parent->dir->GetEntry(base, &base_row) != 0 || (IsTombstone(base_row) && !view)) {
      auto object = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(this), recorder_);
      const Win32Error e = object->file()->Create(parent->dir->catalog(), Join(DirPart(path), base), attributes, now,
                                                  false);
      if (e != 0) return e;
      parent->refs.fetch_add(1);
      FileRef* base_ref = InsertFile(std::move(object), parent);
      // Nobody holds the base file open: it is closed at once, which queues it.
      base_ref->object->file()->Close();
      ReleaseFile(base_ref);
    }
  }
  auto object = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(this), recorder_);
  Win32Error e = 0;
  // A create that loses a race for the name answers 183; one whose rival was
  // deleted again meanwhile tries once more.
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    e = object->file()->Create(parent->dir->catalog(), path, is_stream ? kAttrNormal : attributes, now, is_stream);
    if (e == 0) break;
    if (name_taken()) return ERROR_ALREADY_EXISTS;
  }
  if (e != 0) return e;
  object->SetOpenInHost(true);
  drop.d = nullptr;
  FileRef* ref = InsertFile(std::move(object), parent);
  ref->open_count = 1;
  TouchDirectory(parent);
  *context = ref;
  return 0;
}

void CFsVolume::StartPrefetch(DirRef* ref) {
  if (ref->prefetched.exchange(true) || !structure_ || discs_ == nullptr || !cache_) return;
  const std::u16string path = ref->dir->FullPath();
  if (path.empty()) return;
  std::vector<storage::DirIdentity> children;
  BeginForegroundDisc();
  LockCatalogShared();
  structure_->ListChildren(path, &children, 0);
  UnlockCatalogShared();
  // The root's list holds the root's own row.
  std::erase_if(children, [&](const storage::DirIdentity& c) {
    return c.first == ref->dir->current_disc() && c.second == ref->dir->current_file();
  });
  if (children.size() <= kPrefetchMaxChildren) {
    const uint8_t loaded = discs_->LoadedDisc();
    for (const auto& [disc, file] : children) {
      bool open = false;
      {
        storage::ReadGuard g(dir_lock_);
        for (auto& d : dirs_) {
          if (d->dir->current_disc() == disc && d->dir->current_file() == file) open = true;
        }
      }
      if (open) continue;
      if (disc == loaded) {
        std::filesystem::path cached;
        if (!cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &cached) &&
            PinCacheFile(storage::CK_DIR, disc, file, ref, false) == 0) {
          UnpinCacheFile(storage::CK_DIR, disc, file, ref, true);
        }
      } else {
        AddDirectoryPrefetch(disc, file);
      }
    }
  }
  EndForegroundDisc();
}

Win32Error CFsVolume::OpenEntry(std::u16string_view path, uint32_t desired_access, uint32_t attributes,
                                EntryRef** context) {
  *context = nullptr;
  OperationFrame frame(*this);
  WaitDirectoryEviction();
  path = StripRoot(path);
  DirRef* parent = nullptr;
  if (const Win32Error e = ResolveParent(path, false, &parent); e != 0) return e;
  const bool view = deleted_view_.load();
  if (path.empty()) {
    parent->open_count.fetch_add(1);
    StartPrefetch(parent);
    work_.Set();
    *context = parent;
    return 0;
  }
  DirEntryRecord row;
  if (parent->dir->GetEntry(NamePart(path), &row) != 0) {
    ReleaseDirectory(parent);
    return ERROR_FILE_NOT_FOUND;
  }
  if ((attributes & kAttrDirectory) == 0) {
    if (IsTombstone(row) && !view) {
      ReleaseDirectory(parent);
      return ERROR_FILE_NOT_FOUND;
    }
    if (IsDirectoryRow(row)) {
      ReleaseDirectory(parent);
      return ERROR_ACCESS_DENIED;  // a folder opened as a file
    }
    FileRef* ref = nullptr;
    if (const Win32Error e = OpenFileRow(row, parent, true, &ref); e != 0) return e;
    if (desired_access == kAccessDelete) {
      bool may = false;
      if (const Win32Error e = FileDeletionCheck(ref, &may); e != 0) {
        if (ref->open_count.load() == 0) ref->object->file()->Close();
        ReleaseFile(ref);
        return e;
      }
    }
    ref->object->SetOpenInHost(ref->open_count.fetch_add(1) + 1 > 0);
    *context = ref;
    return 0;
  }
  if ((IsTombstone(row) && !view) || !IsDirectoryRow(row)) {
    ReleaseDirectory(parent);
    return ERROR_PATH_NOT_FOUND;
  }
  DirRef* ref = nullptr;
  if (const Win32Error e = OpenDirectoryRow(path, row, parent, &ref); e != 0) return e;
  ref->open_count.fetch_add(1);
  MoveToNewest(ref);
  StartPrefetch(ref);
  work_.Set();
  *context = ref;
  return 0;
}

Win32Error CFsVolume::CloseEntry(EntryRef* context) {
  if (context == nullptr) return ERROR_INVALID_PARAMETER;
  OperationFrame frame(*this);
  if (context->kind == kRefDirectory) {
    auto* ref = static_cast<DirRef*>(context);
    MoveToNewest(ref);
    CDirObject* dir = ref->dir.get();
    if (dir->entry_changed() || dir->pending_history() != 0 ||
        (dir->catalog() != nullptr && dir->catalog()->ChangeState() == 1)) {
      MarkDirectoryDirty(dir, 0, 0);
    }
    ref->open_count.fetch_sub(1);
    ReleaseDirectory(ref);
    return 0;
  }
  if (context->kind == kRefFile) {
    auto* ref = static_cast<FileRef*>(context);
    if (ref->object == nullptr) return ERROR_INVALID_PARAMETER;
    MoveToNewest(ref);
    // The object closes when the last host open of it does: a close while
    // another open still writes would hold that writer back.
    const int32_t left = ref->open_count.fetch_sub(1) - 1;
    if (left <= 0) {
      ref->object->SetOpenInHost(false);
      ref->object->file()->Close();
      // Closed by the host: from now on a kill must not lose it, even while
      // something else (a lookup, the writer) still holds the entry.
      JournalFile(ref);
    }
    if (ref->orphaned.load() && ref->refs.load() == 1) {
      const uint8_t old = TakeFileForDeletion(ref);
      (void)old;
      evictions_.fetch_sub(1);
      DropDeletedFile(ref);
      return 0;
    }
    ReleaseFile(ref);
    return 0;
  }
  return ERROR_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------
// Information and listings

Win32Error CFsVolume::GetEntryInfo(std::u16string_view path, EntryInfo* info) {
  *info = EntryInfo{};
  OperationFrame frame(*this);
  path = StripRoot(path);
  DirRef* parent = nullptr;
  if (const Win32Error e = ResolveParent(path, false, &parent); e != 0) {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : e;
  }
  if (path.empty()) {
    // The root: its own entry.
    DirEntryRecord own;
    parent->dir->GetInfo(&own);
    own.type = storage::ENTRY_KIND_DIRECTORY;
    own.attr |= kAttrDirectory;
    own.name.clear();
    const std::u16string none;
    RowInfo(none, own, info);
    info->file_id = (uint64_t{parent->dir->current_disc()} << 32 | parent->dir->current_file()) | kDirectoryIdBit;
    info->attributes &= ~kAttrOffline;
    ReleaseDirectory(parent);
    return 0;
  }
  DirEntryRecord row;
  if (parent->dir->GetEntry(NamePart(path), &row) == 0 && (!IsTombstone(row) || deleted_view_.load())) {
    RowInfo(DirPart(path), row, info);
  }
  ReleaseDirectory(parent);
  return 0;
}

Win32Error CFsVolume::EnumerateEntries(EntryRef* dir, std::u16string_view mask, bool restart,
                                       std::unique_ptr<CEntryListing>* listing, bool* found, ListedEntry* out) {
  *found = false;
  if (dir == nullptr) return 0;
  if (dir->kind != kRefDirectory) return ERROR_INVALID_PARAMETER;
  OperationFrame frame(*this);
  auto* ref = static_cast<DirRef*>(dir);
  const bool view = deleted_view_.load();
  if (mask.empty()) mask = u"*";
  if (restart && *listing) (*listing)->Restart();
  if (!platform::HasWildcards(mask)) {
    if (*listing) {
      if ((*listing)->end) {
        listing->reset();
        return 0;
      }
    }
    DirEntryRecord row;
    if (ref->dir->GetEntry(mask, &row) != 0 || (IsTombstone(row) && !view)) {
      listing->reset();
      return 0;
    }
    try {
      *listing = std::make_unique<CEntryListing>(true);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    (*listing)->end = true;
    RowInfo(ref->dir->FullPath(), row, &out->info);
    out->name = row.name.substr(0, kMaxListedName);
    *found = true;
    return 0;
  }
  if (!*listing) {
    try {
      *listing = std::make_unique<CEntryListing>(false);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  CEntryListing& l = **listing;
  if (l.exact) {
    listing->reset();
    return 0;
  }
  if (l.left == 0) {
    if (l.end) {
      listing->reset();
      return 0;
    }
    storage::ListingBatch batch;
    if (const Win32Error e = ref->dir->ListEntries(mask, l.next_index, l.buffer.data(), &batch, view); e != 0) {
      return e;
    }
    l.next_index = batch.next_index;
    l.left = batch.count;
    l.end = batch.end;
    l.cursor = 0;
    if (l.left == 0) {
      listing->reset();
      return 0;
    }
    l.folder_path.reset();
    l.open_files = OpenFileIdentities();
  }
  DirEntryRecord row;
  size_t consumed = 0;
  if (!storage::DecodeListingRecord(l.buffer.data() + l.cursor, l.buffer.size() - l.cursor, &row, &consumed)) {
    listing->reset();
    return ERROR_ACCESS_DENIED;
  }
  l.cursor += consumed;
  --l.left;
  // Only a folder row needs the listed folder's path (to find its catalog).
  if (IsDirectoryRow(row) && !l.folder_path) l.folder_path = ref->dir->FullPath();
  RowInfo(l.folder_path ? *l.folder_path : std::u16string_view{}, row, &out->info, &l.open_files);
  out->name = row.name.substr(0, kMaxListedName);
  *found = true;
  return 0;
}

Win32Error CFsVolume::EnumerateStreams(EntryRef* context, std::unique_ptr<CEntryListing>* listing, bool* found,
                                       ListedStream* out) {
  *found = false;
  if (context == nullptr) return 0;
  if (context->kind != kRefDirectory && context->kind != kRefFile) return ERROR_INVALID_PARAMETER;
  OperationFrame frame(*this);
  // Streams are rows of the catalog that holds their base: the parent's.
  CDirObject* holder = nullptr;
  std::u16string base;
  DirRef* held = nullptr;
  if (context->kind == kRefDirectory) {
    auto* ref = static_cast<DirRef*>(context);
    {
      std::lock_guard l(link_mu_);
      held = ref->parent;
      if (held != nullptr) held->refs.fetch_add(1);
    }
    if (held == nullptr) {
      holder = ref->dir.get();  // the root lists its own
    } else {
      holder = held->dir.get();
      base = ref->dir->entry().name;
    }
  } else {
    auto* ref = static_cast<FileRef*>(context);
    if (ref->object == nullptr) return ERROR_INVALID_PARAMETER;
    {
      std::lock_guard l(link_mu_);
      held = ref->parent;
      if (held != nullptr) held->refs.fetch_add(1);
    }
    if (held == nullptr) return 0;
    holder = held->dir.get();
    base = ref->object->file()->entry().name;
  }
  struct Drop {
    CFsVolume* v;
    DirRef* d;
    ~Drop() {
      if (d != nullptr) v->ReleaseDirectory(d);
    }
  } drop{this, held};
  if (!*listing) {
    try {
      *listing = std::make_unique<CEntryListing>(false);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  CEntryListing& l = **listing;
  if (l.left == 0) {
    if (l.end) {
      listing->reset();
      return 0;
    }
    storage::ListingBatch batch;
    if (const Win32Error e = holder->ListStreams(base, l.next_index, l.buffer.data(), &batch, deleted_view_.load());
        e != 0) {
      return e;
    }
    l.next_index = batch.next_index;
    l.left = batch.count;
    l.end = batch.end;
    l.cursor = 0;
    if (l.left == 0) {
      listing->reset();
      return 0;
    }
  }
  DirEntryRecord row;
  size_t consumed = 0;
  if (!storage::DecodeListingRecord(l.buffer.data() + l.cursor, l.buffer.size() - l.cursor, &row, &consumed)) {
    listing->reset();
    return ERROR_ACCESS_DENIED;
  }
  l.cursor += consumed;
  --l.left;
  // row.name is the part from the colon on (":stream").
  out->name = (row.name + u":$DATA").substr(0, kMaxListedName);
  out->name_bytes = static_cast<uint32_t>(out->name.size() * sizeof(char16_t));
  out->end_of_file = row.size;
  out->allocation = row.alloc;
  bool busy = false;
  if (FileRef* open = TakeFileRef(storage::CFileObject::PackIdentity(row.type, row.disk, row.file), &busy)) {
    out->end_of_file = open->object->file()->end_of_file();
    out->allocation = open->object->file()->entry().alloc;
    ReleaseFile(open);
  }
  *found = true;
  return 0;
}

Win32Error CFsVolume::SetEntryInfo(EntryRef* context, int64_t creation_time, int64_t access_time,
                                   int64_t write_time, uint32_t attributes) {
  OperationFrame frame(*this);
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  if ((attributes & kAttrOffline) != 0) {
    attributes &= ~kAttrOffline;
    if (attributes == 0) attributes = kAttrNormal;
  }
  const int64_t* c = creation_time != 0 ? &creation_time : nullptr;
  const int64_t* a = access_time != 0 ? &access_time : nullptr;
  const int64_t* w = write_time != 0 ? &write_time : nullptr;
  if (context != nullptr && context->kind == kRefDirectory) {
    auto* ref = static_cast<DirRef*>(context);
    // A folder keeps its folder bit whatever the caller gives.
    if (attributes != 0) attributes |= kAttrDirectory;
    return ref->dir->SetInfo(attributes, c, a, w);
  }
  if (FileRef* ref = AsFile(context); ref != nullptr && ref->object != nullptr) {
    return ref->object->file()->SetInfo(attributes, c, a, w);
  }
  return ERROR_INVALID_PARAMETER;
}

Win32Error CFsVolume::IsDirectoryEmpty(std::u16string_view path, EntryRef* dir, bool* empty) {
  *empty = false;
  OperationFrame frame(*this);
  const int count_tombstones = deleted_view_.load() ? 1 : 0;
  if (dir != nullptr && dir->kind == kRefDirectory) {
    CDirectoryDb* catalog = static_cast<DirRef*>(dir)->dir->catalog();
    *empty = catalog != nullptr && catalog->IsEmpty(count_tombstones) == 1;
    return 0;
  }
  path = StripRoot(path);
  DirRef* ref = nullptr;
  if (const Win32Error e = OpenDirectoryByPath(path, &ref); e != 0) return e;
  CDirectoryDb* catalog = ref->dir->catalog();
  *empty = catalog != nullptr && catalog->IsEmpty(count_tombstones) == 1;
  ReleaseDirectory(ref);
  return 0;
}

// ---------------------------------------------------------------------------
// Deletion

Win32Error CFsVolume::CanDeleteEntry(std::u16string_view path, bool* may_delete) {
  *may_delete = false;
  OperationFrame frame(*this);
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  path = StripRoot(path);
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  DirRef* parent = nullptr;
  if (const Win32Error e = ResolveParent(path, true, &parent); e != 0) return e;
  DirEntryRecord row;
  if (const Win32Error e = parent->dir->GetEntry(NamePart(path), &row); e != 0) {
    ReleaseDirectory(parent);
    return e;
  }
  if (IsDirectoryRow(row)) {
    DirRef* ref = nullptr;
    if (const Win32Error e = OpenDirectoryRow(path, row, parent, &ref); e != 0) return e;
    int answer = 0;
    const Win32Error e = ref->dir->CanDelete(deleted_view_.load() ? 1 : 0, &answer);
    *may_delete = answer != 0;
    ReleaseDirectory(ref);
    return e;
  }
  FileRef* ref = nullptr;
  if (const Win32Error e = OpenFileRow(row, parent, false, &ref); e != 0) return e;
  const Win32Error e = FileDeletionCheck(ref, may_delete);
  ReleaseFile(ref);
  return e;
}

Win32Error CFsVolume::DeleteEntry(std::u16string_view path) {
  OperationFrame frame(*this);
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  path = StripRoot(path);
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  DirRef* parent = nullptr;
  if (const Win32Error e = ResolveParent(path, true, &parent); e != 0) return e;
  DirEntryRecord row;
  if (const Win32Error e = parent->dir->GetEntry(NamePart(path), &row); e != 0) {
    ReleaseDirectory(parent);
    return e;
  }
  if (IsTombstone(row)) {
    ReleaseDirectory(parent);
    return ERROR_FILE_NOT_FOUND;
  }

  if (IsDirectoryRow(row)) {
    DirRef* ref = nullptr;
    if (const Win32Error e = OpenDirectoryRow(path, row, parent, &ref); e != 0) return e;
    // Deleting a folder that still holds entries would hide them with it.
    CDirectoryDb* catalog = ref->dir->catalog();
    if (catalog == nullptr || catalog->IsEmpty(0) != 1) {
      ReleaseDirectory(ref);
      return ERROR_DIR_NOT_EMPTY;
    }
    const uint8_t old = TakeDirForDeletion(ref);
    ref->closing = true;
    Win32Error e = WaitSoleHolder(ref->refs) ? Win32Error{0} : Win32Error{ERROR_ACCESS_DENIED};
    if (e == 0) e = ref->dir->Flush(true);
    if (e == kErrorRetry) e = 0;
    if (e == 0) e = ref->dir->Delete();
    if (e != 0) {
      ref->closing = false;
      GiveDirBack(ref, old);
      ReleaseDirectory(ref);
      return e;
    }
    DirRef* holder;
    {
      std::lock_guard l(link_mu_);
      holder = ref->parent;
    }
    TouchDirectory(holder);
    evictions_.fetch_sub(1);
    RemoveDirRef(ref);
    return 0;
  }

  FileRef* ref = nullptr;
  if (const Win32Error e = OpenFileRow(row, parent, false, &ref); e != 0) return e;
  storage::CFileObject* file = ref->object->file();
  const uint8_t old = TakeFileForDeletion(ref);
  // Other holders go first: a file still held after 30 s stays as it was.
  ref->closing = true;
  if (!WaitSoleHolder(ref->refs)) {
    ref->closing = false;
    GiveFileBack(ref, old);
    ReleaseFile(ref);
    return ERROR_ACCESS_DENIED;
  }
  if ((row.type & storage::ENTRY_STREAM) == 0) RetireIdleStreams(ParentOf(link_mu_, ref), row.name);
  Win32Error e = ref->object->WriteBack(true);
  if (e == 0) {
    const bool remove = (settings_.empty_file_flag != 0 && file->end_of_file() == 0) || MatchesPatternList1(row.name);
    e = file->Delete(remove);
  }
  if (e != 0) {
    ref->closing = false;
    GiveFileBack(ref, old);
    ReleaseFile(ref);
    return e;
  }
  if ((row.type & storage::ENTRY_STREAM) == 0) {
    DirRef* holder;
    {
      std::lock_guard l(link_mu_);
      holder = ref->parent;
    }
    TouchDirectory(holder);
  }
  evictions_.fetch_sub(1);
  DropDeletedFile(ref);
  return 0;
}

// ---------------------------------------------------------------------------
// Rename and move

Win32Error CFsVolume::RenameEntry(std::u16string_view old_path, std::u16string_view new_path) {
  OperationFrame frame(*this);
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  old_path = StripRoot(old_path);
  new_path = StripRoot(new_path);
  if (old_path.find(u':') != std::u16string_view::npos || new_path.find(u':') != std::u16string_view::npos) {
    return ERROR_INVALID_PARAMETER;
  }
  if (new_path.empty()) return ERROR_ACCESS_DENIED;  // onto the root
  if (old_path == new_path && !old_path.empty()) {
    // Onto itself: nothing to do once the source is known to exist.
    DirRef* parent = nullptr;
    if (const Win32Error e = ResolveParent(old_path, false, &parent); e != 0) return e;
    DirEntryRecord row;
    const Win32Error e = parent->dir->GetEntry(NamePart(old_path), &row);
    ReleaseDirectory(parent);
    if (e != 0) return e;
    return IsTombstone(row) && !deleted_view_.load() ? Win32Error{ERROR_FILE_NOT_FOUND} : Win32Error{0};
  }
  const bool view = deleted_view_.load();

  DirRef* old_parent = nullptr;
  if (const Win32Error e = ResolveParent(old_path, true, &old_parent); e != 0) return e;
  DirRef* src_dir = nullptr;
  FileRef* src_file = nullptr;
  if (old_path.empty()) {
    src_dir = old_parent;  // the root itself (its rename fails below)
    src_dir->refs.fetch_add(1);
  } else {
    DirEntryRecord row;
    Win32Error e = old_parent->dir->GetEntry(NamePart(old_path), &row);
    if (e == 0 && IsTombstone(row) && !view) e = ERROR_FILE_NOT_FOUND;
    if (e != 0) {
      ReleaseDirectory(old_parent);
      return e;
    }
    old_parent->refs.fetch_add(1);  // taken over by the source's entry
    e = IsDirectoryRow(row) ? OpenDirectoryRow(old_path, row, old_parent, &src_dir)
                            : OpenFileRow(row, old_parent, false, &src_file);
    if (e != 0) {
      ReleaseDirectory(old_parent);
      return e;
    }
  }
  // Every reference taken from here on is dropped at the end.
  DirRef* new_parent = nullptr;
  struct Drops {
    CFsVolume* v;
    DirRef** dirs[3];
    FileRef** file;
    ~Drops() {
      for (DirRef** d : dirs) {
        if (*d != nullptr) v->ReleaseDirectory(*d);
      }
      if (*file != nullptr) v->ReleaseFile(*file);
    }
  } drops{this, {&old_parent, &src_dir, &new_parent}, &src_file};

  if (const Win32Error e = ResolveParent(new_path, true, &new_parent); e != 0) return e;
  DirEntryRecord target;
  const bool same_object = platform::EqualNoCase(old_path, new_path);
  const bool exists = new_parent->dir->GetEntry(NamePart(new_path), &target) == 0 &&
                      (!IsTombstone(target) || view) && !same_object;
  if (exists && IsDirectoryRow(target)) return ERROR_ACCESS_DENIED;

  auto relink = [&](DirRef** link) {
    std::lock_guard l(link_mu_);
    DirRef* old = *link;
    new_parent->refs.fetch_add(1);
    *link = new_parent;
    return old;
  };
  if (src_dir != nullptr) {
    // A folder moved below itself would cut its tree off from the root.
    if (new_path.size() > old_path.size() && new_path[old_path.size()] == u'\\' &&
        platform::EqualNoCase(new_path.substr(0, old_path.size()), old_path)) {
      return ERROR_INVALID_PARAMETER;
    }
    CDirectoryDb* into = new_parent->dir->catalog();
    if (const Win32Error e = src_dir->dir->Rename(into, new_path); e != 0) return e;
    TouchDirectory(old_parent);
    if (new_parent != old_parent) TouchDirectory(new_parent);
    ReleaseDirectory(relink(&src_dir->parent));
    return 0;
  }
  if (src_file == nullptr || src_file->object == nullptr) return ERROR_INVALID_PARAMETER;
  if (exists) {
    // The file that held the new name goes without a tombstone.
    RetireIdleStreams(new_parent, target.name);
    FileRef* victim = nullptr;
    new_parent->refs.fetch_add(1);
    if (const Win32Error e = OpenFileRow(target, new_parent, false, &victim); e != 0) return e;
    const uint8_t old = TakeFileForDeletion(victim);
    const Win32Error e = victim->object->file()->Delete(true);
    if (e != 0) {
      GiveFileBack(victim, old);
      ReleaseFile(victim);
      return e;
    }
    if (victim->refs.load() <= 1) {
      evictions_.fetch_sub(1);
      DropDeletedFile(victim);
    } else {
      // Still open elsewhere: it goes when its last holder closes it.
      victim->orphaned = true;
      GiveFileBack(victim, kQueueNone);
      ReleaseFile(victim);
    }
  }
  RetireIdleStreams(old_parent, NamePart(old_path));
  // The writer must not write the file back while its row changes name: a
  // write-back under way would update the row by the old name, which is gone.
  const uint8_t src_state = TakeFileForDeletion(src_file);
  const Win32Error renamed = src_file->object->file()->Rename(new_parent->dir->catalog(), new_path);
  GiveFileBack(src_file, src_state);
  if (renamed != 0) return renamed;
  TouchDirectory(old_parent);
  if (new_parent != old_parent) TouchDirectory(new_parent);
  ReleaseDirectory(relink(&src_file->parent));
  return 0;
}

// ---------------------------------------------------------------------------
// The deleted-entry view

void CFsVolume::AnnounceTombstones(bool added) {
  if (!change_) return;
  std::vector<DirRef*> open;
  {
    storage::ReadGuard g(dir_lock_);
    for (auto& d : dirs_) {
      if (d->open_count.load() >= 1 && !d->closing.load()) {
        d->refs.fetch_add(1);
        open.push_back(d.get());
      }
    }
  }
  std::vector<std::u16string> paths;
  std::vector<uint8_t> buffer(storage::kListingBufferSize);
  for (DirRef* d : open) {
    const std::u16string dir_path = d->dir->FullPath();
    storage::ListingBatch batch;
    for (int64_t index = 0;;) {
      batch = storage::ListingBatch{};
      if (d->dir->ListEntries(u"*", index, buffer.data(), &batch, true) != 0) break;
      size_t at = 0;
      for (uint32_t i = 0; i < batch.count; ++i) {
        DirEntryRecord row;
        size_t consumed = 0;
        if (!storage::DecodeListingRecord(buffer.data() + at, batch.bytes - at, &row, &consumed)) break;
        at += consumed;
        if (IsTombstone(row)) paths.push_back(Join(dir_path, row.name));
      }
      if (batch.end || batch.count == 0) break;
      index = batch.next_index;
    }
    ReleaseDirectory(d);
  }
  for (const std::u16string& p : paths) change_(p, added ? kChangeAdded : kChangeRemoved);
}

bool CFsVolume::SetDeletedView(bool on) {
  if (deleted_view_.load() == on) return true;
  if (on) {
    storage::WriteGuard op(op_lock_);
    {
      storage::ReadGuard g(file_lock_);
      for (auto& f : files_) {
        if (f->refs.load() >= 1) return false;
      }
    }
    deleted_view_ = true;
    settings_.deleted_view = true;
  } else {
    deleted_view_ = false;
    settings_.deleted_view = false;
  }
  AnnounceTombstones(on);
  return true;
}

}  // namespace kelva::volume
