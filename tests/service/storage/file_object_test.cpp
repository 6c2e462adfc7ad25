// File objects against the volume double: pieces and segments, reads from the
// cache and the in-memory discs, space accounting, the capacity gate, recording
// and the resume records.
#include "service/storage/file_object.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_fs_volume.h"
#include "platform/text.h"

namespace kelva::storage::testing {
namespace {

constexpr int64_t MiB = 1 << 20;

// The byte a test file holds at offset: differs between neighbouring offsets
// and between windows, so that a misplaced copy shows.
uint8_t PatternAt(int64_t offset, uint8_t seed = 0) {
  return static_cast<uint8_t>((offset * 31 + (offset >> 20) * 7 + seed) & 0xFF);
}

std::string Pattern(int64_t offset, size_t n, uint8_t seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(PatternAt(offset + static_cast<int64_t>(i), seed));
  return s;
}

std::string FromHex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

class FileObjectTest : public VolumeTest {
 protected:
  void SetUp() override {
    VolumeTest::SetUp();
    root_ = std::make_unique<CDirObject>(volume_.get());
    ASSERT_EQ(root_->CreateRoot(0), 0u);
    volume_->Register(root_.get());
    volume_->references.push_back(root_->catalog());
  }
  void TearDown() override {
    files_.clear();
    volume_->Unregister(root_.get());
    root_->Close();
    root_.reset();
    VolumeTest::TearDown();
  }

  CDirectoryDb* parent() { return root_->catalog(); }

  CFileObject& NewFile(std::u16string_view name = u"f.bin") {
    auto& f = files_.emplace_back(std::make_unique<CFileObject>(volume_.get()));
    EXPECT_EQ(f->Create(parent(), std::u16string(u"\\") + std::u16string(name), 0x20, 1000, false), 0u);
    return *f;
  }

  // A kind-0 file whose content (size bytes of the pattern, of which the disc
  // file holds the first on_disc) was recorded on disc 0.
  CFileObject& RecordedFile(int64_t size, int64_t on_disc, int64_t alloc = -1) {
    const uint32_t number = volume_->NextFileNumber();
    volume_->disc().files[{CK_DAT, 0, number}] = Pattern(0, static_cast<size_t>(on_disc));
    DirEntryRecord e;
    e.type = ENTRY_KIND_FILE;
    e.disk = 0;
    e.file = number;
    e.attr = 0x20;
    e.size = size;
    e.alloc = alloc < 0 ? size : alloc;
    e.name = u"r" + platform::Utf8ToUtf16(std::to_string(number));
    EXPECT_TRUE(parent()->InsertEntry(e));
    auto& f = files_.emplace_back(std::make_unique<CFileObject>(volume_.get()));
    EXPECT_EQ(f->Open(e, parent()), 0u);
    return *f;
  }

  static std::string ReadAll(CFileObject& f, int64_t offset, uint32_t n) {
    std::string out(n, '\x55');
    uint32_t done = 0;
    EXPECT_EQ(f.Read(offset, n, out.data(), &done), 0u);
    out.resize(done);
    return out;
  }

  static void WriteAll(CFileObject& f, int64_t offset, const std::string& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(f.Write(offset, static_cast<uint32_t>(bytes.size()), bytes.data(), &written), 0u);
    ASSERT_EQ(written, bytes.size());
  }

  std::unique_ptr<CDirObject> root_;
  std::vector<std::unique_ptr<CFileObject>> files_;
};

TEST_F(FileObjectTest, SequentialWritesFillOnePieceAndTheNextWriteStartsASecond) {
  CFileObject& f = NewFile();
  constexpr int64_t kChunk = 64 * 1024;
  for (int64_t at = 0; at < 8 * MiB; at += kChunk) WriteAll(f, at, Pattern(at, kChunk));
  auto segments = f.Segments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].start, 0);
  EXPECT_EQ(segments[0].length, 8 * MiB);
  EXPECT_EQ(segments[0].piece, 0u);

