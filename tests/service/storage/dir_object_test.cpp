#include "service/storage/dir_object.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "service/storage/history_records.h"
#include "tests/service/storage/catalog_test_util.h"
#include "tests/service/storage/fake_fs_volume.h"

namespace kelva::storage::testing {
namespace {

using platform::FileTime;

constexpr int64_t kTime = 133000000000000000LL;

// A volume with an open root directory.
class DirObjectTest : public VolumeTest {
 protected:
  void SetUp() override {
    VolumeTest::SetUp();
    root_ = Open();
    ASSERT_EQ(root_->CreateRoot(0), 0u);
  }
  void TearDown() override {
    for (auto& d : dirs_) {
      volume_->Unregister(d.get());
      d.reset();
    }
    VolumeTest::TearDown();
  }
  CDirObject* Open() {
    dirs_.push_back(std::make_unique<CDirObject>(volume_.get()));
    volume_->Register(dirs_.back().get());
    return dirs_.back().get();
  }
  CDirObject* Make(CDirObject* parent, const std::u16string& path) {
    CDirObject* d = Open();
    EXPECT_EQ(d->Create(parent->catalog(), path, 0, kTime), 0u);
    return d;
  }
  // The structure row of path: 1 found (deleted or not) with its identity.
  bool Structure(const std::u16string& path, uint8_t* disc = nullptr, uint32_t* file = nullptr, bool deleted = true) {
    uint8_t d = 0;
    uint32_t f = 0;
    const bool found = volume_->structure.LookupPath(path, -1, &d, &f, deleted ? 1 : 0) == 1;
    if (disc) *disc = d;
    if (file) *file = f;
    return found;
  }
  std::vector<HistoryRecord> History(CDirObject* d) {
    const fs::path out = data_ / "export.bin";
    EXPECT_EQ(d->History(platform::Utf8ToUtf16(out.string()), nullptr), 0u);
    std::string bytes;
    EXPECT_EQ(platform::ReadWholeFile(out, &bytes), 0u);
    std::vector<HistoryRecord> records;
    EXPECT_EQ(ParseHistoryRecords(bytes,
                                  [&](const HistoryRecord& r) {
                                    records.push_back(r);
                                    return true;
                                  }),
              0u);
    return records;
  }

