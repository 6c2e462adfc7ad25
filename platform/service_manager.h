// The service manager seam: create, delete, query, start and stop services by
// name (the filter service "KELVAFilter", the service "KELVA"), with the status
// values and error codes of the Windows service control manager. Two Linux
// backends: systemd (unit files under a root folder, systemctl) and a plain
// process supervisor for console mode and tests. ServiceManagerWrapper forwards
// every call, so that a test overrides only the call it injects a fault into.
//
// Implementations are thread safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace kelva::platform {

enum ServiceState : uint32_t {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
  SERVICE_CONTINUE_PENDING = 5,
  SERVICE_PAUSE_PENDING = 6,
  SERVICE_PAUSED = 7,
};

inline constexpr uint32_t SERVICE_FILE_SYSTEM_DRIVER = 0x2;
inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;

// Start types and error control of a created service.
inline constexpr uint32_t SERVICE_AUTO_START = 2;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_DISABLED = 4;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;

// What CreateService is given: the values of CreateServiceW, the pre-shutdown
// time-out of ChangeServiceConfig2W, and the one value Windows derives instead
// of storing (the services that depend on this one start after it).
struct ServiceConfig {
  std::string name;
  std::string display_name;
  uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
  uint32_t start_type = SERVICE_DEMAND_START;
  uint32_t error_control = SERVICE_ERROR_NORMAL;
  std::filesystem::path binary_path;
  std::string load_order_group;           // empty: none
  std::vector<std::string> dependencies;  // services that must run first
  std::vector<std::string> dependents;    // services that start after this one
  uint32_t preshutdown_timeout_ms = 0;    // 0: the manager's default
};

// SERVICE_STATUS, field for field.
struct ServiceStatus {
  uint32_t service_type = SERVICE_WIN32_OWN_PROCESS;
  uint32_t current_state = SERVICE_STOPPED;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

class ServiceManager {
 public:
  ServiceManager() = default;
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;
  virtual ~ServiceManager() = default;

  // Registers a new service. ERROR_SERVICE_EXISTS when it exists (nothing is
  // changed then), ERROR_ACCESS_DENIED without the rights, another code when
  // the manager cannot store it. A manager that cannot register services (the
  // process supervisor) refuses with ERROR_NOT_SUPPORTED.
  virtual Win32Error CreateService(const ServiceConfig& config);
  // Removes a service (which should be stopped) with its registry key
  // HKLM\SYSTEM\CurrentControlSet\Services\<name>. ERROR_SERVICE_DOES_NOT_EXIST
  // when it is unknown.
  virtual Win32Error DeleteService(std::string_view service);
  // Where the manager keeps a service (its unit file), for log lines; empty
  // when there is no such place.
  virtual std::string Location(std::string_view service) const;
  // ERROR_SERVICE_DOES_NOT_EXIST when the service is unknown.
  virtual Win32Error QueryStatus(std::string_view service, ServiceStatus* status) = 0;
  // Starts a stopped service and returns once it has started (or failed).
  // ERROR_SERVICE_ALREADY_RUNNING when it runs.
  virtual Win32Error Start(std::string_view service) = 0;
  // Sends the stop control and returns at once with the status after it
  // (normally SERVICE_STOP_PENDING with a wait hint). ERROR_SERVICE_NOT_ACTIVE
  // when it is not running.
  virtual Win32Error Stop(std::string_view service, ServiceStatus* status) = 0;
};

// Forwards every call to another manager; tests derive from it and override
// the calls they change.
class ServiceManagerWrapper : public ServiceManager {
 public:
  explicit ServiceManagerWrapper(ServiceManager* target) : target_(target) {}
  Win32Error CreateService(const ServiceConfig& config) override { return target_->CreateService(config); }
  Win32Error DeleteService(std::string_view service) override { return target_->DeleteService(service); }
  std::string Location(std::string_view service) const override { return target_->Location(service); }
  Win32Error QueryStatus(std::string_view service, ServiceStatus* status) override {
    return target_->QueryStatus(service, status);
  }
  Win32Error Start(std::string_view service) override { return target_->Start(service); }
  Win32Error Stop(std::string_view service, ServiceStatus* status) override { return target_->Stop(service, status); }

 private:
  ServiceManager* target_;
};

// KELVA_SYSTEMD_ROOT, else "/": the root of the system whose systemd units
// the installation commands write (a staging folder, a chroot, a test folder).
std::filesystem::path SystemdRoot();

// systemd. Service names map to unit names: "KELVA" -> kelva.service,
// "KELVAFilter" -> kelvaflt.service, others -> <name>.service. A service
// exists while ROOT/etc/systemd/system/<unit> exists. systemctl is asked about
// states only when ROOT is "/" and systemd runs; otherwise (staging, chroot,
// container) an existing unit is stopped and cannot be started.
class SystemdServiceManager final : public ServiceManager {
 public:
  // root: empty for SystemdRoot(); registry_root: empty for RegistryRoot().
  explicit SystemdServiceManager(std::filesystem::path root = {}, std::filesystem::path registry_root = {});

  static std::string UnitName(std::string_view service);
  // The unit file of a service, as CreateService writes it.
  static std::string UnitFileText(const ServiceConfig& config);

  // Writes ROOT/etc/systemd/system/<unit>; an auto-start service is also
  // enabled (the multi-user.target.wants link that `systemctl enable` makes).
  Win32Error CreateService(const ServiceConfig& config) override;
  // Removes the link, the unit file and the service's registry key.
  Win32Error DeleteService(std::string_view service) override;
  std::string Location(std::string_view service) const override;
  Win32Error QueryStatus(std::string_view service, ServiceStatus* status) override;
  Win32Error Start(std::string_view service) override;
  Win32Error Stop(std::string_view service, ServiceStatus* status) override;

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path UnitFolder() const;
  // True when ROOT is "/" and systemd is the running service manager.
  bool Live() const;
  void ReloadIfLive();
  std::filesystem::path root_;
  std::filesystem::path registry_root_;
};

// Runs services as child processes. Each service is a program with its
// arguments and a pid file that the program writes once it is ready (so a
// service started by someone else, such as scripts/run.sh, is found too). A
// service is running while the process named in its pid file lives.
class ProcessSupervisor final : public ServiceManager {
 public:
  struct Program {
    std::vector<std::string> argv;     // argv[0] is the program path
    std::filesystem::path pid_file;    // written by the program when it is ready
    uint32_t start_timeout_ms = 10000; // how long Start waits for the pid file
  };
  ~ProcessSupervisor() override;  // reaps children it started (does not stop them)

  void AddService(std::string name, Program program);

  Win32Error QueryStatus(std::string_view service, ServiceStatus* status) override;
  Win32Error Start(std::string_view service) override;
  Win32Error Stop(std::string_view service, ServiceStatus* status) override;

 private:
  pid_t LivePid(const Program& p);  // 0 when not running
  void Reap();
  std::mutex mu_;
  std::map<std::string, Program, std::less<>> services_;
  std::vector<pid_t> children_;
};

// Runs a program (argv[0] looked up in PATH) and waits for it; *output gets its
// standard output. Returns the exit status, or -1 when it could not run.
int RunProgram(const std::vector<std::string>& argv, std::string* output);

// Writes this process's id to path (creating its folder), replacing the file atomically.
Win32Error WritePidFile(const std::filesystem::path& path);

}  // namespace kelva::platform
