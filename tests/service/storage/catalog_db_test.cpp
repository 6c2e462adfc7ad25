#include "service/storage/catalog_db.h"

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service/storage/catalog_directory.h"
#include "tests/service/storage/catalog_test_util.h"

namespace kelva::storage::testing {
namespace {

// A clock whose Sleep returns at once, counts and lets the test act.
class SleepCountingClock : public platform::Clock {
 public:
  uint64_t NowMs() override { return slept_ms; }
  platform::FileTime Now() override { return 0; }
  void Sleep(uint32_t ms) override {
    ++sleeps;
    slept_ms += ms;
    if (on_sleep) on_sleep(sleeps);
  }
  bool WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&, uint64_t) override { return false; }
  int sleeps = 0;
  uint64_t slept_ms = 0;
  std::function<void(int)> on_sleep;
};

// A second, raw connection that can hold the write lock of a file.
class Blocker {
 public:
  explicit Blocker(const fs::path& file) { sqlite3_open(file.c_str(), &db_); }
  ~Blocker() { sqlite3_close(db_); }
  int Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  // The first column of the first row sql returns ("" when none).
  std::string First(const char* sql) {
    std::string out;
    sqlite3_exec(
        db_, sql,
        [](void* o, int, char** values, char**) {
          auto* s = static_cast<std::string*>(o);
          if (s->empty() && values[0] != nullptr) *s = values[0];
          return 0;
        },
        &out, nullptr);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

using CatalogDbTest = CatalogTest;

TEST_F(CatalogDbTest, DirectoryCatalogSchemaIsExactAndTheLogModeIsWal) {
  CDirectoryDb db;
  ASSERT_EQ(db.Create(Path("a.DIR")), SQLITE_OK);
  EXPECT_EQ(db.ChangeState(), 1);
  EXPECT_EQ(db.Path(), Path("a.DIR"));
  ASSERT_EQ(db.Close(), SQLITE_OK);
  EXPECT_EQ(db.Path(), u"");
  EXPECT_EQ(db.ChangeState(), 0);
  EXPECT_EQ(Sqlite3(FsPath("a.DIR"), "SELECT sql FROM sqlite_master WHERE sql NOT NULL; PRAGMA journal_mode;"),
            "CREATE TABLE dirent(name TEXT COLLATE NOCASE, type INTEGER, disk INTEGER, file INTEGER, attr INTEGER, "
            "size INTEGER, alloc INTEGER, ctime INTEGER, atime INTEGER, mtime INTEGER, hdisk INTEGER, "
            "hfile INTEGER, UNIQUE(name))\nwal\n");
}

// New catalogs have 1024-byte pages; a catalog made with another page size
// (SQLite's default 4096 elsewhere) opens, keeps its pages and takes entries.
TEST_F(CatalogDbTest, NewCatalogsHave1024BytePagesAndOthersOpenAsTheyAre) {
  CDirectoryDb made;
  ASSERT_EQ(made.Create(Path("small.DIR")), SQLITE_OK);
  ASSERT_EQ(made.InsertEntry(FileEntry(u"one.txt")), 1);
  ASSERT_EQ(made.Close(), SQLITE_OK);
  EXPECT_EQ(Sqlite3(FsPath("small.DIR"), "PRAGMA page_size; PRAGMA journal_mode;"), "1024\nwal\n");

  ASSERT_EQ(Sqlite3(FsPath("big.DIR"),
                    "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; CREATE TABLE dirent(name TEXT COLLATE NOCASE, "
                    "type INTEGER, disk INTEGER, file INTEGER, attr INTEGER, size INTEGER, alloc INTEGER, ctime "
                    "INTEGER, atime INTEGER, mtime INTEGER, hdisk INTEGER, hfile INTEGER, UNIQUE(name));"),
            "wal\n");
  CDirectoryDb old;
  ASSERT_EQ(old.Open(Path("big.DIR")), SQLITE_OK);
  ASSERT_EQ(old.InsertEntry(FileEntry(u"two.txt")), 1);
  DirEntryRecord back;
  back.name = u"TWO.TXT";
  ASSERT_EQ(old.GetEntry(&back), 1);
  ASSERT_EQ(old.Close(), SQLITE_OK);
  EXPECT_EQ(Sqlite3(FsPath("big.DIR"), "PRAGMA page_size; SELECT name FROM dirent;"), "4096\ntwo.txt\n");
}

TEST_F(CatalogDbTest, PathsOverTheByteLimitAreRefused) {
  CDirectoryDb db;
  const std::string dir = dir_.string() + "/";
  EXPECT_EQ(db.Create(platform::Utf8ToUtf16(dir + std::string(766 - dir.size(), 'p'))), SQLITE_NOMEM);
  // 765 bytes pass the limit (and then fail only because no such folder exists).
  EXPECT_NE(db.Create(platform::Utf8ToUtf16(dir + "x/" + std::string(763 - dir.size(), 'p'))), SQLITE_NOMEM);
}

TEST_F(CatalogDbTest, CommitsCheckpointTheLogAndRefreshTheSize) {
  CDirectoryDb db;
  ASSERT_EQ(db.Create(Path("c.DIR")), SQLITE_OK);
  const uint64_t created = db.FileSize();
  for (uint32_t i = 0; i < 1200; ++i) {
    ASSERT_EQ(db.InsertEntry(FileEntry(u"entry number " + platform::Utf8ToUtf16(std::to_string(i)), i)), 1);
  }
  // Without checkpoints the log would hold one or more 4 KiB frames per commit.
  uint64_t wal = 0;
  ASSERT_EQ(platform::GetFileSize(FsPath("c.DIR-wal"), &wal), 0u);
  EXPECT_LT(wal, 300u * 4200);
  EXPECT_GT(db.FileSize(), created);

  ASSERT_EQ(db.CheckpointAndLock(), SQLITE_OK);
  uint64_t size = 0;
  ASSERT_EQ(platform::GetFileSize(FsPath("c.DIR"), &size), 0u);
  EXPECT_EQ(db.FileSize(), size);
  // While the lock is held the main file alone is a complete copy.
  ASSERT_EQ(platform::CopyFile(FsPath("c.DIR"), FsPath("copy.DIR"), false), 0u);
  std::atomic<bool> inserted{false};
  std::thread writer([&] {
    EXPECT_EQ(db.InsertEntry(FileEntry(u"late")), 1);
    inserted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(inserted);  // waits for the lock
  db.Unlock();
  writer.join();
  EXPECT_EQ(Sqlite3(FsPath("copy.DIR"), "SELECT count(*) FROM dirent;"), "1200\n");
}

// A reader on another connection keeps log frames out of the main file; the
// checkpoint must not then promise a complete main file, and does again once
// the reader is gone.
TEST_F(CatalogDbTest, CheckpointHeldBackByAReaderIsNotReportedComplete) {
  CDirectoryDb db;
  ASSERT_EQ(db.Create(Path("r.DIR")), SQLITE_OK);
  ASSERT_EQ(db.InsertEntry(FileEntry(u"first", 1)), 1);
  {
    Blocker reader(FsPath("r.DIR"));
    ASSERT_EQ(reader.Exec("BEGIN; SELECT count(*) FROM dirent;"), SQLITE_OK);
    ASSERT_EQ(db.InsertEntry(FileEntry(u"second", 2)), 1);
    EXPECT_EQ(db.CheckpointAndLock(), SQLITE_BUSY);
    // The lock was released: a change goes through at once.
    ASSERT_EQ(db.InsertEntry(FileEntry(u"third", 3)), 1);
    reader.Exec("COMMIT;");
  }
  ASSERT_EQ(db.CheckpointAndLock(), SQLITE_OK);
  ASSERT_EQ(platform::CopyFile(FsPath("r.DIR"), FsPath("copy.DIR"), false), 0u);
  db.Unlock();
  EXPECT_EQ(Sqlite3(FsPath("copy.DIR"), "SELECT count(*) FROM dirent;"), "3\n");
}

TEST_F(CatalogDbTest, BusyDatabaseIsRetriedEvery10MsUpTo1000Times) {
  SleepCountingClock clock;
  CDirectoryDb db(clock);
  ASSERT_EQ(db.Create(Path("b.DIR")), SQLITE_OK);
  Blocker other(FsPath("b.DIR"));
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE; INSERT INTO dirent(name) VALUES('held');"), SQLITE_OK);

  clock.on_sleep = [&](int n) {
    if (n == 3) other.Exec("COMMIT;");
  };
  EXPECT_EQ(db.InsertEntry(FileEntry(u"after three")), 1);
  EXPECT_EQ(clock.sleeps, 3);
  EXPECT_EQ(clock.slept_ms, 30u);

  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE;"), SQLITE_OK);
  clock.on_sleep = nullptr;
  clock.sleeps = 0;
  clock.slept_ms = 0;
  db.SetChangeState(0);
  EXPECT_EQ(db.InsertEntry(FileEntry(u"never")), 0);
  EXPECT_EQ(clock.sleeps, 1000);
  EXPECT_EQ(clock.slept_ms, 10000u);
  EXPECT_EQ(db.ChangeState(), 0);
  other.Exec("ROLLBACK;");
  DirEntryRecord r;
  r.name = u"never";
  EXPECT_EQ(db.GetEntry(&r), 0);
}

TEST_F(CatalogDbTest, ThreadsShareOneConnectionUnderItsLock) {
  CDirectoryDb db;
  ASSERT_EQ(db.Create(Path("t.DIR")), SQLITE_OK);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const std::u16string name = platform::Utf8ToUtf16("t" + std::to_string(t) + "_" + std::to_string(i));
        DirEntryRecord r;
        r.name = name;
        if (db.InsertEntry(FileEntry(name, i)) != 1 || db.GetEntry(&r) != 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);

  // An enumeration keeps other threads out from its first call to its last.
  DirEntryRecord r;
  ASSERT_EQ(db.EnumEntries(1, 0, &r), 1);
  std::atomic<bool> inserted{false};
  std::thread writer([&] {
    EXPECT_EQ(db.InsertEntry(FileEntry(u"during")), 1);
    inserted = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(inserted);
  int rows = 1;
  while (db.EnumEntries(0, 0, &r)) ++rows;
  writer.join();
  EXPECT_EQ(rows, 400);

  // An enumeration ended early gives the lock back too, and so does Close.
  ASSERT_EQ(db.EnumEntries(1, 0, &r), 1);
  db.EndEnumeration();
  std::thread([&] { EXPECT_EQ(db.IsEmpty(1), 0); }).join();
  const std::u16string file = u"during";
  db.EnumStreams(&file, 0, &r);
  ASSERT_EQ(db.EnumEntries(1, 0, &r), 1);
  EXPECT_EQ(db.Close(), SQLITE_OK);
  std::thread([&] { EXPECT_EQ(db.IsEmpty(1), 0); }).join();
}

// Each operation parses its statements once per connection: later calls reuse
// them, also after a step that failed (a duplicate name, a busy database), and
// the idle statements hold no transaction that would keep another connection
// out. Close finalizes them, so it succeeds and a reopened catalog parses again.
TEST_F(CatalogDbTest, StatementsAreParsedOnceAndReusedAfterFailures) {
  SleepCountingClock clock;
  CDirectoryDb db(clock);
  ASSERT_EQ(db.Create(Path("s.DIR")), SQLITE_OK);
  DirEntryRecord r;
  auto round = [&](const std::u16string& name) {
    r.name = name;
    return db.InsertEntry(FileEntry(name)) == 1 && db.GetEntry(&r) == 1 && db.UpdateEntry(FileEntry(name, 7)) == 1;
  };
  ASSERT_TRUE(round(u"first"));
  const uint64_t parsed = db.StatementsParsed();
  EXPECT_GT(db.CachedStatementCount(), 0u);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(round(u"n" + std::u16string(1, static_cast<char16_t>(u'a' + i))));
  EXPECT_EQ(db.StatementsParsed(), parsed);

  struct Failure {
    const char* what;
    std::function<void(Blocker&)> before, after;
  };
  const std::vector<Failure> failures = {
      {"duplicate name", [](Blocker&) {}, [](Blocker&) {}},
      {"busy database", [](Blocker& b) { ASSERT_EQ(b.Exec("BEGIN IMMEDIATE;"), SQLITE_OK); },
       [](Blocker& b) { b.Exec("ROLLBACK;"); }},
  };
  // A failed insert goes on to statements of its own; those are parsed in the
  // first pass and reused in the second.
  uint64_t after_first_pass = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (const Failure& f : failures) {
      SCOPED_TRACE(f.what);
      Blocker other(FsPath("s.DIR"));
      f.before(other);
      EXPECT_EQ(db.InsertEntry(FileEntry(u"FIRST", 9)), 0);
      f.after(other);
      ASSERT_TRUE(round(platform::Utf8ToUtf16(std::string("after ") + f.what + std::to_string(pass))));
      // No idle statement keeps a read or write transaction open.
      EXPECT_EQ(other.Exec("BEGIN IMMEDIATE; INSERT INTO dirent(name) VALUES('other'); COMMIT;"), SQLITE_OK);
      EXPECT_EQ(other.First("PRAGMA wal_checkpoint(TRUNCATE);"), "0") << "the checkpoint met a reader";
      ASSERT_EQ(other.Exec("DELETE FROM dirent WHERE name='other';"), SQLITE_OK);
    }
    if (pass == 0) after_first_pass = db.StatementsParsed();
  }
  EXPECT_EQ(db.StatementsParsed(), after_first_pass);
  r.name = u"first";
  ASSERT_EQ(db.GetEntry(&r), 1);
  EXPECT_EQ(r.file, 7u) << "the failed insert changed nothing";

  ASSERT_EQ(db.Close(), SQLITE_OK);
  EXPECT_EQ(db.CachedStatementCount(), 0u);
  ASSERT_EQ(db.Open(Path("s.DIR")), SQLITE_OK);
  r.name = u"na";
  EXPECT_EQ(db.GetEntry(&r), 1);
  EXPECT_GT(db.StatementsParsed(), parsed);
}

// Reads the connection's own settings.
class SettingsProbe : public CDirectoryDb {
 public:
  std::string Pragma(const char* sql) {
    std::lock_guard lk(lock());
    Statement st(*this, false);
    if (st.Prepare(sql) != SQLITE_OK || st.Step() != SQLITE_ROW) return "?";
    return std::string(st.ColumnText(0));
  }
};

// A catalog in log mode commits without a disk flush and leaves its log pending
// until SyncPendingCommits flushes it; one in another journal mode keeps the
// full flush on every commit and leaves nothing pending.
TEST_F(CatalogDbTest, LogModeCatalogsCommitWithoutFlushUntilSyncIsAsked) {
  CCatalogDb::SyncPendingCommits();
  ASSERT_EQ(CCatalogDb::PendingCommitCount(), 0u);
  ASSERT_EQ(Sqlite3(FsPath("rollback.DIR"),
                    "CREATE TABLE dirent(name TEXT COLLATE NOCASE, type INTEGER, disk INTEGER, file INTEGER, attr "
                    "INTEGER, size INTEGER, alloc INTEGER, ctime INTEGER, atime INTEGER, mtime INTEGER, hdisk "
                    "INTEGER, hfile INTEGER, UNIQUE(name)); PRAGMA journal_mode;"),
            "delete\n");
  struct Case {
    const char* file;
    bool create;
    const char* synchronous;  // 1 NORMAL, 2 FULL
    size_t pending_after_commit;
  };
  for (const Case& c : std::vector<Case>{{"wal.DIR", true, "1", 1}, {"rollback.DIR", false, "2", 0}}) {
    SCOPED_TRACE(c.file);
    SettingsProbe db;
    ASSERT_EQ(c.create ? db.Create(Path(c.file)) : db.Open(Path(c.file)), SQLITE_OK);
    CCatalogDb::SyncPendingCommits();
    EXPECT_EQ(db.Pragma("PRAGMA synchronous;"), c.synchronous);
    ASSERT_EQ(db.InsertEntry(FileEntry(u"one")), 1);
    ASSERT_EQ(db.InsertEntry(FileEntry(u"two")), 1);
    EXPECT_EQ(CCatalogDb::PendingCommitCount(), c.pending_after_commit) << "one entry per log, however many commits";
    EXPECT_EQ(CCatalogDb::SyncPendingCommits(), 0);
    EXPECT_EQ(CCatalogDb::PendingCommitCount(), 0u);
  }
  // A log removed since its commit (its catalog was closed, which checkpoints
  // and flushes it) is no failure.
  {
    CDirectoryDb db;
    ASSERT_EQ(db.Open(Path("wal.DIR")), SQLITE_OK);
    ASSERT_EQ(db.InsertEntry(FileEntry(u"three")), 1);
    ASSERT_EQ(db.Close(), SQLITE_OK);
  }
  EXPECT_FALSE(fs::exists(FsPath("wal.DIR-wal")));
  EXPECT_EQ(CCatalogDb::SyncPendingCommits(), 0);
  EXPECT_EQ(Sqlite3(FsPath("wal.DIR"), "SELECT count(*) FROM dirent;"), "3\n");
}

TEST_F(CatalogDbTest, TwoConnectionsOnOneFileBothGetThrough) {
  CDirectoryDb first, second;
  ASSERT_EQ(first.Create(Path("two.DIR")), SQLITE_OK);
  ASSERT_EQ(second.Open(Path("two.DIR")), SQLITE_OK);
  std::atomic<int> failures{0};
  auto work = [&](CDirectoryDb* db, char tag) {
    for (int i = 0; i < 150; ++i) {
      if (db->InsertEntry(FileEntry(platform::Utf8ToUtf16(std::string(1, tag) + std::to_string(i)))) != 1) ++failures;
    }
  };
  std::thread a(work, &first, 'a'), b(work, &second, 'b');
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Sqlite3(FsPath("two.DIR"), "SELECT count(*) FROM dirent;"), "300\n");
}

TEST(DirEntryRecordTest, PackedFormIsLittleEndianAnd57BytesBeforeTheName) {
  DirEntryRecord r = FileEntry(u"\u00e9t\u00e9", 0x01020304u, 0x1122334455667788LL);
  r.type = 0x12;
  r.disk = 7;
  r.attr = 0xA0B0C0D0u;
  r.hdisk = 9;
  r.hfile = 0xCAFEBABEu;
  std::string packed;
  ASSERT_TRUE(PackDirEntry(r, &packed));
  ASSERT_EQ(packed.size(), 57u + 6);
  auto byte = [&](size_t i) { return static_cast<uint8_t>(packed[i]); };
  EXPECT_EQ(byte(0), 0x12);
  EXPECT_EQ(byte(1), 7);
  EXPECT_EQ(byte(2), 0x04);   // file, low byte first
  EXPECT_EQ(byte(6), 0xD0);   // attr
  EXPECT_EQ(byte(10), 0x88);  // size
  EXPECT_EQ(byte(50), 9);     // hdisk
  EXPECT_EQ(byte(51), 0xBE);  // hfile
  EXPECT_EQ(byte(55), 3);     // name length in units
  EXPECT_EQ(byte(57), 0xE9);

  DirEntryRecord back;
  size_t used = 0;
  ASSERT_TRUE(UnpackDirEntry(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), &back, &used));
  EXPECT_EQ(used, packed.size());
  EXPECT_EQ(back, r);
  EXPECT_FALSE(UnpackDirEntry(reinterpret_cast<const uint8_t*>(packed.data()), packed.size() - 1, &back, &used));
  EXPECT_FALSE(UnpackDirEntry(reinterpret_cast<const uint8_t*>(packed.data()), 56, &back, &used));
  r.name.assign(70000, u'x');
  EXPECT_FALSE(PackDirEntry(r, &packed));
  EXPECT_EQ(FileEntry(std::u16string(255, u'n')).RecordSize(), 568u);
}

}  // namespace
}  // namespace kelva::storage::testing
