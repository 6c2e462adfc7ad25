// MemorySectorDevice: a disc held in memory, for benchmarks, fuzzing and tests
// that want a volume without a file. Storage is sparse in 64 KiB chunks; sectors
// never written read as zeros. Like an image file it has no tracks.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/udf/sector_device.h"

namespace kelva::udf {

class MemorySectorDevice : public ISectorDevice {
 public:
  explicit MemorySectorDevice(uint32_t sectors) : sectors_(sectors) {}

  uint32_t SectorCount() override { return sectors_; }
  platform::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override;
  platform::Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override;
  platform::Win32Error Synchronize() override { return platform::ERROR_SUCCESS; }
  platform::Win32Error ReadTracks(std::vector<SectorTrack>*) override {
    return platform::ERROR_NOT_SUPPORTED;
  }

  // Allocates (and zeroes) every sector now, as a medium that already exists, so
  // that later writes measure the writer and not the memory allocator.
  void Preallocate();

  // The whole disc as one image (sectors_ * 2048 bytes), and back.
  std::vector<uint8_t> Image() const;
  void Load(const std::vector<uint8_t>& image);

 private:
  static constexpr uint32_t kChunkSectors = 32;
  uint32_t sectors_;
  std::unordered_map<uint32_t, std::unique_ptr<uint8_t[]>> chunks_;
};

}  // namespace kelva::udf
