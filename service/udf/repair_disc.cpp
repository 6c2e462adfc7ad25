#include "service/udf/repair_disc.h"

#include <cstdarg>
#include <cstdio>

#include "platform/udf/bytes.h"

namespace kelva::udf {

namespace {
constexpr uint32_t kMaxRepairTracks = 64;
}

bool RepairDisc::Open() {
  if (!ReadVolumeStructure(drive_, &vs_)) return false;
  uint32_t block_length = 0;
  if (drive_.ReadCapacity(&last_, &block_length) != 0) return false;
  uint32_t count = 0;
  if (drive_.ReadDiscInformation(&count) != 0 || count == 0 || count > kMaxRepairTracks) return false;
  tracks_.clear();
  for (uint32_t n = 1; n <= count; ++n) {
    TrackInfo t;
    if (drive_.ReadTrackInformation(n, &t) != 0) return false;
    tracks_.push_back(t);
  }
  // The metadata track is the one holding the metadata file's entry (the second
  // of a disc laid out with several tracks).
  const uint64_t meta = uint64_t{vs_.partitionStart} + vs_.metadataFileLocation;
  metaTrack_ = tracks_.size() > 2 ? 1 : 0;
  for (size_t i = 0; i < tracks_.size(); ++i)
    if (meta >= tracks_[i].start && meta < uint64_t{tracks_[i].start} + tracks_[i].size)
      metaTrack_ = i;
  return true;
}

void RepairDisc::Log(const char* format, ...) {
  if (!sink_) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sink_(text);
}

bool RepairDisc::Read(uint32_t lba, uint32_t count, uint8_t* buffer) {
  if (count == 0 || count > 0xFFFF || uint64_t{lba} + count > uint64_t{last_} + 1) return false;
  return drive_.Read10(lba, static_cast<uint16_t>(count), buffer) == 0;
}

bool RepairDisc::IsRecorded(uint32_t lba) const {
  for (const TrackInfo& t : tracks_) {
    if (lba < t.start || lba >= uint64_t{t.start} + t.size) continue;
    return t.nextWritable == kNoAddress || lba < t.nextWritable;
  }
  return false;
}

uint32_t RepairDisc::WritableEnd(uint32_t above) const {
  for (size_t i = metaTrack_; i < tracks_.size(); ++i)
    if (tracks_[i].nextWritable != kNoAddress && tracks_[i].nextWritable > above)
      return tracks_[i].nextWritable;
  if (tracks_.empty()) return 0;
  return tracks_.back().start + tracks_.back().size;
}

bool RepairDisc::Overwrite(uint32_t lba, const uint8_t* sector) {
  if (!IsRecorded(lba) || lba < vs_.partitionStart || lba >= partitionEnd()) return false;
  if (drive_.Write10(lba, 1, sector) != 0) return false;
  ++sectorsWritten_;
  return true;
}

bool RepairDisc::AppendUnit(const uint8_t* unit, uint32_t* lba) {
  if (metaTrack_ >= tracks_.size()) return false;
  TrackInfo& t = tracks_[metaTrack_];
  const uint64_t end = uint64_t{t.start} + t.size;
  if (t.nextWritable == kNoAddress || t.nextWritable % kSectorsPerUnit != 0 ||
      t.nextWritable + uint64_t{kSectorsPerUnit} > end ||
      t.nextWritable + uint64_t{kSectorsPerUnit} > partitionEnd())
    return false;
  if (drive_.Write10(t.nextWritable, kSectorsPerUnit, unit) != 0) return false;
  *lba = t.nextWritable;
  sectorsWritten_ += kSectorsPerUnit;
  t.nextWritable += kSectorsPerUnit;
  if (t.nextWritable == end) t.nextWritable = kNoAddress;
  return true;
}

}  // namespace kelva::udf
