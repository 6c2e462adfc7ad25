#include "service/volume/drive_letters.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "platform/text.h"
#include "service/volume/storage_drive_host.h"
#include "tests/platform/fshost/memory_volume.h"

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_SUCCESS;

uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

// A computer's drives and one storage's mount points.
class FakeHost : public IDriveLetterHost {
 public:
  explicit FakeHost(std::u16string own) : own_(std::move(own)) {}
  Win32Error MountPoints(std::vector<std::string>* drives) override {
    ++rounds;
    if (during_round) during_round();
    if (letter_appears_after > 0 && rounds >= letter_appears_after) drives->push_back("Q:");
    for (const auto& [letter, name] : volumes)
      if (name == own_) drives->push_back(std::string{letter, ':'});
    return ERROR_SUCCESS;
  }
  Win32Error AddMountPoint(std::string_view drive) override {
    added.emplace_back(drive);
    if (refuse_add) return platform::ERROR_BUSY;
    volumes[drive[0]] = own_;
    mask |= Bit(drive[0]);
    return ERROR_SUCCESS;
  }
  uint32_t LogicalDriveMask() override { return mask; }
  Win32Error VolumeNameForLetter(char letter, std::u16string* name) override {
    auto it = volumes.find(letter);
    if (it == volumes.end()) return ERROR_FILE_NOT_FOUND;
    *name = it->second;
    return ERROR_SUCCESS;
  }

  uint32_t mask = 0;
  std::map<char, std::u16string> volumes;
  std::vector<std::string> added;
  bool refuse_add = false;
  int rounds = 0;
  int letter_appears_after = 0;
  std::function<void()> during_round;

 private:
  std::u16string own_;
};

const std::u16string kUnitA = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";
const std::u16string kUnitB = u"\\\\?\\Volume{AAAAAAAA-2222-3333-4444-555555555555}\\";

class DriveLettersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kelva-letters-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    registry_ = std::make_unique<platform::Registry>(root_);
    clock_.SetAutoAdvanceOnSleep(true);
  }
  void TearDown() override { fs::remove_all(root_); }
  std::unique_ptr<DriveLetters> Make(IDriveLetterHost* host, const std::u16string& unit) {
    return std::make_unique<DriveLetters>(host, registry_.get(), &clock_, unit, [this](char c) { notified_ += c; });
  }

  fs::path root_;
  std::unique_ptr<platform::Registry> registry_;
  platform::TestClock clock_;
  std::string notified_;
};

TEST_F(DriveLettersTest, FirstFreeLetterFromCToZ) {
  struct Row {
    uint32_t in_use;
    bool refuse_add;
    char expected;
  };
  uint32_t c_to_y = 0;
  for (char l = 'C'; l <= 'Y'; ++l) c_to_y |= Bit(l);
  const Row rows[] = {
      {0, false, 'C'},
      {Bit('A') | Bit('B') | Bit('C'), false, 'D'},
      {Bit('C') | Bit('E'), false, 'D'},
      {c_to_y, false, 'Z'},
      {0x3FFFFFF, true, 'Z'},  // all taken: Z, and the refused mount point is ignored
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    fs::remove_all(root_);
    FakeHost host(kUnitA);
    host.mask = row.in_use;
    host.refuse_add = row.refuse_add;
    notified_.clear();
    const uint64_t start = clock_.NowMs();
    auto letters = Make(&host, kUnitA);
    letters->AssignDriveLetter();
    EXPECT_EQ(letters->letter(), row.expected);
    EXPECT_EQ(host.added, (std::vector<std::string>{std::string{row.expected, ':'}}));
    EXPECT_EQ(clock_.NowMs() - start, 4900u) << "50 rounds 100 ms apart before choosing";
    EXPECT_EQ(notified_, std::string(1, row.expected));
    EXPECT_FALSE(letters->searching());
    EXPECT_EQ(letters->host_volume_name(), row.refuse_add ? u"" : kUnitA);
  }
}

