// The raw volume seam: the file system of the disc in a unit's drive, reached
// by path the way the operating system's own file API reaches a mounted
// volume. A path starts with the raw volume name ("\\?\Volume{GUID}\") and
// continues with the path inside the volume, separator "\". The platform keeps
// one file system per raw volume name (mounted on first access after a disc
// load, dropped by a dismount); the controller and the disc access layer only
// ever go through this interface, so that tests can put a fault into any call.
//
// Every method returns ERROR_SUCCESS or a Win32 code. Implementations are
// thread safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"

namespace kelva::unit {

inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;
// Volume flag: the volume is mounted read-only (its integrity is open).
inline constexpr uint32_t kVolumeReadOnly = 0x80000;

struct VolumeInformation {
  std::u16string file_system;  // "UDF" for a disc with a UDF volume
  uint32_t flags = 0;
};

struct VolumeFindData {
  std::u16string name;
  uint32_t attributes = 0;
  platform::FileTime creation = 0;
  platform::FileTime last_access = 0;
  platform::FileTime last_write = 0;
  uint64_t size = 0;
};

// An open file on a disc volume. Closed when destroyed.
class VolumeFile {
 public:
  VolumeFile() = default;
  VolumeFile(const VolumeFile&) = delete;
  VolumeFile& operator=(const VolumeFile&) = delete;
  virtual ~VolumeFile() = default;
  // Reads at the current position, which moves; 0 bytes at the end.
  virtual platform::Win32Error Read(void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual platform::Win32Error Write(const void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual platform::Win32Error Seek(uint64_t offset) = 0;
  virtual platform::Win32Error SetEndOfFile(uint64_t size) = 0;
};

// The raw volume itself, opened for the volume controls.
class VolumeHandle {
 public:
  VolumeHandle() = default;
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;
  virtual ~VolumeHandle() = default;
  virtual platform::Win32Error Lock() = 0;
  virtual platform::Win32Error Unlock() = 0;
  // Drops the mounted file system (everything written back); the next access
  // mounts the disc again.
  virtual platform::Win32Error Dismount() = 0;
  virtual platform::Win32Error Flush() = 0;
};

class VolumeAccess {
 public:
  VolumeAccess() = default;
  VolumeAccess(const VolumeAccess&) = delete;
  VolumeAccess& operator=(const VolumeAccess&) = delete;
  virtual ~VolumeAccess() = default;

  // volume_path: the raw volume name without its trailing "\".
  virtual platform::Win32Error OpenVolume(std::u16string_view volume_path, bool write,
                                          std::unique_ptr<VolumeHandle>* out) = 0;
  // root: the raw volume name with its trailing "\". ERROR_UNRECOGNIZED_VOLUME
  // when the disc carries no file system; ERROR_NOT_READY without a disc.
  virtual platform::Win32Error GetVolumeInformation(std::u16string_view root,
                                                    VolumeInformation* out) = 0;
  virtual platform::Win32Error GetFreeSpace(std::u16string_view root, uint64_t* free_bytes) = 0;
  // Entries matching the last component (wildcards "*", "?"), "." and ".." of
  // a folder included as the operating system lists them.
  // ERROR_FILE_NOT_FOUND when nothing matches, ERROR_PATH_NOT_FOUND when the
  // folder is missing.
  virtual platform::Win32Error FindFiles(std::u16string_view pattern_path,
                                         std::vector<VolumeFindData>* out) = 0;
  // create_new: fail with ERROR_FILE_EXISTS when it exists; else open existing.
  virtual platform::Win32Error CreateFile(std::u16string_view path, bool write, bool unbuffered,
                                          bool create_new, std::unique_ptr<VolumeFile>* out) = 0;
  virtual platform::Win32Error DeleteFile(std::u16string_view path) = 0;
  virtual platform::Win32Error GetFileAttributes(std::u16string_view path, uint32_t* out) = 0;
  // ERROR_ALREADY_EXISTS when it exists.
  virtual platform::Win32Error CreateDirectory(std::u16string_view path) = 0;
  // The changer moved the disc without a dismount (magazine eject, a disc that
  // dropped out and was loaded again): whatever is mounted belongs to a disc
  // that is gone and is dropped without writing anything.
  virtual void MediaChanged(std::u16string_view /*volume_path*/) {}
};

}  // namespace kelva::unit
