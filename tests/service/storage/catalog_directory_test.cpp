#include "service/storage/catalog_directory.h"

#include <sqlite3.h>

#include <vector>

#include "tests/service/storage/catalog_test_util.h"

namespace kelva::storage::testing {
namespace {

struct Renamed {
  std::u16string from, to;
  uint32_t attr;
};

void RecordRename(void* context, std::u16string_view from, std::u16string_view to, uint32_t attr) {
  static_cast<std::vector<Renamed>*>(context)->push_back({std::u16string(from), std::u16string(to), attr});
}

class DirectoryDbTest : public CatalogTest {
 protected:
  void SetUp() override {
    CatalogTest::SetUp();
    ASSERT_EQ(db_.Create(Path("d.DIR")), SQLITE_OK);
    db_.SetRenameCallback(&RecordRename, &renamed_);
  }
  // Every row (streams too) as "name/type", by name.
  std::string Rows() {
    return Sqlite3(FsPath("d.DIR"), "SELECT group_concat(name||'/'||type, ' ') FROM (SELECT * FROM dirent ORDER BY name);");
  }
  bool Has(std::u16string name, DirEntryRecord* out = nullptr) {
    DirEntryRecord r;
    r.name = std::move(name);
    const int found = db_.GetEntry(&r);
    if (out) *out = r;
    return found == 1;
  }
  CDirectoryDb db_;
  std::vector<Renamed> renamed_;
};

TEST_F(DirectoryDbTest, EntryRoundTripKeepsEveryBitAndTheStoredCase) {
  DirEntryRecord in = FileEntry(u"Report.TXT", 0xFFFFFFF0u, 1LL << 40);
  in.attr = 0x80000021u;
  in.disk = 200;
  in.hdisk = 3;
  in.hfile = 0x80000000u;
  in.mtime = -1;
  ASSERT_EQ(db_.InsertEntry(in), 1);
  DirEntryRecord out;
  ASSERT_TRUE(Has(u"rEPORT.txt", &out));
  EXPECT_EQ(out, in);  // the name comes back as stored
  // 32-bit fields are stored as the signed integer of the same bits.
  EXPECT_EQ(Sqlite3(FsPath("d.DIR"), "SELECT file, hfile, attr FROM dirent;"), "-16|-2147483648|-2147483615\n");

  in.size = 7;
  in.name = u"REPORT.txt";
  ASSERT_EQ(db_.UpdateEntry(in), 1);
  ASSERT_TRUE(Has(u"report.txt", &out));
  EXPECT_EQ(out.size, 7);
  EXPECT_EQ(out.name, u"Report.TXT");
  EXPECT_EQ(db_.UpdateEntry(FileEntry(u"missing")), 0);
}

TEST_F(DirectoryDbTest, NamesDifferingOnlyInCaseAreOneName) {
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"Alpha")), 1);
  EXPECT_EQ(db_.InsertEntry(FileEntry(u"ALPHA", 2)), 0);  // live holder: refused, nothing changes
  EXPECT_EQ(Rows(), "Alpha/0\n");
  EXPECT_TRUE(renamed_.empty());
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"beta")), 1);
  EXPECT_EQ(db_.RenameEntry(u"BETA", u"alpha"), 0);  // onto a live entry
  EXPECT_EQ(db_.RenameEntry(u"ALPHA", u"alpha"), 1);  // a change of case only
  EXPECT_EQ(Rows(), "alpha/0 beta/0\n");
  EXPECT_EQ(db_.DeleteEntry(u"BeTa", 1), 1);
  EXPECT_EQ(db_.DeleteEntry(u"beta", 1), 0);
}

