// Raising conditions against a unit: repeat guard, history ring and file, and
// the messages to the volume worker, the unit's host memo and the notifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "controller_fixture.h"
#include "monitor_support.h"
#include "platform/mailslot.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace kelva::unit::testing {
namespace {

class ConditionsTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    StartUnit();
  }
  uint32_t Recorded() { return controller_->History().count; }
};

TEST_F(ConditionsTest, RepeatGuardRestartsItsWindowOnEverySuppression) {
  EXPECT_EQ(controller_->Report(kCondWriteFailed, true), 1);
  clock_.Advance(30'000);
  EXPECT_EQ(controller_->Report(kCondWriteFailed, true), 0);
  clock_.Advance(45'000);  // 75 s after the first, 45 s after the suppressed one
  EXPECT_EQ(controller_->Report(kCondWriteFailed, true), 0);
  EXPECT_EQ(Recorded(), 1u);
  clock_.Advance(60'000);
  EXPECT_EQ(controller_->Report(kCondWriteFailed, true), 1);
  EXPECT_EQ(Recorded(), 2u);
  // Another condition in between ends the repetition.
  EXPECT_EQ(controller_->Report(kCondReadFailed, true), 1);
  EXPECT_EQ(controller_->Report(kCondWriteFailed, true), 1);
  EXPECT_EQ(Recorded(), 4u);
}

TEST_F(ConditionsTest, UnguardedConditionsAreAllRecorded) {
  EXPECT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  EXPECT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  EXPECT_EQ(Recorded(), 2u);
  EXPECT_EQ(controller_->Report(32, true), 0);
  EXPECT_EQ(controller_->Report(0xFFFFFFFF, true), 0);
  EXPECT_EQ(Recorded(), 2u);
}

TEST_F(ConditionsTest, HundredAndFirstReportOverwritesTheOldest) {
  for (int i = 0; i < 100; ++i) ASSERT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  ASSERT_EQ(controller_->Report(kCondEjectFailed, true), 1);
  const ErrorHistory h = controller_->History();
  EXPECT_EQ(h.count, 100u);
  EXPECT_EQ(h.newest, 0u);
  EXPECT_EQ(h.entries[0].Text(), u"[E2000]:Magazine eject failed.");
  EXPECT_EQ(h.entries[1].Text(), u"[E2010]:Media exchange failed.");
  // The file on disk is the same ring.
  ErrorHistory on_disk;
  ASSERT_TRUE(ReadErrorHistory(controller_->ErrorHistoryPath(), &on_disk));
  EXPECT_EQ(SerializeErrorHistory(on_disk), SerializeErrorHistory(h));
}

TEST_F(ConditionsTest, EntryTimeIsTheReportTimeInUtc) {
  platform::SystemTime t;
  t.wYear = 2026; t.wMonth = 12; t.wDay = 9; t.wHour = 8; t.wMinute = 1; t.wSecond = 2;
  platform::FileTime ft = 0;
  ASSERT_TRUE(platform::SystemTimeToFileTime(t, &ft));
  clock_.SetWallTime(ft);
  ASSERT_EQ(controller_->Report(kCondFormatFailed, false), 1);
  const ErrorHistory history = controller_->History();
  const ErrorEntry& e = history.entries[0];
  EXPECT_EQ(e.time.wYear, 2026);
  EXPECT_EQ(e.time.wHour, 8);
  EXPECT_EQ(e.time.wSecond, 2);
  EXPECT_EQ(e.time.wDayOfWeek, 3);  // a Wednesday
  EXPECT_EQ(e.Text(), u"Format failed.");
}

TEST_F(ConditionsTest, NotifierWorkerAndMemoAreTold) {
  RecordingWorker worker;
  controller_->SetVolumeWorker(&worker);
  ASSERT_EQ(controller_->Report(kCondEjectFailed, true), 1);
  ASSERT_EQ(notifier_.messages.size(), 1u);
  const auto& m = notifier_.messages[0];
  ASSERT_EQ(m.size(), 648u);
  EXPECT_EQ(m[0], 1);
  EXPECT_EQ(m[4], 0x10);
  EXPECT_EQ(Utf16At(m, 8), u"MERIDANSTORIX Driver Software");
  EXPECT_EQ(Utf16At(m, 136), u"[E2000]\nMagazine eject failed.");
  ASSERT_EQ(worker.events.size(), 1u);
  EXPECT_EQ(worker.events[0], (std::vector<uint8_t>{0, 0x80, 'E'}));
  HostMemo memo;
  ASSERT_TRUE(ReadHostMemo(device_.get(), &memo));
  EXPECT_EQ(memo.memo[0], 0x80);

  // A row without the memo flag leaves the memo alone; a notice is a balloon.
  ASSERT_EQ(controller_->SendUserMessage(kCondNowReading, false), 1);
  ASSERT_TRUE(ReadHostMemo(device_.get(), &memo));
  EXPECT_EQ(memo.memo[0], 0x80);
  EXPECT_EQ(notifier_.messages.back()[0], 0);
  EXPECT_EQ(notifier_.messages.back()[4], 1);
  EXPECT_EQ(Utf16At(notifier_.messages.back(), 136), u"Now reading");
  EXPECT_EQ(worker.events.back()[1], 0x80 + 29);
  EXPECT_EQ(Recorded(), 1u);  // SendUserMessage alone records nothing
  controller_->SetVolumeWorker(nullptr);
}

TEST_F(ConditionsTest, MissingNotifierStillRecords) {
  notifier_.listening = false;
  EXPECT_EQ(controller_->SendUserMessage(kCondWriteProtected, false), 0);
  EXPECT_EQ(controller_->Report(kCondWriteProtected, false), 1);
  EXPECT_EQ(controller_->History().entries[0].Text(), u"Magazine is write-protected.");
  EXPECT_EQ(controller_->SendMediaNotice(u"E:\\", true), 0);
  notifier_.listening = true;
  EXPECT_EQ(controller_->SendMediaNotice(u"E:\\", false), 1);
  EXPECT_EQ(notifier_.messages.back()[0], 0x11);
  EXPECT_EQ(Utf16At(notifier_.messages.back(), 8), u"E:\\");
}

TEST_F(ConditionsTest, FailedHistoryWriteKeepsTheMemoryAndRewritesLater) {
  // A folder where the file should be makes the write fail.
  const fs::path path = controller_->ErrorHistoryPath();
  fs::create_directories(path);
  EXPECT_EQ(controller_->Report(kCondExchangeFailed, true), 0);
  EXPECT_EQ(Recorded(), 1u);
  EXPECT_EQ(notifier_.messages.size(), 1u);
  fs::remove(path);
  EXPECT_EQ(controller_->Report(kCondExchangeFailed, true), 1);
  ErrorHistory on_disk;
  ASSERT_TRUE(ReadErrorHistory(path, &on_disk));
  EXPECT_EQ(on_disk.count, 2u);
}

}  // namespace
}  // namespace kelva::unit::testing

namespace kelva::unit::testing {
namespace {

TEST(NotifierMailslot, DefaultChannelDeliversWholeMessages) {
  TempFolder run;
  setenv("KELVA_RUN_DIR", run.path().c_str(), 1);
  NotifierChannel& channel = DefaultNotifierChannel();
  const NotifyMessage message = BuildConditionMessage(kCondReadFailed, true, Language::kEnglish);
  // Nobody listens yet: the message is dropped.
  EXPECT_NE(channel.Deliver(message.data(), kNotifyMessageSize), 0u);
  std::unique_ptr<platform::MailslotServer> server;
  ASSERT_EQ(platform::MailslotServer::Create(kNotifierMailslot, true, platform::RealClock(), &server,
                                            platform::UserRunDir()),
            0u);
  ASSERT_EQ(channel.Deliver(message.data(), kNotifyMessageSize), 0u);
  EXPECT_EQ(SendMediaNotice(channel, u"F:\\", true), 1);
  std::vector<uint8_t> got(1024);
  uint32_t done = 0;
  ASSERT_EQ(server->Read(got.data(), static_cast<uint32_t>(got.size()), &done, 1000), 0u);
  ASSERT_EQ(done, 648u);
  EXPECT_TRUE(std::equal(message.begin(), message.end(), got.begin()));
  ASSERT_EQ(server->Read(got.data(), static_cast<uint32_t>(got.size()), &done, 1000), 0u);
  EXPECT_EQ(done, 648u);
  EXPECT_EQ(got[0], 0x10);
  server.reset();
  unsetenv("KELVA_RUN_DIR");
}

// A dialog goes out with its number in bytes 1..3 and is followed through the
// named event of that number: open until the notifier sets it, lost when the
// notifier goes first. The rest of the message is sent as built.
TEST(NotifierMailslot, DialogsAreFollowedUntilClosedOrLost) {
  TempFolder run;
  setenv("KELVA_RUN_DIR", run.path().c_str(), 1);
  NotifierChannel& channel = DefaultNotifierChannel();
  const NotifyMessage message = BuildConditionMessage(kCondStatusChangeAborted, true, Language::kEnglish);
  std::unique_ptr<DialogWait> dialog;
  EXPECT_EQ(channel.DeliverDialog(message.data(), kNotifyMessageSize, &dialog), platform::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(channel.Listening());

  std::unique_ptr<platform::MailslotServer> server;
  ASSERT_EQ(platform::MailslotServer::Create(kNotifierMailslot, true, platform::RealClock(), &server,
                                            platform::UserRunDir()),
            0u);
  EXPECT_TRUE(channel.Listening());
  uint32_t numbers[2] = {};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(channel.DeliverDialog(message.data(), kNotifyMessageSize, &dialog), 0u);
    std::vector<uint8_t> got(1024);
    uint32_t done = 0;
    ASSERT_EQ(server->Read(got.data(), static_cast<uint32_t>(got.size()), &done, 1000), 0u);
    ASSERT_EQ(done, 648u);
    numbers[round] = got[1] | got[2] << 8 | got[3] << 16;
    EXPECT_NE(numbers[round], 0u);
    EXPECT_EQ(got[0], message[0]);
    EXPECT_TRUE(std::equal(message.begin() + 4, message.end(), got.begin() + 4));
    EXPECT_EQ(dialog->Poll(), DialogWait::State::kOpen);
    if (round == 0) {
      // What the notifier does when the user closed the box.
      char name[80];
      std::snprintf(name, sizeof name, "%s%06X", kDialogClosedEventPrefix, numbers[round]);
      std::unique_ptr<platform::NamedEvent> event;
      ASSERT_EQ(platform::NamedEvent::Open(name, platform::RealClock(), &event), 0u);
      event->Set();
      EXPECT_EQ(dialog->Poll(), DialogWait::State::kClosed);
    } else {
      server.reset();
      EXPECT_EQ(dialog->Poll(), DialogWait::State::kLost);
    }
  }
  EXPECT_NE(numbers[0], numbers[1]);
  unsetenv("KELVA_RUN_DIR");
}

}  // namespace
}  // namespace kelva::unit::testing
