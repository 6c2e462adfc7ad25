#include "service/volume/volume_events.h"

#include <algorithm>

#include "platform/fshost/file_managers.h"
#include "platform/fshost/fs_storage.h"
#include "platform/text.h"
#include "service/storage/catalog_db.h"
#include "service/storage/dir_object.h"
#include "service/storage/file_object.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {

using platform::FsContext;
using platform::FsFileInfo;

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr Win32Error kErrorCannotMake = 82;
constexpr Win32Error kErrorAlreadyExists = 183;
// Streams are read and written in pieces of this size.
constexpr uint32_t kStreamChunk = 65536;

EntryRef* Ref(FsContext context) { return static_cast<EntryRef*>(context); }

FsFileInfo InfoOf(const EntryInfo& e) {
  FsFileInfo info;
  info.attributes = e.attributes;
  info.size = static_cast<uint64_t>(std::max<int64_t>(e.end_of_file, 0));
  info.allocation = static_cast<uint64_t>(std::max<int64_t>(e.allocation, 0));
  info.creation = e.creation_time;
  info.access = e.access_time;
  info.write = e.write_time;
  info.change = e.write_time;
  info.deleted = (e.attributes & kAttributeDeletedEntry) != 0;
  return info;
}

FsFileInfo InfoOf(const storage::DirEntryRecord& r, int64_t end_of_file) {
  EntryInfo e;
  e.exists = true;
  e.attributes = r.attr;
  e.end_of_file = end_of_file;
  e.allocation = std::max(r.alloc, end_of_file);
  e.creation_time = r.ctime;
  e.access_time = r.atime;
  e.write_time = r.mtime;
  return InfoOf(e);
}

// "path:name", the volume's name of a named stream.
std::u16string StreamPath(std::u16string_view path, std::u16string_view name) {
  std::u16string out(path);
  out += u':';
  out += name;
  return out;
}

}  // namespace

Win32Error CVolumeEvents::CreateErrorFor(Win32Error code, std::string_view image_path) const {
  if (code == platform::ERROR_DISK_FULL && platform::IsFileManagerImage(image_path, file_managers_)) {
    return kErrorCannotMake;
  }
  return code;
}

Win32Error CVolumeEvents::OnCreateFile(std::u16string_view path, uint32_t attributes, FsContext* context) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* ref = nullptr;
  Win32Error e = b.volume()->CreateEntry(path, attributes & ~platform::FILE_ATTRIBUTE_DIRECTORY, &ref);
  if (e == kErrorAlreadyExists) e = platform::ERROR_FILE_EXISTS;
  if (e == platform::ERROR_DISK_FULL) e = CreateErrorFor(e, platform::FsStorage::RequesterImagePath());
  if (e == 0) *context = ref;
  return e;
}

Win32Error CVolumeEvents::OnCreateDirectory(std::u16string_view path) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* ref = nullptr;
  Win32Error e = b.volume()->CreateEntry(path, platform::FILE_ATTRIBUTE_DIRECTORY, &ref);
  if (e == kErrorAlreadyExists) e = platform::ERROR_FILE_EXISTS;
  if (e == platform::ERROR_DISK_FULL) e = CreateErrorFor(e, platform::FsStorage::RequesterImagePath());
  if (e == 0) b.volume()->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnOpenFile(std::u16string_view path, bool write, FsContext* context) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* ref = nullptr;
  const uint32_t access = write ? (kGenericRead | kGenericWrite) : kGenericRead;
  const Win32Error e = b.volume()->OpenEntry(path, access, 0, &ref);
  if (e == 0) *context = ref;
  return e;
}

Win32Error CVolumeEvents::OnOpenDirectory(std::u16string_view path, FsContext* context) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* ref = nullptr;
  const Win32Error e = b.volume()->OpenEntry(path, kGenericRead, platform::FILE_ATTRIBUTE_DIRECTORY, &ref);
  if (e == 0) *context = ref;
  return e;
}

