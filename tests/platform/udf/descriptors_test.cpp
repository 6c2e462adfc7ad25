// Encoding and decoding of the volume and file descriptors: fields land at the
// standard's offsets, tags validate, and malformed lengths are refused.
#include <gtest/gtest.h>

#include <vector>

#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/volume_descriptors.h"

namespace kelva::udf {
namespace {

std::vector<uint8_t> Sector() { return std::vector<uint8_t>(kSectorSize, 0); }

TEST(VolumeDescriptors, PrimaryVolumeDescriptorRoundTrip) {
  PrimaryVolumeDescriptor pvd;
  pvd.tag.tagLocation = 32;
  pvd.volumeDescriptorSequenceNumber = 1;
  pvd.volumeIdentifier = "UDF Volume";
  pvd.volumeSequenceNumber = 1;
  pvd.maximumVolumeSequenceNumber = 1;
  pvd.interchangeLevel = 2;
  pvd.volumeSetIdentifier = "0123ABCD UDF Volume Set";
  pvd.recordingDateAndTime.year = 2026;
  pvd.implementationIdentifier = MakeImplementationId("*X", 6, 0);
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(pvd, s), 512u);
  EXPECT_EQ(CheckTag(s, kTagPrimaryVolume, true, 32), TagStatus::kOk);
  EXPECT_EQ(Get16(&s[10]), 496);
  EXPECT_EQ(s[24], 8);              // volume identifier dstring
  EXPECT_EQ(s[72], 8);              // volume set identifier dstring
  EXPECT_EQ(s[199], 24);            // its length byte
  EXPECT_TRUE(IsOstaCharSpec(&s[200]));
  EXPECT_EQ(Get16(&s[378]), 2026);  // recording time, year
  PrimaryVolumeDescriptor back;
  ASSERT_TRUE(Decode(s, &back));
  EXPECT_EQ(back.volumeSetIdentifier, pvd.volumeSetIdentifier);
  EXPECT_EQ(back.volumeIdentifier, "UDF Volume");
  EXPECT_EQ(back.implementationIdentifier, pvd.implementationIdentifier);
  EXPECT_EQ(back.tag.tagLocation, 32u);
  EXPECT_TRUE(back.ostaCharacterSets);
}

TEST(VolumeDescriptors, LogicalVolumeDescriptorWithMetadataMap) {
  LogicalVolumeDescriptor lvd;
  lvd.tag.tagLocation = 35;
  lvd.domainIdentifier = MakeDomainId(0x0250);
  lvd.fileSetDescriptorLocation.length = 2048;
  lvd.fileSetDescriptorLocation.location = {0, 1};
  lvd.integritySequenceExtent = {8192, 64};
  PartitionMap type1;
  type1.partitionNumber = 0x2000;
  PartitionMap meta;
  meta.partitionMapType = 2;
  meta.partitionTypeIdentifier = MakeUdfId(kUdfMetadataPartition, 0x0250, 6, 0);
  meta.partitionNumber = 0x2000;
  meta.metadataFileLocation = 746;
  meta.metadataMirrorFileLocation = 1280;
  meta.metadataBitmapFileLocation = 747;
  meta.allocationUnitSize = 32;
  meta.alignmentUnitSize = 32;
  lvd.partitionMaps = {type1, meta};
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(lvd, s), 510u);
  EXPECT_EQ(Get16(&s[10]), 494);
  EXPECT_EQ(Get32(&s[264]), 70u);  // map table length
  EXPECT_EQ(Get32(&s[268]), 2u);
  EXPECT_EQ(s[440], 1);
  EXPECT_EQ(s[441], 6);
  EXPECT_EQ(Get16(&s[444]), 0x2000);
  EXPECT_EQ(s[446], 2);
  EXPECT_EQ(s[447], 64);
  EXPECT_EQ(Get32(&s[446 + 40]), 746u);
  EXPECT_EQ(Get32(&s[446 + 52]), 32u);
  EXPECT_EQ(Get16(&s[446 + 56]), 32);
  LogicalVolumeDescriptor back;
  ASSERT_TRUE(Decode(s, &back));
  ASSERT_EQ(back.partitionMaps.size(), 2u);
  EXPECT_TRUE(back.partitionMaps[1].IsMetadata());
  EXPECT_EQ(back.partitionMaps[1].metadataMirrorFileLocation, 1280u);
  EXPECT_EQ(back.integritySequenceExtent, lvd.integritySequenceExtent);
  EXPECT_EQ(back.fileSetDescriptorLocation, lvd.fileSetDescriptorLocation);

