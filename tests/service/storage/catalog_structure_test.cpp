#include "service/storage/catalog_structure.h"

#include <sqlite3.h>

#include <vector>

#include "tests/service/storage/catalog_test_util.h"

namespace kelva::storage::testing {
namespace {

class StructureDbTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    ASSERT_EQ(db_.Create(Path("s.DB")), SQLITE_OK);
    ASSERT_EQ(db_.AddDirectory(u"", 1, 100), 1);
  }
  std::u16string PathOf(uint8_t disk, uint32_t file) {
    std::u16string s(db_.GetPathLength(disk, file), u'?');
    EXPECT_EQ(db_.BuildPath(s.size(), disk, file, s.data()), s.size());
    return s;
  }
  DirIdentity Lookup(std::u16string_view path, int64_t length = -1, int accept_deleted = 0) {
    uint8_t disk = 0;
    uint32_t file = 0;
    if (!db_.LookupPath(path, length, &disk, &file, accept_deleted)) return {0, 0};
    return {disk, file};
  }
  CStructureDb db_;
};

TEST_F(StructureDbTest, SchemaIsExactAndTheLogModeIsWal) {
  ASSERT_EQ(db_.Close(), SQLITE_OK);
  EXPECT_EQ(Sqlite3(FsPath("s.DB"), "SELECT sql FROM sqlite_master WHERE sql NOT NULL; PRAGMA journal_mode;"),
            "CREATE TABLE stent(id INTEGER, name TEXT COLLATE NOCASE, parent INTEGER, disk INTEGER, file INTEGER, "
            "deleted INTEGER, PRIMARY KEY(id), UNIQUE(name, parent))\n"
            "CREATE TABLE prop(name TEXT COLLATE NOCASE, value BLOB, PRIMARY KEY(name))\nwal\n");
}

TEST_F(StructureDbTest, PathsWalkFromTheRoot) {
  EXPECT_EQ(db_.AddDirectory(u"\\", 1, 101), 0);  // a second root
  ASSERT_EQ(db_.AddDirectory(u"Docs", 1, 1), 1);
  ASSERT_EQ(db_.AddDirectory(u"docs\\2024", 1, 2), 1);
  ASSERT_EQ(db_.AddDirectory(u"\\\\DOCS\\\\2024\\x\\", 2, 3), 1);  // runs of separators are skipped
  EXPECT_EQ(db_.AddDirectory(u"nothere\\x", 2, 4), 0);
  EXPECT_EQ(db_.AddDirectory(u"DOCS", 2, 5), 0);  // a live directory holds the name

  EXPECT_EQ(Lookup(u""), DirIdentity(1, 100));
  EXPECT_EQ(Lookup(u"docs\\2024\\X"), DirIdentity(2, 3));
  EXPECT_EQ(Lookup(u"docs\\2024\\X", 9), DirIdentity(1, 2));  // only the first nine units
  EXPECT_EQ(Lookup(u"docs\\2024\\X", 0), DirIdentity(1, 100));
  EXPECT_EQ(Lookup(u"docs\\none"), DirIdentity(0, 0));

  uint8_t disk;
  uint32_t file;
  ASSERT_EQ(db_.LookupChild(1, 2, u"x", &disk, &file), 1);
  EXPECT_EQ(file, 3u);
  EXPECT_EQ(db_.LookupChild(1, 2, u"y", &disk, &file), 0);
  EXPECT_EQ(db_.GetDirectoryId(1, 100), 0);
  EXPECT_EQ(db_.GetDirectoryId(9, 9), -1);
}

