#include "service/core/service_app.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/file.h"
#include "platform/named_event.h"
#include "platform/sessions.h"
#include "service/core/explorer_setting.h"
#include "service/core/mount_point_watcher.h"
#include "tests/service/core/fakes.h"

namespace kelva::core {
namespace {

using namespace kelva::core::testing;

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-service-XXXXXX";
    dir_ = mkdtemp(tmpl);
    registry_ = std::make_unique<Registry>(dir_ / "registry");
    log_.clock = &clock_;
  }
  void TearDown() override {
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
    env.make_unit_manager = [this](IServiceCore&) { return std::make_unique<FakeUnitManager>(&log_); };
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
    return env;
  }

  // Starts the service on its own thread and waits until it runs.
  void Start(bool service_mode, ServiceEnvironment env) {
    service_ = std::make_unique<KelvaService>(std::move(env));
    KelvaService* s = service_.get();
    run_ = std::async(std::launch::async, [s, service_mode] { return service_mode ? s->ServiceMain() : s->RunConsole(); });
    ASSERT_TRUE(Eventually([&] { return s->running() && mount_.Arms() > 0; }));
  }
  int32_t Stop() {
    service_->ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr);
    return Finish();
  }
  int32_t Finish() {
    EXPECT_EQ(run_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return run_.get();
  }
  bool BusyEventExists() { return FileExists(NamedEventPath(kBusyEventName, dir_ / "run")); }

 public:  // the start-up failure table arranges these
  std::filesystem::path dir_;
  TestClock clock_;
  FakeServiceManager sm_;
  FakeConnector connector_;
  RecordingSink sink_;
  DeviceNotificationHub hub_;
  std::unique_ptr<Registry> registry_;
  FakeUnitManager::Log log_;
  FakeKeyNotifier::Shared mount_;

 protected:
  std::unique_ptr<KelvaService> service_;
  std::future<int32_t> run_;
};

// ---- start-up failures ----

struct StartupFailure {
  const char* name;
  std::function<void(ServiceTest*, ServiceEnvironment&)> arrange;
  int32_t code;
  int filter_stops;     // the filter service is stopped at clean-up when it was found
  bool control_closed;  // the service-closing message goes out in the clean-up
};

class StartupFailureTest : public ServiceTest, public ::testing::WithParamInterface<StartupFailure> {};

