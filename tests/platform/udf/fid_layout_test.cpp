// Layout of a folder's file identifiers: no 16-byte tag crosses a block boundary,
// met by growing the implementation use field of the identifier before it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/udf/fs_util.h"

namespace kelva::udf {
namespace {

// A parent identifier (40 bytes) and `count` entries with one-character names
// (also 40 bytes each: 38 + 2 rounded up to a multiple of 4).
std::vector<FileIdentifierDescriptor> Folder(size_t count) {
  std::vector<FileIdentifierDescriptor> fids(count + 1);
  fids[0].fileCharacteristics = kFidDirectory | kFidParent;
  for (size_t i = 1; i <= count; ++i) fids[i].fileIdentifier = {8, 'a'};
  return fids;
}

std::vector<uint8_t> Foreign(size_t size) {
  std::vector<uint8_t> iu(size, 0x5A);
  iu[0] = 0;
  iu[1] = '*';
  iu[2] = 'O';
  return iu;
}

// Our implementation identifier as the padding holds it: flags 0,
// "*MERIDANSTORIX" in a 23-byte field, suffix {OS class 6, OS identifier 0}.
std::vector<uint8_t> OwnPadding() {
  std::vector<uint8_t> v(32, 0);
  const std::string id = "*MERIDANSTORIX";
  for (size_t i = 0; i < id.size(); ++i) v[1 + i] = static_cast<uint8_t>(id[i]);
  v[24] = 6;
  return v;
}

struct LayoutCase {
  const char* what;
  size_t foreignAt;    // entry holding a foreign implementation use field (0: none)
  size_t foreignSize;
  size_t paddedAt;     // entry whose field grows (0: none)
  std::vector<uint8_t> paddedField;
  size_t total;
};

TEST(FileIdentifierLayout, TagsThatWouldCrossABlockMoveBehindIt) {
  const std::vector<uint8_t> foreign36 = Foreign(36);
  std::vector<uint8_t> grown = foreign36;
  grown.resize(48, 0);
  const std::vector<LayoutCase> cases = {
      // Entry 51 would start at 2040: entry 50 gains our identifier, 51 starts at 2072.
      {"empty field", 0, 0, 50, OwnPadding(), 52 * 40 + 32},
      // Entry 49 is 76 bytes, 50 would start at 2036: 49's field grows to the block end.
      {"field in use", 49, 36, 49, grown, 52 * 40 + 36 + 12},
      // Entry 50 starts at 2032: its tag ends on the boundary, nothing moves.
      {"tag ends on the boundary", 49, 32, 0, {}, 52 * 40 + 32},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FileIdentifierDescriptor> fids = Folder(51);
    if (c.foreignAt) fids[c.foreignAt].implementationUse = Foreign(c.foreignSize);
    const std::vector<FileIdentifierDescriptor> before = fids;
    EXPECT_EQ(PadFileIdentifiers(&fids), c.total);
    for (size_t i = 0; i < fids.size(); ++i) {
      const std::vector<uint8_t>& want =
          i == c.paddedAt && c.paddedAt ? c.paddedField : before[i].implementationUse;
      EXPECT_EQ(fids[i].implementationUse, want) << "entry " << i;
    }
  }
}

TEST(FileIdentifierLayout, NoTagCrossesABlockInLargeFolders) {
  for (size_t stride = 1; stride <= 40; ++stride) {
    std::vector<FileIdentifierDescriptor> fids(3000);
    for (size_t i = 1; i < fids.size(); ++i)
      fids[i].fileIdentifier.assign(1 + (i * stride) % 200, 'n');
    const size_t total = PadFileIdentifiers(&fids);
    size_t at = 0;
    for (const auto& f : fids) {
      ASSERT_LE(at % 2048, 2048u - 16) << "stride " << stride;
      EXPECT_TRUE(f.implementationUse.empty() || IsOwnFidPadding(f.implementationUse));
      at += FidLength(f);
    }
    EXPECT_EQ(at, total);
  }
}

TEST(FileIdentifierLayout, OnlyOurOwnPaddingIsRecognised) {
  const std::vector<uint8_t> own = OwnPadding();
  EXPECT_TRUE(IsOwnFidPadding(own));
  EXPECT_FALSE(IsOwnFidPadding(Foreign(32)));
  EXPECT_FALSE(IsOwnFidPadding(std::vector<uint8_t>(own.begin(), own.begin() + 31)));
  EXPECT_FALSE(IsOwnFidPadding({}));
}

}  // namespace
}  // namespace kelva::udf
