// Where the metadata file lies as a volume grows: the metadata file and its mirror
// stay one extent each on both media through many growths and sessions, and a
// unit unplugged while the file moves leaves the disc as the last write-back left it.
#include "platform/text.h"
#include "tests/platform/udf/fs/fs_fixture.h"

namespace kelva::udf::testing {
namespace {

namespace pe = platform;

struct Placement {
  std::vector<ShortAd> main, mirror;
  uint32_t recordedSize = 0;  // the metadata partition's size in the integrity descriptor
};

// What the metadata file's and mirror's entries on the disc name.
Placement ReadPlacement(IUdfDrive& drive, bool recordable) {
  Placement p;
  VolumeStructure vs;
  EXPECT_TRUE(ReadVolumeStructure(drive, &vs));
  p.recordedSize = vs.size[1];
  DriveSectorDevice dev(&drive, recordable);
  std::vector<uint8_t> buf(2048);
  for (auto [location, out] : {std::pair{vs.metadataFileLocation, &p.main},
                               std::pair{vs.metadataMirrorFileLocation, &p.mirror}}) {
    EXPECT_EQ(dev.ReadSectors(vs.partitionStart + location, 1, buf.data()), 0u);
    FileEntry fe;
    EXPECT_TRUE(Decode(buf, &fe));
    *out = DecodeShortAds(fe.allocationDescriptors);
  }
  return p;
}

class MetadataPlacement : public ::testing::TestWithParam<bool> {
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
  static std::u16string Name(int i) {
    // Names of many lengths, some outside Latin-1, so that folder entries fall
    // on every offset of a block.
    return pe::Utf8ToUtf16("n" + std::to_string(i) + std::string(static_cast<size_t>(i % 23), 'x') +
                           (i % 5 == 0 ? "-日本" : ""));
  }
  void AddFiles(int from, int to) {
    for (int i = from; i < to; ++i)
      ASSERT_EQ(PutFile(fs(), (i % 2 ? u"a\\" : u"b\\") + Name(i), Pattern(static_cast<size_t>(i % 3000), i)), 0u)
          << i;
  }

  fs::path dir_;
  std::unique_ptr<SimVolume> vol_;
};

TEST_P(MetadataPlacement, TheMetadataFileAndMirrorStayOneExtentThroughGrowth) {
  ASSERT_EQ(fs().CreateFolder(u"a"), 0u);
  ASSERT_EQ(fs().CreateFolder(u"b"), 0u);
  // Each stage passes at least one growth of the metadata file (32 blocks on
  // write-once media, doubling from 512 on rewritable media), some within a
  // session, some across remounts.
  const std::vector<int> stages = GetParam() ? std::vector<int>{20, 45, 200, 900}
                                             : std::vector<int>{300, 700, 1500, 2600};
  int done = 0;
  uint32_t last_size = 0;
  for (int stage : stages) {
    AddFiles(done, stage);
    done = stage;
    ASSERT_EQ(fs().Dismount(), 0u);
    const Placement p = ReadPlacement(vol_->drive(), GetParam());
    ASSERT_EQ(p.main.size(), 1u) << "after " << stage << " files";
    EXPECT_EQ(p.mirror, p.main);
    EXPECT_EQ(p.main[0].length / 2048, p.recordedSize);
    EXPECT_GE(p.recordedSize, last_size);
    last_size = p.recordedSize;
    ASSERT_EQ(vol_->Mount(), 0u);
    EXPECT_EQ(Problems(fs()), std::vector<std::string>{}) << "after " << stage << " files";
  }
  EXPECT_GT(last_size, GetParam() ? 32u * 8 : 2048u);
  std::vector<UdfFileInfo> list;
  ASSERT_EQ(fs().Enumerate(u"a", &list), 0u);
  EXPECT_EQ(list.size(), static_cast<size_t>(done / 2));
  std::vector<uint8_t> back;
  for (int i : {0, 1, 31, 499, done - 1}) {
    ASSERT_EQ(GetFile(fs(), (i % 2 ? u"a\\" : u"b\\") + Name(i), &back), 0u) << i;
    EXPECT_EQ(back, Pattern(static_cast<size_t>(i % 3000), i)) << i;
  }
}

TEST_P(MetadataPlacement, AnUnplugWhileTheMetadataFileMovesKeepsTheLastWriteBack) {
  ASSERT_EQ(fs().CreateFolder(u"a"), 0u);
  ASSERT_EQ(fs().CreateFolder(u"b"), 0u);
  AddFiles(0, 10);
  ASSERT_EQ(fs().Flush(), 0u);
  const Placement before = ReadPlacement(vol_->drive(), GetParam());
  // Enough new entries to move the formatted metadata area; the unit goes away
  // when the write-back reaches the metadata file's own entry, after the moved
  // blocks were written.
  AddFiles(10, GetParam() ? 60 : 600);
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(vol_->drive(), &vs));
  const uint32_t entry_lba = vs.partitionStart + vs.metadataFileLocation;
  bool cut = false;
  vol_->log().before_write_at = [&](uint32_t lba, uint32_t count) {
    if (lba <= entry_lba && entry_lba < lba + count) {
      vol_->unit().Unplug();
      cut = true;
    }
  };
  EXPECT_NE(fs().Flush(), 0u);
  vol_->Drop();
  vol_->log().before_write_at = nullptr;
  vol_->unit().Plug();
  for (int i = 0; i < 3 && vol_->drive().TestUnitReady() != 0; ++i) {
  }
  ASSERT_TRUE(cut);
  ASSERT_TRUE(CloseIntegrity(vol_->drive()));
  EXPECT_EQ(ReadPlacement(vol_->drive(), GetParam()).main, before.main);
  ASSERT_EQ(vol_->Mount(), 0u);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  std::vector<uint8_t> back;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(GetFile(fs(), (i % 2 ? u"a\\" : u"b\\") + Name(i), &back), 0u) << i;
    EXPECT_EQ(back, Pattern(static_cast<size_t>(i % 3000), i)) << i;
  }
  EXPECT_FALSE(fs().Exists(u"a\\" + Name(11)));
  // The volume takes the same growth again.
  AddFiles(10, GetParam() ? 60 : 600);
  ASSERT_EQ(fs().Dismount(), 0u);
  EXPECT_EQ(ReadPlacement(vol_->drive(), GetParam()).main.size(), 1u);
  ASSERT_EQ(vol_->Mount(), 0u);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Media, MetadataPlacement, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Recordable" : "Rewritable"; });

}  // namespace
}  // namespace kelva::udf::testing