  WriteAll(f, 8 * MiB, Pattern(8 * MiB, kChunk));
  segments = f.Segments();
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].start, 8 * MiB);
  EXPECT_EQ(segments[1].length, kChunk);
  EXPECT_EQ(segments[1].piece, 1u);
  EXPECT_EQ(segments[1].state, FileSegment::kChanged);

  EXPECT_EQ(f.end_of_file(), 8 * MiB + kChunk);
  EXPECT_EQ(f.entry().size, 8 * MiB + kChunk);
  EXPECT_EQ(volume_->pending_bytes.load(), 8 * MiB + kChunk);
  EXPECT_EQ(volume_->cached_bytes.load(), 8 * MiB + kChunk);
  EXPECT_EQ(ReadAll(f, 8 * MiB - 100, 200), Pattern(8 * MiB - 100, 200));
  EXPECT_EQ(ReadAll(f, 0, 8 * MiB + kChunk) == Pattern(0, 8 * MiB + kChunk), true);
}

TEST_F(FileObjectTest, SmallWriteIntoRecordedFileCopiesItsWholeWindowIntoANewPiece) {
  CFileObject& f = RecordedFile(3 * MiB, 3 * MiB);
  const std::string disc_before = volume_->disc().files.begin()->second;
  const std::string patch(100, '\xEE');
  WriteAll(f, 5000, patch);

  const auto segments = f.Segments();
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].start, 0);
  EXPECT_EQ(segments[0].length, MiB);
  EXPECT_EQ(segments[0].state, FileSegment::kChanged);
  EXPECT_GT(volume_->disc().data_reads.load(), 0);
  EXPECT_GT(volume_->disc().io_locks.load(), 0);

  std::string expected = Pattern(0, 3 * MiB);
  expected.replace(5000, patch.size(), patch);
  EXPECT_TRUE(ReadAll(f, 0, 3 * MiB) == expected);
  // The recorded content is untouched until the file is recorded.
  EXPECT_TRUE(volume_->disc().files.begin()->second == disc_before);
  EXPECT_EQ(f.end_of_file(), 3 * MiB);

  // Recorded content is never overwritten: the new window goes into a disc
  // file of its own and the file becomes extent-indexed.
  ASSERT_EQ(f.Close(), 0u);
  ASSERT_EQ(f.Record(), 0u);
  EXPECT_EQ(f.entry().type & ENTRY_KIND_MASK, ENTRY_KIND_EXTENTS);
  EXPECT_TRUE(volume_->disc().files.begin()->second == disc_before);
  f.DiscClosed(volume_->DiscCloses());
  EXPECT_TRUE(f.Segments().empty());
  EXPECT_EQ(volume_->pending_bytes.load(), 0);
  EXPECT_TRUE(ReadAll(f, 0, 3 * MiB) == expected);
}

