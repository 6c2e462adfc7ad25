// The unit monitor's ticks, the status-change alert and the health checks, on
// the simulated unit. The tests run the ticks themselves (no monitor thread)
// except where the thread itself is under test.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "monitor_support.h"
#include "tests/eventually.h"

namespace kelva::unit::testing {
namespace {

using kelva::test::Eventually;

constexpr const char16_t* kTemperatureText = u"[E1010]:Internal temperature anomaly has been detected.";
constexpr const char16_t* kUpdatingText = u"Updating file management information Please wait.";
constexpr const char16_t* kReadingText = u"Now reading";

class MonitorTest : public ControllerTest {
 protected:
  void StartMounted(const MagazineSetup& setup = {.used_discs = 1}) {
    StartUnit(setup);
    controller_->SetVolumeWorker(&worker_);
    Mount();
    ASSERT_TRUE(controller_->MagazinePresent());
  }
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) controller_->MonitorTick();
  }
  // Waits (real time, bounded) until done() holds.
  void TearDown() override {
    if (controller_) controller_->SetVolumeWorker(nullptr);
    ControllerTest::TearDown();
  }

  MonitorWorker worker_;
};

// ---- temperature ----------------------------------------------------------------

TEST_F(MonitorTest, TemperatureAtItsLimitIsReportedOnceUntilTheMagazineLeaves) {
  StartMounted();
  sim_->SetTemperature(59, 60);
  Tick(30);  // ticks 1 .. 30: one environment read, below the limit
  EXPECT_EQ(VendorCount(*device_, 0xFC, 0x21), 1u);
  EXPECT_EQ(HistoryCount(*controller_, kTemperatureText), 0);

  sim_->SetTemperature(60, 60);
  device_->ClearCommands();
  Tick(29);  // ticks 31 .. 59 do not read the environment
  EXPECT_EQ(VendorCount(*device_, 0xFC, 0x21), 0u);
  EXPECT_EQ(HistoryCount(*controller_, kTemperatureText), 0);
  Tick();  // tick 60
  EXPECT_EQ(HistoryCount(*controller_, kTemperatureText), 1);
  EXPECT_TRUE(controller_->TemperatureReported());
  EXPECT_EQ(worker_.force_unmounts, 1);
  EXPECT_EQ(CommandCount(*device_, {0x1B, 0, 0, 0, 0x00}), 1u);  // the drive was stopped

  Tick(90);
  EXPECT_EQ(HistoryCount(*controller_, kTemperatureText), 1);
  EXPECT_EQ(worker_.force_unmounts, 1);

  // A new magazine after an eject is watched again.
  ASSERT_EQ(controller_->EjectMagazine(), 0u);
  EXPECT_FALSE(controller_->TemperatureReported());
  ASSERT_EQ(sim_->InsertMagazine(temp_.path() / "magazine"), 0u);
  Mount();
  Tick(30);
  EXPECT_EQ(HistoryCount(*controller_, kTemperatureText), 2);
}

// ---- notices ------------------------------------------------------------------------

TEST_F(MonitorTest, ClosingNoticeComesFifteenTicksAfterTheFlagThenEveryThirty) {
  StartMounted();
  const size_t before = notifier_.messages.size();
  controller_->SetClosingNotice(true);
  Tick(15);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 0);
  Tick();  // t + 15
  ASSERT_EQ(MessageCount(notifier_, kUpdatingText), 1);
  EXPECT_EQ(notifier_.messages.back()[0], kNotifyBalloon);
  Tick(29);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 1);
  Tick();  // t + 45
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 2);
  EXPECT_EQ(notifier_.messages.size(), before + 2);
  EXPECT_EQ(HistoryCount(*controller_, kUpdatingText), 0);  // notices are not recorded

  // Cleared and set again: the first notice is 15 ticks away once more.
  controller_->SetClosingNotice(false);
  Tick(7);
  controller_->SetClosingNotice(true);
  Tick(15);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 2);
  Tick();
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 3);
}

TEST_F(MonitorTest, SecondClosingAndReadingNoticesKeepTheirOwnPeriods) {
  StartMounted();
  controller_->SetReadingNotice(true);
  controller_->SetSecondClosingNotice(true);
  Tick(10);
  EXPECT_EQ(MessageCount(notifier_, kReadingText), 0);
  Tick();  // t + 10
  EXPECT_EQ(MessageCount(notifier_, kReadingText), 1);
  Tick(19);
  EXPECT_EQ(MessageCount(notifier_, kReadingText), 1);
  Tick();  // t + 30
  EXPECT_EQ(MessageCount(notifier_, kReadingText), 2);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 1);  // the second closing notice at t + 15
  controller_->SetReadingNotice(false);
  Tick(45);  // up to t + 75
  EXPECT_EQ(MessageCount(notifier_, kReadingText), 2);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 3);  // t + 45 and t + 75
}

