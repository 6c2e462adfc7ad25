#include "service/udf/sector_drive.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"

namespace kelva::udf {

namespace {
constexpr uint16_t kBdReProfile = 0x0043;
constexpr uint32_t kOutOfRange = 0x02052100;  // ILLEGAL REQUEST, LBA out of range
}  // namespace

uint32_t SectorDrive::GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) {
  uint8_t reply[16] = {};
  size_t length = 8;
  PutBe16(reply + 6, kBdReProfile);
  if (starting_feature == 0) {  // the profile list with the one current profile
    reply[10] = 0x03;
    reply[11] = 4;
    PutBe16(reply + 12, kBdReProfile);
    reply[14] = 1;
    length = 16;
  }
  PutBe32(reply, static_cast<uint32_t>(length - 4));
  std::fill(out.begin(), out.end(), 0);
  std::memcpy(out.data(), reply, std::min(out.size(), length));
  return 0;
}

uint32_t SectorDrive::ReadCapacity(uint32_t* last_lba, uint32_t* block_length) {
  const uint32_t n = device_->SectorCount();
  if (n == 0) return kOutOfRange;
  *last_lba = n - 1;
  *block_length = kSectorSize;
  return 0;
}

uint32_t SectorDrive::ReadDiscInformation(uint32_t* last_track) {
  *last_track = 1;
  return 0;
}

uint32_t SectorDrive::ReadTrackInformation(uint32_t track, TrackInfo* info) {
  if (track != 1) return 0x02052400;
  const uint32_t n = device_->SectorCount();
  *info = {0, n, 0, n};
  return 0;
}

uint32_t SectorDrive::Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) {
  return device_->ReadSectors(lba, blocks, buffer) ? kOutOfRange : 0;
}

uint32_t SectorDrive::Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) {
  return device_->WriteSectors(lba, blocks, buffer) ? kOutOfRange : 0;
}

}  // namespace kelva::udf
