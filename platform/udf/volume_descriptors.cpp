#include "platform/udf/volume_descriptors.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"

namespace kelva::udf {
namespace {

constexpr size_t kVolumeDescriptorSize = 512;

// Clears the descriptor area and checks that it fits.
bool Begin(std::span<uint8_t> out, size_t size) {
  if (out.size() < size) return false;
  std::memset(out.data(), 0, size);
  return true;
}

size_t Finish(std::span<uint8_t> out, const DescriptorTag& tag, uint16_t ident, size_t size,
              size_t crc_length) {
  FinishTag(out.first(size), ident, tag.tagLocation, static_cast<uint16_t>(crc_length),
            tag.tagSerialNum);
  return size;
}

std::span<uint8_t> Field(std::span<uint8_t> out, size_t offset, size_t size) {
  return out.subspan(offset, size);
}
std::span<const uint8_t> Field(std::span<const uint8_t> in, size_t offset, size_t size) {
  return in.subspan(offset, size);
}

}  // namespace

// ---- Volume recognition sequence ----

size_t Encode(const VolumeStructureDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kSectorSize) || d.standardIdentifier.size() != 5) return 0;
  out[0] = d.structureType;
  std::memcpy(out.data() + 1, d.standardIdentifier.data(), 5);
  out[6] = d.structureVersion;
  return kSectorSize;
}

bool Decode(std::span<const uint8_t> in, VolumeStructureDescriptor* d) {
  if (in.size() < 7) return false;
  d->structureType = in[0];
  d->standardIdentifier.assign(reinterpret_cast<const char*>(in.data() + 1), 5);
  d->structureVersion = in[6];
  return true;
}

// ---- AVDP ----

size_t Encode(const AnchorVolumeDescriptorPointer& d, std::span<uint8_t> out) {
  if (!Begin(out, kVolumeDescriptorSize)) return 0;
  EncodeExtentAd(&out[16], d.mainVolumeDescriptorSequenceExtent);
  EncodeExtentAd(&out[24], d.reserveVolumeDescriptorSequenceExtent);
  return Finish(out, d.tag, kTagAnchorPointer, kVolumeDescriptorSize, 496);
}

bool Decode(std::span<const uint8_t> in, AnchorVolumeDescriptorPointer* d) {
  if (in.size() < kVolumeDescriptorSize) return false;
  d->tag = DecodeTag(in.data());
  d->mainVolumeDescriptorSequenceExtent = DecodeExtentAd(&in[16]);
  d->reserveVolumeDescriptorSequenceExtent = DecodeExtentAd(&in[24]);
  return true;
}

// ---- PVD ----

size_t Encode(const PrimaryVolumeDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kVolumeDescriptorSize)) return 0;
  uint8_t* p = out.data();
  Put32(p + 16, d.volumeDescriptorSequenceNumber);
  Put32(p + 20, d.primaryVolumeDescriptorNumber);
  EncodeDString(Field(out, 24, 32), d.volumeIdentifier);
  Put16(p + 56, d.volumeSequenceNumber);
  Put16(p + 58, d.maximumVolumeSequenceNumber);
  Put16(p + 60, d.interchangeLevel);
  Put16(p + 62, d.maximumInterchangeLevel);
  Put32(p + 64, d.characterSetList);
  Put32(p + 68, d.maximumCharacterSetList);
  EncodeDString(Field(out, 72, 128), d.volumeSetIdentifier);
  if (d.ostaCharacterSets) {
    EncodeOstaCharSpec(p + 200);
    EncodeOstaCharSpec(p + 264);
  }
  EncodeExtentAd(p + 328, d.volumeAbstract);
  EncodeExtentAd(p + 336, d.volumeCopyrightNotice);
  EncodeEntityId(p + 344, d.applicationIdentifier);
  EncodeTimestamp(p + 376, d.recordingDateAndTime);
  EncodeEntityId(p + 388, d.implementationIdentifier);
  std::memcpy(p + 420, d.implementationUse.data(), d.implementationUse.size());
  Put32(p + 484, d.predecessorVolumeDescriptorSequenceLocation);
  Put16(p + 488, d.flags);
  return Finish(out, d.tag, kTagPrimaryVolume, kVolumeDescriptorSize, 496);
}

