// Timestamps, dstrings, entity identifiers and allocation descriptors.
#include <gtest/gtest.h>

#include <vector>

#include "platform/udf/alloc_desc.h"
#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"
#include "platform/udf/entity_id.h"
#include "platform/udf/timestamp.h"

namespace kelva::udf {
namespace {

TEST(Timestamp, TypeAndZoneFollowTheBias) {
  EXPECT_EQ(TypeAndTimezoneForBias(-540), 0x121C);  // UTC+9
  EXPECT_EQ(TypeAndTimezoneForBias(300), 0x1ED4);   // UTC-5: -300 in 12 bits
  EXPECT_EQ(TypeAndTimezoneForBias(-60), 0x103C);
  EXPECT_EQ(TypeAndTimezoneForBias(0), 0x0000);     // UTC: type 0, zone 0
}

TEST(Timestamp, SplitsMillisecondsAndRoundTrips) {
  platform::SystemTime local{2026, 12, 3, 9, 16, 30, 45, 987};
  const Timestamp t = MakeTimestamp(local, -540);
  EXPECT_EQ(t.year, 2026);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 9);
  EXPECT_EQ(t.hour, 16);
  EXPECT_EQ(t.centiseconds, 98);
  EXPECT_EQ(t.hundredsOfMicroseconds, 70);
  EXPECT_EQ(t.microseconds, 0);
  uint8_t bytes[12];
  EncodeTimestamp(bytes, t);
  EXPECT_EQ(Get16(bytes), 0x121C);
  EXPECT_EQ(Get16(bytes + 2), 2026);
  EXPECT_EQ(DecodeTimestamp(bytes), t);
  // Local 16:30 at UTC+9 is 07:30 UTC.
  platform::FileTime ft = 0;
  ASSERT_TRUE(TimestampToFileTime(t, &ft));
  const platform::SystemTime utc = platform::FileTimeToSystemTime(ft);
  EXPECT_EQ(utc.wHour, 7);
  EXPECT_EQ(utc.wMinute, 30);
  EXPECT_EQ(utc.wMilliseconds, 987);
  Timestamp bad = t;
  bad.month = 13;
  EXPECT_FALSE(TimestampToFileTime(bad, &ft));
}

TEST(DString, CompressionEightWithTheLengthInTheLastByte) {
  std::vector<uint8_t> field(32, 0xEE);
  EncodeDString(field, "UDF Volume");
  EXPECT_EQ(field[0], 8);
  EXPECT_EQ(std::string(field.begin() + 1, field.begin() + 11), "UDF Volume");
  EXPECT_EQ(field[11], 0);
  EXPECT_EQ(field[31], 11);
  EXPECT_EQ(DecodeDString(field), "UDF Volume");
  EncodeDString(field, "");
  EXPECT_EQ(std::vector<uint8_t>(32, 0), field);
  // Too long: cut to the field, the length byte still last.
  EncodeDString(field, std::string(40, 'x'));
  EXPECT_EQ(field[31], 31);
  EXPECT_EQ(DecodeDString(field), std::string(30, 'x'));
  // A length byte pointing past the field or an unknown compression decode to "".
  field[31] = 32;
  EXPECT_EQ(DecodeDString(field), "");
  field[31] = 5;
  field[0] = 9;
  EXPECT_EQ(DecodeDString(field), "");
}

TEST(DString, DCharactersPickTheNarrowestCompression) {
  const std::vector<uint8_t> narrow = EncodeDChars(u"Résumé");
  EXPECT_EQ(narrow[0], 8);
  EXPECT_EQ(narrow.size(), 7u);
  const std::vector<uint8_t> wide = EncodeDChars(u"ディスク");
  EXPECT_EQ(wide[0], 16);
  EXPECT_EQ(wide[1], 0x30);  // big-endian code units
  EXPECT_EQ(wide[2], 0xC7);
  std::u16string back;
  ASSERT_TRUE(DecodeDChars(wide, &back));
  EXPECT_EQ(back, u"ディスク");
  ASSERT_TRUE(DecodeDChars(narrow, &back));
  EXPECT_EQ(back, u"Résumé");
  std::vector<uint8_t> odd = wide;
  odd.pop_back();
  EXPECT_FALSE(DecodeDChars(odd, &back));
}

TEST(EntityId, SuffixesByKind) {
  uint8_t bytes[32];
  EncodeEntityId(bytes, MakeDomainId(0x0250));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes + 1), 19), "*OSTA UDF Compliant");
  EXPECT_EQ(bytes[24], 0x50);
  EXPECT_EQ(bytes[25], 0x02);
  EXPECT_EQ(bytes[26], 0x00);  // domain flags

  EncodeEntityId(bytes, MakeUdfId(kUdfMetadataPartition, 0x0260, 6, 0));
  EXPECT_EQ(bytes[24], 0x60);
  EXPECT_EQ(bytes[25], 0x02);
  EXPECT_EQ(bytes[26], 6);
  EXPECT_EQ(bytes[27], 0);

  const EntityId impl = MakeImplementationId("*MERIDANSTORIX", 6, 0);
  EncodeEntityId(bytes, impl);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[24], 6);
  EXPECT_EQ(bytes[25], 0);
  EXPECT_EQ(DecodeEntityId(bytes), impl);
  EXPECT_TRUE(DecodeEntityId(bytes).Is("*MERIDANSTORIX"));
  EXPECT_EQ(SuffixRevision(MakeDomainId(0x0260)), 0x0260);
}

TEST(AllocationDescriptors, ExtentTypeInTheTopTwoBits) {
  uint8_t bytes[16];
  EncodeShortAd(bytes, {2048 * 512, ExtentType::kAllocatedNotRecorded, 768});
  EXPECT_EQ(Get32(bytes), 0x40000000u | (2048 * 512));
  EXPECT_EQ(Get32(bytes + 4), 768u);
  const ShortAd s = DecodeShortAd(bytes);
  EXPECT_EQ(s.type, ExtentType::kAllocatedNotRecorded);
  EXPECT_EQ(s.length, 2048u * 512);

  LongAd l;
  l.length = 2048;
  l.type = ExtentType::kNextExtent;
  l.location = {1, 1};
  l.implementationUse[5] = 0x77;
  EncodeLongAd(bytes, l);
  EXPECT_EQ(Get32(bytes), 0xC0000800u);
  EXPECT_EQ(Get32(bytes + 4), 1u);
  EXPECT_EQ(Get16(bytes + 8), 1);
  EXPECT_EQ(bytes[15], 0x77);
  EXPECT_EQ(DecodeLongAd(bytes), l);
}

}  // namespace
}  // namespace kelva::udf
