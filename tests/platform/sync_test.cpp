#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kelva::platform {
namespace {

TEST(Clock, TickCountWrapsAt32Bits) {
  TestClock clock(0xFFFFFFF0ull);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);
  clock.Advance(0x20);
  EXPECT_EQ(clock.TickCount(), 0x10u);
  EXPECT_EQ(clock.TickCount() - 0xFFFFFFF0u, 0x20u);  // differences survive the wrap
}

TEST(Clock, WallTimeFollowsAdvance) {
  TestClock clock;
  const FileTime t0 = clock.Now();
  clock.Advance(1500);
  EXPECT_EQ(clock.Now() - t0, 15000000u);
}

TEST(Clock, AutoAdvanceSleepReturnsAtOnce) {
  TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  const uint64_t start = clock.NowMs();
  for (int i = 0; i < 1000; ++i) clock.Sleep(10);
  EXPECT_EQ(clock.NowMs() - start, 10000u);
}

TEST(Clock, ScaledClockRunsFaster) {
  TestClock clock;
  clock.SetScale(100000);
  Event never(true, false, clock);
  EXPECT_FALSE(never.Wait(60000));  // a minute passes in well under a second
  clock.SetScale(0);
  const uint64_t frozen = clock.NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(clock.NowMs(), frozen);
}

TEST(Event, TimedWaitEndsOnlyWhenTheTestClockAdvances) {
  TestClock clock;
  Event ev(true, false, clock);
  std::atomic<int> result{-2};
  std::thread waiter([&] { result = ev.Wait(5000) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), -2);
  clock.Advance(4999);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), -2);
  clock.Advance(1);
  // A waiter that took its deadline late (a loaded machine) needs more time.
  for (int i = 0; result.load() == -2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (i >= 40) clock.Advance(1000);
  }
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(Event, ManualAndAutoReset) {
  Event manual(true, true);
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  Event automatic(false, true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));  // consumed
  EXPECT_FALSE(automatic.IsSet());
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  Event ev(false);
  std::atomic<int> woken{0};
  std::thread a([&] { if (ev.Wait(2000)) ++woken; });
  std::thread b([&] { if (ev.Wait(2000)) ++woken; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ev.Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(woken.load(), 1);
  ev.Set();
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(Event, WaitForAnyReportsLowestSignalledIndex) {
  Event stop(true), change(false);
  EXPECT_EQ(WaitForAny({&stop, &change}, 0), kWaitTimeout);
  change.Set();
  EXPECT_EQ(WaitForAny({&stop, &change}, 0), 1);
  EXPECT_EQ(WaitForAny({&stop, &change}, 0), kWaitTimeout);  // auto-reset consumed
  change.Set();
  stop.Set();
  EXPECT_EQ(WaitForAny({&stop, &change}, 0), 0);
  EXPECT_TRUE(change.IsSet());

  Event late(false);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    late.Set();
  });
  Event idle(true);
  EXPECT_EQ(WaitForAny({&idle, &late}, kInfinite), 1);
  setter.join();
}

// Each set reaches a thread waiting on that event, also when the waiters wait on
// overlapping sets of events and one of them takes a different event than the
// one that woke it; waits that ended leave nothing behind on their events.
TEST(Event, SetsReachWaitersOfOverlappingEventSets) {
  Event a(false), b(false), c(false);
  struct Case {
    std::vector<Event*> waits;
  };
  const std::vector<Case> cases = {{{&a, &b}}, {{&b}}, {{&b, &c}}, {{&c, &a, &b}}};
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (const Case& k : cases) {
      threads.emplace_back([&woken, &k] {
        if (WaitForAny(std::span<Event* const>(k.waits), 5000) != kWaitTimeout) ++woken;
      });
    }
    // One set per waiter: a and c go to whichever of their waiters take them
    // (never both to the waiter on c, a and b), then b to the two left.
    a.Set();
    c.Set();
    while (a.IsSet() || c.IsSet()) std::this_thread::yield();
    for (int i = 0; i < 2; ++i) {
      b.Set();
      while (b.IsSet()) std::this_thread::yield();
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(woken.load(), 4) << "round " << round;
    EXPECT_FALSE(a.IsSet() || b.IsSet() || c.IsSet()) << "round " << round;
  }
}

TEST(Semaphore, CountsAndRefusesPastMaximum) {
  TestClock clock;
  Semaphore sem(1, 2, clock);
  EXPECT_TRUE(sem.Wait(0));
  EXPECT_FALSE(sem.Wait(0));
  EXPECT_TRUE(sem.Release(2));
  EXPECT_FALSE(sem.Release(1));
  EXPECT_EQ(sem.Count(), 2);
  std::thread t([&] {
    for (int i = 0; i < 3; ++i) sem.Wait(kInfinite);
  });
  // Released only once the thread took both counts: a release at the maximum
  // would be refused and leave the thread waiting for good.
  while (sem.Count() != 0) std::this_thread::yield();
  EXPECT_TRUE(sem.Release(1));
  t.join();
  EXPECT_EQ(sem.Count(), 0);
}

TEST(CriticalSection, IsReentrant) {
  CriticalSection cs;
  cs.Enter();
  cs.Enter();
  std::atomic<bool> other{true};
  std::thread t([&] { other = cs.TryEnter(); if (other) cs.Leave(); });
  t.join();
  EXPECT_FALSE(other.load());
  cs.Leave();
  cs.Leave();
  std::thread t2([&] { other = cs.TryEnter(); if (other) cs.Leave(); });
  t2.join();
  EXPECT_TRUE(other.load());
}

}  // namespace
}  // namespace kelva::platform