TEST_F(FileObjectTest, DiscReadsFillMissingContentWithZeros) {
  struct Case {
    const char* name;
    int64_t size;
    int64_t on_disc;  // -1: no disc file at all
  };
  const Case cases[] = {
      {"short disc file", 5000, 1000},
      {"no disc file", 4096, -1},
      {"whole content", 3000, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFileObject& f = RecordedFile(c.size, std::max<int64_t>(c.on_disc, 0));
    if (c.on_disc < 0) volume_->disc().files.erase({CK_DAT, 0, f.entry().file});
    std::string expected = Pattern(0, static_cast<size_t>(std::max<int64_t>(c.on_disc, 0)));
    expected.resize(static_cast<size_t>(c.size), '\0');
    EXPECT_TRUE(ReadAll(f, 0, static_cast<uint32_t>(c.size) + 10) == expected);
  }
}

TEST_F(FileObjectTest, ExtentIndexedFileReadsGapsAsZeros) {
  uint32_t index_number = volume_->NextFileNumber();
  fs::path path;
  ASSERT_EQ(volume_->CreateCacheFile(CK_IND, 1, &index_number, this, &path), 0u);
  {
    CExtentIndexDb index;
    ASSERT_EQ(index.Create(platform::Utf8ToUtf16(path.string())), SQLITE_OK);
    ASSERT_TRUE(index.InsertExtent(ExtentRecord{0, 0, 501, 0, 1000}));
    ASSERT_TRUE(index.InsertExtent(ExtentRecord{5000, 1, 502, 200, 3000}));
    index.Close();
  }
  volume_->disc().files[{CK_DAT, 0, 501}] = Pattern(0, 1000);
  volume_->disc().files[{CK_DAT, 1, 502}] = Pattern(4800, 3200);
  DirEntryRecord e;
  e.type = ENTRY_KIND_EXTENTS;
  e.disk = 1;
  e.file = index_number;
  e.size = e.alloc = 10000;
  e.name = u"x.bin";
  CFileObject f(volume_.get());
  ASSERT_EQ(f.Open(e, parent()), 0u);

  std::string expected(10000, '\0');
  expected.replace(0, 1000, Pattern(0, 1000));
  expected.replace(5000, 3000, Pattern(5000, 3000));
  EXPECT_TRUE(ReadAll(f, 0, 10000) == expected);
  EXPECT_TRUE(ReadAll(f, 900, 4200) == expected.substr(900, 4200));
}

TEST_F(FileObjectTest, SizeChangesMoveTheAccountedSpaceBySectors) {
  CFileObject& f = NewFile();
  f.SetTrimAtClose(true);
  enum Op { kAlloc, kEof, kWrite, kClose };
  struct Step {
    Op op;
    int64_t value;
    int64_t metadata;  // the volume's metadata bytes afterwards
  };
  const Step steps[] = {
      {kAlloc, 10000, 10240},  // nothing written: the whole rounded allocation
      {kAlloc, 3000, 4096},    // shrinking gives the difference back
      {kWrite, 1000, 4096},    // the size stays inside the first sector
      {kEof, 2500, 2048},      // a whole sector is now inside the size
      {kAlloc, 2500, 0},       // size and allocation meet: nothing beyond
      {kAlloc, 100000, 98304},  // 100352 minus the whole sector of 2500
      {kAlloc, 1000, 0},       // below the size: the file is cut
      {kAlloc, 70000, 71680},
      {kClose, 0, 0},          // trimmed at close
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << "op " << s.op << " " << s.value);
    switch (s.op) {
      case kAlloc: ASSERT_EQ(f.SetAllocation(s.value), 0u); break;
      case kEof: ASSERT_EQ(f.SetEndOfFile(s.value), 0u); break;
      case kWrite: WriteAll(f, 0, Pattern(0, static_cast<size_t>(s.value))); break;
      case kClose: ASSERT_EQ(f.Close(), 0u); break;
    }
    EXPECT_EQ(volume_->metadata_bytes.load() - root_->accounted_size(), s.metadata);
    EXPECT_EQ(f.accounted_size(), s.metadata);
  }
  EXPECT_EQ(f.end_of_file(), 1000);
  EXPECT_EQ(f.entry().alloc, 1000);
}

TEST_F(FileObjectTest, OpenCountsAllocationBeyondTheSizeUnlessRefused) {
  const int64_t before = volume_->metadata_bytes.load();
  CFileObject& a = RecordedFile(5000, 5000, 9000);
  EXPECT_EQ(a.accounted_size(), 10240 - 4096);
  EXPECT_EQ(volume_->metadata_bytes.load() - before, 10240 - 4096);
  volume_->free_capacity = 0;
  CFileObject& b = RecordedFile(5000, 5000, 9000);
  EXPECT_EQ(b.accounted_size(), 0);
  EXPECT_EQ(volume_->metadata_bytes.load() - before, 10240 - 4096);
}

TEST_F(FileObjectTest, TruncatedContentReadsAsZerosWhenTheFileGrowsAgain) {
  CFileObject& f = RecordedFile(3 * MiB, 3 * MiB);
  WriteAll(f, 100, std::string(10, 'a'));  // a window piece over [0, 1 MiB)
  ASSERT_EQ(f.SetEndOfFile(50), 0u);
  ASSERT_EQ(f.SetEndOfFile(2 * MiB), 0u);
  std::string expected = Pattern(0, 50);
  expected.resize(2 * MiB, '\0');
  EXPECT_TRUE(ReadAll(f, 0, 2 * MiB) == expected);
}

TEST_F(FileObjectTest, SingleWriterModeLetsOneFileWriteAtATime) {
  volume_->single_writer = true;
  CFileObject& a = NewFile(u"a");
  CFileObject& b = NewFile(u"b");
  // Both announce more than they write first, so the gate stays with the writer.
  ASSERT_EQ(a.SetAllocation(100), 0u);
  ASSERT_EQ(b.SetAllocation(100), 0u);
  WriteAll(a, 0, "first");
  EXPECT_TRUE(a.holds_gate());

  uint32_t written = 7;
  EXPECT_EQ(b.Write(0, 6, "second", &written), platform::ERROR_BUSY);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(volume_->writer_busy_notices.load(), 1);

  ASSERT_EQ(a.Close(), 0u);
  EXPECT_FALSE(volume_->GateHeld());
  WriteAll(b, 0, "second");
  EXPECT_TRUE(b.holds_gate());
  // Written up to the announced size: the gate goes at once.
  WriteAll(b, 6, std::string(94, 'x'));
  EXPECT_FALSE(b.holds_gate());
  EXPECT_FALSE(volume_->GateHeld());

  // A new file announced larger than the disc takes is refused.
  volume_->single_file_limit = 4096;
  CFileObject& c = NewFile(u"c");
  ASSERT_EQ(c.SetAllocation(8192), 0u);
  EXPECT_EQ(c.Write(0, 1, "z", &written), platform::ERROR_NOT_SUPPORTED);
}

