// The file system host: one storage per unit, shown at a mount point and
// served by FUSE. A storage exists from Create to Delete; its media (the
// magazine's file system) is mounted and unmounted inside it any number of
// times. Every request on the mount becomes one call of the storage's
// IFsEventHandler on one of the session's threads, several at once.
//
// Mount points are drive names ("X:"); drive X is the folder
// MountPointPath('X') = KELVA_MOUNT_ROOT/X (default /media/kelva/X), which
// exists, empty, while the storage has the mount point and no media.
//
// When the mount is removed from outside (umount, fusermount3 -u), the storage
// deletes itself and calls the handler's OnStorageEjected.
//
// Thread safe. Not copyable.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/fshost/fs_event_handler.h"

struct fuse;

namespace kelva::platform {

// The identifier the host is initialised with, once per process.
inline constexpr std::string_view kHostProductId = "41458D9E-BFBB-46cb-93BB-163FB3DEE4BF";

struct FsStorageSettings {
  // The storage's shape, reported through stat and statfs.
  uint32_t storage_type = 3;
  uint32_t storage_characteristics = 0x2010;
  uint32_t sector_size = 512;
  uint32_t cluster_size = 2048;
  uint32_t max_file_name_length = 255;
  std::string file_system_name = "KELVA";
  // The storage GUID in registry form ("{...}"); names the mount's source.
  std::string storage_guid;

  // Ownership: the discs store no owners, so every file and folder belongs to
  // uid:gid with the permissions 0666/0777 less umask (0660/0770 by default:
  // the group may read and write, nobody else may enter).
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t umask = 007;

  // Kernel cache timeouts in seconds for names, attributes and missing names.
  double entry_timeout = 1.0;
  double attr_timeout = 1.0;
  double negative_timeout = 0.0;
  // Upper bound of threads serving requests at once.
  unsigned max_threads = 16;
};

// The storage GUID of a unit: for a raw volume name "\\?\Volume{GUID}..."
// that GUID with 1 XORed into its first 32-bit part, so a unit's storage keeps
// its identity (and its drive letter) across attaches; else a new random GUID.
std::string StorageGuidFor(std::u16string_view raw_volume_name);

// The group that owns the mounts: KELVA_MOUNT_GROUP (a name or a number) when
// set, else the system group "kelva"; root's group 0 (with a warning in the
// log) when neither exists.
gid_t DefaultMountGroup();

// Once per process; later calls do nothing and succeed. ERROR_NOT_SUPPORTED
// when this computer has no FUSE device.
Win32Error InitializeHost(std::string_view product_id);

class FsStorage {
 public:
  // The handler must outlive the storage.
  static Win32Error Create(const FsStorageSettings& settings, IFsEventHandler* handler,
                           std::unique_ptr<FsStorage>* out);
  ~FsStorage();  // Delete(), errors ignored
  FsStorage(const FsStorage&) = delete;
  FsStorage& operator=(const FsStorage&) = delete;

  // The folder of drive letter ('A'-'Z' or 'a'-'z') below the mount root.
  static std::filesystem::path MountPointPath(char letter);

  // Adds a mount point "X:" (creates its folder). One mount point per storage:
  // ERROR_ALREADY_EXISTS when it has one; ERROR_INVALID_NAME for anything but
  // a drive name; ERROR_BUSY when the folder is taken by another mount.
  Win32Error AddMountPoint(std::string_view drive);
  std::vector<std::string> MountPoints() const;
  // ERROR_FILE_NOT_FOUND when the storage has no such mount point;
  // ERROR_BUSY while media is mounted there.
  Win32Error DeleteMountPoint(std::string_view drive);

  // Bit n set when the drive folder of letter 'A' + n exists below the mount
  // root: the drives in use on this computer.
  static uint32_t LogicalDriveMask();
  // The volume name "\\?\Volume{GUID}\" of the storage whose mount point is
  // the letter; ERROR_FILE_NOT_FOUND when no storage of this process has it.
  static Win32Error VolumeNameForMountPoint(char letter, std::u16string* name);
  // This storage's volume name, from its GUID; empty without one.
  std::u16string VolumeName() const;

  // Mounts the media at the mount point and starts serving requests.
  // ERROR_PATH_NOT_FOUND without a mount point, ERROR_ALREADY_EXISTS when
  // mounted, ERROR_INVALID_HANDLE after Delete, else the mount's error.
  Win32Error MountMedia();
  // Forced unmount: open files lose their connection (their requests fail),
  // the session ends, the folder stays. Success when nothing was mounted.
  Win32Error UnmountMedia();
  // True while media is mounted.
  bool IsActive() const;
  // Unmounts, removes the mount point folders and deletes the storage; later
  // calls do nothing. Must not be called from the handler's own calls.
  Win32Error Delete();
  bool IsDeleted() const;

  // Tells the kernel that the entry at path (and its folder's listing) changed
  // (code: 1 added, 2 removed, 4 modified); delivered on a thread of the
  // storage, so it may be called from inside a handler call.
  void NotifyDirectoryChange(std::u16string_view path, uint32_t code);

  // The executable of the process whose request is being served on the
  // calling thread ("/proc/PID/exe"); empty outside a request or when gone.
  static std::string RequesterImagePath();

  const FsStorageSettings& settings() const { return settings_; }
  IFsEventHandler* handler() const { return handler_; }

 private:
  FsStorage(const FsStorageSettings& settings, IFsEventHandler* handler);
  void SessionMain(struct fuse* session);
  void InvalidationMain();
  // Ends the invalidation thread and frees the session; mu_ held by the caller.
  void ReleaseSession(struct fuse* session);

 public:
  // Bookkeeping of the session's open contexts (used by the request handlers).
  void TrackOpen(FsContext context, bool dir);
  void TrackRelease(FsContext context);

 private:

  const FsStorageSettings settings_;
  IFsEventHandler* const handler_;

  mutable std::mutex mu_;
  std::vector<std::string> mount_points_;
  std::filesystem::path mounted_at_;
  struct fuse* session_ = nullptr;
  bool active_ = false;
  bool deleted_ = false;
  bool unmount_requested_ = false;
  std::thread session_thread_;

  // Open contexts not yet released, with whether each is a folder: a forced
  // unmount or an ejection releases them, as the session cannot any more.
  std::mutex open_mu_;
  std::unordered_map<FsContext, bool> open_;

  std::mutex inval_mu_;
  std::condition_variable inval_cv_;
  std::deque<std::string> inval_queue_;
  bool inval_stop_ = false;
  std::thread inval_thread_;
};

}  // namespace kelva::platform