void CVolumeEvents::OnCloseFile(FsContext context) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() != nullptr && context != nullptr) b.volume()->CloseEntry(Ref(context));
}

void CVolumeEvents::OnCloseDirectory(FsContext context) { OnCloseFile(context); }

Win32Error CVolumeEvents::OnGetFileInfo(std::u16string_view path, FsContext context, FsFileInfo* info) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  if (path.empty() && context != nullptr) {
    // An open file or folder named by its context alone (it may have been
    // renamed or deleted since it was opened).
    EntryRef* ref = Ref(context);
    if (ref->kind == kRefFile) {
      auto* file = static_cast<FileRef*>(ref);
      if (file->object == nullptr) return platform::ERROR_INVALID_PARAMETER;
      const storage::CFileObject* object = file->object->file();
      *info = InfoOf(object->entry(), object->end_of_file());
      return 0;
    }
    storage::DirEntryRecord record;
    const Win32Error e = static_cast<DirRef*>(ref)->dir->GetInfo(&record);
    if (e == 0) *info = InfoOf(record, 0);
    info->attributes |= platform::FILE_ATTRIBUTE_DIRECTORY;
    return e;
  }
  EntryInfo e;
  const Win32Error err = b.volume()->GetEntryInfo(path, &e);
  if (err != 0) return err;
  if (!e.exists) return platform::ERROR_FILE_NOT_FOUND;
  *info = InfoOf(e);
  return 0;
}

Win32Error CVolumeEvents::OnEnumerateDirectory(std::u16string_view path, FsContext context,
                                               const std::function<bool(const platform::FsDirEntry&)>& add) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* dir = Ref(context);
  EntryRef* opened = nullptr;
  if (dir == nullptr) {
    const Win32Error e = volume->OpenEntry(path, kGenericRead, platform::FILE_ATTRIBUTE_DIRECTORY, &opened);
    if (e != 0) return e;
    dir = opened;
  }
  std::unique_ptr<CEntryListing> listing;
  Win32Error e = 0;
  bool restart = true;
  for (;;) {
    bool found = false;
    ListedEntry entry;
    e = volume->EnumerateEntries(dir, u"*", restart, &listing, &found, &entry);
    restart = false;
    if (e != 0 || !found) break;
    platform::FsDirEntry out;
    out.name = std::move(entry.name);
    out.info = InfoOf(entry.info);
    if (!add(out)) break;
  }
  if (opened != nullptr) volume->CloseEntry(opened);
  return e;
}

Win32Error CVolumeEvents::OnReadFile(FsContext context, uint64_t offset, void* buffer, size_t length,
                                     size_t* done) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  uint32_t n = 0;
  const Win32Error e = b.volume()->ReadEntry(Ref(context), static_cast<int64_t>(offset),
                                             static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX)), buffer, &n);
  *done = n;
  return e;
}

Win32Error CVolumeEvents::OnWriteFile(FsContext context, uint64_t offset, const void* data, size_t length,
                                      size_t* done) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  uint32_t n = 0;
  const Win32Error e = b.volume()->WriteEntry(Ref(context), static_cast<int64_t>(offset),
                                              static_cast<uint32_t>(std::min<size_t>(length, UINT32_MAX)), data, &n);
  *done = n;
  return e;
}

Win32Error CVolumeEvents::OnSetEndOfFile(std::u16string_view path, FsContext context, uint64_t size) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  if (context != nullptr) return volume->SetEntryEnd(Ref(context), static_cast<int64_t>(size));
  EntryRef* ref = nullptr;
  Win32Error e = volume->OpenEntry(path, kGenericRead | kGenericWrite, 0, &ref);
  if (e != 0) return e;
  e = volume->SetEntryEnd(ref, static_cast<int64_t>(size));
  volume->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnSetAllocationSize(FsContext context, uint64_t size) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  return b.volume()->SetEntryAllocation(Ref(context), static_cast<int64_t>(size));
}

