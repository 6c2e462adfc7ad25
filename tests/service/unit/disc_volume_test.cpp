// File and volume access to the disc in the drive.
#include <gtest/gtest.h>

#include <cstring>

#include "controller_fixture.h"
#include "platform/file.h"
#include "platform/text.h"
#include "service/unit/repair_log.h"

namespace kelva::unit::testing {
namespace {

using platform::Win32Error;

class DiscVolumeTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    StartUnit({.used_discs = 1});
    Mount();
    volumes_->dismounts = volumes_->locks = volumes_->unlocks = volumes_->volume_opens = 0;
    device_->ClearCommands();
  }
  std::u16string RepairLog() {
    std::string bytes;
    platform::ReadWholeFile(RepairLogPath(), &bytes);
    std::u16string s;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      s.push_back(static_cast<char16_t>(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    return s;
  }
  size_t Sent(uint8_t opcode, int function = -1) {
    size_t n = 0;
    for (const auto& c : device_->Commands())
      n += c[0] == opcode && (function < 0 || c[10] == function);
    return n;
  }
};

TEST_F(DiscVolumeTest, LocksNestAndTheLastUnlockReleases) {
  ASSERT_EQ(controller_->LockVolume(), 0u);
  ASSERT_EQ(controller_->LockVolume(), 0u);
  EXPECT_EQ(volumes_->locks, 1);
  EXPECT_EQ(controller_->UnlockVolume(), 0u);
  EXPECT_EQ(volumes_->unlocks, 0);
  EXPECT_EQ(controller_->UnlockVolume(), 0u);
  EXPECT_EQ(volumes_->unlocks, 1);
  // An unlock too many changes nothing; the next lock opens the volume again.
  EXPECT_EQ(controller_->UnlockVolume(), 0u);
  const int opens = volumes_->volume_opens;
  ASSERT_EQ(controller_->LockVolume(), 0u);
  EXPECT_EQ(volumes_->volume_opens, opens + 1);
  controller_->UnlockVolume();
}

TEST_F(DiscVolumeTest, FailedLockLeavesNoDepth) {
  volumes_->FailNext("lock", 10, platform::ERROR_LOCK_VIOLATION);
  EXPECT_EQ(controller_->LockVolume(), platform::ERROR_LOCK_VIOLATION);
  ASSERT_EQ(controller_->LockVolume(), 0u);  // a fresh first lock
  EXPECT_EQ(volumes_->locks, 1);
  controller_->UnlockVolume();
  EXPECT_EQ(volumes_->unlocks, 1);
  // Nine failures are within the ten attempts.
  volumes_->FailNext("lock", 9, platform::ERROR_LOCK_VIOLATION);
  EXPECT_EQ(controller_->LockVolume(), 0u);
  controller_->UnlockVolume();
}

TEST_F(DiscVolumeTest, CreateNewKeepsTheReserve) {
  DiscFile f;
  volumes_->Disc(0).free_bytes = kFreeSpaceReserve;
  EXPECT_EQ(controller_->CreateNew(u"A.DAT", true, false, &f), platform::ERROR_DISK_FULL);
  volumes_->Disc(0).free_bytes = kFreeSpaceReserve + 1;
  EXPECT_EQ(controller_->CreateNew(u"A.DAT", true, false, &f), 0u);
  ASSERT_NE(f, nullptr);
  volumes_->FailNext("free", 1, platform::ERROR_NOT_READY);
  EXPECT_EQ(controller_->CreateNew(u"B.DAT", true, false, &f), platform::ERROR_NOT_READY);
  volumes_->FailNext("free", 1, platform::ERROR_GEN_FAILURE);
  EXPECT_EQ(controller_->CreateNew(u"B.DAT", true, false, &f), platform::ERROR_DISK_FULL);
  EXPECT_EQ(controller_->CreateNew(u"A.DAT", true, false, &f), platform::ERROR_FILE_EXISTS);
}

TEST_F(DiscVolumeTest, CreateNewWhileClosingIsRefusedAfterTenMilliseconds) {
  controller_->SetClosing(true);
  const uint64_t before = clock_.NowMs();
  DiscFile f;
  EXPECT_EQ(controller_->CreateNew(u"A.DAT", true, false, &f), kErrorClosing);
  EXPECT_EQ(clock_.NowMs() - before, 10u);
  EXPECT_TRUE(volumes_->created.empty());
  EXPECT_EQ(Sent(0xFC, 0x21), 0u);  // not even the write preparation
  controller_->SetClosing(false);
}

TEST_F(DiscVolumeTest, NewFileGetsItsFolderChain) {
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"DIR1\\SUB\\FILE.DAT", true, false, &f), 0u);
  EXPECT_TRUE(controller_->Exists(u"DIR1"));
  uint32_t attributes = 0;
  ASSERT_EQ(controller_->GetAttributes(u"DIR1\\SUB", &attributes), 0u);
  EXPECT_EQ(attributes, kAttrDirectory);
  EXPECT_EQ(volumes_->created.back(), u"DIR1\\SUB\\FILE.DAT");
  // The chain stops at the first error that is not "already exists".
  EXPECT_EQ(controller_->CreateFolderChain(u"DIR1\\SUB\\FILE.DAT\\X\\Y"), 0u);
  EXPECT_EQ(controller_->CreateFolder(u"DIR1"), platform::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(controller_->CreateFolder(u"NEW"), 0u);
}

TEST_F(DiscVolumeTest, DataRoundTripWithSeekAndTruncate) {
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"F.DAT", true, true, &f), 0u);
  uint32_t done = 0;
  ASSERT_EQ(controller_->Write(f.get(), "hello world", 11, &done), 0u);
  EXPECT_EQ(done, 11u);
  EXPECT_EQ(controller_->SetEndOfFile(f.get(), 5), 0u);
  EXPECT_EQ(controller_->Close(&f), 0u);
  EXPECT_EQ(f, nullptr);
  ASSERT_EQ(controller_->OpenExisting(u"f.dat", false, false, &f), 0u);
  ASSERT_EQ(controller_->Seek(f.get(), 1), 0u);
  char buffer[16] = {};
  ASSERT_EQ(controller_->Read(f.get(), buffer, sizeof buffer, &done), 0u);
  EXPECT_EQ(std::string(buffer, done), "ello");
  uint64_t size = 0;
  ASSERT_TRUE(controller_->GetInfo(u"F.DAT", nullptr, nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(controller_->Delete(u"F.DAT"), 0u);
  EXPECT_FALSE(controller_->Exists(u"F.DAT"));
  EXPECT_EQ(controller_->OpenExisting(u"F.DAT", false, false, &f), platform::ERROR_FILE_NOT_FOUND);
}

TEST_F(DiscVolumeTest, EnumerationSkipsDotEntriesAndStopsOnRequest) {
  ASSERT_EQ(controller_->CreateFolder(u"D"), 0u);
  DiscFile f;
  for (const char16_t* name : {u"D\\A.DAT", u"D\\B.DAT", u"D\\C.LOG"})
    ASSERT_EQ(controller_->CreateNew(name, true, false, &f), 0u);
  std::vector<std::u16string> names;
  auto collect = [](const std::u16string& name, uint32_t, void* ctx) {
    static_cast<std::vector<std::u16string>*>(ctx)->push_back(name);
    return 1;
  };
  ASSERT_TRUE(controller_->Enumerate(u"D", u"*", collect, &names));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A.DAT", u"B.DAT", u"C.LOG"}));
  names.clear();
  ASSERT_TRUE(controller_->Enumerate(u"D", u"*.dat", collect, &names));
  EXPECT_EQ(names.size(), 2u);
  names.clear();
  auto first_only = [](const std::u16string& name, uint32_t, void* ctx) {
    static_cast<std::vector<std::u16string>*>(ctx)->push_back(name);
    return 0;
  };
  ASSERT_TRUE(controller_->Enumerate(u"D", u"*", first_only, &names));
  EXPECT_EQ(names.size(), 1u);
  names.clear();
  ASSERT_TRUE(controller_->EnumerateRoot(collect, &names));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"D", u"STRUCT"}));
  EXPECT_FALSE(controller_->Enumerate(u"MISSING", u"*", collect, &names));
}

