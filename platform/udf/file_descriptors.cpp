#include "platform/udf/file_descriptors.h"

#include <cstring>

#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"

namespace kelva::udf {
namespace {

constexpr size_t kFileSetDescriptorSize = 512;
constexpr size_t kFidFixedSize = 38;

bool Begin(std::span<uint8_t> out, size_t size) {
  if (out.size() < size) return false;
  std::memset(out.data(), 0, size);
  return true;
}

}  // namespace

// ---- SBD ----

size_t Encode(const SpaceBitmapDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kSpaceBitmapHeaderSize)) return 0;
  Put32(&out[16], d.numberOfBits);
  Put32(&out[20], d.numberOfBytes);
  FinishTag(out.first(kSpaceBitmapHeaderSize), kTagSpaceBitmap, d.tag.tagLocation, 8,
            d.tag.tagSerialNum);
  return kSpaceBitmapHeaderSize;
}

bool Decode(std::span<const uint8_t> in, SpaceBitmapDescriptor* d) {
  if (in.size() < kSpaceBitmapHeaderSize) return false;
  d->tag = DecodeTag(in.data());
  d->numberOfBits = Get32(&in[16]);
  d->numberOfBytes = Get32(&in[20]);
  return true;
}

// ---- FSD ----

size_t Encode(const FileSetDescriptor& d, std::span<uint8_t> out) {
  if (!Begin(out, kFileSetDescriptorSize)) return 0;
  uint8_t* p = out.data();
  EncodeTimestamp(p + 16, d.recordingDateAndTime);
  Put16(p + 28, d.interchangeLevel);
  Put16(p + 30, d.maximumInterchangeLevel);
  Put32(p + 32, d.characterSetList);
  Put32(p + 36, d.maximumCharacterSetList);
  Put32(p + 40, d.fileSetNumber);
  Put32(p + 44, d.fileSetDescriptorNumber);
  if (d.ostaCharsets) {
    EncodeOstaCharSpec(p + 48);
    EncodeOstaCharSpec(p + 240);
  }
  EncodeDString(out.subspan(112, 128), d.logicalVolumeIdentifier);
  EncodeDString(out.subspan(304, 32), d.fileSetIdentifier);
  EncodeDString(out.subspan(336, 32), d.copyrightFileIdentifier);
  EncodeDString(out.subspan(368, 32), d.abstractFileIdentifier);
  EncodeLongAd(p + 400, d.rootDirectoryIcb);
  EncodeEntityId(p + 416, d.domainIdentifier);
  EncodeLongAd(p + 448, d.nextExtent);
  EncodeLongAd(p + 464, d.systemStreamDirectoryIcb);
  FinishTag(out.first(kFileSetDescriptorSize), kTagFileSet, d.tag.tagLocation, 496,
            d.tag.tagSerialNum);
  return kFileSetDescriptorSize;
}

bool Decode(std::span<const uint8_t> in, FileSetDescriptor* d) {
  if (in.size() < kFileSetDescriptorSize) return false;
  const uint8_t* p = in.data();
  d->tag = DecodeTag(p);
  d->recordingDateAndTime = DecodeTimestamp(p + 16);
  d->interchangeLevel = Get16(p + 28);
  d->maximumInterchangeLevel = Get16(p + 30);
  d->characterSetList = Get32(p + 32);
  d->maximumCharacterSetList = Get32(p + 36);
  d->fileSetNumber = Get32(p + 40);
  d->fileSetDescriptorNumber = Get32(p + 44);
  d->ostaCharsets = IsOstaCharSpec(p + 48) && IsOstaCharSpec(p + 240);
  d->logicalVolumeIdentifier = DecodeDString(in.subspan(112, 128));
  d->fileSetIdentifier = DecodeDString(in.subspan(304, 32));
  d->copyrightFileIdentifier = DecodeDString(in.subspan(336, 32));
  d->abstractFileIdentifier = DecodeDString(in.subspan(368, 32));
  d->rootDirectoryIcb = DecodeLongAd(p + 400);
  d->domainIdentifier = DecodeEntityId(p + 416);
  d->nextExtent = DecodeLongAd(p + 448);
  d->systemStreamDirectoryIcb = DecodeLongAd(p + 464);
  return true;
}

// ---- FID ----

size_t FidLength(const FileIdentifierDescriptor& d) {
  return (kFidFixedSize + d.fileIdentifier.size() + d.implementationUse.size() + 3) & ~size_t{3};
}

