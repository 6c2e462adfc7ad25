// The magazine and drive operations of the controller on the simulated unit.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "controller_fixture.h"
#include "platform/file.h"
#include "platform/text.h"

namespace kelva::unit::testing {
namespace {

// Fails every read of the current-disc parameter.
RecordingDevice::Hook FailCurrentDiscRead() {
  return [](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0xFC && c.cdb[10] == 0x1D && c.cdb[1] == 0x10) {
      CheckCondition(r, 5, 0x24, 0);
      return true;
    }
    return false;
  };
}

size_t CountOpcode(RecordingDevice& d, uint8_t opcode) {
  size_t n = 0;
  for (const auto& c : d.Commands()) n += c[0] == opcode;
  return n;
}

bool HistoryHas(UnitController& c, std::u16string_view text) {
  const ErrorHistory h = c.History();
  for (uint32_t i = 0; i < h.count; ++i)
    if (h.entries[i].Text() == text) return true;
  return false;
}

TEST_F(ControllerTest, CreateReadsTheUnitAndStartsTheMonitor) {
  const fs::path config = ConfigPath(data_folder_, u"KQX10000001");
  ASSERT_TRUE(WriteConfig(config, UnitConfig{0x00, 1, 0, 0, 0, 0, 0, 0}));
  monitor_thread_ = true;
  StartUnit();
  EXPECT_EQ(controller_->Serial(), u"KQX10000001");
  EXPECT_TRUE(controller_->MonitorRunning());
  EXPECT_EQ(controller_->Identifier(), u"Unknown");
  EXPECT_EQ(controller_->Label(), u"-----------");
  EXPECT_EQ(controller_->History().newest, 100u);
  // The record verification mode of Config.bin reached mode page 0 byte 2.
  uint8_t cdb[12] = {0x5A, 0x08, 0x00, 0, 0, 0, 0, 0, 12};
  uint8_t page[12] = {};
  ASSERT_EQ(Send(device_.get(), cdb, kDirectionFromUnit, page, sizeof page, 60), 0u);
  EXPECT_EQ(page[10], 0x00);
  controller_->Destroy();
  EXPECT_FALSE(controller_->MonitorRunning());
}

TEST_F(ControllerTest, BlankWritableMagazineFormatsDiscZero) {
  StartUnit();
  std::u16string id;
  controller_->IdentifyMagazine(&id);
  EXPECT_EQ(id, u"a0a1a2a3a4a5a6a7a8a9aaab");
  EXPECT_EQ(controller_->Label(), u"AAG-LABEL-1");
  EXPECT_EQ(maintenance_->formats, 1);
  EXPECT_EQ(CountOpcode(*device_, 0x04), 1u);  // FORMAT UNIT: the disc was blank
  EXPECT_EQ(controller_->CurrentSlot(), 0);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 0);
  EXPECT_EQ(controller_->MagazineKind(), 1);
  EXPECT_FALSE(controller_->WritePreparationPending());
  EXPECT_EQ(controller_->UsableCapacity(), 4096u * 2048 - 0x150000);
  EXPECT_EQ(controller_->History().count, 0u);
  uint16_t counter = 0;
  ASSERT_TRUE(ReadFormatCounter(device_.get(), &counter));
  EXPECT_EQ(counter, 1);  // disc 0 of a rewritable magazine counts its formats
  ASSERT_EQ(controller_->AcceptMount(), 1);
  EXPECT_TRUE(controller_->MagazinePresent());
  EXPECT_FALSE(controller_->ReadingNotice());
  uint8_t kind = 0, not_writable = 1;
  std::u16string label;
  ASSERT_EQ(controller_->GetMagazineInfo(&kind, &not_writable, &label), 1);
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(not_writable, 0);
  EXPECT_EQ(label, u"AAG-LABEL-1");
}