TEST_F(MonitorTest, TicksWaitWhileTheUnitIsNotReady) {
  StartMounted();
  controller_->SetClosingNotice(true);
  controller_->SetReady(false);
  device_->ClearCommands();
  Tick(100);
  EXPECT_TRUE(device_->Commands().empty());
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 0);
  controller_->SetReady(true);
  Tick(16);
  EXPECT_EQ(MessageCount(notifier_, kUpdatingText), 1);
}

// ---- release button ----------------------------------------------------------------

TEST_F(MonitorTest, ReleaseRequestUnmountsAndEjectsOnce) {
  StartMounted();
  std::promise<void> go;
  std::shared_future<void> gate = go.get_future().share();
  worker_.on_unmount_and_eject = [this, gate] {
    gate.wait();
    controller_->EjectMagazine();
  };
  sim_->RequestRelease();
  Tick();
  ASSERT_TRUE(Eventually([&] { return worker_.unmount_and_ejects == 1; }));
  Tick(3);  // the run is still going: no second one
  EXPECT_EQ(worker_.unmount_and_ejects, 1);
  go.set_value();
  ASSERT_TRUE(Eventually([&] { return !controller_->MagazinePresent() && !sim_->HasMagazine(); }));
  Tick(5);
  EXPECT_EQ(worker_.unmount_and_ejects, 1);
}

TEST_F(MonitorTest, TheMonitorThreadTicksOnceASecondOfTheClock) {
  monitor_thread_ = true;
  StartMounted();
  worker_.on_unmount_and_eject = [this] { controller_->EjectMagazine(); };
  sim_->RequestRelease();
  clock_.Advance(1000);
  ASSERT_TRUE(Eventually([&] { return worker_.unmount_and_ejects == 1; }));
  ASSERT_TRUE(Eventually([&] { return !sim_->HasMagazine(); }));
  controller_->Destroy();  // joins the monitor and the release run
  EXPECT_EQ(worker_.unmount_and_ejects, 1);
}

// ---- without a magazine: idle checks ---------------------------------------------

class IdleMonitorTest : public MonitorTest {
 protected:
  // A unit whose mechanism status reads byte0/byte1 (or fails with the sense).
  void AnswerMechanism(std::vector<uint8_t> bytes, uint8_t fail_key = 0, uint8_t fail_asc = 0) {
    device_->SetHook([=](const platform::ScsiCommand& c, platform::ScsiReply* r) {
      if (c.cdb[0] != 0xBD) return false;
      if (fail_key != 0)
        CheckCondition(r, fail_key, fail_asc, 0);
      else
        AnswerData(c, r, bytes);
      return true;
    });
  }
};

TEST_F(IdleMonitorTest, MechanismFaultsAreReportedEveryTenthTick) {
  StartUnit();  // a magazine in the unit but not mounted
  AnswerMechanism({}, 4, 0x40);
  Tick(9);
  EXPECT_EQ(HistoryCount(*controller_, u"[E1000]:Detected a failure in the unit."), 0);
  Tick();
  EXPECT_EQ(HistoryCount(*controller_, u"[E1000]:Detected a failure in the unit."), 1);

  AnswerMechanism({0x80, 0x00});  // fault bit: the magazine did not load
  Tick(10);
  EXPECT_EQ(HistoryCount(*controller_, u"[W2010]:Magazine loading failed."), 1);
  Tick(10);  // the same condition within a minute stays silent
  EXPECT_EQ(HistoryCount(*controller_, u"[W2010]:Magazine loading failed."), 1);
}

TEST_F(IdleMonitorTest, UnreadableMediumWhileIdleIsAReadFailure) {
  StartUnit();
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0xBD) {
      AnswerData(c, r, {0x00, 0x00});  // idle, changer at rest
      return true;
    }
    if (c.cdb[0] == 0x00) {
      CheckCondition(r, 2, 0x30, 0x02);
      return true;
    }
    return false;
  });
  Tick(10);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3030]:Read operation failed."), 1);
}

TEST_F(IdleMonitorTest, PendingEventWithAnEmptyDriveIsAnInstallationChange) {
  StartUnit();
  sim_->PullMagazine();  // no magazine, door closed: 02/3A/01
  sim_->RaiseEvent(0x000301);
  Tick(10);
  EXPECT_EQ(HistoryCount(*controller_,
                         u"[E3060]:Operation aborted because changes in the installation state were "
                         u"detected. Insert the magazine again."),
            1);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3030]:Read operation failed."), 0);
}

