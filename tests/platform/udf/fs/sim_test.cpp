// The UDF file system on discs of the simulated unit, through real command
// blocks: round trips on both media, the recording rules of write-once discs
// (appends at next writable addresses, pseudo-overwrites for metadata only), and
// a unit unplugged in the middle of writing.
#include "platform/text.h"
#include "service/unit/unit_commands.h"
#include "tests/platform/udf/fs/fs_fixture.h"

namespace kelva::udf::testing {
namespace {

namespace pe = platform;

class SimMedia : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    dir_ = TestDir(GetParam() ? "bdr" : "bdre");
    vol_ = std::make_unique<SimVolume>(dir_, GetParam());
    ASSERT_EQ(vol_->Mount(), 0u);
  }
  void TearDown() override {
    vol_.reset();
    fs::remove_all(dir_);
  }
  UdfFileSystem& fs() { return vol_->fs(); }
  void Remount() {
    ASSERT_EQ(fs().Dismount(), 0u);
    ASSERT_EQ(vol_->Mount(), 0u);
    EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  }
  std::u16string N(const std::string& s) { return pe::Utf8ToUtf16(s); }

  fs::path dir_;
  std::unique_ptr<SimVolume> vol_;
};

TEST_P(SimMedia, FilesAndFoldersRoundTripThroughAFreshMount) {
  UdfVolumeInfo info;
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_EQ(info.recordable, GetParam());
  EXPECT_EQ(info.udfRevision, GetParam() ? 0x0260 : 0x0250);
  const std::vector<size_t> sizes = {0, 1, 2047, 2048, 2049, 5 * 1048576 + 3};
  ASSERT_EQ(fs().CreateFolder(u"d"), 0u);
  for (size_t i = 0; i < sizes.size(); ++i)
    ASSERT_EQ(PutFile(fs(), u"d\\f" + N(std::to_string(i)), Pattern(sizes[i], static_cast<uint32_t>(i)), 65536), 0u);
  ASSERT_EQ(PutFile(fs(), u"d\\ünï €", Pattern(77, 77)), 0u);
  Remount();
  std::vector<uint8_t> back;
  for (size_t i = 0; i < sizes.size(); ++i) {
    ASSERT_EQ(GetFile(fs(), u"D\\F" + N(std::to_string(i)), &back), 0u);
    EXPECT_EQ(back, Pattern(sizes[i], static_cast<uint32_t>(i))) << i;
  }
  ASSERT_EQ(GetFile(fs(), u"d\\ÜNÏ €", &back), 0u);
  EXPECT_EQ(back, Pattern(77, 77));
  // Delete, re-create and cut back on the second session.
  ASSERT_EQ(fs().Delete(u"d\\f5"), 0u);
  ASSERT_EQ(PutFile(fs(), u"d\\f5", Pattern(3000, 9)), 0u);
  {
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"d\\f4", UdfCreate::kOpenExisting, true, &f), 0u);
    ASSERT_EQ(f->SetEndOfFile(100), 0u);
    ASSERT_EQ(f->WriteAt(100, "tail", 4), 0u);  // rewrites the file's only, partly filled block
  }
  Remount();
  ASSERT_EQ(GetFile(fs(), u"d\\f5", &back), 0u);
  EXPECT_EQ(back, Pattern(3000, 9));
  ASSERT_EQ(GetFile(fs(), u"d\\f4", &back), 0u);
  auto want = Pattern(2049, 4);
  want.resize(100);
  want.insert(want.end(), {'t', 'a', 'i', 'l'});
  EXPECT_EQ(back, want);
}

