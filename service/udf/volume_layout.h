// The layout of the UDF volume written on a disc: which UDF revision the medium
// gets, where every structure lies, and (on write-once media) how the disc's
// tracks are split before writing.
//
// Rewritable BD (profile 0x0043) gets UDF 2.50 with an overwritable partition,
// a space bitmap and a metadata bitmap file; write-once BD in sequential
// recording mode (profile 0x0041) gets UDF 2.60 with a pseudo-overwritable
// partition over four tracks. Every number is a 2048-byte sector; "last" is the
// last logical block address of the medium.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/filetime.h"
#include "service/udf/udf_drive.h"

namespace kelva::udf {

inline constexpr uint16_t kProfileBdrSequential = 0x0041;
inline constexpr uint16_t kProfileBdrRandom = 0x0042;
inline constexpr uint16_t kProfileBdRe = 0x0043;
inline constexpr uint16_t kUdfRevision250 = 0x0250;  // rewritable
inline constexpr uint16_t kUdfRevision260 = 0x0260;  // write-once

inline constexpr uint8_t kOsClass = 6;
inline constexpr uint8_t kOsIdentifier = 0;
inline constexpr char kImplementationIdentifier[] = "*MERIDANSTORIX";

inline constexpr uint32_t kSectorsPerUnit = 32;  // one 64 KiB write
inline constexpr uint32_t kIntegrityExtentSectors = 4;
inline constexpr uint32_t kBdReMetadataSize = 512;
inline constexpr uint32_t kBdrMetadataSize = 32;
// Track boundaries on write-once media: the metadata track and the data track.
inline constexpr uint32_t kMetadataTrackStart = 25600;
inline constexpr uint32_t kDataTrackStart = 550912;
inline constexpr uint32_t kMaxTracks = 4;
inline constexpr uint32_t kMinTrackFreeBlocks = 128;

// The time written into a volume, taken once per format.
struct VolumeTime {
  platform::FileTime utc = 0;
  int32_t biasMinutes = 0;  // UTC = local + bias
  platform::SystemTime local;
};
VolumeTime TakeVolumeTime(platform::FileTime utc);

// The volume layout record. It starts with every number 0xFFFFFFFF ("none").
struct VolumeLayout {
  uint16_t udfRevision = 0xFFFF;
  uint8_t osClass = kOsClass;
  uint8_t osIdentifier = kOsIdentifier;
  VolumeTime time;

  uint32_t firstWritable = kNoAddress;      // write-once: next writable address of track 1
  uint32_t lastTrackNextWritable = kNoAddress;  // write-once: of the fourth track
  uint32_t last = kNoAddress;

  uint32_t volumeStart = kNoAddress;  // holds the volume recognition sequence at +16
  uint32_t mainVds = kNoAddress;
  uint32_t reserveVds = kNoAddress;
  uint32_t lvid = kNoAddress;
  uint32_t integrityLength = kIntegrityExtentSectors;

  uint32_t partitionStart = kNoAddress;
  uint32_t partitionLength = kNoAddress;
  uint32_t accessType = kNoAddress;

  // Partition-relative block numbers (metadataSize in blocks).
  uint32_t spaceBitmapBlocks = kNoAddress;  // rewritable only
  uint32_t metadataFile = kNoAddress;
  uint32_t metadataMirrorFile = kNoAddress;
  uint32_t metadataBitmapFile = kNoAddress;  // rewritable only
  uint32_t metadataDataStart = kNoAddress;
  uint32_t metadataSize = kNoAddress;

  std::string volumeSetIdentifier;
  std::vector<uint32_t> reservedTrackStarts;  // write-once: tracks made by splitting

  bool IsRewritable() const { return udfRevision == kUdfRevision250; }
};

// "%08X UDF Volume Set" of ((seconds since 1601, low 32 bits) - 943548480) mod 2^32.
std::string VolumeSetIdentifier(platform::FileTime utc);

// The UDF revision for a current profile: 0x0250 for BD-RE, 0x0260 for BD-R
// sequential recording, 0 for any other medium.
uint16_t RevisionForProfile(uint16_t profile);

// The current profile from a GET CONFIGURATION reply (feature 0, the profile
// list): the profile descriptor whose "current" bit is set; 0 when none is, or
// when the reply is malformed.
uint16_t CurrentProfileFromConfiguration(std::span<const uint8_t> reply);

// Profile detection: TEST UNIT READY (twice when the first succeeds), GET
// CONFIGURATION, and the revision for the current profile. Returns 0 when the
// medium is not one this system formats or a command failed.
uint16_t DetectRevision(IUdfDrive& drive);

// Splits the tracks of a write-once disc at `address` (index 0 = first track).
// Returns false when no track contains the address, or the address lies below the
// containing track's next writable address, or four tracks exist already. A new
// track's start is appended to *new_starts.
bool SplitTrackAt(std::vector<TrackInfo>* tracks, uint32_t address,
                  std::vector<uint32_t>* new_starts);

// Fills the rewritable layout for a medium whose last block is `last`. Fails when
// the medium is too small to hold the volume.
bool ComputeRewritableLayout(uint32_t last, VolumeLayout* layout);

// Fills the write-once layout from tracks already split into four. Fails when the
// tracks do not leave room for the volume.
bool ComputeWriteOnceLayout(uint32_t last, const std::vector<TrackInfo>& tracks,
                            VolumeLayout* layout);

// The whole layout step against a drive: READ CAPACITY (formatting an unformatted
// medium first), and on write-once media synchronising, reading and splitting the
// tracks and reserving the new ones. Returns false on any failed command or check.
bool ComputeLayout(IUdfDrive& drive, uint16_t revision, const VolumeTime& time,
                   VolumeLayout* layout);

}  // namespace kelva::udf
