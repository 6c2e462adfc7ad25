#include "service/storage/resume_container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/digest.h"
#include "platform/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int KelvaResumeFuzzOne(const uint8_t* data, size_t size);

namespace kelva::storage {
namespace {

using namespace platform;

class ResumeContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / ("kelva_resume_test_" + std::to_string(std::random_device{}()));
  }
  void TearDown() override { fs::remove(path_); }
  File Create() {
    File f;
    EXPECT_EQ(File::Open(path_, kAccessReadWrite, Disposition::kCreateAlways, &f), ERROR_SUCCESS);
    return f;
  }
  std::string Contents() {
    std::string s;
    ReadWholeFile(path_, &s);
    return s;
  }
  ResumeHeader SampleHeader() {
    ResumeHeader h;
    h.catalog_time_low = 0x11223344;
    h.catalog_time_high = 0x01D9AABB;
    h.cached_data_bytes = 0x0102030405060708ULL;
    h.pending_archive_bytes = 9;
    h.metadata_bytes = 0xFFFFFFFF00000001ULL;
    h.catalog_number = 2999;
    h.flags = ResumeHeader::kExistingCatalog | ResumeHeader::kCatalogChanged;
    h.catalog_growth = 4096;
    return h;
  }
  // Writes a complete live container with two pinned records and some bulk.
  void WriteSample(const ResumeGuid& guid, const ResumeHeader& header) {
    File f = Create();
    CCacheDataStream out(&f);
    ASSERT_TRUE(BeginResumeContainer(out, guid, header));
    ASSERT_TRUE(WriteResumeTag(out, kResumeTagPinned));
    ASSERT_TRUE(WritePinnedRecord(out, {1, 255, 2999, 0, 1}));
    ASSERT_TRUE(WriteResumeTag(out, kResumeTagDirectory));
    const std::vector<uint8_t> bulk(10000, 0x5A);  // spans several buffers
    ASSERT_TRUE(out.Write(bulk.data(), static_cast<uint32_t>(bulk.size())));
    ASSERT_TRUE(WriteResumeTag(out, kResumeTagPinned));
    ASSERT_TRUE(WritePinnedRecord(out, {2, 3, 77, 0xDEADBEEF, 4}));
    ASSERT_TRUE(SealResumeContainer(out, f));
  }
  Win32Error Open(const ResumeGuid& guid, ResumeHeader* header) {
    File f;
    EXPECT_EQ(File::Open(path_, kAccessReadWrite, Disposition::kOpenExisting, &f), ERROR_SUCCESS);
    CCacheDataStream in(&f);
    return OpenResumeContainer(in, f, guid, header);
  }
  fs::path path_;
};

TEST_F(ResumeContainerTest, LayoutIsByteExact) {
  WriteSample(kLiveResumeGuid, SampleHeader());
  const std::string s = Contents();
  ASSERT_EQ(s.size(), 81u + 1 + 14 + 1 + 10000 + 1 + 14 + 1);
  const uint8_t guid[16] = {0x0C, 0x6D, 0xE2, 0x5B, 0x50, 0x67, 0xF9, 0x46,
                            0x93, 0x79, 0x13, 0x6F, 0xE2, 0x25, 0x08, 0x1A};
  EXPECT_EQ(std::memcmp(s.data(), guid, 16), 0);
  const uint8_t header[49] = {1,    0,    0,    0,    0x44, 0x33, 0x22, 0x11, 0xBB, 0xAA, 0xD9, 0x01, 8,
                              7,    6,    5,    4,    3,    2,    1,    9,    0,    0,    0,    0,    0,
                              0,    0,    1,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xB7, 0x0B, 0,
                              0,    0x05, 0,    0x10, 0,    0,    0,    0,    0,    0};
  EXPECT_EQ(std::memcmp(s.data() + 32, header, 49), 0);
  const uint8_t pinned[15] = {3, 1, 255, 0xB7, 0x0B, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(s.data() + 81, pinned, 15), 0);
  EXPECT_EQ(static_cast<uint8_t>(s.back()), 255);
  Md5Digest digest;
  ASSERT_TRUE(Md5({reinterpret_cast<const uint8_t*>(s.data()) + 32, s.size() - 32}, &digest));
  EXPECT_EQ(std::memcmp(s.data() + 16, digest.data(), 16), 0);
  EXPECT_EQ(std::string(kSnapshotResumeGuid.begin(), kSnapshotResumeGuid.end()),
            std::string("\x55\x7D\x09\xF0\x7C\xFA\x4C\x45\x97\xCD\x4C\xCD\xD1\x69\x8C\x84", 16));
}

TEST_F(ResumeContainerTest, ReaderReturnsHeaderAndRecords) {
  WriteSample(kLiveResumeGuid, SampleHeader());
  File f;
  ASSERT_EQ(File::Open(path_, kAccessReadWrite, Disposition::kOpenExisting, &f), ERROR_SUCCESS);
  CCacheDataStream in(&f);
  ResumeHeader header;
  ASSERT_EQ(OpenResumeContainer(in, f, kLiveResumeGuid, &header), ERROR_SUCCESS);
  EXPECT_EQ(header, SampleHeader());
  uint8_t tag = 0;
  ResumePinnedRecord pin;
  ASSERT_TRUE(ReadResumeTag(in, &tag));
  EXPECT_EQ(tag, kResumeTagPinned);
  ASSERT_TRUE(ReadPinnedRecord(in, &pin));
  EXPECT_EQ(pin, (ResumePinnedRecord{1, 255, 2999, 0, 1}));
  ASSERT_TRUE(ReadResumeTag(in, &tag));
  EXPECT_EQ(tag, kResumeTagDirectory);
  std::vector<uint8_t> bulk(10000);
  ASSERT_TRUE(in.Read(bulk.data(), 10000));
  EXPECT_EQ(bulk, std::vector<uint8_t>(10000, 0x5A));
  ASSERT_TRUE(ReadResumeTag(in, &tag));
  ASSERT_TRUE(ReadPinnedRecord(in, &pin));
  EXPECT_EQ(pin, (ResumePinnedRecord{2, 3, 77, 0xDEADBEEF, 4}));
  ASSERT_TRUE(ReadResumeTag(in, &tag));
  EXPECT_EQ(tag, kResumeTagEnd);
  EXPECT_FALSE(ReadResumeTag(in, &tag)) << "reading past the end fails";
}

