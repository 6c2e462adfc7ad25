// The controller on real UDF volumes: discs formatted by the formatter through
// the simulated unit and files written through our UDF file system.
#include <gtest/gtest.h>

#include <cstring>

#include "controller_fixture.h"
#include "platform/file.h"
#include "emulator/magazine.h"
#include "service/unit/udf_maintenance.h"

namespace kelva::unit::testing {
namespace {

class UdfDiscTest : public ::testing::Test {
 protected:
  static constexpr const char16_t* kRawVolume = u"\\\\?\\Volume{0b5e8a11-0000-4000-8000-000000000001}\\";

  void SetUp() override {
    clock_.SetAutoAdvanceOnSleep(true);
    emulator::SimUnitOptions options;
    options.clock = &clock_;
    sim_ = std::make_unique<emulator::SimUnit>(options);
    emulator::MagazineSpec spec;
    spec.type = emulator::kTypeRewritable;
    spec.capacity_code = 1;
    spec.disc_sectors = 131072;  // 256 MiB: room beyond the 64 MiB reserve
    for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(i);
    std::memcpy(spec.label.data(), "UDF-TEST-01", 11);
    ASSERT_EQ(emulator::Magazine::Create(temp_.path() / "magazine", spec), 0u);
    ASSERT_EQ(sim_->InsertMagazine(temp_.path() / "magazine"), 0u);
    sim_device_ = std::make_unique<emulator::SimScsiDevice>(sim_.get());
    device_ = std::make_unique<RecordingDevice>(sim_device_.get());
    volumes_ = std::make_unique<UdfVolumeAccess>(&clock_);
    maintenance_ = std::make_unique<UdfDiscMaintenance>(&clock_);
    UnitControllerOptions o;
    o.clock = &clock_;
    o.data_folder = temp_.path() / "data";
    o.volumes = volumes_.get();
    o.maintenance = maintenance_.get();
    o.notifier = &notifier_;
    o.language = Language::kEnglish;
    o.monitor_thread = false;  // no background ticks among the disc accesses
    controller_ = UnitController::Create(kRawVolume, device_.get(), o);
    ASSERT_NE(controller_, nullptr);
    UnitController* c = controller_.get();
    volumes_->Attach(kRawVolume, UnitSectorDeviceFactory(device_.get(), [c] {
                       return c->MagazineTypeCode() == kMagazineRecordable;
                     }));
  }
  void TearDown() override {
    controller_.reset();
    volumes_.reset();
    sim_.reset();
  }

  TempFolder temp_;
  platform::TestClock clock_;
  std::unique_ptr<emulator::SimUnit> sim_;
  std::unique_ptr<emulator::SimScsiDevice> sim_device_;
  std::unique_ptr<RecordingDevice> device_;
  std::unique_ptr<UdfVolumeAccess> volumes_;
  std::unique_ptr<UdfDiscMaintenance> maintenance_;
  RecordingNotifier notifier_;
  std::unique_ptr<UnitController> controller_;
};

TEST_F(UdfDiscTest, BlankMagazineGetsAVolumeAndKeepsItsFiles) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  ASSERT_TRUE(controller_->HasUdfVolume());
  EXPECT_EQ(controller_->IsVolumeReadOnly(), 0);
  uint64_t total = 0, free = 0;
  ASSERT_EQ(controller_->GetSpace(&total, &free), 1);
  EXPECT_EQ(total, 131072ull * 2048 - 0x150000);
  EXPECT_GT(free, 100ull << 20);

  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"STRUCT\\00\\CATALOG.DB", true, false, &f), 0u);
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
  uint32_t done = 0;
  ASSERT_EQ(controller_->Write(f.get(), data.data(), static_cast<uint32_t>(data.size()), &done), 0u);
  EXPECT_EQ(done, data.size());
  controller_->Close(&f);
  ASSERT_EQ(controller_->DismountVolume(), 0u);

  // Mounted afresh from the disc.
  EXPECT_TRUE(controller_->Exists(u"STRUCT"));
  uint64_t size = 0;
  ASSERT_TRUE(controller_->GetInfo(u"STRUCT\\00\\catalog.db", nullptr, nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(size, data.size());
  ASSERT_EQ(controller_->OpenExisting(u"STRUCT\\00\\CATALOG.DB", false, true, &f), 0u);
  std::string back(data.size(), '\0');
  ASSERT_EQ(controller_->Read(f.get(), back.data(), static_cast<uint32_t>(back.size()), &done), 0u);
  EXPECT_EQ(done, data.size());
  EXPECT_EQ(back, data);
  controller_->Close(&f);
}

TEST_F(UdfDiscTest, SearchFindsTheLastUsedDiscOnRealVolumes) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  ASSERT_EQ(controller_->CreateFolder(u"STRUCT"), 0u);
  for (uint8_t slot = 1; slot <= 2; ++slot) {
    ASSERT_EQ(controller_->LoadDisc(slot), 0u);  // above the prepared slot: formatted
    ASSERT_TRUE(controller_->HasUdfVolume());
    ASSERT_EQ(controller_->CreateFolder(u"STRUCT"), 0u);
  }
  ASSERT_EQ(controller_->LoadDisc(0), 0u);
  ASSERT_EQ(controller_->DismountVolume(), 0u);
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0xFC && c.cdb[10] == 0x1D && c.cdb[1] == 0x10) {
      CheckCondition(r, 5, 0x24, 0);
      return true;
    }
    return false;
  });
  device_->ClearCommands();
  uint8_t slot = 0, blank = 1;
  ASSERT_EQ(controller_->FindCurrentDisc(&slot, &blank), 1);
  EXPECT_EQ(slot, 2);
  EXPECT_EQ(blank, 0);
  EXPECT_EQ(device_->SelectedSlots(), (std::vector<int>{6, 3, 2}));
  // The probed blank discs were not prepared on the way.
  size_t formats = 0;
  for (const auto& c : device_->Commands()) formats += c[0] == 0x04;
  EXPECT_EQ(formats, 0u);
  EXPECT_EQ(controller_->HighestPreparedSlot(), 2);
}