  // A map table longer than the sector, or maps overrunning the table, are refused.
  std::vector<uint8_t> bad = s;
  Put32(&bad[264], 4000);
  EXPECT_FALSE(Decode(bad, &back));
  bad = s;
  Put32(&bad[264], 40);
  EXPECT_FALSE(Decode(bad, &back));
  bad = s;
  bad[447] = 0;  // a zero-length map would never advance
  EXPECT_FALSE(Decode(bad, &back));
}

TEST(VolumeDescriptors, IntegrityDescriptorTablesAndImplementationUse) {
  LogicalVolumeIntegrityDescriptor lvid;
  lvid.tag.tagLocation = 64;
  lvid.uniqueId = 16;
  lvid.freeSpaceTable = {100, 510};
  lvid.sizeTable = {1000, 512};
  lvid.numberOfDirectories = 1;
  lvid.minimumUdfReadRevision = 0x0250;
  lvid.minimumUdfWriteRevision = lvid.maximumUdfWriteRevision = 0x0260;
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(lvid, s), 142u);
  EXPECT_EQ(Get16(&s[10]), 126);
  EXPECT_EQ(Get64(&s[40]), 16u);
  EXPECT_EQ(Get32(&s[72]), 2u);
  EXPECT_EQ(Get32(&s[76]), 46u);
  EXPECT_EQ(Get32(&s[84]), 510u);
  EXPECT_EQ(Get32(&s[88]), 1000u);
  EXPECT_EQ(Get16(&s[96 + 40]), 0x0250);
  EXPECT_EQ(Get16(&s[96 + 44]), 0x0260);
  LogicalVolumeIntegrityDescriptor back;
  ASSERT_TRUE(Decode(s, &back));
  EXPECT_EQ(back.sizeTable, lvid.sizeTable);
  EXPECT_EQ(back.maximumUdfWriteRevision, 0x0260);
  // Tables or implementation use reaching past the sector are refused.
  Put32(&s[72], 300);
  EXPECT_FALSE(Decode(s, &back));
  Put32(&s[72], 2);
  Put32(&s[76], 45);
  EXPECT_FALSE(Decode(s, &back));
  Put32(&s[76], 0xFFFFFFF0u);
  EXPECT_FALSE(Decode(s, &back));
}

TEST(VolumeDescriptors, UnallocatedSpaceAnchorAndPartition) {
  UnallocatedSpaceDescriptor usd;
  usd.allocationDescriptors = {{26624, 19}, {32768, 48}};
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(usd, s), 40u);
  EXPECT_EQ(Get16(&s[10]), 24);
  UnallocatedSpaceDescriptor usd_back;
  ASSERT_TRUE(Decode(s, &usd_back));
  EXPECT_EQ(usd_back.allocationDescriptors, usd.allocationDescriptors);
  Put32(&s[20], 1000);  // more extents than the sector holds
  EXPECT_FALSE(Decode(s, &usd_back));

  AnchorVolumeDescriptorPointer avdp;
  avdp.tag.tagLocation = 256;
  avdp.mainVolumeDescriptorSequenceExtent = {32768, 32};
  avdp.reserveVolumeDescriptorSequenceExtent = {32768, 12219360};
  ASSERT_EQ(Encode(avdp, s), 512u);
  EXPECT_EQ(Get32(&s[16]), 32768u);
  EXPECT_EQ(Get32(&s[28]), 12219360u);

  PartitionDescriptor pd;
  pd.partitionFlags = 1;
  pd.partitionNumber = 0x2000;
  pd.partitionContents = MakeEntityId(kNsr03);
  pd.partitionHeader.unallocatedSpaceBitmap = {1529856, ExtentType::kRecordedAllocated, 0};
  pd.accessType = kAccessOverwritable;
  pd.partitionStartingLocation = 288;
  pd.partitionLength = 12218816;
  ASSERT_EQ(Encode(pd, s), 512u);
  EXPECT_EQ(Get32(&s[64]), 1529856u);  // bitmap extent in the partition header
  EXPECT_EQ(Get32(&s[184]), 4u);
  EXPECT_EQ(Get32(&s[188]), 288u);
  PartitionDescriptor pd_back;
  ASSERT_TRUE(Decode(s, &pd_back));
  EXPECT_TRUE(pd_back.partitionContents.Is("+NSR03"));
  EXPECT_EQ(pd_back.partitionHeader.unallocatedSpaceBitmap.length, 1529856u);
}

