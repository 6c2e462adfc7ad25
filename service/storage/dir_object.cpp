#include "service/storage/dir_object.h"

#include <sqlite3.h>

#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/disc_recorder.h"

namespace kelva::storage {
namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_DISK_FULL;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_HANDLE_EOF;
using platform::ERROR_INVALID_DATA;
using platform::ERROR_INVALID_HANDLE;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_RETRY;
using platform::ERROR_SUCCESS;

void PutLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::u16string_view LastComponent(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

bool IsDeleted(const DirEntryRecord& e) { return (e.type & ENTRY_DELETED) != 0; }

bool HasLog(const DirEntryRecord& e) { return !(e.hdisk == kNoHistoryDisk && e.hfile == kNoHistoryFile); }

// RAII holders of the volume's two catalog locks.
class NamespaceLock {
 public:
  explicit NamespaceLock(volume::IFsVolume* v) : v_(v) { v_->LockCatalogExclusive(); }
  ~NamespaceLock() { v_->UnlockCatalogExclusive(); }
  NamespaceLock(const NamespaceLock&) = delete;
  NamespaceLock& operator=(const NamespaceLock&) = delete;

 private:
  volume::IFsVolume* v_;
};

class EntryLock {
 public:
  explicit EntryLock(volume::IFsVolume* v) : v_(v) { v_->LockCatalog2Shared(); }
  ~EntryLock() { v_->UnlockCatalog2Shared(); }
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;

 private:
  volume::IFsVolume* v_;
};

}  // namespace

// ---- listing records ----

size_t ListingRecordSize(const DirEntryRecord& rec) { return (rec.RecordSize() + 7) & ~size_t{7}; }

void EncodeListingRecord(const DirEntryRecord& rec, uint8_t* out) {
  const size_t size = ListingRecordSize(rec);
  std::memset(out, 0, size);
  out[0] = rec.type;
  out[1] = rec.disk;
  out[2] = rec.hdisk;
  PutLe(out + 4, rec.file, 4);
  PutLe(out + 8, rec.hfile, 4);
  PutLe(out + 12, rec.attr, 4);
  PutLe(out + 16, static_cast<uint64_t>(rec.size), 8);
  PutLe(out + 24, static_cast<uint64_t>(rec.alloc), 8);
  PutLe(out + 32, static_cast<uint64_t>(rec.ctime), 8);
  PutLe(out + 40, static_cast<uint64_t>(rec.atime), 8);
  PutLe(out + 48, static_cast<uint64_t>(rec.mtime), 8);
  for (size_t i = 0; i < rec.name.size(); ++i) PutLe(out + DirEntryRecord::kHeaderSize + 2 * i, rec.name[i], 2);
}

bool DecodeListingRecord(const uint8_t* in, size_t available, DirEntryRecord* rec, size_t* consumed) {
  if (available < DirEntryRecord::kHeaderSize + 2) return false;
  rec->type = in[0];
  rec->disk = in[1];
  rec->hdisk = in[2];
  rec->file = static_cast<uint32_t>(GetLe(in + 4, 4));
  rec->hfile = static_cast<uint32_t>(GetLe(in + 8, 4));
  rec->attr = static_cast<uint32_t>(GetLe(in + 12, 4));
  rec->size = static_cast<int64_t>(GetLe(in + 16, 8));
  rec->alloc = static_cast<int64_t>(GetLe(in + 24, 8));
  rec->ctime = static_cast<int64_t>(GetLe(in + 32, 8));
  rec->atime = static_cast<int64_t>(GetLe(in + 40, 8));
  rec->mtime = static_cast<int64_t>(GetLe(in + 48, 8));
  rec->name.clear();
  for (size_t at = DirEntryRecord::kHeaderSize; at + 2 <= available; at += 2) {
    const char16_t c = static_cast<char16_t>(GetLe(in + at, 2));
    if (c == 0) {
      *consumed = std::min(available, ListingRecordSize(*rec));
      return true;
    }
    rec->name.push_back(c);
  }
  return false;
}

// ---- resume records ----

void DirResumeState::SerializeMain(uint8_t* out) const {
  out[0] = disc;
  PutLe(out + 1, file, 4);
  PutLe(out + 5, parent_reference, 4);
  out[9] = flags;
  PutLe(out + 10, static_cast<uint64_t>(accounted_size), 8);
  out[18] = pending;
}

void DirResumeState::SerializeLog(uint8_t* out) const {
  out[0] = log_flags;
  out[1] = log_disc;
  PutLe(out + 2, log_file, 4);
}

void DirResumeState::ParseMain(const uint8_t* in) {
  disc = in[0];
  file = static_cast<uint32_t>(GetLe(in + 1, 4));
  parent_reference = static_cast<uint32_t>(GetLe(in + 5, 4));
  flags = in[9];
  accounted_size = static_cast<int64_t>(GetLe(in + 10, 8));
  pending = in[18];
}

void DirResumeState::ParseLog(const uint8_t* in) {
  log_flags = in[0];
  log_disc = in[1];
  log_file = static_cast<uint32_t>(GetLe(in + 2, 4));
}

bool WriteDirResumeState(IDataStream& stream, const DirResumeState& state) {
  uint8_t main[DirResumeState::kMainSize];
  uint8_t log[DirResumeState::kLogSize];
  state.SerializeMain(main);
  state.SerializeLog(log);
  std::string entry;
  if (!PackDirEntry(state.entry, &entry)) return false;
  return stream.Write(main, sizeof main) && stream.Write(log, sizeof log) &&
         stream.Write(entry.data(), static_cast<uint32_t>(entry.size()));
}

Win32Error ReadDirResumeState(IDataStream& stream, DirResumeState* out) {
  uint8_t main[DirResumeState::kMainSize];
  uint8_t log[DirResumeState::kLogSize];
  uint8_t header[kPackedDirEntryHeaderSize];
  if (!stream.Read(main, sizeof main) || !stream.Read(log, sizeof log) || !stream.Read(header, sizeof header)) {
    return ERROR_HANDLE_EOF;
  }
  DirResumeState s;
  s.ParseMain(main);
  s.ParseLog(log);
  const uint16_t units = UnpackDirEntryHeader(header, &s.entry);
  std::vector<uint8_t> name(static_cast<size_t>(units) * 2);
  if (!name.empty() && !stream.Read(name.data(), static_cast<uint32_t>(name.size()))) return ERROR_HANDLE_EOF;
  s.entry.name.resize(units);
  for (size_t i = 0; i < units; ++i) s.entry.name[i] = static_cast<char16_t>(GetLe(&name[2 * i], 2));

  const uint8_t known_flags = DirResumeState::kEntryChanged | DirResumeState::kCatalogChanged;
  const uint8_t known_pending = kPendingCreated | kPendingUpdated | kPendingDeleted | kPendingRenamed | kPendingMoved;
  const uint8_t known_log = DirResumeState::kLogOpen | DirResumeState::kLogAppended;
  if ((s.flags & ~known_flags) != 0 || (s.pending & ~known_pending) != 0 || (s.log_flags & ~known_log) != 0 ||
      ((s.log_flags & DirResumeState::kLogAppended) && !(s.log_flags & DirResumeState::kLogOpen)) ||
      s.accounted_size < 0 || (s.entry.type & ENTRY_KIND_MASK) != ENTRY_KIND_DIRECTORY ||
      (s.entry.type & ENTRY_STREAM) != 0 || (s.entry.attr & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (s.parent_reference != 0 && s.entry.name.empty()) || s.entry.name.find(u'\0') != std::u16string::npos) {
    return ERROR_INVALID_DATA;
  }
  *out = std::move(s);
  return ERROR_SUCCESS;
}

// ---- the object ----

CDirObject::CDirObject(volume::IFsVolume* volume) : volume_(volume), log_(volume) {}

CDirObject::~CDirObject() {
  log_.Close();
  CloseCatalog(false);
}

platform::FileTime CDirObject::Now() { return volume_->GetCacheStore()->clock().Now(); }

std::u16string CDirObject::FullPath() const {
  const size_t length = volume_->CatalogPathLength(this);
  if (length == 0) return {};
  std::u16string buffer(length, u'\0');
  const size_t written = volume_->CatalogBuildPath(this, length, buffer.data());
  return buffer.substr(length - std::min(written, length));
}

void CDirObject::OnTombstoneRenamed(void* context, std::u16string_view old_name, std::u16string_view new_name,
                                    uint32_t attributes) {
  // A deleted subdirectory's row moved aside: its structure row follows, so that
  // the tree keeps the tombstone's new name.
  auto* self = static_cast<CDirObject*>(context);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
  self->volume_->CatalogRenameChild(self->disc_, self->file_, old_name, new_name);
}

Win32Error CDirObject::OpenCatalog(uint8_t disc, uint32_t file) {
  if (const Win32Error e = volume_->PinCacheFile(CK_DIR, disc, file, this, true); e != 0) return e;
  std::filesystem::path path;
  auto catalog = std::make_unique<CDirectoryDb>(volume_->GetCacheStore()->clock());
  if (!volume_->GetCacheStore()->CacheFilePath(CK_DIR, disc, file, 0, &path) ||
      catalog->Open(platform::Utf8ToUtf16(path.string())) != SQLITE_OK) {
    volume_->UnpinCacheFile(CK_DIR, disc, file, this, false);
    return ERROR_ACCESS_DENIED;
  }
  catalog->SetRenameCallback(&CDirObject::OnTombstoneRenamed, this);
  catalog_ = std::move(catalog);
  pinned_ = true;
  disc_ = opened_disc_ = disc;
  file_ = opened_file_ = file;
  on_disc_ = true;
  return ERROR_SUCCESS;
}

void CDirObject::CloseCatalog(bool delete_file) {
  if (catalog_) {
    catalog_->Close();
    catalog_.reset();
  }
  if (!pinned_) return;
  if (delete_file) {
    volume_->UnpinAndDeleteCacheFile(CK_DIR, disc_, file_, this);
  } else {
    volume_->UnpinCacheFile(CK_DIR, disc_, file_, this, false);
  }
  pinned_ = false;
}

Win32Error CDirObject::CreateRoot(uint8_t disc) {
  if (catalog_) return ERROR_INVALID_PARAMETER;
  const platform::FileTime now = Now();
  DirEntryRecord entry;
  entry.type = ENTRY_KIND_DIRECTORY;
  entry.attr = FILE_ATTRIBUTE_DIRECTORY;
  entry.ctime = entry.atime = entry.mtime = static_cast<int64_t>(now);
  uint32_t number = volume_->NextFileNumber();
  std::filesystem::path path;
  if (volume_->CreateCacheFile(CK_DIR, disc, &number, this, &path) != 0) return ERROR_ACCESS_DENIED;
  pinned_ = true;
  disc_ = opened_disc_ = disc;
  file_ = opened_file_ = number;
  catalog_ = std::make_unique<CDirectoryDb>(volume_->GetCacheStore()->clock());
  if (catalog_->Create(platform::Utf8ToUtf16(path.string())) != SQLITE_OK) {
    CloseCatalog(true);
    return ERROR_ACCESS_DENIED;
  }
  catalog_->SetRenameCallback(&CDirObject::OnTombstoneRenamed, this);
  entry.disk = disc;
  entry.file = number;
  Win32Error e;
  {
    NamespaceLock ns(volume_);
    e = volume_->CatalogAddEntry(u"", disc, number);
  }
  if (e != 0) {
    CloseCatalog(true);
    return e;
  }
  entry_ = std::move(entry);
  have_entry_ = true;
  parent_ = nullptr;
  entry_changed_ = on_disc_ = false;
  accounted_.store(0);
  return ERROR_SUCCESS;
}

Win32Error CDirObject::Create(CDirectoryDb* parent, std::u16string_view path, uint32_t attributes, int64_t time) {
  if (catalog_) return ERROR_INVALID_PARAMETER;
  if (parent == nullptr) return ERROR_INVALID_PARAMETER;
  const std::u16string_view name = LastComponent(path);
  if (name.empty()) return ERROR_INVALID_PARAMETER;
  DirEntryRecord entry;
  entry.type = ENTRY_KIND_DIRECTORY;
  entry.attr = attributes | FILE_ATTRIBUTE_DIRECTORY;
  entry.ctime = entry.atime = entry.mtime = time;
  entry.name = std::u16string(name);

  if (!volume_->HasRoomFor(0) || !volume_->SyncDirectoryGrowth(parent)) return ERROR_DISK_FULL;

  const uint8_t disc = volume_->GetDiscEngine()->CurrentDisc();
  uint32_t number = volume_->NextFileNumber();
  std::filesystem::path file_path;
  if (volume_->CreateCacheFile(CK_DIR, disc, &number, this, &file_path) != 0) return ERROR_ACCESS_DENIED;
  pinned_ = true;
  disc_ = opened_disc_ = disc;
  file_ = opened_file_ = number;
  catalog_ = std::make_unique<CDirectoryDb>(volume_->GetCacheStore()->clock());
  if (catalog_->Create(platform::Utf8ToUtf16(file_path.string())) != SQLITE_OK) {
    CloseCatalog(true);
    return ERROR_ACCESS_DENIED;
  }
  catalog_->SetRenameCallback(&CDirObject::OnTombstoneRenamed, this);
  entry.disk = disc;
  entry.file = number;

  if (!parent->InsertEntry(entry)) {
    CloseCatalog(true);
    return ERROR_ACCESS_DENIED;
  }
  volume_->SyncDirectoryGrowth(parent);
  Win32Error e;
  {
    NamespaceLock ns(volume_);
    e = volume_->CatalogAddEntry(path, disc, number);
  }
  if (e != 0) {
    parent->DeleteEntry(entry.name, 1);
    volume_->SyncDirectoryGrowth(parent);
    CloseCatalog(true);
    return e;
  }
  entry_ = std::move(entry);
  have_entry_ = true;
  parent_ = parent;
  entry_changed_ = on_disc_ = false;
  accounted_.store(0);
  volume_->SyncDirectoryGrowth(catalog_.get());
  if (CanKeepHistory() && PrepareLog() == ERROR_SUCCESS) {
    pending_.fetch_or(kPendingCreated);
    volume_->MarkDirectoryDirty(this, 1, 0);
  }
  QueueParent();
  return ERROR_SUCCESS;
}

Win32Error CDirObject::Open(const DirEntryRecord& entry, CDirectoryDb* parent, uint8_t disc, uint32_t file) {
  if (catalog_) return ERROR_INVALID_PARAMETER;
  if ((entry.type & ENTRY_KIND_MASK) != ENTRY_KIND_DIRECTORY || (entry.type & ENTRY_STREAM) != 0 ||
      (entry.attr & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (const Win32Error e = OpenCatalog(disc, file); e != 0) return e;
  entry_ = entry;
  have_entry_ = true;
  parent_ = parent;
  return ERROR_SUCCESS;
}

Win32Error CDirObject::OpenByPath(std::u16string_view path, uint8_t disc, uint32_t file) {
  if (catalog_) return ERROR_INVALID_PARAMETER;
  if (const Win32Error e = OpenCatalog(disc, file); e != 0) return e;
  entry_ = DirEntryRecord{};
  entry_.type = ENTRY_KIND_DIRECTORY;
  entry_.attr = FILE_ATTRIBUTE_DIRECTORY;
  entry_.disk = disc;
  entry_.file = file;
  entry_.name = std::u16string(LastComponent(path));
  have_entry_ = true;
  return ERROR_SUCCESS;
}

void CDirObject::AdoptEntry(const DirEntryRecord& row, CDirectoryDb* parent) {
  if (parent_ != nullptr || parent == nullptr || !catalog_) return;
  entry_ = row;
  have_entry_ = true;
  parent_ = parent;
}

Win32Error CDirObject::Close() {
  if (entry_changed_ || pending_.load() != 0) volume_->MarkDirectoryDirty(this, 1, 1);
  log_.Close();
  CloseCatalog(false);
  entry_ = DirEntryRecord{};
  have_entry_ = false;
  return ERROR_SUCCESS;
}

Win32Error CDirObject::GetEntry(std::u16string_view name, DirEntryRecord* out) {
  if (!catalog_) return ERROR_INVALID_HANDLE;
  out->name = std::u16string(name);
  return catalog_->GetEntry(out) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

Win32Error CDirObject::GetInfo(DirEntryRecord* out) {
  if (!have_entry_) return ERROR_INVALID_HANDLE;
  *out = entry_;
  out->disk = opened_disc_;
  out->file = opened_file_;
  if (out->name.size() > CDirectoryDb::kGetEntryNameUnits - 1) out->name.resize(CDirectoryDb::kGetEntryNameUnits - 1);
  return ERROR_SUCCESS;
}

Win32Error CDirObject::SetInfo(uint32_t attributes, const int64_t* ctime, const int64_t* atime,
                               const int64_t* mtime) {
  if (parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  auto given = [](const int64_t* t) { return t != nullptr && *t != -1; };
  // A directory keeps its directory attribute whatever it is given.
  const uint32_t attr = attributes | FILE_ATTRIBUTE_DIRECTORY;
  const bool change = (attributes != 0 && attr != entry_.attr) || (given(ctime) && *ctime != entry_.ctime) ||
                      (given(mtime) && *mtime != entry_.mtime);
  if (!change) {
    QueueParent();
    volume_->SettleCatalogGrowth();
    return ERROR_SUCCESS;
  }
  if (!volume_->HasRoomFor(0)) return ERROR_DISK_FULL;
  if (attributes != 0) entry_.attr = attr;
  if (given(ctime)) entry_.ctime = *ctime;
  if (given(mtime)) entry_.mtime = *mtime;
  if (given(atime)) entry_.atime = *atime;
  entry_changed_ = true;
  volume_->MarkDirectoryDirty(this, 0, 0);
  return ERROR_SUCCESS;
}

bool CDirObject::CanKeepHistory() { return volume_->GetHistoryFlag() != 0; }

Win32Error CDirObject::PrepareLog() {
  if (!volume_->GetDiscEngine()->CanWrite()) return kErrorNotWritable;
  if (log_.IsOpen() || log_prepared_) return ERROR_SUCCESS;
  if (!HasLog(entry_)) {
    saved_disc_ = disc_;
    saved_file_ = file_;
    saved_ctime_ = entry_.ctime;
    saved_path_ = FullPath();
    log_prepared_ = true;
  }
  return ERROR_SUCCESS;
}

void CDirObject::QueueParent() {
  if (parent_ != nullptr) volume_->SettleDirectoryGrowth(parent_);
}

void CDirObject::ReleaseAccounted() {
  const int64_t old = accounted_.exchange(0);
  if (old != 0) volume_->AddMetadataBytes(-old);
}

Win32Error CDirObject::Delete() {
  if (parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  if (!parent_->DeleteEntry(entry_.name, 0)) return ERROR_ACCESS_DENIED;
  entry_.type |= ENTRY_DELETED;
  deleted_at_ = Now();
  volume_->SyncDirectoryGrowth(parent_);
  {
    NamespaceLock ns(volume_);
    volume_->CatalogDeleteEntry(disc_, file_);
  }
  if (CanKeepHistory() && PrepareLog() == ERROR_SUCCESS) {
    pending_.fetch_or(kPendingDeleted);
    Flush(true);
  } else {
    QueueParent();
  }
  return ERROR_SUCCESS;
}

Win32Error CDirObject::Rename(CDirectoryDb* target, std::u16string_view new_path) {
  if (parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  if (target == nullptr) target = parent_;
  if (!volume_->HasRoomFor(0) || !volume_->SyncDirectoryGrowth(parent_) ||
      (target != parent_ && !volume_->SyncDirectoryGrowth(target))) {
    return ERROR_DISK_FULL;
  }
  const std::u16string_view name = LastComponent(new_path);
  if (name.empty()) return ERROR_INVALID_PARAMETER;
  DirEntryRecord moved = entry_;
  moved.name = std::u16string(name);
  uint8_t bit;
  if (target == parent_) {
    if (!parent_->RenameEntry(entry_.name, moved.name)) return ERROR_ACCESS_DENIED;
    {
      NamespaceLock ns(volume_);
      volume_->CatalogRenameEntry(disc_, file_, moved.name);
    }
    renamed_at_ = Now();
    bit = kPendingRenamed;
  } else {
    if (!target->InsertEntry(moved)) return ERROR_NOT_ENOUGH_MEMORY;
    // The directory's named streams go along under the new name.
    std::vector<DirEntryRecord> streams;
    DirEntryRecord row;
    for (int more = parent_->EnumStreams(&entry_.name, 0, &row); more; more = parent_->EnumStreams(nullptr, 0, &row)) {
      streams.push_back(row);
    }
    bool ok = true;
    for (DirEntryRecord& s : streams) {
      s.name = moved.name + s.name;  // the stream's name runs from the colon on
      if (!target->InsertEntry(s)) {
        ok = false;
        break;
      }
    }
    if (ok) ok = parent_->DeleteEntry(entry_.name, 1) != 0;
    if (!ok) {
      target->DeleteEntry(moved.name, 1);  // the copies go again; the old rows stay
      return ERROR_ACCESS_DENIED;
    }
    {
      NamespaceLock ns(volume_);
      volume_->CatalogMoveEntry(disc_, file_, new_path);
    }
    volume_->SyncDirectoryGrowth(target);
    QueueParent();
    moved_at_ = Now();
    bit = kPendingMoved;
  }
  if (CanKeepHistory() && PrepareLog() == ERROR_SUCCESS) pending_.fetch_or(bit);
  entry_ = std::move(moved);
  parent_ = target;
  volume_->SyncDirectoryGrowth(parent_);
  if (pending_.load() & (kPendingRenamed | kPendingMoved)) {
    volume_->MarkDirectoryDirty(this, 1, 0);
  } else {
    QueueParent();
  }
  return ERROR_SUCCESS;
}

Win32Error CDirObject::CanDelete(int flag, int* answer) {
  if (parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (flag) return platform::ERROR_WRITE_PROTECT;
  if (IsDeleted(entry_)) return ERROR_SUCCESS;
  *answer = volume_->HasRoomFor(0) && volume_->SyncDirectoryGrowth(parent_) ? 1 : 0;
  return ERROR_SUCCESS;
}

Win32Error CDirObject::ListEntries(std::u16string_view pattern, int64_t start_index, uint8_t* buffer,
                                   ListingBatch* batch, bool include_deleted) {
  return ListRows(false, pattern, start_index, buffer, batch, include_deleted);
}

Win32Error CDirObject::ListStreams(std::u16string_view file_name, int64_t start_index, uint8_t* buffer,
                                   ListingBatch* batch, bool include_deleted) {
  return ListRows(true, file_name, start_index, buffer, batch, include_deleted);
}

Win32Error CDirObject::ListRows(bool streams, std::u16string_view pattern_or_file, int64_t start_index,
                                uint8_t* buffer, ListingBatch* batch, bool include_deleted) {
  if (!catalog_) return ERROR_INVALID_HANDLE;
  if (start_index < 0) return ERROR_INVALID_PARAMETER;
  *batch = ListingBatch{};
  const std::u16string file_name(streams ? pattern_or_file : std::u16string_view());
  const bool all = !streams && pattern_or_file == u"*";
  DirEntryRecord rec;
  auto next = [&](bool first) {
    if (streams) return catalog_->EnumStreams(first ? &file_name : nullptr, start_index, &rec);
    return catalog_->EnumEntries(first ? 1 : 0, start_index, &rec);
  };
  int64_t index = start_index;
  size_t used = 0;
  for (int more = next(true);; more = next(false)) {
    if (!more) {
      batch->end = true;  // the enumeration ended and released the catalog
      break;
    }
    const bool keep = !rec.name.empty() && (include_deleted || !IsDeleted(rec)) &&
                      (streams || all || platform::WildcardMatch(pattern_or_file, rec.name));
    if (keep) {
      const size_t size = ListingRecordSize(rec);
      if (size > kListingBufferSize - used) {
        // A long stream name that does not fit starts the next batch.
        catalog_->EndEnumeration();
        break;
      }
      EncodeListingRecord(rec, buffer + used);
      used += size;
      ++batch->count;
    }
    ++index;
    if (kListingBufferSize - used < kListingStopBytes) {
      catalog_->EndEnumeration();
      break;
    }
  }
  batch->next_index = index;
  batch->bytes = used;
  return ERROR_SUCCESS;
}

Win32Error CDirObject::RecordCatalog() {
  CCacheStore* store = volume_->GetCacheStore();
  IDiscRecorder* engine = volume_->GetDiscEngine();
  const std::filesystem::path source(platform::Utf16ToUtf8(catalog_->Path()));
  for (;;) {
    std::filesystem::path temp;
    if (const Win32Error e = store->NewTempCatalogName(&temp); e != 0) return e;
    if (catalog_->CheckpointAndLock() != SQLITE_OK) {
      store->DeleteNamedFile(temp.filename().string());
      return ERROR_ACCESS_DENIED;
    }
    // Marked as being recorded before the copy is taken, so that a change made
    // while the copy travels to the disc sets the state back to 1 and is not lost.
    catalog_->SetChangeState(2);
    Win32Error e = platform::CopyFile(source, temp, false);
    catalog_->Unlock();
    uint8_t new_disc = 0;
    uint32_t new_file = 0;
    if (e == 0) e = engine->RecordCacheFile(CK_DIR, disc_, file_, on_disc_, &temp, &new_disc, &new_file);
    store->DeleteNamedFile(temp.filename().string());
    if (e != 0) {
      if (catalog_->ChangeState() == 2) catalog_->SetChangeState(1);
      if (e != ERROR_DISK_FULL) return e;
      const uint8_t current = engine->CurrentDisc();
      if (current >= kNoHistoryDisk - 1 || !engine->ChangeDisc(static_cast<uint8_t>(current + 1))) return e;
      continue;
    }
    ReleaseAccounted();
    on_disc_ = true;
    if (new_disc == disc_ && new_file == file_) return ERROR_SUCCESS;
    NamespaceLock ns(volume_);
    e = volume_->RenameCacheFile(CK_DIR, disc_, file_, new_disc, new_file, this);
    if (e == 0) {
      e = volume_->CatalogRelocate(disc_, file_, new_disc, new_file);
      // The cache map goes back, so that map and tree keep naming the same file.
      if (e != 0) volume_->RenameCacheFile(CK_DIR, new_disc, new_file, disc_, file_, this);
    }
    if (e != 0) {
      // The copy on the disc cannot be found under the old identity: record again.
      if (catalog_->ChangeState() == 2) catalog_->SetChangeState(1);
      return e;
    }
    disc_ = new_disc;
    file_ = new_file;
    entry_.disk = new_disc;
    entry_.file = new_file;
    entry_changed_ = parent_ != nullptr;
    return ERROR_SUCCESS;
  }
}

Win32Error CDirObject::WriteHistory() {
  const uint32_t dir_file = file_ | kHistoryDirectoryBit;
  bool started = false;
  if (log_prepared_) {
    if (const Win32Error e = log_.Start(); e != 0) return e;
    log_prepared_ = false;
    started = true;
    entry_.hdisk = log_.disc();
    entry_.hfile = log_.file();
    entry_changed_ = parent_ != nullptr;
    if (const Win32Error e = log_.AppendCreated(static_cast<platform::FileTime>(saved_ctime_), saved_disc_,
                                                saved_file_ | kHistoryDirectoryBit, 0, 0, saved_path_);
        e != 0) {
      return e;
    }
    pending_.fetch_and(static_cast<uint8_t>(~kPendingCreated));
  }
  if (!log_.IsOpen() && pending_.load() != 0 && HasLog(entry_)) {
    if (const Win32Error e = log_.Open(entry_.hdisk, entry_.hfile); e != 0) return e;
  }
  if (!log_.IsOpen()) return ERROR_SUCCESS;
  const platform::FileTime now = Now();
  auto when = [now](platform::FileTime t) { return t != 0 ? t : now; };
  const uint8_t order[] = {kPendingCreated, kPendingUpdated, kPendingRenamed, kPendingMoved, kPendingDeleted};
  for (uint8_t bit : order) {
    if ((pending_.load() & bit) == 0) continue;
    Win32Error e = ERROR_SUCCESS;
    switch (bit) {
      case kPendingCreated:
        if (!started) {
          e = log_.AppendCreated(static_cast<platform::FileTime>(entry_.ctime), disc_, dir_file, 0, 0, FullPath());
        }
        break;
      case kPendingUpdated:
        e = log_.AppendUpdated(static_cast<platform::FileTime>(entry_.mtime), disc_, dir_file, 0, 0);
        break;
      case kPendingRenamed:
        e = log_.AppendRenamed(when(renamed_at_), entry_.name);
        break;
      case kPendingMoved:
        e = log_.AppendMoved(when(moved_at_), FullPath());
        break;
      case kPendingDeleted:
        e = log_.AppendDeleted(when(deleted_at_));
        break;
    }
    if (e != 0) return e;
    pending_.fetch_and(static_cast<uint8_t>(~bit));
  }
  uint8_t disc = 0;
  uint32_t file = 0;
  if (const Win32Error e = log_.Seal(&disc, &file); e != 0) return e;
  if (disc != entry_.hdisk || file != entry_.hfile) {
    entry_.hdisk = disc;
    entry_.hfile = file;
    entry_changed_ = parent_ != nullptr;
  }
  return ERROR_SUCCESS;
}

Win32Error CDirObject::Flush(bool force) {
  if (!catalog_) return ERROR_INVALID_HANDLE;
  Win32Error result = ERROR_SUCCESS;
  if (force || pending_.load() != 0) {
    bool attempted = false;
    if (catalog_->ChangeState() == 1) {
      attempted = true;
      result = RecordCatalog();
    } else {
      ReleaseAccounted();
    }
    if (result == ERROR_SUCCESS) result = WriteHistory();
    if (attempted && result != kErrorVolumeClosing && result != ERROR_RETRY) {
      const std::u16string path = FullPath();
      std::string message = {'\xFF', static_cast<char>(result == 0 ? kNotifyDirectoryRecorded : kNotifyDirectoryFailed),
                             '\0'};
      for (char16_t c : path) {
        message.push_back(static_cast<char>(c & 0xFF));
        message.push_back(static_cast<char>(c >> 8));
      }
      volume_->Notify(reinterpret_cast<const uint8_t*>(message.data()), message.size());
    }
  } else {
    result = ERROR_RETRY;
  }
  if (entry_changed_ && parent_ != nullptr) {
    bool updated;
    {
      EntryLock entries(volume_);
      updated = parent_->UpdateEntry(entry_) != 0;
    }
    if (updated) {
      entry_changed_ = false;
      QueueParent();
    }
  }
  return result;
}

Win32Error CDirObject::History(std::u16string_view target, const CHistoryLog::ReplyHeaderSender& reply,
                               const std::filesystem::path& run_dir) {
  if (!log_.IsOpen()) {
    if (!HasLog(entry_)) return ERROR_FILE_NOT_FOUND;
    if (const Win32Error e = log_.Open(entry_.hdisk, entry_.hfile); e != 0) return e;
  }
  return log_.Export(target, reply, run_dir);
}

Win32Error CDirObject::SaveState(IDataStream& stream) {
  if (!catalog_) return ERROR_INVALID_HANDLE;
  DirResumeState s;
  s.disc = disc_;
  s.file = file_;
  s.parent_reference = volume_->ReferenceOfCatalog(parent_);
  s.flags = (entry_changed_ ? DirResumeState::kEntryChanged : 0) |
            (catalog_->ChangeState() == 1 ? DirResumeState::kCatalogChanged : 0);
  s.accounted_size = accounted_.load();
  s.pending = pending_.load();
  if (log_.IsOpen()) {
    s.log_flags = DirResumeState::kLogOpen |
                  (log_.state() == CHistoryLog::kStateAppended ? DirResumeState::kLogAppended : 0);
    s.log_disc = log_.disc();
    s.log_file = log_.file();
  }
  s.entry = entry_;
  return WriteDirResumeState(stream, s) ? ERROR_SUCCESS : platform::ERROR_WRITE_FAULT;
}

Win32Error CDirObject::LoadState(IDataStream& stream) {
  if (catalog_) return ERROR_INVALID_PARAMETER;
  DirResumeState s;
  if (const Win32Error e = ReadDirResumeState(stream, &s); e != 0) return e;
  CDirectoryDb* parent = nullptr;
  if (s.parent_reference != 0) {
    parent = volume_->CatalogOfReference(s.parent_reference);
    if (parent == nullptr) return ERROR_INVALID_DATA;
  }
  if (const Win32Error e = OpenCatalog(s.disc, s.file); e != 0) return e;
  if (s.log_flags & DirResumeState::kLogOpen) {
    if (const Win32Error e = log_.Open(s.log_disc, s.log_file); e != 0) {
      CloseCatalog(false);
      return e;
    }
    if (s.log_flags & DirResumeState::kLogAppended) log_.set_state(CHistoryLog::kStateAppended);
  }
  entry_ = std::move(s.entry);
  have_entry_ = true;
  parent_ = parent;
  entry_changed_ = (s.flags & DirResumeState::kEntryChanged) != 0;
  if (s.flags & DirResumeState::kCatalogChanged) catalog_->SetChangeState(1);
  accounted_.store(s.accounted_size);
  pending_.store(s.pending);
  // A log that was only prepared when the state was saved is prepared again, so
  // that the pending records are not lost.
  if (s.pending != 0 && !log_.IsOpen() && !HasLog(entry_) && CanKeepHistory()) PrepareLog();
  return ERROR_SUCCESS;
}

}  // namespace kelva::storage