bool Decode(std::span<const uint8_t> in, PrimaryVolumeDescriptor* d) {
  if (in.size() < kVolumeDescriptorSize) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->volumeDescriptorSequenceNumber = Get32(p + 16);
  d->primaryVolumeDescriptorNumber = Get32(p + 20);
  d->volumeIdentifier = DecodeDString(Field(in, 24, 32));
  d->volumeSequenceNumber = Get16(p + 56);
  d->maximumVolumeSequenceNumber = Get16(p + 58);
  d->interchangeLevel = Get16(p + 60);
  d->maximumInterchangeLevel = Get16(p + 62);
  d->characterSetList = Get32(p + 64);
  d->maximumCharacterSetList = Get32(p + 68);
  d->volumeSetIdentifier = DecodeDString(Field(in, 72, 128));
  d->ostaCharacterSets = IsOstaCharSpec(p + 200) && IsOstaCharSpec(p + 264);
  d->volumeAbstract = DecodeExtentAd(p + 328);
  d->volumeCopyrightNotice = DecodeExtentAd(p + 336);
  d->applicationIdentifier = DecodeEntityId(p + 344);
  d->recordingDateAndTime = DecodeTimestamp(p + 376);
  d->implementationIdentifier = DecodeEntityId(p + 388);
  std::memcpy(d->implementationUse.data(), p + 420, d->implementationUse.size());
  d->predecessorVolumeDescriptorSequenceLocation = Get32(p + 484);
  d->flags = Get16(p + 488);
  return true;
}

// ---- IUVD ----

size_t Encode(const ImplementationUseVolumeDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kVolumeDescriptorSize)) return 0;
  uint8_t* p = out.data();
  Put32(p + 16, d.volumeDescriptorSequenceNumber);
  EncodeEntityId(p + 20, d.implementationIdentifier);
  if (d.ostaLvInfoCharset) EncodeOstaCharSpec(p + 52);
  EncodeDString(Field(out, 116, 128), d.logicalVolumeIdentifier);
  EncodeDString(Field(out, 244, 36), d.lvInfo1);
  EncodeDString(Field(out, 280, 36), d.lvInfo2);
  EncodeDString(Field(out, 316, 36), d.lvInfo3);
  EncodeEntityId(p + 352, d.lvInfoImplementationId);
  std::memcpy(p + 384, d.lvInfoImplementationUse.data(), d.lvInfoImplementationUse.size());
  return Finish(out, d.tag, kTagImplementationUse, kVolumeDescriptorSize, 496);
}

bool Decode(std::span<const uint8_t> in, ImplementationUseVolumeDescriptor* d) {
  if (in.size() < kVolumeDescriptorSize) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->volumeDescriptorSequenceNumber = Get32(p + 16);
  d->implementationIdentifier = DecodeEntityId(p + 20);
  d->ostaLvInfoCharset = IsOstaCharSpec(p + 52);
  d->logicalVolumeIdentifier = DecodeDString(Field(in, 116, 128));
  d->lvInfo1 = DecodeDString(Field(in, 244, 36));
  d->lvInfo2 = DecodeDString(Field(in, 280, 36));
  d->lvInfo3 = DecodeDString(Field(in, 316, 36));
  d->lvInfoImplementationId = DecodeEntityId(p + 352);
  std::memcpy(d->lvInfoImplementationUse.data(), p + 384, d->lvInfoImplementationUse.size());
  return true;
}

// ---- PD ----