TEST_F(StructureDbTest, DeletedDirectoriesAreReplacedAndFoundOnlyOnRequest) {
  ASSERT_EQ(db_.AddDirectory(u"a", 1, 1), 1);
  const int64_t old_id = db_.GetDirectoryId(1, 1);
  ASSERT_EQ(db_.SetDeleted(1, 1), 1);
  EXPECT_EQ(Lookup(u"a"), DirIdentity(0, 0));
  EXPECT_EQ(Lookup(u"a", -1, 1), DirIdentity(1, 1));
  ASSERT_EQ(db_.AddDirectory(u"A", 1, 7), 1);
  EXPECT_EQ(Lookup(u"a"), DirIdentity(1, 7));
  EXPECT_NE(db_.GetDirectoryId(1, 7), old_id);
  EXPECT_EQ(db_.GetDirectoryId(1, 1), -1);  // the old row is gone
  EXPECT_EQ(db_.SetDeleted(1, 1), 0);
  ASSERT_EQ(db_.SetDeleted(1, 7), 1);
  ASSERT_EQ(db_.ClearDeleted(1, 7), 1);
  EXPECT_EQ(Lookup(u"a"), DirIdentity(1, 7));
}

TEST_F(StructureDbTest, ListChildrenIsSortedAndTheRootListsItself) {
  ASSERT_EQ(db_.AddDirectory(u"b", 2, 5), 1);
  ASSERT_EQ(db_.AddDirectory(u"a", 2, 1), 1);
  ASSERT_EQ(db_.AddDirectory(u"c", 1, 900), 1);
  ASSERT_EQ(db_.AddDirectory(u"c\\inner", 0, 3), 1);
  ASSERT_EQ(db_.SetDeleted(2, 5), 1);
  std::vector<DirIdentity> list;
  ASSERT_EQ(db_.ListChildren(u"", &list, 0), 1);
  EXPECT_EQ(list, (std::vector<DirIdentity>{{1, 100}, {1, 900}, {2, 1}}));
  ASSERT_EQ(db_.ListChildren(u"\\", &list, 1), 1);
  EXPECT_EQ(list, (std::vector<DirIdentity>{{1, 100}, {1, 900}, {2, 1}, {2, 5}}));
  ASSERT_EQ(db_.ListChildren(u"C", &list, 0), 1);
  EXPECT_EQ(list, (std::vector<DirIdentity>{{0, 3}}));
  EXPECT_EQ(db_.ListChildren(u"zz", &list, 0), 0);

  std::vector<DirIdentity> seen;
  auto collect = [](uint8_t disk, uint32_t file, void* ctx) {
    auto* v = static_cast<std::vector<DirIdentity>*>(ctx);
    v->emplace_back(disk, file);
    return v->size() < 3 ? 1 : 0;
  };
  ASSERT_EQ(db_.EnumDirectories(collect, &seen), 1);
  EXPECT_EQ(seen, (std::vector<DirIdentity>{{0, 3}, {1, 100}, {1, 900}}));  // stopped by the callback
}

TEST_F(StructureDbTest, RenameMoveAndIdentityChangeShowInThePath) {
  ASSERT_EQ(db_.AddDirectory(u"alpha", 1, 1), 1);
  ASSERT_EQ(db_.AddDirectory(u"alpha\\beta", 1, 2), 1);
  ASSERT_EQ(db_.AddDirectory(u"gamma", 1, 3), 1);
  EXPECT_EQ(PathOf(1, 2), u"\\alpha\\beta");
  EXPECT_EQ(PathOf(1, 100), u"\\");
  EXPECT_EQ(db_.GetPathLength(5, 5), 0u);

  ASSERT_EQ(db_.RenameDirectory(1, 1, u"Alef"), 1);
  EXPECT_EQ(db_.RenameDirectory(1, 1, u"GAMMA"), 0);  // taken in the same parent
  ASSERT_EQ(db_.MoveDirectory(1, 2, u"gamma\\Bet"), 1);
  EXPECT_EQ(PathOf(1, 2), u"\\gamma\\Bet");
  EXPECT_EQ(db_.MoveDirectory(1, 2, u"nowhere\\x"), 0);
  EXPECT_EQ(db_.MoveDirectory(4, 4, u"x"), 0);

  EXPECT_EQ(db_.ChangeIdentity(1, 2, 3, 30), 0u);
  EXPECT_EQ(db_.ChangeIdentity(1, 2, 3, 31), 5u);
  EXPECT_EQ(Lookup(u"gamma\\bet"), DirIdentity(3, 30));

  // The volume's own statements: only a statement that changed rows marks the catalog.
  db_.SetChangeState(0);
  EXPECT_EQ(db_.ExecuteStatement("PRAGMA synchronous=NORMAL;"), SQLITE_OK);
  EXPECT_EQ(db_.ExecuteStatement("UPDATE stent SET deleted=0 WHERE id<0;"), SQLITE_OK);
  EXPECT_EQ(db_.ChangeState(), 0);
  EXPECT_EQ(db_.ExecuteStatement("UPDATE stent SET deleted=0 WHERE id=0;"), SQLITE_OK);
  EXPECT_EQ(db_.ChangeState(), 1);
  EXPECT_EQ(db_.ExecuteStatement("UPDATE nothing SET x=1;"), SQLITE_ERROR);
}

