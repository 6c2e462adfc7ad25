// The drive-letter search on a real host storage: mount points are the
// storage's, the drives in use are the folders below the mount root, and a
// letter's volume is the storage of this process that has it.
#pragma once

#include "platform/fshost/fs_storage.h"
#include "service/volume/drive_letters.h"

namespace kelva::volume {

class StorageDriveHost : public IDriveLetterHost {
 public:
  explicit StorageDriveHost(platform::FsStorage* storage) : storage_(storage) {}
  Win32Error MountPoints(std::vector<std::string>* drives) override;
  Win32Error AddMountPoint(std::string_view drive) override;
  uint32_t LogicalDriveMask() override;
  Win32Error VolumeNameForLetter(char letter, std::u16string* name) override;

 private:
  platform::FsStorage* const storage_;
};

}  // namespace kelva::volume