// ---- RFID health ----------------------------------------------------------------------

TEST_F(MonitorTest, RfidCounterAtItsLimitAtIdentificationMakesTheMagazineNotWritable) {
  StartUnit({.used_discs = 1});
  // The limit carries flag bits above its 29 bits of value.
  ASSERT_TRUE(sim_->SetCounter(0x11, 0, 0x3C, 4, 500));
  ASSERT_TRUE(sim_->SetCounter(0x11, 2, 0x3C, 4, 0xE00001F4));
  Mount();
  EXPECT_TRUE(controller_->RfidAnomaly());
  EXPECT_FALSE(controller_->RfidHealthDone());
  EXPECT_EQ(controller_->IsWritable(), 0);
  uint8_t not_writable = 0;
  ASSERT_EQ(controller_->GetMagazineInfo(nullptr, &not_writable, nullptr), 1);
  EXPECT_EQ(not_writable, 0xFF);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3040]:RFID tag is anomalous."), 1);
}

class RfidMonitorTest : public IdleMonitorTest {
 protected:
  // TEST UNIT READY answers with a hardware error (sense key 4), which makes
  // the idle monitor look at the RFID reader; page reads can be failed.
  void HardwareErrorUnit(bool fail_page2 = false) {
    device_->SetHook([fail_page2](const platform::ScsiCommand& c, platform::ScsiReply* r) {
      if (c.cdb[0] == 0x00) {
        CheckCondition(r, 4, 0x44, 0);
        return true;
      }
      if (fail_page2 && IsVendor(c, 0x52) && (c.cdb[2] & 0x3F) == 2) {
        CheckCondition(r, 5, 0x24, 0);
        return true;
      }
      return false;
    });
  }
  size_t CounterReads() { return VendorCount(*device_, 0xFC, 0x52); }
};

TEST_F(RfidMonitorTest, IdleCheckAtTheLimitReportsAndMarksTheHealthDone) {
  StartUnit();
  ASSERT_TRUE(sim_->SetCounter(0x11, 0, 0x3C, 4, 7));
  ASSERT_TRUE(sim_->SetCounter(0x11, 2, 0x3C, 4, 7));
  HardwareErrorUnit();
  Tick(10);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3040]:RFID tag is anomalous."), 1);
  EXPECT_TRUE(controller_->RfidHealthDone());
  EXPECT_FALSE(controller_->RfidAnomaly());  // only identification makes it not writable
  device_->ClearCommands();
  Tick(20);
  EXPECT_EQ(CounterReads(), 0u);  // done: not read again
}

TEST_F(RfidMonitorTest, IdleCheckReportsTheReaderCommunicationCounter) {
  StartUnit();
  ASSERT_TRUE(sim_->SetCounter(2, 0, 0x2C, 2, 0x0201));
  ASSERT_TRUE(sim_->SetCounter(2, 2, 0x2C, 2, 0xE200));  // limit 0x0200 below the flag bits
  HardwareErrorUnit();
  Tick(10);
  EXPECT_EQ(HistoryCount(*controller_, u"[E2020]:Communication with the RFID module in the unit failed."), 1);
  EXPECT_TRUE(controller_->RfidHealthDone());
}

TEST_F(RfidMonitorTest, FailedPageReadLeavesTheHealthCheckToBeRepeated) {
  StartUnit();
  HardwareErrorUnit(/*fail_page2=*/true);
  Tick(10);
  EXPECT_FALSE(controller_->RfidHealthDone());
  device_->ClearCommands();
  Tick(10);
  EXPECT_GT(CounterReads(), 0u);
}

// ---- recording health --------------------------------------------------------------

TEST_F(MonitorTest, RecordingHealthComparesAgainstTheLimitsLowBits) {
  StartMounted();
  // Drive and changer counters one above limits whose high bits are flags:
  // read whole, the limits would hide every one of them.
  ASSERT_TRUE(sim_->SetCounter(1, 0, 0x26, 2, 0x0101));
  ASSERT_TRUE(sim_->SetCounter(1, 2, 0x26, 2, 0xE100));
  ASSERT_TRUE(sim_->SetCounter(2, 0, 0x1A, 2, 0x1001));
  ASSERT_TRUE(sim_->SetCounter(2, 2, 0x1A, 2, 0x3000));
  ASSERT_TRUE(sim_->SetCounter(2, 0, 0x2A, 2, 0x0041));
  ASSERT_TRUE(sim_->SetCounter(2, 2, 0x2A, 2, 0x8040));
  ASSERT_EQ(controller_->UnloadCurrentDisc(controller_->CurrentSlot(), true), 1);
  EXPECT_EQ(HistoryCount(*controller_,
                         u"[W2011]:Detected that the recording quality is not suitable for storage."),
            1);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3000]:Detected an error on the drive."), 1);
  EXPECT_EQ(HistoryCount(*controller_, u"[E1020]:Detected an error during software processing in the unit."), 1);
}