  CDirObject* root_ = nullptr;
  std::vector<std::unique_ptr<CDirObject>> dirs_;
};

TEST_F(DirObjectTest, CreatingOverADeletedDirectoryMovesItsTombstoneInBothCatalogs) {
  CDirObject* old = Make(root_, u"\\Reports");
  const uint32_t old_file = old->current_file();
  ASSERT_EQ(old->Delete(), 0u);

  CDirObject* fresh = Make(root_, u"\\Reports");
  DirEntryRecord row;
  ASSERT_EQ(root_->GetEntry(u"Reports", &row), 0u);
  EXPECT_EQ(row.file, fresh->current_file());
  EXPECT_EQ(row.type & ENTRY_DELETED, 0);
  ASSERT_EQ(root_->GetEntry(u"Reports_#1#", &row), 0u);
  EXPECT_EQ(row.file, old_file);
  EXPECT_NE(row.type & ENTRY_DELETED, 0);

  uint8_t disc = 0;
  uint32_t file = 0;
  ASSERT_TRUE(Structure(u"\\Reports", &disc, &file, false));
  EXPECT_EQ(file, fresh->current_file());
  ASSERT_TRUE(Structure(u"\\Reports_#1#", &disc, &file));
  EXPECT_EQ(file, old_file);
  EXPECT_FALSE(Structure(u"\\Reports_#1#", nullptr, nullptr, false)) << "the tombstone stays deleted";
}

TEST_F(DirObjectTest, FailedCreateLeavesNothingBehind) {
  CDirObject* d = Open();
  // The structure catalog refuses a path whose parent it does not know.
  EXPECT_EQ(d->Create(root_->catalog(), u"\\missing\\child", 0, kTime), platform::ERROR_ACCESS_DENIED);
  DirEntryRecord row;
  EXPECT_EQ(root_->GetEntry(u"child", &row), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(d->catalog(), nullptr);
  for (auto& [key, count] : volume_->pins) EXPECT_NE(std::get<3>(key), d) << "no pin of the failed object stays";
  fs::path path;
  EXPECT_FALSE(volume_->store().CacheFilePath(CK_DIR, 0, 101, 0, &path)) << "its catalog file is gone";

  // A live directory of the same name: the parent refuses the row.
  Make(root_, u"\\Taken");
  const auto pins_before = volume_->pins.size();
  CDirObject* twin = Open();
  EXPECT_EQ(twin->Create(root_->catalog(), u"\\Taken", 0, kTime), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(twin->catalog(), nullptr);
  EXPECT_EQ(volume_->pins.size(), pins_before);

  // No room: refused before anything is made.
  volume_->free_capacity = 0;
  EXPECT_EQ(d->Create(root_->catalog(), u"\\full", 0, kTime), platform::ERROR_DISK_FULL);
  EXPECT_EQ(root_->GetEntry(u"full", &row), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(DirObjectTest, ListingsComeInBatchesAndResumeAtTheRightIndex) {
  CDirectoryDb* cat = root_->catalog();
  cat->ExecuteStatement("PRAGMA synchronous=OFF;");  // thousands of rows, no need to wait for the disk
  std::set<std::u16string> all, sevens, deleted;
  for (int i = 0; i < 3000; ++i) {
    const std::u16string name = platform::Utf8ToUtf16("file" + std::to_string(10000 + i) + ".txt");
    ASSERT_EQ(cat->InsertEntry(FileEntry(name, 1000 + i)), 1);
    if (i % 10 == 7) {
      ASSERT_EQ(cat->DeleteEntry(name, 0), 1);
      deleted.insert(name);
    } else {
      all.insert(name);
      if (i % 10 == 3) sevens.insert(name);
    }
  }
  ASSERT_EQ(cat->InsertEntry(StreamEntry(u"file10000.txt:s", 1)), 1);  // streams are not entries

  struct Case {
    const char* what;
    std::u16string pattern;
    bool include_deleted;
    std::set<std::u16string> expected;
    size_t min_batches;
  };
  std::set<std::u16string> everything = all;
  everything.insert(deleted.begin(), deleted.end());
  const Case cases[] = {
      {"all live entries", u"*", false, all, 4},
      {"tombstones wanted", u"*", true, everything, 4},
      {"a pattern", u"*3.TXT", false, sevens, 1},
  };
  std::vector<uint8_t> buffer(kListingBufferSize + 64, 0xEE);
  for (const Case& c : cases) {
    std::multiset<std::u16string> seen;
    int64_t index = 0;
    size_t batches = 0;
    for (ListingBatch batch; !batch.end; ++batches) {
      ASSERT_EQ(root_->ListEntries(c.pattern, index, buffer.data(), &batch, c.include_deleted), 0u) << c.what;
      ASSERT_LE(batch.bytes, kListingBufferSize) << c.what;
      EXPECT_EQ(buffer[kListingBufferSize], 0xEE) << c.what << ": nothing written past the buffer";
      size_t at = 0;
      for (uint32_t i = 0; i < batch.count; ++i) {
        DirEntryRecord rec;
        size_t used = 0;
        ASSERT_TRUE(DecodeListingRecord(buffer.data() + at, batch.bytes - at, &rec, &used)) << c.what;
        EXPECT_EQ(at % 8, 0u);
        seen.insert(rec.name);
        at += used;
      }
      EXPECT_EQ(at, batch.bytes) << c.what;
      ASSERT_GE(batch.next_index, index) << c.what;
      index = batch.next_index;
      ASSERT_LT(batches, 100u);
    }
    EXPECT_GE(batches, c.min_batches) << c.what;
    EXPECT_EQ(std::set<std::u16string>(seen.begin(), seen.end()), c.expected) << c.what;
    EXPECT_EQ(seen.size(), c.expected.size()) << c.what << ": no row twice";
  }
  // The catalog is free again after a batch that stopped early.
  EXPECT_EQ(cat->InsertEntry(FileEntry(u"after.txt", 1)), 1);
}

TEST_F(DirObjectTest, StreamListingAndAStreamRecreatedOverItsTombstone) {
  CDirectoryDb* cat = root_->catalog();
  ASSERT_EQ(cat->InsertEntry(FileEntry(u"doc.txt", 5)), 1);
  ASSERT_EQ(cat->InsertEntry(StreamEntry(u"doc.txt:meta.v1", 6)), 1);
  ASSERT_EQ(cat->InsertEntry(StreamEntry(u"doc.txt:other", 7)), 1);
  ASSERT_EQ(cat->DeleteStream(u"doc.txt:meta.v1", 0), 1);

  // The same stream written again: the deleted one moves aside and stays a
  // stream of the same file.
  ASSERT_EQ(cat->InsertEntry(StreamEntry(u"doc.txt:meta.v1", 8)), 1);
  ASSERT_EQ(cat->DeleteStream(u"doc.txt:meta.v1", 0), 1);
  ASSERT_EQ(cat->InsertEntry(StreamEntry(u"doc.txt:meta.v1", 9)), 1);

  std::vector<uint8_t> buffer(kListingBufferSize);
  ListingBatch batch;
  ASSERT_EQ(root_->ListStreams(u"doc.txt", 0, buffer.data(), &batch, true), 0u);
  EXPECT_TRUE(batch.end);
  std::map<std::u16string, DirEntryRecord> streams;
  size_t at = 0;
  for (uint32_t i = 0; i < batch.count; ++i) {
    DirEntryRecord rec;
    size_t used = 0;
    ASSERT_TRUE(DecodeListingRecord(buffer.data() + at, batch.bytes - at, &rec, &used));
    streams[rec.name] = rec;
    at += used;
  }
  ASSERT_EQ(streams.size(), 4u);
  EXPECT_EQ(streams[u":meta.v1"].file, 9u);
  EXPECT_EQ(streams[u":meta_#1#.v1"].file, 6u);
  EXPECT_EQ(streams[u":meta_#2#.v1"].file, 8u);
  EXPECT_NE(streams[u":meta_#2#.v1"].type & ENTRY_DELETED, 0);
  EXPECT_EQ(streams[u":other"].file, 7u);
  ASSERT_EQ(root_->ListStreams(u"doc.txt", 0, buffer.data(), &batch, false), 0u);
  EXPECT_EQ(batch.count, 2u) << "tombstones only when wanted";
  // A live stream still refuses a second one of its name.
  EXPECT_EQ(cat->InsertEntry(StreamEntry(u"doc.txt:other", 10)), 0);
}

TEST_F(DirObjectTest, MoveCopiesStreamsAndLeavesNoOldRow) {
  CDirObject* a = Make(root_, u"\\A");
  CDirObject* b = Make(root_, u"\\B");
  CDirObject* x = Make(a, u"\\A\\x");
  ASSERT_EQ(a->catalog()->InsertEntry(StreamEntry(u"x:tag", 77)), 1);
  ASSERT_EQ(a->catalog()->InsertEntry(StreamEntry(u"x:icon", 78)), 1);

  ASSERT_EQ(x->Rename(b->catalog(), u"\\B\\y"), 0u);
  DirEntryRecord row;
  EXPECT_EQ(a->GetEntry(u"x", &row), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(a->GetEntry(u"x:tag", &row), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(a->catalog()->IsEmpty(1));
  ASSERT_EQ(b->GetEntry(u"y", &row), 0u);
  EXPECT_EQ(row.file, x->current_file());
  ASSERT_EQ(b->GetEntry(u"y:tag", &row), 0u);
  EXPECT_EQ(row.file, 77u);
  ASSERT_EQ(b->GetEntry(u"y:icon", &row), 0u);
  EXPECT_EQ(x->parent_catalog(), b->catalog());
  EXPECT_EQ(x->FullPath(), u"\\B\\y");
  EXPECT_FALSE(Structure(u"\\A\\x"));

  // Same parent: a rename in place.
  ASSERT_EQ(x->Rename(b->catalog(), u"\\B\\z"), 0u);
  EXPECT_EQ(b->GetEntry(u"z:tag", &row), 0u);
  EXPECT_EQ(x->FullPath(), u"\\B\\z");

  // The history gets the move and the rename, in that order, after a flush.
  ASSERT_EQ(x->Flush(true), 0u);
  std::string kinds;
  for (const HistoryRecord& r : History(x)) kinds.push_back(static_cast<char>(r.type));
  EXPECT_EQ(kinds, "NRM") << "pending records are written created, updated, renamed, moved, deleted";
}

TEST_F(DirObjectTest, DeleteKeepsATombstoneAndStampsTheDeletionTime) {
  CDirObject* d = Make(root_, u"\\Old");
  ASSERT_EQ(d->Flush(true), 0u);  // created and recorded
  volume_->clock.Advance(5000);
  const FileTime deleted_at = volume_->clock.Now();
  const platform::SystemTime st = platform::FileTimeToSystemTime(deleted_at);

  ASSERT_EQ(d->Delete(), 0u);
  DirEntryRecord row;
  ASSERT_EQ(root_->GetEntry(u"Old", &row), 0u);
  EXPECT_NE(row.type & ENTRY_DELETED, 0);
  EXPECT_NE(row.hdisk, kNoHistoryDisk) << "the parent row names the log";
  EXPECT_TRUE(Structure(u"\\Old"));
  EXPECT_FALSE(Structure(u"\\Old", nullptr, nullptr, false));
  EXPECT_EQ(d->Delete(), platform::ERROR_ACCESS_DENIED);

  volume_->clock.Advance(60000);  // the export runs later; the stamp does not move
  const std::vector<HistoryRecord> records = History(d);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].type, kHistoryCreated);
  EXPECT_EQ(records[0].text, u"\\Old");
  EXPECT_EQ(records[0].file, d->opened_file() | kHistoryDirectoryBit);
  EXPECT_EQ(records[1].type, kHistoryDeleted);
  EXPECT_EQ(std::make_tuple(records[1].year, records[1].month, records[1].day, records[1].hour, records[1].minute,
                            records[1].second, records[1].hundredths),
            std::make_tuple(st.wYear, static_cast<uint8_t>(st.wMonth), static_cast<uint8_t>(st.wDay),
                            static_cast<uint8_t>(st.wHour), static_cast<uint8_t>(st.wMinute),
                            static_cast<uint8_t>(st.wSecond), static_cast<uint8_t>(st.wMilliseconds / 10)));
}

TEST_F(DirObjectTest, FlushRecordsTheCatalogAndFollowsItsNewIdentity) {
  struct Case {
    const char* what;
    uint8_t current, highest;
    bool full;              // the current disc is full
    bool on_disc_before;    // recorded once already: a new number follows
    bool fail_relocate;
    Win32Error result;
    uint8_t notify;
  };
  const Case cases[] = {
      {"first recording keeps its identity", 0, 11, false, false, false, 0, kNotifyDirectoryRecorded},
      {"a second recording takes a new number", 0, 11, false, true, false, 0, kNotifyDirectoryRecorded},
      {"a full disc moves to the next", 2, 11, true, false, false, 0, kNotifyDirectoryRecorded},
      {"no next disc", 11, 11, true, false, false, platform::ERROR_DISK_FULL, kNotifyDirectoryFailed},
      {"the tree refuses the new identity", 0, 11, false, true, true, platform::ERROR_ACCESS_DENIED,
       kNotifyDirectoryFailed},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::u16string path = u"\\D" + platform::Utf8ToUtf16(std::to_string(n++));
    volume_->disc().current = c.current;
    volume_->disc().highest = c.highest;
    CDirObject* d = Make(root_, path);
    if (c.on_disc_before) {
      ASSERT_EQ(d->Flush(true), 0u);
      ASSERT_EQ(d->catalog()->InsertEntry(FileEntry(u"more", 1)), 1);
    }
    volume_->fail_relocate = c.fail_relocate;
    ASSERT_EQ(volume_->SyncDirectoryGrowth(d->catalog()), 1);
    const uint8_t disc_before = d->current_disc();
    const uint32_t file_before = d->current_file();
    volume_->notifications.clear();
    if (c.full) volume_->disc().full = {c.current};

    EXPECT_EQ(d->Flush(true), c.result) << c.what;
    ASSERT_FALSE(volume_->notifications.empty()) << c.what;
    const std::string& note = volume_->notifications.back();
    EXPECT_EQ(static_cast<uint8_t>(note[0]), 0xFF) << c.what;
    EXPECT_EQ(static_cast<uint8_t>(note[1]), c.notify) << c.what;
    std::u16string noted;
    for (size_t i = 3; i + 1 < note.size(); i += 2) noted.push_back(static_cast<char16_t>((note[i] & 0xFF) | (note[i + 1] << 8)));
    EXPECT_EQ(noted, path) << c.what;

    uint8_t sd = 0;
    uint32_t sf = 0;
    ASSERT_TRUE(Structure(path, &sd, &sf)) << c.what;
    fs::path cached;
    EXPECT_EQ(std::make_pair(sd, sf), std::make_pair(d->current_disc(), d->current_file()))
        << c.what << ": tree and object agree";
    EXPECT_TRUE(volume_->store().CacheFilePath(CK_DIR, d->current_disc(), d->current_file(), 0, &cached))
        << c.what << ": the cache map follows";
    if (c.result == 0) {
      EXPECT_EQ(d->catalog()->ChangeState(), 2) << c.what;
      EXPECT_EQ(d->accounted_size(), 0) << c.what;
      EXPECT_EQ(volume_->disc().files.count({CK_DIR, d->current_disc(), d->current_file()}), 1u) << c.what;
      if (c.on_disc_before) {
        EXPECT_NE(d->current_file(), file_before) << c.what;
      }
      if (c.full) {
        EXPECT_EQ(d->current_disc(), c.current + 1) << c.what;
      }
      DirEntryRecord row;
      ASSERT_EQ(root_->GetEntry(path.substr(1), &row), 0u);
      EXPECT_EQ(row.file, d->current_file()) << c.what << ": the parent row follows";
      EXPECT_EQ(d->opened_file(), file_before) << c.what << ": callers keep the identity they opened";
    } else {
      EXPECT_EQ(d->catalog()->ChangeState(), 1) << c.what << ": still to be recorded";
      EXPECT_EQ(std::make_pair(d->current_disc(), d->current_file()), std::make_pair(disc_before, file_before));
    }
    volume_->fail_relocate = false;
    volume_->disc().full.clear();
  }
  // Nothing to do without force: retry later.
  CDirObject* idle = Make(root_, u"\\idle");
  ASSERT_EQ(idle->Flush(true), 0u);
  EXPECT_EQ(idle->Flush(false), platform::ERROR_RETRY);
}

TEST_F(DirObjectTest, AccountedCatalogSpaceIsCountedAndReleasedOnce) {
  CDirObject* d = Make(root_, u"\\Space");
  ASSERT_EQ(d->Flush(true), 0u);
  const int64_t before = volume_->metadata_bytes.load();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(d->catalog()->InsertEntry(FileEntry(platform::Utf8ToUtf16("entry-" + std::to_string(i)), i)), 1);
  }
  ASSERT_EQ(d->catalog()->CheckpointAndLock(), SQLITE_OK);  // the file size is brought up to date
  d->catalog()->Unlock();
  ASSERT_EQ(volume_->SyncDirectoryGrowth(d->catalog()), 1);
  const int64_t counted = d->accounted_size();
  EXPECT_EQ(counted, static_cast<int64_t>(d->catalog()->FileSize()));
  EXPECT_EQ(volume_->metadata_bytes.load(), before + counted);
  ASSERT_EQ(volume_->SyncDirectoryGrowth(d->catalog()), 1);
  EXPECT_EQ(volume_->metadata_bytes.load(), before + counted) << "the same size is not counted twice";
  ASSERT_EQ(d->Flush(true), 0u);
  EXPECT_EQ(d->accounted_size(), 0);
  EXPECT_EQ(volume_->metadata_bytes.load(), before) << "recording releases what was counted";
  ASSERT_EQ(d->Flush(true), 0u);
  EXPECT_EQ(volume_->metadata_bytes.load(), before);
}

TEST_F(DirObjectTest, SetInfoChangesOnlyWhatDiffers) {
  CDirObject* d = Make(root_, u"\\S");
  ASSERT_EQ(d->Flush(true), 0u);
  const int64_t t1 = kTime + 1, t2 = kTime + 2, minus = -1;
  struct Case {
    const char* what;
    uint32_t attr;
    const int64_t *c, *a, *m;
    bool changed;
    int64_t atime_after;
  };
  const Case cases[] = {
      {"nothing given", 0, nullptr, nullptr, nullptr, false, kTime},
      {"all ones means leave alone", 0, &minus, &minus, &minus, false, kTime},
      {"an access time alone changes nothing", 0, nullptr, &t1, nullptr, false, kTime},
      {"same values", FILE_ATTRIBUTE_DIRECTORY, &kTime, nullptr, &kTime, false, kTime},
      {"a new write time takes the access time along", 0, nullptr, &t2, &t1, true, t2},
      {"new attributes", 0x02, nullptr, nullptr, nullptr, true, t2},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(d->SetInfo(c.attr, c.c, c.a, c.m), 0u) << c.what;
    EXPECT_EQ(d->entry_changed(), c.changed) << c.what;
    EXPECT_EQ(d->entry().atime, c.atime_after) << c.what;
    if (c.changed) {
      ASSERT_EQ(d->Flush(true), 0u);
      EXPECT_FALSE(d->entry_changed()) << c.what;
    }
  }
  EXPECT_EQ(d->entry().attr, 0x12u) << "a directory keeps its directory attribute";
  DirEntryRecord row;
  ASSERT_EQ(root_->GetEntry(u"S", &row), 0u);
  EXPECT_EQ(row.attr, 0x12u);
  EXPECT_EQ(row.mtime, t1);
  EXPECT_EQ(root_->SetInfo(0x02, nullptr, nullptr, nullptr), platform::ERROR_INVALID_PARAMETER) << "the root has no parent";
}

TEST_F(DirObjectTest, CanDeleteAnswers) {
  CDirObject* d = Make(root_, u"\\C");
  int answer = -1;
  EXPECT_EQ(root_->CanDelete(0, &answer), platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(d->CanDelete(1, &answer), platform::ERROR_WRITE_PROTECT);
  ASSERT_EQ(d->CanDelete(0, &answer), 0u);
  EXPECT_EQ(answer, 1);
  volume_->free_capacity = 0;
  ASSERT_EQ(d->CanDelete(0, &answer), 0u);
  EXPECT_EQ(answer, 0);
  volume_->free_capacity = INT64_MAX / 4;
  ASSERT_EQ(d->Delete(), 0u);
  answer = -1;
  ASSERT_EQ(d->CanDelete(0, &answer), 0u);
  EXPECT_EQ(answer, -1) << "no answer for a deleted directory";
}

// 19-byte block, 6-byte block, packed entry; worked out field by field.
const char kResumeGolden[] =
    "03 04 03 02 01 02 00 00 00 03 88 77 66 55 44 33 22 11 15 "
    "03 07 0A 00 00 00 "
    "02 03 04 03 02 01 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 07 0A 00 00 00 01 00 64 00";

DirResumeState GoldenState() {
  DirResumeState s;
  s.disc = 3;
  s.file = 0x01020304;
  s.parent_reference = 2;
  s.flags = 3;
  s.accounted_size = 0x1122334455667788;
  s.pending = 0x15;
  s.log_flags = 3;
  s.log_disc = 7;
  s.log_file = 10;
  s.entry.type = ENTRY_KIND_DIRECTORY;
  s.entry.disk = 3;
  s.entry.file = 0x01020304;
  s.entry.attr = FILE_ATTRIBUTE_DIRECTORY;
  s.entry.ctime = 1;
  s.entry.atime = 2;
  s.entry.mtime = 3;
  s.entry.hdisk = 7;
  s.entry.hfile = 10;
  s.entry.name = u"d";
  return s;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(DirResumeStateTest, GoldenBytesAndBadInput) {
  MemoryStream out;
  ASSERT_TRUE(WriteDirResumeState(out, GoldenState()));
  const std::string golden = Unhex(kResumeGolden);
  EXPECT_EQ(out.bytes().size(), 19u + 6u + 57u + 2u);
  EXPECT_TRUE(out.bytes() == golden);
  MemoryStream in(golden);
  DirResumeState back;
  ASSERT_EQ(ReadDirResumeState(in, &back), 0u);
  EXPECT_EQ(back, GoldenState());

  struct Bad {
    const char* what;
    size_t offset;  // byte to change, or the length to cut to
    int value;      // -1: cut
    Win32Error error;
  };
  const Bad bad[] = {
      {"cut inside the first block", 10, -1, platform::ERROR_HANDLE_EOF},
      {"cut inside the entry header", 40, -1, platform::ERROR_HANDLE_EOF},
      {"cut inside the name", golden.size() - 1, -1, platform::ERROR_HANDLE_EOF},
      {"name longer than the data", golden.size() - 4, 0x30, platform::ERROR_HANDLE_EOF},
      {"unknown flag bits", 9, 0x07, platform::ERROR_INVALID_DATA},
      {"unknown pending bits", 18, 0x20, platform::ERROR_INVALID_DATA},
      {"negative accounted size", 17, 0x80, platform::ERROR_INVALID_DATA},
      {"log appended but not open", 19, 0x02, platform::ERROR_INVALID_DATA},
      {"entry is a file", 25, 0x00, platform::ERROR_INVALID_DATA},
      {"entry without the directory attribute", 31, 0x00, platform::ERROR_INVALID_DATA},
      {"a child without a name", golden.size() - 4, 0x00, platform::ERROR_INVALID_DATA},
  };
  for (const Bad& b : bad) {
    std::string bytes = golden;
    if (b.value < 0) {
      bytes.resize(b.offset);
    } else {
      bytes[b.offset] = static_cast<char>(b.value);
      if (b.value == 0 && b.offset == golden.size() - 4) bytes.resize(golden.size() - 2);
    }
    MemoryStream s(bytes);
    DirResumeState state;
    EXPECT_EQ(ReadDirResumeState(s, &state), b.error) << b.what;
  }
}

TEST_F(DirObjectTest, SavedStateRestoresTheObject) {
  CDirObject* d = Make(root_, u"\\R");
  ASSERT_EQ(d->Flush(true), 0u);  // the log exists now
  ASSERT_EQ(d->Rename(root_->catalog(), u"\\R2"), 0u);
  const int64_t mtime = kTime + 9;
  ASSERT_EQ(d->SetInfo(0, nullptr, nullptr, &mtime), 0u);
  ASSERT_EQ(d->catalog()->InsertEntry(FileEntry(u"inner", 3)), 1);
  ASSERT_EQ(volume_->SyncDirectoryGrowth(d->catalog()), 1);
  volume_->references = {root_->catalog()};

  MemoryStream stream;
  ASSERT_EQ(d->SaveState(stream), 0u);
  const DirEntryRecord entry = d->entry();
  const int64_t accounted = d->accounted_size();
  const uint8_t disc = d->current_disc();
  const uint32_t file = d->current_file();
  ASSERT_EQ(d->Close(), 0u);

  CDirObject* back = Open();
  MemoryStream in(stream.bytes());
  ASSERT_EQ(back->LoadState(in), 0u);
  EXPECT_EQ(in.consumed(), stream.bytes().size());
  EXPECT_EQ(back->entry(), entry);
  EXPECT_EQ(back->parent_catalog(), root_->catalog());
  EXPECT_EQ(back->accounted_size(), accounted);
  EXPECT_EQ(back->pending_history(), kPendingRenamed);
  EXPECT_TRUE(back->entry_changed());
  EXPECT_EQ(back->catalog()->ChangeState(), 1);
  EXPECT_EQ(std::make_pair(back->current_disc(), back->current_file()), std::make_pair(disc, file));
  EXPECT_TRUE(back->history_log().IsOpen());
  DirEntryRecord row;
  EXPECT_EQ(back->GetEntry(u"inner", &row), 0u);

  // The work carried over is finished by the next flush.
  ASSERT_EQ(back->Flush(false), 0u);
  ASSERT_EQ(root_->GetEntry(u"R2", &row), 0u);
  EXPECT_EQ(row.mtime, mtime);
  std::string kinds;
  for (const HistoryRecord& r : History(back)) kinds.push_back(static_cast<char>(r.type));
  EXPECT_EQ(kinds, "NR");

  // A parent reference the volume does not know is refused.
  MemoryStream again(stream.bytes());
  volume_->references.clear();
  CDirObject* orphan = Open();
  EXPECT_EQ(orphan->LoadState(again), platform::ERROR_INVALID_DATA);
  EXPECT_EQ(orphan->catalog(), nullptr);
}

TEST_F(DirObjectTest, OpenChecksTheEntryKind) {
  CDirObject* made = Make(root_, u"\\K");
  ASSERT_EQ(made->Flush(true), 0u);
  DirEntryRecord row;
  ASSERT_EQ(root_->GetEntry(u"K", &row), 0u);
  struct Case {
    const char* what;
    uint8_t type;
    uint32_t attr;
    Win32Error result;
  };
  const Case cases[] = {
      {"a directory", ENTRY_KIND_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY, 0},
      {"a file", ENTRY_KIND_FILE, FILE_ATTRIBUTE_DIRECTORY, platform::ERROR_INVALID_PARAMETER},
      {"no directory attribute", ENTRY_KIND_DIRECTORY, 0x20, platform::ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    DirEntryRecord e = row;
    e.type = c.type;
    e.attr = c.attr;
    CDirObject* d = Open();
    EXPECT_EQ(d->Open(e, root_->catalog(), row.disk, row.file), c.result) << c.what;
    if (c.result == 0) {
      DirEntryRecord info;
      ASSERT_EQ(d->GetInfo(&info), 0u);
      EXPECT_EQ(info.name, u"K");
      EXPECT_EQ(info.file, row.file);
    }
  }
}

}  // namespace
}  // namespace kelva::storage::testing
