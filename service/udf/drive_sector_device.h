// DriveSectorDevice: the file system's sector device over a drive of the unit
// command set (IUdfDrive): READ(10) / WRITE(10), READ CAPACITY, SYNCHRONIZE
// CACHE (the vendor synchronize on write-once media) and READ DISC / TRACK
// INFORMATION for the tracks of a recordable disc. Command statuses become the
// Win32 codes the file system speaks: 23 for an unreadable sector, 21 when the
// unit is not ready or unplugged, 19 for a write-protected medium, 29 for any
// other failed write.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/udf/sector_device.h"
#include "service/udf/udf_drive.h"

namespace kelva::udf {

class DriveSectorDevice : public ISectorDevice {
 public:
  // Does not own the drive. `recordable` selects the vendor synchronize and the
  // track queries.
  DriveSectorDevice(IUdfDrive* drive, bool recordable) : drive_(drive), recordable_(recordable) {}

  uint32_t SectorCount() override;
  platform::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override;
  platform::Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override;
  platform::Win32Error Synchronize() override;
  platform::Win32Error ReadTracks(std::vector<SectorTrack>* tracks) override;

  // The Win32 code for a command status of a read (write false) or a write.
  static platform::Win32Error StatusToError(uint32_t status, bool write);

 private:
  IUdfDrive* drive_;
  bool recordable_;
  uint32_t sectors_ = 0;
};

}  // namespace kelva::udf
