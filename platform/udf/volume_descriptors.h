// The volume structures of a UDF volume (ECMA-167 parts 2 and 3, with the OSTA UDF
// profile): the volume recognition sequence, the anchor, the descriptors of the
// volume descriptor sequence and the logical volume integrity descriptor.
//
// Each descriptor is a plain struct named after the standard's fields. Encode
// writes the whole descriptor, tag included (identifier, version 3, the tag's
// serial number and location, CRC and checksum), into `out` and returns its
// length in bytes, or 0 when `out` is too small or the content does not fit in a
// sector. Decode reads the fields from `in` and returns false when `in` is too
// short for them or holds inconsistent lengths; it does not judge the tag (use
// CheckTag for that), so repair code can read damaged descriptors too.
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

// ---- Volume recognition sequence (ECMA-167 2/9.1) ----

struct VolumeStructureDescriptor {
  uint8_t structureType = 0;
  std::string standardIdentifier;  // "BEA01", "NSR03", "TEA01": 5 characters
  uint8_t structureVersion = 1;
};
size_t Encode(const VolumeStructureDescriptor& d, std::span<uint8_t> out);  // 2048 bytes
bool Decode(std::span<const uint8_t> in, VolumeStructureDescriptor* d);

// ---- Anchor volume descriptor pointer (3/10.2), tag 2 ----

struct AnchorVolumeDescriptorPointer {
  DescriptorTag tag;
  ExtentAd mainVolumeDescriptorSequenceExtent;
  ExtentAd reserveVolumeDescriptorSequenceExtent;
};
size_t Encode(const AnchorVolumeDescriptorPointer& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, AnchorVolumeDescriptorPointer* d);

// ---- Primary volume descriptor (3/10.1), tag 1 ----

struct PrimaryVolumeDescriptor {
  DescriptorTag tag;
  uint32_t volumeDescriptorSequenceNumber = 0;
  uint32_t primaryVolumeDescriptorNumber = 0;
  std::string volumeIdentifier;  // dstring[32]
  uint16_t volumeSequenceNumber = 0;
  uint16_t maximumVolumeSequenceNumber = 0;
  uint16_t interchangeLevel = 0;
  uint16_t maximumInterchangeLevel = 0;
  uint32_t characterSetList = 0;
  uint32_t maximumCharacterSetList = 0;
  std::string volumeSetIdentifier;  // dstring[128]
  bool ostaCharacterSets = true;    // descriptor and explanatory character sets
  ExtentAd volumeAbstract;
  ExtentAd volumeCopyrightNotice;
  EntityId applicationIdentifier;
  Timestamp recordingDateAndTime;
  EntityId implementationIdentifier;
  std::array<uint8_t, 64> implementationUse{};
  uint32_t predecessorVolumeDescriptorSequenceLocation = 0;
  uint16_t flags = 0;
};
size_t Encode(const PrimaryVolumeDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, PrimaryVolumeDescriptor* d);

// ---- Implementation use volume descriptor (3/10.4) with the UDF "*UDF LV Info"
// contents (UDF 2.2.7.2), tag 4 ----

struct ImplementationUseVolumeDescriptor {
  DescriptorTag tag;
  uint32_t volumeDescriptorSequenceNumber = 0;
  EntityId implementationIdentifier;  // "*UDF LV Info"
  bool ostaLvInfoCharset = true;
  std::string logicalVolumeIdentifier;  // dstring[128]
  std::string lvInfo1, lvInfo2, lvInfo3;  // dstring[36] each
  EntityId lvInfoImplementationId;      // the implementation that wrote the volume
  std::array<uint8_t, 128> lvInfoImplementationUse{};
};
size_t Encode(const ImplementationUseVolumeDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, ImplementationUseVolumeDescriptor* d);

// ---- Partition descriptor (3/10.5) with a partition header descriptor (4/14.3)
// as its contents use, tag 5 ----

enum PartitionAccessType : uint32_t {
  kAccessPseudoOverwritable = 0,  // "unspecified" in ECMA-167; pseudo-overwritable media in UDF 2.60
  kAccessReadOnly = 1,
  kAccessWriteOnce = 2,
  kAccessRewritable = 3,
  kAccessOverwritable = 4,
};

struct PartitionHeaderDescriptor {
  ShortAd unallocatedSpaceTable;
  ShortAd unallocatedSpaceBitmap;
  ShortAd partitionIntegrityTable;
  ShortAd freedSpaceTable;
  ShortAd freedSpaceBitmap;
};