TEST_F(MonitorTest, RecordingHealthAtTheLimitOrWithoutTheFlagReportsNothing) {
  StartMounted();
  ASSERT_TRUE(sim_->SetCounter(1, 0, 0x22, 2, 0x0100));
  ASSERT_TRUE(sim_->SetCounter(1, 2, 0x22, 2, 0xE100));  // equal to the limit
  ASSERT_TRUE(sim_->SetCounter(2, 0, 0x1A, 2, 0x0101));
  ASSERT_TRUE(sim_->SetCounter(2, 2, 0x1A, 2, 0x0100));
  // Page 2 cannot be read: its comparisons are skipped.
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (IsVendor(c, 0x52) && (c.cdb[2] & 0x3F) == 2) {
      CheckCondition(r, 5, 0x24, 0);
      return true;
    }
    return false;
  });
  ASSERT_EQ(controller_->UnloadCurrentDisc(controller_->CurrentSlot(), true), 1);
  EXPECT_EQ(controller_->History().count, 0u);
  device_->SetHook(nullptr);
  ASSERT_EQ(controller_->UnloadCurrentDisc(controller_->CurrentSlot(), false), 1);
  EXPECT_EQ(controller_->History().count, 0u);
}

// ---- status-change alert ------------------------------------------------------------

constexpr const char16_t* kAlertText =
    u"[E3060]Operation aborted because a change in the unit status has been detected. Return the unit "
    u"to its original position.";

TEST_F(MonitorTest, DroppedDiscWithoutAnActiveConsoleSessionIsLeftAlone) {
  console_session_active_ = false;
  StartMounted();
  sim_->MarkDiscAway();
  device_->ClearCommands();
  Tick();
  EXPECT_TRUE(worker_.events.empty());
  EXPECT_EQ(MessageCount(notifier_, kAlertText), 0);
  EXPECT_EQ(A6Count(*device_, 3), 0u);
  EXPECT_FALSE(controller_->AlertInProgress());
  HostMemo memo;
  ASSERT_TRUE(ReadHostMemo(device_.get(), &memo));
  EXPECT_NE(memo.memo[0], 0x87);
}

TEST_F(MonitorTest, DroppedDiscAlertsTheUserAndPutsTheDiscBack) {
  StartMounted({.current_disc = 2, .used_discs = 3});
  ASSERT_EQ(controller_->CurrentSlot(), 2);
  // The volume is still mounted for two checks; an eject asked meanwhile is refused.
  int mounted_left = 2;
  uint32_t eject_result = 99;
  worker_.mounted = [&] {
    if (eject_result == 99) eject_result = controller_->EjectMagazine();
    return mounted_left-- > 0;
  };
  // The user keeps the message box open for three polls: nothing is loaded
  // before it is closed.
  int open_polls = 3;
  size_t loads_while_open = 0;
  notifier_.dialog_state = [&] {
    loads_while_open += A6Count(*device_, 3);
    return open_polls-- > 0 ? DialogWait::State::kOpen : DialogWait::State::kClosed;
  };
  sim_->MarkDiscAway();
  ASSERT_NE(TestUnitReady(device_.get()), 0u);
  device_->ClearCommands();
  Tick();
  EXPECT_EQ(open_polls, -1);
  EXPECT_EQ(loads_while_open, 0u);

  ASSERT_EQ(worker_.events.size(), 1u);
  EXPECT_EQ(worker_.events[0], (std::vector<uint8_t>{0, 0x87, 'E'}));
  HostMemo memo;
  ASSERT_TRUE(ReadHostMemo(device_.get(), &memo));
  EXPECT_EQ(memo.memo[0], 0x87);
  ASSERT_EQ(MessageCount(notifier_, kAlertText), 1);
  for (const auto& m : notifier_.messages) {
    if (Utf16At(m, 136) != kAlertText) continue;
    EXPECT_EQ(m[0], kNotifyMessageBox);
    EXPECT_EQ(m[4], 0x10);
    EXPECT_EQ(Utf16At(m, 8), u"MERIDANSTORIX Driver Software");
  }
  EXPECT_EQ(eject_result, kResultEjectRefused);
  EXPECT_EQ(worker_.mounted_checks, 3);

  // Reloaded under the exchange bracket, and nothing failed.
  EXPECT_EQ(A6Count(*device_, 3, 2), 1u);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2, 1), 1u);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2, 0), 1u);
  EXPECT_EQ(TestUnitReady(device_.get()), 0u);
  EXPECT_EQ(controller_->History().count, 0u);
  EXPECT_FALSE(controller_->AlertInProgress());
  EXPECT_TRUE(sim_->HasMagazine());
}

