// The UDF file system on rewritable volumes in image files: round trips through
// a fresh mount, names and wildcards, errors, space and the volume's integrity.
#include <thread>

#include "platform/text.h"
#include "tests/platform/udf/fs/fs_fixture.h"

namespace kelva::udf::testing {
namespace {

namespace pe = platform;
constexpr uint64_t kImageBytes = 256ull << 20;

class Rewritable : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestDir("re");
    vol_ = std::make_unique<ImageVolume>(dir_ / "disc.img", ImageMedia::kBdRe, kImageBytes);
    ASSERT_EQ(vol_->Mount(), 0u);
  }
  void TearDown() override {
    vol_.reset();
    fs::remove_all(dir_);
  }
  UdfFileSystem& fs() { return vol_->fs(); }
  // Dismounts, checks the volume and mounts it again.
  void Remount() {
    ASSERT_EQ(fs().Dismount(), 0u);
    ASSERT_EQ(vol_->Mount(), 0u);
    EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
  }
  std::vector<std::u16string> Names(std::u16string_view folder) {
    std::vector<UdfFileInfo> list;
    EXPECT_EQ(fs().Enumerate(folder, &list), 0u);
    std::vector<std::u16string> names;
    for (auto& i : list) names.push_back(i.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::unique_ptr<ImageVolume> vol_;
};

TEST_F(Rewritable, FreshVolumeIsEmptyWritableAndClean) {
  UdfVolumeInfo info;
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_EQ(info.fileSystemName, "UDF");
  EXPECT_FALSE(info.readOnly);
  EXPECT_FALSE(info.integrityOpen);
  EXPECT_FALSE(info.recordable);
  EXPECT_EQ(info.udfRevision, 0x0250);
  EXPECT_TRUE(Names(u"").empty());
  uint64_t free_bytes = 0, total = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free_bytes, &total), 0u);
  EXPECT_GT(free_bytes, 200ull << 20);
  EXPECT_LE(free_bytes, total);
  EXPECT_EQ(Problems(fs()), std::vector<std::string>{});
}

TEST_F(Rewritable, FilesOfEverySizeReadBackAfterAFreshMount) {
  const std::vector<size_t> sizes = {0, 1, 2047, 2048, 2049, 65536, 3 * 1048576 + 17};
  ASSERT_EQ(fs().CreateFolder(u"data"), 0u);
  ASSERT_EQ(fs().CreateFolder(u"data\\sub"), 0u);
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::u16string name = u"data\\sub\\f" + pe::Utf8ToUtf16(std::to_string(sizes[i]));
    ASSERT_EQ(PutFile(fs(), name, Pattern(sizes[i], static_cast<uint32_t>(i)), 3000), 0u) << i;
  }
  // Readable before the write-back too.
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"data\\sub\\f2049", &back), 0u);
  EXPECT_EQ(back, Pattern(2049, 4));
  Remount();
  for (size_t i = 0; i < sizes.size(); ++i) {
    const std::u16string name = u"data/sub/f" + pe::Utf8ToUtf16(std::to_string(sizes[i]));
    ASSERT_EQ(GetFile(fs(), name, &back), 0u);
    EXPECT_EQ(back, Pattern(sizes[i], static_cast<uint32_t>(i))) << sizes[i];
    UdfFileInfo info;
    ASSERT_EQ(fs().GetInfo(name, &info), 0u);
    EXPECT_EQ(info.size, sizes[i]);
  }
  // Reads at odd offsets cross block and extent boundaries.
  std::unique_ptr<UdfFile> f;
  ASSERT_EQ(fs().Open(u"data\\sub\\f3145745", UdfCreate::kOpenExisting, false, &f), 0u);
  const auto all = Pattern(3 * 1048576 + 17, 6);
  std::vector<uint8_t> part(5000);
  size_t done = 0;
  ASSERT_EQ(f->ReadAt(2047, part.data(), part.size(), &done), 0u);
  ASSERT_EQ(done, part.size());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + 2047));
  ASSERT_EQ(f->ReadAt(all.size() - 3, part.data(), part.size(), &done), 0u);
  EXPECT_EQ(done, 3u);
  ASSERT_EQ(f->ReadAt(all.size() + 10, part.data(), part.size(), &done), 0u);
  EXPECT_EQ(done, 0u);
}