Win32Error CVolumeEvents::OnSetTimes(std::u16string_view path, FsContext context, const platform::FsTimes& times) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  if (context != nullptr) return volume->SetEntryInfo(Ref(context), times.creation, times.access, times.write, 0);
  EntryInfo info;
  Win32Error e = volume->GetEntryInfo(path, &info);
  if (e != 0) return e;
  if (!info.exists) return platform::ERROR_FILE_NOT_FOUND;
  EntryRef* ref = nullptr;
  e = volume->OpenEntry(path, kGenericRead, info.attributes & platform::FILE_ATTRIBUTE_DIRECTORY, &ref);
  if (e != 0) return e;
  e = volume->SetEntryInfo(ref, times.creation, times.access, times.write, 0);
  volume->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnSetAttributes(std::u16string_view path, uint32_t attributes) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  EntryInfo info;
  Win32Error e = volume->GetEntryInfo(path, &info);
  if (e != 0) return e;
  if (!info.exists) return platform::ERROR_FILE_NOT_FOUND;
  const uint32_t dir = info.attributes & platform::FILE_ATTRIBUTE_DIRECTORY;
  EntryRef* ref = nullptr;
  e = volume->OpenEntry(path, kGenericRead, dir, &ref);
  if (e != 0) return e;
  // A folder keeps its folder bit; nothing left at all is stored as "normal".
  uint32_t wanted = (attributes & ~platform::FILE_ATTRIBUTE_DIRECTORY) | dir;
  if (wanted == 0) wanted = platform::FILE_ATTRIBUTE_NORMAL;
  e = volume->SetEntryInfo(ref, 0, 0, 0, wanted);
  volume->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnDeleteFile(std::u16string_view path) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  return b.volume()->DeleteEntry(path);
}

Win32Error CVolumeEvents::OnDeleteDirectory(std::u16string_view path) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  bool empty = false;
  const Win32Error e = volume->IsDirectoryEmpty(path, nullptr, &empty);
  if (e != 0) return e;
  if (!empty) return platform::ERROR_DIR_NOT_EMPTY;
  return volume->DeleteEntry(path);
}

Win32Error CVolumeEvents::OnRename(std::u16string_view old_path, std::u16string_view new_path, bool replace) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  if (!replace) {
    EntryInfo target;
    const Win32Error e = volume->GetEntryInfo(new_path, &target);
    if (e != 0) return e;
    // A name that differs only in letter case is the entry itself.
    if (target.exists && !platform::EqualNoCase(old_path, new_path)) return platform::ERROR_ALREADY_EXISTS;
  }
  return volume->RenameEntry(old_path, new_path);
}

Win32Error CVolumeEvents::OnGetVolumeSize(uint64_t* total_bytes, uint64_t* free_bytes) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  uint64_t total = 0, free_sectors = 0;
  const Win32Error e = b.volume()->GetVolumeSize(&total, &free_sectors);
  if (e != 0) return e;
  *total_bytes = total * 512;
  *free_bytes = free_sectors * 512;
  return 0;
}

// Every close of a descriptor flushes; what was written is in the volume
// already, and making it durable is fsync's work (the host's "flush buffers"
// event is fsync here), so a close costs no disk flush. The file's state goes
// into the journal here rather than at the release, which the kernel sends
// after close() has returned: a kill in between must not lose the file.
Win32Error CVolumeEvents::OnFlushFile(FsContext context) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  b.volume()->SettleEntry(Ref(context));
  return 0;
}

Win32Error CVolumeEvents::OnSyncFile(FsContext context, bool) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  if (context == nullptr || Ref(context)->kind != kRefFile) return 0;
  return b.volume()->FlushEntry(Ref(context));
}

// A folder's entries live in the catalogs: syncing it makes every catalog
// change made so far durable.
Win32Error CVolumeEvents::OnSyncDirectory(FsContext) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  const bool synced = storage::CCatalogDb::SyncPendingCommits() == 0 && b.volume()->SyncJournal();
  return synced ? Win32Error{0} : Win32Error{platform::ERROR_WRITE_FAULT};
}

