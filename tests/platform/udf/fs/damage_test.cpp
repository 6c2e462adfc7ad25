// Damaged and foreign volumes: the codes the file system answers with, the
// metadata mirror standing in for a damaged metadata file, unreadable sectors,
// the check finding inconsistent space, and a replay of the fuzz harness.
#include <random>

#include "fuzz/udf_fs_harness.h"
#include "platform/udf/bytes.h"
#include "platform/udf/memory_sector_device.h"
#include "platform/udf/tag.h"
#include "tests/platform/udf/fs/fs_fixture.h"

namespace kelva::udf::testing {
namespace {

namespace pe = platform;

// A formatted volume in memory, with helpers to find and damage its sectors.
class Damage : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = std::make_unique<MemorySectorDevice>(65536);
    SectorDrive drive(dev_.get());
    ASSERT_TRUE(FormatDisc(drive));
    ASSERT_TRUE(ReadVolumeStructure(drive, &vs_));
    ASSERT_EQ(Mount(), 0u);
  }
  pe::Win32Error Mount(ISectorDevice* dev = nullptr) {
    fs_.reset();
    return UdfFileSystem::Mount(dev ? dev : dev_.get(), {}, &fs_);
  }
  std::vector<uint8_t> Sector(uint32_t lba) {
    std::vector<uint8_t> s(2048);
    dev_->ReadSectors(lba, 1, s.data());
    return s;
  }
  void Put(uint32_t lba, const std::vector<uint8_t>& s) { dev_->WriteSectors(lba, 1, s.data()); }
  void Flip(uint32_t lba, size_t byte) {
    auto s = Sector(lba);
    s[byte] ^= 0x5A;
    Put(lba, s);
  }
  // The sector holding the file entry with this unique ID.
  uint32_t EntryOf(std::u16string_view path) {
    UdfFileInfo info;
    EXPECT_EQ(fs_->GetInfo(path, &info), 0u);
    const uint32_t first = vs_.partitionStart;
    for (uint32_t lba = first; lba < first + 2048; ++lba) {
      auto s = Sector(lba);
      if (CheckTag(s, kTagExtendedFileEntry) == TagStatus::kOk && Get64(&s[200]) == info.uniqueId)
        return lba;
    }
    ADD_FAILURE() << "no entry found";
    return 0;
  }

  std::unique_ptr<MemorySectorDevice> dev_;
  std::unique_ptr<UdfFileSystem> fs_;
  VolumeStructure vs_;
};

TEST_F(Damage, BlankForeignAndBrokenVolumesAreNotRecognised) {
  MemorySectorDevice blank(65536);
  EXPECT_EQ(Mount(&blank), pe::ERROR_UNRECOGNIZED_VOLUME);
  MemorySectorDevice tiny(100);
  EXPECT_EQ(Mount(&tiny), pe::ERROR_UNRECOGNIZED_VOLUME);
  // Every anchor gone.
  const auto anchor = Sector(256);
  for (uint32_t lba : {256u, 65535u - 256, 65535u}) Flip(lba, 20);
  EXPECT_EQ(Mount(), pe::ERROR_UNRECOGNIZED_VOLUME);
  // One anchor left is enough.
  Put(65535, anchor);
  auto last = Sector(65535);
  Put(65535, Sector(256));
  EXPECT_EQ(Mount(), pe::ERROR_UNRECOGNIZED_VOLUME);  // its location no longer matches
  Put(256, anchor);
  ASSERT_EQ(Mount(), 0u);
  // The integrity descriptor damaged: a volume this system cannot judge.
  Flip(vs_.integritySequenceLocation, 30);
  EXPECT_EQ(Mount(), pe::ERROR_UNRECOGNIZED_VOLUME);
}