TEST_F(DriveLettersTest, LetterShownByTheStorageIsTakenAsIs) {
  FakeHost host(kUnitA);
  host.letter_appears_after = 4;
  auto letters = Make(&host, kUnitA);
  letters->AssignDriveLetter();
  EXPECT_EQ(letters->letter(), 'Q');
  EXPECT_TRUE(host.added.empty()) << "no mount point is added";
  EXPECT_EQ(host.rounds, 4);
  EXPECT_EQ(notified_, "Q");
}

TEST_F(DriveLettersTest, SecondSearchWhileOneRunsReturnsAtOnce) {
  FakeHost host(kUnitA);
  auto letters = Make(&host, kUnitA);
  int nested_rounds = -1;
  host.during_round = [&] {
    if (nested_rounds >= 0) return;
    const int before = host.rounds;
    letters->AssignDriveLetter();
    letters->RefreshDriveLetter();
    nested_rounds = host.rounds - before;
    EXPECT_EQ(letters->drive_index(), DriveLetters::kNoLetter);
  };
  letters->AssignDriveLetter();
  EXPECT_EQ(nested_rounds, 0);
  EXPECT_EQ(letters->letter(), 'C');
  EXPECT_EQ(notified_, "C") << "one search, one notice";
}

// A unit keeps its letter across teardown and a new attach (or a restart),
// and another unit does not take the letter while the first is away.
TEST_F(DriveLettersTest, UnitKeepsItsLetterAcrossAttaches) {
  FakeHost first(kUnitA);
  first.mask = Bit('C') | Bit('D');
  auto a = Make(&first, kUnitA);
  a->AssignDriveLetter();
  ASSERT_EQ(a->letter(), 'E');
  a->SaveLetterRecord();
  EXPECT_TRUE(a->searching()) << "the flag stays set while the worker goes away";
  a->RestoreLetterRecord();
  a.reset();

  // Unit A is away; unit B arrives and finds D free, E reserved.
  FakeHost other(kUnitB);
  other.mask = Bit('C');
  auto b = Make(&other, kUnitB);
  b->AssignDriveLetter();
  EXPECT_EQ(b->letter(), 'D');

  // Unit A comes back (new process: a new registry object on the same files).
  registry_ = std::make_unique<platform::Registry>(root_);
  FakeHost again(kUnitA);
  again.mask = Bit('C') | Bit('D');
  const uint64_t start = clock_.NowMs();
  auto a2 = Make(&again, kUnitA);
  a2->AssignDriveLetter();
  EXPECT_EQ(a2->letter(), 'E');
  EXPECT_EQ(again.added, std::vector<std::string>{"E:"});
  EXPECT_EQ(clock_.NowMs(), start) << "the remembered letter needs no wait";
}

