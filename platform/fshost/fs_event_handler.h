// The events of a mounted storage, in the system's own terms. The host turns
// every request on the mount into one call of an IFsEventHandler: paths are
// UTF-16 with "\" as separator and "\" for the root, times are FILETIMEs,
// attributes are FILE_ATTRIBUTE_* bits, and every call returns 0 or a Win32
// error (translated into the request's errno by the host).
//
// Calls arrive on the host's threads, several at once; implementations are
// thread safe. The per-open context (the value an Open/Create call stores in
// *context) is handed back unchanged to every call on that open file or
// folder until its Release. Requests on an open file or folder carry only its
// context: their path argument is then empty.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"

namespace kelva::platform {

enum : uint32_t {
  FILE_ATTRIBUTE_READONLY = 0x1,
  FILE_ATTRIBUTE_HIDDEN = 0x2,
  FILE_ATTRIBUTE_SYSTEM = 0x4,
  FILE_ATTRIBUTE_DIRECTORY = 0x10,
  FILE_ATTRIBUTE_ARCHIVE = 0x20,
  FILE_ATTRIBUTE_NORMAL = 0x80,
  FILE_ATTRIBUTE_OFFLINE = 0x1000,
};

// What getattr and readdir report of one file or folder.
struct FsFileInfo {
  uint32_t attributes = 0;  // FILE_ATTRIBUTE_DIRECTORY marks a folder
  uint64_t size = 0;
  uint64_t allocation = 0;
  FileTime creation = 0;
  FileTime access = 0;
  FileTime write = 0;
  FileTime change = 0;
  bool deleted = false;  // an entry of the deleted view
};

struct FsDirEntry {
  std::u16string name;
  FsFileInfo info;
};

// Times to set; 0 leaves a time as it is.
struct FsTimes {
  FileTime creation = 0;
  FileTime access = 0;
  FileTime write = 0;
};

using FsContext = void*;

class IFsEventHandler {
 public:
  virtual ~IFsEventHandler() = default;

  // create: makes a new file (ERROR_FILE_EXISTS when the name is taken) and
  // opens it for writing.
  virtual Win32Error OnCreateFile(std::u16string_view path, uint32_t attributes, FsContext* context) = 0;
  // mkdir.
  virtual Win32Error OnCreateDirectory(std::u16string_view path) = 0;
  // open / opendir.
  virtual Win32Error OnOpenFile(std::u16string_view path, bool write, FsContext* context) = 0;
  virtual Win32Error OnOpenDirectory(std::u16string_view path, FsContext* context) = 0;
  // release / releasedir: the last call for the context.
  virtual void OnCloseFile(FsContext context) = 0;
  virtual void OnCloseDirectory(FsContext context) = 0;
  // getattr; context is the open context when the request names an open file, else null.
  virtual Win32Error OnGetFileInfo(std::u16string_view path, FsContext context, FsFileInfo* info) = 0;
  // readdir: calls add for every entry (without "." and ".."); stops early when add returns false.
  virtual Win32Error OnEnumerateDirectory(std::u16string_view path, FsContext context,
                                          const std::function<bool(const FsDirEntry&)>& add) = 0;
  virtual Win32Error OnReadFile(FsContext context, uint64_t offset, void* buffer, size_t length,
                                size_t* done) = 0;
  virtual Win32Error OnWriteFile(FsContext context, uint64_t offset, const void* data, size_t length,
                                 size_t* done) = 0;
  // truncate (context null when the file is not open).
  virtual Win32Error OnSetEndOfFile(std::u16string_view path, FsContext context, uint64_t size) = 0;
  // fallocate without flags: reserves room up to size.
  virtual Win32Error OnSetAllocationSize(FsContext context, uint64_t size) = 0;
  // utimens and chmod (through the read-only attribute).
  virtual Win32Error OnSetTimes(std::u16string_view path, FsContext context, const FsTimes& times) = 0;
  virtual Win32Error OnSetAttributes(std::u16string_view path, uint32_t attributes) = 0;
  // unlink / rmdir.
  virtual Win32Error OnDeleteFile(std::u16string_view path) = 0;
  virtual Win32Error OnDeleteDirectory(std::u16string_view path) = 0;
  // rename; replace false means the new name must not exist (ERROR_ALREADY_EXISTS).
  virtual Win32Error OnRename(std::u16string_view old_path, std::u16string_view new_path, bool replace) = 0;
  // statfs.
  virtual Win32Error OnGetVolumeSize(uint64_t* total_bytes, uint64_t* free_bytes) = 0;
  // flush (every close of a descriptor), fsync, fsyncdir.
  virtual Win32Error OnFlushFile(FsContext context) = 0;
  virtual Win32Error OnSyncFile(FsContext context, bool data_only) = 0;
  virtual Win32Error OnSyncDirectory(FsContext context) = 0;
  // Named streams of a file or folder (extended attributes "user.NAME").
  virtual Win32Error OnEnumerateStreams(std::u16string_view path, std::vector<std::u16string>* names) = 0;
  // ERROR_FILE_NOT_FOUND when the stream does not exist.
  virtual Win32Error OnReadStream(std::u16string_view path, std::u16string_view name, std::string* data) = 0;
  // create_only: ERROR_ALREADY_EXISTS when it exists; replace_only: ERROR_FILE_NOT_FOUND when it does not.
  virtual Win32Error OnWriteStream(std::u16string_view path, std::u16string_view name, std::string_view data,
                                   bool create_only, bool replace_only) = 0;
  virtual Win32Error OnDeleteStream(std::u16string_view path, std::u16string_view name) = 0;

  // The mount was removed from outside (umount, fusermount3 -u): the storage
  // is already deleted when this is called. Runs on a host thread.
  virtual void OnStorageEjected() = 0;
};

}  // namespace kelva::platform
