#include "service/core/command_line.h"

#include <gtest/gtest.h>

#include "tests/service/core/fakes.h"

namespace kelva::core {
namespace {

using namespace kelva::core::testing;

// Records which installation commands ran and lets each succeed or fail.
class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto cmd = [this](const char* name) {
      return [this, name] {
        ran_.push_back(name);
        return ok_.count(name) > 0;
      };
    };
    hooks_.install.install_filter = cmd("install_filter");
    hooks_.install.install_service = cmd("install_service");
    hooks_.install.uninstall_service = cmd("uninstall_service");
    hooks_.install.uninstall_filter = cmd("uninstall_filter");
    hooks_.install.install_host_driver = cmd("install_host_driver");
    hooks_.install.uninstall_host_driver = cmd("uninstall_host_driver");
    hooks_.install.check_version = cmd("check_version");
    hooks_.started_by_service_manager = [] { return false; };
    hooks_.make_service = [this](bool service_mode) -> std::unique_ptr<KelvaService> {
      made_.push_back(service_mode);
      ServiceEnvironment env;
      env.clock = &clock_;
      env.service_manager = &sm_;
      env.filter_connector = &connector_;
      env.status_sink = &sink_;
      env.device_notifications = &hub_;
      env.registry = nullptr;
      // The filter is missing: the run ends at once with its exit code.
      sm_.query_error = ERROR_SERVICE_DOES_NOT_EXIST;
      return std::make_unique<KelvaService>(std::move(env));
    };
  }
  int32_t Run(std::vector<std::string> args) {
    ran_.clear();
    return KelvaMain(args, hooks_);
  }

  CommandLineHooks hooks_;
  std::vector<std::string> ran_;
  std::set<std::string> ok_;
  std::vector<bool> made_;
  TestClock clock_;
  FakeServiceManager sm_;
  FakeConnector connector_;
  RecordingSink sink_;
  DeviceNotificationHub hub_;
};

TEST_F(CommandLineTest, InstallStopsAfterAFailedFilter) {
  EXPECT_EQ(Run({"/install"}), 2);
  EXPECT_EQ(ran_, std::vector<std::string>{"install_filter"});
  ok_ = {"install_filter"};
  EXPECT_EQ(Run({"/install"}), 1);
  EXPECT_EQ(ran_, (std::vector<std::string>{"install_filter", "install_service"}));
  ok_ = {"install_filter", "install_service"};
  EXPECT_EQ(Run({"/INSTALL"}), 0);
}

TEST_F(CommandLineTest, UninstallAttemptsBothAndCombinesTheBits) {
  EXPECT_EQ(Run({"/uninstall"}), 3);
  EXPECT_EQ(ran_, (std::vector<std::string>{"uninstall_service", "uninstall_filter"}));
  ok_ = {"uninstall_filter"};
  EXPECT_EQ(Run({"/Uninstall"}), 1);
  ok_ = {"uninstall_service"};
  EXPECT_EQ(Run({"/uninstall"}), 2);
  ok_ = {"uninstall_service", "uninstall_filter"};
  EXPECT_EQ(Run({"/uninstall"}), 0);
}

TEST_F(CommandLineTest, DriverAndVersionCommands) {
  EXPECT_EQ(Run({"/install_driver"}), 4);
  EXPECT_EQ(Run({"/uninstall_driver"}), 4);
  EXPECT_EQ(Run({"/check_version"}), 8);
  EXPECT_EQ(ran_, std::vector<std::string>{"check_version"});
  ok_ = {"install_host_driver", "uninstall_host_driver", "check_version"};
  EXPECT_EQ(Run({"/Install_Driver"}), 0);
  EXPECT_EQ(Run({"/UNINSTALL_DRIVER"}), 0);
  EXPECT_EQ(Run({"/check_VERSION"}), 0);
}

TEST_F(CommandLineTest, OnlyTheFirstArgumentCounts) {
  EXPECT_EQ(Run({"/unknown", "/install"}), 0);
  EXPECT_TRUE(ran_.empty());
  EXPECT_EQ(Run({"install"}), 0);  // without the slash it is unknown
  EXPECT_EQ(Run({""}), 0);
  EXPECT_EQ(Run({"/install_driverX"}), 0);
  EXPECT_TRUE(ran_.empty());
  EXPECT_EQ(Run({"--help"}), 0);
  // -v is taken out wherever it stands.
  EXPECT_EQ(Run({"-v", "/check_version"}), 8);
  EXPECT_TRUE(made_.empty());
}

TEST_F(CommandLineTest, NoArgumentOutsideTheServiceManagerReturnsZero) {
  EXPECT_EQ(Run({}), 0);
  EXPECT_TRUE(made_.empty());
  // Started by the service manager: a failed service run is a failed process.
  hooks_.started_by_service_manager = [] { return true; };
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(made_, std::vector<bool>{true});
  ASSERT_EQ(sink_.Count(), 1u);
  EXPECT_EQ(sink_.Reports()[0].win32_exit_code, 1060u);
}

TEST_F(CommandLineTest, NoServiceRunsTheConsoleModeAndReturnsItsCode) {
  EXPECT_EQ(Run({"/NOSERVICE"}), 1060);
  EXPECT_EQ(made_, std::vector<bool>{false});
  EXPECT_EQ(sink_.Count(), 0u);
}

}  // namespace
}  // namespace kelva::core
