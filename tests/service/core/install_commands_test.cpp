// The installation commands in this process: the systemd backend on a
// temporary root, a wrapper that scripts how services stop, the test clock, a
// fake host installer and prepared version answers.
#include "service/core/install_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "service/core/command_line.h"

namespace kelva::core {
namespace {

using namespace kelva::platform;
namespace fs = std::filesystem;

// A clock whose sleeps pass at once and are recorded.
class SleepRecordingClock : public TestClock {
 public:
  SleepRecordingClock() { SetAutoAdvanceOnSleep(true); }
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    TestClock::Sleep(ms);
  }
  std::vector<uint32_t> sleeps;
};

// The real backend, with running services and their stop played by a script.
class ScriptedStops : public ServiceManagerWrapper {
 public:
  using ServiceManagerWrapper::ServiceManagerWrapper;
  Win32Error QueryStatus(std::string_view service, ServiceStatus* st) override {
    if (Win32Error e = ServiceManagerWrapper::QueryStatus(service, st)) return e;
    if (++queries == fail_query_at) return ERROR_INVALID_HANDLE;
    if (stopped_at_query && queries >= stopped_at_query) state = SERVICE_STOPPED;
    st->current_state = state;
    st->wait_hint = wait_hint;
    return 0;
  }
  Win32Error Stop(std::string_view, ServiceStatus* st) override {
    ++stops;
    if (stop_error) return stop_error;
    state = SERVICE_STOP_PENDING;
    st->current_state = state;
    st->wait_hint = wait_hint;
    return 0;
  }
  uint32_t state = SERVICE_STOPPED;
  uint32_t wait_hint = 0;
  int stopped_at_query = 0;  // the first query that finds it stopped, 0: never
  int fail_query_at = 0;     // the query that fails, 0: none
  Win32Error stop_error = 0;
  int queries = 0, stops = 0;
};

class FakeHostInstaller : public HostInstaller {
 public:
  Win32Error Install(std::string* message, bool* reboot) override { return Answer(message, reboot); }
  Win32Error Uninstall(std::string* message, bool* reboot) override { return Answer(message, reboot); }
  Win32Error Answer(std::string* message, bool* reboot) {
    *message = text;
    *reboot = reboot_needed;
    return error;
  }
  Win32Error error = 0;
  std::string text;
  bool reboot_needed = false;
};

class InstallCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-install-XXXXXX";
    dir_ = mkdtemp(tmpl);
    fs::create_directories(dir_ / "bin");
    for (const char* program : {"kelva", "kelvaflt"}) {
      ASSERT_EQ(WriteWholeFile(dir_ / "bin" / program, "#!/bin/sh\n"), 0u);
      fs::permissions(dir_ / "bin" / program, fs::perms(0755));
    }
    registry_ = std::make_unique<Registry>(dir_ / "registry");
    systemd_ = std::make_unique<SystemdServiceManager>(dir_ / "root", dir_ / "registry");
    services_ = std::make_unique<ScriptedStops>(systemd_.get());
    env_.clock = &clock_;
    env_.service_manager = services_.get();
    env_.registry = registry_.get();
    env_.host_installer = &host_;
    env_.program_path = [this](fs::path* p) {
      *p = dir_ / "bin/kelva";
      return ERROR_SUCCESS;
    };
    env_.ensure_access_group = [this](bool* created) {
      *created = false;
      return group_error_;
    };
    env_.print = [this](std::string_view text) { out_ += text; };
    hooks_.install = BindInstallCommands(env_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  bool Installed(const char* unit) { return fs::exists(dir_ / "root/etc/systemd/system" / unit); }
  int32_t Run(const char* arg) {
    out_.clear();
    return KelvaMain({arg}, hooks_);
  }

  fs::path dir_;
  SleepRecordingClock clock_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<SystemdServiceManager> systemd_;
  std::unique_ptr<ScriptedStops> services_;
  FakeHostInstaller host_;
  Win32Error group_error_ = 0;
  InstallEnvironment env_;
  CommandLineHooks hooks_;
  std::string out_;
};

struct StopCase {
  const char* name;
  bool filter;                // UninstallFilter, else UninstallService
  uint32_t state;             // the state the first query finds
  uint32_t wait_hint;
  int stopped_at_query;       // 0: never
  int fail_query_at;
  Win32Error stop_error;
  bool ok;
  int stops;                      // stop controls sent
  std::vector<uint32_t> sleeps;   // the first sleeps (all of them when ok)
  uint64_t min_elapsed_ms;        // for a time-out: the limit that was passed
};

TEST_F(InstallCommandsTest, UninstallStopsPollsOnTheClockAndDeletes) {
  const StopCase cases[] = {
      {"stopped at once", false, SERVICE_STOPPED, 0, 0, 0, 0, true, 0, {}, 0},
      {"hint 0 sleeps 1000", false, SERVICE_RUNNING, 0, 3, 0, 0, true, 1, {1000, 1000}, 0},
      {"hint 200000 sleeps 10000", false, SERVICE_RUNNING, 200000, 2, 0, 0, true, 1, {10000}, 0},
      {"hint 30000 sleeps 3000", true, SERVICE_RUNNING, 30000, 2, 0, 0, true, 1, {3000}, 0},
      {"already stopping: no control", false, SERVICE_STOP_PENDING, 0, 3, 0, 0, true, 0, {1000, 1000}, 0},
      {"stuck service", false, SERVICE_RUNNING, 0, 0, 0, 0, false, 1, {1000, 1000}, 3600000},
      {"stuck filter", true, SERVICE_STOP_PENDING, 0, 0, 0, 0, false, 0, {1000, 1000}, 60000},
      {"refused stop", false, SERVICE_RUNNING, 0, 0, 0, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, false, 1, {}, 0},
      {"stopped meanwhile", true, SERVICE_RUNNING, 0, 0, 0, ERROR_SERVICE_NOT_ACTIVE, true, 1, {}, 0},
      {"failed query", true, SERVICE_RUNNING, 0, 0, 3, 0, false, 1, {1000, 1000}, 0},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(InstallFilter(env_));
    ASSERT_TRUE(InstallService(env_));
    services_->state = c.state;
    services_->wait_hint = c.wait_hint;
    services_->stopped_at_query = c.stopped_at_query;
    services_->fail_query_at = c.fail_query_at;
    services_->stop_error = c.stop_error;
    services_->queries = services_->stops = 0;
    clock_.sleeps.clear();
    const uint64_t start = clock_.NowMs();
    const char* unit = c.filter ? "kelvaflt.service" : "kelva.service";
    EXPECT_EQ(c.filter ? UninstallFilter(env_) : UninstallService(env_), c.ok);
    EXPECT_EQ(services_->stops, c.stops);
    if (c.ok) {
      EXPECT_EQ(clock_.sleeps, c.sleeps);
    } else {
      ASSERT_GE(clock_.sleeps.size(), c.sleeps.size());
      EXPECT_EQ(std::vector<uint32_t>(clock_.sleeps.begin(), clock_.sleeps.begin() + c.sleeps.size()), c.sleeps);
    }
    const uint64_t elapsed = clock_.NowMs() - start;
    if (c.min_elapsed_ms) {
      // Given up only once the limit has passed, at the first query after it.
      EXPECT_GT(elapsed, c.min_elapsed_ms);
      EXPECT_LE(elapsed, c.min_elapsed_ms + 1000);
    }
    EXPECT_EQ(Installed(unit), !c.ok);
    // Start over from nothing.
    services_->state = SERVICE_STOPPED;
    services_->fail_query_at = 0;
    UninstallService(env_);
    UninstallFilter(env_);
    ASSERT_FALSE(Installed("kelva.service"));
    ASSERT_FALSE(Installed("kelvaflt.service"));
  }
}

TEST_F(InstallCommandsTest, AFailedStepAfterCreationLeavesTheServiceCreated) {
  // The event log source cannot be written: its key's parent is a value-less file.
  fs::create_directories(dir_ / "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services");
  ASSERT_EQ(WriteWholeFile(dir_ / "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog", ""), 0u);
  EXPECT_FALSE(InstallService(env_));
  EXPECT_TRUE(Installed("kelva.service"));
  fs::remove(dir_ / "registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog");
  ASSERT_TRUE(UninstallService(env_));

  group_error_ = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(InstallService(env_));
  EXPECT_TRUE(Installed("kelva.service"));
  EXPECT_EQ(registry_->OpenKey(kEventLogSourceKey), 0u);
  EXPECT_TRUE(out_.empty());
}

struct HostCase {
  const char* arg;
  Win32Error error;
  const char* text;
  bool reboot;
  int32_t exit_code;
  const char* out;
};

TEST_F(InstallCommandsTest, HostDriverCommandsPrintTheHostsMessages) {
  const HostCase cases[] = {
      {"/install_driver", ERROR_ACCESS_DENIED, "FUSE is set up by root", false, 4,
       "Installation requires administrator rights\n"},
      {"/install_driver", ERROR_FILE_NOT_FOUND, "FUSE is not available", false, 4, "FUSE is not available\n"},
      {"/install_driver", 0, "", true, 0, "Reboot the computer to made changes\n"},
      {"/install_driver", 0, "", false, 0, ""},
      {"/uninstall_driver", ERROR_ACCESS_DENIED, "", false, 4, "Uninstallation requires administrator rights\n"},
      {"/uninstall_driver", ERROR_INVALID_PARAMETER, "bad", true, 4, "bad\n"},
      {"/uninstall_driver", 0, "", true, 0, "Reboot computer to apply changes\n"},
  };
  for (const HostCase& c : cases) {
    host_.error = c.error;
    host_.text = c.text;
    host_.reboot_needed = c.reboot;
    EXPECT_EQ(Run(c.arg), c.exit_code) << c.arg << " " << c.error;
    EXPECT_EQ(out_, c.out) << c.arg << " " << c.error;
  }
}

TEST_F(InstallCommandsTest, TheLinuxHostCheckWithoutDevFuseFails) {
  FuseHostInstaller fuse(dir_ / "empty");
  env_.host_installer = &fuse;
  EXPECT_EQ(Run("/install_driver"), 4);
  if (geteuid() == 0) {
    EXPECT_NE(out_.find("dev/fuse cannot be opened"), std::string::npos) << out_;
  } else {
    EXPECT_EQ(out_, "Installation requires administrator rights\n");
  }
}

struct FastStartupCase {
  const char* name;
  bool version_known;
  uint32_t major, minor;
  int policy;       // the policy value before, -1: no key, -2: key without the value
  int power;        // the same for the Power key
  int policy_after; // -1: no key, -2: no value
  int power_after;
};

TEST_F(InstallCommandsTest, FastStartupFollowsTheVersionRuleInExistingKeysOnly) {
  const FastStartupCase cases[] = {
      {"6.1 leaves both", true, 6, 1, 1, 1, 1, 1},
      {"6.2 clears the policy", true, 6, 2, 1, -2, 0, 0},
      {"policy 0 stays, no Power key", true, 10, 0, 0, -1, 0, -1},
      {"no policy value is made", true, 6, 3, -2, 5, -2, 0},
      {"no keys are made", true, 10, 0, -1, -1, -1, -1},
      {"unknown version acts", false, 0, 0, 7, 7, 0, 0},
      {"5.2 leaves both", true, 5, 2, 1, 1, 1, 1},
  };
  auto set = [this](const char* key, int v) {
    registry_->DeleteKeyTree(key);
    if (v == -1) return;
    ASSERT_EQ(registry_->CreateKey(key), 0u);
    if (v >= 0) {
      ASSERT_EQ(registry_->SetDword(key, "HiberbootEnabled", static_cast<uint32_t>(v)), 0u);
    }
  };
  auto get = [this](const char* key) {
    if (registry_->OpenKey(key)) return -1;
    uint32_t v = 0;
    return registry_->QueryDword(key, "HiberbootEnabled", &v) ? -2 : static_cast<int>(v);
  };
  for (const FastStartupCase& c : cases) {
    set(kFastStartupPolicyKey, c.policy);
    set(kFastStartupPowerKey, c.power);
    env_.os_version = [&c](uint32_t* major, uint32_t* minor) {
      *major = c.major;
      *minor = c.minor;
      return c.version_known;
    };
    DisableFastStartup(env_);
    EXPECT_EQ(get(kFastStartupPolicyKey), c.policy_after) << c.name;
    EXPECT_EQ(get(kFastStartupPowerKey), c.power_after) << c.name;
  }
}

TEST_F(InstallCommandsTest, CheckVersionNeedsReadableVersionTenOrLater) {
  const struct {
    FileVersionProbe probe;
    int32_t exit_code;
  } cases[] = {
      {{1024, true, 6u << 16 | 3}, 8},  {{1024, true, 10u << 16}, 0}, {{0, true, 10u << 16}, 8},
      {{4097, true, 10u << 16}, 8},     {{4096, true, 10u << 16}, 0}, {{1, true, 0x9FFFF}, 8},
      {{1024, false, 10u << 16}, 8},
  };
  for (const auto& c : cases) {
    env_.version_probe = [&c] { return c.probe; };
    EXPECT_EQ(Run("/check_version"), c.exit_code)
        << c.probe.info_size << " " << c.probe.readable << " " << std::hex << c.probe.file_version_ms;
  }
  // This computer's answer passes.
  env_.version_probe = InstallEnvironment().version_probe;
  EXPECT_EQ(Run("/check_version"), 0);
  EXPECT_TRUE(out_.empty());
}

}  // namespace
}  // namespace kelva::core
