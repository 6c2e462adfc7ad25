#include "service/core/service_app.h"

#include <algorithm>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/sessions.h"
#include "service/core/explorer_setting.h"
#include "service/core/mount_point_watcher.h"

namespace kelva::core {

using namespace kelva::platform;

namespace {

void FillDefaults(ServiceEnvironment& env) {
  if (!env.clock) env.clock = &RealClock();
  if (!env.make_unit_manager)
    env.make_unit_manager = [](IServiceCore&) { return std::make_unique<EmptyUnitManager>(); };
  if (!env.make_control_server) env.make_control_server = [] { return std::make_unique<EmptyControlServer>(); };
  // Version checks with no Linux meaning report a passing value.
  if (!env.query_os_version) env.query_os_version = [](uint32_t* major) { return *major = 10, true; };
  if (!env.query_common_app_data)
    env.query_common_app_data = [](std::filesystem::path* p) {
      *p = CommonAppDataFolder();
      return p->empty() ? E_FAIL : S_OK;
    };
  if (!env.com_initialize) env.com_initialize = [] { return S_OK; };
  if (!env.com_initialize_security) env.com_initialize_security = [] { return S_OK; };
  if (!env.active_console_session) env.active_console_session = [] { return ActiveConsoleSession(); };
  if (!env.session_user) env.session_user = [](uint32_t s, std::string* u) { return SessionUserName(s, u); };
  if (!env.make_power_watcher) env.make_power_watcher = [] { return MakeLogindWatcher(); };
  if (!env.open_mount_notifier) {
    Registry* registry = env.registry;
    env.open_mount_notifier = [registry](std::unique_ptr<KeyChangeNotifier>* out) {
      // The key always exists on the original system; ours may start empty.
      if (Win32Error e = registry->CreateKey(kMountedDevicesKey)) return e;
      return OpenKeyChangeNotifier(*registry, kMountedDevicesKey, out);
    };
  }
}

}  // namespace

KelvaService::KelvaService(ServiceEnvironment env)
    : env_((FillDefaults(env), std::move(env))),
      filter_(*env_.service_manager, *env_.filter_connector, *env_.clock) {}

KelvaService::~KelvaService() {
  if (heartbeat_.joinable()) {
    heartbeat_event_->Set();
    heartbeat_.join();
  }
  JoinEventThreads();
}

// ---- status reports and control handler ----

bool KelvaService::ReportStatus(uint32_t state, uint32_t exit_code, uint32_t check_point, uint32_t wait_hint) {
  if (!service_mode_ || !env_.status_sink) return true;
  std::lock_guard<std::mutex> g(report_mu_);
  ServiceStatus s;
  s.service_type = SERVICE_WIN32_OWN_PROCESS;
  s.current_state = state;
  s.controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE |
                        (os_major_ < 6 ? SERVICE_ACCEPT_SHUTDOWN : SERVICE_ACCEPT_PRESHUTDOWN);
  s.win32_exit_code = exit_code;
  s.service_specific_exit_code = 0;
  s.check_point = check_point;
  s.wait_hint = wait_hint;
  if (env_.status_sink->SetStatus(s)) return true;
  s.controls_accepted &= ~SERVICE_ACCEPT_PRESHUTDOWN;
  return env_.status_sink->SetStatus(s);
}

uint32_t KelvaService::ServiceControlHandler(uint32_t control, uint32_t event_type, const void* event_data) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      KLOG_INFO("stop requested (control %u)", control);
      ReportStatus(SERVICE_STOP_PENDING, 0, 0, kStopWaitHintMs);
      RequestStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    case SERVICE_CONTROL_DEVICEEVENT:
      HandleDeviceEvent(event_type, static_cast<const DeviceBroadcast*>(event_data), false);
      break;
    case SERVICE_CONTROL_POWEREVENT:
      if (event_type == PBT_APMSUSPEND) {
        KLOG_INFO("power: suspend");
        if (auto units = Units()) units->SuspendAll();  // synchronously: units are quiet before sleep
      } else if (event_type == PBT_APMRESUMEAUTOMATIC) {
        KLOG_INFO("power: resume");
        if (auto units = Units()) units->ResumeAll();
      }
      break;
    case SERVICE_CONTROL_SESSIONCHANGE:
      if (event_type == WTS_SESSION_LOGON && event_data) {
        const uint32_t session = static_cast<const SessionNotification*>(event_data)->session_id;
        KLOG_INFO("session %u logged on", session);
        ApplyExplorerDriveSetting(*env_.registry, session, env_.session_user);
      }
      break;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
  ReportStatus(SERVICE_RUNNING, 0, 0, 0);
  return NO_ERROR;
}

