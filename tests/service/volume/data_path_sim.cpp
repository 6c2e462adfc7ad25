// The volume's data operations on the simulated unit: reads and writes
// against a byte model, size changes, the single-writer gate, refused
// contexts, and the copy of a recorded file version from the discs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/service/volume/volume_ops_fixture.h"

namespace kelva::volume {
namespace {

using testing::Bytes;
using testing::VolumeOpsTest;

constexpr uint32_t kReadAccess = 0x80000000;
constexpr int64_t kMiB = 1 << 20;

class DataPathTest : public VolumeOpsTest {
 protected:
  void SetUp() override {
    VolumeOpsTest::SetUp();
    Mount();
  }
  std::vector<uint8_t> ReadDestination(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

// Each step changes the file through the volume and the model alike; the whole
// content is compared after every step, and again after a remount.
TEST_F(DataPathTest, WritesAndSizeChangesAgreeWithAModel) {
  struct Step {
    enum Kind { kWrite, kEnd, kAllocation } kind;
    int64_t at;     // offset, or the new size
    size_t length;  // bytes written
  };
  const Step steps[] = {
      {Step::kWrite, 0, 5000},
      {Step::kWrite, 100, 50},                    // inside
      {Step::kWrite, 3 * kMiB + 17, 4096},        // beyond the end: a hole of zeros
      {Step::kWrite, kMiB - 10, 20},              // across a window boundary in the hole
      {Step::kEnd, 2 * kMiB, 0},                  // cut back
      {Step::kEnd, 2 * kMiB + 300, 0},            // grown again with zeros
      {Step::kAllocation, 4 * kMiB, 0},           // room only: the size stays
      {Step::kWrite, 2 * kMiB + 300, 9 * 100000},  // appended
      {Step::kAllocation, 1000, 0},               // below the end: cuts the file
      {Step::kWrite, 999, 2},
  };
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->CreateEntry(u"\\model.bin", 0x20, &ctx), 0u);
  std::vector<uint8_t> model;
  uint32_t seed = 1;
  for (const Step& s : steps) {
    SCOPED_TRACE("step at " + std::to_string(s.at));
    if (s.kind == Step::kWrite) {
      const std::vector<uint8_t> data = Bytes(s.length, seed++);
      uint32_t written = 0;
      ASSERT_EQ(volume_->WriteEntry(ctx, s.at, static_cast<uint32_t>(data.size()), data.data(), &written), 0u);
      ASSERT_EQ(written, data.size());
      if (model.size() < s.at + data.size()) model.resize(s.at + data.size());
      std::copy(data.begin(), data.end(), model.begin() + s.at);
    } else if (s.kind == Step::kEnd) {
      ASSERT_EQ(volume_->SetEntryEnd(ctx, s.at), 0u);
      model.resize(static_cast<size_t>(s.at));
    } else {
      ASSERT_EQ(volume_->SetEntryAllocation(ctx, s.at), 0u);
      if (static_cast<size_t>(s.at) < model.size()) model.resize(static_cast<size_t>(s.at));
    }
    std::vector<uint8_t> got(model.size() + 10);
    uint32_t done = 0;
    ASSERT_EQ(volume_->ReadEntry(ctx, 0, static_cast<uint32_t>(got.size()), got.data(), &done), 0u);
    ASSERT_EQ(done, model.size());
    got.resize(done);
    ASSERT_TRUE(got == model);
    EXPECT_EQ(Info(u"\\model.bin").end_of_file, static_cast<int64_t>(model.size()));
  }
  EXPECT_EQ(volume_->FlushEntry(ctx), 0u);
  EXPECT_EQ(volume_->CloseEntry(ctx), 0u);
  Unmount();
  Mount();
  EXPECT_EQ(ReadFile(u"\\model.bin"), model);
}

// Recorded content cut off by a size change must not come back when the file
// grows again, whether the file is one disc file or extent-indexed.
TEST_F(DataPathTest, ContentCutOffStaysGoneAfterGrowingAgain) {
  struct Row {
    const char16_t* name;
    int64_t second_run;  // where a second run starts (0: none, one disc file)
  };
  const Row rows[] = {{u"\\plain", 0}, {u"\\indexed", 2 * kMiB}};
  std::map<std::u16string, std::vector<uint8_t>> want;
  for (const Row& r : rows) {
    std::vector<uint8_t> data = Bytes(200000, 25);
    if (r.second_run != 0) {
      data.resize(static_cast<size_t>(r.second_run) + 5000, 0);
      const std::vector<uint8_t> tail = Bytes(5000, 26);
      std::copy(tail.begin(), tail.end(), data.begin() + r.second_run);
      EntryRef* ctx = nullptr;
      ASSERT_EQ(volume_->CreateEntry(r.name, 0, &ctx), 0u);
      uint32_t written = 0;
      ASSERT_EQ(volume_->WriteEntry(ctx, 0, 200000, data.data(), &written), 0u);
      ASSERT_EQ(volume_->WriteEntry(ctx, r.second_run, 5000, tail.data(), &written), 0u);
      volume_->CloseEntry(ctx);
    } else {
      ASSERT_EQ(PutFile(r.name, data), 0u);
    }
    want[r.name] = data;
  }
  Unmount();  // recorded
  Mount();
  for (const Row& r : rows) {
    EntryRef* ctx = nullptr;
    ASSERT_EQ(volume_->OpenEntry(r.name, kReadAccess, 0, &ctx), 0u);
    ASSERT_EQ(volume_->SetEntryEnd(ctx, 1000), 0u);
    const int64_t grown = static_cast<int64_t>(want[r.name].size()) + 100;
    ASSERT_EQ(volume_->SetEntryEnd(ctx, grown), 0u);
    volume_->CloseEntry(ctx);
    std::vector<uint8_t>& w = want[r.name];
    std::fill(w.begin() + 1000, w.end(), 0);
    w.resize(static_cast<size_t>(grown), 0);
  }
  Unmount();
  Mount();
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.name, r.name + std::char_traits<char16_t>::length(r.name)));
    EXPECT_EQ(ReadFile(r.name), want[r.name]);
  }
}

