// Suspend and resume of a unit on the simulated unit; the clock's sleeps
// return at once, so the long waits (20 s, 180 s, 120 s) cost no real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "monitor_support.h"
#include "platform/file.h"

namespace kelva::unit::testing {
namespace {

class PowerTest : public ControllerTest {
 protected:
  void StartMounted(const MagazineSetup& setup) {
    StartUnit(setup);
    controller_->SetVolumeWorker(&worker_);
    Mount();
    ASSERT_TRUE(controller_->MagazinePresent());
  }
  void TearDown() override {
    if (controller_) controller_->SetVolumeWorker(nullptr);
    ControllerTest::TearDown();
  }
  void PutKind1Files() {
    for (uint8_t s = 0; s < kSlotCount; ++s) {
      const fs::path p = controller_->DiscInfoPath(s, 1);
      fs::create_directories(p.parent_path());
      ASSERT_EQ(platform::WriteWholeFile(p, std::string(12, 'x')), 0u);
    }
  }
  int Kind1Files() {
    int n = 0;
    for (uint8_t s = 0; s < kSlotCount; ++s) n += fs::exists(controller_->DiscInfoPath(s, 1));
    return n;
  }
  uint8_t ModePageByte2() {
    uint8_t cdb[12] = {0x5A, 0x08, 0x00, 0, 0, 0, 0, 0, 12};
    uint8_t page[12] = {};
    EXPECT_EQ(Send(device_.get(), cdb, kDirectionFromUnit, page, sizeof page, 60), 0u);
    return page[10];
  }

  MonitorWorker worker_;
};

TEST_F(PowerTest, SuspendWithoutAMagazineOnlyStopsTheOperations) {
  StartUnit();
  device_->ClearCommands();
  controller_->Suspend();
  EXPECT_FALSE(controller_->IsReady());
  EXPECT_TRUE(device_->Commands().empty());
  EXPECT_FALSE(controller_->SuspendedWithMagazine());
  // Resume wakes the unit and reloads nothing.
  controller_->Resume();
  EXPECT_TRUE(controller_->IsReady());
  EXPECT_EQ(A6Count(*device_, 3), 0u);
  EXPECT_GE(VendorCount(*device_, 0xFB, 0xA3, 0), 1u);
  EXPECT_TRUE(sim_->HasMagazine());
}

TEST_F(PowerTest, SuspendUnloadsRestsAndPutsTheCurrentDiscBack) {
  StartMounted({.current_disc = 2, .used_discs = 3});
  device_->ClearCommands();
  controller_->Suspend();
  EXPECT_FALSE(controller_->IsReady());
  EXPECT_TRUE(controller_->SuspendedWithMagazine());
  EXPECT_EQ(CommandCount(*device_, {0x1E}), 1u);
  EXPECT_EQ(A6Count(*device_, 2, -1, 0x80), 1u);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA3, 1), 1u);
  EXPECT_EQ(A6Count(*device_, 0, 2, 0x40), 1u);
  // The rest comes before the disc goes back.
  const auto cmds = device_->Commands();
  size_t rest = 0, select = 0;
  for (size_t i = 0; i < cmds.size(); ++i) {
    if (cmds[i][0] == 0xFB && cmds[i][10] == 0xA3) rest = i;
    if (cmds[i][0] == 0xA6 && (cmds[i][4] & 3) == 0) select = i;
  }
  EXPECT_LT(rest, select);
}