TEST_F(StructureDbTest, BuildPathFillsFromTheEndAndStopsAtAComponentThatDoesNotFit) {
  ASSERT_EQ(db_.AddDirectory(u"alpha", 1, 1), 1);
  ASSERT_EQ(db_.AddDirectory(u"alpha\\beta", 1, 2), 1);
  ASSERT_EQ(db_.AddDirectory(u"alpha\\beta\\gamma", 1, 3), 1);
  ASSERT_EQ(db_.GetPathLength(1, 3), 17u);
  std::u16string buf(20, u'#');
  EXPECT_EQ(db_.BuildPath(16, 1, 3, buf.data()), 11u);  // "\alpha" no longer fits
  EXPECT_EQ(buf, u"#####\\beta\\gamma####");
  buf.assign(20, u'#');
  EXPECT_EQ(db_.BuildPath(5, 1, 3, buf.data()), 0u);
  EXPECT_EQ(buf, std::u16string(20, u'#'));

  // A parent chain that loops (only a damaged file has one) still ends.
  ASSERT_EQ(db_.Close(), SQLITE_OK);
  Sqlite3(FsPath("s.DB"), "UPDATE stent SET parent=(SELECT id FROM stent WHERE file=3) WHERE file=1;");
  ASSERT_EQ(db_.Open(Path("s.DB")), SQLITE_OK);
  EXPECT_EQ(db_.GetPathLength(1, 3), 0u);
  std::u16string big(4000, u'#');
  EXPECT_EQ(db_.BuildPath(big.size(), 1, 3, big.data()), 235u * 17);  // whole turns of the loop
}

TEST_F(StructureDbTest, PropertiesCompareBeforeWriting) {
  const uint8_t id[4] = {1, 2, 3, 4};
  ASSERT_EQ(db_.SetProperty("VolumeID", id, 4), 1);
  db_.SetChangeState(0);
  EXPECT_EQ(db_.SetProperty("volumeid", id, 4), 1);  // same value: nothing written
  EXPECT_EQ(db_.ChangeState(), 0);
  EXPECT_EQ(db_.SetProperty("VolumeID", id, 3), 1);  // same prefix, other length
  EXPECT_EQ(db_.ChangeState(), 1);

  uint8_t out[8] = {};
  size_t length = 0;
  ASSERT_EQ(db_.GetProperty("VOLUMEID", out, 2, &length), 1);
  EXPECT_EQ(length, 3u);  // the full length, two bytes copied
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], 0);
  ASSERT_EQ(db_.SetProperty("Empty", nullptr, 0), 1);
  ASSERT_EQ(db_.GetProperty("Empty", out, 8, &length), 1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(db_.GetProperty("Missing", out, 8, &length), 0);

  db_.SetChangeState(0);
  EXPECT_EQ(db_.DeleteProperty("Missing"), 1);
  EXPECT_EQ(db_.ChangeState(), 0);
  EXPECT_EQ(db_.DeleteProperty("volumeID"), 1);
  EXPECT_EQ(db_.ChangeState(), 1);
  EXPECT_EQ(db_.GetProperty("VolumeID", out, 8, &length), 0);
}

}  // namespace
}  // namespace kelva::storage::testing
