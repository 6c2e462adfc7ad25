#include "platform/udf/tag.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "platform/udf/bytes.h"

namespace kelva::udf {
namespace {

TEST(Crc16, MatchesTheCcittReferenceValues) {
  // CRC-16, polynomial 0x1021, initial value 0, MSB first: the check value of
  // "123456789" is 0x31C3; ECMA-167's own example bytes 70 6A 77 give 0x3299.
  const std::string_view check = "123456789";
  EXPECT_EQ(Crc16({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0x31C3);
  const uint8_t ecma[] = {0x70, 0x6A, 0x77};
  EXPECT_EQ(Crc16(ecma), 0x3299);
  EXPECT_EQ(Crc16({}), 0);
  // Continuing a CRC over a split buffer gives the same value.
  const auto* p = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(Crc16({p + 4, 5}, Crc16({p, 4})), 0x31C3);
}

TEST(DescriptorTag, FinishTagWritesEveryFieldAndValidates) {
  std::vector<uint8_t> d(512, 0);
  d[100] = 0x5A;
  FinishTag(d, kTagPartition, 34, 496, 7);
  EXPECT_EQ(Get16(&d[0]), 5);
  EXPECT_EQ(Get16(&d[2]), 3);
  EXPECT_EQ(d[5], 0);
  EXPECT_EQ(Get16(&d[6]), 7);
  EXPECT_EQ(Get16(&d[10]), 496);
  EXPECT_EQ(Get32(&d[12]), 34u);
  EXPECT_EQ(Get16(&d[8]), Crc16({d.data() + 16, 496}));
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) sum += i == 4 ? 0 : d[i];
  EXPECT_EQ(d[4], sum & 0xFF);
  EXPECT_EQ(CheckTag(d, kTagPartition, true, 34), TagStatus::kOk);
}

TEST(DescriptorTag, CheckTagReportsEachKindOfDamage) {
  std::vector<uint8_t> d(512, 0);
  FinishTag(d, kTagAnchorPointer, 256, 496);
  EXPECT_EQ(CheckTag(d, kTagPartition), TagStatus::kWrongIdent);
  EXPECT_EQ(CheckTag(d, kTagAnchorPointer, true, 257), TagStatus::kWrongLocation);
  EXPECT_EQ(CheckTag(std::span(d).first(15), 0), TagStatus::kTooShort);
  // A changed body byte breaks the CRC but not the checksum.
  std::vector<uint8_t> body = d;
  body[300] ^= 1;
  EXPECT_EQ(CheckTag(body, kTagAnchorPointer), TagStatus::kBadCrc);
  // A changed tag byte breaks the checksum.
  std::vector<uint8_t> tag = d;
  tag[13] ^= 1;
  EXPECT_EQ(CheckTag(tag, kTagAnchorPointer), TagStatus::kBadChecksum);
  // A CRC length reaching past the buffer is damage, not an out-of-bounds read.
  EXPECT_EQ(CheckTag(std::span(d).first(200), kTagAnchorPointer), TagStatus::kBadCrc);
  // A blank sector sums to a "valid" zero checksum and must still be refused.
  std::vector<uint8_t> blank(2048, 0);
  EXPECT_EQ(CheckTag(blank, 0), TagStatus::kBadChecksum);
}

TEST(DescriptorTag, RefreshTagFollowsAChangedField) {
  std::vector<uint8_t> d(512, 0);
  FinishTag(d, kTagLogicalVolumeIntegrity, 64, 126);
  Put32(&d[28], 1);
  EXPECT_EQ(CheckTag(d, 0), TagStatus::kBadCrc);
  ASSERT_TRUE(RefreshTag(d));
  EXPECT_EQ(CheckTag(d, kTagLogicalVolumeIntegrity, true, 64), TagStatus::kOk);
  // A recorded CRC length beyond the buffer is refused and nothing changes.
  Put16(&d[10], 2000);
  const std::vector<uint8_t> before = d;
  EXPECT_FALSE(RefreshTag(d));
  EXPECT_EQ(d, before);
}

}  // namespace
}  // namespace kelva::udf