TEST_F(Rewritable, WildcardsMatchWithoutCaseAlsoInsideTheLastComponent) {
  ASSERT_EQ(fs().CreateFolder(u"STRUCT"), 0u);
  ASSERT_EQ(fs().CreateFolder(u"STRUCT\\0003"), 0u);
  ASSERT_EQ(fs().CreateFolder(u"STRUCT\\0017"), 0u);
  for (auto* n : {u"STRUCT\\0003\\0003001.DB", u"STRUCT\\0003\\0003007.db", u"STRUCT\\0003\\notes.txt"})
    ASSERT_EQ(PutFile(fs(), n, Pattern(10, 1)), 0u);
  EXPECT_TRUE(fs().Exists(u"struct\\00??"));
  EXPECT_TRUE(fs().Exists(u"STRUCT\\001?"));
  EXPECT_FALSE(fs().Exists(u"STRUCT\\002?"));
  EXPECT_TRUE(fs().Exists(u"STRUCT\\0003\\0003007.DB"));
  EXPECT_TRUE(fs().Exists(u"STRUCT\\0003\\0003??7.DB"));
  EXPECT_FALSE(fs().Exists(u"STRUCT\\0003\\0003??8.DB"));
  EXPECT_TRUE(fs().Exists(u"STRUCT\\0003\\0003*.db"));
  EXPECT_FALSE(fs().Exists(u"STRUCT\\0004\\*"));
  std::vector<std::u16string> found;
  ASSERT_EQ(fs().Find(u"struct\\0003\\*.Db", [&](const UdfFileInfo& i) {
    found.push_back(i.name);
    return true;
  }), 0u);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::u16string>{u"0003001.DB", u"0003007.db"}));
  EXPECT_EQ(fs().Find(u"STRUCT\\0003\\*.zip", [](const UdfFileInfo&) { return true; }),
            pe::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fs().Find(u"STRUCT\\none\\*", [](const UdfFileInfo&) { return true; }),
            pe::ERROR_PATH_NOT_FOUND);
  // A false result from the visitor stops the search.
  int calls = 0;
  ASSERT_EQ(fs().Find(u"STRUCT\\0003\\*", [&](const UdfFileInfo&) { return ++calls < 2; }), 0u);
  EXPECT_EQ(calls, 2);
}

TEST_F(Rewritable, NonAsciiNamesKeepTheirSpellingAndFoldCase) {
  const std::vector<std::u16string> names = {u"Ärger.txt", u"Συμφωνία", u"日本語のファイル.dat",
                                             u"Привет мир", u"ｆｕｌｌ"};
  ASSERT_EQ(fs().CreateFolder(u"Ünïcödé"), 0u);
  for (size_t i = 0; i < names.size(); ++i)
    ASSERT_EQ(PutFile(fs(), u"Ünïcödé\\" + names[i], Pattern(100 + i, static_cast<uint32_t>(i))), 0u);
  Remount();
  auto sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(Names(u"ünïcödé"), sorted);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"ÜNÏCÖDÉ\\äRGER.TXT", &back), 0u);
  EXPECT_EQ(back, Pattern(100, 0));
  EXPECT_TRUE(fs().Exists(u"Ünïcödé\\συμφων?α"));
  EXPECT_TRUE(fs().Exists(u"Ünïcödé\\ПРИВЕТ*"));
  EXPECT_TRUE(fs().Exists(u"Ünïcödé\\ＦＵＬＬ"));
  EXPECT_EQ(PutFile(fs(), u"Ünïcödé\\ärger.TXT", {}), pe::ERROR_FILE_EXISTS);
}

