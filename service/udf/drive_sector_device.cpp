#include "service/udf/drive_sector_device.h"

#include <algorithm>

#include "platform/udf/bytes.h"

namespace kelva::udf {

namespace pe = platform;

namespace {
constexpr uint32_t kMaxTransfer = 256;  // sectors per command (512 KiB)
}

pe::Win32Error DriveSectorDevice::StatusToError(uint32_t status, bool write) {
  if (status == 0) return pe::ERROR_SUCCESS;
  if ((status >> 24) == 0) return status;  // already a Win32 code
  const uint8_t key = static_cast<uint8_t>(status >> 16);
  switch (key) {
    case 0x02: return pe::ERROR_NOT_READY;
    case 0x06: return pe::ERROR_MEDIA_CHANGED;
    case 0x07: return pe::ERROR_WRITE_PROTECT;
    default: return write ? pe::ERROR_WRITE_FAULT : pe::ERROR_CRC;
  }
}

uint32_t DriveSectorDevice::SectorCount() {
  if (sectors_ == 0) {
    uint32_t last = 0, block = 0;
    if (drive_->ReadCapacity(&last, &block) == 0 && block == kSectorSize && last != 0xFFFFFFFF)
      sectors_ = last + 1;
  }
  return sectors_;
}

pe::Win32Error DriveSectorDevice::ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) {
  while (count > 0) {
    const uint32_t n = std::min(count, kMaxTransfer);
    if (const uint32_t s = drive_->Read10(lba, static_cast<uint16_t>(n), buffer))
      return StatusToError(s, false);
    lba += n;
    count -= n;
    buffer += static_cast<size_t>(n) * kSectorSize;
  }
  return pe::ERROR_SUCCESS;
}

pe::Win32Error DriveSectorDevice::WriteSectors(uint32_t lba, uint32_t count,
                                               const uint8_t* buffer) {
  while (count > 0) {
    const uint32_t n = std::min(count, kMaxTransfer);
    if (const uint32_t s = drive_->Write10(lba, static_cast<uint16_t>(n), buffer))
      return StatusToError(s, true);
    lba += n;
    count -= n;
    buffer += static_cast<size_t>(n) * kSectorSize;
  }
  return pe::ERROR_SUCCESS;
}

pe::Win32Error DriveSectorDevice::Synchronize() {
  const uint32_t s = recordable_ ? drive_->VendorSynchronize() : drive_->SynchronizeCache();
  return StatusToError(s, true);
}

pe::Win32Error DriveSectorDevice::ReadTracks(std::vector<SectorTrack>* tracks) {
  if (!recordable_) return pe::ERROR_NOT_SUPPORTED;
  uint32_t last = 0;
  if (const uint32_t s = drive_->ReadDiscInformation(&last)) return StatusToError(s, false);
  tracks->clear();
  for (uint32_t n = 1; n <= last && n <= 64; ++n) {
    TrackInfo t;
    if (const uint32_t s = drive_->ReadTrackInformation(n, &t)) return StatusToError(s, false);
    tracks->push_back({t.start, t.size,
                       t.nextWritable == kNoAddress ? kNoWritableAddress : t.nextWritable,
                       t.freeBlocks});
  }
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