TEST_F(DirectoryDbTest, TombstonesMoveToNumberedNamesWithTheirStreams) {
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(db_.InsertEntry(FileEntry(u"report.txt", round)), 1) << round;
    ASSERT_EQ(db_.InsertEntry(StreamEntry(u"report.txt:s", 100 + round)), 1);
    ASSERT_EQ(db_.DeleteEntry(u"report.txt", 0), 1);
  }
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"report.txt", 9)), 1);
  EXPECT_EQ(Rows(),
            "report.txt/0 report_#1#.txt/16 report_#1#.txt:s/24 report_#2#.txt/16 report_#2#.txt:s/24 "
            "report_#3#.txt/16 report_#3#.txt:s/24\n");
  DirEntryRecord r;
  ASSERT_TRUE(Has(u"report_#1#.txt", &r));
  EXPECT_EQ(r.file, 1u);  // the oldest tombstone kept its number
  ASSERT_TRUE(Has(u"report_#3#.txt:s", &r));
  EXPECT_EQ(r.file, 103u);
  EXPECT_EQ(r.type, ENTRY_STREAM | ENTRY_DELETED);
  EXPECT_FALSE(Has(u"report.txt:s"));
  ASSERT_EQ(renamed_.size(), 3u);
  EXPECT_EQ(renamed_[2].from, u"report.txt");
  EXPECT_EQ(renamed_[2].to, u"report_#3#.txt");
  EXPECT_EQ(renamed_[2].attr, 0x20u);
}

TEST_F(DirectoryDbTest, TombstoneNumberingEscapesWildcardsAndHandlesMissingExtensions) {
  // "aXb_#9#.txt" would match an unescaped "a_b_#%#.txt" pattern.
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"aXb_#9#.txt")), 1);
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"a_b.txt")), 1);
  ASSERT_EQ(db_.DeleteEntry(u"a_b.txt", 0), 1);
  ASSERT_EQ(db_.InsertEntry(DirectoryEntry(u"A_B.TXT", 5)), 1);
  ASSERT_EQ(renamed_.size(), 1u);
  EXPECT_EQ(renamed_[0].to, u"A_B_#1#.TXT");  // built from the wanted name

  ASSERT_EQ(db_.InsertEntry(DirectoryEntry(u"README", 6)), 1);
  ASSERT_EQ(db_.DeleteEntry(u"README", 0), 1);
  ASSERT_EQ(db_.RenameEntry(u"aXb_#9#.txt", u"readme"), 1);  // rename onto a tombstone
  ASSERT_EQ(renamed_.size(), 2u);
  EXPECT_EQ(renamed_[1].to, u"readme_#1#");
  EXPECT_EQ(renamed_[1].attr, FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(DirectoryDbTest, LongTombstoneNamesAreShortenedTo239Characters) {
  const std::u16string stem(246, u'n');
  ASSERT_EQ(db_.InsertEntry(FileEntry(stem + u".dat")), 1);  // 250 characters
  ASSERT_EQ(db_.DeleteEntry(stem + u".dat", 0), 1);
  ASSERT_EQ(db_.InsertEntry(FileEntry(stem + u".dat")), 1);
  ASSERT_EQ(db_.DeleteEntry(stem + u".dat", 0), 1);
  ASSERT_EQ(db_.InsertEntry(FileEntry(stem + u".dat")), 1);
  ASSERT_EQ(renamed_.size(), 2u);
  EXPECT_EQ(renamed_[0].to, std::u16string(235, u'n') + u"_#1#.dat");
  EXPECT_EQ(renamed_[1].to, std::u16string(235, u'n') + u"_#2#.dat");

  // The last "." lies in the part that must go: the name is cut, no extension kept.
  const std::u16string dotted = u"a." + std::u16string(248, u'z');
  ASSERT_EQ(db_.InsertEntry(FileEntry(dotted)), 1);
  ASSERT_EQ(db_.DeleteEntry(dotted, 0), 1);
  ASSERT_EQ(db_.InsertEntry(FileEntry(dotted)), 1);
  EXPECT_EQ(renamed_[2].to, dotted.substr(0, 239) + u"_#1#");
}

TEST_F(DirectoryDbTest, StreamsFollowTheirFileThroughRenameAndDelete) {
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"a")), 1);
  ASSERT_EQ(db_.InsertEntry(FileEntry(u"ab")), 1);
  ASSERT_EQ(db_.InsertEntry(StreamEntry(u"a:one", 11)), 1);
  ASSERT_EQ(db_.InsertEntry(StreamEntry(u"A:Two", 12)), 1);
  ASSERT_EQ(db_.InsertEntry(StreamEntry(u"ab:x", 13)), 1);

  const std::u16string file = u"A";
  DirEntryRecord r;
  std::vector<std::u16string> names;
  for (int ok = db_.EnumStreams(&file, 0, &r); ok; ok = db_.EnumStreams(nullptr, 0, &r)) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u":one", u":Two"}));

  ASSERT_EQ(db_.RenameEntry(u"a", u"c\u00e9"), 1);
  EXPECT_TRUE(Has(u"c\u00e9:one"));
  EXPECT_TRUE(Has(u"c\u00e9:Two"));
  EXPECT_TRUE(Has(u"ab:x"));
  ASSERT_EQ(db_.RenameEntry(u"c\u00e9", u"d"), 1);  // a multi-byte old name: the suffix is cut by characters
  EXPECT_TRUE(Has(u"d:Two"));

  ASSERT_EQ(db_.DeleteEntry(u"d", 0), 1);
  ASSERT_TRUE(Has(u"d:one", &r));
  EXPECT_EQ(r.type, ENTRY_STREAM | ENTRY_DELETED);
  EXPECT_EQ(db_.DeleteStream(u"ab:x", 1), 1);
  EXPECT_EQ(db_.DeleteStream(u"ab:x", 1), 0);
  EXPECT_EQ(db_.DeleteEntry(u"d", 1), 1);
  EXPECT_EQ(Rows(), "ab/0\n");
}