TEST_F(FileObjectTest, WriteRefusalsLeaveTheFileAsItWas) {
  CFileObject& f = NewFile();
  volume_->free_capacity = 0;
  uint32_t written = 9;
  EXPECT_EQ(f.Write(0, 5, "hello", &written), platform::ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(f.end_of_file(), 0);
  EXPECT_TRUE(f.Segments().empty());

  CFileObject closed(volume_.get());
  EXPECT_EQ(closed.Write(0, 5, "hello", &written), platform::ERROR_INVALID_PARAMETER);
  volume_->free_capacity = INT64_MAX / 4;
  ASSERT_EQ(f.Delete(), 0u);
  EXPECT_EQ(f.Write(0, 5, "hello", &written), platform::ERROR_ACCESS_DENIED);
}

TEST_F(FileObjectTest, RecordingAcrossAFullDiscMovesToExtentsOnTwoDiscs) {
  volume_->disc().disc_bytes = 3 * MiB;
  CFileObject& f = NewFile();
  const int64_t size = 5 * MiB + 100;
  const std::string content = Pattern(0, static_cast<size_t>(size), 9);
  for (int64_t at = 0; at < size; at += MiB) {
    WriteAll(f, at, content.substr(static_cast<size_t>(at), static_cast<size_t>(std::min<int64_t>(MiB, size - at))));
  }
  const uint32_t own_file = f.entry().file;
  ASSERT_EQ(f.Close(), 0u);
  ASSERT_EQ(f.Record(), 0u);

  const DirEntryRecord e = f.entry();
  EXPECT_EQ(e.type & ENTRY_KIND_MASK, ENTRY_KIND_EXTENTS);
  EXPECT_EQ(e.disk, 1);
  EXPECT_EQ(volume_->disc().current, 1);
  // The file's own disc file holds the first 3 MiB; the rest went to disc 1
  // with its true length.
  const std::string& own = volume_->disc().files[{CK_DAT, 0, own_file}];
  EXPECT_EQ(own.size(), 3u * MiB);
  uint64_t on_disc_1 = 0;
  for (const auto& [key, bytes] : volume_->disc().files) {
    if (std::get<0>(key) == CK_DAT && std::get<1>(key) == 1) on_disc_1 += bytes.size();
  }
  EXPECT_EQ(on_disc_1, static_cast<uint64_t>(size - 3 * MiB));

  // Recorded pieces of a closed file stay until the disc is closed (its
  // volume written back), then go; the content comes from the discs.
  EXPECT_FALSE(f.Segments().empty());
  EXPECT_TRUE(f.AwaitsDiscClose());
  f.DiscClosed(volume_->DiscCloses());
  EXPECT_FALSE(f.AwaitsDiscClose());
  EXPECT_TRUE(f.Segments().empty());
  EXPECT_EQ(volume_->pending_bytes.load(), 0);
  EXPECT_TRUE(ReadAll(f, 0, static_cast<uint32_t>(size)) == content);

  // The parent's row follows the new kind and identity.
  DirEntryRecord row;
  row.name = u"f.bin";
  ASSERT_TRUE(parent()->GetEntry(&row));
  EXPECT_EQ(row.type & ENTRY_KIND_MASK, ENTRY_KIND_EXTENTS);
  EXPECT_EQ(row.file, e.file);
  EXPECT_EQ(row.size, size);
  EXPECT_EQ(f.Record(), platform::ERROR_RETRY);
}

// Only a recording that sent something to the discs waits for a disc close:
// a new empty file sends nothing, and a close that finds nothing written
// counts no close, so waiting would keep it in memory for good.
TEST_F(FileObjectTest, OnlyARecordingThatSendsSomethingWaitsForADiscClose) {
  struct Row {
    std::u16string name;
    std::string content;
    bool waits;
  };
  const Row rows[] = {
      {u"empty.bin", "", false},
      {u"small.bin", "hello", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.name.begin(), r.name.end()));
    CFileObject& f = NewFile(r.name);
    if (!r.content.empty()) WriteAll(f, 0, r.content);
    ASSERT_EQ(f.Close(), 0u);
    ASSERT_EQ(f.Record(), 0u);
    EXPECT_EQ(f.AwaitsDiscClose(), r.waits);
  }
}

