// The installation commands of the kelva command line. Each returns true on
// success; the command line turns failures into its exit codes.
#pragma once

#include <functional>

namespace kelva::core {

bool InstallFilter();
bool InstallService();
bool UninstallService();
bool UninstallFilter();
bool InstallHostDriver();
bool UninstallHostDriver();
bool CheckVersion();

// The commands as the command line calls them, replaceable by tests.
struct InstallCommands {
  std::function<bool()> install_filter = InstallFilter;
  std::function<bool()> install_service = InstallService;
  std::function<bool()> uninstall_service = UninstallService;
  std::function<bool()> uninstall_filter = UninstallFilter;
  std::function<bool()> install_host_driver = InstallHostDriver;
  std::function<bool()> uninstall_host_driver = UninstallHostDriver;
  std::function<bool()> check_version = CheckVersion;
};

}  // namespace kelva::core
