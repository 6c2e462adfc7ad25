// OverlayDrive: a drive whose writes stay in memory. Reads see what was written;
// the tracks' next writable addresses follow the held writes as a drive's would.
// The disc itself is never written, so a run over it shows what a real run would
// write (kelva-disctool repair --dry-run).
#pragma once

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/udf/bytes.h"
#include "service/udf/udf_drive.h"

namespace kelva::disctool {

class OverlayDrive : public udf::UdfDriveWrapper {
 public:
  using UdfDriveWrapper::UdfDriveWrapper;

  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
    if (uint32_t status = target()->Read10(lba, blocks, buffer)) return status;
    for (uint32_t i = 0; i < blocks; ++i)
      if (auto it = sectors_.find(lba + i); it != sectors_.end())
        std::memcpy(buffer + size_t{i} * udf::kSectorSize, it->second.data(), udf::kSectorSize);
    return 0;
  }
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override {
    for (uint32_t i = 0; i < blocks; ++i)
      sectors_[lba + i].assign(buffer + size_t{i} * udf::kSectorSize,
                               buffer + size_t{i + 1} * udf::kSectorSize);
    writes_.emplace_back(lba, blocks);
    ends_.push_back(lba + blocks);
    return 0;
  }
  uint32_t ReadTrackInformation(uint32_t track, udf::TrackInfo* info) override {
    if (uint32_t status = target()->ReadTrackInformation(track, info)) return status;
    const uint32_t end = info->start + info->size;
    for (uint32_t written_end : ends_) {
      if (info->nextWritable == udf::kNoAddress || written_end <= info->nextWritable ||
          written_end > end)
        continue;
      info->nextWritable = written_end == end ? udf::kNoAddress : written_end;
      info->freeBlocks = written_end == end ? 0 : end - written_end;
    }
    return 0;
  }

  // Every WRITE(10) held, in order: {first sector, sector count}.
  const std::vector<std::pair<uint32_t, uint32_t>>& writes() const { return writes_; }

 private:
  std::map<uint32_t, std::vector<uint8_t>> sectors_;
  std::vector<std::pair<uint32_t, uint32_t>> writes_;
  std::vector<uint32_t> ends_;
};

}  // namespace kelva::disctool
