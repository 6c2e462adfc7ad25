// The installation commands of the kelva command line: register or remove the
// service "KELVA" with its event log source, the access filter service
// "KELVAFilter" with its instance keys, and the file system host; adjust the
// fast-startup policy; check the operating system's version. Each returns
// true on success; the command line turns failures into its exit codes. The
// console gets only the file system host's messages; every failure also
// writes one log line with its Win32 code.
#pragma once

#include <functional>

#include "service/core/install_environment.h"

namespace kelva::core {

inline constexpr const char* kServiceName = "KELVA";
inline constexpr const char* kServiceDisplayName = "MERIDANSTORIX Universal Disk Format";
inline constexpr const char* kFilterDisplayName = "MERIDANSTORIX Filter";
inline constexpr const char* kFilterProgram = "kelvaflt";
inline constexpr uint32_t kPreshutdownTimeoutMs = 3600000;
inline constexpr const char* kEventLogSourceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KELVA";
inline constexpr const char* kFilterInstancesKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KELVAFilter\\Instances";
inline constexpr const char* kFilterInstanceKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KELVAFilter\\Instances\\KELVAFilter";
inline constexpr const char* kFastStartupPolicyKey = "HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\System";
inline constexpr const char* kFastStartupPowerKey = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Power";
// How long an uninstall waits for each service to stop.
inline constexpr uint64_t kServiceStopLimitMs = 3600000;
inline constexpr uint64_t kFilterStopLimitMs = 60000;

// "/install": the filter first, the service only after it.
bool InstallFilter(InstallEnvironment& env);
bool InstallService(InstallEnvironment& env);
// "/uninstall": the service, then the filter; both are attempted.
bool UninstallService(InstallEnvironment& env);
bool UninstallFilter(InstallEnvironment& env);
bool InstallHostDriver(InstallEnvironment& env);
bool UninstallHostDriver(InstallEnvironment& env);
bool CheckVersion(InstallEnvironment& env);
// Turns fast startup off from Windows 6.2 on (or when the version is unknown),
// in keys that exist; never creates a key.
void DisableFastStartup(InstallEnvironment& env);

// The commands as the command line calls them.
struct InstallCommands {
  std::function<bool()> install_filter;
  std::function<bool()> install_service;
  std::function<bool()> uninstall_service;
  std::function<bool()> uninstall_filter;
  std::function<bool()> install_host_driver;
  std::function<bool()> uninstall_host_driver;
  std::function<bool()> check_version;
};

// Binds every command to env, which must outlive the result.
InstallCommands BindInstallCommands(InstallEnvironment& env);

}  // namespace kelva::core