TEST_F(DiscVolumeTest, CorruptFileIsRepairedAndCreatedOnce) {
  SetRepairLogging(1);
  volumes_->FailNext("create", 1, platform::ERROR_FILE_CORRUPT);
  maintenance_->repair_result = 1;
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"D.DAT", true, false, &f), 0u);
  ASSERT_EQ(maintenance_->repaired_files.size(), 1u);
  EXPECT_EQ(maintenance_->repaired_files[0], std::make_pair(std::u16string(u"D.DAT"), true));
  EXPECT_EQ(volumes_->dismounts, 2);  // before the repair and before the retry
  const std::u16string log = RepairLog();
  EXPECT_NE(log.find(u"\tCreateFile 'D.DAT' Error (0x00000570)\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u"\tRepair File 'D.DAT' Success\r\n"), std::u16string::npos);
}

TEST_F(DiscVolumeTest, FailedRepairReturnsTheFirstError) {
  SetRepairLogging(1);
  volumes_->FailNext("open", 1, platform::ERROR_CRC);
  DiscFile f;
  EXPECT_EQ(controller_->OpenExisting(u"STRUCT", false, false, &f), platform::ERROR_CRC);
  EXPECT_EQ(maintenance_->repaired_files.back(), std::make_pair(std::u16string(u"STRUCT"), false));
  EXPECT_NE(RepairLog().find(u"\tRepair File 'STRUCT' Fail\r\n"), std::u16string::npos);
  // A second failure after a successful repair is returned as it is.
  maintenance_->repair_result = 1;
  volumes_->FailNext("attributes", 2, platform::ERROR_FILE_CORRUPT);
  uint32_t attributes = 0;
  EXPECT_EQ(controller_->GetAttributes(u"STRUCT", &attributes), platform::ERROR_FILE_CORRUPT);
  EXPECT_EQ(maintenance_->file_repairs, 2);
  EXPECT_NE(RepairLog().find(u"\tGetFileAttributes 'STRUCT' Error (0x00000570)\r\n"),
            std::u16string::npos);
}

TEST_F(DiscVolumeTest, OpenIntegrityIsClosedForLogCorruption) {
  volumes_->FailNext("create", 1, platform::ERROR_LOG_CORRUPTION_DETECTED);
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"E.DAT", true, false, &f), 0u);
  EXPECT_EQ(maintenance_->integrity_closes, 1);
  EXPECT_EQ(maintenance_->file_repairs, 0);
  EXPECT_EQ(RepairLog(), u"");  // logging is off
}

