#include "service/core/install_commands.h"

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>

#include "platform/log.h"
#include "platform/text.h"
#include "service/core/filter_connection.h"

namespace kelva::core {

using namespace kelva::platform;
namespace fs = std::filesystem;

namespace {

std::string Where(InstallEnvironment& env, const char* service) {
  const std::string place = env.service_manager->Location(service);
  return place.empty() ? service : std::string(service) + " (" + place + ")";
}

bool Failed(const char* what, Win32Error e) {
  KLOG_ERROR("%s: %s", what, ErrorText(e).c_str());
  return false;
}

bool CreateService(InstallEnvironment& env, const ServiceConfig& config) {
  if (Win32Error e = env.service_manager->CreateService(config)) {
    return Failed(("cannot create service " + Where(env, config.name.c_str())).c_str(), e);
  }
  KLOG_INFO("created service %s", Where(env, config.name.c_str()).c_str());
  return true;
}

// Registry writes in order; the first failure ends them and is logged with its key.
struct RegistryStep {
  const char* key;
  std::function<Win32Error()> write;
};
bool WriteRegistry(std::initializer_list<RegistryStep> steps) {
  for (const RegistryStep& step : steps) {
    if (Win32Error e = step.write()) return Failed((std::string("cannot write registry key ") + step.key).c_str(), e);
  }
  return true;
}

// Stops a service (unless it is stopped or stopping), waits for it to stop
// and deletes it. Each wait is a tenth of the reported wait hint, clamped to
// 1000..10000 ms; limit_ms counts from the first query.
bool StopAndDelete(InstallEnvironment& env, const char* name, uint64_t limit_ms) {
  ServiceManager& services = *env.service_manager;
  ServiceStatus st;
  if (Win32Error e = services.QueryStatus(name, &st)) return Failed(("cannot open service " + Where(env, name)).c_str(), e);
  const uint64_t first_query = env.clock->NowMs();
  if (st.current_state != SERVICE_STOPPED) {
    if (st.current_state != SERVICE_STOP_PENDING) {
      KLOG_INFO("stopping service %s", name);
      const Win32Error e = services.Stop(name, &st);
      // A service that stopped on its own meanwhile is as good as stopped.
      if (e == ERROR_SERVICE_NOT_ACTIVE) {
        st.current_state = SERVICE_STOPPED;
      } else if (e) {
        return Failed(("service " + std::string(name) + " refused to stop").c_str(), e);
      }
    }
    while (st.current_state != SERVICE_STOPPED) {
      env.clock->Sleep(std::clamp<uint32_t>(st.wait_hint / 10, 1000, 10000));
      if (Win32Error e = services.QueryStatus(name, &st))
        return Failed(("cannot query service " + std::string(name)).c_str(), e);
      if (st.current_state == SERVICE_STOPPED) break;
      if (env.clock->NowMs() - first_query > limit_ms) {
        return Failed(("service " + std::string(name) + " did not stop within " + std::to_string(limit_ms / 1000) +
                       " s; it stays installed")
                          .c_str(),
                      ERROR_SERVICE_REQUEST_TIMEOUT);
      }
    }
  }
  if (Win32Error e = services.DeleteService(name)) return Failed(("cannot delete service " + Where(env, name)).c_str(), e);
  KLOG_INFO("deleted service %s", name);
  return true;
}

std::string Utf16LeWithNul(const fs::path& path) {
  std::string out;
  for (char16_t c : Utf8ToUtf16(path.string())) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  out.append(2, '\0');
  return out;
}

bool IsExecutableFile(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::is_regular_file(st)) return false;
  return (st.permissions() & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec)) !=
         fs::perms::none;
}

}  // namespace

bool InstallFilter(InstallEnvironment& env) {
  fs::path program;
  if (Win32Error e = env.program_path(&program)) return Failed("cannot find this program's path", e);
  if (!program.has_parent_path()) return Failed("this program's path has no folder", ERROR_PATH_NOT_FOUND);
  const fs::path filter = program.parent_path() / kFilterProgram;
  // A unit whose program cannot run would fail at every start.
  if (!IsExecutableFile(filter)) {
    return Failed(("the filter program " + filter.string() + " is missing or not executable").c_str(),
                  ERROR_FILE_NOT_FOUND);
  }
  ServiceConfig config;
  config.name = kFilterServiceName;
  config.display_name = kFilterDisplayName;
  config.service_type = SERVICE_FILE_SYSTEM_DRIVER;
  config.start_type = SERVICE_DEMAND_START;
  config.error_control = SERVICE_ERROR_NORMAL;
  config.binary_path = filter;
  config.load_order_group = "FSFilter Open File";
  config.dependencies = {"fltMgr"};
  config.dependents = {kServiceName};
  if (!CreateService(env, config)) return false;
  // The filter service is not started here; the service starts it when it connects.
  Registry& r = *env.registry;
  return WriteRegistry({
      {kFilterInstancesKey, [&] { return r.CreateKey(kFilterInstancesKey); }},
      {kFilterInstancesKey, [&] { return r.SetString(kFilterInstancesKey, "DefaultInstance", u"KELVAFilter"); }},
      {kFilterInstanceKey, [&] { return r.CreateKey(kFilterInstanceKey); }},
      {kFilterInstanceKey, [&] { return r.SetString(kFilterInstanceKey, "Altitude", u"109988.0305"); }},
      {kFilterInstanceKey, [&] { return r.SetDword(kFilterInstanceKey, "Flags", 0); }},
  });
}