TEST_F(ControllerTest, BlankProtectedMagazineReportsInsteadOfFormatting) {
  StartUnit({.write_protect = true});
  controller_->IdentifyMagazine(nullptr);
  EXPECT_EQ(maintenance_->formats, 0);
  EXPECT_EQ(CountOpcode(*device_, 0x04), 0u);
  EXPECT_TRUE(HistoryHas(*controller_, u"Magazine is write-protected."));
  EXPECT_TRUE(HistoryHas(*controller_,
                         u"[W3050]:The magazine is write-protected and cannot be formatted."));
  ASSERT_GE(notifier_.messages.size(), 2u);
  EXPECT_EQ(notifier_.messages.back()[0], 1);  // a message box
  ASSERT_EQ(controller_->AcceptMount(), 1);
  uint8_t not_writable = 0;
  ASSERT_EQ(controller_->GetMagazineInfo(nullptr, &not_writable, nullptr), 1);
  EXPECT_EQ(not_writable, 0xFF);
}

TEST_F(ControllerTest, LabelStartingWithAControlByteStaysBlank) {
  StartUnit({.label0 = 0x1F});
  controller_->IdentifyMagazine(nullptr);
  EXPECT_EQ(controller_->Label(), u"-----------");
}

TEST_F(ControllerTest, SearchBisectsWhenTheCurrentDiscIsUnknown) {
  StartUnit({.used_discs = 5});
  device_->SetHook(FailCurrentDiscRead());
  device_->ClearCommands();
  controller_->IdentifyMagazine(nullptr);
  EXPECT_EQ(device_->SelectedSlots(), (std::vector<int>{6, 3, 5, 4}));
  EXPECT_EQ(controller_->CurrentSlot(), 4);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 4);
  EXPECT_EQ(maintenance_->formats, 0);
  EXPECT_EQ(volumes_->LoadedSlot(), 4);
}

TEST_F(ControllerTest, SearchDownwardsFindsABlankMagazine) {
  StartUnit({.current_disc = 5});
  device_->SetHook(FailCurrentDiscRead());
  device_->ClearCommands();
  uint8_t slot = 0, blank = 0;
  ASSERT_EQ(controller_->FindCurrentDisc(&slot, &blank), 1);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(blank, 1);
  EXPECT_EQ(device_->SelectedSlots(), (std::vector<int>{2, 0}));
}

TEST_F(ControllerTest, KnownCurrentDiscNeedsNoSearch) {
  StartUnit({.current_disc = 3, .used_discs = 4});
  device_->ClearCommands();
  uint8_t slot = 0, blank = 1;
  ASSERT_EQ(controller_->FindCurrentDisc(&slot, &blank), 1);
  EXPECT_EQ(slot, 3);
  EXPECT_EQ(blank, 0);
  EXPECT_TRUE(device_->SelectedSlots().empty());
}

TEST_F(ControllerTest, LoadingAboveTheHighestPreparedSlotFormats) {
  StartUnit({.used_discs = 1});
  Mount();
  EXPECT_EQ(controller_->HighestPreparedSlot(), 0);
  // The format (it starts by setting the unit clock) still counts as a disc
  // exchange, so that a mount meanwhile stays away.
  std::vector<int> exchange_at_format;
  device_->SetHook([&](const platform::ScsiCommand& c, platform::ScsiReply*) {
    if (IsVendor(c, 0x51)) exchange_at_format.push_back(controller_->ExchangeCount());
    return false;
  });
  ASSERT_EQ(controller_->LoadDisc(1), 0u);
  device_->SetHook(nullptr);
  EXPECT_EQ(exchange_at_format, (std::vector<int>{1}));
  EXPECT_EQ(controller_->ExchangeCount(), 0);
  EXPECT_EQ(maintenance_->formats, 1);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 1);
  EXPECT_EQ(controller_->CurrentSlot(), 1);
  uint8_t current = 0;
  ASSERT_TRUE(ReadCurrentDisc(device_.get(), &current));
  EXPECT_EQ(current, 1);
  // Back to a prepared slot: no format.
  ASSERT_EQ(controller_->LoadDisc(0), 0u);
  EXPECT_EQ(maintenance_->formats, 1);
  EXPECT_EQ(controller_->GetCurrentSlot(), 0);
}

TEST_F(ControllerTest, LoadingAboveThePreparedSlotOfAProtectedMagazineIsRefused) {
  StartUnit({.write_protect = true, .used_discs = 1});
  Mount();
  EXPECT_EQ(controller_->LoadDisc(1), kResultNotWritable);
  EXPECT_EQ(maintenance_->formats, 0);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 0);
  EXPECT_EQ(controller_->FormatDisc(2), kResultNotWritable);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 0);
}