size_t Encode(const PartitionDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kVolumeDescriptorSize)) return 0;
  uint8_t* p = out.data();
  Put32(p + 16, d.volumeDescriptorSequenceNumber);
  Put16(p + 20, d.partitionFlags);
  Put16(p + 22, d.partitionNumber);
  EncodeEntityId(p + 24, d.partitionContents);
  const PartitionHeaderDescriptor& h = d.partitionHeader;
  EncodeShortAd(p + 56, h.unallocatedSpaceTable);
  EncodeShortAd(p + 64, h.unallocatedSpaceBitmap);
  EncodeShortAd(p + 72, h.partitionIntegrityTable);
  EncodeShortAd(p + 80, h.freedSpaceTable);
  EncodeShortAd(p + 88, h.freedSpaceBitmap);
  Put32(p + 184, d.accessType);
  Put32(p + 188, d.partitionStartingLocation);
  Put32(p + 192, d.partitionLength);
  EncodeEntityId(p + 196, d.implementationIdentifier);
  std::memcpy(p + 228, d.implementationUse.data(), d.implementationUse.size());
  return Finish(out, d.tag, kTagPartition, kVolumeDescriptorSize, 496);
}

bool Decode(std::span<const uint8_t> in, PartitionDescriptor* d) {
  if (in.size() < kVolumeDescriptorSize) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->volumeDescriptorSequenceNumber = Get32(p + 16);
  d->partitionFlags = Get16(p + 20);
  d->partitionNumber = Get16(p + 22);
  d->partitionContents = DecodeEntityId(p + 24);
  PartitionHeaderDescriptor& h = d->partitionHeader;
  h.unallocatedSpaceTable = DecodeShortAd(p + 56);
  h.unallocatedSpaceBitmap = DecodeShortAd(p + 64);
  h.partitionIntegrityTable = DecodeShortAd(p + 72);
  h.freedSpaceTable = DecodeShortAd(p + 80);
  h.freedSpaceBitmap = DecodeShortAd(p + 88);
  d->accessType = Get32(p + 184);
  d->partitionStartingLocation = Get32(p + 188);
  d->partitionLength = Get32(p + 192);
  d->implementationIdentifier = DecodeEntityId(p + 196);
  std::memcpy(d->implementationUse.data(), p + 228, d->implementationUse.size());
  return true;
}

// ---- LVD ----

namespace {
constexpr size_t kLvdMapsOffset = 440;

size_t MapLength(const PartitionMap& m) {
  if (m.partitionMapType == 1) return kType1MapLength;
  if (m.IsMetadata() || m.raw.empty()) return kType2MapLength;
  return m.raw.size();
}

void EncodeMap(uint8_t* p, const PartitionMap& m) {
  if (m.partitionMapType == 2 && !m.IsMetadata() && !m.raw.empty()) {
    std::memcpy(p, m.raw.data(), m.raw.size());
    return;
  }
  p[0] = m.partitionMapType;
  p[1] = static_cast<uint8_t>(MapLength(m));
  if (m.partitionMapType == 1) {
    Put16(p + 2, m.volumeSequenceNumber);
    Put16(p + 4, m.partitionNumber);
    return;
  }
  EncodeEntityId(p + 4, m.partitionTypeIdentifier);
  Put16(p + 36, m.volumeSequenceNumber);
  Put16(p + 38, m.partitionNumber);
  Put32(p + 40, m.metadataFileLocation);
  Put32(p + 44, m.metadataMirrorFileLocation);
  Put32(p + 48, m.metadataBitmapFileLocation);
  Put32(p + 52, m.allocationUnitSize);
  Put16(p + 56, m.alignmentUnitSize);
  p[58] = m.flags;
}

bool DecodeMap(std::span<const uint8_t> in, PartitionMap* m) {
  if (in.size() < 2) return false;
  m->partitionMapType = in[0];
  m->partitionMapLength = in[1];
  if (m->partitionMapLength < 2 || m->partitionMapLength > in.size()) return false;
  const uint8_t* p = in.data();
  m->raw.assign(in.begin(), in.begin() + m->partitionMapLength);
  if (m->partitionMapType == 1) {
    if (m->partitionMapLength < kType1MapLength) return false;
    m->volumeSequenceNumber = Get16(p + 2);
    m->partitionNumber = Get16(p + 4);
  } else if (m->partitionMapType == 2 && m->partitionMapLength >= kType2MapLength) {
    m->partitionTypeIdentifier = DecodeEntityId(p + 4);
    m->volumeSequenceNumber = Get16(p + 36);
    m->partitionNumber = Get16(p + 38);
    if (m->IsMetadata()) {
      m->metadataFileLocation = Get32(p + 40);
      m->metadataMirrorFileLocation = Get32(p + 44);
      m->metadataBitmapFileLocation = Get32(p + 48);
      m->allocationUnitSize = Get32(p + 52);
      m->alignmentUnitSize = Get16(p + 56);
      m->flags = p[58];
    }
  }
  return true;
}
}  // namespace