TEST_F(DiscVolumeTest, ReadFailureLeavesAUnitLog) {
  DiscFile f;
  ASSERT_EQ(controller_->OpenExisting(u"STRUCT", false, false, &f), platform::ERROR_ACCESS_DENIED);
  ASSERT_EQ(controller_->CreateNew(u"R.DAT", true, false, &f), 0u);
  volumes_->FailNext("read", 1, platform::ERROR_CRC);
  char buffer[4];
  uint32_t done = 0;
  EXPECT_EQ(controller_->Read(f.get(), buffer, sizeof buffer, &done), platform::ERROR_CRC);
  EXPECT_EQ(LogDumpCount(), 1u);
  uint64_t size = 0;
  std::vector<platform::FindData> found;
  ASSERT_EQ(platform::FindFiles(controller_->LogsFolder(), u"*", &found), 0u);
  ASSERT_EQ(platform::GetFileSize(controller_->LogsFolder() / found[0].name, &size), 0u);
  EXPECT_GT(size, 0u);  // the unit's log memory
  volumes_->FailNext("write", 1, platform::ERROR_WRITE_FAULT);
  clock_.Advance(1000);  // a new dump name
  EXPECT_EQ(controller_->Write(f.get(), "x", 1, &done), platform::ERROR_WRITE_FAULT);
  EXPECT_EQ(LogDumpCount(), 2u);
  volumes_->Disc(0).free_bytes = kFreeSpaceReserve;
  EXPECT_EQ(controller_->Write(f.get(), "x", 1, &done), platform::ERROR_DISK_FULL);
}