TEST_F(ControllerTest, DiscInformationFollowsTheDisc) {
  StartUnit({.used_discs = 2});
  Mount();
  ASSERT_EQ(controller_->LoadDisc(1), 0u);
  // Disc 0 left the drive: both of its blocks were kept.
  EXPECT_TRUE(platform::FileExists(controller_->DiscInfoPath(0, 0)));
  EXPECT_TRUE(platform::FileExists(controller_->DiscInfoPath(0, 1)));
  uint64_t size = 0;
  ASSERT_EQ(platform::GetFileSize(controller_->DiscInfoPath(0, 0), &size), 0u);
  EXPECT_EQ(size, 0x11000u);
  device_->ClearCommands();
  ASSERT_EQ(controller_->LoadDisc(0), 0u);
  // Coming back, they were sent to the unit and removed.
  EXPECT_FALSE(platform::FileExists(controller_->DiscInfoPath(0, 0)));
  EXPECT_FALSE(platform::FileExists(controller_->DiscInfoPath(0, 1)));
  size_t info_writes = 0;
  for (const auto& c : device_->Commands()) info_writes += c[0] == 0xFB && c[10] == 0x90;
  EXPECT_EQ(info_writes, 3u);  // kind 1 in one chunk, kind 0 in two
  // Disc 1's kind-1 block is dropped by the next mount acceptance.
  ASSERT_TRUE(platform::FileExists(controller_->DiscInfoPath(1, 1)));
  ASSERT_EQ(controller_->AcceptMount(), 1);
  EXPECT_FALSE(platform::FileExists(controller_->DiscInfoPath(1, 1)));
  EXPECT_TRUE(platform::FileExists(controller_->DiscInfoPath(1, 0)));
}

TEST_F(ControllerTest, ExchangeThatNeverReachesTheSlotFails) {
  StartUnit({.used_discs = 1});
  Mount();
  // The changer always reports slot 9.
  emulator::SimScsiDevice* sim = sim_device_.get();
  device_->SetHook([sim](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] != 0xBD) return false;
    sim->Execute(c, r);
    static_cast<uint8_t*>(c.data)[0] = 9;
    return true;
  });
  EXPECT_EQ(controller_->LoadDisc(1), kResultFailed);
  EXPECT_EQ(device_->SelectedSlots().size(), 5u);
  EXPECT_TRUE(HistoryHas(*controller_, u"[E2010]:Media exchange failed."));
  EXPECT_EQ(LogDumpCount(), 1u);
  EXPECT_EQ(controller_->BusyCount(), 0);
  EXPECT_EQ(controller_->ExchangeCount(), 0);
  EXPECT_EQ(volumes_->locks, volumes_->unlocks);  // the volume was released
}

TEST_F(ControllerTest, ChangerRefusingEveryMoveFails) {
  StartUnit({.used_discs = 1});
  Mount();
  sim_->FailNext(0xA6, 100, 4, 0x44, 0);
  EXPECT_EQ(controller_->LoadDisc(2), kResultFailed);
  EXPECT_TRUE(HistoryHas(*controller_, u"[E2010]:Media exchange failed."));
  EXPECT_EQ(LogDumpCount(), 1u);
  sim_->FailNext(0xA6, 0, 0, 0, 0);
}

TEST_F(ControllerTest, FailingFormatIsReported) {
  StartUnit();
  sim_->FailNext(0x04, 1, 3, 0x31, 0x00);
  controller_->IdentifyMagazine(nullptr);
  EXPECT_TRUE(HistoryHas(*controller_, u"[E3050]:Format failed."));
  EXPECT_EQ(LogDumpCount(), 1u);
  EXPECT_TRUE(controller_->WritePreparationPending());
  EXPECT_EQ(volumes_->locks, volumes_->unlocks);
  // A second try with the volume writer failing: FormatDisc reports 5.
  maintenance_->format_ok = false;
  EXPECT_EQ(controller_->FormatDisc(0), kResultFailed);
  EXPECT_EQ(controller_->History().count, 2u);
  maintenance_->format_ok = true;
  EXPECT_EQ(controller_->FormatDisc(0), kResultDone);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 0);
}

