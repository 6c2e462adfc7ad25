#include "service/volume/storage_drive_host.h"

namespace kelva::volume {

Win32Error StorageDriveHost::MountPoints(std::vector<std::string>* drives) {
  if (storage_->IsDeleted()) return platform::ERROR_INVALID_HANDLE;
  *drives = storage_->MountPoints();
  return platform::ERROR_SUCCESS;
}

Win32Error StorageDriveHost::AddMountPoint(std::string_view drive) { return storage_->AddMountPoint(drive); }

uint32_t StorageDriveHost::LogicalDriveMask() { return platform::FsStorage::LogicalDriveMask(); }

Win32Error StorageDriveHost::VolumeNameForLetter(char letter, std::u16string* name) {
  return platform::FsStorage::VolumeNameForMountPoint(letter, name);
}

}  // namespace kelva::volume
