// Descriptor tags: the 16-byte header that starts every UDF descriptor, with its
// tag checksum and the descriptor CRC (CRC-16, polynomial 0x1021, initial value 0,
// most significant bit first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelva::udf {

// Tag identifiers of the volume structures (ECMA-167 part 3) and of the file
// structures (part 4).
enum TagIdent : uint16_t {
  kTagPrimaryVolume = 1,
  kTagAnchorPointer = 2,
  kTagVolumePointer = 3,
  kTagImplementationUse = 4,
  kTagPartition = 5,
  kTagLogicalVolume = 6,
  kTagUnallocatedSpace = 7,
  kTagTerminating = 8,
  kTagLogicalVolumeIntegrity = 9,
  kTagFileSet = 256,
  kTagFileIdentifier = 257,
  kTagAllocationExtent = 258,
  kTagIndirectEntry = 259,
  kTagTerminalEntry = 260,
  kTagFileEntry = 261,
  kTagExtendedAttributeHeader = 262,
  kTagUnallocatedSpaceEntry = 263,
  kTagSpaceBitmap = 264,
  kTagPartitionIntegrity = 265,
  kTagExtendedFileEntry = 266,
};

inline constexpr size_t kTagSize = 16;
inline constexpr uint16_t kDescriptorVersion3 = 3;  // "NSR03" volumes

struct DescriptorTag {
  uint16_t tagIdent = 0;
  uint16_t descVersion = kDescriptorVersion3;
  uint8_t tagChecksum = 0;
  uint16_t tagSerialNum = 1;
  uint16_t descCRC = 0;
  uint16_t descCRCLength = 0;
  uint32_t tagLocation = 0;
  bool operator==(const DescriptorTag&) const = default;
};

// CRC-16 (CCITT polynomial 0x1021, MSB first) over data, continuing from crc.
uint16_t Crc16(std::span<const uint8_t> data, uint16_t crc = 0);

// The modulo-256 sum of tag bytes 0-3 and 5-15. REQUIRES: tag holds 16 bytes.
uint8_t TagChecksum(const uint8_t* tag);

DescriptorTag DecodeTag(const uint8_t* p);  // REQUIRES: 16 readable bytes

// Writes a complete tag in front of a descriptor whose body (from byte 16) is
// already in place: identifier, version 3, serial number, the CRC over the
// crc_length bytes that follow the tag, and last the checksum.
// REQUIRES: desc.size() >= 16 + crc_length.
void FinishTag(std::span<uint8_t> desc, uint16_t ident, uint32_t location,
               uint16_t crc_length, uint16_t serial = 1);

// Recomputes CRC and checksum of a descriptor after a field of it changed, keeping
// its identifier, location and CRC length. Returns false (and leaves desc alone)
// when the recorded CRC length does not fit in desc.
bool RefreshTag(std::span<uint8_t> desc);

enum class TagStatus {
  kOk,
  kTooShort,     // fewer than 16 bytes
  kBadChecksum,  // tag checksum wrong (also: an all-zero, unrecorded sector)
  kWrongIdent,
  kWrongLocation,
  kBadCrc,       // CRC wrong, or CRC length reaching past the buffer
};

// Checks a descriptor's tag. want_ident 0 accepts any identifier; location is
// checked only when check_location is set. The CRC is always checked.
TagStatus CheckTag(std::span<const uint8_t> desc, uint16_t want_ident,
                   bool check_location = false, uint32_t location = 0);

// True when the checksum is right and the checksum byte is not over an all-zero tag
// (a blank sector sums to zero and would otherwise pass).
bool TagChecksumValid(std::span<const uint8_t> desc);

}  // namespace kelva::udf