TEST_F(DirectoryDbTest, EnumerationSkipsStreamsAndStartsAtTheOffset) {
  for (char16_t c = u'a'; c <= u'e'; ++c) ASSERT_EQ(db_.InsertEntry(FileEntry(std::u16string(1, c))), 1);
  ASSERT_EQ(db_.InsertEntry(StreamEntry(u"a:s", 1)), 1);
  ASSERT_EQ(db_.DeleteEntry(u"b", 0), 1);
  DirEntryRecord r;
  std::u16string seen;
  for (int ok = db_.EnumEntries(1, 2, &r); ok; ok = db_.EnumEntries(0, 0, &r)) seen += r.name;
  EXPECT_EQ(seen, u"cde");
  EXPECT_EQ(db_.EnumEntries(0, 0, &r), 0);  // nothing running: no effect
  EXPECT_EQ(db_.IsEmpty(1), 0);
  for (char16_t c : std::u16string(u"acde")) ASSERT_EQ(db_.DeleteEntry(std::u16string(1, c), 1), 1);
  EXPECT_EQ(db_.IsEmpty(0), 1);  // only the tombstone of b is left
  EXPECT_EQ(db_.IsEmpty(1), 0);
}

TEST_F(DirectoryDbTest, NameLimitsAreCheckedBeforeTheDatabase) {
  EXPECT_EQ(db_.InsertEntry(FileEntry(std::u16string(1530, u'x'))), 1);  // 1530 bytes + terminator
  EXPECT_EQ(db_.InsertEntry(FileEntry(std::u16string(1531, u'y'))), 0);
  EXPECT_EQ(db_.InsertEntry(FileEntry(std::u16string(510, u'\u65e5'))), 1);           // 1530 bytes
  EXPECT_EQ(db_.InsertEntry(FileEntry(std::u16string(510, u'\u65e5') + u"x")), 0);  // 1531 bytes
  db_.SetChangeState(0);
  EXPECT_EQ(db_.RenameEntry(std::u16string(1530, u'x'), u"z"), 0);  // RenameEntry allows one byte less
  EXPECT_EQ(db_.ChangeState(), 0);
  ASSERT_EQ(db_.InsertEntry(FileEntry(std::u16string(1529, u'w'))), 1);
  EXPECT_EQ(db_.RenameEntry(std::u16string(1529, u'W'), std::u16string(1529, u'v')), 1);

  ASSERT_EQ(db_.InsertEntry(FileEntry(std::u16string(600, u'm'))), 1);
  DirEntryRecord r;
  ASSERT_TRUE(Has(std::u16string(600, u'M'), &r));
  EXPECT_EQ(r.name, std::u16string(511, u'm'));
  std::vector<size_t> lengths;
  for (int ok = db_.EnumEntries(1, 0, &r); ok; ok = db_.EnumEntries(0, 0, &r)) lengths.push_back(r.name.size());
  EXPECT_EQ(lengths, std::vector<size_t>(4, 255));
}