TEST_F(Rewritable, ErrorsUseTheSystemCodes) {
  std::unique_ptr<UdfFile> f;
  EXPECT_EQ(fs().Open(u"missing.txt", UdfCreate::kOpenExisting, false, &f), pe::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fs().Open(u"nofolder\\x.txt", UdfCreate::kCreateNew, true, &f), pe::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(fs().CreateFolder(u"a\\b"), pe::ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(fs().CreateFolder(u"a"), 0u);
  EXPECT_EQ(fs().CreateFolder(u"A"), pe::ERROR_ALREADY_EXISTS);
  ASSERT_EQ(PutFile(fs(), u"a\\x", Pattern(5, 1)), 0u);
  EXPECT_EQ(PutFile(fs(), u"A\\X", Pattern(5, 1)), pe::ERROR_FILE_EXISTS);
  EXPECT_EQ(fs().CreateFolder(u"a\\x"), pe::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(fs().Open(u"a\\x\\y", UdfCreate::kCreateNew, true, &f), pe::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(fs().Open(u"a", UdfCreate::kOpenExisting, false, &f), pe::ERROR_ACCESS_DENIED);
  EXPECT_EQ(fs().Delete(u"a"), pe::ERROR_ACCESS_DENIED);
  EXPECT_EQ(fs().RemoveFolder(u"a"), pe::ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(fs().Delete(u"a\\nothing"), pe::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(fs().Open(u"a\\bad*name", UdfCreate::kCreateNew, true, &f), pe::ERROR_INVALID_NAME);
  EXPECT_EQ(fs().Open(u"a\\" + std::u16string(300, u'n'), UdfCreate::kCreateNew, true, &f),
            pe::ERROR_FILENAME_EXCED_RANGE);
  // An open file cannot be deleted; a handle opened for reading cannot write.
  ASSERT_EQ(fs().Open(u"a\\x", UdfCreate::kOpenExisting, false, &f), 0u);
  EXPECT_EQ(fs().Delete(u"a\\x"), pe::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(f->WriteAt(0, "z", 1), pe::ERROR_ACCESS_DENIED);
  EXPECT_EQ(fs().Lock(), pe::ERROR_ACCESS_DENIED);
  f.reset();
  ASSERT_EQ(fs().Delete(u"a\\x"), 0u);
  ASSERT_EQ(fs().RemoveFolder(u"a"), 0u);
  EXPECT_FALSE(fs().Exists(u"a"));
  // Locked: no opens until the last unlock.
  ASSERT_EQ(fs().Lock(), 0u);
  ASSERT_EQ(fs().Lock(), 0u);
  ASSERT_EQ(fs().Unlock(), 0u);
  EXPECT_EQ(fs().Open(u"n", UdfCreate::kCreateNew, true, &f), pe::ERROR_ACCESS_DENIED);
  ASSERT_EQ(fs().Unlock(), 0u);
  EXPECT_EQ(fs().Open(u"n", UdfCreate::kCreateNew, true, &f), 0u);
  f.reset();
  // After a dismount every call answers "not ready".
  ASSERT_EQ(fs().Dismount(), 0u);
  EXPECT_EQ(fs().CreateFolder(u"late"), pe::ERROR_NOT_READY);
  EXPECT_FALSE(fs().Exists(u"n"));
}

TEST_F(Rewritable, ReadOnlyMountRefusesChangesWithWriteProtect) {
  ASSERT_EQ(PutFile(fs(), u"keep", Pattern(3000, 3)), 0u);
  ASSERT_EQ(fs().Dismount(), 0u);
  ASSERT_EQ(vol_->Mount(true), 0u);
  UdfVolumeInfo info;
  ASSERT_EQ(fs().GetVolumeInformation(&info), 0u);
  EXPECT_TRUE(info.readOnly);
  std::unique_ptr<UdfFile> f;
  EXPECT_EQ(fs().Open(u"new", UdfCreate::kCreateNew, true, &f), pe::ERROR_WRITE_PROTECT);
  EXPECT_EQ(fs().Open(u"keep", UdfCreate::kOpenExisting, true, &f), pe::ERROR_WRITE_PROTECT);
  EXPECT_EQ(fs().CreateFolder(u"d"), pe::ERROR_WRITE_PROTECT);
  EXPECT_EQ(fs().Delete(u"keep"), pe::ERROR_WRITE_PROTECT);
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"keep", &back), 0u);
  EXPECT_EQ(back, Pattern(3000, 3));
  // Free space comes from the count recorded at the last write-back.
  uint64_t ro_free = 0;
  ASSERT_EQ(fs().GetFreeSpace(&ro_free, nullptr), 0u);
  ASSERT_EQ(vol_->Mount(), 0u);
  uint64_t rw_free = 0;
  ASSERT_EQ(fs().GetFreeSpace(&rw_free, nullptr), 0u);
  EXPECT_EQ(ro_free, rw_free);
}

TEST_F(Rewritable, AttributesAndTimesReadBackUnchanged) {
  ASSERT_EQ(PutFile(fs(), u"f", Pattern(10, 1)), 0u);
  ASSERT_EQ(fs().CreateFolder(u"d"), 0u);
  UdfFileInfo info;
  ASSERT_EQ(fs().GetInfo(u"f", &info), 0u);
  EXPECT_EQ(info.attributes, kAttrArchive);
  ASSERT_EQ(fs().GetInfo(u"d", &info), 0u);
  EXPECT_EQ(info.attributes, kAttrDirectory);
  ASSERT_EQ(fs().SetAttributes(u"f", kAttrReadOnly | kAttrHidden | kAttrSystem), 0u);
  ASSERT_EQ(fs().SetAttributes(u"d", kAttrDirectory | kAttrHidden | kAttrArchive), 0u);
  // Times exact to the microsecond, in another year and zone-free.
  const pe::FileTime created = 132000000000000000ull + 1234560, accessed = created + 98765430,
                     written = created + 5000000010;
  {
    ASSERT_EQ(PutFile(fs(), u"t", Pattern(1, 1)), 0u);
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"t", UdfCreate::kOpenExisting, true, &f), 0u);
    ASSERT_EQ(f->SetTimes(created, accessed, written), 0u);
  }
  Remount();
  ASSERT_EQ(fs().GetInfo(u"f", &info), 0u);
  EXPECT_EQ(info.attributes, kAttrReadOnly | kAttrHidden | kAttrSystem);
  ASSERT_EQ(fs().GetInfo(u"d", &info), 0u);
  EXPECT_EQ(info.attributes, kAttrDirectory | kAttrHidden | kAttrArchive);
  ASSERT_EQ(fs().GetInfo(u"t", &info), 0u);
  EXPECT_EQ(info.creationTime, created);
  EXPECT_EQ(info.lastAccessTime, accessed);
  EXPECT_EQ(info.lastWriteTime, written);
  // A read-only file refuses writing and deletion until the attribute is cleared.
  std::unique_ptr<UdfFile> f;
  EXPECT_EQ(fs().Open(u"f", UdfCreate::kOpenExisting, true, &f), pe::ERROR_ACCESS_DENIED);
  EXPECT_EQ(fs().Delete(u"f"), pe::ERROR_ACCESS_DENIED);
  ASSERT_EQ(fs().SetAttributes(u"f", kAttrNormal), 0u);
  ASSERT_EQ(fs().GetInfo(u"f", &info), 0u);
  EXPECT_EQ(info.attributes, kAttrNormal);
  EXPECT_EQ(fs().Delete(u"f"), 0u);
}

TEST_F(Rewritable, CutBackAndGrowKeepDataAndReturnSpace) {
  const auto data = Pattern(1 << 20, 9);
  ASSERT_EQ(PutFile(fs(), u"f", data), 0u);
  ASSERT_EQ(fs().Flush(), 0u);
  uint64_t free_before = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free_before, nullptr), 0u);
  {
    std::unique_ptr<UdfFile> f;
    ASSERT_EQ(fs().Open(u"f", UdfCreate::kOpenExisting, true, &f), 0u);
    ASSERT_EQ(f->SetEndOfFile(5000), 0u);
    // Growing again shows zeros, never the old bytes past the cut.
    ASSERT_EQ(f->SetEndOfFile(9000), 0u);
    ASSERT_EQ(f->WriteAt(12000, "xyz", 3), 0u);
  }
  Remount();
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"f", &back), 0u);
  ASSERT_EQ(back.size(), 12003u);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 5000, data.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 5000, back.begin() + 12000, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(std::string(back.begin() + 12000, back.end()), "xyz");
  uint64_t free_after = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free_after, nullptr), 0u);
  EXPECT_EQ(free_after, free_before + (512 - 6) * 2048ull);
}