void KelvaService::HandleDeviceEvent(uint32_t event_type, const DeviceBroadcast* data, bool check_class) {
  if (!data) return;
  if ((event_type == DBT_DEVICEARRIVAL || event_type == DBT_DEVICEREMOVECOMPLETE) &&
      data->device_type == DBT_DEVTYP_DEVICEINTERFACE) {
    if (check_class && !(data->class_guid == kGuidDevinterfaceCdrom)) return;
    const bool arrival = event_type == DBT_DEVICEARRIVAL;
    KLOG_INFO("device %s: %s", arrival ? "arrived" : "removed", data->name.c_str());
    StartEventThread([this, path = data->name, arrival] {
      if (auto units = Units()) arrival ? units->DeviceInterfaceArrival(path) : units->DeviceInterfaceRemoval(path);
    });
  } else if (event_type == DBT_CUSTOMEVENT && data->device_type == DBT_DEVTYP_HANDLE) {
    const bool arrival = data->event_guid == kGuidIoMediaArrival;
    if (!arrival && !(data->event_guid == kGuidIoMediaRemoval)) return;
    KLOG_INFO("media %s on device handle %ld", arrival ? "arrived" : "removed", static_cast<long>(data->handle));
    StartEventThread([this, handle = data->handle, arrival] {
      if (auto units = Units()) arrival ? units->MediaArrival(handle) : units->MediaRemoval(handle);
    });
  }
}

void KelvaService::OnConsoleInterrupt() {
  if (interrupted_.exchange(true)) {
    KLOG_INFO("Ctrl+C again: ignored, already stopping");
    return;
  }
  KLOG_INFO("Ctrl+C: stopping");
  RequestStop();
}

void KelvaService::RequestStop() {
  std::lock_guard<std::mutex> g(mu_);
  if (stop_event_) stop_event_->Set();
}

// Sleep, wake-up and logon arrive as the control handler's power and session
// events; the suspend runs synchronously on the watcher's thread, so the
// system sleeps only after the units are quiet.
void KelvaService::StartPowerWatcher() {
  power_watcher_ = env_.make_power_watcher();
  if (!power_watcher_) return;
  PowerSessionCallbacks callbacks;
  callbacks.suspend = [this] { ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, nullptr); };
  callbacks.resume = [this] { ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, nullptr); };
  callbacks.logon = [this](uint32_t session) {
    const SessionNotification notification{session};
    ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &notification);
  };
  power_watcher_->Start(std::move(callbacks));
}

// ---- event threads ----