TEST_F(UdfDiscTest, ReadFailureOfTheDriveLeavesAUnitLog) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"DATA.DAT", true, true, &f), 0u);
  std::string data(300000, 'k');
  uint32_t done = 0;
  ASSERT_EQ(controller_->Write(f.get(), data.data(), static_cast<uint32_t>(data.size()), &done), 0u);
  controller_->Close(&f);
  ASSERT_EQ(controller_->DismountVolume(), 0u);
  ASSERT_EQ(controller_->OpenExisting(u"DATA.DAT", false, true, &f), 0u);
  sim_->FailNext(0x28, 1, 3, 0x11, 0x00);  // unrecovered read error
  std::string back(data.size(), '\0');
  EXPECT_NE(controller_->Read(f.get(), back.data(), static_cast<uint32_t>(back.size()), &done), 0u);
  std::vector<platform::FindData> found;
  ASSERT_EQ(platform::FindFiles(controller_->LogsFolder(), u"LogGet_*.bin", &found), 0u);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_GT(found[0].size, 32u);  // the unit's log memory, every section
}

TEST_F(UdfDiscTest, LockedVolumeRefusesOpensUntilTheLastUnlock) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  DiscFile f;
  ASSERT_EQ(controller_->CreateNew(u"A.DAT", true, false, &f), 0u);
  // A lock is refused while a file is open.
  EXPECT_EQ(controller_->LockVolume(), platform::ERROR_ACCESS_DENIED);
  controller_->Close(&f);
  ASSERT_EQ(controller_->LockVolume(), 0u);
  ASSERT_EQ(controller_->LockVolume(), 0u);
  EXPECT_EQ(controller_->OpenExisting(u"A.DAT", false, false, &f), platform::ERROR_ACCESS_DENIED);
  controller_->UnlockVolume();
  EXPECT_EQ(controller_->OpenExisting(u"A.DAT", false, false, &f), platform::ERROR_ACCESS_DENIED);
  controller_->UnlockVolume();
  EXPECT_EQ(controller_->OpenExisting(u"A.DAT", false, false, &f), 0u);
}

TEST_F(UdfDiscTest, ChangedMediumDropsUnwrittenStateWithoutTouchingTheDisc) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  ASSERT_EQ(controller_->CreateFolder(u"KEPT"), 0u);
  ASSERT_EQ(controller_->FlushVolume(), 0u);
  ASSERT_EQ(controller_->CreateFolder(u"LOST"), 0u);  // only in memory
  device_->ClearCommands();
  volumes_->MediaChanged(u"\\\\?\\Volume{0b5e8a11-0000-4000-8000-000000000001}");
  for (const auto& c : device_->Commands()) EXPECT_NE(c[0], 0x2A) << "written after the change";
  EXPECT_TRUE(controller_->Exists(u"KEPT"));
  EXPECT_FALSE(controller_->Exists(u"LOST"));
}

TEST_F(UdfDiscTest, EjectDropsTheVolumeOfTheDiscThatLeft) {
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  ASSERT_TRUE(controller_->HasUdfVolume());
  ASSERT_EQ(controller_->EjectMagazine(), kResultDone);
  VolumeInformation info;
  EXPECT_NE(volumes_->GetVolumeInformation(kRawVolume, &info), 0u);
}

}  // namespace
}  // namespace kelva::unit::testing