TEST_F(ResumeContainerTest, WrongGuidDigestVersionOrLengthIsRejected) {
  ResumeHeader header;
  WriteSample(kLiveResumeGuid, SampleHeader());
  EXPECT_EQ(Open(kSnapshotResumeGuid, &header), ERROR_INVALID_DATA) << "another GUID";
  const std::string good = Contents();

  std::string bad = good;
  bad[5000] ^= 1;  // one bit in a record
  WriteWholeFile(path_, bad);
  EXPECT_EQ(Open(kLiveResumeGuid, &header), ERROR_INVALID_DATA) << "digest";
  bad = good;
  bad[20] ^= 1;  // the digest itself
  WriteWholeFile(path_, bad);
  EXPECT_EQ(Open(kLiveResumeGuid, &header), ERROR_INVALID_DATA) << "digest field";
  WriteWholeFile(path_, good.substr(0, good.size() - 1));
  EXPECT_EQ(Open(kLiveResumeGuid, &header), ERROR_INVALID_DATA) << "cut short";
  WriteWholeFile(path_, good.substr(0, 60));
  EXPECT_EQ(Open(kLiveResumeGuid, &header), ERROR_HANDLE_EOF) << "no room for a header";

  ResumeHeader v2 = SampleHeader();
  v2.version = 2;  // a correct digest over a header of another version
  WriteSample(kLiveResumeGuid, v2);
  EXPECT_EQ(Open(kLiveResumeGuid, &header), ERROR_INVALID_DATA) << "version";

  WriteSample(kSnapshotResumeGuid, SampleHeader());
  EXPECT_EQ(Open(kSnapshotResumeGuid, &header), ERROR_SUCCESS);
}

TEST_F(ResumeContainerTest, StreamDigestOfARangeAndMixedReadWrite) {
  File f = Create();
  std::vector<uint8_t> data(9000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  CCacheDataStream s(&f);
  ASSERT_TRUE(s.Write(data.data(), 3000));
  ASSERT_TRUE(s.Write(data.data() + 3000, 6000));
  // The digest sees buffered bytes too: they are written out first.
  Md5Digest got, want;
  ASSERT_TRUE(s.Md5(100, 8000, &got));
  ASSERT_TRUE(Md5({data.data() + 100, 8000}, &want));
  EXPECT_EQ(got, want);
  EXPECT_FALSE(s.Md5(100, 9000, &got)) << "range past the end";
  // Read some, then overwrite right after what was read.
  ASSERT_TRUE(s.Seek(10));
  uint8_t head[5];
  ASSERT_TRUE(s.Read(head, 5));
  EXPECT_EQ(std::memcmp(head, data.data() + 10, 5), 0);
  const uint8_t patch[3] = {0xAA, 0xBB, 0xCC};
  ASSERT_TRUE(s.Write(patch, 3));
  ASSERT_TRUE(s.Flush());
  const std::string contents = Contents();
  ASSERT_EQ(contents.size(), 9000u);
  EXPECT_EQ(static_cast<uint8_t>(contents[15]), 0xAA);
  EXPECT_EQ(static_cast<uint8_t>(contents[17]), 0xCC);
  EXPECT_EQ(static_cast<uint8_t>(contents[18]), data[18]);
}

// Replays a few inputs through the map fuzz target, so that it stays buildable
// and its checks run in every test build.
TEST(CacheMapFuzzReplay, SmallCorpus) {
  std::vector<uint8_t> input(4096, 0xFF);
  std::mt19937 rng(5);
  // A new map image followed by a run of operations.
  input[0] = 53;
  input[1] = input[2] = input[3] = 0;
  input[4] = input[5] = input[6] = input[7] = 0;
  input[8] = 1;
  input[9] = input[10] = input[11] = 0;
  input[12] = 0;
  for (uint32_t n = 1; n < 53; ++n) {
    const uint32_t next = n < 52 ? n + 1 : 0xFFFFFFFF;
    std::memcpy(&input[12 + 76 * n + 8], &next, 4);
  }
  for (int i = 0; i < 3000; ++i) input.push_back(static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 8));
  EXPECT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
  std::vector<uint8_t> noise(8192 + 60);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(LLVMFuzzerTestOneInput(noise.data(), noise.size()), 0);
  EXPECT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);
}

TEST_F(ResumeContainerTest, FuzzReplay) {
  WriteSample(kLiveResumeGuid, SampleHeader());
  std::string good = "\x00" + Contents();
  auto run = [](const std::string& s) {
    return KelvaResumeFuzzOne(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  EXPECT_EQ(run(good), 0);
  good[0] = 1;  // expecting the other GUID
  EXPECT_EQ(run(good), 0);
  good[0] = 2;  // digest put right by the target, after a change to a record
  good[90] = 7;
  EXPECT_EQ(run(good), 0);
  EXPECT_EQ(run(std::string(200, '\xFF')), 0);
  EXPECT_EQ(run(""), 0);
}

}  // namespace
}  // namespace kelva::storage
