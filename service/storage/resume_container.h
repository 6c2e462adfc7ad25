// The container of the resume files ("resume.bin"): a GUID naming the kind of
// resume file, the MD5 digest of everything from offset 32 to the end, a 49-byte
// header and tagged records, all little-endian and unpadded:
//   0   16  GUID (as a GUID structure: Data1, Data2, Data3 little-endian, Data4)
//   16  16  MD5 of bytes 32 .. end of file
//   32  49  header
//   81  ... records: a one-byte tag, then its payload; tag 255 ends them
// Writers put sixteen zero bytes in place of the digest, write everything through
// a buffered stream, and then fill the digest in (SealResumeContainer). Readers
// accept a file only when GUID, digest and version all match.
#pragma once

#include <array>
#include <cstdint>

#include "platform/errors.h"
#include "platform/file.h"
#include "service/storage/data_stream.h"

namespace kelva::storage {

using platform::Win32Error;

using ResumeGuid = std::array<uint8_t, 16>;

// The 16 bytes of a GUID structure.
constexpr ResumeGuid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
  return {static_cast<uint8_t>(d1), static_cast<uint8_t>(d1 >> 8), static_cast<uint8_t>(d1 >> 16),
          static_cast<uint8_t>(d1 >> 24), static_cast<uint8_t>(d2), static_cast<uint8_t>(d2 >> 8),
          static_cast<uint8_t>(d3), static_cast<uint8_t>(d3 >> 8), d4[0], d4[1], d4[2], d4[3], d4[4], d4[5],
          d4[6], d4[7]};
}

// {5BE26D0C-6750-46F9-9379-136FE225081A}: the live resume file in the cache folder.
inline constexpr ResumeGuid kLiveResumeGuid =
    MakeGuid(0x5BE26D0C, 0x6750, 0x46F9, {0x93, 0x79, 0x13, 0x6F, 0xE2, 0x25, 0x08, 0x1A});
// {F0097D55-FA7C-454C-97CD-4CCDD1698C84}: the snapshot resume file.
inline constexpr ResumeGuid kSnapshotResumeGuid =
    MakeGuid(0xF0097D55, 0xFA7C, 0x454C, {0x97, 0xCD, 0x4C, 0xCD, 0xD1, 0x69, 0x8C, 0x84});

inline constexpr uint64_t kResumeDigestOffset = 16;
inline constexpr uint64_t kResumeHeaderOffset = 32;
inline constexpr uint64_t kResumeRecordsOffset = 81;

// Record tags.
enum ResumeTag : uint8_t {
  kResumeTagDirectory = 1,  // an open directory
  kResumeTagFile = 2,       // an open file
  kResumeTagPinned = 3,     // a pinned cache file (ResumePinnedRecord)
  kResumeTagEnd = 255,
};

// The 49-byte header.
struct ResumeHeader {
  static constexpr uint32_t kVersion = 1;
  static constexpr size_t kSize = 49;
  // Flag bits.
  static constexpr uint8_t kExistingCatalog = 0x01;  // the structure catalog was not created new
  static constexpr uint8_t kSaveRequested = 0x02;    // a catalog save was requested
  static constexpr uint8_t kCatalogChanged = 0x04;   // the structure catalog's change state is 1
  static constexpr uint8_t kNoHistory = 0x08;        // history is not kept

  uint32_t version = kVersion;
  uint32_t catalog_time_low = 0;   // last-write time of the catalog on the discs
  uint32_t catalog_time_high = 0;
  uint64_t cached_data_bytes = 0;
  uint64_t pending_archive_bytes = 0;
  uint64_t metadata_bytes = 0;
  uint32_t catalog_number = 0;     // CK_DB file number of the structure catalog
  uint8_t flags = 0;
  uint64_t catalog_growth = 0;

  void Serialize(uint8_t* out) const;
  static ResumeHeader Parse(const uint8_t* in);
  bool operator==(const ResumeHeader&) const = default;
};

// A pinned cache file (tag 3, 14 bytes).
struct ResumePinnedRecord {
  static constexpr size_t kSize = 14;
  uint8_t kind = 0;
  uint8_t disc = 0;
  uint32_t file = 0;
  uint32_t owner = 0;  // opaque, used only as a key
  uint32_t pin_count = 0;

  void Serialize(uint8_t* out) const;
  static ResumePinnedRecord Parse(const uint8_t* in);
  bool operator==(const ResumePinnedRecord&) const = default;
};

// Writes the GUID, sixteen zero bytes and the header at the stream's position
// (the start of a new file). False on a write failure.
bool BeginResumeContainer(CCacheDataStream& stream, const ResumeGuid& guid, const ResumeHeader& header);

bool WriteResumeTag(IDataStream& stream, uint8_t tag);
bool ReadResumeTag(IDataStream& stream, uint8_t* tag);
bool WritePinnedRecord(IDataStream& stream, const ResumePinnedRecord& record);
bool ReadPinnedRecord(IDataStream& stream, ResumePinnedRecord* record);

// Ends the records with tag 255, flushes, computes the digest of bytes 32 to the
// end of file and writes it at offset 16. file is the one under stream.
bool SealResumeContainer(CCacheDataStream& stream, platform::File& file);

// Checks a container from its start: GUID equal to guid, digest matching bytes
// 32 to the end, a complete header of version 1. On success *header holds the
// header and the stream is positioned at the first record. Returns 0, or
// ERROR_INVALID_DATA for a wrong GUID, digest or version, ERROR_HANDLE_EOF for a
// file too short to hold a header, or the file's error.
Win32Error OpenResumeContainer(CCacheDataStream& stream, platform::File& file, const ResumeGuid& guid,
                               ResumeHeader* header);

}  // namespace kelva::storage