TEST_F(Damage, TheMirrorStandsInForADamagedMetadataFileAndRepairsIt) {
  ASSERT_EQ(PutFile(*fs_, u"f", Pattern(5000, 1)), 0u);
  ASSERT_EQ(fs_->Dismount(), 0u);
  const uint32_t main = vs_.partitionStart + vs_.metadataFileLocation;
  const uint32_t mirror = vs_.partitionStart + vs_.metadataMirrorFileLocation;
  Flip(main, 100);
  ASSERT_EQ(Mount(), 0u);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(*fs_, u"f", &back), 0u);
  EXPECT_EQ(back, Pattern(5000, 1));
  ASSERT_EQ(fs_->CreateFolder(u"d"), 0u);  // the next write-back rewrites the entry
  ASSERT_EQ(fs_->Dismount(), 0u);
  EXPECT_EQ(CheckTag(Sector(main), kTagExtendedFileEntry, true, vs_.metadataFileLocation),
            TagStatus::kOk);
  // Both gone: the metadata cannot be used.
  Flip(main, 100);
  Flip(mirror, 100);
  EXPECT_EQ(Mount(), pe::ERROR_LOG_CORRUPTION_DETECTED);
}

TEST_F(Damage, ADamagedEntryAnswersFileCorruptOnlyOnItsOwnPaths) {
  ASSERT_EQ(fs_->CreateFolder(u"dir"), 0u);
  ASSERT_EQ(fs_->CreateFolder(u"dir\\inner"), 0u);
  ASSERT_EQ(PutFile(*fs_, u"dir\\inner\\x", Pattern(100, 1)), 0u);
  ASSERT_EQ(PutFile(*fs_, u"bad", Pattern(100, 2)), 0u);
  ASSERT_EQ(PutFile(*fs_, u"good", Pattern(100, 3)), 0u);
  ASSERT_EQ(fs_->Flush(), 0u);
  const uint32_t bad = EntryOf(u"bad");
  const uint32_t inner = EntryOf(u"dir\\inner");
  ASSERT_EQ(fs_->Dismount(), 0u);
  Flip(bad, 60);
  Flip(inner, 60);
  ASSERT_EQ(Mount(), 0u);
  std::unique_ptr<UdfFile> f;
  UdfFileInfo info;
  EXPECT_EQ(fs_->Open(u"bad", UdfCreate::kOpenExisting, false, &f), pe::ERROR_FILE_CORRUPT);
  EXPECT_EQ(fs_->GetInfo(u"bad", &info), pe::ERROR_FILE_CORRUPT);
  EXPECT_EQ(fs_->GetInfo(u"dir\\inner\\x", &info), pe::ERROR_FILE_CORRUPT);
  EXPECT_EQ(fs_->Open(u"dir\\inner\\y", UdfCreate::kCreateNew, true, &f), pe::ERROR_FILE_CORRUPT);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(*fs_, u"good", &back), 0u);
  EXPECT_EQ(back, Pattern(100, 3));
  std::vector<std::string> problems;
  EXPECT_GE(fs_->Check(&problems), 2u);
  // The damaged file can still be removed; its blocks stay allocated.
  EXPECT_EQ(fs_->Delete(u"bad"), 0u);
  EXPECT_FALSE(fs_->Exists(u"bad"));
}

TEST_F(Damage, AnUnreadableSectorAnswersCrcError) {
  ASSERT_EQ(PutFile(*fs_, u"f", Pattern(20000, 1)), 0u);
  ASSERT_EQ(fs_->Dismount(), 0u);
  const uint32_t entry = [&] {
    EXPECT_EQ(Mount(), 0u);
    return EntryOf(u"f");
  }();
  class Failing : public SectorDeviceWrapper {
   public:
    using SectorDeviceWrapper::SectorDeviceWrapper;
    pe::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buf) override {
      if (bad >= lba && bad < lba + count) return pe::ERROR_CRC;
      return SectorDeviceWrapper::ReadSectors(lba, count, buf);
    }
    uint32_t bad = 0;
  } failing(dev_.get());
  failing.bad = entry;
  ASSERT_EQ(Mount(&failing), 0u);
  UdfFileInfo info;
  EXPECT_EQ(fs_->GetInfo(u"f", &info), pe::ERROR_CRC);
  // A data sector that cannot be read fails the read, not the open.
  failing.bad = 0;
  ASSERT_EQ(Mount(&failing), 0u);
  std::unique_ptr<UdfFile> f;
  ASSERT_EQ(fs_->Open(u"f", UdfCreate::kOpenExisting, false, &f), 0u);
  std::vector<uint8_t> buf(20000);
  size_t done = 0;
  ASSERT_EQ(f->ReadAt(0, buf.data(), buf.size(), &done), 0u);
  f.reset();
  // Find the first data sector: the one holding the file's first bytes.
  for (uint32_t lba = vs_.partitionStart; lba < 65536; ++lba) {
    auto s = Sector(lba);
    if (std::equal(s.begin(), s.begin() + 64, buf.begin())) {
      failing.bad = lba;
      break;
    }
  }
  ASSERT_NE(failing.bad, 0u);
  ASSERT_EQ(Mount(&failing), 0u);
  ASSERT_EQ(fs_->Open(u"f", UdfCreate::kOpenExisting, false, &f), 0u);
  EXPECT_EQ(f->ReadAt(0, buf.data(), buf.size(), &done), pe::ERROR_CRC);
  EXPECT_EQ(f->ReadAt(4096, buf.data(), 100, &done), 0u);
}

