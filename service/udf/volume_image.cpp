#include "service/udf/volume_image.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"
#include "platform/udf/timestamp.h"

namespace kelva::udf {
namespace {

constexpr uint32_t kVdsBytes = 16 * kSectorSize;  // 16 sectors reserved per sequence

EntityId ImplementationId(const VolumeLayout& l) {
  return MakeImplementationId(kImplementationIdentifier, l.osClass, l.osIdentifier);
}

Timestamp Now(const VolumeLayout& l) { return MakeTimestamp(l.time.local, l.time.biasMinutes); }

uint32_t RoundUp(uint32_t value, uint32_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Bytes of the space bitmap: one bit per partition block, rounded up.
uint32_t BitmapBytes(const VolumeLayout& l) { return (l.partitionLength + 7) / 8; }

// First block after the metadata bitmap file that is free again: from there to
// the next multiple of 32 (none when already aligned).
uint32_t GapStart(const VolumeLayout& l) { return l.metadataBitmapFile + 1; }
uint32_t GapEnd(const VolumeLayout& l) { return RoundUp(GapStart(l), 32); }

LongAd MetadataBlock(uint32_t block) {
  LongAd a;
  a.length = kSectorSize;
  a.location = {block, 1};  // partition reference 1: the metadata partition
  return a;
}

}  // namespace

AnchorVolumeDescriptorPointer MakeAnchor(const VolumeLayout& l, uint32_t location) {
  AnchorVolumeDescriptorPointer d;
  d.tag.tagLocation = location;
  d.mainVolumeDescriptorSequenceExtent = {kVdsBytes, l.mainVds};
  d.reserveVolumeDescriptorSequenceExtent = {kVdsBytes, l.reserveVds};
  return d;
}

PrimaryVolumeDescriptor MakePrimaryVolumeDescriptor(const VolumeLayout& l, uint32_t location) {
  PrimaryVolumeDescriptor d;
  d.tag.tagLocation = location;
  d.volumeDescriptorSequenceNumber = 1;
  d.primaryVolumeDescriptorNumber = 0;
  d.volumeIdentifier = "UDF Volume";
  d.volumeSequenceNumber = 1;
  d.maximumVolumeSequenceNumber = 1;
  d.interchangeLevel = 2;
  d.maximumInterchangeLevel = 2;
  d.characterSetList = 1;
  d.maximumCharacterSetList = 1;
  d.volumeSetIdentifier = l.volumeSetIdentifier;
  d.ostaCharacterSets = true;
  d.recordingDateAndTime = Now(l);
  d.implementationIdentifier = ImplementationId(l);
  return d;
}

ImplementationUseVolumeDescriptor MakeImplementationUseDescriptor(const VolumeLayout& l,
                                                                  uint32_t location) {
  ImplementationUseVolumeDescriptor d;
  d.tag.tagLocation = location;
  d.volumeDescriptorSequenceNumber = 5;
  d.implementationIdentifier = MakeUdfId(kUdfLvInfo, l.udfRevision, l.osClass, l.osIdentifier);
  d.ostaLvInfoCharset = true;
  d.lvInfoImplementationId = ImplementationId(l);
  return d;
}

PartitionDescriptor MakePartitionDescriptor(const VolumeLayout& l, uint32_t location) {
  PartitionDescriptor d;
  d.tag.tagLocation = location;
  d.volumeDescriptorSequenceNumber = 2;
  d.partitionFlags = 1;  // space allocated
  d.partitionNumber = kPartitionNumber;
  d.partitionContents = MakeEntityId(kNsr03);
  if (l.IsRewritable())
    d.partitionHeader.unallocatedSpaceBitmap = {
        RoundUp(BitmapBytes(l) + kSpaceBitmapHeaderSize, kSectorSize),
        ExtentType::kRecordedAllocated, 0};
  d.accessType = l.accessType;
  d.partitionStartingLocation = l.partitionStart;
  d.partitionLength = l.partitionLength;
  d.implementationIdentifier = ImplementationId(l);
  return d;
}

LogicalVolumeDescriptor MakeLogicalVolumeDescriptor(const VolumeLayout& l, uint32_t location) {
  LogicalVolumeDescriptor d;
  d.tag.tagLocation = location;
  d.volumeDescriptorSequenceNumber = 3;
  d.ostaDescriptorCharset = true;
  d.logicalBlockSize = kSectorSize;
  d.domainIdentifier = MakeDomainId(l.udfRevision);
  d.fileSetDescriptorLocation = MetadataBlock(0);
  d.implementationIdentifier = ImplementationId(l);
  d.integritySequenceExtent = {l.integrityLength * static_cast<uint32_t>(kSectorSize), l.lvid};
  PartitionMap physical;
  physical.partitionMapType = 1;
  physical.partitionMapLength = kType1MapLength;
  physical.volumeSequenceNumber = 1;
  physical.partitionNumber = kPartitionNumber;
  PartitionMap metadata;
  metadata.partitionMapType = 2;
  metadata.partitionMapLength = kType2MapLength;
  metadata.partitionTypeIdentifier =
      MakeUdfId(kUdfMetadataPartition, l.udfRevision, l.osClass, l.osIdentifier);
  metadata.volumeSequenceNumber = 1;
  metadata.partitionNumber = kPartitionNumber;
  metadata.metadataFileLocation = l.metadataFile;
  metadata.metadataMirrorFileLocation = l.metadataMirrorFile;
  metadata.metadataBitmapFileLocation = l.metadataBitmapFile;
  metadata.allocationUnitSize = 32;
  metadata.alignmentUnitSize = 32;
  metadata.flags = 0;  // the mirror shares the metadata file's extent
  d.partitionMaps = {physical, metadata};
  return d;
}

UnallocatedSpaceDescriptor MakeUnallocatedSpaceDescriptor(const VolumeLayout& l,
                                                          uint32_t location) {
  UnallocatedSpaceDescriptor d;
  d.tag.tagLocation = location;
  d.volumeDescriptorSequenceNumber = 4;
  if (l.IsRewritable()) {
    // The unused sectors around the volume structures, outside the partition.
    const uint32_t s = kSectorSize;
    d.allocationDescriptors = {
        {13 * s, 19},          {16 * s, 48},          {(192 - 4) * s, 68},
        {(288 - 257) * s, 257}, {31 * s, l.last - 287}, {224 * s, l.last - 255},
        {15 * s, l.last - 15},
    };
  }
  return d;
}

uint32_t FreePartitionBlocks(const VolumeLayout& l) {
  return l.partitionLength - l.metadataMirrorFile - 1 + (GapEnd(l) - GapStart(l));
}

LogicalVolumeIntegrityDescriptor MakeIntegrityDescriptor(const VolumeLayout& l) {
  LogicalVolumeIntegrityDescriptor d;
  d.tag.tagLocation = l.lvid;
  d.recordingDateAndTime = Now(l);
  d.integrityType = kIntegrityClose;
  d.uniqueId = kFirstFreeUniqueId;
  if (l.IsRewritable())
    d.freeSpaceTable = {FreePartitionBlocks(l), l.metadataSize - 2};
  else
    d.freeSpaceTable = {0xFFFFFFFF, 0xFFFFFFFF};
  d.sizeTable = {l.partitionLength, l.metadataSize};
  d.implementationId = ImplementationId(l);
  d.numberOfFiles = 0;
  d.numberOfDirectories = 1;
  d.minimumUdfReadRevision = kUdfRevision250;
  d.minimumUdfWriteRevision = l.udfRevision;
  d.maximumUdfWriteRevision = l.udfRevision;
  return d;
}

FileSetDescriptor MakeFileSetDescriptor(const VolumeLayout& l) {
  FileSetDescriptor d;
  d.tag.tagLocation = 0;
  d.recordingDateAndTime = Now(l);
  d.interchangeLevel = 3;
  d.maximumInterchangeLevel = 3;
  d.characterSetList = 1;
  d.maximumCharacterSetList = 1;
  d.ostaCharsets = true;
  d.fileSetIdentifier = "UDF Volume Set";
  d.rootDirectoryIcb = MetadataBlock(1);
  d.domainIdentifier = MakeDomainId(l.udfRevision);
  return d;
}

namespace {

FileEntry BaseEntry(const VolumeLayout& l, uint32_t location, uint8_t file_type,
                    uint16_t allocation) {
  FileEntry e;
  e.extended = true;
  e.tag.tagLocation = location;
  e.icbTag.strategyType = 4;
  e.icbTag.maximumNumberOfEntries = 1;
  e.icbTag.fileType = file_type;
  e.icbTag.flags = allocation;
  e.uid = 0xFFFFFFFF;
  e.gid = 0xFFFFFFFF;
  e.permissions = kDirectoryPermissions;
  const Timestamp now = Now(l);
  e.accessTime = e.modificationTime = e.creationTime = e.attributeTime = now;
  e.checkpoint = 1;
  e.implementationIdentifier = ImplementationId(l);
  return e;
}

}  // namespace

FileEntry MakeRootDirectory(const VolumeLayout& l) {
  FileEntry e = BaseEntry(l, 1, kFileTypeDirectory, kIcbEmbedded);
  e.fileLinkCount = 1;
  FileIdentifierDescriptor parent;
  parent.tag.tagLocation = 1;
  parent.fileVersionNumber = 1;
  parent.fileCharacteristics = kFidDirectory | kFidParent;
  parent.icb = MetadataBlock(1);
  e.allocationDescriptors.assign(FidLength(parent), 0);
  Encode(parent, e.allocationDescriptors);
  e.informationLength = e.objectSize = e.allocationDescriptors.size();
  return e;
}

FileEntry MakeMetadataFileEntry(const VolumeLayout& l, bool mirror) {
  FileEntry e = BaseEntry(l, mirror ? l.metadataMirrorFile : l.metadataFile,
                          mirror ? kFileTypeMetadataMirror : kFileTypeMetadata, kIcbShortAds);
  e.fileLinkCount = 0;
  e.informationLength = e.objectSize = uint64_t{l.metadataSize} * kSectorSize;
  e.logicalBlocksRecorded = l.metadataSize;
  const ShortAd extent{l.metadataSize * static_cast<uint32_t>(kSectorSize),
                       ExtentType::kRecordedAllocated, l.metadataDataStart};
  e.allocationDescriptors = EncodeShortAds(std::span(&extent, 1), true);
  return e;
}

FileEntry MakeMetadataBitmapFileEntry(const VolumeLayout& l) {
  FileEntry e = BaseEntry(l, l.metadataBitmapFile, kFileTypeMetadataBitmap, kIcbEmbedded);
  e.fileLinkCount = 0;
  const uint32_t bytes = l.metadataSize / 8;
  SpaceBitmapDescriptor sbd;
  sbd.tag.tagLocation = l.metadataBitmapFile;
  sbd.numberOfBits = l.metadataSize;
  sbd.numberOfBytes = bytes;
  e.allocationDescriptors.assign(kSpaceBitmapHeaderSize + bytes, 0xFF);
  Encode(sbd, e.allocationDescriptors);
  e.allocationDescriptors[kSpaceBitmapHeaderSize] = 0xFC;  // FSD and root directory in use
  e.informationLength = e.objectSize = e.allocationDescriptors.size();
  return e;
}

std::vector<uint8_t> BuildSpaceBitmap(const VolumeLayout& l) {
  const uint32_t bytes = BitmapBytes(l);
  std::vector<uint8_t> out(kSpaceBitmapHeaderSize + bytes, 0xFF);
  uint8_t* bits = out.data() + kSpaceBitmapHeaderSize;
  auto set = [&](uint32_t block, bool free) {
    const uint8_t mask = static_cast<uint8_t>(1u << (block & 7));
    if (free)
      bits[block >> 3] |= mask;
    else
      bits[block >> 3] &= static_cast<uint8_t>(~mask);
  };
  for (uint32_t b = l.partitionLength; b < bytes * 8; ++b) set(b, false);  // past the end
  const uint32_t used_end = std::min(l.metadataMirrorFile + 1, l.partitionLength);
  std::memset(bits, 0, used_end / 8);
  for (uint32_t b = used_end / 8 * 8; b < used_end; ++b) set(b, false);
  for (uint32_t b = GapStart(l); b < GapEnd(l) && b < l.partitionLength; ++b) set(b, true);
  SpaceBitmapDescriptor sbd;
  sbd.tag.tagLocation = 0;
  sbd.numberOfBits = l.partitionLength;
  sbd.numberOfBytes = bytes;
  Encode(sbd, out);
  return out;
}

VolumeImage::VolumeImage(const VolumeLayout& l) : layout_(l) {
  std::vector<uint8_t> buffer(kSectorSize);
  auto put = [&](uint32_t lba, const auto& descriptor) {
    std::fill(buffer.begin(), buffer.end(), 0);
    Encode(descriptor, buffer);
    Put(lba, buffer);
  };
  // Volume recognition sequence.
  put(l.volumeStart + 16, VolumeStructureDescriptor{0, "BEA01", 1});
  put(l.volumeStart + 17, VolumeStructureDescriptor{0, "NSR03", 1});
  put(l.volumeStart + 18, VolumeStructureDescriptor{0, "TEA01", 1});
  // Main and reserve volume descriptor sequences, identical but for tag locations.
  for (uint32_t base : {l.mainVds, l.reserveVds}) {
    put(base + 0, MakePrimaryVolumeDescriptor(l, base + 0));
    put(base + 1, MakeImplementationUseDescriptor(l, base + 1));
    put(base + 2, MakePartitionDescriptor(l, base + 2));
    put(base + 3, MakeLogicalVolumeDescriptor(l, base + 3));
    put(base + 4, MakeUnallocatedSpaceDescriptor(l, base + 4));
    TerminatingDescriptor td;
    td.tag.tagLocation = base + 5;
    put(base + 5, td);
  }
  put(l.lvid, MakeIntegrityDescriptor(l));
  TerminatingDescriptor td;
  td.tag.tagLocation = l.lvid + 1;
  put(l.lvid + 1, td);
  for (uint32_t at : {256u, l.last - 256, l.last}) put(at, MakeAnchor(l, at));

  const uint32_t ps = l.partitionStart;
  if (l.IsRewritable()) {
    bitmap_ = BuildSpaceBitmap(l);
    bitmap_lba_ = ps;
    put(ps + l.metadataBitmapFile, MakeMetadataBitmapFileEntry(l));
  }
  put(ps + l.metadataFile, MakeMetadataFileEntry(l, false));
  put(ps + l.metadataMirrorFile, MakeMetadataFileEntry(l, true));
  put(ps + l.metadataDataStart, MakeFileSetDescriptor(l));
  put(ps + l.metadataDataStart + 1, MakeRootDirectory(l));
}

void VolumeImage::Put(uint32_t lba, std::span<const uint8_t> bytes) {
  Sector& s = sectors_[lba];
  std::copy(bytes.begin(), bytes.begin() + kSectorSize, s.begin());
}

void VolumeImage::FillSector(uint32_t lba, uint8_t* out) const {
  auto it = sectors_.find(lba);
  if (it != sectors_.end()) {
    std::memcpy(out, it->second.data(), kSectorSize);
    return;
  }
  std::memset(out, 0, kSectorSize);
  if (!bitmap_.empty() && lba >= bitmap_lba_) {
    const uint64_t offset = uint64_t{lba - bitmap_lba_} * kSectorSize;
    if (offset < bitmap_.size())
      std::memcpy(out, bitmap_.data() + offset,
                  std::min<uint64_t>(kSectorSize, bitmap_.size() - offset));
  }
}

std::vector<WriteUnit> WritePlan(const VolumeLayout& l) {
  std::vector<WriteUnit> plan;
  auto unit = [&](uint32_t lba) {
    const uint64_t remaining = uint64_t{l.last} + 1 - lba;
    plan.push_back({lba, static_cast<uint16_t>(std::min<uint64_t>(kSectorsPerUnit, remaining))});
  };
  const uint32_t ps = l.partitionStart;
  if (l.IsRewritable()) {
    for (uint32_t at = 0; at <= 256; at += kSectorsPerUnit) unit(at);  // 0 ... 256
    // Space bitmap, then the metadata file and metadata bitmap file entries in
    // its last unit or in the units that follow it.
    for (uint32_t at = 0; at < l.metadataBitmapFile + 1; at += kSectorsPerUnit) unit(ps + at);
    for (uint32_t at = 0; at < kBdReMetadataSize; at += kSectorsPerUnit)
      unit(ps + l.metadataDataStart + at);
    unit(ps + l.metadataMirrorFile);
    unit(l.last - 287);
    for (uint32_t at = l.last - 255; at < l.last - 31; at += kSectorsPerUnit) unit(at);
    unit(l.last - 31);
    return plan;
  }
  // Write-once: sequential within each track.
  for (uint32_t at = l.firstWritable; at < l.volumeStart;) {
    const uint32_t n = std::min(kSectorsPerUnit, l.volumeStart - at);
    plan.push_back({at, static_cast<uint16_t>(n)});
    at += n;
  }
  unit(l.volumeStart);
  unit(l.mainVds);
  unit(l.lvid);
  for (uint32_t at = l.volumeStart + 96; at < 256;) {
    const uint32_t n = std::min(kSectorsPerUnit, 256 - at);
    plan.push_back({at, static_cast<uint16_t>(n)});
    at += n;
  }
  unit(256);
  unit(ps + l.metadataFile);
  unit(ps + l.metadataDataStart);
  unit(ps + l.metadataMirrorFile);
  unit(l.last - 287);
  if (l.lastTrackNextWritable != kNoAddress)
    for (uint32_t at = l.lastTrackNextWritable + 32; at + 32 <= l.last - 31; at += 32) unit(at);
  unit(l.last - 31);
  return plan;
}

}  // namespace kelva::udf