TEST_F(DiscVolumeTest, ProtectedMagazineIsNeverRepaired) {
  controller_->SetRfidAnomaly(true);  // not writable
  volumes_->FailNext("open", 1, platform::ERROR_FILE_CORRUPT);
  DiscFile f;
  EXPECT_EQ(controller_->OpenExisting(u"STRUCT", false, false, &f), platform::ERROR_FILE_CORRUPT);
  EXPECT_EQ(maintenance_->file_repairs, 0);
  EXPECT_EQ(volumes_->dismounts, 0);
  controller_->SetRfidAnomaly(false);
}

TEST_F(DiscVolumeTest, WritesArePreparedOnce) {
  ASSERT_TRUE(controller_->WritePreparationPending());
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"P.DAT", true, false, &f), 0u);
  EXPECT_EQ(Sent(0xFB, 0x22), 1u);  // the unit asked for preparation
  EXPECT_FALSE(controller_->WritePreparationPending());
  uint32_t done = 0;
  ASSERT_EQ(controller_->Write(f.get(), "abc", 3, &done), 0u);
  EXPECT_EQ(Sent(0xFB, 0x22), 1u);
}

TEST_F(DiscVolumeTest, DismountSynchronisesByMedium) {
  ASSERT_EQ(controller_->DismountVolume(), 0u);
  EXPECT_EQ(volumes_->dismounts, 1);
  EXPECT_EQ(Sent(0x35), 1u);
  controller_->SetSyncHold(true);
  ASSERT_EQ(controller_->DismountVolume(), 0u);
  EXPECT_EQ(volumes_->dismounts, 2);
  EXPECT_EQ(Sent(0x35), 1u);
  EXPECT_EQ(controller_->FlushVolume(), 0u);
  EXPECT_EQ(volumes_->flushes, 0);
  controller_->SetSyncHold(false);
  EXPECT_EQ(controller_->FlushVolume(), 0u);
  EXPECT_EQ(volumes_->flushes, 1);
  sim_->FailNext(0x35, 1, 4, 0x44, 0);
  EXPECT_EQ(controller_->DismountVolume(), platform::ERROR_IO_DEVICE);
  volumes_->FailNext("dismount", 100, platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(controller_->DismountVolume(), platform::ERROR_ACCESS_DENIED);
}

TEST_F(DiscVolumeTest, DamagedVolumeIsRepairedAndDismountedAgain) {
  SetRepairLogging(1);
  volumes_->FailNext("info", 1, platform::ERROR_FILE_CORRUPT);
  maintenance_->repair_result = 1;
  ASSERT_EQ(controller_->DismountVolume(), 0u);
  EXPECT_EQ(maintenance_->volume_repairs, 1);
  EXPECT_EQ(volumes_->dismounts, 2);
  const std::u16string log = RepairLog();
  EXPECT_NE(log.find(u"\tGetVolumeInformation Error (0x00000570)\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u"\tRepair Volume Success\r\n"), std::u16string::npos);
  // At most two rounds, however often the check fails.
  volumes_->FailNext("info", 5, platform::ERROR_FILE_CORRUPT);
  controller_->DismountVolume();
  EXPECT_EQ(maintenance_->volume_repairs, 3);
  EXPECT_EQ(volumes_->dismounts, 4);
}

}  // namespace
}  // namespace kelva::unit::testing
