// The journal's frames, byte for byte, and what a kill can leave of them.
#include "service/volume/volume_journal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

JournalRecord Record(uint8_t type, uint64_t object, std::vector<uint8_t> payload = {}) {
  JournalRecord r;
  r.type = type;
  r.object = object;
  r.payload = std::move(payload);
  return r;
}

class VolumeJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelva_journal_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    path_ = dir_ / CVolumeJournal::kFileName;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_, path_;
};

// Length 11 (type, object number, two payload bytes), then the CRC-32 of those
// 11 bytes, worked out by an independent script (zlib.crc32 = 0xafaba72d).
TEST_F(VolumeJournalTest, FrameMatchesItsLayout) {
  EXPECT_EQ(Hex(CVolumeJournal::Frame(Record(JournalRecord::kFile, 0x0102030405060708, {0xAA, 0xBB}))),
            "0b0000002da7abaf020807060504030201aabb");
}

// Whole records survive; a frame cut by a kill or with a damaged byte ends the
// journal, and the next start appends over it.
TEST_F(VolumeJournalTest, ReadingStopsAtTheFirstDamagedFrameAndAppendsGoOverIt) {
  struct Case {
    const char* what;
    size_t cut_bytes;   // taken off the end of the file
    size_t flip_at;     // from the end, 0 for none
  } const cases[] = {{"cut in the payload", 3, 0}, {"cut in the head", 20, 0}, {"damaged payload", 0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(path_);
    CVolumeJournal journal;
    ASSERT_TRUE(journal.Start(path_));
    ASSERT_TRUE(journal.Append(Record(JournalRecord::kCatalog, 0, {1, 0, 0, 0})));
    ASSERT_TRUE(journal.Append(Record(JournalRecord::kFile, 7, std::vector<uint8_t>(40, 0x5A))));
    ASSERT_TRUE(journal.Append(Record(JournalRecord::kGone, 8)));
    journal.Stop(false);
    const uint64_t size = fs::file_size(path_);
    const size_t last = CVolumeJournal::Frame(Record(JournalRecord::kGone, 8)).size();
    if (c.cut_bytes > 0) fs::resize_file(path_, size - c.cut_bytes);
    if (c.flip_at > 0) {
      std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(size - c.flip_at));
      f.put('\x77');
    }
    // The cut of 20 bytes reaches into the second record too.
    const size_t whole = c.cut_bytes > last ? 1 : 2;
    EXPECT_EQ(CVolumeJournal::Read(path_).size(), whole);
    ASSERT_TRUE(journal.Start(path_));
    ASSERT_TRUE(journal.Append(Record(JournalRecord::kGone, 9)));
    journal.Stop(false);
    const std::vector<JournalRecord> got = CVolumeJournal::Read(path_);
    ASSERT_EQ(got.size(), whole + 1);
    EXPECT_EQ(got.back().object, 9u);
  }
}

// A rewrite keeps the records it is told to, then the new ones, and appends
// follow them; a stopped journal can be removed.
TEST_F(VolumeJournalTest, RewriteKeepsChosenRecordsAndAppendsFollow) {
  CVolumeJournal journal;
  ASSERT_TRUE(journal.Start(path_));
  ASSERT_TRUE(journal.Append(Record(JournalRecord::kMap, 0, {1})));
  ASSERT_TRUE(journal.Append(Record(JournalRecord::kFile, 3, {2})));
  ASSERT_TRUE(journal.Append(Record(JournalRecord::kMap, 0, {3})));
  ASSERT_TRUE(journal.Rewrite([](const JournalRecord& r) { return r.type == JournalRecord::kMap; },
                              {Record(JournalRecord::kCatalog, 0, {4})}));
  ASSERT_TRUE(journal.Append(Record(JournalRecord::kFile, 5, {5})));
  std::vector<uint8_t> order;
  for (const JournalRecord& r : CVolumeJournal::Read(path_)) order.push_back(r.payload.at(0));
  EXPECT_EQ(order, (std::vector<uint8_t>{1, 3, 4, 5}));
  EXPECT_FALSE(fs::exists(fs::path(path_) += ".new"));
  journal.Stop(true);
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_FALSE(journal.Append(Record(JournalRecord::kGone, 1)));
}

// A map change's payload, little-endian: kind, operation, key disc, key file,
// disc, file, value disc, value file; it reads back as it was written.
TEST_F(VolumeJournalTest, MapChangeRecordMatchesItsLayout) {
  storage::CacheMapChange change;
  change.op = storage::CacheMapChange::kReKey;
  change.key_disc = 1;
  change.key_file = 0x01020304;
  change.disc = 5;
  change.file = 0x0A0B0C0D;
  change.value_disc = 6;
  change.value_file = 0x11223344;
  const JournalRecord r = CVolumeJournal::MapRecord(2, change);
  EXPECT_EQ(r.type, JournalRecord::kMap);
  EXPECT_EQ(Hex(r.payload), "0203010403020105" "0d0c0b0a0644332211");
  uint8_t kind = 0;
  storage::CacheMapChange back;
  ASSERT_TRUE(CVolumeJournal::ReadMapRecord(r, &kind, &back));
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(Hex(CVolumeJournal::MapRecord(kind, back).payload), Hex(r.payload));
  JournalRecord shorter = r;
  shorter.payload.pop_back();
  EXPECT_FALSE(CVolumeJournal::ReadMapRecord(shorter, &kind, &back));
}

// A compaction keeps what a replay needs: the newest catalog number, every
// map change in its order except those of the map whose file was written,
// and each object's newest file record unless the object went since.
TEST_F(VolumeJournalTest, CompactionKeepsWhatAReplayNeeds) {
  CVolumeJournal journal;
  ASSERT_TRUE(journal.Start(path_));
  const JournalRecord records[] = {
      Record(JournalRecord::kCatalog, 0, {1}), Record(JournalRecord::kMap, 0, {0, 10}),
      Record(JournalRecord::kFile, 7, {11}),   Record(JournalRecord::kMap, 0, {2, 12}),
      Record(JournalRecord::kFile, 8, {13}),   Record(JournalRecord::kFile, 7, {14}),
      Record(JournalRecord::kCatalog, 0, {2}), Record(JournalRecord::kGone, 8),
      Record(JournalRecord::kMap, 0, {0, 15}), Record(JournalRecord::kFile, 9, {16}),
      Record(JournalRecord::kGone, 9),         Record(JournalRecord::kFile, 9, {17}),
  };
  for (const JournalRecord& r : records) ASSERT_TRUE(journal.Append(r));
  auto last_bytes = [&] {
    std::vector<uint8_t> out;
    for (const JournalRecord& r : CVolumeJournal::Read(path_)) out.push_back(r.payload.back());
    return out;
  };
  ASSERT_TRUE(journal.Compact(-1));
  EXPECT_EQ(last_bytes(), (std::vector<uint8_t>{2, 10, 12, 15, 14, 17}));
  EXPECT_EQ(journal.size(), fs::file_size(path_));
  ASSERT_TRUE(journal.Compact(0));  // the map of kind 0 was written
  EXPECT_EQ(last_bytes(), (std::vector<uint8_t>{2, 12, 14, 17}));
  ASSERT_TRUE(journal.Append(Record(JournalRecord::kGone, 7)));
  EXPECT_EQ(CVolumeJournal::Read(path_).size(), 5u);
}

}  // namespace
}  // namespace kelva::volume