TEST_F(FileObjectTest, RecordingKeepsKindZeroWhileContentGrowsAsOneRun) {
  CFileObject& f = NewFile();
  const std::string content = Pattern(0, MiB + 5010, 3);
  WriteAll(f, 0, content.substr(0, MiB + 10));
  ASSERT_EQ(f.Record(), 0u);
  // The run from offset 0 goes into the file's own disc file, written in whole
  // sectors and set back to its true length.
  const auto key = std::make_tuple(uint8_t{CK_DAT}, f.entry().disk, f.entry().file);
  EXPECT_EQ(f.entry().type & ENTRY_KIND_MASK, ENTRY_KIND_FILE);
  EXPECT_TRUE(volume_->disc().files[key] == content.substr(0, MiB + 10));

  WriteAll(f, MiB + 10, content.substr(MiB + 10));
  ASSERT_EQ(f.Record(), 0u);
  EXPECT_EQ(f.entry().type & ENTRY_KIND_MASK, ENTRY_KIND_FILE);
  EXPECT_TRUE(volume_->disc().files[key] == content);
  EXPECT_EQ(f.recording_state().recorded_length, MiB + 5010);
  EXPECT_EQ(f.Record(), platform::ERROR_RETRY);
  DirEntryRecord row;
  row.name = u"f.bin";
  ASSERT_TRUE(parent()->GetEntry(&row));
  EXPECT_EQ(row.size, MiB + 5010);
}