Win32Error CVolumeEvents::OnEnumerateStreams(std::u16string_view path, std::vector<std::u16string>* names) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  EntryInfo info;
  Win32Error e = volume->GetEntryInfo(path, &info);
  if (e != 0) return e;
  if (!info.exists) return platform::ERROR_FILE_NOT_FOUND;
  EntryRef* ref = nullptr;
  e = volume->OpenEntry(path, kGenericRead, info.attributes & platform::FILE_ATTRIBUTE_DIRECTORY, &ref);
  if (e != 0) return e;
  std::unique_ptr<CEntryListing> listing;
  for (;;) {
    bool found = false;
    ListedStream stream;
    e = volume->EnumerateStreams(ref, &listing, &found, &stream);
    if (e != 0 || !found) break;
    // ":NAME:$DATA" or "NAME:$DATA"; the unnamed main stream is no attribute.
    std::u16string_view name = stream.name;
    if (!name.empty() && name.front() == u':') name.remove_prefix(1);
    const size_t colon = name.find(u':');
    if (colon != std::u16string_view::npos) name = name.substr(0, colon);
    if (!name.empty()) names->emplace_back(name);
  }
  volume->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnReadStream(std::u16string_view path, std::u16string_view name, std::string* data) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  EntryRef* ref = nullptr;
  Win32Error e = volume->OpenEntry(StreamPath(path, name), kGenericRead, 0, &ref);
  if (e != 0) return e;
  data->clear();
  for (;;) {
    const size_t at = data->size();
    data->resize(at + kStreamChunk);
    uint32_t n = 0;
    e = volume->ReadEntry(ref, static_cast<int64_t>(at), kStreamChunk, data->data() + at, &n);
    data->resize(at + n);
    if (e == platform::ERROR_HANDLE_EOF) e = 0;
    if (e != 0 || n == 0) break;
  }
  volume->CloseEntry(ref);
  return e;
}

Win32Error CVolumeEvents::OnWriteStream(std::u16string_view path, std::u16string_view name, std::string_view data,
                                        bool create_only, bool replace_only) {
  VolumeSlot::Borrow b(*slot_);
  CFsVolume* volume = b.volume();
  if (volume == nullptr) return platform::ERROR_NOT_READY;
  const std::u16string stream = StreamPath(path, name);
  EntryInfo info;
  Win32Error e = volume->GetEntryInfo(stream, &info);
  if (e != 0) return e;
  if (info.exists && create_only) return platform::ERROR_ALREADY_EXISTS;
  if (!info.exists && replace_only) return platform::ERROR_FILE_NOT_FOUND;
  EntryRef* ref = nullptr;
  e = info.exists ? volume->OpenEntry(stream, kGenericRead | kGenericWrite, 0, &ref)
                  : volume->CreateEntry(stream, 0, &ref);
  if (e == kErrorAlreadyExists) e = platform::ERROR_ALREADY_EXISTS;
  if (e != 0) return e;
  e = volume->SetEntryEnd(ref, 0);
  size_t at = 0;
  while (e == 0 && at < data.size()) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(data.size() - at, kStreamChunk));
    uint32_t n = 0;
    e = volume->WriteEntry(ref, static_cast<int64_t>(at), chunk, data.data() + at, &n);
    if (e == 0 && n == 0) e = platform::ERROR_WRITE_FAULT;
    at += n;
  }
  const Win32Error closed = volume->CloseEntry(ref);
  return e != 0 ? e : closed;
}

Win32Error CVolumeEvents::OnDeleteStream(std::u16string_view path, std::u16string_view name) {
  VolumeSlot::Borrow b(*slot_);
  if (b.volume() == nullptr) return platform::ERROR_NOT_READY;
  return b.volume()->DeleteEntry(StreamPath(path, name));
}

void CVolumeEvents::OnStorageEjected() {
  if (on_ejected_) on_ejected_();
}

}  // namespace kelva::volume
