#include "service/storage/cache_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "service/storage/cache_file_ops.h"
#include "service/storage/catalog_directory.h"
#include "platform/text.h"

namespace kelva::storage {
namespace {

using namespace platform;

class FakeOwner : public ICacheStoreOwner {
 public:
  void ReportCacheShortage() override { ++shortages; }
  uint32_t NewFileNumber(CacheKind, uint8_t) override { return next_number++; }
  int shortages = 0;
  uint32_t next_number = 5000;
};

class CacheStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = fs::temp_directory_path() / ("kelva_cachestore_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(data_);
    clock_.SetAutoAdvanceOnSleep(true);
    store_ = std::make_unique<CCacheStore>(&owner_, data_, clock_);
    ASSERT_TRUE(store_->Open(u"MAG-0001"));
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(data_);
  }
  fs::path Cache() const { return data_ / "magazine" / "MAG-0001" / "cache"; }
  fs::path Mag() const { return data_ / "magazine" / "MAG-0001"; }
  // Creates a cache file with some content.
  void Make(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece = 0, std::string_view text = "data") {
    File f;
    uint32_t number = file;
    ASSERT_EQ(store_->CreateCacheFile(kind, disc, &number, piece, &f, false), ERROR_SUCCESS);
    ASSERT_EQ(f.WriteAllAt(0, text.data(), static_cast<uint32_t>(text.size())), ERROR_SUCCESS);
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path data_;
  TestClock clock_;
  FakeOwner owner_;
  std::unique_ptr<CCacheStore> store_;
};

TEST(CacheNamesTest, NamesFollowTheCacheLayout) {
  EXPECT_EQ(CCacheStore::CacheFileName(CK_DIR, 1, 74565, 0), "000/048/040012345.DIR");
  EXPECT_EQ(CCacheStore::CacheFileName(CK_DB, 255, 1234, 0), "STRUCT/0001/0001234.DB");
  EXPECT_EQ(CCacheStore::CacheFileName(CK_DB, 255, 7, 0), "STRUCT/0000/0000007.DB");
  // Folder levels from bits 20-29 and 10-19; the 36-bit name (d << 30) + f; pieces in 8 digits.
  EXPECT_EQ(CCacheStore::CacheFileName(CK_DAT, 4, 0x3FFFFFFF, 0x2A), "3FF/3FF/13FFFFFFF0000002A.DAT");
  EXPECT_EQ(CCacheStore::CacheFileName(CK_LOG, 11, 0x00100401, 0), "001/001/2C0100401.LOG");
  EXPECT_EQ(CCacheStore::CacheFileName(CK_IND, 0, 0, 0), "000/000/000000000.IND");
  EXPECT_EQ(CCacheStore::CacheFileName(static_cast<CacheKind>(7), 0, 1, 0), "000/000/000000001");
  EXPECT_EQ(CCacheStore::SnapshotFileName(CK_DB, 255, 1234), "0001234.DB");
  EXPECT_EQ(CCacheStore::SnapshotFileName(CK_DIR, 1, 74565), "040012345.DIR");
}

TEST_F(CacheStoreTest, OpenMakesTheCacheFolderAndCloseLeavesOnlyUsedMaps) {
  EXPECT_TRUE(fs::is_directory(Cache()));
  EXPECT_FALSE(fs::exists(Cache() / "mapdir.bin")) << "a map exists on disk only once saved";
  Make(CK_DIR, 1, 74565);
  EXPECT_TRUE(fs::exists(Cache() / "000" / "048" / "040012345.DIR"));
  ASSERT_EQ(store_->Close(), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(Cache() / "mapdir.bin"));
  EXPECT_EQ(fs::file_size(Cache() / "mapdir.bin"), 4096u);
  for (const char* empty : {"mapdb.bin", "mapdat.bin", "mapind.bin", "maplog.bin"}) {
    EXPECT_FALSE(fs::exists(Cache() / empty)) << empty;
  }
  EXPECT_FALSE(store_->IsOpen());
  fs::path path;
  EXPECT_FALSE(store_->CacheFilePath(CK_DIR, 1, 74565, 0, &path));

  // The entries come back with the map.
  ASSERT_TRUE(store_->Open(u"MAG-0001"));
  ASSERT_TRUE(store_->CacheFilePath(CK_DIR, 1, 74565, 0, &path));
  EXPECT_EQ(path, Cache() / "000/048/040012345.DIR");
  EXPECT_EQ(store_->DirCatalogSize(1, 74565), 4u);
  EXPECT_EQ(store_->DirCatalogSize(1, 74566), 0u);

  // Emptied again, Close removes the map files and the empty folders, but not "magazine".
  ASSERT_EQ(store_->DeleteCacheFile(CK_DIR, 1, 74565, 0), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Cache() / "000")) << "folders left empty go with the file";
  ASSERT_EQ(store_->Close(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Mag()));
  EXPECT_TRUE(fs::is_directory(data_ / "magazine"));
}

// Opening again without a close drops the maps in memory: the map files keep
// describing the cache as of its last close, for this magazine or another.
TEST_F(CacheStoreTest, OpenAgainDropsTheLoadedMapsWithoutSavingThem) {
  Make(CK_DIR, 1, 74565);
  ASSERT_TRUE(store_->Open(u"MAG-0002"));
  EXPECT_FALSE(fs::exists(Cache() / "mapdir.bin"));
  EXPECT_EQ(store_->Map(CK_DIR).Count(), 0u);
  ASSERT_TRUE(store_->Open(u"MAG-0001"));
  EXPECT_FALSE(fs::exists(Cache() / "mapdir.bin"));
  EXPECT_EQ(store_->Map(CK_DIR).Count(), 0u);
}

TEST_F(CacheStoreTest, BadMagazineNamesAndBadMapsKeepTheStoreClosed) {
  CCacheStore other(&owner_, data_, clock_);
  EXPECT_FALSE(other.Open(u".."));
  EXPECT_FALSE(other.Open(u"a/b"));
  EXPECT_FALSE(other.Open(u""));
  EXPECT_FALSE(fs::exists(data_ / "cache"));
  ASSERT_TRUE(fs::create_directories(data_ / "magazine" / "BAD" / "cache"));
  ASSERT_EQ(WriteWholeFile(data_ / "magazine" / "BAD" / "cache" / "mapdat.bin", std::string(4100, '\xFF')),
            ERROR_SUCCESS);
  EXPECT_FALSE(other.Open(u"BAD"));
  File f;
  uint32_t number = 1;
  EXPECT_EQ(other.CreateCacheFile(CK_DIR, 0, &number, 0, &f, false), ERROR_ACCESS_DENIED);
  EXPECT_EQ(other.CreateCacheFile(static_cast<CacheKind>(5), 0, &number, 0, &f, false),
            ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(other.IsMarked(0, 1));
}

TEST_F(CacheStoreTest, TakenNumbers) {
  File f;
  // CK_DB counts upward past taken numbers, always on disc 255.
  uint32_t number = 10;
  ASSERT_EQ(store_->CreateCacheFile(CK_DB, 3, &number, 0, &f, false), ERROR_SUCCESS);
  for (uint32_t want : {11u, 12u}) {
    number = 10;
    ASSERT_EQ(store_->CreateCacheFile(CK_DB, 0, &number, 0, &f, false), ERROR_SUCCESS);
    EXPECT_EQ(number, want);
  }
  EXPECT_TRUE(fs::exists(Cache() / "STRUCT/0000/0000012.DB"));
  number = 10;
  EXPECT_EQ(store_->CreateCacheFile(CK_DB, 255, &number, 0, &f, true), ERROR_FILE_EXISTS);
  uint8_t vd;
  uint32_t vf;
  EXPECT_EQ(store_->Map(CK_DB).Lookup(255, 12, &vd, &vf), ERROR_SUCCESS);

  // Other kinds ask the owner for a new number.
  number = 7;
  ASSERT_EQ(store_->CreateCacheFile(CK_LOG, 2, &number, 0, &f, false), ERROR_SUCCESS);
  number = 7;
  ASSERT_EQ(store_->CreateCacheFile(CK_LOG, 2, &number, 0, &f, false), ERROR_SUCCESS);
  EXPECT_EQ(number, 5000u);

  // A stale file where the new one should go: the call fails and takes no entry.
  fs::create_directories(Cache() / "000/000");
  ASSERT_EQ(WriteWholeFile(Cache() / "000/000/000000009.IND", "x"), ERROR_SUCCESS);
  number = 9;
  EXPECT_EQ(store_->CreateCacheFile(CK_IND, 0, &number, 0, &f, false), ERROR_FILE_EXISTS);
  EXPECT_EQ(store_->Map(CK_IND).Lookup(0, 9, &vd, &vf), ERROR_FILE_NOT_FOUND);
}

TEST_F(CacheStoreTest, DataPiecesShareOneEntry) {
  Make(CK_DAT, 1, 300, 0);
  Make(CK_DAT, 1, 300, 1);
  Make(CK_DAT, 1, 300, 2);
  const fs::path folder = Cache() / "000/000";
  EXPECT_TRUE(fs::exists(folder / "04000012C00000001.DAT"));
  EXPECT_EQ(store_->Map(CK_DAT).Count(), 1u);
  File f;
  ASSERT_EQ(store_->OpenCacheFile(CK_DAT, 1, 300, 2, &f), ERROR_SUCCESS);
  EXPECT_EQ(store_->OpenCacheFile(CK_DAT, 1, 301, 0, &f), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(store_->DeleteCacheFile(CK_DAT, 1, 300, 0), ERROR_SUCCESS);
  ASSERT_EQ(store_->DeleteCacheFile(CK_DAT, 1, 300, 2), ERROR_SUCCESS);
  fs::path path;
  EXPECT_TRUE(store_->CacheFilePath(CK_DAT, 1, 300, 1, &path)) << "a piece remains";
  ASSERT_EQ(store_->DeleteCacheFile(CK_DAT, 1, 300, 1), ERROR_SUCCESS);
  EXPECT_FALSE(store_->CacheFilePath(CK_DAT, 1, 300, 1, &path));
  EXPECT_FALSE(fs::exists(Cache() / "000"));
  EXPECT_EQ(store_->DeleteCacheFile(CK_DAT, 1, 300, 1), ERROR_FILE_NOT_FOUND);
}

// Deleting cache files first makes the catalog changes committed so far
// durable: a catalog must not point at a file a power loss already took.
TEST_F(CacheStoreTest, DeletionsFlushPendingCatalogCommitsFirst) {
  CDirectoryDb catalog;
  ASSERT_EQ(catalog.Create(Utf8ToUtf16((data_ / "pending.DIR").string())), 0);
  struct Case {
    const char* what;
    std::function<Win32Error()> remove;
  };
  const std::vector<Case> cases = {
      {"delete", [&] { return store_->DeleteCacheFile(CK_DIR, 0, 40, 0); }},
      {"purge", [&] { return store_->PurgeMarked(CK_DIR); }},
  };
  Make(CK_DIR, 0, 40);
  Make(CK_DIR, 0, 41);
  ASSERT_EQ(store_->MarkForDeletion(CK_DIR, 0, 41), ERROR_SUCCESS);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DirEntryRecord r;
    r.name = u"entry" + std::u16string(1, static_cast<char16_t>(u'0' + n++));
    r.type = 1;
    ASSERT_EQ(catalog.InsertEntry(r), 1);
    ASSERT_EQ(CCatalogDb::PendingCommitCount(), 1u);
    EXPECT_EQ(c.remove(), ERROR_SUCCESS);
    EXPECT_EQ(CCatalogDb::PendingCommitCount(), 0u);
  }
}

TEST_F(CacheStoreTest, ReKeyedFileKeepsItsName) {
  Make(CK_DIR, 1, 74565, 0, "catalog");
  ASSERT_EQ(store_->ReKey(CK_DIR, 1, 74565, 3, 99), ERROR_SUCCESS);
  fs::path path;
  ASSERT_TRUE(store_->CacheFilePath(CK_DIR, 3, 99, 0, &path));
  EXPECT_EQ(path, Cache() / "000/048/040012345.DIR");
  EXPECT_FALSE(store_->CacheFilePath(CK_DIR, 1, 74565, 0, &path));
  EXPECT_EQ(store_->DirCatalogSize(3, 99), 7u);
  Make(CK_DIR, 3, 98);
  EXPECT_EQ(store_->ReKey(CK_DIR, 3, 99, 3, 98), ERROR_FILE_EXISTS);
  EXPECT_EQ(store_->ReKey(CK_DIR, 1, 74565, 3, 97), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(store_->CacheFilePath(CK_DIR, 3, 99, 0, &path)) << "a refused re-key loses nothing";
  // The structure catalog is re-keyed on disc 255 whatever the caller passes.
  Make(CK_DB, 0, 20);
  ASSERT_EQ(store_->ReKey(CK_DB, 0, 20, 0, 21), ERROR_SUCCESS);
  ASSERT_TRUE(store_->CacheFilePath(CK_DB, 255, 21, 0, &path));
  EXPECT_EQ(path, Cache() / "STRUCT/0000/0000020.DB");
}

TEST_F(CacheStoreTest, MarkedEntriesArePurgedWithTheirFiles) {
  Make(CK_DIR, 0, 1);
  Make(CK_DIR, 0, 2);
  Make(CK_DIR, 0, 0x500);  // its own second-level folder
  Make(CK_DAT, 0, 8, 0);
  Make(CK_DAT, 0, 8, 1);
  EXPECT_EQ(store_->MarkForDeletion(CK_DIR, 0, 0x500), ERROR_SUCCESS);
  EXPECT_EQ(store_->MarkForDeletion(CK_DIR, 0, 0x500), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(store_->MarkForDeletion(CK_DIR, 0, 3), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(store_->MarkForDeletion(CK_DIR, 0, 2), ERROR_SUCCESS);
  EXPECT_EQ(store_->MarkForDeletion(CK_DAT, 0, 8), ERROR_SUCCESS);
  EXPECT_TRUE(store_->IsMarked(0, 2));
  EXPECT_FALSE(store_->IsMarked(0, 1));
  ASSERT_EQ(store_->PurgeMarked(CK_DIR), ERROR_SUCCESS);
  EXPECT_FALSE(store_->IsMarked(0, 2));
  EXPECT_FALSE(fs::exists(Cache() / "000/000/000000002.DIR"));
  EXPECT_FALSE(fs::exists(Cache() / "000/001"));
  EXPECT_TRUE(fs::exists(Cache() / "000/000/000000001.DIR"));
  EXPECT_EQ(store_->Map(CK_DIR).Count(), 1u);
  ASSERT_EQ(store_->PurgeMarked(CK_DAT), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Cache() / "000/000/00000000800000001.DAT")) << "every piece goes";
  EXPECT_TRUE(store_->Map(CK_DAT).IsEmpty());
}

TEST_F(CacheStoreTest, TempCatalogsResumeFileAndNamedFiles) {
  fs::path temp;
  ASSERT_EQ(store_->NewTempCatalogName(&temp), ERROR_SUCCESS);
  EXPECT_EQ(temp.parent_path(), Cache());
  EXPECT_EQ(temp.filename().string().rfind("~db", 0), 0u);
  EXPECT_TRUE(fs::exists(temp));
  EXPECT_EQ(store_->DeleteNamedFile("../cache-save"), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(store_->DeleteNamedFile(temp.filename().string()), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(temp));
  // A new resume file replaces the old one only when it is committed whole.
  const auto write_resume = [&](const std::string& text, bool commit) {
    File f;
    ASSERT_EQ(store_->CreateResumeFile(&f), ERROR_SUCCESS);
    uint32_t done = 0;
    ASSERT_EQ(f.Write(text.data(), static_cast<uint32_t>(text.size()), &done), ERROR_SUCCESS);
    f.Close();
    if (commit) {
      ASSERT_EQ(store_->CommitResumeFile(), ERROR_SUCCESS);
    }
  };
  write_resume("first", true);
  write_resume("torn", false);  // a crash while the next one is written
  EXPECT_EQ(Read(store_->LiveResumePath()), "first");
  write_resume("second", true);  // replaces the unfinished one too
  EXPECT_EQ(Read(store_->LiveResumePath()), "second");
  write_resume("dropped", false);
  ASSERT_EQ(store_->DiscardResumeFile(), ERROR_SUCCESS);
  EXPECT_EQ(Read(store_->LiveResumePath()), "second");
  EXPECT_EQ(std::distance(fs::directory_iterator(Cache()), fs::directory_iterator()), 1);
}

TEST_F(CacheStoreTest, SnapshotsCopyChangedCatalogsAndLinkUnchangedOnes) {
  Make(CK_DB, 255, 1234, 0, "structure");
  Make(CK_DIR, 1, 74565, 0, "directory");
  File resume;
  ASSERT_EQ(store_->BeginSnapshot(&resume), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(Mag() / "cache-temp/resume.bin"));
  ASSERT_EQ(store_->AddToSnapshot(CK_DB, 0, 1234), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DIR, 1, 74565), ERROR_SUCCESS);
  EXPECT_EQ(store_->AddToSnapshot(CK_DAT, 1, 74565), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(store_->AddToSnapshot(CK_DIR, 1, 1), ERROR_FILE_NOT_FOUND);
  FileTime live_time = 0, copy_time = 1;
  GetLastWriteTime(Cache() / "STRUCT/0001/0001234.DB", &live_time);
  GetLastWriteTime(Mag() / "cache-temp/0001234.DB", &copy_time);
  EXPECT_EQ(live_time, copy_time) << "the copy keeps the last-write time";
  resume.Close();
  // The first commit has no "cache-save" to move aside.
  ASSERT_EQ(store_->CommitSnapshot(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Mag() / "cache-temp"));
  EXPECT_FALSE(fs::exists(Mag() / "cache-prev"));
  std::string text;
  ASSERT_EQ(ReadWholeFile(Mag() / "cache-save/040012345.DIR", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "directory");

  // Second round: the directory changed, the structure catalog did not.
  fs::path dir_path;
  ASSERT_TRUE(store_->CacheFilePath(CK_DIR, 1, 74565, 0, &dir_path));
  ASSERT_EQ(WriteWholeFile(dir_path, "directory v2"), ERROR_SUCCESS);
  ASSERT_EQ(store_->BeginSnapshot(&resume), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DB, 255, 1234), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DIR, 1, 74565), ERROR_SUCCESS);
  EXPECT_EQ(fs::hard_link_count(Mag() / "cache-temp/0001234.DB"), 2u) << "unchanged: a link to the saved copy";
  EXPECT_EQ(fs::hard_link_count(Mag() / "cache-temp/040012345.DIR"), 1u);
  // Adding the same file again must not write through the link into the saved copy.
  ASSERT_EQ(WriteWholeFile(Cache() / "STRUCT/0001/0001234.DB", "structure v2"), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DB, 255, 1234), ERROR_SUCCESS);
  ASSERT_EQ(ReadWholeFile(Mag() / "cache-save/0001234.DB", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "structure");
  ASSERT_EQ(store_->CommitSnapshot(), ERROR_SUCCESS);
  ASSERT_EQ(ReadWholeFile(Mag() / "cache-save/040012345.DIR", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "directory v2");
  ASSERT_EQ(ReadWholeFile(Mag() / "cache-save/0001234.DB", &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "structure v2");

  // An aborted snapshot leaves the saved one alone.
  ASSERT_EQ(store_->BeginSnapshot(&resume), ERROR_SUCCESS);
  ASSERT_EQ(store_->AbortSnapshot(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Mag() / "cache-temp"));
  EXPECT_TRUE(fs::exists(Mag() / "cache-save/0001234.DB"));
}

TEST_F(CacheStoreTest, RestoreFromSnapshotIntoAFreshCache) {
  Make(CK_DB, 255, 3001, 0, "structure");
  Make(CK_DIR, 2, 77, 0, "directory");
  ASSERT_EQ(store_->ReKey(CK_DIR, 2, 77, 2, 78), ERROR_SUCCESS);  // named after 77, known as 78
  File resume;
  ASSERT_EQ(store_->BeginSnapshot(&resume), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DB, 255, 3001), ERROR_SUCCESS);
  ASSERT_EQ(store_->AddToSnapshot(CK_DIR, 2, 78), ERROR_SUCCESS);
  resume.Close();
  ASSERT_EQ(store_->CommitSnapshot(), ERROR_SUCCESS);
  EXPECT_TRUE(fs::exists(Mag() / "cache-save/08000004E.DIR")) << "flat name of the current identity";

  // A symbolic link in the cache must not lead the emptying outside it.
  const fs::path outside = data_ / "outside";
  fs::create_directories(outside);
  WriteWholeFile(outside / "keep.txt", "keep");
  fs::create_directory_symlink(outside, Cache() / "link");

  ASSERT_TRUE(store_->OpenFresh());
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_FALSE(fs::exists(Cache() / "STRUCT"));
  EXPECT_TRUE(store_->Map(CK_DIR).IsEmpty());
  ASSERT_EQ(store_->RestoreFromSnapshot(CK_DB, 0, 3001), ERROR_SUCCESS);
  ASSERT_EQ(store_->RestoreFromSnapshot(CK_DIR, 2, 78), ERROR_SUCCESS);
  EXPECT_EQ(store_->RestoreFromSnapshot(CK_IND, 2, 78), ERROR_INVALID_PARAMETER);
  fs::path path;
  ASSERT_TRUE(store_->CacheFilePath(CK_DIR, 2, 78, 0, &path));
  EXPECT_EQ(path, Cache() / "000/000/08000004E.DIR");
  std::string text;
  ASSERT_EQ(ReadWholeFile(path, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, "directory");
  ASSERT_TRUE(store_->CacheFilePath(CK_DB, 255, 3001, 0, &path));
  EXPECT_EQ(path, Cache() / "STRUCT/0003/0003001.DB");
  ASSERT_EQ(store_->DropSnapshots(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(Mag() / "cache-save"));
  EXPECT_TRUE(fs::exists(Cache()));
}

TEST_F(CacheStoreTest, FullDiskIsReportedToTheOwner) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  Make(CK_DIR, 0, 1);
  // The map file is written beside its place first, here through a link to a
  // device that is always full.
  fs::create_symlink("/dev/full", Cache() / "mapdir.bin.new");
  EXPECT_EQ(store_->Close(), ERROR_DISK_FULL);
  EXPECT_EQ(owner_.shortages, 1);
  EXPECT_FALSE(fs::exists(Cache() / "mapdir.bin")) << "a failed save leaves no map file to be read back";
  EXPECT_FALSE(fs::is_symlink(Cache() / "mapdir.bin.new"));
}

TEST(CacheRetryTest, OpenRetriesByError) {
  TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  struct Case {
    Win32Error error;
    int attempts;
    uint64_t slept_ms;
  };
  for (const Case c : {Case{ERROR_ACCESS_DENIED, 5, 40}, Case{ERROR_SHARING_VIOLATION, 50, 4900},
                       Case{ERROR_PATH_NOT_FOUND, 1, 0}, Case{ERROR_INVALID_PARAMETER, 5, 0}}) {
    int attempts = 0;
    const uint64_t start = clock.NowMs();
    EXPECT_EQ(RetryOpen(clock, [&] { ++attempts; return c.error; }), c.error);
    EXPECT_EQ(attempts, c.attempts) << c.error;
    EXPECT_EQ(clock.NowMs() - start, c.slept_ms) << c.error;
  }
  int attempts = 0;
  EXPECT_EQ(RetryOpen(clock, [&] { return ++attempts < 3 ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS; }),
            ERROR_SUCCESS);
  EXPECT_EQ(attempts, 3);
}

TEST(CacheRetryTest, DeleteRetriesOnlyWhileHeld) {
  TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  int attempts = 0;
  uint64_t start = clock.NowMs();
  EXPECT_EQ(RetryDelete(clock, [&] { ++attempts; return ERROR_ACCESS_DENIED; }), ERROR_ACCESS_DENIED);
  EXPECT_EQ(attempts, 50);
  EXPECT_EQ(clock.NowMs() - start, 4900u);
  attempts = 0;
  start = clock.NowMs();
  EXPECT_EQ(RetryDelete(clock, [&] { ++attempts; return ERROR_FILE_NOT_FOUND; }), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(attempts, 1);
  EXPECT_EQ(clock.NowMs(), start);
}

TEST(CacheRetryTest, EmptyFoldersAreRemovedUpToMagazineOnly) {
  TestClock clock;
  const fs::path root = fs::temp_directory_path() / ("kelva_folders_test_" + std::to_string(std::random_device{}()));
  const fs::path mag = root / "Magazine" / "M1";
  fs::create_directories(mag / "cache/001/002");
  fs::create_directories(mag / "cache-save");
  RemoveEmptyFoldersAbove(clock, mag / "cache/001/002/file.DIR");
  EXPECT_FALSE(fs::exists(mag / "cache"));
  EXPECT_TRUE(fs::exists(mag / "cache-save")) << "stops at the first folder that is not empty";
  fs::remove(mag / "cache-save");
  RemoveEmptyFoldersAbove(clock, mag / "cache/001/002/file.DIR");  // already gone: walks on up
  EXPECT_FALSE(fs::exists(mag));
  EXPECT_TRUE(fs::exists(root / "Magazine")) << "\"magazine\" itself stays, compared without case";
  fs::remove_all(root);
}

}  // namespace
}  // namespace kelva::storage