TEST_P(SimMedia, ManyFilesGrowTheMetadataBeyondItsFirstExtent) {
  // More file entries than the first metadata extent holds (32 blocks on
  // write-once media, 512 on rewritable media).
  const int n = GetParam() ? 700 : 1100;
  ASSERT_EQ(fs().CreateFolder(u"many"), 0u);
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"many\\" + N(std::to_string(i)), UdfCreate::kCreateNew, true, &f), 0u);
    const std::string body = std::to_string(i * 7);
    ASSERT_EQ(f->WriteAt(0, body.data(), body.size()), 0u);
  }
  for (int d = 0; d < 20; ++d) ASSERT_EQ(fs().CreateFolder(u"t" + N(std::to_string(d))), 0u);
  Remount();
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(vol_->drive(), &vs));
  EXPECT_GT(vs.size[1], GetParam() ? 32u : 512u);
  std::vector<UdfFileInfo> list;
  ASSERT_EQ(fs().Enumerate(u"many", &list), 0u);
  EXPECT_EQ(list.size(), static_cast<size_t>(n));
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"many\\" + N(std::to_string(n - 1)), &back), 0u);
  EXPECT_EQ(std::string(back.begin(), back.end()), std::to_string((n - 1) * 7));
  // A second session adds more on top.
  for (int i = n; i < n + 200; ++i) ASSERT_EQ(PutFile(fs(), u"many\\" + N(std::to_string(i)), Pattern(10, i)), 0u);
  Remount();
  ASSERT_EQ(fs().Enumerate(u"many", &list), 0u);
  EXPECT_EQ(list.size(), static_cast<size_t>(n + 200));
}

INSTANTIATE_TEST_SUITE_P(Media, SimMedia, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Recordable" : "Rewritable"; });

class SimRecordable : public SimMedia {};

TEST_P(SimRecordable, DataIsOnlyAppendedAndOnlyMetadataSpendsPseudoOverwrites) {
  const std::vector<SectorTrack> tracks = vol_->Tracks();
  ASSERT_EQ(tracks.size(), 4u);
  uint32_t before[3] = {};
  ASSERT_TRUE(unit::ReadPowResources(&vol_->log(), before));
  vol_->log().writes.clear();
  // A mix of the ways the service writes: streams in 64 KiB units with a padded
  // last block cut back, small files, appends to a partly filled block.
  for (int i = 0; i < 20; ++i) {
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"s" + N(std::to_string(i)), UdfCreate::kCreateNew, true, &f), 0u);
    const auto data = Pattern(70000 + i * 1000, i);
    std::vector<uint8_t> padded = data;
    padded.resize((data.size() + 2047) / 2048 * 2048, 0);
    for (size_t at = 0; at < padded.size(); at += 65536)
      ASSERT_EQ(f->WriteAt(at, padded.data() + at, std::min<size_t>(65536, padded.size() - at)), 0u);
    ASSERT_EQ(f->SetEndOfFile(data.size()), 0u);
    ASSERT_EQ(f->WriteAt(data.size(), "++", 2), 0u);
  }
  ASSERT_EQ(fs().Flush(), 0u);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(fs().Delete(u"s" + N(std::to_string(i))), 0u);
  Remount();

  // Replay the writes against the tracks: every sector below a track's next
  // writable address is a pseudo-overwrite, and none may fall in the data track.
  std::vector<uint32_t> nwa;
  for (const auto& t : tracks) nwa.push_back(t.nextWritable == kNoWritableAddress ? t.start + t.size : t.nextWritable);
  uint64_t rewritten = 0, rewrites = 0;
  for (const auto& [lba, count] : vol_->log().writes) {
    size_t k = 0;
    while (k < tracks.size() && !(lba >= tracks[k].start && lba < tracks[k].start + tracks[k].size)) ++k;
    ASSERT_LT(k, tracks.size()) << lba;
    if (lba < nwa[k]) {
      EXPECT_NE(k, 2u) << "data rewritten at " << lba;
      rewritten += std::min<uint64_t>(count, nwa[k] - lba);
      ++rewrites;
    }
    nwa[k] = std::max(nwa[k], lba + count);
  }
  uint32_t after[3] = {};
  ASSERT_TRUE(unit::ReadPowResources(&vol_->log(), after));
  EXPECT_EQ(before[0] - after[0], rewritten);
  EXPECT_EQ(before[2] - after[2], rewrites);
  EXPECT_GT(rewrites, 0u);
  // The metadata is written back once per flush: a handful of rewrites, not one
  // per file.
  EXPECT_LT(rewrites, 40u);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"s15", &back), 0u);
  auto want = Pattern(85000, 15);
  want.insert(want.end(), {'+', '+'});
  EXPECT_EQ(back, want);
  EXPECT_FALSE(fs().Exists(u"s3"));
}