TEST_P(StartupFailureTest, GivesItsExitCodeAndCleansUpWhatExists) {
  const StartupFailure& f = GetParam();
  ServiceEnvironment env = Env();
  f.arrange(this, env);
  service_ = std::make_unique<KelvaService>(std::move(env));
  const int32_t code = service_->ServiceMain();
  EXPECT_EQ(code, f.code);
  // No RUNNING report; one STOPPED report carrying the code.
  const auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].current_state, uint32_t(SERVICE_STOPPED));
  EXPECT_EQ(reports[0].win32_exit_code, static_cast<uint32_t>(f.code));
  EXPECT_FALSE(connector_.IsOpen());
  EXPECT_EQ(sm_.stops, f.filter_stops);
  EXPECT_FALSE(BusyEventExists());
  EXPECT_EQ(hub_.RegistrationCount(), 0u);
  EXPECT_EQ(log_.Count("control stop"), 1);
  EXPECT_EQ(log_.Count("control closing"), f.control_closed ? 1 : 0);
  EXPECT_EQ(log_.Count("scan"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StartupFailureTest,
    ::testing::Values(
        StartupFailure{"Version",
                       [](ServiceTest*, ServiceEnvironment& e) { e.query_os_version = [](uint32_t*) { return false; }; },
                       10, 0, true},
        StartupFailure{"DataFolder",
                       [](ServiceTest*, ServiceEnvironment& e) {
                         e.query_common_app_data = [](std::filesystem::path* p) {
                           *p = "/x";
                           return static_cast<int32_t>(0x80070005);
                         };
                       },
                       10, 0, true},
        StartupFailure{"ComInit",
                       [](ServiceTest*, ServiceEnvironment& e) {
                         e.com_initialize = [] { return static_cast<int32_t>(0x80010106); };
                       },
                       static_cast<int32_t>(0x80010106), 0, false},
        StartupFailure{"ComSecurity",
                       [](ServiceTest*, ServiceEnvironment& e) {
                         e.com_initialize_security = [] { return static_cast<int32_t>(0x80010119); };
                       },
                       static_cast<int32_t>(0x80010119), 0, true},
        StartupFailure{"FilterServiceMissing",
                       [](ServiceTest* t, ServiceEnvironment&) { t->sm_.query_error = ERROR_SERVICE_DOES_NOT_EXIST; },
                       1060, 0, true},
        StartupFailure{"FilterServiceStartPending",
                       [](ServiceTest* t, ServiceEnvironment&) { t->sm_.state = SERVICE_START_PENDING; }, 1068, 1,
                       true},
        StartupFailure{"FilterServiceDoesNotStart",
                       [](ServiceTest* t, ServiceEnvironment&) { t->sm_.start_error = ERROR_SERVICE_DISABLED; }, 1068,
                       0, true},
        StartupFailure{"FilterPortMissing",
                       [](ServiceTest* t, ServiceEnvironment&) { t->connector_.fail = HResultFromWin32(2); },
                       static_cast<int32_t>(0x80070002), 1, true},
        StartupFailure{"BusyEvent",
                       [](ServiceTest* t, ServiceEnvironment& e) {
                         // The run folder is a file, so the busy event cannot be made.
                         WriteWholeFile(t->dir_ / "runfile", "");
                         e.run_dir = t->dir_ / "runfile";
                       },
                       static_cast<int32_t>(ERROR_ALREADY_EXISTS), 1, true},
        StartupFailure{"DeviceNotifications",
                       [](ServiceTest* t, ServiceEnvironment&) { t->hub_.FailRegistrations(ERROR_NOT_ENOUGH_MEMORY); },
                       static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY), 1, true}),
    [](const ::testing::TestParamInfo<StartupFailure>& info) { return std::string(info.param.name); });

TEST_F(ServiceTest, DataFolderFromAFolderQueryThatReportsEFail) {
  ServiceEnvironment env = Env();
  env.query_common_app_data = [this](std::filesystem::path* p) {
    *p = dir_ / "common";
    return E_FAIL;  // the folder may not exist yet; the path is still good
  };
  Start(true, std::move(env));
  EXPECT_EQ(service_->DataFolder(), dir_ / "common" / "Norve" / "KELVA");
  EXPECT_EQ(Stop(), 0);
}

// ---- the whole run ----

TEST_F(ServiceTest, RunAndStopInServiceMode) {
  Start(true, Env());
  EXPECT_EQ(connector_.port_name, "\\KELVAFilterPort");
  EXPECT_EQ(sm_.starts, 1);  // the filter was stopped, so the service started it
  EXPECT_TRUE(connector_.IsOpen());
  EXPECT_TRUE(BusyEventExists());
  EXPECT_EQ(hub_.RegistrationCount(), 1u);
  auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 1u);  // no START_PENDING: the first report is RUNNING
  EXPECT_EQ(reports[0].current_state, uint32_t(SERVICE_RUNNING));
  EXPECT_EQ(reports[0].service_type, 0x10u);
  EXPECT_EQ(reports[0].controls_accepted, 0x1C1u);
  EXPECT_EQ(reports[0].service_specific_exit_code, 0u);

  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr), NO_ERROR);
  reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].current_state, uint32_t(SERVICE_STOP_PENDING));
  EXPECT_EQ(reports[1].check_point, 0u);
  EXPECT_EQ(reports[1].wait_hint, 10000u);
  EXPECT_EQ(Finish(), 0);

  reports = sink_.Reports();
  EXPECT_EQ(reports.back().current_state, uint32_t(SERVICE_STOPPED));
  EXPECT_EQ(reports.back().win32_exit_code, 0u);
  EXPECT_EQ(log_.Names(), (std::vector<std::string>{"control start", "scan", "stop units", "control stop",
                                                     "stop units", "destroy", "control stop", "control closing"}));
  EXPECT_FALSE(connector_.IsOpen());
  EXPECT_EQ(sm_.stops, 1);
  EXPECT_EQ(hub_.RegistrationCount(), 0u);
  EXPECT_FALSE(BusyEventExists());
  EXPECT_EQ(mount_.event, nullptr);  // the watcher and its notifier are gone
}

