// Formatting a disc with a UDF volume and reading its volume structure back.
//
// FormatDisc detects the medium, computes the layout and writes every block of
// the volume in 64 KiB units; ReadVolumeStructure validates a volume written this
// way and returns its main numbers; CloseIntegrity marks a volume left open
// (after an interrupted write) as closed again.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/udf/alloc_desc.h"
#include "platform/udf/timestamp.h"
#include "service/udf/udf_drive.h"
#include "service/udf/volume_layout.h"

namespace kelva::udf {

// What ReadVolumeStructure returns. The first group is what callers rely on; the
// rest describes the volume for tools and logs.
struct VolumeStructure {
  uint16_t udfRevision = 0;          // the LVID's (equal) minimum and maximum write revision
  uint16_t minimumReadRevision = 0;
  uint32_t partitionStart = 0;
  uint32_t partitionLength = 0;
  uint32_t integritySequenceLocation = 0;
  uint32_t metadataFileLocation = 0;  // partition-relative
  uint32_t metadataMirrorFileLocation = 0;

  uint32_t metadataBitmapFileLocation = kNoAddress;
  uint32_t mainVdsLocation = 0;
  uint32_t accessType = 0;
  uint32_t integrityType = 0;  // 1 = closed
  uint32_t freeSpace[2] = {0, 0};
  uint32_t size[2] = {0, 0};
  uint32_t numberOfFiles = 0;
  uint32_t numberOfDirectories = 0;
  Timestamp recordingTime;  // of the primary volume descriptor
  LongAd fileSetLocation;   // the logical volume descriptor's file set descriptor
  std::string volumeIdentifier;
  std::string volumeSetIdentifier;
};

// Detects the medium, lays out and writes the volume; up to 3 attempts, except
// that a medium this system does not format fails at once. The time written into
// the volume comes from `clock` and the process's time zone. Returns true on
// success. Nothing is rolled back after a failure: the disc is formatted again.
bool FormatDisc(IUdfDrive& drive, platform::Clock& clock = platform::RealClock());

// Writes the volume for a computed layout, every unit assembled in one 64 KiB
// page-aligned buffer before its WRITE(10); ends with SYNCHRONIZE CACHE
// (rewritable) or the vendor synchronize (write-once). False on any failed write.
bool WriteVolume(IUdfDrive& drive, const VolumeLayout& layout);

// Reads the anchor at sector 256, the main volume descriptor sequence and the
// integrity descriptor. Returns true and fills *out only for a volume with a
// metadata partition whose descriptors all carry valid tags (checksum, CRC and
// location); false for blank, foreign, truncated or damaged structures.
bool ReadVolumeStructure(IUdfDrive& drive, VolumeStructure* out);

// When the integrity descriptor of a valid volume is intact and not already
// closed, sets its integrity type to closed, recomputes its tag and writes the
// sector back. Returns true only when it was rewritten.
bool CloseIntegrity(IUdfDrive& drive);

}  // namespace kelva::udf
