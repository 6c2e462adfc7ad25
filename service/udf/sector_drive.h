// SectorDrive: a rewritable drive (BD-RE profile) over any sector device, so that
// the formatter can lay a volume on a disc held in memory or behind another
// sector device (benchmarks, fuzzing, tests). Tracks are not modelled.
#pragma once

#include <cstdint>
#include <span>

#include "platform/udf/sector_device.h"
#include "service/udf/udf_drive.h"

namespace kelva::udf {

class SectorDrive : public IUdfDrive {
 public:
  explicit SectorDrive(ISectorDevice* device) : device_(device) {}

  uint32_t TestUnitReady() override { return 0; }
  uint32_t GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) override;
  uint32_t ReadCapacity(uint32_t* last_lba, uint32_t* block_length) override;
  uint32_t FormatUnit(uint8_t) override { return 0; }
  uint32_t SynchronizeCache() override { return device_->Synchronize(); }
  uint32_t VendorSynchronize() override { return device_->Synchronize(); }
  uint32_t ReadDiscInformation(uint32_t* last_track) override;
  uint32_t ReadTrackInformation(uint32_t track, TrackInfo* info) override;
  uint32_t ReserveTrack(uint32_t) override { return 0x02052400; }
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override;
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override;

 private:
  ISectorDevice* device_;
};

}  // namespace kelva::udf