TEST_F(ServiceTest, AcceptedControlsFollowTheSystemVersionAndARefusedReportIsRetried) {
  ServiceEnvironment env = Env();
  env.query_os_version = [](uint32_t* major) { return *major = 5, true; };
  Start(true, std::move(env));
  EXPECT_EQ(sink_.Reports()[0].controls_accepted, 0xC5u);
  EXPECT_EQ(Stop(), 0);

  sink_.reports.clear();
  sink_.refuse_preshutdown = true;
  service_.reset();
  Start(true, Env());
  auto reports = sink_.Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].controls_accepted, 0x1C1u);
  EXPECT_EQ(reports[1].controls_accepted, 0xC1u);
  EXPECT_EQ(reports[1].current_state, uint32_t(SERVICE_RUNNING));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, ControlHandlerTable) {
  Start(true, Env());
  size_t n = sink_.Count();
  auto ran = [&](const char* what) {
    // Every handled control but stop ends with a RUNNING report.
    const auto r = sink_.Reports();
    EXPECT_EQ(r.size(), n + 1) << what;
    if (r.size() == n + 1) {
      EXPECT_EQ(r.back().current_state, uint32_t(SERVICE_RUNNING)) << what;
      EXPECT_EQ(r.back().check_point, 0u) << what;
      EXPECT_EQ(r.back().wait_hint, 0u) << what;
    }
    n = r.size();
  };

  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr), NO_ERROR);
  ran("interrogate");
  EXPECT_EQ(service_->ServiceControlHandler(0x80, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
  EXPECT_EQ(sink_.Count(), n);  // no report for an unknown control

  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr), NO_ERROR);
  EXPECT_EQ(log_.Count("suspend"), 1);  // done before the handler returns
  ran("suspend");
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr), NO_ERROR);
  EXPECT_EQ(log_.Count("resume"), 1);
  ran("resume");
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, 10, nullptr), NO_ERROR);
  ran("other power event");

  DeviceBroadcast iface;
  iface.device_type = DBT_DEVTYP_DEVICEINTERFACE;
  iface.class_guid = kGuidDevinterfaceCdrom;
  iface.name = "/run/kelva/units/unit0";
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &iface), NO_ERROR);
  ran("arrival");
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE, &iface), NO_ERROR);
  ran("removal");
  EXPECT_TRUE(Eventually([&] { return log_.Count("arrival /run/kelva/units/unit0") == 1; }));
  EXPECT_TRUE(Eventually([&] { return log_.Count("removal /run/kelva/units/unit0") == 1; }));

  DeviceBroadcast handle;
  handle.device_type = DBT_DEVTYP_HANDLE;
  handle.handle = 7;
  handle.event_guid = kGuidIoMediaArrival;
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &handle), NO_ERROR);
  handle.event_guid = kGuidIoMediaRemoval;
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &handle), NO_ERROR);
  handle.event_guid = *Guid::Parse("{D07433C2-A98E-11D2-917A-00A0C9068FF3}");
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &handle), NO_ERROR);
  // Mismatched headers and other event types are ignored.
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &handle), NO_ERROR);
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_CUSTOMEVENT, &iface), NO_ERROR);
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, 0x8001, &iface), NO_ERROR);
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, nullptr), NO_ERROR);
  n = sink_.Count();
  EXPECT_TRUE(Eventually([&] { return log_.Count("media arrival 7") == 1 && log_.Count("media removal 7") == 1; }));

  // Device events reach the handler through the device-interface registration too.
  iface.name = "/run/kelva/units/unit1";
  hub_.Post(DBT_DEVICEARRIVAL, iface);
  EXPECT_TRUE(Eventually([&] { return log_.Count("arrival /run/kelva/units/unit1") == 1; }));
  n = sink_.Count();

  const std::string key = std::string("HKU\\alice\\") + kExplorerAdvancedKey;
  ASSERT_EQ(registry_->CreateKey(key), 0u);
  SessionNotification other{4};
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &other), NO_ERROR);
  ran("logon of an unknown session");
  SessionNotification logon{3};
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, 6, &logon), NO_ERROR);
  ran("session lock");
  uint32_t v = 1;
  EXPECT_EQ(registry_->QueryDword(key, "HideDrivesWithNoMedia", &v), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &logon), NO_ERROR);
  ran("logon");
  ASSERT_EQ(registry_->QueryDword(key, "HideDrivesWithNoMedia", &v), 0u);
  EXPECT_EQ(v, 0u);

  const auto before = log_.Names().size();
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(log_.Names().size(), before + 6);  // the stop sequence, nothing else
}