size_t Encode(const LogicalVolumeDescriptor& d, std::span<uint8_t> out) {
  size_t table = 0;
  for (const PartitionMap& m : d.partitionMaps) table += MapLength(m);
  const size_t size = kLvdMapsOffset + table;
  if (size > kSectorSize || !Begin(out, size)) return 0;
  uint8_t* p = out.data();
  Put32(p + 16, d.volumeDescriptorSequenceNumber);
  if (d.ostaDescriptorCharset) EncodeOstaCharSpec(p + 20);
  EncodeDString(Field(out, 84, 128), d.logicalVolumeIdentifier);
  Put32(p + 212, d.logicalBlockSize);
  EncodeEntityId(p + 216, d.domainIdentifier);
  EncodeLongAd(p + 248, d.fileSetDescriptorLocation);
  Put32(p + 264, static_cast<uint32_t>(table));
  Put32(p + 268, static_cast<uint32_t>(d.partitionMaps.size()));
  EncodeEntityId(p + 272, d.implementationIdentifier);
  std::memcpy(p + 304, d.implementationUse.data(), d.implementationUse.size());
  EncodeExtentAd(p + 432, d.integritySequenceExtent);
  size_t at = kLvdMapsOffset;
  for (const PartitionMap& m : d.partitionMaps) {
    EncodeMap(p + at, m);
    at += MapLength(m);
  }
  return Finish(out, d.tag, kTagLogicalVolume, size, size - kTagSize);
}

bool Decode(std::span<const uint8_t> in, LogicalVolumeDescriptor* d) {
  if (in.size() < kLvdMapsOffset) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->volumeDescriptorSequenceNumber = Get32(p + 16);
  d->ostaDescriptorCharset = IsOstaCharSpec(p + 20);
  d->logicalVolumeIdentifier = DecodeDString(Field(in, 84, 128));
  d->logicalBlockSize = Get32(p + 212);
  d->domainIdentifier = DecodeEntityId(p + 216);
  d->fileSetDescriptorLocation = DecodeLongAd(p + 248);
  const uint32_t table = Get32(p + 264);
  const uint32_t count = Get32(p + 268);
  d->implementationIdentifier = DecodeEntityId(p + 272);
  std::memcpy(d->implementationUse.data(), p + 304, d->implementationUse.size());
  d->integritySequenceExtent = DecodeExtentAd(p + 432);
  d->partitionMaps.clear();
  if (table > in.size() - kLvdMapsOffset) return false;
  std::span<const uint8_t> maps = in.subspan(kLvdMapsOffset, table);
  for (uint32_t i = 0; i < count; ++i) {
    PartitionMap m;
    if (!DecodeMap(maps, &m)) return false;
    maps = maps.subspan(m.partitionMapLength);
    d->partitionMaps.push_back(std::move(m));
  }
  return true;
}

// ---- USD ----

size_t Encode(const UnallocatedSpaceDescriptor& d, std::span<uint8_t> out) {
  const size_t size = 24 + kExtentAdSize * d.allocationDescriptors.size();
  if (size > kSectorSize || !Begin(out, size)) return 0;
  uint8_t* p = out.data();
  Put32(p + 16, d.volumeDescriptorSequenceNumber);
  Put32(p + 20, static_cast<uint32_t>(d.allocationDescriptors.size()));
  for (size_t i = 0; i < d.allocationDescriptors.size(); ++i)
    EncodeExtentAd(p + 24 + kExtentAdSize * i, d.allocationDescriptors[i]);
  return Finish(out, d.tag, kTagUnallocatedSpace, size, size - kTagSize);
}