size_t Encode(const FileIdentifierDescriptor& d, std::span<uint8_t> out) {
  const size_t size = FidLength(d);
  if (d.fileIdentifier.size() > 255 || d.implementationUse.size() > 0xFFFF ||
      size > 0xFFFF + kTagSize || !Begin(out, size))
    return 0;
  uint8_t* p = out.data();
  Put16(p + 16, d.fileVersionNumber);
  p[18] = d.fileCharacteristics;
  p[19] = static_cast<uint8_t>(d.fileIdentifier.size());
  EncodeLongAd(p + 20, d.icb);
  Put16(p + 36, static_cast<uint16_t>(d.implementationUse.size()));
  if (!d.implementationUse.empty())
    std::memcpy(p + 38, d.implementationUse.data(), d.implementationUse.size());
  if (!d.fileIdentifier.empty())
    std::memcpy(p + 38 + d.implementationUse.size(), d.fileIdentifier.data(),
                d.fileIdentifier.size());
  FinishTag(out.first(size), kTagFileIdentifier, d.tag.tagLocation,
            static_cast<uint16_t>(size - kTagSize), d.tag.tagSerialNum);
  return size;
}

bool Decode(std::span<const uint8_t> in, FileIdentifierDescriptor* d, size_t* consumed) {
  if (in.size() < kFidFixedSize) return false;
  const uint8_t* p = in.data();
  const size_t name_length = p[19];
  const size_t iu_length = Get16(p + 36);
  const size_t size = (kFidFixedSize + name_length + iu_length + 3) & ~size_t{3};
  if (kFidFixedSize + name_length + iu_length > in.size()) return false;
  d->tag = DecodeTag(p);
  d->fileVersionNumber = Get16(p + 16);
  d->fileCharacteristics = p[18];
  d->icb = DecodeLongAd(p + 20);
  d->implementationUse.assign(p + 38, p + 38 + iu_length);
  d->fileIdentifier.assign(p + 38 + iu_length, p + 38 + iu_length + name_length);
  if (consumed) *consumed = size;
  return true;
}

// ---- ICB tag and file entries ----

void EncodeIcbTag(uint8_t* p, const IcbTag& t) {
  Put32(p, t.priorRecordedNumberOfDirectEntries);
  Put16(p + 4, t.strategyType);
  Put16(p + 6, t.strategyParameter);
  Put16(p + 8, t.maximumNumberOfEntries);
  p[10] = 0;
  p[11] = t.fileType;
  EncodeLbAddr(p + 12, t.parentIcbLocation);
  Put16(p + 18, t.flags);
}

IcbTag DecodeIcbTag(const uint8_t* p) {
  IcbTag t;
  t.priorRecordedNumberOfDirectEntries = Get32(p);
  t.strategyType = Get16(p + 4);
  t.strategyParameter = Get16(p + 6);
  t.maximumNumberOfEntries = Get16(p + 8);
  t.fileType = p[11];
  t.parentIcbLocation = DecodeLbAddr(p + 12);
  t.flags = Get16(p + 18);
  return t;
}

size_t Encode(const FileEntry& d, std::span<uint8_t> out) {
  const size_t header = d.extended ? kExtendedFileEntryHeaderSize : kFileEntryHeaderSize;
  const size_t size = header + d.extendedAttributes.size() + d.allocationDescriptors.size();
  if (size > kSectorSize || !Begin(out, size)) return 0;
  uint8_t* p = out.data();
  EncodeIcbTag(p + 16, d.icbTag);
  Put32(p + 36, d.uid);
  Put32(p + 40, d.gid);
  Put32(p + 44, d.permissions);
  Put16(p + 48, d.fileLinkCount);
  p[50] = d.recordFormat;
  p[51] = d.recordDisplayAttributes;
  Put32(p + 52, d.recordLength);
  Put64(p + 56, d.informationLength);
  if (d.extended) {
    Put64(p + 64, d.objectSize);
    Put64(p + 72, d.logicalBlocksRecorded);
    EncodeTimestamp(p + 80, d.accessTime);
    EncodeTimestamp(p + 92, d.modificationTime);
    EncodeTimestamp(p + 104, d.creationTime);
    EncodeTimestamp(p + 116, d.attributeTime);
    Put32(p + 128, d.checkpoint);
    EncodeLongAd(p + 136, d.extendedAttributeIcb);
    EncodeLongAd(p + 152, d.streamDirectoryIcb);
    EncodeEntityId(p + 168, d.implementationIdentifier);
    Put64(p + 200, d.uniqueId);
    Put32(p + 208, static_cast<uint32_t>(d.extendedAttributes.size()));
    Put32(p + 212, static_cast<uint32_t>(d.allocationDescriptors.size()));
  } else {
    Put64(p + 64, d.logicalBlocksRecorded);
    EncodeTimestamp(p + 72, d.accessTime);
    EncodeTimestamp(p + 84, d.modificationTime);
    EncodeTimestamp(p + 96, d.attributeTime);
    Put32(p + 108, d.checkpoint);
    EncodeLongAd(p + 112, d.extendedAttributeIcb);
    EncodeEntityId(p + 128, d.implementationIdentifier);
    Put64(p + 160, d.uniqueId);
    Put32(p + 168, static_cast<uint32_t>(d.extendedAttributes.size()));
    Put32(p + 172, static_cast<uint32_t>(d.allocationDescriptors.size()));
  }
  uint8_t* tail = p + header;
  if (!d.extendedAttributes.empty())
    std::memcpy(tail, d.extendedAttributes.data(), d.extendedAttributes.size());
  if (!d.allocationDescriptors.empty())
    std::memcpy(tail + d.extendedAttributes.size(), d.allocationDescriptors.data(),
                d.allocationDescriptors.size());
  FinishTag(out.first(size), d.extended ? kTagExtendedFileEntry : kTagFileEntry,
            d.tag.tagLocation, static_cast<uint16_t>(size - kTagSize), d.tag.tagSerialNum);
  return size;
}