bool InstallService(InstallEnvironment& env) {
  fs::path program;
  if (Win32Error e = env.program_path(&program)) return Failed("cannot find this program's path", e);
  ServiceConfig config;
  config.name = kServiceName;
  config.display_name = kServiceDisplayName;
  config.service_type = SERVICE_WIN32_OWN_PROCESS;
  config.start_type = SERVICE_AUTO_START;
  config.error_control = SERVICE_ERROR_NORMAL;
  config.binary_path = program;
  config.dependencies = {kFilterServiceName};
  config.preshutdown_timeout_ms = kPreshutdownTimeoutMs;
  // An existing service fails here, before anything is changed.
  if (!CreateService(env, config)) return false;

  // The event log source (error, warning and information); a failure leaves
  // the service created.
  Registry& r = *env.registry;
  const std::string message_file = Utf16LeWithNul(program);
  if (!WriteRegistry({
          {kEventLogSourceKey, [&] { return r.CreateKey(kEventLogSourceKey); }},
          {kEventLogSourceKey,
           [&] { return r.SetValue(kEventLogSourceKey, "EventMessageFile", REG_EXPAND_SZ, message_file); }},
          {kEventLogSourceKey, [&] { return r.SetDword(kEventLogSourceKey, "TypesSupported", 7); }},
      }))
    return false;

  bool created = false;
  if (Win32Error e = env.ensure_access_group(&created))
    return Failed((std::string("cannot create the system group ") + kAccessGroup).c_str(), e);
  if (created) KLOG_INFO("created the system group %s: its members may use the archive drive", kAccessGroup);

  DisableFastStartup(env);
  return true;
}

void DisableFastStartup(InstallEnvironment& env) {
  uint32_t major = 0, minor = 0;
  if (env.os_version(&major, &minor) && (major < 6 || (major == 6 && minor < 2))) return;
  Registry& r = *env.registry;
  uint32_t value = 0;
  if (r.QueryDword(kFastStartupPolicyKey, "HiberbootEnabled", &value) == ERROR_SUCCESS && value != 0)
    r.SetDword(kFastStartupPolicyKey, "HiberbootEnabled", 0);
  if (r.OpenKey(kFastStartupPowerKey) == ERROR_SUCCESS) r.SetDword(kFastStartupPowerKey, "HiberbootEnabled", 0);
}

bool UninstallService(InstallEnvironment& env) {
  // The event log source goes first, whatever happens to the service.
  env.registry->DeleteKeyTree(kEventLogSourceKey);
  return StopAndDelete(env, kServiceName, kServiceStopLimitMs);
}

bool UninstallFilter(InstallEnvironment& env) { return StopAndDelete(env, kFilterServiceName, kFilterStopLimitMs); }

namespace {

bool RunHostInstaller(InstallEnvironment& env, bool install) {
  std::string message;
  bool reboot = false;
  const Win32Error e =
      install ? env.host_installer->Install(&message, &reboot) : env.host_installer->Uninstall(&message, &reboot);
  const char* what = install ? "install" : "uninstall";
  if (e) {
    KLOG_ERROR("cannot %s the file system host: %s%s%s", what, ErrorText(e).c_str(),
               message.empty() ? "" : ": ", message.c_str());
    if (e == ERROR_ACCESS_DENIED) {
      env.print(install ? "Installation requires administrator rights\n" : "Uninstallation requires administrator rights\n");
    } else {
      env.print(message + "\n");
    }
    return false;
  }
  KLOG_INFO("%s", install ? "the file system host is ready"
                          : "the file system host stays: it belongs to the operating system");
  if (reboot) env.print(install ? "Reboot the computer to made changes\n" : "Reboot computer to apply changes\n");
  return true;
}

}  // namespace

bool InstallHostDriver(InstallEnvironment& env) { return RunHostInstaller(env, true); }
bool UninstallHostDriver(InstallEnvironment& env) { return RunHostInstaller(env, false); }

bool CheckVersion(InstallEnvironment& env) {
  const FileVersionProbe probe = env.version_probe();
  if (probe.info_size == 0 || probe.info_size > 4096 || !probe.readable) {
    KLOG_ERROR("cannot read the system's version information (size %u)", probe.info_size);
    return false;
  }
  if (probe.file_version_ms <= 0x9FFFF) {
    KLOG_ERROR("the operating system is older than required: version %u.%u, 10.0 or later is needed",
               probe.file_version_ms >> 16, probe.file_version_ms & 0xFFFF);
    return false;
  }
  return true;
}

InstallCommands BindInstallCommands(InstallEnvironment& env) {
  InstallCommands c;
  c.install_filter = [&env] { return InstallFilter(env); };
  c.install_service = [&env] { return InstallService(env); };
  c.uninstall_service = [&env] { return UninstallService(env); };
  c.uninstall_filter = [&env] { return UninstallFilter(env); };
  c.install_host_driver = [&env] { return InstallHostDriver(env); };
  c.uninstall_host_driver = [&env] { return UninstallHostDriver(env); };
  c.check_version = [&env] { return CheckVersion(env); };
  return c;
}

}  // namespace kelva::core
