// The file structures of a UDF volume (ECMA-167 part 4): space bitmaps, the file
// set descriptor, file identifier descriptors and file entries (basic and
// extended) with their ICB tags. The same Encode/Decode contract as the volume
// structures: Encode writes the whole descriptor with its tag and returns its
// length (0 when it does not fit); Decode reads fields without judging the tag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/udf/alloc_desc.h"
#include "platform/udf/entity_id.h"
#include "platform/udf/tag.h"
#include "platform/udf/timestamp.h"

namespace kelva::udf {

// ---- Space bitmap descriptor (4/14.12), tag 264. A set bit means "free". ----

struct SpaceBitmapDescriptor {
  DescriptorTag tag;
  uint32_t numberOfBits = 0;
  uint32_t numberOfBytes = 0;
};
inline constexpr size_t kSpaceBitmapHeaderSize = 24;
// Writes only the 24-byte header (CRC over its 8 bytes after the tag); the bitmap
// bytes follow it and are the caller's.
size_t Encode(const SpaceBitmapDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, SpaceBitmapDescriptor* d);

// ---- File set descriptor (4/14.1), tag 256 ----

struct FileSetDescriptor {
  DescriptorTag tag;
  Timestamp recordingDateAndTime;
  uint16_t interchangeLevel = 3;
  uint16_t maximumInterchangeLevel = 3;
  uint32_t characterSetList = 1;
  uint32_t maximumCharacterSetList = 1;
  uint32_t fileSetNumber = 0;
  uint32_t fileSetDescriptorNumber = 0;
  bool ostaCharsets = true;  // logical volume identifier and file set character sets
  std::string logicalVolumeIdentifier;  // dstring[128]
  std::string fileSetIdentifier;        // dstring[32]
  std::string copyrightFileIdentifier;  // dstring[32]
  std::string abstractFileIdentifier;   // dstring[32]
  LongAd rootDirectoryIcb;
  EntityId domainIdentifier;
  LongAd nextExtent;
  LongAd systemStreamDirectoryIcb;
};
size_t Encode(const FileSetDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, FileSetDescriptor* d);

// ---- File identifier descriptor (4/14.4), tag 257 ----

enum FileCharacteristics : uint8_t {
  kFidHidden = 0x01,
  kFidDirectory = 0x02,
  kFidDeleted = 0x04,
  kFidParent = 0x08,
  kFidMetadata = 0x10,
};

struct FileIdentifierDescriptor {
  DescriptorTag tag;
  uint16_t fileVersionNumber = 1;
  uint8_t fileCharacteristics = 0;
  LongAd icb;
  std::vector<uint8_t> implementationUse;
  std::vector<uint8_t> fileIdentifier;  // d-characters (EncodeDChars), empty for the parent
};
// The recorded length: 38 + identifier + implementation use, padded to 4 bytes.
size_t FidLength(const FileIdentifierDescriptor& d);
// The CRC covers the whole descriptor after the tag, padding included.
size_t Encode(const FileIdentifierDescriptor& d, std::span<uint8_t> out);
// `consumed` receives the padded length read.
bool Decode(std::span<const uint8_t> in, FileIdentifierDescriptor* d, size_t* consumed);

// ---- ICB tag (4/14.6) and file entries (4/14.9, 4/14.17) ----

enum IcbFileType : uint8_t {
  kFileTypeDirectory = 4,
  kFileTypeRegular = 5,
  kFileTypeMetadata = 250,
  kFileTypeMetadataMirror = 251,
  kFileTypeMetadataBitmap = 252,
};

enum IcbAllocation : uint16_t {
  kIcbShortAds = 0,
  kIcbLongAds = 1,
  kIcbExtendedAds = 2,
  kIcbEmbedded = 3,
};

struct IcbTag {
  uint32_t priorRecordedNumberOfDirectEntries = 0;
  uint16_t strategyType = 4;
  uint16_t strategyParameter = 0;
  uint16_t maximumNumberOfEntries = 1;
  uint8_t fileType = 0;
  LbAddr parentIcbLocation;
  uint16_t flags = 0;  // bits 0-2: IcbAllocation

  uint16_t Allocation() const { return flags & 7; }
};
inline constexpr size_t kIcbTagSize = 20;
void EncodeIcbTag(uint8_t* p, const IcbTag& t);
IcbTag DecodeIcbTag(const uint8_t* p);

// A file entry, basic (tag 261) or extended (tag 266). Fields only the extended
// form has are ignored when encoding a basic one and zero after decoding one.
struct FileEntry {
  DescriptorTag tag;
  bool extended = true;
  IcbTag icbTag;
  uint32_t uid = 0xFFFFFFFF;
  uint32_t gid = 0xFFFFFFFF;
  uint32_t permissions = 0;
  uint16_t fileLinkCount = 0;
  uint8_t recordFormat = 0;
  uint8_t recordDisplayAttributes = 0;
  uint32_t recordLength = 0;
  uint64_t informationLength = 0;
  uint64_t objectSize = 0;  // extended only
  uint64_t logicalBlocksRecorded = 0;
  Timestamp accessTime;
  Timestamp modificationTime;
  Timestamp creationTime;  // extended only
  Timestamp attributeTime;
  uint32_t checkpoint = 1;
  LongAd extendedAttributeIcb;
  LongAd streamDirectoryIcb;  // extended only
  EntityId implementationIdentifier;
  uint64_t uniqueId = 0;
  std::vector<uint8_t> extendedAttributes;
  std::vector<uint8_t> allocationDescriptors;  // or the embedded data
};
inline constexpr size_t kExtendedFileEntryHeaderSize = 216;
inline constexpr size_t kFileEntryHeaderSize = 176;
size_t Encode(const FileEntry& d, std::span<uint8_t> out);
// Reads a tag 261 or tag 266 entry (the identifier in the tag decides the form).
bool Decode(std::span<const uint8_t> in, FileEntry* d);

// Allocation descriptors held in a file entry, up to the first zero-length one.
std::vector<ShortAd> DecodeShortAds(std::span<const uint8_t> ads);
std::vector<LongAd> DecodeLongAds(std::span<const uint8_t> ads);
// Serialised short descriptors followed by a zero terminator descriptor.
std::vector<uint8_t> EncodeShortAds(std::span<const ShortAd> ads, bool terminate);

}  // namespace kelva::udf