TEST_F(Rewritable, PaddedBlockWritesCutBackToTheTrueLength) {
  // The way recorded streams end: a zero-padded last block, then the true size.
  std::vector<uint8_t> data = Pattern(5000, 4);
  std::vector<uint8_t> padded = data;
  padded.resize(6144, 0);
  std::unique_ptr<UdfFile> f;
  ASSERT_EQ(fs().Open(u"s", UdfCreate::kCreateNew, true, &f), 0u);
  size_t done = 0;
  ASSERT_EQ(f->Write(padded.data(), 4096, &done), 0u);
  ASSERT_EQ(f->Write(padded.data() + 4096, 2048, &done), 0u);
  ASSERT_EQ(f->SetEndOfFile(5000), 0u);
  f.reset();
  Remount();
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"s", &back), 0u);
  EXPECT_EQ(back, data);
}

TEST_F(Rewritable, DeleteAndRecreateReusesSpaceOnlyAfterTheDeletionIsRecorded) {
  const auto old_data = Pattern(400000, 1);
  ASSERT_EQ(PutFile(fs(), u"f", old_data), 0u);
  ASSERT_EQ(fs().Flush(), 0u);
  ASSERT_EQ(fs().Delete(u"f"), 0u);
  ASSERT_EQ(PutFile(fs(), u"g", Pattern(400000, 2)), 0u);
  // Not yet written back: a reader of the disc as it is still sees "f" intact.
  {
    std::unique_ptr<ImageSectorDevice> dev;
    ASSERT_EQ(ImageSectorDevice::Open(vol_->path(), false, &dev), 0u);
    std::unique_ptr<UdfFileSystem> other;
    ASSERT_EQ(UdfFileSystem::Mount(dev.get(), {}, &other), 0u);
    std::vector<uint8_t> back;
    ASSERT_EQ(GetFile(*other, u"f", &back), 0u);
    EXPECT_EQ(back, old_data);
  }
  ASSERT_EQ(PutFile(fs(), u"f", Pattern(7, 3)), 0u);
  Remount();
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"f", &back), 0u);
  EXPECT_EQ(back, Pattern(7, 3));
  ASSERT_EQ(GetFile(fs(), u"g", &back), 0u);
  EXPECT_EQ(back, Pattern(400000, 2));
}