struct PartitionDescriptor {
  DescriptorTag tag;
  uint32_t volumeDescriptorSequenceNumber = 0;
  uint16_t partitionFlags = 0;
  uint16_t partitionNumber = 0;
  EntityId partitionContents;  // "+NSR03"
  PartitionHeaderDescriptor partitionHeader;
  uint32_t accessType = 0;
  uint32_t partitionStartingLocation = 0;
  uint32_t partitionLength = 0;
  EntityId implementationIdentifier;
  std::array<uint8_t, 128> implementationUse{};
};
size_t Encode(const PartitionDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, PartitionDescriptor* d);

// ---- Logical volume descriptor (3/10.6) with its partition maps, tag 6 ----

// One partition map. Type 1 maps a physical partition; type 2 maps are named by
// their partition type identifier. The metadata partition map (UDF 2.2.10) is
// read into the metadata fields; other type 2 maps are kept as recorded in `raw`.
struct PartitionMap {
  uint8_t partitionMapType = 1;
  uint8_t partitionMapLength = 6;
  uint16_t volumeSequenceNumber = 1;
  uint16_t partitionNumber = 0;
  EntityId partitionTypeIdentifier;  // type 2 only
  uint32_t metadataFileLocation = 0;
  uint32_t metadataMirrorFileLocation = 0;
  uint32_t metadataBitmapFileLocation = 0;
  uint32_t allocationUnitSize = 0;
  uint16_t alignmentUnitSize = 0;
  uint8_t flags = 0;  // bit 0: metadata duplicated in the mirror
  std::vector<uint8_t> raw;

  bool IsMetadata() const {
    return partitionMapType == 2 && partitionTypeIdentifier.Is(kUdfMetadataPartition);
  }
};
inline constexpr size_t kType1MapLength = 6;
inline constexpr size_t kType2MapLength = 64;

struct LogicalVolumeDescriptor {
  DescriptorTag tag;
  uint32_t volumeDescriptorSequenceNumber = 0;
  bool ostaDescriptorCharset = true;
  std::string logicalVolumeIdentifier;  // dstring[128]
  uint32_t logicalBlockSize = 2048;
  EntityId domainIdentifier;
  LongAd fileSetDescriptorLocation;  // logical volume contents use
  EntityId implementationIdentifier;
  std::array<uint8_t, 128> implementationUse{};
  ExtentAd integritySequenceExtent;
  std::vector<PartitionMap> partitionMaps;
};
size_t Encode(const LogicalVolumeDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, LogicalVolumeDescriptor* d);

// ---- Unallocated space descriptor (3/10.8), tag 7 ----

struct UnallocatedSpaceDescriptor {
  DescriptorTag tag;
  uint32_t volumeDescriptorSequenceNumber = 0;
  std::vector<ExtentAd> allocationDescriptors;
};
size_t Encode(const UnallocatedSpaceDescriptor& d, std::span<uint8_t> out);
bool Decode(std::span<const uint8_t> in, UnallocatedSpaceDescriptor* d);

// ---- Terminating descriptor (3/10.9), tag 8 ----

struct TerminatingDescriptor {
  DescriptorTag tag;
};
size_t Encode(const TerminatingDescriptor& d, std::span<uint8_t> out);

// ---- Logical volume integrity descriptor (3/10.10) with the UDF implementation
// use (UDF 2.2.6.4), tag 9 ----

enum IntegrityType : uint32_t { kIntegrityOpen = 0, kIntegrityClose = 1 };

struct LogicalVolumeIntegrityDescriptor {
  DescriptorTag tag;
  Timestamp recordingDateAndTime;
  uint32_t integrityType = kIntegrityClose;
  ExtentAd nextIntegrityExtent;
  uint64_t uniqueId = 0;  // logical volume header descriptor (4/14.15)
  std::vector<uint32_t> freeSpaceTable;  // one per partition
  std::vector<uint32_t> sizeTable;       // one per partition
  // Implementation use: 46 bytes when written by this system.
  EntityId implementationId;
  uint32_t numberOfFiles = 0;
  uint32_t numberOfDirectories = 0;
  uint16_t minimumUdfReadRevision = 0;
  uint16_t minimumUdfWriteRevision = 0;
  uint16_t maximumUdfWriteRevision = 0;
  std::vector<uint8_t> extraImplementationUse;  // bytes beyond the 46
  uint32_t lengthOfImplementationUse = 46;      // as recorded (Decode)
};
inline constexpr uint32_t kLvidImplementationUseSize = 46;
size_t Encode(const LogicalVolumeIntegrityDescriptor& d, std::span<uint8_t> out);
// Fails also when the recorded implementation use is shorter than 46 bytes or the
// tables reach past `in`.
bool Decode(std::span<const uint8_t> in, LogicalVolumeIntegrityDescriptor* d);

}  // namespace kelva::udf