bool Decode(std::span<const uint8_t> in, FileEntry* d) {
  if (in.size() < kFileEntryHeaderSize) return false;
  const uint8_t* p = in.data();
  *d = FileEntry{};
  d->tag = DecodeTag(p);
  d->extended = d->tag.tagIdent == kTagExtendedFileEntry;
  const size_t header = d->extended ? kExtendedFileEntryHeaderSize : kFileEntryHeaderSize;
  if (in.size() < header) return false;
  d->icbTag = DecodeIcbTag(p + 16);
  d->uid = Get32(p + 36);
  d->gid = Get32(p + 40);
  d->permissions = Get32(p + 44);
  d->fileLinkCount = Get16(p + 48);
  d->recordFormat = p[50];
  d->recordDisplayAttributes = p[51];
  d->recordLength = Get32(p + 52);
  d->informationLength = Get64(p + 56);
  uint32_t ea_length = 0;
  uint32_t ad_length = 0;
  if (d->extended) {
    d->objectSize = Get64(p + 64);
    d->logicalBlocksRecorded = Get64(p + 72);
    d->accessTime = DecodeTimestamp(p + 80);
    d->modificationTime = DecodeTimestamp(p + 92);
    d->creationTime = DecodeTimestamp(p + 104);
    d->attributeTime = DecodeTimestamp(p + 116);
    d->checkpoint = Get32(p + 128);
    d->extendedAttributeIcb = DecodeLongAd(p + 136);
    d->streamDirectoryIcb = DecodeLongAd(p + 152);
    d->implementationIdentifier = DecodeEntityId(p + 168);
    d->uniqueId = Get64(p + 200);
    ea_length = Get32(p + 208);
    ad_length = Get32(p + 212);
  } else {
    d->logicalBlocksRecorded = Get64(p + 64);
    d->accessTime = DecodeTimestamp(p + 72);
    d->modificationTime = DecodeTimestamp(p + 84);
    d->attributeTime = DecodeTimestamp(p + 96);
    d->checkpoint = Get32(p + 108);
    d->extendedAttributeIcb = DecodeLongAd(p + 112);
    d->implementationIdentifier = DecodeEntityId(p + 128);
    d->uniqueId = Get64(p + 160);
    ea_length = Get32(p + 168);
    ad_length = Get32(p + 172);
  }
  if (static_cast<uint64_t>(header) + ea_length + ad_length > in.size()) return false;
  d->extendedAttributes.assign(p + header, p + header + ea_length);
  d->allocationDescriptors.assign(p + header + ea_length, p + header + ea_length + ad_length);
  return true;
}

std::vector<ShortAd> DecodeShortAds(std::span<const uint8_t> ads) {
  std::vector<ShortAd> out;
  for (size_t at = 0; at + kShortAdSize <= ads.size(); at += kShortAdSize) {
    ShortAd a = DecodeShortAd(&ads[at]);
    if (a.length == 0) break;
    out.push_back(a);
  }
  return out;
}

std::vector<LongAd> DecodeLongAds(std::span<const uint8_t> ads) {
  std::vector<LongAd> out;
  for (size_t at = 0; at + kLongAdSize <= ads.size(); at += kLongAdSize) {
    LongAd a = DecodeLongAd(&ads[at]);
    if (a.length == 0) break;
    out.push_back(a);
  }
  return out;
}

std::vector<uint8_t> EncodeShortAds(std::span<const ShortAd> ads, bool terminate) {
  std::vector<uint8_t> out((ads.size() + (terminate ? 1 : 0)) * kShortAdSize, 0);
  for (size_t i = 0; i < ads.size(); ++i) EncodeShortAd(&out[i * kShortAdSize], ads[i]);
  return out;
}

}  // namespace kelva::udf
