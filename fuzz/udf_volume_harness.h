// Serves fuzz input as the sectors of a disc to the volume structure reader.
// Byte 0 holds flags; the rest is cut into 2048-byte sectors handed out in the
// order the reader asks for them (the anchor first, then the sequence, then the
// integrity descriptor); a read past the input fails like an unreadable sector.
// With flag bit 0 set, the harness fixes each served sector's tag (location,
// checksum and CRC over its recorded CRC length) so that the input can reach the
// decoding of the descriptors behind the tag checks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/udf/bytes.h"
#include "platform/udf/tag.h"
#include "service/udf/udf_format.h"

namespace kelva::udf::fuzzing {

class FuzzDrive : public IUdfDrive {
 public:
  FuzzDrive(const uint8_t* data, size_t size, bool fix_tags)
      : data_(data), size_(size), fix_tags_(fix_tags) {}

  uint32_t TestUnitReady() override { return 0; }
  uint32_t GetConfiguration(uint16_t, std::span<uint8_t>) override { return 1; }
  uint32_t ReadCapacity(uint32_t*, uint32_t*) override { return 1; }
  uint32_t FormatUnit(uint8_t) override { return 1; }
  uint32_t SynchronizeCache() override { return 0; }
  uint32_t VendorSynchronize() override { return 0; }
  uint32_t ReadDiscInformation(uint32_t*) override { return 1; }
  uint32_t ReadTrackInformation(uint32_t, TrackInfo*) override { return 1; }
  uint32_t ReserveTrack(uint32_t) override { return 1; }
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
    for (uint32_t i = 0; i < blocks; ++i) {
      const size_t offset = next_ * kSectorSize;
      if (offset >= size_) return 0x02031100;
      ++next_;
      uint8_t* out = buffer + i * kSectorSize;
      const size_t n = std::min(kSectorSize, size_ - offset);
      std::memcpy(out, data_ + offset, n);
      std::memset(out + n, 0, kSectorSize - n);
      if (fix_tags_) {
        Put32(out + 12, lba + i);
        RefreshTag({out, kSectorSize});
      }
    }
    return 0;
  }
  uint32_t Write10(uint32_t, uint16_t, const uint8_t*) override { return 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  bool fix_tags_;
  size_t next_ = 0;
};

inline void FuzzVolumeStructure(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const bool fix_tags = data[0] & 1;
  {
    FuzzDrive drive(data + 1, size - 1, fix_tags);
    VolumeStructure vs;
    ReadVolumeStructure(drive, &vs);
  }
  FuzzDrive drive(data + 1, size - 1, fix_tags);
  CloseIntegrity(drive);
}

}  // namespace kelva::udf::fuzzing
