#include "platform/named_event.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/file.h"

namespace kelva::platform {
namespace {

constexpr const char* kName = "Global\\{3BF152CE-6D47-4b93-9A45-ADE1717CEB88}";

class NamedEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-event-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(NamedEventTest, StateIsSharedBetweenHandlesAndProcesses) {
  std::unique_ptr<NamedEvent> owner, other;
  bool existed = true;
  ASSERT_EQ(NamedEvent::Create(kName, true, false, true, RealClock(), &owner, &existed, dir_), 0u);
  EXPECT_FALSE(existed);
  struct stat st{};
  ASSERT_EQ(stat(NamedEventPath(kName, dir_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // every user's processes may open it
  ASSERT_EQ(NamedEvent::Open(kName, RealClock(), &other, dir_), 0u);
  owner->Set();
  EXPECT_TRUE(other->IsSet());
  other->Reset();
  EXPECT_FALSE(owner->IsSet());

  // Another process waits for the event and reports what it saw.
  const pid_t child = fork();
  if (child == 0) {
    std::unique_ptr<NamedEvent> ev;
    if (NamedEvent::Open(kName, RealClock(), &ev, dir_)) _exit(2);
    _exit(ev->Wait(10000) ? 0 : 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  owner->Set();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(NamedEventTest, AutoResetReleasesOneWaiterPerSet) {
  std::unique_ptr<NamedEvent> ev;
  ASSERT_EQ(NamedEvent::Create("auto", false, true, false, RealClock(), &ev, nullptr, dir_), 0u);
  EXPECT_TRUE(ev->Wait(0));
  EXPECT_FALSE(ev->Wait(0));  // consumed
  EXPECT_FALSE(ev->IsSet());
}

TEST_F(NamedEventTest, TimedWaitRunsOnTheClock) {
  TestClock clock;
  std::unique_ptr<NamedEvent> ev;
  ASSERT_EQ(NamedEvent::Create("timed", true, false, false, clock, &ev, nullptr, dir_), 0u);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = ev->Wait(60000) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(result.load(), -1);
  // Time moves until the wait ends: a waiter that took its deadline late (a
  // loaded machine) needs a second step.
  while (result.load() == -1) {
    clock.Advance(60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST_F(NamedEventTest, LastHolderRemovesTheEventAndStaleFilesStartAfresh) {
  std::unique_ptr<NamedEvent> a, b;
  ASSERT_EQ(NamedEvent::Create(kName, true, true, true, RealClock(), &a, nullptr, dir_), 0u);
  bool existed = false;
  ASSERT_EQ(NamedEvent::Create(kName, true, false, true, RealClock(), &b, &existed, dir_), 0u);
  EXPECT_TRUE(existed);
  EXPECT_TRUE(b->IsSet());  // an existing event keeps its state
  a.reset();
  EXPECT_TRUE(FileExists(NamedEventPath(kName, dir_)));
  b.reset();
  EXPECT_FALSE(FileExists(NamedEventPath(kName, dir_)));
  std::unique_ptr<NamedEvent> c;
  EXPECT_EQ(NamedEvent::Open(kName, RealClock(), &c, dir_), ERROR_FILE_NOT_FOUND);

  // A flag file that nobody holds (its process died while the event was set).
  ASSERT_EQ(WriteWholeFile(NamedEventPath(kName, dir_), std::string(4096, '\x01')), 0u);
  EXPECT_EQ(NamedEvent::Open(kName, RealClock(), &c, dir_), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(NamedEvent::Create(kName, true, false, true, RealClock(), &c, &existed, dir_), 0u);
  EXPECT_FALSE(existed);
  EXPECT_FALSE(c->IsSet());
}

}  // namespace
}  // namespace kelva::platform