TEST_P(SimRecordable, FreeSpaceIsTheDataTrackAndShrinksOnlyByAppends) {
  uint64_t free0 = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free0, nullptr), 0u);
  const auto tracks = vol_->Tracks();
  EXPECT_EQ(free0, uint64_t{tracks[2].freeBlocks} * 2048);
  ASSERT_EQ(PutFile(fs(), u"a", Pattern(10 * 2048, 1)), 0u);
  uint64_t free1 = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free1, nullptr), 0u);
  EXPECT_EQ(free0 - free1, 10u * 2048);
  ASSERT_EQ(fs().Delete(u"a"), 0u);  // nothing comes back on a write-once disc
  uint64_t free2 = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free2, nullptr), 0u);
  EXPECT_EQ(free2, free1);
}

INSTANTIATE_TEST_SUITE_P(Media, SimRecordable, ::testing::Values(true),
                         [](const auto&) { return "Recordable"; });

TEST_P(SimMedia, AnUnpluggedUnitLeavesTheIntegrityOpenAndFlushedFilesIntact) {
  ASSERT_EQ(PutFile(fs(), u"kept", Pattern(100000, 1)), 0u);
  ASSERT_EQ(fs().CreateFolder(u"folder"), 0u);
  ASSERT_EQ(fs().Flush(), 0u);
  // The unit goes away during the next file's data.
  const size_t writes_before = vol_->log().writes.size();
  vol_->log().before_write = [&](size_t n) {
    if (n == writes_before + 3) vol_->unit().Unplug();
  };
  std::unique_ptr<UdfFile> f;
  ASSERT_EQ(fs().Open(u"lost", UdfCreate::kCreateNew, true, &f), 0u);
  const auto data = Pattern(1 << 20, 2);
  pe::Win32Error e = 0;
  for (size_t at = 0; at < data.size() && !e; at += 65536) e = f->WriteAt(at, data.data() + at, 65536);
  EXPECT_NE(e, 0u);
  f.reset();
  EXPECT_NE(fs().Flush(), 0u);
  vol_->Drop();
  vol_->log().before_write = nullptr;
  vol_->unit().Plug();
  for (int i = 0; i < 3 && vol_->drive().TestUnitReady() != 0; ++i) {
  }
  // Mounted read-only with the integrity open; what was flushed is all there.
  ASSERT_EQ(vol_->Mount(), 0u);
  UdfVolumeInfo info;
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_TRUE(info.integrityOpen);
  EXPECT_TRUE(info.readOnly);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"kept", &back), 0u);
  EXPECT_EQ(back, Pattern(100000, 1));
  EXPECT_TRUE(fs().Exists(u"folder"));
  EXPECT_FALSE(fs().Exists(u"lost"));
  EXPECT_EQ(fs().CreateFolder(u"x"), pe::ERROR_WRITE_PROTECT);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  vol_->Drop();
  // Closing the integrity makes it writable again.
  ASSERT_TRUE(CloseIntegrity(vol_->drive()));
  ASSERT_EQ(vol_->Mount(), 0u);
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_FALSE(info.integrityOpen);
  EXPECT_FALSE(info.readOnly);
  ASSERT_EQ(PutFile(fs(), u"after", Pattern(5000, 3)), 0u);
  Remount();
  ASSERT_EQ(GetFile(fs(), u"after", &back), 0u);
  EXPECT_EQ(back, Pattern(5000, 3));
}

}  // namespace
}  // namespace kelva::udf::testing
