// The systemd backend against a root folder where no systemd runs (as in a
// chroot, a container or a package staging folder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;

class SystemdRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-systemd-XXXXXX";
    dir_ = mkdtemp(tmpl);
    units_ = dir_ / "root/etc/systemd/system";
    registry_ = std::make_unique<Registry>(dir_ / "registry");
    systemd_ = std::make_unique<SystemdServiceManager>(dir_ / "root", dir_ / "registry");
  }
  void TearDown() override { fs::remove_all(dir_); }

  static ServiceConfig Config(std::string name, uint32_t start_type) {
    ServiceConfig c;
    c.name = std::move(name);
    c.display_name = "Test 100% service";
    c.start_type = start_type;
    c.binary_path = "/opt/my tools/a\"b\\c$HOME%n";
    return c;
  }
  std::string Read(const fs::path& p) {
    std::string s;
    EXPECT_EQ(ReadWholeFile(p, &s), 0u) << p;
    return s;
  }

  fs::path dir_;
  fs::path units_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<SystemdServiceManager> systemd_;
};

TEST_F(SystemdRootTest, UnitTextTranslatesTheServiceValues) {
  ServiceConfig c = Config("svc", SERVICE_DEMAND_START);
  c.dependencies = {"KELVAFilter", "fltMgr", "other"};
  c.dependents = {"KELVA"};
  c.load_order_group = "Group A";
  c.preshutdown_timeout_ms = 1500;
  EXPECT_EQ(SystemdServiceManager::UnitFileText(c),
            "# Written by \"kelva /install\"; \"kelva /uninstall\" removes it.\n"
            "[Unit]\n"
            "Description=Test 100%% service\n"
            "Requires=kelvaflt.service other.service\n"
            "After=kelvaflt.service other.service\n"
            "Before=kelva.service\n"
            "# Load order group \"Group A\": systemd orders units by their dependencies alone.\n"
            "# Dependency on fltMgr: part of the kernel here, not a unit.\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "ExecStart=\"/opt/my tools/a\\\"b\\\\c$$HOME%%n\"\n"
            "KillSignal=SIGTERM\n"
            "KillMode=mixed\n"
            "TimeoutStopSec=2\n"
            "RuntimeDirectory=kelva\n"
            "RuntimeDirectoryMode=0755\n"
            "RuntimeDirectoryPreserve=yes\n"
            "StateDirectory=kelva\n");
}

TEST_F(SystemdRootTest, CreateQueryAndDeleteWithoutARunningSystemd) {
  ServiceStatus st;
  EXPECT_EQ(systemd_->QueryStatus("KELVA", &st), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(systemd_->DeleteService("KELVA"), ERROR_SERVICE_DOES_NOT_EXIST);

  ASSERT_EQ(systemd_->CreateService(Config("KELVA", SERVICE_AUTO_START)), 0u);
  ASSERT_EQ(systemd_->CreateService(Config("KELVAFilter", SERVICE_DEMAND_START)), 0u);
  EXPECT_EQ(fs::read_symlink(units_ / "multi-user.target.wants/kelva.service"), "/etc/systemd/system/kelva.service");
  EXPECT_FALSE(fs::exists(fs::symlink_status(units_ / "multi-user.target.wants/kelvaflt.service")));
  EXPECT_EQ(systemd_->Location("KELVA"), (units_ / "kelva.service").string());
  // An existing service is refused and left as it is.
  ASSERT_EQ(WriteWholeFile(units_ / "kelva.service", "mine\n"), 0u);
  EXPECT_EQ(systemd_->CreateService(Config("kelva", SERVICE_AUTO_START)), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(Read(units_ / "kelva.service"), "mine\n");

  // Installed units are stopped and cannot be started or stopped here.
  ASSERT_EQ(systemd_->QueryStatus("KELVA", &st), 0u);
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_STOPPED));
  EXPECT_EQ(systemd_->Start("KELVA"), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(systemd_->Stop("KELVA", &st), ERROR_SERVICE_NOT_ACTIVE);

  // Deleting drops the service's registry key with its subkeys, nothing else.
  ASSERT_EQ(registry_->CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\KELVAFilter\\Instances\\KELVAFilter"), 0u);
  ASSERT_EQ(registry_->CreateKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Other"), 0u);
  ASSERT_EQ(systemd_->DeleteService("KELVAFilter"), 0u);
  EXPECT_EQ(registry_->OpenKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\KELVAFilter"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry_->OpenKey("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Other"), 0u);
  ASSERT_EQ(systemd_->DeleteService("KELVA"), 0u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(units_ / "multi-user.target.wants/kelva.service")));
  EXPECT_FALSE(fs::exists(units_ / "kelva.service"));
  EXPECT_EQ(systemd_->QueryStatus("KELVAFilter", &st), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SystemdRootTest, RefusesWhatAUnitFileCannotHoldAndWhereItCannotWrite) {
  ServiceConfig c = Config("svc", SERVICE_AUTO_START);
  c.display_name = "two\nlines";
  EXPECT_EQ(systemd_->CreateService(c), ERROR_INVALID_PARAMETER);
  // Names never leave the unit folder or the service's registry key.
  for (const char* name : {"", "..", "../escape", "a\\b"}) {
    EXPECT_EQ(systemd_->CreateService(Config(name, SERVICE_AUTO_START)), ERROR_INVALID_NAME) << name;
    EXPECT_EQ(systemd_->DeleteService(name), ERROR_INVALID_NAME) << name;
  }
  // A root whose etc is a file: the unit folder cannot be made.
  fs::create_directories(dir_ / "blocked");
  ASSERT_EQ(WriteWholeFile(dir_ / "blocked/etc", "x"), 0u);
  SystemdServiceManager blocked(dir_ / "blocked", dir_ / "registry");
  EXPECT_NE(blocked.CreateService(Config("svc", SERVICE_AUTO_START)), 0u);
  EXPECT_FALSE(fs::exists(units_));
}

}  // namespace
}  // namespace kelva::platform