TEST_F(ServiceTest, ADeviceEventWithoutAThreadIsDropped) {
  ServiceEnvironment env = Env();
  env.start_event_thread = [](std::function<void()>) { return false; };
  Start(true, std::move(env));
  DeviceBroadcast iface;
  iface.device_type = DBT_DEVTYP_DEVICEINTERFACE;
  iface.class_guid = kGuidDevinterfaceCdrom;
  iface.name = "x";
  EXPECT_EQ(service_->ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, &iface), NO_ERROR);
  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(log_.Count("arrival x"), 0);
}

TEST_F(ServiceTest, ConsoleModeReportsNothingAndStopsOnceOnRepeatedCtrlC) {
  Start(false, Env());
  EXPECT_EQ(sink_.Count(), 0u);
  DeviceBroadcast iface;
  iface.device_type = DBT_DEVTYP_DEVICEINTERFACE;
  iface.class_guid = kGuidDevinterfaceCdrom;
  iface.name = "/dev/sr0";
  hub_.Post(DBT_DEVICEARRIVAL, iface);
  EXPECT_TRUE(Eventually([&] { return log_.Count("arrival /dev/sr0") == 1; }));
  service_->OnConsoleInterrupt();
  service_->OnConsoleInterrupt();
  EXPECT_EQ(Finish(), 0);
  service_->OnConsoleInterrupt();  // after the run: nothing to stop, no harm
  EXPECT_EQ(log_.Count("stop units"), 2);
  EXPECT_EQ(log_.Count("destroy"), 1);
  EXPECT_EQ(sink_.Count(), 0u);
}

TEST_F(ServiceTest, AnExceptionDuringTheRunLeadsToTheStopSequence) {
  log_.throw_on_scan = true;
  service_ = std::make_unique<KelvaService>(Env());
  EXPECT_EQ(service_->RunConsole(), 0);  // ends by itself, without a stop request
  EXPECT_EQ(log_.Names(), (std::vector<std::string>{"control start", "scan", "stop units", "control stop",
                                                     "stop units", "destroy", "control stop", "control closing"}));
}