// A run rewritten from inside the recorded content cuts the disc file back to
// its start; when the disc fills part way, what the file counts as recorded is
// what its disc file holds, and the rest follows on the next disc (or at the
// next recording when there is none). The content read back from the discs is
// the content written either way.
TEST_F(FileObjectTest, RewrittenRunStoppedByAFullDiscCountsWhatTheDiscFileHolds) {
  const struct {
    const char* name;
    uint8_t highest;  // the magazine's last disc
    Win32Error first_record;
  } cases[] = {
      {"next disc takes the rest", 11, 0},
      {"no further disc", 0, platform::ERROR_DISK_FULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    volume_->disc().files.clear();
    volume_->disc().current = 0;
    volume_->disc().highest = c.highest;
    CFileObject& f = RecordedFile(3 * MiB, 3 * MiB);
    const auto own = std::make_tuple(uint8_t{CK_DAT}, uint8_t{0}, f.entry().file);
    std::string content = Pattern(0, 4 * MiB);
    const std::string patch = Pattern(0, 10, 99);
    content.replace(2 * MiB, patch.size(), patch);
    WriteAll(f, 2 * MiB, patch);  // one changed window from 2 MiB, then appended to
    WriteAll(f, 3 * MiB, content.substr(3 * MiB));
    volume_->disc().disc_bytes = 2 * MiB + MiB / 2;  // disc 0 fills half way through the run
    ASSERT_EQ(f.Record(), c.first_record);
    EXPECT_EQ(volume_->disc().files[own].size(), 2u * MiB + MiB / 2);
    if (c.first_record != 0) {
      EXPECT_EQ(f.recording_state().recorded_length, 2 * MiB + MiB / 2);
      volume_->disc().disc_bytes = UINT64_MAX;
      ASSERT_EQ(f.Record(), 0u);
    }
    ASSERT_EQ(f.Close(), 0u);
    f.DiscClosed(volume_->DiscCloses());
    ASSERT_TRUE(f.Segments().empty());
    EXPECT_TRUE(ReadAll(f, 0, 4 * MiB) == content);
    volume_->disc().disc_bytes = UINT64_MAX;
  }
}

// The volume finds the object of an open file by the identity its parent's row
// names. A recording that turns the file into an extent index changes the
// identity only together with the row: while it copies, and after it stopped
// part way, an open by name still reaches this object (and not a second one
// made from the row, which would miss the content waiting in this one).
TEST_F(FileObjectTest, IdentityChangesOnlyWithTheParentRow) {
  CFileObject& f = RecordedFile(3 * MiB, 3 * MiB);
  auto row_identity = [&] {
    DirEntryRecord row;
    row.name = f.entry().name;
    EXPECT_TRUE(parent()->GetEntry(&row));
    return CFileObject::PackIdentity(row.type, row.disk, row.file);
  };
  const uint64_t before = row_identity();
  ASSERT_EQ(f.identity(), before);
  WriteAll(f, 0, Pattern(0, 1000, 7));  // inside the recorded content: it becomes a second run
  volume_->disc().full.insert(0);
  volume_->disc().highest = 0;
  ASSERT_EQ(f.Record(), platform::ERROR_DISK_FULL);
  EXPECT_EQ(f.entry().type & ENTRY_KIND_MASK, ENTRY_KIND_EXTENTS);  // the index waits in the cache
  EXPECT_EQ(f.identity(), before);
  {
    MemoryStream saved;  // and so does an object resumed from it
    ASSERT_EQ(f.SaveState(saved), 0u);
    CFileObject resumed(volume_.get());
    MemoryStream in(saved.bytes());
    ASSERT_EQ(resumed.LoadState(in), 0u);
    EXPECT_EQ(resumed.identity(), before);
  }

  volume_->disc().full.clear();
  uint64_t while_copying = 0;
  volume_->disc().on_write = [&] { while_copying = f.identity(); };
  ASSERT_EQ(f.Record(), 0u);
  EXPECT_EQ(while_copying, before);
  EXPECT_NE(f.identity(), before);
  EXPECT_EQ(f.identity(), row_identity());
}

// A write that cuts a segment still waiting its turn in a recording leaves the
// part kept for the next recording: nothing written is left off the discs and
// the bytes waiting for them add up to zero once all is recorded.
TEST_F(FileObjectTest, SegmentCutWhileARecordingWaitsIsRecordedNextTime) {
  CFileObject& f = NewFile();
  std::string content = Pattern(0, static_cast<size_t>(6 * MiB + MiB / 2), 5);
  std::fill(content.begin() + 3 * MiB, content.begin() + 5 * MiB, '\0');
  WriteAll(f, 0, content.substr(0, 3 * MiB));        // one segment [0, 3 MiB)
  WriteAll(f, 5 * MiB, content.substr(5 * MiB));     // one segment [5 MiB, 6.5 MiB)
  const std::string patch = Pattern(5 * MiB + 10, 100, 77);
  volume_->disc().on_write = [&] { WriteAll(f, 5 * MiB + 10, patch); };  // cuts the second one
  content.replace(5 * MiB + 10, patch.size(), patch);
  ASSERT_EQ(f.Record(), 0u);
  ASSERT_EQ(f.Record(), 0u);
  EXPECT_EQ(f.Record(), platform::ERROR_RETRY);
  EXPECT_EQ(volume_->pending_bytes.load(), 0);
  ASSERT_EQ(f.Close(), 0u);
  f.DiscClosed(volume_->DiscCloses());
  EXPECT_TRUE(f.Segments().empty());
  // What the discs hold, read as after a restart.
  auto& again = files_.emplace_back(std::make_unique<CFileObject>(volume_.get()));
  ASSERT_EQ(again->Open(f.entry(), parent()), 0u);
  EXPECT_TRUE(ReadAll(*again, 0, static_cast<uint32_t>(content.size())) == content);
}

TEST_F(FileObjectTest, ConcurrentReadersSeeOnlyWrittenBytes) {
  CFileObject& f = NewFile();
  constexpr int64_t kSize = 4 * MiB;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      uint32_t seed = 17u + static_cast<uint32_t>(r);
      std::string buffer(200000, '\0');
      while (!done.load()) {
        const int64_t eof = f.end_of_file();
        if (eof == 0) continue;
        seed = seed * 1103515245u + 12345u;
        const int64_t at = static_cast<int64_t>(seed % static_cast<uint32_t>(eof));
        uint32_t got = 0;
        if (f.Read(at, static_cast<uint32_t>(buffer.size()), buffer.data(), &got) != 0) ++bad;
        if (buffer.compare(0, got, Pattern(at, got)) != 0) ++bad;
      }
    });
  }
  for (int64_t at = 0; at < kSize; at += 48 * 1024) {
    WriteAll(f, at, Pattern(at, static_cast<size_t>(std::min<int64_t>(48 * 1024, kSize - at))));
  }
  // Rewrites of content already there keep the readers' view the same.
  for (int64_t at = 12345; at < kSize; at += 700000) WriteAll(f, at, Pattern(at, 5000));
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_TRUE(ReadAll(f, 0, kSize) == Pattern(0, kSize));
}