// A file larger than one data piece, written in the chunks a mount hands over,
// is recorded run by run into its own disc file; with a second run further on
// that disc file becomes the first extent of an index. Either way the content
// read back from the discs is the content written.
TEST_F(DataPathTest, LargeFileRecordedRunByRunReadsBackFromTheDiscs) {
  struct Row {
    const char16_t* name;
    int64_t size;
    uint32_t chunk;
    int64_t second_run;  // where a further run is written (0: none)
  };
  const Row rows[] = {
      {u"\\one-run", 20 * kMiB + 12345, 128 * 1024, 0},
      {u"\\two-runs", 20 * kMiB, 1024 * 1024, 30 * kMiB},  // whole sectors only: no length set after a run
  };
  std::map<std::u16string, std::vector<uint8_t>> want;
  uint32_t seed = 40;
  for (const Row& r : rows) {
    std::vector<uint8_t>& data = want[r.name];
    data = Bytes(static_cast<size_t>(r.size), seed++);
    EntryRef* ctx = nullptr;
    ASSERT_EQ(volume_->CreateEntry(r.name, 0, &ctx), 0u);
    uint32_t written = 0;
    for (size_t at = 0; at < data.size(); at += r.chunk) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(r.chunk, data.size() - at));
      ASSERT_EQ(volume_->WriteEntry(ctx, static_cast<int64_t>(at), n, data.data() + at, &written), 0u);
    }
    if (r.second_run != 0) {
      const std::vector<uint8_t> tail = Bytes(4096, seed++);
      ASSERT_EQ(volume_->WriteEntry(ctx, r.second_run, 4096, tail.data(), &written), 0u);
      data.resize(static_cast<size_t>(r.second_run), 0);
      data.insert(data.end(), tail.begin(), tail.end());
    }
    volume_->CloseEntry(ctx);
  }
  Unmount();  // recorded; the next mount reads the content from the discs
  Mount();
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.name, r.name + std::char_traits<char16_t>::length(r.name)));
    const std::optional<std::vector<uint8_t>> got = ReadFile(r.name);
    ASSERT_TRUE(got.has_value());  // a read error otherwise
    EXPECT_TRUE(*got == want[r.name]);
  }
}