TEST_F(Rewritable, ThousandsOfFilesAndDeepTreesGrowTheMetadataFile) {
  ASSERT_EQ(fs().CreateFolder(u"many"), 0u);
  for (int i = 0; i < 3000; ++i) {
    std::unique_ptr<UdfFile> f;
    const std::u16string name = u"many\\file" + pe::Utf8ToUtf16(std::to_string(i)) + u".bin";
    ASSERT_EQ(fs().Open(name, UdfCreate::kCreateNew, true, &f), 0u);
    const std::string body = "content " + std::to_string(i);
    ASSERT_EQ(f->WriteAt(0, body.data(), body.size()), 0u);
  }
  std::u16string deep;
  for (int d = 0; d < 60; ++d) {
    deep += (d ? u"\\" : u"") + pe::Utf8ToUtf16("level" + std::to_string(d));
    ASSERT_EQ(fs().CreateFolder(deep), 0u);
  }
  ASSERT_EQ(PutFile(fs(), deep + u"\\leaf", Pattern(3333, 5)), 0u);
  Remount();
  {
    // The metadata partition outgrew its first 512 blocks.
    ImageDrive drive;
    ASSERT_EQ(drive.Open(vol_->path(), ImageMedia::kBdRe, 0, false), 0u);
    VolumeStructure vs;
    ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
    EXPECT_GT(vs.size[1], 512u);
    EXPECT_EQ(vs.numberOfFiles, 3001u);
    EXPECT_EQ(vs.numberOfDirectories, 62u);
  }
  EXPECT_EQ(Names(u"many").size(), 3000u);
  for (int i = 0; i < 3000; i += 97) {
    std::vector<uint8_t> back;
    ASSERT_EQ(GetFile(fs(), u"MANY\\FILE" + pe::Utf8ToUtf16(std::to_string(i)) + u".BIN", &back), 0u);
    EXPECT_EQ(std::string(back.begin(), back.end()), "content " + std::to_string(i));
  }
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), deep + u"\\leaf", &back), 0u);
  EXPECT_EQ(back, Pattern(3333, 5));
  // Removing most of them shrinks the folder again; the rest stays readable.
  for (int i = 0; i < 3000; ++i) {
    if (i % 10 == 0) continue;
    ASSERT_EQ(fs().Delete(u"many\\file" + pe::Utf8ToUtf16(std::to_string(i)) + u".bin"), 0u);
  }
  Remount();
  EXPECT_EQ(Names(u"many").size(), 300u);
}