TEST_F(ServiceTest, MountPointBurstGivesOneNotificationASecondAfterTheLastChange) {
  Start(true, Env());
  ASSERT_EQ(mount_.Arms(), 1);
  uint64_t last_change = 0;
  for (int t = 0; t <= 3000; t += 500) {
    if (t > 0) clock_.Advance(500);
    const int arms = mount_.Arms();
    last_change = clock_.NowMs();
    mount_.Fire();
    ASSERT_TRUE(Eventually([&] { return mount_.Arms() == arms + 1; }));  // seen and re-armed
  }
  clock_.Advance(999);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log_.Count("mount points"), 0);
  clock_.Advance(1);
  ASSERT_TRUE(Eventually([&] { return log_.Count("mount points") == 1; }));
  clock_.Advance(5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log_.Count("mount points"), 1);
  {
    std::lock_guard<std::mutex> g(log_.mu);
    for (auto& [what, when] : log_.calls)
      if (what == "mount points") {
        EXPECT_EQ(when, last_change + 1000);
      }
  }
  // A later single change is a burst of its own.
  const int arms = mount_.Arms();
  mount_.Fire();
  ASSERT_TRUE(Eventually([&] { return mount_.Arms() == arms + 1; }));
  clock_.Advance(1000);
  ASSERT_TRUE(Eventually([&] { return log_.Count("mount points") == 2; }));
  EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceTest, MountPointWatcherEndsWhenItCannotReArm) {
  mount_.fail_rearm = true;
  Start(true, Env());
  mount_.Fire();
  clock_.Advance(5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log_.Count("mount points"), 0);
  EXPECT_EQ(Stop(), 0);  // the run still stops normally
}

TEST_F(ServiceTest, StopPendingHeartbeatDuringASlowStop) {
  Start(true, Env());
  log_.hold_stop = true;
  service_->ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr);
  ASSERT_TRUE(Eventually([&] { return log_.Count("stop held") == 1; }));
  auto pending = [&] {
    std::vector<uint32_t> cps;
    for (const auto& r : sink_.Reports())
      if (r.current_state == SERVICE_STOP_PENDING) {
        EXPECT_EQ(r.wait_hint, 10000u);
        cps.push_back(r.check_point);
      }
    return cps;
  };
  clock_.Advance(4999);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pending(), std::vector<uint32_t>{0});
  clock_.Advance(1);
  ASSERT_TRUE(Eventually([&] { return pending().size() == 2; }));
  clock_.Advance(5000);
  ASSERT_TRUE(Eventually([&] { return pending().size() == 3; }));
  clock_.Advance(5000);
  ASSERT_TRUE(Eventually([&] { return pending().size() == 4; }));
  EXPECT_EQ(pending(), (std::vector<uint32_t>{0, 1, 2, 3}));
  log_.ReleaseStop();
  EXPECT_EQ(Finish(), 0);
  clock_.Advance(20000);
  EXPECT_EQ(pending().size(), 4u);  // the heartbeat ended with the stop
  EXPECT_EQ(sink_.Reports().back().current_state, uint32_t(SERVICE_STOPPED));
}

TEST_F(ServiceTest, FilterMessagesAndDeviceHandleRegistration) {
  Start(true, Env());
  const std::u16string name = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}\\";  // 49 characters
  service_->SendFilterMessage(1, name);
  service_->SendFilterMessage(0, u"short");
  const auto sent = connector_.Sent();
  ASSERT_EQ(sent.size(), 2u);
  ASSERT_EQ(sent[0].size(), 100u);
  EXPECT_EQ(sent[0][0], 1);
  EXPECT_EQ(sent[0][1], 0);
  EXPECT_EQ(sent[0][2], '\\');
  EXPECT_EQ(sent[0][2 + 2 * 47], '}');      // the 48th character is the last one sent
  EXPECT_EQ(sent[0].substr(98), std::string(2, '\0'));  // the trailing backslash is cut off
  EXPECT_EQ(sent[1][0], 0);
  EXPECT_EQ(sent[1].substr(2 + 10), std::string(88, '\0'));

  const NotificationToken token = service_->RegisterDeviceHandleNotification(42);
  EXPECT_NE(token, 0u);
  EXPECT_TRUE(hub_.IsHandleRegistered(42));
  service_->UnregisterDeviceNotification(token);
  EXPECT_FALSE(hub_.IsHandleRegistered(42));
  hub_.FailRegistrations(ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(service_->RegisterDeviceHandleNotification(43), 0u);
  hub_.FailRegistrations(0);
  EXPECT_EQ(Stop(), 0);
  service_->SendFilterMessage(1, name);  // no port any more: nothing happens
  EXPECT_EQ(connector_.Sent().size(), 2u);
}

// ---- busy signal ----

