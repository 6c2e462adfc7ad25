#include "notifier/busy_watcher.h"

#include <gtest/gtest.h>

#include "platform/named_event.h"
#include "tests/notifier/fakes.h"

namespace kelva::notifier {
namespace {

using namespace kelva::notifier::testing;
using platform::NamedEvent;

class BusyWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-busy-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // The service's busy event, as the service creates it.
  std::unique_ptr<NamedEvent> ServiceEvent() {
    std::unique_ptr<NamedEvent> e;
    EXPECT_EQ(NamedEvent::Create(kBusyEventName, true, false, true, clock_, &e, nullptr, dir_), 0u);
    return e;
  }
  // Advances the clock one look at a time until pred holds.
  template <typename Pred>
  bool AfterLooks(Pred pred) {
    return Eventually([&] {
      if (pred()) return true;
      clock_.Advance(kBusyPollMs);
      return false;
    });
  }

  std::filesystem::path dir_;
  platform::TestClock clock_;
  FakeInhibitor inhibitor_;
};

TEST_F(BusyWatcherTest, HoldsShutdownAndSleepWhileTheEventIsSet) {
  auto event = ServiceEvent();
  BusyWatcher w(clock_, dir_, inhibitor_);
  w.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(inhibitor_.Held(), 0);

  event->Set();
  ASSERT_TRUE(AfterLooks([&] { return inhibitor_.Held() == 1; }));
  auto r = inhibitor_.Requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].what, "shutdown:sleep");
  EXPECT_EQ(r[0].why, "Access to the magazine......");
  EXPECT_EQ(r[0].mode, "block");
  EXPECT_EQ(r[0].who, "KelvaMsg");
  for (int i = 0; i < 3; ++i) clock_.Advance(kBusyPollMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(inhibitor_.Requests().size(), 1u);  // held once, not taken again at each look

  event->Reset();
  ASSERT_TRUE(AfterLooks([&] { return inhibitor_.Held() == 0; }));
  EXPECT_FALSE(w.holding());
  event->Set();
  ASSERT_TRUE(AfterLooks([&] { return inhibitor_.Held() == 1; }));

  // The service ends while busy: its event goes, and so does the lock.
  event.reset();
  ASSERT_TRUE(AfterLooks([&] { return inhibitor_.Held() == 0; }));
  w.Stop();
}

TEST_F(BusyWatcherTest, ARefusedLockIsTriedOncePerBusyPeriodAndStopReleases) {
  auto event = ServiceEvent();
  inhibitor_.Fail(platform::ERROR_SERVICE_NOT_ACTIVE);
  BusyWatcher w(clock_, dir_, inhibitor_);
  event->Set();
  w.Check();
  w.Check();
  EXPECT_EQ(inhibitor_.Requests().size(), 1u);
  EXPECT_FALSE(w.holding());
  event->Reset();
  w.Check();
  inhibitor_.Fail(0);
  event->Set();
  w.Check();
  EXPECT_EQ(inhibitor_.Requests().size(), 2u);
  EXPECT_TRUE(w.holding());
  w.Stop();
  EXPECT_EQ(inhibitor_.Held(), 0);
}

TEST_F(BusyWatcherTest, NoServiceNoLock) {
  BusyWatcher w(clock_, dir_, inhibitor_);
  w.Check();
  EXPECT_TRUE(inhibitor_.Requests().empty());
  // A flag file left by a service that died does not count.
  { auto event = ServiceEvent(); event->Set(); }
  w.Check();
  EXPECT_TRUE(inhibitor_.Requests().empty());
}

}  // namespace
}  // namespace kelva::notifier
