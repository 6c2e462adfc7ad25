// The service manager seam: query, start and stop other services by name (the
// filter service "KELVAFilter", the service "KELVA"), with the status values of
// the Windows service control manager. Two Linux backends: systemd (systemctl)
// and a plain process supervisor for console mode and tests.
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

inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;

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

// systemd through systemctl. Service names map to unit names: "KELVA" ->
// kelva.service, "KELVAFilter" -> kelvaflt.service, others -> <name>.service.
class SystemdServiceManager final : public ServiceManager {
 public:
  static std::string UnitName(std::string_view service);
  Win32Error QueryStatus(std::string_view service, ServiceStatus* status) override;
  Win32Error Start(std::string_view service) override;
  Win32Error Stop(std::string_view service, ServiceStatus* status) override;
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
