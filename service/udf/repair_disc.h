// RepairDisc: the disc as the metadata repair sees it. Reads sectors, knows the
// write-once disc's tracks, and lets a repair write in only two ways that never
// destroy recorded data of another kind:
//   - a pseudo-overwrite of one sector that reads back as recorded (below its
//     track's next writable address), and
//   - an append of one whole 64 KiB unit exactly at the metadata track's next
//     writable address.
// Any other write is refused before it reaches the drive. Every step's messages
// go to one sink, a line each ("...\n").
//
// Not thread safe: one repair at a time per drive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/udf/udf_drive.h"
#include "service/udf/udf_format.h"

namespace kelva::udf {

// Receives each message of a repair, formatted and ending with a line feed.
using RepairSink = std::function<void(const std::string&)>;

class RepairDisc {
 public:
  RepairDisc(IUdfDrive& drive, RepairSink sink) : drive_(drive), sink_(std::move(sink)) {}
  RepairDisc(const RepairDisc&) = delete;
  RepairDisc& operator=(const RepairDisc&) = delete;

  // Reads the volume structure and the tracks. False for a volume that is not one
  // of ours or a disc whose tracks cannot be read.
  bool Open();
  const VolumeStructure& volume() const { return vs_; }

  // Formats a message (printf) and hands it to the sink.
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // READ(10); false when the command fails or the range leaves the medium.
  bool Read(uint32_t lba, uint32_t count, uint8_t* buffer);
  // One recorded sector rewritten in place. False when the sector is not
  // recorded or the write fails.
  bool Overwrite(uint32_t lba, const uint8_t* sector);
  // One 64 KiB unit appended at the metadata track's next writable address,
  // which it returns in *lba. False when the track has no room or the write fails.
  bool AppendUnit(const uint8_t* unit, uint32_t* lba);

  // The metadata track (0-based index into tracks()).
  size_t metadataTrack() const { return metaTrack_; }
  const std::vector<TrackInfo>& tracks() const { return tracks_; }
  // The next writable address of the first track from the metadata track on that
  // is still writable and whose address lies above `above`; else the end of the
  // last track.
  uint32_t WritableEnd(uint32_t above) const;
  bool IsRecorded(uint32_t lba) const;
  uint32_t partitionEnd() const { return vs_.partitionStart + vs_.partitionLength; }

  uint32_t sectorsWritten() const { return sectorsWritten_; }

 private:
  IUdfDrive& drive_;
  RepairSink sink_;
  VolumeStructure vs_;
  std::vector<TrackInfo> tracks_;
  size_t metaTrack_ = 0;
  uint32_t last_ = 0;
  uint32_t sectorsWritten_ = 0;
};

}  // namespace kelva::udf