TEST_F(Rewritable, FilesInterleavedIntoManyExtentsReadBack) {
  // Two files written in turns get hundreds of extents each, more than a file
  // entry holds, so their descriptors continue in allocation extents.
  std::unique_ptr<UdfFile> a, b;
  ASSERT_EQ(fs().Open(u"a", UdfCreate::kCreateNew, true, &a), 0u);
  ASSERT_EQ(fs().Open(u"b", UdfCreate::kCreateNew, true, &b), 0u);
  const auto da = Pattern(300 * 2048, 1), db = Pattern(300 * 2048 + 5, 2);
  for (size_t i = 0; i < 300; ++i) {
    ASSERT_EQ(a->WriteAt(i * 2048, da.data() + i * 2048, 2048), 0u);
    ASSERT_EQ(b->WriteAt(i * 2048, db.data() + i * 2048, i == 299 ? 2053 : 2048), 0u);
  }
  a.reset();
  b.reset();
  Remount();
  std::vector<uint8_t> back;
  ASSERT_EQ(GetFile(fs(), u"a", &back), 0u);
  EXPECT_EQ(back, da);
  ASSERT_EQ(GetFile(fs(), u"b", &back), 0u);
  EXPECT_EQ(back, db);
  // Cutting one back to a few extents releases its extra descriptor blocks.
  ASSERT_EQ(fs().Open(u"a", UdfCreate::kOpenExisting, true, &a), 0u);
  ASSERT_EQ(a->SetEndOfFile(3 * 2048), 0u);
  a.reset();
  Remount();
  ASSERT_EQ(GetFile(fs(), u"a", &back), 0u);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), da.begin()));
}

TEST_F(Rewritable, AFullDiscAnswersDiskFullAndKeepsTheFileUnchanged) {
  uint64_t free_bytes = 0;
  ASSERT_EQ(fs().GetFreeSpace(&free_bytes, nullptr), 0u);
  std::unique_ptr<UdfFile> f;
  ASSERT_EQ(fs().Open(u"big", UdfCreate::kCreateNew, true, &f), 0u);
  const auto chunk = Pattern(4 << 20, 1);
  uint64_t at = 0;
  while (at + chunk.size() <= free_bytes - (8 << 20)) {
    ASSERT_EQ(f->WriteAt(at, chunk.data(), chunk.size()), 0u);
    at += chunk.size();
  }
  std::vector<uint8_t> huge(free_bytes, 1);
  EXPECT_EQ(f->WriteAt(at, huge.data(), huge.size()), pe::ERROR_DISK_FULL);
  EXPECT_EQ(f->Size(), at);
  f.reset();
  Remount();
  UdfFileInfo info;
  ASSERT_EQ(fs().GetInfo(u"big", &info), 0u);
  EXPECT_EQ(info.size, at);
}

TEST_F(Rewritable, IntegrityIsOpenOnTheDiscFromTheFirstChangeUntilTheFlush) {
  auto other_mount = [&](UdfVolumeInfo* info) {
    std::unique_ptr<ImageSectorDevice> dev;
    ASSERT_EQ(ImageSectorDevice::Open(vol_->path(), false, &dev), 0u);
    std::unique_ptr<UdfFileSystem> other;
    ASSERT_EQ(UdfFileSystem::Mount(dev.get(), {}, &other), 0u);
    ASSERT_EQ(other->GetVolumeInformation(info), 0u);
  };
  UdfVolumeInfo info;
  other_mount(&info);
  EXPECT_FALSE(info.integrityOpen);
  ASSERT_EQ(fs().CreateFolder(u"x"), 0u);
  other_mount(&info);
  EXPECT_TRUE(info.integrityOpen);
  EXPECT_TRUE(info.readOnly);
  ASSERT_EQ(fs().Flush(), 0u);
  other_mount(&info);
  EXPECT_FALSE(info.integrityOpen);
  EXPECT_FALSE(info.readOnly);
}

