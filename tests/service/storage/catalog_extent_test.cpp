#include "service/storage/catalog_extent.h"

#include <sqlite3.h>

#include <map>
#include <random>
#include <vector>

#include "tests/service/storage/catalog_test_util.h"

namespace kelva::storage::testing {
namespace {

class ExtentIndexTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    ASSERT_EQ(db_.Create(Path("f.IND")), SQLITE_OK);
  }
  void Insert(int64_t start, int64_t len, uint32_t file, int64_t off = 0) {
    ASSERT_EQ(db_.InsertExtent({start, 1, file, off, len}), 1) << start << "+" << len;
  }
  // All extents as "start+len@file:off", ordered by start.
  std::string Dump() {
    return Sqlite3(FsPath("f.IND"),
                   "SELECT group_concat(start||'+'||len||'@'||file||':'||off, ' ') FROM (SELECT * FROM ident ORDER BY start);");
  }
  CExtentIndexDb db_;
};

TEST_F(ExtentIndexTest, FindExtentReturnsTheHolderOrTheNextOne) {
  Insert(0, 100, 1);
  Insert(200, 50, 2);
  ExtentRecord e;
  ASSERT_EQ(db_.FindExtent(99, &e), 1);
  EXPECT_EQ(e, (ExtentRecord{0, 1, 1, 0, 100}));
  ASSERT_EQ(db_.FindExtent(100, &e), 1);  // in the gap
  EXPECT_EQ(e.start, 200);
  ASSERT_EQ(db_.FindExtent(249, &e), 1);
  EXPECT_EQ(e.file, 2u);
  EXPECT_EQ(db_.FindExtent(250, &e), 0);  // past the last
  EXPECT_EQ(db_.FindExtent(-5, &e), 1);
  EXPECT_EQ(e.start, 0);
}

TEST_F(ExtentIndexTest, RemoveRangeSplitsTrimsAndIgnoresEmptySpace) {
  Insert(0, 100, 1, 1000);
  ASSERT_EQ(db_.RemoveRange(10, 20), 1);  // strictly inside: head and tail
  EXPECT_EQ(Dump(), "0+10@1:1000 30+70@1:1030\n");

  Insert(100, 50, 2);
  Insert(150, 50, 3, 500);
  Insert(200, 50, 4);
  ASSERT_EQ(db_.RemoveRange(40, 180), 1);  // covers several: inner ones go, outer two trimmed
  EXPECT_EQ(Dump(), "0+10@1:1000 30+10@1:1030 220+30@4:20\n");

  db_.SetChangeState(0);
  ASSERT_EQ(db_.RemoveRange(10, 20), 1);  // exactly a gap
  ASSERT_EQ(db_.RemoveRange(1000, 5), 1);
  EXPECT_EQ(db_.ChangeState(), 0);
  ASSERT_EQ(db_.RemoveRange(30, 10), 1);  // exactly one extent
  EXPECT_EQ(Dump(), "0+10@1:1000 220+30@4:20\n");
  EXPECT_EQ(db_.ChangeState(), 1);

  EXPECT_EQ(db_.RemoveRange(5, -3), 0);
  EXPECT_EQ(db_.RemoveRange(INT64_MAX - 1, 5), 0);
  EXPECT_EQ(db_.InsertExtent({300, 1, 1, 0, 0}), 0);
  EXPECT_EQ(Dump(), "0+10@1:1000 220+30@4:20\n");
}

TEST_F(ExtentIndexTest, IsSingleExtentOnlyForOneExtentAtZero) {
  EXPECT_EQ(db_.IsSingleExtent(), 1);
  Insert(5, 10, 1);
  EXPECT_EQ(db_.IsSingleExtent(), 0);
  Insert(0, 5, 1);
  EXPECT_EQ(db_.IsSingleExtent(), 0);
  Insert(0, 20, 2);  // replaces both
  EXPECT_EQ(db_.IsSingleExtent(), 1);
}

// Random overwrites and removals against a byte-by-byte model of the file.
TEST_F(ExtentIndexTest, AgreesWithAByteModelUnderRandomChanges) {
  constexpr int kSize = 300;
  std::vector<std::pair<int, int>> model(kSize, {-1, 0});  // byte -> (piece, offset in piece)
  std::mt19937 rng(7);
  for (int step = 0; step < 300; ++step) {
    const int start = rng() % kSize;
    const int len = 1 + rng() % std::min(60, kSize - start);
    if (rng() % 3) {
      const int piece = step + 1, off = rng() % 1000;
      ASSERT_EQ(db_.InsertExtent({start, 1, static_cast<uint32_t>(piece), off, len}), 1);
      for (int i = 0; i < len; ++i) model[start + i] = {piece, off + i};
    } else {
      ASSERT_EQ(db_.RemoveRange(start, len), 1);
      for (int i = 0; i < len; ++i) model[start + i] = {-1, 0};
    }
  }
  for (int pos = 0; pos < kSize; ++pos) {
    ExtentRecord e;
    const int found = db_.FindExtent(pos, &e);
    const bool held = found && e.start <= pos && pos < e.start + e.len;
    if (model[pos].first < 0) {
      EXPECT_FALSE(held) << pos;
    } else {
      ASSERT_TRUE(held) << pos;
      EXPECT_EQ(static_cast<int>(e.file), model[pos].first) << pos;
      EXPECT_EQ(e.off + (pos - e.start), model[pos].second) << pos;
    }
  }
}

TEST_F(ExtentIndexTest, OpensAsItIsAndFailsSafelyOnJunk) {
  ASSERT_EQ(db_.Close(), SQLITE_OK);
  EXPECT_EQ(Sqlite3(FsPath("f.IND"), "SELECT sql FROM sqlite_master WHERE sql NOT NULL; PRAGMA journal_mode;"),
            "CREATE TABLE ident(start INTEGER, disk INTEGER, file INTEGER, off INTEGER, len INTEGER, "
            "UNIQUE(start))\nwal\n");
  ASSERT_EQ(platform::WriteWholeFile(FsPath("junk.IND"), std::string(3000, '\x5a')), 0u);
  ASSERT_EQ(db_.Open(Path("junk.IND")), SQLITE_OK);  // opened as it is
  ExtentRecord e;
  EXPECT_EQ(db_.FindExtent(0, &e), 0);
  EXPECT_EQ(db_.InsertExtent({0, 1, 1, 0, 10}), 0);
  EXPECT_EQ(db_.RemoveRange(0, 10), 0);
  EXPECT_EQ(db_.IsSingleExtent(), 0);
}

}  // namespace
}  // namespace kelva::storage::testing