TEST_F(ControllerTest, FinalizeClosesARecordableDisc) {
  StartUnit({.type = emulator::kTypeRecordable});
  Mount();
  EXPECT_EQ(controller_->MagazineKind(), 0x11);
  EXPECT_EQ(maintenance_->formats, 1);
  EXPECT_EQ(controller_->IsWritable(), 1);
  EXPECT_EQ(controller_->FinalizeDisc(0), kResultDone);
  uint8_t status = 0;
  uint16_t tracks = 0;
  ASSERT_TRUE(ReadDiscInformation(device_.get(), &status, &tracks));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(controller_->IsWritable(), 0);  // a complete disc takes no more data
  EXPECT_EQ(controller_->FinalizeDisc(0), kResultDone);  // already complete
  uint32_t counters[3] = {};
  EXPECT_EQ(controller_->GetResources(counters), 1);
  EXPECT_GT(counters[0], 0u);
}

TEST_F(ControllerTest, EjectIsRefusedDuringAnAlert) {
  StartUnit();
  Mount();
  controller_->SetAlertInProgress(true);
  device_->ClearCommands();
  EXPECT_EQ(controller_->EjectMagazine(), kResultEjectRefused);
  EXPECT_TRUE(device_->Commands().empty());
  EXPECT_TRUE(sim_->HasMagazine());
  controller_->SetAlertInProgress(false);
  EXPECT_EQ(controller_->EjectMagazine(), kResultDone);
  EXPECT_FALSE(sim_->HasMagazine());
  EXPECT_FALSE(controller_->MagazinePresent());
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_EQ(controller_->GetMagazineInfo(nullptr, nullptr, nullptr), 0);
}

TEST_F(ControllerTest, EjectWhoseDriveKeepsTheDiscFails) {
  StartUnit();
  Mount();
  bool ejected = false;
  emulator::SimScsiDevice* sim = sim_device_.get();
  device_->SetHook([&ejected, sim](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0x1B && (c.cdb[4] & 3) == 2) {
      ejected = true;
      return false;
    }
    if (ejected && c.cdb[0] == 0x00) {  // the drive still answers ready
      *r = {};
      return true;
    }
    (void)sim;
    return false;
  });
  EXPECT_EQ(controller_->EjectMagazine(), kResultEjectFailed);
  EXPECT_EQ(controller_->History().count, 0u);  // the eject itself went through
}

TEST_F(ControllerTest, EjectCommandFailingTwiceIsReported) {
  StartUnit();
  Mount();
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0x1B && (c.cdb[4] & 3) == 2) {
      CheckCondition(r, 5, 0x53, 0x02);
      return true;
    }
    return false;
  });
  EXPECT_EQ(controller_->EjectMagazine(), kResultEjectFailed);
  EXPECT_TRUE(HistoryHas(*controller_, u"[E2000]:Magazine eject failed."));
  EXPECT_TRUE(sim_->HasMagazine());
  EXPECT_FALSE(controller_->MagazinePresent());
}

TEST_F(ControllerTest, SpaceKeepsTheReserve) {
  StartUnit({.used_discs = 1});
  Mount();
  uint64_t total = 0, free = 1;
  volumes_->Disc(0).free_bytes = 50ull << 20;
  ASSERT_EQ(controller_->GetSpace(&total, &free), 1);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(total, 4096u * 2048 - 0x150000);
  volumes_->Disc(0).free_bytes = (64ull << 20) + 4096;
  ASSERT_EQ(controller_->GetSpace(&total, &free), 1);
  EXPECT_EQ(free, 4096u);
  volumes_->FailNext("free", 1, platform::ERROR_NOT_READY);
  EXPECT_EQ(controller_->GetSpace(&total, &free), 0);
}

TEST_F(ControllerTest, WritableFollowsProtectionRfidAndStatusBytes) {
  StartUnit({.used_discs = 1});
  Mount();
  EXPECT_EQ(controller_->IsWritable(), 1);
  controller_->SetRfidAnomaly(true);
  EXPECT_EQ(controller_->IsWritable(), 0);
  controller_->SetRfidAnomaly(false);
  // Status A bit 7 with C set makes a rewritable magazine read-only.
  sim_->SetStatusBytes(0x80, 0x00, 1);
  controller_->IdentifyMagazine(nullptr);  // already identified: re-reads the status
  EXPECT_EQ(controller_->IsWritable(), 0);
  sim_->SetStatusBytes(0x80, 0x00, 0);
  controller_->IdentifyMagazine(nullptr);
  EXPECT_EQ(controller_->IsWritable(), 1);
}