TEST_F(DriveLettersTest, RestoreKeepsOnlyWhatBelongsToTheStorage) {
  FakeHost host(kUnitA);
  auto a = Make(&host, kUnitA);
  a->AssignDriveLetter();
  ASSERT_EQ(a->letter(), 'C');
  const std::string key = kMountedDevicesKey;
  uint32_t type = 0;
  std::string own;
  ASSERT_EQ(registry_->QueryValue(key, DriveLetters::VolumeRecordName(kUnitA), &type, &own), ERROR_SUCCESS);
  EXPECT_EQ(DriveLetters::VolumeRecordName(kUnitA), "\\??\\Volume{11111111-2222-3333-4444-555555555555}");
  EXPECT_EQ(type, platform::REG_BINARY);
  // The storage's identity: its volume name in UTF-16LE.
  std::string golden;
  for (char c : std::string("\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\")) golden += {c, '\0'};
  EXPECT_EQ(own, golden);
  registry_->SetValue(key, "#{folder-of-a}", platform::REG_BINARY, own);
  registry_->SetValue(key, "#{folder-of-b}", platform::REG_BINARY, "other");

  a->SaveLetterRecord();
  // Deleting the storage made the letter record go away.
  registry_->DeleteValue(key, "\\DosDevices\\C:");
  a->RestoreLetterRecord();
  std::string data;
  EXPECT_EQ(registry_->QueryValue(key, "\\DosDevices\\C:", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, own);
  EXPECT_EQ(registry_->QueryValue(key, "#{folder-of-a}", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry_->QueryValue(key, "#{folder-of-b}", &type, &data), ERROR_SUCCESS);
}

TEST_F(DriveLettersTest, RefreshFollowsTheStorageAndKeepsALostLetter) {
  FakeHost host(kUnitA);
  auto letters = Make(&host, kUnitA);
  letters->AssignDriveLetter();
  ASSERT_EQ(letters->letter(), 'C');
  // The user moved the drive to K:.
  host.volumes.erase('C');
  host.volumes['K'] = kUnitA;
  host.volumes['D'] = kUnitB;
  host.mask = Bit('D') | Bit('K');
  letters->RefreshDriveLetter();
  EXPECT_EQ(letters->letter(), 'K');
  // The user removed the letter: nothing matches, the index stays.
  host.volumes.erase('K');
  host.mask = Bit('D');
  letters->RefreshDriveLetter();
  EXPECT_EQ(letters->letter(), 'K');
  EXPECT_FALSE(letters->searching());
}

TEST_F(DriveLettersTest, LookupByLetter) {
  FakeHost host_a(kUnitA), host_b(kUnitB);
  host_b.mask = Bit('C');
  auto a = Make(&host_a, kUnitA);
  auto b = Make(&host_b, kUnitB);
  auto none = Make(&host_a, kUnitA);
  a->AssignDriveLetter();
  b->AssignDriveLetter();
  ASSERT_EQ(a->letter(), 'C');
  ASSERT_EQ(b->letter(), 'D');
  const std::vector<DriveLetters*> units = {none.get(), a.get(), b.get()};
  EXPECT_EQ(FindByLetter(units, 'C'), a.get());
  EXPECT_EQ(FindByLetter(units, 'd'), b.get());
  EXPECT_EQ(FindByLetter(units, 'E'), nullptr);
  EXPECT_EQ(FindByLetter(units, '1'), nullptr);
  EXPECT_EQ(FindByLetter(units, '\0'), nullptr);
}

// On a real storage: the letter becomes the storage's folder below the mount
// root, and a second storage of the same unit finds it again.
TEST_F(DriveLettersTest, RealStorageGetsItsFolderAndKeepsIt) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  const fs::path mounts = root_ / "media";
  fs::create_directories(mounts / "C");  // a drive in use
  setenv("KELVA_MOUNT_ROOT", mounts.c_str(), 1);
  platform::testing::MemoryVolume volume;
  platform::FsStorageSettings settings;
  settings.storage_guid = "{11111111-2222-3333-4444-555555555555}";
  for (int attach = 0; attach < 2; ++attach) {
    SCOPED_TRACE(attach);
    std::unique_ptr<platform::FsStorage> storage;
    ASSERT_EQ(platform::FsStorage::Create(settings, &volume, &storage), ERROR_SUCCESS);
    StorageDriveHost host(storage.get());
    auto letters = Make(&host, storage->VolumeName());
    letters->AssignDriveLetter();
    EXPECT_EQ(letters->letter(), 'D');
    EXPECT_EQ(storage->MountPoints(), std::vector<std::string>{"D:"});
    EXPECT_TRUE(fs::is_directory(mounts / "D"));
    EXPECT_EQ(letters->host_volume_name(), kUnitA);
    letters->SaveLetterRecord();
    storage->Delete();
    letters->RestoreLetterRecord();
    EXPECT_FALSE(fs::exists(mounts / "D")) << "the folder goes with the storage";
  }
}

}  // namespace
}  // namespace kelva::volume