TEST_F(Rewritable, ConcurrentReadersSeeTheirOwnFiles) {
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(PutFile(fs(), u"r" + pe::Utf8ToUtf16(std::to_string(i)), Pattern(600000, i)), 0u);
  Remount();
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const int i = t % 4;
      const auto want = Pattern(600000, i);
      std::unique_ptr<UdfFile> f;
      if (fs().Open(u"r" + pe::Utf8ToUtf16(std::to_string(i)), UdfCreate::kOpenExisting, false, &f)) {
        ++bad;
        return;
      }
      std::vector<uint8_t> buf(7001);
      for (uint64_t at = 0; at < want.size(); at += buf.size()) {
        size_t done = 0;
        if (f->ReadAt(at, buf.data(), buf.size(), &done) ||
            !std::equal(buf.begin(), buf.begin() + done, want.begin() + at))
          ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// A device whose writes stop reaching the disc after a number of synchronizes,
// as when the program is killed in the middle of a write-back.
class CutOffDevice : public ISectorDevice {
 public:
  CutOffDevice(ISectorDevice* disc, int syncs_kept) : disc_(disc), left_(syncs_kept) {}
  uint32_t SectorCount() override { return disc_->SectorCount(); }
  pe::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override {
    return disc_->ReadSectors(lba, count, buffer);
  }
  pe::Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override {
    return left_ > 0 ? disc_->WriteSectors(lba, count, buffer) : pe::ERROR_SUCCESS;
  }
  pe::Win32Error Synchronize() override {
    if (left_ <= 0) return pe::ERROR_SUCCESS;
    --left_;
    return disc_->Synchronize();
  }
  pe::Win32Error ReadTracks(std::vector<SectorTrack>* tracks) override { return disc_->ReadTracks(tracks); }

 private:
  ISectorDevice* disc_;
  int left_;
};

TEST_F(Rewritable, AWriteBackCutOffBeforeItsAccountingIsRebuiltFromTheTree) {
  ASSERT_EQ(PutFile(fs(), u"old", Pattern(300000, 1)), 0u);
  Remount();
  vol_->Release();
  const auto mount = [&](bool rebuild, std::unique_ptr<ImageSectorDevice>* dev, std::unique_ptr<UdfFileSystem>* out) {
    ASSERT_EQ(ImageSectorDevice::Open(vol_->path(), true, dev), 0u);
    UdfMountOptions o;
    o.rebuildOpenIntegrity = rebuild;
    ASSERT_EQ(UdfFileSystem::Mount(dev->get(), o, out), 0u);
  };
  {
    // The integrity is marked open (one synchronize), the new entries are
    // written (the next one); the bitmaps and the counts never arrive.
    std::unique_ptr<ImageSectorDevice> image;
    ASSERT_EQ(ImageSectorDevice::Open(vol_->path(), true, &image), 0u);
    CutOffDevice cut(image.get(), 2);
    std::unique_ptr<UdfFileSystem> f;
    ASSERT_EQ(UdfFileSystem::Mount(&cut, {}, &f), 0u);
    ASSERT_EQ(PutFile(*f, u"new", Pattern(500000, 2)), 0u);
    ASSERT_EQ(f->Dismount(), 0u);
  }
  std::unique_ptr<ImageSectorDevice> dev;
  std::unique_ptr<UdfFileSystem> f;
  UdfVolumeInfo info;
  ASSERT_NO_FATAL_FAILURE(mount(false, &dev, &f));
  ASSERT_EQ(f->GetVolumeInformation(&info), 0u);
  EXPECT_TRUE(info.integrityOpen);
  EXPECT_TRUE(info.readOnly);
  EXPECT_FALSE(Problems(*f).empty()) << "the cut-off left the accounting behind the tree";
  f.reset();
  ASSERT_NO_FATAL_FAILURE(mount(true, &dev, &f));
  ASSERT_EQ(f->GetVolumeInformation(&info), 0u);
  EXPECT_FALSE(info.readOnly);
  // A file written now takes blocks nobody else uses.
  ASSERT_EQ(PutFile(*f, u"more", Pattern(700000, 3)), 0u);
  ASSERT_EQ(f->Dismount(), 0u);
  f.reset();
  ASSERT_NO_FATAL_FAILURE(mount(false, &dev, &f));
  ASSERT_EQ(f->GetVolumeInformation(&info), 0u);
  EXPECT_FALSE(info.integrityOpen);
  EXPECT_EQ(Problems(*f), std::vector<std::string>{});
  const std::pair<const char16_t*, std::vector<uint8_t>> files[] = {
      {u"old", Pattern(300000, 1)}, {u"new", Pattern(500000, 2)}, {u"more", Pattern(700000, 3)}};
  for (const auto& [name, want] : files) {
    std::vector<uint8_t> back;
    ASSERT_EQ(GetFile(*f, name, &back), 0u);
    EXPECT_TRUE(back == want) << pe::Utf16ToUtf8(name);
  }
}

}  // namespace
}  // namespace kelva::udf::testing