TEST_F(PowerTest, ResumeReloadsTheMagazinesCurrentDisc) {
  StartMounted({.current_disc = 2, .used_discs = 3});
  controller_->Suspend();
  PutKind1Files();
  ASSERT_TRUE(WriteConfig(controller_->ConfigPath(), UnitConfig{0x00, 1, 0, 0, 0, 0, 0, 0}));
  device_->ClearCommands();
  controller_->Resume();

  EXPECT_TRUE(controller_->IsReady());
  EXPECT_FALSE(controller_->MagazinePresent());   // the volume worker identifies it again
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_EQ(Kind1Files(), 0);
  EXPECT_EQ(A6Count(*device_, 2, -1, 0x80), 1u);
  EXPECT_EQ(A6Count(*device_, 3, 2), 1u);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2, 1), 1u);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2, 0), 1u);
  EXPECT_EQ(ModePageByte2(), 0x00);  // the verification mode of Config.bin
  EXPECT_TRUE(sim_->HasMagazine());
  EXPECT_EQ(TestUnitReady(device_.get()), 0u);
  uint8_t slot = 0;
  ASSERT_EQ(MechanismSlotQuery(device_.get(), &slot), 0);
  EXPECT_EQ(slot, 2);

  // The magazine mounts again afterwards.
  Mount();
  EXPECT_EQ(controller_->CurrentSlot(), 2);
}

TEST_F(PowerTest, ResumeWaitsForTheMountedVolumeBeforeReloading) {
  StartMounted({.used_discs = 1});
  controller_->Suspend();
  int mounted_left = 3;
  worker_.mounted = [&] { return mounted_left-- > 0; };
  const uint64_t start = clock_.NowMs();
  controller_->Resume();
  EXPECT_EQ(worker_.mounted_checks, 4);
  EXPECT_GE(clock_.NowMs() - start, 3000u);
  EXPECT_EQ(TestUnitReady(device_.get()), 0u);
}

TEST_F(PowerTest, ResumeWhileADiscChangeRunsWaitsThenEjects) {
  StartMounted({.used_discs = 4});
  // The disc change stops inside its select command until released.
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<bool> inside{false};
  device_->SetHook([&, gate](const platform::ScsiCommand& c, platform::ScsiReply*) {
    if (c.cdb[0] == 0xA6 && (c.cdb[11] & 0x40) && !inside.exchange(true)) gate.wait();
    return false;
  });
  std::thread change([this] { controller_->LoadDisc(3); });
  for (int i = 0; i < 5000 && !inside; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(inside);
  ASSERT_EQ(controller_->BusyCount(), 1);

  const uint64_t start = clock_.NowMs();
  controller_->Suspend();  // waits for the running operation, then leaves it alone
  EXPECT_GE(clock_.NowMs() - start, 20'000u);
  EXPECT_TRUE(controller_->SuspendedWithMagazine());
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA3, 1), 0u);

  const uint64_t resume_start = clock_.NowMs();
  controller_->Resume();
  EXPECT_GE(clock_.NowMs() - resume_start, 180'000u);
  EXPECT_FALSE(sim_->HasMagazine());  // ejected rather than left half-loaded
  EXPECT_TRUE(controller_->IsReady());
  EXPECT_FALSE(controller_->MagazinePresent());

  release.set_value();
  change.join();
}

TEST_F(PowerTest, ResumeEjectsWhenTheReloadedDiscNeverComesReady) {
  StartMounted({.used_discs = 1});
  controller_->Suspend();
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0xA6 && (c.cdb[4] & 3) == 3) {
      CheckCondition(r, 2, 0x04, 0x01);
      return true;
    }
    return false;
  });
  device_->ClearCommands();
  controller_->Resume();
  EXPECT_EQ(A6Count(*device_, 3), 5u);
  EXPECT_FALSE(sim_->HasMagazine());
  EXPECT_TRUE(controller_->IsReady());
}

TEST_F(PowerTest, ASecondSleepWithoutTheMagazineDoesNotLookForIt) {
  StartMounted({.used_discs = 1});
  controller_->Suspend();
  controller_->Resume();
  ASSERT_TRUE(controller_->SuspendedWithMagazine());
  ASSERT_EQ(sim_->EjectMagazine(true), 0u);  // taken out while the system was awake
  controller_->Suspend();
  EXPECT_FALSE(controller_->SuspendedWithMagazine());
  device_->ClearCommands();
  controller_->Resume();
  EXPECT_EQ(A6Count(*device_, 2), 0u);
  EXPECT_EQ(A6Count(*device_, 3), 0u);
  EXPECT_TRUE(controller_->IsReady());
}

}  // namespace
}  // namespace kelva::unit::testing