// ---- resume records ----

// Worked out by hand from the block layouts (78-byte block, one 26-byte
// segment record, the end byte, the 6-byte history block, the packed entry).
constexpr std::string_view kGoldenResume =
    "030204030201010000000000a000000000009a78563412000000001000000000"
    "00000000300000000000ddccbbaa111501efbe00000000100000000000000020"
    "0000000000000010000000000022020403020107000000000000000100000000"
    "01000000ff7f0001ff00ffffffffff030204030201200000009a785634120000"
    "0000a05634120000000100000000000000020000000000000003000000000000"
    "00ffffffffff050061002e00620069006e00";

FileResumeState GoldenState() {
  FileResumeState s;
  s.type = 3;
  s.disc = 2;
  s.file = 0x01020304;
  s.parent_reference = 1;
  s.piece_bytes = 10 * MiB;
  s.end_of_file = 0x123456789A;
  s.accounted_size = 4096;
  s.recording.recorded_length = 3 * MiB;
  s.recording.value_a = 0xAABBCCDD;
  s.recording.value_b = 0x11;
  s.flags = FileResumeState::kContentChanged | FileResumeState::kRecordingStarted | FileResumeState::kNeedsRecording;
  s.recording.disc = 1;
  s.recording.file = 0xBEEF;
  s.recording.start = MiB;
  s.recording.position = 2 * MiB;
  s.recording.in_disc_file = MiB;
  s.recording.value_c = 0x22;
  FileSegment seg;
  seg.disc = 2;
  seg.file = 0x01020304;
  seg.piece = 7;
  seg.start = int64_t{1} << 32;
  seg.piece_offset = 0x100;
  seg.length = 0x7FFF00;
  seg.state = FileSegment::kChanged;
  s.segments.push_back(seg);
  s.entry.type = 3;
  s.entry.disk = 2;
  s.entry.file = 0x01020304;
  s.entry.attr = 0x20;
  s.entry.size = 0x123456789A;
  s.entry.alloc = 0x123456A000;
  s.entry.ctime = 1;
  s.entry.atime = 2;
  s.entry.mtime = 3;
  s.entry.name = u"a.bin";
  return s;
}

TEST_F(FileObjectTest, ResumeRecordsMatchTheirLayoutByteForByte) {
  const std::string golden = FromHex(kGoldenResume);
  const FileResumeState state = GoldenState();
  MemoryStream out;
  ASSERT_TRUE(WriteFileResumeState(out, state));
  EXPECT_EQ(out.bytes().size(), 178u);
  EXPECT_TRUE(out.bytes() == golden);

  MemoryStream in(golden);
  FileResumeState read;
  ASSERT_EQ(ReadFileResumeState(in, &read), 0u);
  EXPECT_TRUE(read == state);
  EXPECT_EQ(in.consumed(), golden.size());
}

