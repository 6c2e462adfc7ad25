// Sleep, wake-up and logon as the service receives them from its power and
// session watcher.
#include <gtest/gtest.h>

#include <future>

#include "platform/logind.h"
#include "platform/sessions.h"
#include "service/core/explorer_setting.h"
#include "service/core/service_app.h"
#include "tests/service/core/fakes.h"

namespace kelva::core {
namespace {

using namespace kelva::core::testing;

// Hands the callbacks to the test, which plays logind.
class FakeWatcher : public PowerSessionWatcher {
 public:
  struct Shared {
    std::mutex mu;
    PowerSessionCallbacks callbacks;
    int starts = 0, stops = 0;
    std::vector<std::string>* order = nullptr;
  };
  explicit FakeWatcher(Shared* s) : s_(s) {}
  ~FakeWatcher() override { Stop(); }
  void Start(PowerSessionCallbacks callbacks) override {
    std::lock_guard<std::mutex> g(s_->mu);
    s_->callbacks = std::move(callbacks);
    ++s_->starts;
    started_ = true;
  }
  void Stop() override {
    if (!started_) return;
    started_ = false;
    std::lock_guard<std::mutex> g(s_->mu);
    ++s_->stops;
    s_->callbacks = {};
  }

 private:
  Shared* s_;
  bool started_ = false;
};

// A unit manager whose suspend waits until the test lets it finish.
class SlowSuspendUnits : public FakeUnitManager {
 public:
  SlowSuspendUnits(Log* log, std::shared_future<void> release) : FakeUnitManager(log), log_(log), release_(release) {}
  void SuspendAll() override {
    log_->Add("suspend begins");
    release_.wait();
    log_->Add("suspend");
  }

 private:
  Log* log_;
  std::shared_future<void> release_;
};

class PowerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-power-XXXXXX";
    dir_ = mkdtemp(tmpl);
    registry_ = std::make_unique<Registry>(dir_ / "registry");
    log_.clock = &clock_;
  }
  void TearDown() override {
    release_.set_value();
    if (run_.valid()) {
      if (service_) service_->RequestStop();
      run_.wait();
    }
    service_.reset();
    std::filesystem::remove_all(dir_);
  }

  ServiceEnvironment Env() {
    ServiceEnvironment env;
    env.clock = &clock_;
    env.service_manager = &sm_;
    env.filter_connector = &connector_;
    env.status_sink = &sink_;
    env.device_notifications = &hub_;
    env.registry = registry_.get();
    env.run_dir = dir_ / "run";
    env.make_unit_manager = [this](IServiceCore&) {
      return std::make_unique<SlowSuspendUnits>(&log_, release_.get_future().share());
    };
    env.make_control_server = [this] { return std::make_unique<FakeControlServer>(&log_); };
    env.query_common_app_data = [this](std::filesystem::path* p) {
      *p = dir_ / "data";
      return S_OK;
    };
    env.active_console_session = [] { return kNoSession; };
    env.session_user = [](uint32_t session, std::string* user) {
      if (session != 3) return false;
      *user = "alice";
      return true;
    };
    env.open_mount_notifier = [this](std::unique_ptr<KeyChangeNotifier>* out) {
      out->reset(new FakeKeyNotifier(&mount_));
      return ERROR_SUCCESS;
    };
    env.make_power_watcher = [this] { return std::make_unique<FakeWatcher>(&watcher_); };
    return env;
  }

  void Start(ServiceEnvironment env) {
    service_ = std::make_unique<KelvaService>(std::move(env));
    KelvaService* s = service_.get();
    run_ = std::async(std::launch::async, [s] { return s->ServiceMain(); });
    ASSERT_TRUE(Eventually([&] { return s->running() && log_.Count("scan") == 1; }));
  }
  int32_t Stop() {
    service_->ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr);
    EXPECT_EQ(run_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return run_.get();
  }
  PowerSessionCallbacks Callbacks() {
    std::lock_guard<std::mutex> g(watcher_.mu);
    return watcher_.callbacks;
  }

  std::filesystem::path dir_;
  TestClock clock_;
  FakeServiceManager sm_;
  FakeConnector connector_;
  RecordingSink sink_;
  DeviceNotificationHub hub_;
  std::unique_ptr<Registry> registry_;
  FakeUnitManager::Log log_;
  FakeKeyNotifier::Shared mount_;
  FakeWatcher::Shared watcher_;
  std::promise<void> release_;
  std::unique_ptr<KelvaService> service_;
  std::future<int32_t> run_;
};

TEST_F(PowerSessionTest, SleepWaitsForTheUnitsAndWakeUpAndLogonArrive) {
  Start(Env());
  EXPECT_EQ(watcher_.starts, 1);
  PowerSessionCallbacks cb = Callbacks();
  ASSERT_TRUE(cb.suspend && cb.resume && cb.logon);

  // The watcher lets the system sleep when suspend returns, so it must not
  // return before the units are quiet.
  auto sleeping = std::async(std::launch::async, [&] { cb.suspend(); });
  ASSERT_TRUE(Eventually([&] { return log_.Count("suspend begins") == 1; }));
  EXPECT_EQ(sleeping.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release_.set_value();
  release_ = std::promise<void>();  // TearDown sets it again
  ASSERT_EQ(sleeping.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(log_.Count("suspend"), 1);

  cb.resume();
  EXPECT_EQ(log_.Count("resume"), 1);

  const std::string key = std::string("HKU\\alice\\") + kExplorerAdvancedKey;
  ASSERT_EQ(registry_->CreateKey(key), 0u);
  uint32_t v = 1;
  cb.logon(4);  // nobody known: nothing written
  EXPECT_EQ(registry_->QueryDword(key, "HideDrivesWithNoMedia", &v), ERROR_FILE_NOT_FOUND);
  cb.logon(3);
  ASSERT_EQ(registry_->QueryDword(key, "HideDrivesWithNoMedia", &v), 0u);
  EXPECT_EQ(v, 0u);
  // Each event ends, as the control handler does, with a RUNNING report.
  EXPECT_EQ(sink_.Reports().back().current_state, SERVICE_RUNNING);

  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(watcher_.stops, 1);
  EXPECT_FALSE(Callbacks().suspend);
}

TEST_F(PowerSessionTest, NotStartedWhenTheStartFailsEarlier) {
  hub_.FailRegistrations(ERROR_NOT_ENOUGH_MEMORY);
  service_ = std::make_unique<KelvaService>(Env());
  EXPECT_EQ(service_->ServiceMain(), static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(watcher_.starts, 0);
}

TEST(SessionIdTest, OnlyPlainNumbersAreSessions) {
  EXPECT_EQ(NumericSessionId("2"), 2u);
  EXPECT_EQ(NumericSessionId("123456789"), 123456789u);
  EXPECT_EQ(NumericSessionId("c1"), kNoSession);
  EXPECT_EQ(NumericSessionId(""), kNoSession);
  EXPECT_EQ(NumericSessionId("12a"), kNoSession);
  EXPECT_EQ(NumericSessionId("1234567890"), kNoSession);  // would not fit
}

}  // namespace
}  // namespace kelva::core
