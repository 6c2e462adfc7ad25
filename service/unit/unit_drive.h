// UnitDrive: the UDF formatter's drive (udf::IUdfDrive) over the unit's command
// set, so that the volume is written with real command blocks to a real unit
// (SG_IO), to a simulated unit over its socket, or to one in the caller's
// process. It lives with the unit code: the UDF code knows only its seams.
#pragma once

#include "service/udf/udf_drive.h"
#include "service/unit/unit_commands.h"

namespace kelva::unit {

// Status reported for a decoding command (READ CAPACITY, READ DISC / TRACK
// INFORMATION) that failed: the command set reports those as a plain failure.
inline constexpr uint32_t kStatusDecodeFailed = 0x02000000;

class UnitDrive : public udf::IUdfDrive {
 public:
  // Does not own the device.
  explicit UnitDrive(DeviceHandle device) : device_(device) {}

  uint32_t TestUnitReady() override;
  uint32_t GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) override;
  uint32_t ReadCapacity(uint32_t* last_lba, uint32_t* block_length) override;
  uint32_t FormatUnit(uint8_t type_code) override;
  uint32_t SynchronizeCache() override;
  uint32_t VendorSynchronize() override;
  uint32_t ReadDiscInformation(uint32_t* last_track) override;
  uint32_t ReadTrackInformation(uint32_t track, udf::TrackInfo* info) override;
  uint32_t ReserveTrack(uint32_t address) override;
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override;
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override;

 private:
  DeviceHandle device_;
};

}  // namespace kelva::unit
