#include "service/unit/unit_drive.h"

#include <algorithm>

namespace kelva::unit {

uint32_t UnitDrive::TestUnitReady() { return unit::TestUnitReady(device_); }

uint32_t UnitDrive::GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), 0);
  const uint16_t length = static_cast<uint16_t>(std::min<size_t>(out.size(), 0xFFFF));
  return unit::GetConfiguration(device_, 2, starting_feature, out.data(), length);
}

uint32_t UnitDrive::ReadCapacity(uint32_t* last_lba, uint32_t* block_length) {
  return unit::ReadCapacity(device_, last_lba, block_length) ? 0 : kStatusDecodeFailed;
}

uint32_t UnitDrive::FormatUnit(uint8_t type_code) { return unit::FormatUnit(device_, type_code); }

uint32_t UnitDrive::SynchronizeCache() { return unit::SynchronizeCache(device_); }

uint32_t UnitDrive::VendorSynchronize() { return unit::VendorSynchronize(device_); }

uint32_t UnitDrive::ReadDiscInformation(uint32_t* last_track) {
  uint8_t disc_status = 0;
  uint16_t track = 0;
  if (!unit::ReadDiscInformation(device_, &disc_status, &track)) return kStatusDecodeFailed;
  *last_track = track;
  return 0;
}

uint32_t UnitDrive::ReadTrackInformation(uint32_t track, udf::TrackInfo* info) {
  unit::TrackInformation t;
  if (track > 0xFFFF || !unit::ReadTrackInformation(device_, static_cast<uint16_t>(track), &t))
    return kStatusDecodeFailed;
  info->start = t.start;
  info->size = t.size;
  info->nextWritable = t.next_writable;
  info->freeBlocks = t.free_blocks;
  return 0;
}

uint32_t UnitDrive::ReserveTrack(uint32_t address) {
  return unit::ReserveTrackAt(device_, address);
}

uint32_t UnitDrive::Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) {
  return unit::Read10(device_, lba, blocks, buffer);
}

uint32_t UnitDrive::Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) {
  return unit::Write10(device_, lba, blocks, buffer);
}

}  // namespace kelva::unit