TEST_F(FileObjectTest, ResumeRecordsWithImpossibleValuesAreRefused) {
  struct Case {
    const char* name;
    std::vector<std::pair<size_t, uint8_t>> edits;  // offset, new byte
  };
  const std::string golden = FromHex(kGoldenResume);
  // Offsets: 0 type, 25 top byte of the end of file, 47 flags, 78 the segment
  // record (+17 piece offset, +25 state), 104 the end byte, 105 the history
  // block, 111 the entry's type.
  const Case cases[] = {
      {"unknown flag bit", {{47, 0x40}}},
      {"negative end of file", {{25, 0x80}}},
      {"segment beyond its piece", {{78 + 17, 0x01}}},
      {"unknown segment state", {{78 + 25, 3}}},
      {"history log open", {{105, 1}}},
      {"directory entry", {{0, 2}, {111, 2}}},
      {"type and entry disagree", {{0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = golden;
    for (auto [at, value] : c.edits) bytes[at] = static_cast<char>(value);
    MemoryStream in(bytes);
    FileResumeState s;
    EXPECT_EQ(ReadFileResumeState(in, &s), platform::ERROR_INVALID_DATA);
  }
  for (size_t cut : {size_t{0}, size_t{77}, size_t{100}, size_t{104}, golden.size() - 1}) {
    MemoryStream in(golden.substr(0, cut));
    FileResumeState s;
    EXPECT_EQ(ReadFileResumeState(in, &s), platform::ERROR_HANDLE_EOF) << cut;
  }
}

TEST_F(FileObjectTest, SavedObjectResumesWithItsSegmentsAndContent) {
  CFileObject& f = RecordedFile(3 * MiB, 3 * MiB, 4 * MiB);
  WriteAll(f, 5000, std::string(100, 'q'));
  WriteAll(f, 3 * MiB, Pattern(3 * MiB, 1000));
  std::string expected = ReadAll(f, 0, 3 * MiB + 1000);
  MemoryStream saved;
  ASSERT_EQ(f.SaveState(saved), 0u);
  const auto segments = f.Segments();
  const int64_t accounted = f.accounted_size();

  CFileObject resumed(volume_.get());
  MemoryStream in(saved.bytes());
  ASSERT_EQ(resumed.LoadState(in), 0u);
  EXPECT_EQ(in.consumed(), saved.bytes().size());
  EXPECT_EQ(resumed.Segments(), segments);
  EXPECT_EQ(resumed.end_of_file(), 3 * MiB + 1000);
  EXPECT_EQ(resumed.accounted_size(), accounted);
  EXPECT_EQ(resumed.parent_catalog(), parent());
  EXPECT_TRUE(resumed.content_changed());
  EXPECT_TRUE(ReadAll(resumed, 0, 3 * MiB + 1000) == expected);
  // New pieces do not reuse the numbers of the resumed ones.
  ASSERT_EQ(resumed.Reopen(), 0u);
  WriteAll(resumed, 2 * MiB + 1, "z");
  for (const FileSegment& s : resumed.Segments()) {
    if (s.start == 2 * MiB) {
      EXPECT_GE(s.piece, 2u);
    }
  }
}

// A rename in place and a move to another folder mark different history
// records; a moved file is found by the row in its new folder.
TEST_F(FileObjectTest, RenameAndMoveMarkTheirOwnHistory) {
  CDirObject sub(volume_.get());
  ASSERT_EQ(sub.Create(parent(), u"\\sub", 0x10, 1000), 0u);
  volume_->Register(&sub);
  const struct {
    const char16_t* name;
    CDirectoryDb* target;
    const char16_t* path;
    uint8_t pending;
  } cases[] = {
      {u"a.txt", nullptr, u"\\b.txt", kPendingRenamed},
      {u"c.txt", sub.catalog(), u"\\sub\\d.txt", kPendingMoved},
  };
  for (const auto& c : cases) {
    CFileObject& f = NewFile(c.name);
    WriteAll(f, 0, "abc");
    ASSERT_EQ(f.Rename(c.target, c.path), 0u);
    EXPECT_EQ(f.pending_history(), c.pending);
    DirEntryRecord row;
    row.name = f.entry().name;
    ASSERT_TRUE(f.parent_catalog()->GetEntry(&row));
    EXPECT_EQ(f.identity(), CFileObject::PackIdentity(row.type, row.disk, row.file));
  }
  files_.clear();
  volume_->Unregister(&sub);
  sub.Close();
}

TEST_F(FileObjectTest, RenameAndDeleteChangeTheParentRow) {
  CFileObject& f = NewFile(u"old.txt");
  WriteAll(f, 0, "abc");
  ASSERT_EQ(f.Rename(nullptr, u"\\new.txt"), 0u);
  DirEntryRecord row;
  row.name = u"new.txt";
  EXPECT_TRUE(parent()->GetEntry(&row));
  row.name = u"old.txt";
  EXPECT_FALSE(parent()->GetEntry(&row));

  const int64_t mtime = 777;
  ASSERT_EQ(f.SetInfo(0x01, nullptr, nullptr, &mtime), 0u);
  row.name = u"new.txt";
  ASSERT_TRUE(parent()->GetEntry(&row));
  EXPECT_EQ(row.attr, 0x01u);
  EXPECT_EQ(row.mtime, 777);
  WriteAll(f, 3, "defg");
  EXPECT_EQ(f.entry().mtime, 777);  // set explicitly: writes leave it

  ASSERT_EQ(f.Delete(), 0u);
  EXPECT_EQ(f.Delete(), platform::ERROR_ACCESS_DENIED);
  DirEntryRecord info;
  ASSERT_EQ(f.GetInfo(&info), 0u);
  EXPECT_NE(info.type & ENTRY_DELETED, 0);
  EXPECT_EQ(info.size, 7);
}

}  // namespace
}  // namespace kelva::storage::testing