TEST_F(Damage, CheckFindsSpaceMarkedFreeThatAFileUses) {
  ASSERT_EQ(PutFile(*fs_, u"f", Pattern(40000, 1)), 0u);
  ASSERT_EQ(fs_->Dismount(), 0u);
  ASSERT_EQ(Mount(), 0u);
  EXPECT_EQ(Problems(*fs_), std::vector<std::string>{});
  // Mark every block of the partition free in the space bitmap.
  auto s = Sector(vs_.partitionStart);
  std::fill(s.begin() + 24, s.end(), 0xFF);
  RefreshTag(s);
  Put(vs_.partitionStart, s);
  ASSERT_EQ(Mount(), 0u);
  const auto problems = Problems(*fs_);
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems[0].find("marked free"), std::string::npos) << problems[0];
}

TEST_F(Damage, AnOpenIntegrityMountsReadOnlyUntilClosed) {
  ASSERT_EQ(fs_->CreateFolder(u"d"), 0u);
  fs_.reset();  // released: written back and closed
  // Open it by hand, as an interrupted write leaves it.
  auto lvid = Sector(vs_.integritySequenceLocation);
  Put32(&lvid[28], 0);  // integrity type: open
  RefreshTag(lvid);
  Put(vs_.integritySequenceLocation, lvid);
  ASSERT_EQ(Mount(), 0u);
  UdfVolumeInfo info;
  ASSERT_EQ(fs_->GetVolumeInformation(&info), 0u);
  EXPECT_TRUE(info.readOnly);
  EXPECT_TRUE(info.integrityOpen);
  EXPECT_TRUE(fs_->Exists(u"d"));
  EXPECT_EQ(fs_->CreateFolder(u"e"), pe::ERROR_WRITE_PROTECT);
  fs_.reset();
  SectorDrive drive(dev_.get());
  ASSERT_TRUE(CloseIntegrity(drive));
  ASSERT_EQ(Mount(), 0u);
  EXPECT_EQ(fs_->CreateFolder(u"e"), 0u);
}

TEST(FuzzReplay, TheHarnessVolumeIsCleanAndPatchesNeverCrash) {
  const auto& base = fuzzing::BaseImage();
  ASSERT_FALSE(base.empty());
  fuzzing::WalkResult clean = fuzzing::Walk(base);
  EXPECT_EQ(clean.mount, 0u);
  EXPECT_EQ(clean.problems, 0u);
  EXPECT_GE(clean.entries, 15u);
  EXPECT_TRUE(clean.errors.empty());
  // Random patches over the structures at the start of the volume, where the
  // descriptors, bitmaps, metadata and folders lie.
  std::mt19937 rng(4242);
  int mounted = 0;
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> input;
    const int patches = 1 + static_cast<int>(rng() % 4);
    for (int p = 0; p < patches; ++p) {
      const uint32_t offset = (rng() % 1100) * 2048 + rng() % 2048;
      const uint8_t length = static_cast<uint8_t>(1 + rng() % 8);
      for (int k = 0; k < 4; ++k) input.push_back(static_cast<uint8_t>(offset >> (8 * k)));
      input.push_back(length);
      for (int k = 0; k < length; ++k) input.push_back(static_cast<uint8_t>(rng()));
    }
    const fuzzing::WalkResult r = fuzzing::Walk(fuzzing::Patched(input.data(), input.size()), 500);
    if (r.mount == 0) ++mounted;
    for (pe::Win32Error e : r.errors) EXPECT_TRUE(fuzzing::ExpectedError(e)) << "round " << round << ": " << e;
  }
  EXPECT_GT(mounted, 60);
}

}  // namespace
}  // namespace kelva::udf::testing