TEST_F(DataPathTest, DataOperationsNeedAFileContext) {
  ASSERT_EQ(MakeDirectory(u"\\d"), 0u);
  EntryRef* dir = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\d", kReadAccess, 0x10, &dir), 0u);
  uint8_t buffer[8];
  uint32_t done = 7;
  EXPECT_EQ(volume_->ReadEntry(dir, 0, 8, buffer, &done), 87u);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(volume_->ReadEntry(nullptr, 0, 8, buffer, &done), 87u);
  EXPECT_EQ(volume_->WriteEntry(dir, 0, 8, buffer, &done), 87u);
  EXPECT_EQ(volume_->SetEntryEnd(dir, 0), 87u);
  EXPECT_EQ(volume_->SetEntryAllocation(dir, 0), 87u);
  EXPECT_EQ(volume_->FlushEntry(dir), 87u);
  EXPECT_EQ(volume_->FlushEntry(nullptr), 0u);
  volume_->CloseEntry(dir);
  // A folder opened as a file and a file opened as a folder.
  ASSERT_EQ(PutFile(u"\\f", {}), 0u);
  EntryRef* ctx = nullptr;
  EXPECT_EQ(volume_->OpenEntry(u"\\d", kReadAccess, 0, &ctx), 5u);
  EXPECT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0x10, &ctx), 3u);
  EXPECT_EQ(volume_->OpenEntry(u"\\none", kReadAccess, 0, &ctx), 2u);
  EXPECT_EQ(volume_->OpenEntry(u"\\none\\x", kReadAccess, 0, &ctx), 3u);
}

TEST_F(DataPathTest, SecondWriterWaitsForTheGateInSingleWriterMode) {
  ASSERT_TRUE(volume_->SetSplitSetting(-1));
  EntryRef* a = nullptr;
  EntryRef* b = nullptr;
  ASSERT_EQ(volume_->CreateEntry(u"\\a", 0, &a), 0u);
  ASSERT_EQ(volume_->CreateEntry(u"\\b", 0, &b), 0u);
  // Files announced larger than written so far keep the gate between writes.
  ASSERT_EQ(volume_->SetEntryAllocation(a, kMiB), 0u);
  ASSERT_EQ(volume_->SetEntryAllocation(b, kMiB), 0u);
  const std::vector<uint8_t> data = Bytes(1000, 20);
  uint32_t written = 0;
  ASSERT_EQ(volume_->WriteEntry(a, 0, 1000, data.data(), &written), 0u);
  clock_.SetScale(200);  // the 1000 ms gate wait passes quickly
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(volume_->WriteEntry(b, 0, 1000, data.data(), &written), 170u);
  EXPECT_GE(clock_.NowMs() - start, 1000u);
  EXPECT_EQ(unit_.Count(kNoticeWriterBusy), 1);
  // A flush of the first file lets the second in.
  EXPECT_EQ(volume_->FlushEntry(a), 0u);
  EXPECT_EQ(volume_->WriteEntry(b, 0, 1000, data.data(), &written), 0u);
  EXPECT_EQ(written, 1000u);
  // And the second holds the gate until its close.
  EXPECT_EQ(volume_->WriteEntry(a, 1000, 1000, data.data(), &written), 170u);
  volume_->CloseEntry(b);
  EXPECT_EQ(volume_->WriteEntry(a, 1000, 1000, data.data(), &written), 0u);
  volume_->CloseEntry(a);
  clock_.SetScale(0);
}

