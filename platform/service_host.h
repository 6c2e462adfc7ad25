// The host side of running as a service: status reports to systemd through the
// notify protocol (NOTIFY_SOCKET, without libsystemd), and the stop signals
// (SIGTERM is the service manager's stop control, SIGINT is Ctrl+C in console
// mode) delivered to a callback on a thread of their own.
#pragma once

#include <csignal>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/service_manager.h"

namespace kelva::platform {

// True when a service manager started this process and listens for status
// reports (NOTIFY_SOCKET is set).
bool StartedByServiceManager();

// Sends one notify message ("READY=1\nSTATUS=..."). False when there is no
// notify socket or the send failed.
bool NotifyServiceManager(std::string_view message);

// Where a service's status reports go (SetServiceStatus).
class ServiceStatusSink {
 public:
  virtual ~ServiceStatusSink() = default;
  // False when the report was refused.
  virtual bool SetStatus(const ServiceStatus& status) = 0;
};

// Reports to systemd: RUNNING as READY=1, STOP_PENDING as STOPPING=1 with the
// wait hint as a time-out extension, STOPPED as a final status line with the exit
// code; every report carries a STATUS= text for `systemctl status`.
class SystemdStatusSink final : public ServiceStatusSink {
 public:
  bool SetStatus(const ServiceStatus& status) override;
};

// Blocks SIGINT and SIGTERM in the calling thread, so that threads created
// afterwards inherit the mask and the signals reach only a StopSignalWatcher;
// also undoes an inherited "ignore" for them. Call first thing in main.
void BlockStopSignals();

// Waits for the given signals (which must be blocked, see BlockStopSignals) on
// its own thread and calls on_signal(signo) for each one. Not copyable.
class StopSignalWatcher {
 public:
  StopSignalWatcher() = default;
  StopSignalWatcher(const StopSignalWatcher&) = delete;
  StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;
  ~StopSignalWatcher() { Stop(); }

  // Starts watching; false when the signal descriptor could not be made.
  bool Start(const std::vector<int>& signals, std::function<void(int)> on_signal);
  // Ends the thread; signals that arrive later stay pending (blocked).
  void Stop();

 private:
  int signal_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
};

}  // namespace kelva::platform
