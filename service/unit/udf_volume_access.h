// UdfVolumeAccess: the raw volumes of the attached units, each with the UDF
// file system of the disc in its drive (our user-space UDF file system over the
// unit's sectors). A volume is mounted on its first access after a disc load,
// dropped (everything written back) by a dismount, and dropped without writing
// when the disc changed under it. Locking a volume writes its metadata back and
// keeps every file open by path refused (5) until the last unlock.
//
// Thread safe. Open files keep their file system alive; after a dismount their
// calls fail with 21 (not ready).
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/udf/sector_device.h"
#include "platform/udf/udf_file_system.h"
#include "service/unit/volume_access.h"

namespace kelva::unit {

class UdfVolumeAccess : public VolumeAccess {
 public:
  // Opens a sector device on the disc in the unit's drive.
  using DeviceFactory = std::function<std::unique_ptr<udf::ISectorDevice>()>;

  explicit UdfVolumeAccess(platform::Clock* clock = nullptr) : clock_(clock) {}
  ~UdfVolumeAccess() override;

  // Registers a raw volume name (ending with "\").
  void Attach(std::u16string_view raw_volume_name, DeviceFactory factory);
  // Forgets a volume whose unit is gone (nothing is written back).
  void Detach(std::u16string_view raw_volume_name);

  platform::Win32Error OpenVolume(std::u16string_view volume_path, bool write,
                                  std::unique_ptr<VolumeHandle>* out) override;
  platform::Win32Error GetVolumeInformation(std::u16string_view root, VolumeInformation* out) override;
  platform::Win32Error GetFreeSpace(std::u16string_view root, uint64_t* free_bytes) override;
  platform::Win32Error FindFiles(std::u16string_view pattern_path,
                                 std::vector<VolumeFindData>* out) override;
  platform::Win32Error CreateFile(std::u16string_view path, bool write, bool unbuffered,
                                  bool create_new, std::unique_ptr<VolumeFile>* out) override;
  platform::Win32Error DeleteFile(std::u16string_view path) override;
  platform::Win32Error GetFileAttributes(std::u16string_view path, uint32_t* out) override;
  platform::Win32Error CreateDirectory(std::u16string_view path) override;
  void MediaChanged(std::u16string_view volume_path) override;

  // While a repair writes the disc under a raw volume, mounts of that volume
  // wait: its file system is dropped (written back) at the start, and nobody
  // reads half-repaired metadata or writes stale metadata over the repair.
  // Calls nest per volume; an unknown name is ignored.
  void BeginRepair(std::u16string_view raw_volume_name);
  void EndRepair(std::u16string_view raw_volume_name);

 private:
  class Handle;
  struct Volume;

  // The volume a path belongs to and the path inside it; 3 when no attached
  // volume matches.
  platform::Win32Error Resolve(std::u16string_view path, std::shared_ptr<Volume>* volume,
                               std::u16string* relative);
  // The mounted file system of the volume, mounting it when needed.
  platform::Win32Error Mounted(Volume& volume, std::shared_ptr<udf::UdfFileSystem>* fs);
  platform::Win32Error ResolveMounted(std::u16string_view path,
                                      std::shared_ptr<udf::UdfFileSystem>* fs,
                                      std::u16string* relative, bool* locked = nullptr);
  static void Drop(Volume& volume, bool write_back);

  platform::Clock* clock_;
  std::mutex mu_;  // guards the table; each volume has its own lock
  std::map<std::u16string, std::shared_ptr<Volume>> volumes_;  // by name without "\"
};

}  // namespace kelva::unit