TEST(FileDescriptors, FileIdentifierIsPaddedToFourBytes) {
  FileIdentifierDescriptor fid;
  fid.tag.tagLocation = 1;
  fid.fileCharacteristics = kFidDirectory | kFidParent;
  fid.icb.length = 2048;
  fid.icb.location = {1, 1};
  EXPECT_EQ(FidLength(fid), 40u);
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(fid, s), 40u);
  EXPECT_EQ(Get16(&s[10]), 24);  // CRC covers the padding too
  EXPECT_EQ(s[18], 0x0A);
  fid.fileIdentifier = EncodeDChars(u"abc");  // 38 + 4 = 42 -> 44
  EXPECT_EQ(FidLength(fid), 44u);
  ASSERT_EQ(Encode(fid, s), 44u);
  FileIdentifierDescriptor back;
  size_t used = 0;
  ASSERT_TRUE(Decode(s, &back, &used));
  EXPECT_EQ(used, 44u);
  EXPECT_EQ(back.fileIdentifier, fid.fileIdentifier);
  EXPECT_FALSE(Decode(std::span(s).first(41), &back, &used));  // name cut off
}

TEST(FileDescriptors, ExtendedAndBasicFileEntries) {
  FileEntry e;
  e.tag.tagLocation = 746;
  e.icbTag.fileType = kFileTypeMetadata;
  e.permissions = 0x3DEF;
  e.informationLength = e.objectSize = 512 * 2048;
  e.logicalBlocksRecorded = 512;
  const ShortAd extent{512 * 2048, ExtentType::kRecordedAllocated, 768};
  e.allocationDescriptors = EncodeShortAds(std::span(&extent, 1), true);
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(e, s), 232u);
  EXPECT_EQ(Get16(&s[0]), kTagExtendedFileEntry);
  EXPECT_EQ(Get16(&s[10]), 216);
  EXPECT_EQ(s[16 + 11], 250);
  EXPECT_EQ(Get64(&s[64]), 512u * 2048);
  EXPECT_EQ(Get32(&s[212]), 16u);
  EXPECT_EQ(Get32(&s[216 + 4]), 768u);
  FileEntry back;
  ASSERT_TRUE(Decode(s, &back));
  EXPECT_TRUE(back.extended);
  ASSERT_EQ(DecodeShortAds(back.allocationDescriptors).size(), 1u);
  EXPECT_EQ(DecodeShortAds(back.allocationDescriptors)[0], extent);

  e.extended = false;
  ASSERT_EQ(Encode(e, s), 192u);
  EXPECT_EQ(Get16(&s[0]), kTagFileEntry);
  EXPECT_EQ(Get32(&s[172]), 16u);
  ASSERT_TRUE(Decode(s, &back));
  EXPECT_FALSE(back.extended);
  EXPECT_EQ(back.logicalBlocksRecorded, 512u);
  // Allocation descriptor length beyond the sector is refused.
  Put32(&s[172], 5000);
  EXPECT_FALSE(Decode(s, &back));
  // An entry that cannot fit in one sector is not encoded.
  e.allocationDescriptors.assign(2000, 0);
  EXPECT_EQ(Encode(e, s), 0u);
}

TEST(FileDescriptors, FileSetDescriptorAndSpaceBitmap) {
  FileSetDescriptor fsd;
  fsd.fileSetIdentifier = "UDF Volume Set";
  fsd.rootDirectoryIcb.length = 2048;
  fsd.rootDirectoryIcb.location = {1, 1};
  fsd.domainIdentifier = MakeDomainId(0x0260);
  std::vector<uint8_t> s = Sector();
  ASSERT_EQ(Encode(fsd, s), 512u);
  EXPECT_EQ(Get16(&s[28]), 3);
  EXPECT_EQ(s[304], 8);
  EXPECT_EQ(s[335], 15);
  EXPECT_EQ(Get32(&s[404]), 1u);
  FileSetDescriptor back;
  ASSERT_TRUE(Decode(s, &back));
  EXPECT_EQ(back.fileSetIdentifier, "UDF Volume Set");
  EXPECT_EQ(back.rootDirectoryIcb, fsd.rootDirectoryIcb);
  EXPECT_EQ(SuffixRevision(back.domainIdentifier), 0x0260);

  SpaceBitmapDescriptor sbd;
  sbd.numberOfBits = 512;
  sbd.numberOfBytes = 64;
  ASSERT_EQ(Encode(sbd, s), 24u);
  EXPECT_EQ(Get16(&s[10]), 8);
  EXPECT_EQ(CheckTag(std::span(s).first(24), kTagSpaceBitmap), TagStatus::kOk);
}

}  // namespace
}  // namespace kelva::udf