TEST(BusySignal, TwoBusyVolumesKeepTheEventUntilBothLeave) {
  char tmpl[] = "/tmp/kelva-busy-XXXXXX";
  const std::filesystem::path dir = mkdtemp(tmpl);
  {
    BusySignal busy;
    ASSERT_EQ(busy.Create(RealClock(), dir), 0u);
    std::unique_ptr<NamedEvent> seen;  // as the notifier opens it
    ASSERT_EQ(NamedEvent::Open(kBusyEventName, RealClock(), &seen, dir), 0u);
    EXPECT_FALSE(seen->IsSet());
    busy.EnterBusy();
    EXPECT_TRUE(seen->IsSet());
    busy.EnterBusy();
    busy.LeaveBusy();
    EXPECT_TRUE(seen->IsSet());
    busy.LeaveBusy();
    EXPECT_FALSE(seen->IsSet());
    busy.LeaveBusy();  // unmatched: ignored, the count does not go negative
    EXPECT_EQ(busy.count(), 0);
    busy.EnterBusy();
    EXPECT_TRUE(seen->IsSet());
    busy.LeaveBusy();
  }
  std::filesystem::remove_all(dir);
}

// ---- the filter connection's stop ----

class FilterCloseTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_.SetAutoAdvanceOnSleep(true); }
  TestClock clock_;
  FakeServiceManager sm_;
  FakeConnector connector_;
};

TEST_F(FilterCloseTest, PollingFollowsTheWaitHintWithinOneMinute) {
  struct Case {
    uint32_t wait_hint;
    int polls;
  };
  for (Case c : {Case{30000, 20}, Case{0, 60}, Case{500000, 6}}) {
    FakeServiceManager sm;
    sm.state = SERVICE_RUNNING;
    sm.wait_hint = c.wait_hint;
    sm.stops_after_queries = -1;  // never stops
    FilterConnection f(sm, connector_, clock_);
    ASSERT_EQ(f.Connect(), 0);
    EXPECT_EQ(sm.starts, 0);
    const uint64_t t0 = clock_.NowMs();
    const int before = sm.queries;
    f.Close();
    EXPECT_EQ(sm.stops, 1);
    EXPECT_EQ(sm.queries - before, 1 + c.polls) << c.wait_hint;
    EXPECT_EQ(clock_.NowMs() - t0, 60000u) << c.wait_hint;
    EXPECT_FALSE(f.connected());
  }
}

TEST_F(FilterCloseTest, AServiceAlreadyStoppingIsOnlyPolled) {
  sm_.state = SERVICE_RUNNING;
  sm_.wait_hint = 20000;
  FilterConnection f(sm_, connector_, clock_);
  ASSERT_EQ(f.Connect(), 0);
  sm_.state = SERVICE_STOP_PENDING;
  sm_.stops_after_queries = 3;
  const uint64_t t0 = clock_.NowMs();
  f.Close();
  EXPECT_EQ(sm_.stops, 0);
  EXPECT_EQ(clock_.NowMs() - t0, 3 * 2000u);  // reported stopped at the third poll
  f.Close();  // idempotent
  EXPECT_EQ(sm_.stops, 0);
}

// ---- Explorer drive setting ----

class ExplorerSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-explorer-XXXXXX";
    dir_ = mkdtemp(tmpl);
    reg_ = std::make_unique<Registry>(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Apply(uint32_t session = 1) {
    ApplyExplorerDriveSetting(*reg_, session, [](uint32_t s, std::string* u) {
      if (s != 1) return false;
      *u = "bob";
      return true;
    });
  }
  std::filesystem::path dir_;
  std::unique_ptr<Registry> reg_;
  const std::string key_ = std::string("HKEY_USERS\\bob\\") + kExplorerAdvancedKey;
};