TEST_F(DirectoryDbTest, OldCatalogsGainTheHistoryColumns) {
  db_.Close();
  const fs::path old = FsPath("old.DIR");
  Sqlite3(old,
          "CREATE TABLE dirent(name TEXT COLLATE NOCASE, type INTEGER, disk INTEGER, file INTEGER, attr INTEGER, "
          "size INTEGER, alloc INTEGER, ctime INTEGER, atime INTEGER, mtime INTEGER, UNIQUE(name));"
          "INSERT INTO dirent VALUES('old', 0, 1, 2, 32, 10, 10, 1, 2, 3);");
  CDirectoryDb db;
  ASSERT_EQ(db.Open(Path("old.DIR")), SQLITE_OK);
  EXPECT_EQ(db.ChangeState(), 1);
  DirEntryRecord r;
  r.name = u"OLD";
  ASSERT_EQ(db.GetEntry(&r), 1);
  EXPECT_EQ(r.hdisk, 255);
  EXPECT_EQ(r.hfile, 0xFFFFFFFFu);
  EXPECT_EQ(r.file, 2u);
  ASSERT_EQ(db.InsertEntry(FileEntry(u"new")), 1);
  ASSERT_EQ(db.Close(), SQLITE_OK);
  EXPECT_EQ(Sqlite3(old, "SELECT name, hdisk, hfile FROM dirent ORDER BY name;"), "new|255|-1\nold||\n");
  ASSERT_EQ(db.Open(Path("old.DIR")), SQLITE_OK);
  EXPECT_EQ(db.ChangeState(), 0);  // nothing left to upgrade
}

TEST_F(DirectoryDbTest, DamagedRowsReadAsSafeValues) {
  ASSERT_EQ(db_.Close(), SQLITE_OK);
  Sqlite3(FsPath("d.DIR"),
          "INSERT INTO dirent VALUES(NULL, 'x', NULL, 'abc', NULL, 'big', NULL, NULL, NULL, NULL, 'h', 2.5);"
          "INSERT INTO dirent VALUES(x'ff00fe', 2, 1, 7, 16, 0, 0, 0, 0, 0, NULL, NULL);");
  ASSERT_EQ(db_.Open(Path("d.DIR")), SQLITE_OK);
  DirEntryRecord r;
  std::vector<DirEntryRecord> rows;
  for (int ok = db_.EnumEntries(1, 0, &r); ok; ok = db_.EnumEntries(0, 0, &r)) rows.push_back(r);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, u"");
  EXPECT_EQ(rows[0].type, 0);
  EXPECT_EQ(rows[0].file, 0u);
  EXPECT_EQ(rows[0].hdisk, 255);
  EXPECT_EQ(rows[0].hfile, 0xFFFFFFFFu);
  EXPECT_EQ(rows[1].file, 7u);
  EXPECT_EQ(rows[1].name.size(), 3u);  // invalid UTF-8 becomes replacement characters
}

TEST_F(DirectoryDbTest, FilesThatAreNotCatalogsFailToOpen) {
  db_.Close();
  std::string junk(5000, 'J');
  ASSERT_EQ(platform::WriteWholeFile(FsPath("junk.DIR"), junk), 0u);
  CDirectoryDb db;
  EXPECT_EQ(db.Open(Path("junk.DIR")), SQLITE_NOTADB);
  EXPECT_FALSE(db.IsOpen());
  ASSERT_EQ(platform::WriteWholeFile(FsPath("empty.DIR"), ""), 0u);
  EXPECT_EQ(db.Open(Path("empty.DIR")), SQLITE_ERROR);  // no dirent table
  EXPECT_EQ(db.Open(Path("missing.DIR")), SQLITE_CANTOPEN);
  EXPECT_FALSE(fs::exists(FsPath("missing.DIR")));
  EXPECT_EQ(db.Create(Path("junk.DIR")), SQLITE_NOTADB);
  DirEntryRecord r = FileEntry(u"x");
  EXPECT_EQ(db.InsertEntry(r), 0);
  EXPECT_EQ(db.GetEntry(&r), 0);
  EXPECT_EQ(db.EnumEntries(1, 0, &r), 0);
  EXPECT_EQ(db.IsEmpty(1), 0);
}

}  // namespace
}  // namespace kelva::storage::testing