TEST_F(ControllerTest, VolumeReadOnlyIsClearedByClosingTheIntegrity) {
  StartUnit({.used_discs = 1});
  Mount();
  EXPECT_EQ(controller_->IsVolumeReadOnly(), 0);
  volumes_->Disc(0).read_only = true;
  EXPECT_EQ(controller_->IsVolumeReadOnly(), 1);
  maintenance_->close_ok = false;
  EXPECT_EQ(controller_->ClearVolumeReadOnly(), 0);  // nothing was rewritten
  maintenance_->close_ok = true;
  EXPECT_EQ(controller_->ClearVolumeReadOnly(), 1);
  EXPECT_EQ(controller_->IsVolumeReadOnly(), 0);
  EXPECT_EQ(maintenance_->integrity_closes, 2);
}

TEST_F(ControllerTest, OperationsWaitForTheReadyFlag) {
  StartUnit();
  controller_->SetReady(false);
  std::atomic<bool> done{false};
  std::thread t([&] {
    controller_->GetCurrentSlot();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  controller_->SetReady(true);
  t.join();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(controller_->InUse(), 0);
}

TEST_F(ControllerTest, DiscThatDroppedOutIsLoadedAgain) {
  StartUnit({.used_discs = 1});
  Mount();  // leaves the unit in its host mode
  EXPECT_EQ(TestUnitReady(device_.get()), 0u);
  sim_->MarkDiscAway();
  EXPECT_NE(TestUnitReady(device_.get()), 0u);
  device_->ClearCommands();
  ASSERT_EQ(controller_->EnsureDiscLoaded(), 1);
  EXPECT_EQ(TestUnitReady(device_.get()), 0u);
  EXPECT_EQ(volumes_->LoadedSlot(), 0);
  // Unloaded with control 0x80 and loaded inside the exchange bracket.
  bool unload80 = false;
  size_t brackets = 0;
  for (const auto& c : device_->Commands()) {
    unload80 |= c[0] == 0xA6 && (c[4] & 3) == 2 && c[11] == 0x80;
    brackets += c[0] == 0xFB && c[10] == 0xA2;
  }
  EXPECT_TRUE(unload80);
  EXPECT_EQ(brackets, 2u);
  EXPECT_EQ(controller_->BusyCount(), 0);
  // With the disc in place nothing moves.
  device_->ClearCommands();
  ASSERT_EQ(controller_->EnsureDiscLoaded(), 1);
  EXPECT_EQ(CountOpcode(*device_, 0xA6), 0u);
}

TEST_F(ControllerTest, HistoryOfAnEarlierRunIsLoadedAndADamagedOneKept) {
  StartUnit();
  ASSERT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  controller_.reset();
  CreateController();
  const ErrorHistory h = controller_->History();
  EXPECT_EQ(h.count, 1u);
  EXPECT_EQ(h.entries[0].Text(), u"[E2010]:Media exchange failed.");
  // A damaged file is set aside, not overwritten: the controller starts a
  // new history beside it.
  controller_.reset();
  const fs::path path = ErrorHistoryPath(data_folder_, u"KQX10000001");
  ASSERT_EQ(platform::WriteWholeFile(path, "short"), 0u);
  CreateController();
  EXPECT_EQ(controller_->History().count, 0u);
  EXPECT_EQ(controller_->History().newest, 100u);
  ASSERT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  std::vector<fs::path> aside;
  for (const auto& entry : fs::directory_iterator(path.parent_path()))
    if (entry.path().filename().string().rfind("Error-refused-", 0) == 0) aside.push_back(entry.path());
  ASSERT_EQ(aside.size(), 1u);
  std::string kept;
  ASSERT_EQ(platform::ReadWholeFile(aside[0], &kept), 0u);
  EXPECT_EQ(kept, "short");
  ErrorHistory fresh;
  ASSERT_TRUE(ReadErrorHistory(path, &fresh));
  EXPECT_EQ(fresh.count, 1u);
}

}  // namespace
}  // namespace kelva::unit::testing
