#include "platform/udf/memory_sector_device.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"

namespace kelva::udf {

namespace {
constexpr size_t kChunkBytes = 32 * kSectorSize;
}

platform::Win32Error MemorySectorDevice::ReadSectors(uint32_t lba, uint32_t count,
                                                     uint8_t* buffer) {
  if (static_cast<uint64_t>(lba) + count > sectors_) return platform::ERROR_CRC;
  while (count > 0) {
    const uint32_t chunk = lba / kChunkSectors, within = lba % kChunkSectors;
    const uint32_t n = std::min(count, kChunkSectors - within);
    const size_t bytes = static_cast<size_t>(n) * kSectorSize;
    auto it = chunks_.find(chunk);
    if (it == chunks_.end()) std::memset(buffer, 0, bytes);
    else std::memcpy(buffer, it->second.get() + static_cast<size_t>(within) * kSectorSize, bytes);
    buffer += bytes;
    lba += n;
    count -= n;
  }
  return platform::ERROR_SUCCESS;
}

platform::Win32Error MemorySectorDevice::WriteSectors(uint32_t lba, uint32_t count,
                                                      const uint8_t* buffer) {
  if (static_cast<uint64_t>(lba) + count > sectors_) return platform::ERROR_WRITE_FAULT;
  while (count > 0) {
    const uint32_t chunk = lba / kChunkSectors, within = lba % kChunkSectors;
    const uint32_t n = std::min(count, kChunkSectors - within);
    const size_t bytes = static_cast<size_t>(n) * kSectorSize;
    auto& slot = chunks_[chunk];
    if (!slot) {
      slot.reset(new uint8_t[kChunkBytes]);
      std::memset(slot.get(), 0, kChunkBytes);
    }
    std::memcpy(slot.get() + static_cast<size_t>(within) * kSectorSize, buffer, bytes);
    buffer += bytes;
    lba += n;
    count -= n;
  }
  return platform::ERROR_SUCCESS;
}

void MemorySectorDevice::Preallocate() {
  for (uint32_t chunk = 0; chunk < (sectors_ + kChunkSectors - 1) / kChunkSectors; ++chunk) {
    auto& slot = chunks_[chunk];
    if (!slot) {
      slot.reset(new uint8_t[kChunkBytes]);
      std::memset(slot.get(), 0, kChunkBytes);
    }
  }
}

std::vector<uint8_t> MemorySectorDevice::Image() const {
  std::vector<uint8_t> out(static_cast<size_t>(sectors_) * kSectorSize, 0);
  for (const auto& [chunk, data] : chunks_) {
    const size_t at = static_cast<size_t>(chunk) * kChunkBytes;
    std::memcpy(out.data() + at, data.get(), std::min(kChunkBytes, out.size() - at));
  }
  return out;
}

void MemorySectorDevice::Load(const std::vector<uint8_t>& image) {
  chunks_.clear();
  const uint32_t sectors = static_cast<uint32_t>(std::min<size_t>(image.size() / kSectorSize, sectors_));
  for (uint32_t lba = 0; lba < sectors; lba += kChunkSectors) {
    const uint32_t n = std::min(kChunkSectors, sectors - lba);
    const uint8_t* p = image.data() + static_cast<size_t>(lba) * kSectorSize;
    if (std::all_of(p, p + static_cast<size_t>(n) * kSectorSize, [](uint8_t b) { return b == 0; }))
      continue;
    WriteSectors(lba, n, p);
  }
}

}  // namespace kelva::udf