TEST_F(MonitorTest, DroppedDiscThatCannotBeReloadedIsARecoveryFailure) {
  StartMounted();
  device_->SetHook([](const platform::ScsiCommand& c, platform::ScsiReply* r) {
    if (c.cdb[0] == 0xA6 && (c.cdb[4] & 3) == 3) {
      CheckCondition(r, 4, 0x44, 0);
      return true;
    }
    return false;
  });
  sim_->MarkDiscAway();
  device_->ClearCommands();
  Tick();
  EXPECT_EQ(A6Count(*device_, 3), 4u);
  EXPECT_EQ(HistoryCount(*controller_, u"[E3070]:Recovery failed."), 1);
  EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2, 0), 1u);  // the bracket is closed all the same
}

// An alert nobody can close (the notifier is not there, or leaves while the
// box is open) leaves the disc out: nothing is loaded and nothing reported.
TEST_F(MonitorTest, AnAlertThatNoNotifierShowsLeavesTheDiscOut) {
  struct Case {
    const char* name;
    bool listening;
    std::vector<DialogWait::State> polls;
  };
  const Case cases[] = {
      {"no notifier", false, {}},
      {"notifier left", true, {DialogWait::State::kOpen, DialogWait::State::kLost}},
  };
  StartMounted();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    notifier_.listening = c.listening;
    size_t next = 0;
    notifier_.dialog_state = [&] { return c.polls.at(next++); };
    sim_->MarkDiscAway();
    device_->ClearCommands();
    Tick();
    EXPECT_EQ(next, c.polls.size());
    EXPECT_EQ(A6Count(*device_, 3), 0u);
    EXPECT_EQ(VendorCount(*device_, 0xFB, 0xA2), 0u);
    EXPECT_EQ(controller_->History().count, 0u);
    EXPECT_FALSE(controller_->AlertInProgress());
  }
}

// The reload's wait for the disc ends when the unit is unplugged or the
// controller stops, instead of polling for ten minutes while the removal or
// the service stop waits for it; neither is a recovery failure.
class ReloadWaitTest : public MonitorTest {
 protected:
  // Drops the disc and runs the alert; the polls after the reload either
  // find the unit unplugged or see it becoming ready until the fifth stops
  // the controller. Returns the number of polls.
  int DropAndReload(bool unplug) {
    StartMounted();
    int polls = 0;
    device_->SetHook([&](const platform::ScsiCommand& c, platform::ScsiReply* r) {
      if (c.cdb[0] != 0x00 || A6Count(*device_, 3) == 0) return false;
      ++polls;
      if (unplug) {
        sim_->Unplug();
        return false;
      }
      if (polls == 5) controller_->StopThreads();
      CheckCondition(r, 2, 0x04, 0x01);
      return true;
    });
    sim_->MarkDiscAway();
    device_->ClearCommands();
    Tick();
    device_->SetHook(nullptr);
    EXPECT_EQ(A6Count(*device_, 3), 1u);
    EXPECT_EQ(controller_->History().count, 0u);
    EXPECT_FALSE(controller_->AlertInProgress());
    return polls;
  }
};

TEST_F(ReloadWaitTest, AnUnpluggedUnitEndsTheWaitAtOnce) {
  EXPECT_EQ(DropAndReload(true), 3);  // one poll: three transport attempts
}

TEST_F(ReloadWaitTest, AStopRequestEndsTheWait) { EXPECT_EQ(DropAndReload(false), 5); }

TEST_F(MonitorTest, AReleaseThatDoesNotEjectIsNotRepeatedEveryTick) {
  StartMounted();
  sim_->RequestRelease();
  Tick(5);
  ASSERT_TRUE(Eventually([&] { return worker_.unmount_and_ejects == 1; }));
  Tick(5);
  EXPECT_EQ(worker_.unmount_and_ejects, 1);
  EXPECT_TRUE(sim_->HasMagazine());
}

}  // namespace
}  // namespace kelva::unit::testing