TEST_F(ExplorerSettingTest, TurnsOffHidingUnlessHiddenFilesAreShown) {
  ASSERT_EQ(reg_->CreateKey(key_), 0u);
  Apply();
  uint32_t v = 9;
  ASSERT_EQ(reg_->QueryDword(key_, "HideDrivesWithNoMedia", &v), 0u);  // missing: written as 0
  EXPECT_EQ(v, 0u);
  ASSERT_EQ(reg_->SetDword(key_, "HideDrivesWithNoMedia", 1), 0u);
  ASSERT_EQ(reg_->SetDword(key_, "Hidden", 2), 0u);
  Apply();
  ASSERT_EQ(reg_->QueryDword(key_, "HideDrivesWithNoMedia", &v), 0u);
  EXPECT_EQ(v, 0u);
  ASSERT_EQ(reg_->SetDword(key_, "HideDrivesWithNoMedia", 1), 0u);
  ASSERT_EQ(reg_->SetDword(key_, "Hidden", 1), 0u);
  Apply();
  ASSERT_EQ(reg_->QueryDword(key_, "HideDrivesWithNoMedia", &v), 0u);
  EXPECT_EQ(v, 1u);  // hidden files shown: left alone
}

TEST_F(ExplorerSettingTest, MissingUserProfileOrKeyChangesNothing) {
  Apply(2);  // unknown session
  Apply();   // no profile
  EXPECT_EQ(reg_->OpenKey("HKEY_USERS\\bob"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(reg_->CreateKey("HKEY_USERS\\bob"), 0u);
  Apply();  // profile without the key
  EXPECT_EQ(reg_->OpenKey(key_), ERROR_FILE_NOT_FOUND);
}

// ---- sleep, wake-up and logon from the power and session watcher ----

// Hands the callbacks to the test, which plays logind.
class FakePowerWatcher : public PowerSessionWatcher {
 public:
  struct Shared {
    PowerSessionCallbacks callbacks;
    int starts = 0, stops = 0;
  };
  explicit FakePowerWatcher(Shared* s) : s_(s) {}
  void Start(PowerSessionCallbacks callbacks) override {
    s_->callbacks = std::move(callbacks);
    ++s_->starts;
  }
  void Stop() override {
    if (s_->callbacks.suspend) ++s_->stops;
    s_->callbacks = {};
  }

 private:
  Shared* s_;
};

TEST_F(ServiceTest, SleepWakeUpAndLogonComeFromThePowerWatcher) {
  FakePowerWatcher::Shared watcher;
  ServiceEnvironment env = Env();
  env.make_power_watcher = [&] { return std::make_unique<FakePowerWatcher>(&watcher); };
  Start(true, std::move(env));
  ASSERT_EQ(watcher.starts, 1);
  const PowerSessionCallbacks cb = watcher.callbacks;
  ASSERT_TRUE(cb.suspend && cb.resume && cb.logon);

  // The watcher lets the system sleep as soon as suspend returns: the units
  // must be quiet by then.
  cb.suspend();
  EXPECT_EQ(log_.Count("suspend"), 1);
  cb.resume();
  EXPECT_EQ(log_.Count("resume"), 1);
  const std::string key = std::string("HKU\\alice\\") + kExplorerAdvancedKey;
  ASSERT_EQ(registry_->CreateKey(key), 0u);
  cb.logon(3);
  uint32_t v = 1;
  ASSERT_EQ(registry_->QueryDword(key, "HideDrivesWithNoMedia", &v), 0u);
  EXPECT_EQ(v, 0u);

  EXPECT_EQ(Stop(), 0);
  EXPECT_EQ(watcher.stops, 1);
}

TEST_F(ServiceTest, NoPowerWatcherWhenTheStartFailsBeforeIt) {
  FakePowerWatcher::Shared watcher;
  ServiceEnvironment env = Env();
  env.make_power_watcher = [&] { return std::make_unique<FakePowerWatcher>(&watcher); };
  hub_.FailRegistrations(ERROR_NOT_ENOUGH_MEMORY);
  service_ = std::make_unique<KelvaService>(std::move(env));
  EXPECT_EQ(service_->ServiceMain(), static_cast<int32_t>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(watcher.starts, 0);
}

}  // namespace
}  // namespace kelva::core
