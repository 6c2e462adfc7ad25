// The service "KELVA": its start-up, run and stop sequence shared by service
// mode (started by systemd) and console mode ("kelva /noservice"), the status
// reports, the control handler and the small services the rest of the system
// takes from the core (busy signal, filter messages, device handle
// notifications, the data folder).
//
// Every facility of the operating system comes in through ServiceEnvironment,
// so that tests run the whole lifecycle in their own process on a test clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_notify.h"
#include "platform/filter_port.h"
#include "platform/logind.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "service/core/busy_signal.h"
#include "service/core/control_server_iface.h"
#include "service/core/filter_connection.h"
#include "service/core/unit_manager_iface.h"

namespace kelva::core {

// Service controls, accepted-control bits and event types of the control handler.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 0x1;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 0x4;
inline constexpr uint32_t SERVICE_CONTROL_SHUTDOWN = 0x5;
inline constexpr uint32_t SERVICE_CONTROL_DEVICEEVENT = 0xB;
inline constexpr uint32_t SERVICE_CONTROL_POWEREVENT = 0xD;
inline constexpr uint32_t SERVICE_CONTROL_SESSIONCHANGE = 0xE;
inline constexpr uint32_t SERVICE_CONTROL_PRESHUTDOWN = 0xF;
inline constexpr uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr uint32_t SERVICE_ACCEPT_POWEREVENT = 0x40;
inline constexpr uint32_t SERVICE_ACCEPT_SESSIONCHANGE = 0x80;
inline constexpr uint32_t SERVICE_ACCEPT_PRESHUTDOWN = 0x100;
inline constexpr uint32_t PBT_APMSUSPEND = 4;
inline constexpr uint32_t PBT_APMRESUMEAUTOMATIC = 18;
inline constexpr uint32_t WTS_SESSION_LOGON = 5;
inline constexpr uint32_t NO_ERROR = 0;

// Exit code when the OS version or the common data folder cannot be obtained.
inline constexpr int32_t kExitNoVersionOrFolder = 10;
inline constexpr uint32_t kStopWaitHintMs = 10000;
inline constexpr uint32_t kHeartbeatPeriodMs = 5000;

// {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}
inline constexpr platform::Guid kGuidDevinterfaceCdrom{0x53F56308, 0xB6BF, 0x11D0,
                                                       {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
// {D07433C0-A98E-11D2-917A-00A0C9068FF3} and {D07433C1-...}
inline constexpr platform::Guid kGuidIoMediaArrival{0xD07433C0, 0xA98E, 0x11D2,
                                                    {0x91, 0x7A, 0x00, 0xA0, 0xC9, 0x06, 0x8F, 0xF3}};
inline constexpr platform::Guid kGuidIoMediaRemoval{0xD07433C1, 0xA98E, 0x11D2,
                                                    {0x91, 0x7A, 0x00, 0xA0, 0xC9, 0x06, 0x8F, 0xF3}};

// Event data of SERVICE_CONTROL_SESSIONCHANGE.
struct SessionNotification {
  uint32_t session_id = 0;
};

// What the core offers the components it starts (the unit manager and, through
// it, the volumes).
class IServiceCore {
 public:
  virtual ~IServiceCore() = default;
  virtual void EnterBusy() = 0;
  virtual void LeaveBusy() = 0;
  // Sends a 100-byte filter message (1: the volume is taken over, 0: released).
  virtual void SendFilterMessage(uint8_t command, std::u16string_view volume_name) = 0;
  // Registers for the events of an open device; 0 on failure. The caller
  // unregisters the token when the unit goes.
  virtual platform::NotificationToken RegisterDeviceHandleNotification(platform::DeviceHandle handle) = 0;
  virtual void UnregisterDeviceNotification(platform::NotificationToken token) = 0;
  // The data folder: the common application data folder + "/Norve/KELVA".
  virtual std::filesystem::path DataFolder() const = 0;
  virtual platform::Clock& clock() = 0;
};

// The operating system as the service sees it. Every member has a working
// default for the real system except where noted.
struct ServiceEnvironment {
  platform::Clock* clock = &platform::RealClock();
  platform::ServiceManager* service_manager = nullptr;        // required
  platform::FilterPortConnector* filter_connector = nullptr;  // required
  platform::ServiceStatusSink* status_sink = nullptr;         // required in service mode
  platform::DeviceNotifications* device_notifications = nullptr;  // required
  platform::Registry* registry = nullptr;                     // required
  std::filesystem::path run_dir;                              // busy event; empty: RunDir()
  // Listen for SIGTERM (service mode) or SIGINT/SIGTERM (console mode).
  bool handle_signals = false;

  std::function<std::unique_ptr<IUnitManager>(IServiceCore&)> make_unit_manager;
  std::function<std::unique_ptr<IControlServer>()> make_control_server;
  // The operating system's major version (GetVersionExW); false on failure.
  std::function<bool(uint32_t* major)> query_os_version;
  // The common application data folder; returns an HRESULT (S_OK, E_FAIL
  // with a usable path, or an error).
  std::function<int32_t(std::filesystem::path*)> query_common_app_data;
  // Process-wide initialisation that has no Linux counterpart; 0 or an HRESULT.
  std::function<int32_t()> com_initialize;
  std::function<int32_t()> com_initialize_security;
  // The active console session (platform::kNoSession when none) and a session's user.
  std::function<uint32_t()> active_console_session;
  std::function<bool(uint32_t, std::string*)> session_user;
  // Opens the change notifier of the MountedDevices key.
  std::function<platform::Win32Error(std::unique_ptr<platform::KeyChangeNotifier>*)> open_mount_notifier;
  // Starts a short-lived event thread; false when it could not be started.
  std::function<bool(std::function<void()>)> start_event_thread;
  // The power and session events (sleep, wake-up, logon); default: logind's.
  std::function<std::unique_ptr<platform::PowerSessionWatcher>()> make_power_watcher;
};

class KelvaService final : public IServiceCore {
 public:
  explicit KelvaService(ServiceEnvironment env);
  KelvaService(const KelvaService&) = delete;
  KelvaService& operator=(const KelvaService&) = delete;
  ~KelvaService() override;

  // The service entry: service mode, the control handler installed, RunService,
  // then the SERVICE_STOPPED report with the exit code. Returns the exit code.
  int32_t ServiceMain();
  // The service body, shared by both modes; returns the exit code when stopped.
  int32_t RunService();
  // Console mode ("/noservice"): RunService without status reports.
  int32_t RunConsole();

  // SetServiceStatus with the accepted controls of the OS version; a refused
  // report is sent once more without SERVICE_ACCEPT_PRESHUTDOWN. Only in service mode.
  bool ReportStatus(uint32_t state, uint32_t exit_code, uint32_t check_point, uint32_t wait_hint);
  // The control handler. event_data: const platform::DeviceBroadcast* for
  // device events, const SessionNotification* for session changes.
  uint32_t ServiceControlHandler(uint32_t control, uint32_t event_type, const void* event_data);
  // Ctrl+C in console mode: the first one stops the run, later ones are ignored.
  void OnConsoleInterrupt();

  // IServiceCore
  void EnterBusy() override { busy_.EnterBusy(); }
  void LeaveBusy() override { busy_.LeaveBusy(); }
  void SendFilterMessage(uint8_t command, std::u16string_view volume_name) override;
  platform::NotificationToken RegisterDeviceHandleNotification(platform::DeviceHandle handle) override;
  void UnregisterDeviceNotification(platform::NotificationToken token) override;
  std::filesystem::path DataFolder() const override;
  platform::Clock& clock() override { return *env_.clock; }

  bool service_mode() const { return service_mode_; }
  const BusySignal& busy() const { return busy_; }
  // True between the RUNNING point (step 9) and the stop event.
  bool running() const { return running_.load(); }
  // Sets the stop event (as a stop control does, without the report).
  void RequestStop();

 private:
  void HandleDeviceEvent(uint32_t event_type, const platform::DeviceBroadcast* data, bool check_class);
  void StartPowerWatcher();
  void StartEventThread(std::function<void()> work);
  void JoinEventThreads();
  std::shared_ptr<IUnitManager> Units();
  void Heartbeat(uint64_t start_ms);

  ServiceEnvironment env_;
  bool service_mode_ = false;
  std::atomic<bool> running_{false};
  uint32_t os_major_ = 0;
  mutable std::mutex mu_;
  std::filesystem::path data_folder_;
  std::unique_ptr<platform::Event> stop_event_;
  std::atomic<bool> interrupted_{false};
  std::mutex report_mu_;

  FilterConnection filter_;
  BusySignal busy_;
  std::shared_ptr<IUnitManager> units_;  // guarded by mu_
  std::unique_ptr<IControlServer> control_;
  platform::NotificationToken interface_token_ = 0;
  std::unique_ptr<platform::PowerSessionWatcher> power_watcher_;

  std::unique_ptr<platform::Event> heartbeat_event_;
  std::thread heartbeat_;

  std::mutex threads_mu_;
  struct EventThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<EventThread> event_threads_;
};

}  // namespace kelva::core