void KelvaService::StartEventThread(std::function<void()> work) {
  if (env_.start_event_thread) {
    if (!env_.start_event_thread(std::move(work))) KLOG_WARN("event dropped: no thread");
    return;
  }
  std::lock_guard<std::mutex> g(threads_mu_);
  // Finished threads are joined as new ones start, so the list stays short.
  for (auto it = event_threads_.begin(); it != event_threads_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = event_threads_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  try {
    std::thread t([work = std::move(work), done] {
      try {
        work();
      } catch (...) {
        KLOG_ERROR("event thread: exception ignored");
      }
      done->store(true);
    });
    event_threads_.push_back({std::move(t), done});
  } catch (const std::system_error&) {
    KLOG_WARN("event dropped: no thread");
  }
}

void KelvaService::JoinEventThreads() {
  std::vector<EventThread> threads;
  {
    std::lock_guard<std::mutex> g(threads_mu_);
    threads.swap(event_threads_);
  }
  for (EventThread& t : threads) t.thread.join();
}

std::shared_ptr<IUnitManager> KelvaService::Units() {
  std::lock_guard<std::mutex> g(mu_);
  return units_;
}

// ---- services for the components ----

void KelvaService::SendFilterMessage(uint8_t command, std::u16string_view volume_name) {
  filter_.Send(command, volume_name);
}

NotificationToken KelvaService::RegisterDeviceHandleNotification(DeviceHandle handle) {
  NotificationToken token = 0;
  if (Win32Error e = env_.device_notifications->RegisterHandleNotification(handle, &token)) {
    KLOG_WARN("device handle %ld: notification registration failed: %u", static_cast<long>(handle), e);
    return 0;
  }
  return token;
}

void KelvaService::UnregisterDeviceNotification(NotificationToken token) {
  if (token) env_.device_notifications->Unregister(token);
}

std::filesystem::path KelvaService::DataFolder() const {
  std::lock_guard<std::mutex> g(mu_);
  return data_folder_;
}

// ---- lifecycle ----

void KelvaService::Heartbeat(uint64_t start_ms) {
  // Reports fall due every 5 s counted from the start of the stop, so a late
  // wake-up does not push the later ones back.
  uint32_t check_point = 0;
  for (;;) {
    const uint64_t due = start_ms + uint64_t(check_point + 1) * kHeartbeatPeriodMs;
    const uint64_t now = env_.clock->NowMs();
    if (heartbeat_event_->Wait(due > now ? static_cast<uint32_t>(due - now) : 0)) return;
    ReportStatus(SERVICE_STOP_PENDING, 0, ++check_point, kStopWaitHintMs);
    KLOG_INFO("still stopping (check point %u)", check_point);
  }
}

int32_t KelvaService::ServiceMain() {
  service_mode_ = true;
  StopSignalWatcher signals;
  if (env_.handle_signals &&
      !signals.Start({SIGTERM, SIGINT}, [this](int) { ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr); }))
    KLOG_WARN("cannot watch the stop signal");
  const int32_t code = RunService();
  signals.Stop();
  ReportStatus(SERVICE_STOPPED, static_cast<uint32_t>(code), 0, 0);
  KLOG_INFO("stopped, exit code %d", code);
  return code;
}

int32_t KelvaService::RunConsole() {
  service_mode_ = false;
  const int32_t code = RunService();
  KLOG_INFO("stopped, exit code %d", code);
  return code;
}