TEST_F(DataPathTest, ExtractFileVersionCopiesAnExtentIndexedFileWithItsGap) {
  // Two runs 3 MiB apart: recording makes the file extent-indexed with a gap.
  const std::vector<uint8_t> head = Bytes(1024, 21);
  const std::vector<uint8_t> tail = Bytes(1024, 22);
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->CreateEntry(u"\\sparse", 0, &ctx), 0u);
  uint32_t written = 0;
  ASSERT_EQ(volume_->WriteEntry(ctx, 0, 1024, head.data(), &written), 0u);
  ASSERT_EQ(volume_->WriteEntry(ctx, 3 * kMiB, 1024, tail.data(), &written), 0u);
  volume_->CloseEntry(ctx);
  std::vector<uint8_t> want(3 * kMiB + 1024, 0);
  std::copy(head.begin(), head.end(), want.begin());
  std::copy(tail.begin(), tail.end(), want.begin() + 3 * kMiB);
  Unmount();  // records everything onto the discs
  Mount();

  const EntryInfo info = Info(u"\\sparse");
  ASSERT_TRUE(info.exists);
  EXPECT_EQ(info.attributes & 0x1000u, 0x1000u);  // extent-indexed and not open: offline
  const uint8_t disc = static_cast<uint8_t>(info.file_id >> 32);
  const uint32_t index = static_cast<uint32_t>(info.file_id);
  const std::filesystem::path out = temp_ / "version.bin";
  struct Row {
    uint32_t location;
    int64_t size;
    uint32_t status;
  };
  const Row rows[] = {
      {0x80000000u | index, static_cast<int64_t>(want.size()), 0},
      {0x40000000u | index, 10, 4},
      {0x40000010u, 10, 4},
      {0x00000000u | 0x3FFFFF0u, 10, 32},  // no such disc file
      {0x80000000u | 0x3FFFFF0u, 10, 32},  // no such extent index
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.location));
    std::filesystem::remove(out);
    EXPECT_EQ(volume_->ExtractFileVersion(disc, r.location, r.size, out), r.status);
    if (r.status == 0) {
      EXPECT_TRUE(ReadDestination(out) == want);
    } else if (r.status != 4) {
      EXPECT_FALSE(std::filesystem::exists(out));  // a failed copy leaves nothing
    }
  }
  EXPECT_EQ(ReadFile(u"\\sparse"), want);

  // While the file is open its current content is copied.
  ASSERT_EQ(volume_->OpenEntry(u"\\sparse", kReadAccess, 0, &ctx), 0u);
  ASSERT_EQ(volume_->WriteEntry(ctx, 10, 1024, tail.data(), &written), 0u);
  std::copy(tail.begin(), tail.end(), want.begin() + 10);
  const EntryInfo open_info = Info(u"\\sparse");
  EXPECT_EQ(volume_->ExtractFileVersion(disc, 0x80000000u | static_cast<uint32_t>(open_info.file_id),
                                        static_cast<int64_t>(want.size()), out),
            0u);
  EXPECT_TRUE(ReadDestination(out) == want);
  volume_->CloseEntry(ctx);
}

TEST_F(DataPathTest, ExtractFileVersionOfAPlainRecordedFile) {
  const std::vector<uint8_t> data = Bytes(2 * kMiB + 5, 23);
  ASSERT_EQ(PutFile(u"\\plain", data), 0u);
  Unmount();
  Mount();
  const EntryInfo info = Info(u"\\plain");
  const std::filesystem::path out = temp_ / "plain.bin";
  ASSERT_EQ(volume_->ExtractFileVersion(static_cast<uint8_t>(info.file_id >> 32),
                                        static_cast<uint32_t>(info.file_id), static_cast<int64_t>(data.size()), out),
            0u);
  EXPECT_TRUE(ReadDestination(out) == data);
  // A size beyond the recorded content arrives with zeros after it.
  ASSERT_EQ(volume_->ExtractFileVersion(static_cast<uint8_t>(info.file_id >> 32),
                                        static_cast<uint32_t>(info.file_id), static_cast<int64_t>(data.size()) + 100,
                                        out),
            0u);
  std::vector<uint8_t> longer = data;
  longer.resize(data.size() + 100, 0);
  EXPECT_TRUE(ReadDestination(out) == longer);
}

TEST_F(DataPathTest, AFileReadFromTheDiscsIsReportedOfflineWhileOpen) {
  ASSERT_EQ(PutFile(u"\\f", Bytes(100000, 24)), 0u);
  EXPECT_EQ(Info(u"\\f").attributes & 0x1000u, 0u);  // its pieces are in the cache
  Unmount();
  Mount();
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0, &ctx), 0u);
  EXPECT_EQ(Info(u"\\f").attributes & 0x1000u, 0x1000u);  // its content is on the discs
  std::vector<uint8_t> got(100000);
  uint32_t done = 0;
  EXPECT_EQ(volume_->ReadEntry(ctx, 0, 100000, got.data(), &done), 0u);
  EXPECT_TRUE(got == Bytes(100000, 24));
  volume_->CloseEntry(ctx);
}

}  // namespace
}  // namespace kelva::volume
