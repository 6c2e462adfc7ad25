// kelva: the service program.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/device_manager.h"
#include "platform/device_notify.h"
#include "platform/filter_port.h"
#include "platform/host_installer.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/service_manager.h"
#include "platform/system_device_manager.h"
#include "service/core/command_line.h"
#include "service/core/unit_manager_binding.h"

using namespace kelva;
using namespace kelva::platform;

namespace {

// The folder this program lies in (the other programs lie beside it).
std::filesystem::path ProgramFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path(".") : exe.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();
  SetLogProgram("kelva");
  std::vector<std::string> args(argv + 1, argv + argc);

  // Everything the service uses of the system lives for the whole run.
  SystemdStatusSink status_sink;
  SystemdServiceManager systemd;
  ProcessSupervisor supervisor;
  ProcessSupervisor::Program filter;
  const char* filter_program = std::getenv("KELVA_FILTER_PROGRAM");
  filter.argv = {filter_program && *filter_program ? std::string(filter_program)
                                                   : (ProgramFolder() / "kelvaflt").string()};
  filter.pid_file = RunDir() / "kelvaflt.pid";
  supervisor.AddService("KELVAFilter", filter);
  SocketFilterPortConnector connector;
  // The optical devices of this computer (real drives and simulated units),
  // watched only while the service body runs. The unit manager is given the
  // same object.
  std::unique_ptr<DeviceManager> devices;
  DeviceNotificationHub no_devices;  // stands in when the device manager cannot start
  Registry registry;

  FuseHostInstaller host_installer;
  core::InstallEnvironment install_env;
  install_env.service_manager = &systemd;
  install_env.registry = &registry;
  install_env.host_installer = &host_installer;

  core::CommandLineHooks hooks;
  hooks.install = core::BindInstallCommands(install_env);
  hooks.started_by_service_manager = [] { return StartedByServiceManager(); };
  hooks.make_service = [&](bool service_mode) {
    // Our sockets where only root writes, the users' mailslots in a sticky part.
    if (Win32Error e = PrepareRunDirs())
      KLOG_WARN("cannot prepare the run folder %s: %u (%s)", RunDir().c_str(), e, ErrorText(e).c_str());
    DeviceNotifications* notifications = &no_devices;
    if (!devices) {
      if (Win32Error e = CreateSystemDeviceManager(DefaultDeviceManagerOptions(), &devices)) {
        // The service's registration for device notifications then fails with this code.
        KLOG_ERROR("cannot watch optical devices: %u (%s)", e, ErrorText(e).c_str());
        no_devices.FailRegistrations(e);
      }
    }
    if (devices) notifications = devices.get();
    core::ServiceEnvironment env;
    // Under systemd the filter is a unit of its own; in a terminal it is a child process.
    env.service_manager = service_mode ? static_cast<ServiceManager*>(&systemd) : &supervisor;
    env.filter_connector = &connector;
    env.status_sink = &status_sink;
    env.device_notifications = notifications;
    env.registry = &registry;
    env.handle_signals = true;
    if (devices) {
      DeviceManager* device_manager = devices.get();
      env.make_unit_manager = [device_manager](core::IServiceCore& core) {
        return core::MakeUnitManager(core, *device_manager);
      };
    }
    return std::make_unique<core::KelvaService>(std::move(env));
  };
  const int32_t code = core::KelvaMain(args, hooks);
  return static_cast<int>(code);
}