int32_t KelvaService::RunService() {
  Clock& clock = *env_.clock;
  int32_t exit_code = 0;
  bool com_initialized = false;
  bool registered_interfaces = false;
  StopSignalWatcher console_signals;
  interrupted_ = false;

  // What exists so far decides which clean-up steps run.
  auto cleanup = [&] {
    KLOG_INFO("cleaning up");
    console_signals.Stop();
    if (power_watcher_) power_watcher_->Stop();
    power_watcher_.reset();
    busy_.Close();
    filter_.Close();
    {
      std::lock_guard<std::mutex> g(mu_);
      stop_event_.reset();
    }
    (void)com_initialized;  // nothing to uninitialise on Linux
    if (control_) {
      control_->Stop();
      control_->SendServiceClosing();
    }
    control_.reset();
    JoinEventThreads();
  };

  // 1. The control channel server object.
  control_ = env_.make_control_server();
  KLOG_INFO("starting (%s mode)", service_mode_ ? "service" : "console");

  // 2. The operating system version.
  if (!env_.query_os_version(&os_major_)) {
    KLOG_ERROR("cannot get the operating system version");
    cleanup();
    return kExitNoVersionOrFolder;
  }
  // 3. The data folder.
  {
    std::filesystem::path common;
    const int32_t hr = env_.query_common_app_data(&common);
    if ((hr != S_OK && hr != E_FAIL) || common.empty()) {
      KLOG_ERROR("cannot get the common application data folder: 0x%08X", static_cast<uint32_t>(hr));
      cleanup();
      return kExitNoVersionOrFolder;
    }
    std::lock_guard<std::mutex> g(mu_);
    data_folder_ = common / "Norve" / "KELVA";
  }
  KLOG_INFO("data folder %s", DataFolder().c_str());
  // 4, 5. Process-wide initialisation.
  if (int32_t hr = env_.com_initialize(); hr < 0) {
    KLOG_ERROR("initialisation failed: 0x%08X", static_cast<uint32_t>(hr));
    if (control_) control_->Stop();
    control_.reset();
    return hr;
  }
  com_initialized = true;
  if (int32_t hr = env_.com_initialize_security(); hr < 0) {
    KLOG_ERROR("security initialisation failed: 0x%08X", static_cast<uint32_t>(hr));
    cleanup();
    return hr;
  }
  // 6. The stop event.
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_event_ = std::make_unique<Event>(true, false, clock);
  }
  // 7. The filter.
  if (int32_t code = filter_.Connect(); code != 0) {
    cleanup();
    return code;
  }
  KLOG_INFO("connected to the filter port");
  // 8. The busy event.
  if (uint32_t e = busy_.Create(clock, env_.run_dir)) {
    KLOG_ERROR("cannot create the busy event: %u (%s)", e, ErrorText(e).c_str());
    cleanup();
    return static_cast<int32_t>(e);
  }
  // 9. Notifications, then running.
  auto on_device_event = [this](uint32_t type, const DeviceBroadcast& data) {
    if (service_mode_) {
      ServiceControlHandler(SERVICE_CONTROL_DEVICEEVENT, type, &data);
    } else {
      HandleDeviceEvent(type, &data, true);
    }
  };
  if (service_mode_) {
    const uint32_t session = env_.active_console_session();
    if (session != kNoSession) ApplyExplorerDriveSetting(*env_.registry, session, env_.session_user);
  } else if (env_.handle_signals) {
    if (!console_signals.Start({SIGINT, SIGTERM}, [this](int signo) {
          if (signo == SIGINT) {
            OnConsoleInterrupt();
          } else {
            KLOG_INFO("SIGTERM: stopping");
            RequestStop();
          }
        }))
      KLOG_WARN("cannot watch Ctrl+C");
  }
  if (Win32Error e = env_.device_notifications->RegisterInterfaceNotification(kGuidDevinterfaceCdrom, on_device_event,
                                                                              &interface_token_)) {
    KLOG_ERROR("cannot register for device notifications: %u (%s)", e, ErrorText(e).c_str());
    exit_code = static_cast<int32_t>(e);
    cleanup();
    return exit_code;
  }
  registered_interfaces = true;
  StartPowerWatcher();
  ReportStatus(SERVICE_RUNNING, 0, 0, 0);
  running_ = true;
  KLOG_INFO("running");

  // 10, 11. The components, then the wait for the stop event.
  std::thread watcher;
  try {
    auto units = std::shared_ptr<IUnitManager>(env_.make_unit_manager(*this));
    {
      std::lock_guard<std::mutex> g(mu_);
      units_ = units;
    }
    if (uint32_t e = control_->Start(units.get())) KLOG_WARN("control channel server did not start: %u", e);
    KLOG_INFO("scanning for units");
    units->ScanUnits();
    std::unique_ptr<KeyChangeNotifier> notifier;
    if (Win32Error e = env_.open_mount_notifier(&notifier))
      KLOG_WARN("cannot watch %s: %u (%s)", kMountedDevicesKey, e, ErrorText(e).c_str());
    watcher = std::thread([this, &clock, n = std::move(notifier)]() mutable {
      MountPointWatcher w(clock, *stop_event_, std::move(n), [this] {
        StartEventThread([this] {
          if (auto units = Units()) units->MountPointsChanged();
        });
      });
      w.Run();
    });
    stop_event_->Wait(kInfinite);
    KLOG_INFO("stopping");
    watcher.join();
  } catch (...) {
    KLOG_ERROR("exception during the run ignored; stopping");
    RequestStop();  // lets the watcher end
    if (watcher.joinable()) watcher.join();
  }
  running_ = false;

  // 12. The stop-pending heartbeat.
  if (service_mode_) {
    heartbeat_event_ = std::make_unique<Event>(true, false, clock);
    try {
      heartbeat_ = std::thread([this, start = clock.NowMs()] { Heartbeat(start); });
    } catch (const std::system_error&) {
      KLOG_WARN("no heartbeat thread");
    }
  }
  // 13. Units and control server.
  try {
    auto units = Units();
    if (units) units->StopAll();
    KLOG_INFO("units stopped");
    if (control_) control_->Stop();
    KLOG_INFO("control channel server stopped");
    if (units) units->StopAll();  // a unit that arrived meanwhile
    {
      std::lock_guard<std::mutex> g(mu_);
      units_.reset();
    }
  } catch (...) {
    KLOG_ERROR("exception while stopping units ignored");
    std::lock_guard<std::mutex> g(mu_);
    units_.reset();
  }
  // 14. End the heartbeat.
  if (heartbeat_.joinable()) {
    heartbeat_event_->Set();
    heartbeat_.join();
  }
  // 15. Device notifications.
  if (registered_interfaces) {
    env_.device_notifications->Unregister(interface_token_);
    interface_token_ = 0;
  }
  cleanup();
  return exit_code;
}

}  // namespace kelva::core