bool Decode(std::span<const uint8_t> in, UnallocatedSpaceDescriptor* d) {
  if (in.size() < 24) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->volumeDescriptorSequenceNumber = Get32(p + 16);
  const uint32_t count = Get32(p + 20);
  if (count > (in.size() - 24) / kExtentAdSize) return false;
  d->allocationDescriptors.clear();
  for (uint32_t i = 0; i < count; ++i)
    d->allocationDescriptors.push_back(DecodeExtentAd(p + 24 + kExtentAdSize * i));
  return true;
}

// ---- TD ----

size_t Encode(const TerminatingDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kVolumeDescriptorSize)) return 0;
  return Finish(out, d.tag, kTagTerminating, kVolumeDescriptorSize, 496);
}

// ---- LVID ----

size_t Encode(const LogicalVolumeIntegrityDescriptor& d, std::span<uint8_t> out) {
  const size_t partitions = d.freeSpaceTable.size();
  if (d.sizeTable.size() != partitions) return 0;
  const size_t impl_use = kLvidImplementationUseSize + d.extraImplementationUse.size();
  const size_t size = 80 + 8 * partitions + impl_use;
  if (size > kSectorSize || !Begin(out, size)) return 0;
  uint8_t* p = out.data();
  EncodeTimestamp(p + 16, d.recordingDateAndTime);
  Put32(p + 28, d.integrityType);
  EncodeExtentAd(p + 32, d.nextIntegrityExtent);
  Put64(p + 40, d.uniqueId);
  Put32(p + 72, static_cast<uint32_t>(partitions));
  Put32(p + 76, static_cast<uint32_t>(impl_use));
  for (size_t i = 0; i < partitions; ++i) {
    Put32(p + 80 + 4 * i, d.freeSpaceTable[i]);
    Put32(p + 80 + 4 * (partitions + i), d.sizeTable[i]);
  }
  uint8_t* iu = p + 80 + 8 * partitions;
  EncodeEntityId(iu, d.implementationId);
  Put32(iu + 32, d.numberOfFiles);
  Put32(iu + 36, d.numberOfDirectories);
  Put16(iu + 40, d.minimumUdfReadRevision);
  Put16(iu + 42, d.minimumUdfWriteRevision);
  Put16(iu + 44, d.maximumUdfWriteRevision);
  if (!d.extraImplementationUse.empty())
    std::memcpy(iu + 46, d.extraImplementationUse.data(), d.extraImplementationUse.size());
  return Finish(out, d.tag, kTagLogicalVolumeIntegrity, size, size - kTagSize);
}

bool Decode(std::span<const uint8_t> in, LogicalVolumeIntegrityDescriptor* d) {
  if (in.size() < 80) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->recordingDateAndTime = DecodeTimestamp(p + 16);
  d->integrityType = Get32(p + 28);
  d->nextIntegrityExtent = DecodeExtentAd(p + 32);
  d->uniqueId = Get64(p + 40);
  const uint32_t partitions = Get32(p + 72);
  const uint32_t impl_use = Get32(p + 76);
  d->lengthOfImplementationUse = impl_use;
  const uint64_t size = 80 + 8ULL * partitions + impl_use;
  if (impl_use < kLvidImplementationUseSize || size > in.size()) return false;
  d->freeSpaceTable.assign(partitions, 0);
  d->sizeTable.assign(partitions, 0);
  for (uint32_t i = 0; i < partitions; ++i) {
    d->freeSpaceTable[i] = Get32(p + 80 + 4 * i);
    d->sizeTable[i] = Get32(p + 80 + 4 * (partitions + i));
  }
  const uint8_t* iu = p + 80 + 8 * partitions;
  d->implementationId = DecodeEntityId(iu);
  d->numberOfFiles = Get32(iu + 32);
  d->numberOfDirectories = Get32(iu + 36);
  d->minimumUdfReadRevision = Get16(iu + 40);
  d->minimumUdfWriteRevision = Get16(iu + 42);
  d->maximumUdfWriteRevision = Get16(iu + 44);
  d->extraImplementationUse.assign(iu + 46, iu + impl_use);
  return true;
}

}  // namespace kelva::udf
