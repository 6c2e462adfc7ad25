#include "platform/service_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"

extern char** environ;

namespace kelva::platform {

namespace {

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> p;
  for (const std::string& a : argv) p.push_back(const_cast<char*>(a.c_str()));
  p.push_back(nullptr);
  return p;
}

// Children start with no blocked signals and default actions for the stop
// signals, whatever this process has set up for itself.
struct CleanSpawnAttr {
  CleanSpawnAttr() {
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~CleanSpawnAttr() { posix_spawnattr_destroy(&attr); }
  posix_spawnattr_t attr;
};

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  pid_t pid = 0;
  std::vector<char*> args = ArgvPointers(argv);
  CleanSpawnAttr attr;
  const int rc = posix_spawnp(&pid, args[0], &fa, &attr.attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipefd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    return -1;
  }
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(pipefd[0], buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(pipefd[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output) *output = std::move(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Win32Error WritePidFile(const std::filesystem::path& path) {
  if (Win32Error e = CreateDirectoryChain(path.parent_path())) return e;
  const std::filesystem::path tmp = path.string() + ".tmp";
  if (Win32Error e = WriteWholeFile(tmp, std::to_string(getpid()) + "\n")) return e;
  return MoveFile(tmp, path, true);
}

Win32Error ServiceManager::CreateService(const ServiceConfig&) { return ERROR_NOT_SUPPORTED; }
Win32Error ServiceManager::DeleteService(std::string_view) { return ERROR_NOT_SUPPORTED; }
std::string ServiceManager::Location(std::string_view) const { return {}; }

// ---- systemd ----

namespace {

namespace fs = std::filesystem;

constexpr char kUnitFolder[] = "etc/systemd/system";
constexpr char kWantsFolder[] = "multi-user.target.wants";
constexpr char kServicesKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\";

// Windows runs these kernel components as services; here they are part of the
// kernel (the filter manager's part is fanotify), so no unit stands for them.
bool IsKernelComponent(std::string_view service) { return EqualNoCase(Utf8ToUtf16(service), u"fltMgr"); }

// A value in a unit file: "%" starts a specifier, so it is doubled.
std::string UnitValue(std::string_view v) {
  std::string out;
  for (char c : v) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// The program of ExecStart=, quoted so that spaces, quotes, backslashes,
// specifiers ("%") and variables ("$") stay part of the path.
std::string ExecPath(const fs::path& path) {
  std::string out = "\"";
  for (char c : path.string()) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out + "\"";
}

bool HasLineBreak(std::string_view v) { return v.find_first_of("\r\n") != std::string_view::npos; }

// A service name stays one file name in the unit folder and one registry key.
bool IsServiceName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\\r\n") == std::string_view::npos;
}

}  // namespace

fs::path SystemdRoot() {
  const char* v = std::getenv("KELVA_SYSTEMD_ROOT");
  return (v && *v) ? fs::path(v) : fs::path("/");
}

SystemdServiceManager::SystemdServiceManager(fs::path root, fs::path registry_root)
    : root_(root.empty() ? SystemdRoot() : std::move(root)),
      registry_root_(registry_root.empty() ? RegistryRoot() : std::move(registry_root)) {}

std::string SystemdServiceManager::UnitName(std::string_view service) {
  const std::u16string s = Utf8ToUtf16(service);
  if (EqualNoCase(s, u"KELVA")) return "kelva.service";
  if (EqualNoCase(s, u"KELVAFilter")) return "kelvaflt.service";
  return std::string(service) + ".service";
}

std::string SystemdServiceManager::UnitFileText(const ServiceConfig& c) {
  // Built by appending: GCC 12 warns falsely about "literal" + string here.
  std::string u = "# Written by \"kelva /install\"; \"kelva /uninstall\" removes it.\n[Unit]\nDescription=";
  u.append(UnitValue(c.display_name)).append("\n");
  std::string units;
  std::string kernel;
  for (const std::string& d : c.dependencies) {
    if (IsKernelComponent(d)) {
      kernel.append(" ").append(d);
    } else {
      units.append(units.empty() ? "" : " ").append(UnitName(d));
    }
  }
  if (!units.empty()) u.append("Requires=").append(units).append("\nAfter=").append(units).append("\n");
  std::string before;
  for (const std::string& d : c.dependents) before.append(before.empty() ? "" : " ").append(UnitName(d));
  if (!before.empty()) u.append("Before=").append(before).append("\n");
  if (!c.load_order_group.empty()) {
    u.append("# Load order group \"").append(c.load_order_group);
    u.append("\": systemd orders units by their dependencies alone.\n");
  }
  if (!kernel.empty()) u.append("# Dependency on").append(kernel).append(": part of the kernel here, not a unit.\n");
  // Every service of this system is a daemon of its own that reports
  // readiness and its stop progress through the notify socket.
  u.append("\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=").append(ExecPath(c.binary_path)).append("\n");
  u.append("KillSignal=SIGTERM\nKillMode=mixed\n");
  if (c.preshutdown_timeout_ms)
    u.append("TimeoutStopSec=").append(std::to_string((c.preshutdown_timeout_ms + 999) / 1000)).append("\n");
  // Only root writes in the run folder; users' programs create their
  // mailslots in the sticky "user" folder inside, made by kelva and kelvaflt.
  u.append("RuntimeDirectory=kelva\nRuntimeDirectoryMode=0755\nRuntimeDirectoryPreserve=yes\nStateDirectory=kelva\n");
  // Boot, system and automatic start all mean: started at boot.
  if (c.start_type <= SERVICE_AUTO_START) u.append("\n[Install]\nWantedBy=multi-user.target\n");
  return u;
}

fs::path SystemdServiceManager::UnitFolder() const { return root_ / kUnitFolder; }

std::string SystemdServiceManager::Location(std::string_view service) const {
  return (UnitFolder() / UnitName(service)).string();
}

bool SystemdServiceManager::Live() const {
  return root_.lexically_normal() == fs::path("/") && DirectoryExists("/run/systemd/system");
}

void SystemdServiceManager::ReloadIfLive() {
  if (!Live()) return;
  if (RunProgram({"systemctl", "daemon-reload"}, nullptr) != 0) KLOG_WARN("systemctl daemon-reload failed");
}

Win32Error SystemdServiceManager::CreateService(const ServiceConfig& c) {
  if (!IsServiceName(c.name)) return ERROR_INVALID_NAME;
  if (HasLineBreak(c.display_name) || HasLineBreak(c.binary_path.string()) || HasLineBreak(c.load_order_group))
    return ERROR_INVALID_PARAMETER;
  const std::string unit = UnitName(c.name);
  const fs::path file = UnitFolder() / unit;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) return ERROR_SERVICE_EXISTS;
  if (Win32Error e = CreateDirectoryChain(UnitFolder())) return e;
  // Written aside and linked into place: the unit appears whole or not at
  // all, and a unit made meanwhile by someone else is never replaced.
  fs::path tmp;
  if (Win32Error e = GetTempFileName(UnitFolder(), ".kv", &tmp)) return e;
  Win32Error e = WriteWholeFile(tmp, UnitFileText(c));
  if (!e) {
    fs::permissions(tmp, fs::perms(0644), ec);
    e = CreateHardLink(file, tmp);
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) e = ERROR_SERVICE_EXISTS;
  }
  DeleteFile(tmp);
  if (e) return e;
  if (c.start_type <= SERVICE_AUTO_START) {
    const fs::path wants = UnitFolder() / kWantsFolder;
    e = CreateDirectoryChain(wants);
    if (!e) {
      fs::remove(wants / unit, ec);
      if (symlink((fs::path("/") / kUnitFolder / unit).c_str(), (wants / unit).c_str()) != 0) e = FromErrno(errno);
    }
    if (e) {
      DeleteFile(file);
      return e;
    }
  }
  ReloadIfLive();
  return ERROR_SUCCESS;
}

Win32Error SystemdServiceManager::DeleteService(std::string_view service) {
  if (!IsServiceName(service)) return ERROR_INVALID_NAME;
  const std::string unit = UnitName(service);
  const fs::path file = UnitFolder() / unit;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) return ERROR_SERVICE_DOES_NOT_EXIST;
  const fs::path link = UnitFolder() / kWantsFolder / unit;
  if (fs::exists(fs::symlink_status(link, ec)) && unlink(link.c_str()) != 0) return FromErrno(errno);
  if (unlink(file.c_str()) != 0) return FromErrno(errno);
  // Deleting a service drops its registry key with everything below it.
  Registry registry(registry_root_);
  const Win32Error e = registry.DeleteKeyTree(std::string(kServicesKey) + std::string(service));
  ReloadIfLive();
  return e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e;
}

Win32Error SystemdServiceManager::QueryStatus(std::string_view service, ServiceStatus* status) {
  if (!Live()) {
    // Without a running systemd an installed unit can only be stopped.
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(UnitFolder() / UnitName(service), ec))) return ERROR_SERVICE_DOES_NOT_EXIST;
    *status = ServiceStatus{};
    return ERROR_SUCCESS;
  }
  std::string out;
  const int rc = RunProgram({"systemctl", "show", "--property=LoadState,ActiveState", UnitName(service)}, &out);
  if (rc < 0) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  std::string load, active;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    if (line.rfind("LoadState=", 0) == 0) load = Trim(line.substr(10));
    if (line.rfind("ActiveState=", 0) == 0) active = Trim(line.substr(12));
    pos = end + 1;
  }
  if (rc != 0 || load.empty()) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  if (load == "not-found") return ERROR_SERVICE_DOES_NOT_EXIST;
  *status = ServiceStatus{};
  if (active == "active" || active == "reloading") {
    status->current_state = SERVICE_RUNNING;
  } else if (active == "activating") {
    status->current_state = SERVICE_START_PENDING;
    status->wait_hint = 10000;
  } else if (active == "deactivating") {
    status->current_state = SERVICE_STOP_PENDING;
    status->wait_hint = 10000;
  } else {
    status->current_state = SERVICE_STOPPED;
  }
  return ERROR_SUCCESS;
}

Win32Error SystemdServiceManager::Start(std::string_view service) {
  ServiceStatus st;
  if (Win32Error e = QueryStatus(service, &st)) return e;
  if (st.current_state != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  if (!Live()) return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  // systemctl start waits until a Type=notify unit reports READY=1.
  const int rc = RunProgram({"systemctl", "start", UnitName(service)}, nullptr);
  return rc == 0 ? ERROR_SUCCESS : ERROR_SERVICE_DEPENDENCY_FAIL;
}

Win32Error SystemdServiceManager::Stop(std::string_view service, ServiceStatus* status) {
  if (Win32Error e = QueryStatus(service, status)) return e;
  if (status->current_state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  // The stop goes ahead of ordering: kelva.service is ordered after
  // kelvaflt.service and stops the filter at the end of its own stop, which a
  // stop job ordered behind kelva's would only reach after kelva has ended.
  if (RunProgram({"systemctl", "stop", "--no-block", "--job-mode=ignore-dependencies", UnitName(service)}, nullptr) !=
      0)
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (Win32Error e = QueryStatus(service, status)) return e;
  if (status->current_state == SERVICE_RUNNING) {
    status->current_state = SERVICE_STOP_PENDING;
    status->wait_hint = 10000;
  }
  return ERROR_SUCCESS;
}

// ---- process supervisor ----

ProcessSupervisor::~ProcessSupervisor() {
  std::lock_guard<std::mutex> g(mu_);
  Reap();
}

void ProcessSupervisor::AddService(std::string name, Program program) {
  std::lock_guard<std::mutex> g(mu_);
  services_[std::move(name)] = std::move(program);
}

void ProcessSupervisor::Reap() {
  for (auto it = children_.begin(); it != children_.end();) {
    int status = 0;
    if (waitpid(*it, &status, WNOHANG) == *it) {
      it = children_.erase(it);
    } else {
      ++it;
    }
  }
}

pid_t ProcessSupervisor::LivePid(const Program& p) {
  Reap();
  std::string text;
  if (ReadWholeFile(p.pid_file, &text)) return 0;
  const long pid = std::strtol(text.c_str(), nullptr, 10);
  if (pid <= 0) return 0;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return 0;
  // A zombie is gone for our purposes.
  std::string stat;
  if (ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat) == ERROR_SUCCESS) {
    const size_t paren = stat.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') return 0;
  }
  return static_cast<pid_t>(pid);
}

Win32Error ProcessSupervisor::QueryStatus(std::string_view service, ServiceStatus* status) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = services_.find(service);
  if (it == services_.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
  *status = ServiceStatus{};
  status->current_state = LivePid(it->second) ? SERVICE_RUNNING : SERVICE_STOPPED;
  return ERROR_SUCCESS;
}

Win32Error ProcessSupervisor::Start(std::string_view service) {
  Program program;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = services_.find(service);
    if (it == services_.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (LivePid(it->second)) return ERROR_SERVICE_ALREADY_RUNNING;
    program = it->second;
    unlink(program.pid_file.c_str());
    std::vector<char*> args = ArgvPointers(program.argv);
    pid_t pid = 0;
    CleanSpawnAttr attr;
    if (posix_spawn(&pid, args[0], nullptr, &attr.attr, args.data(), environ) != 0) return ERROR_FILE_NOT_FOUND;
    children_.push_back(pid);
    KLOG_DEBUG("started %s as process %d", program.argv[0].c_str(), static_cast<int>(pid));
  }
  // Started means ready: the program writes its pid file once it serves.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(program.start_timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (LivePid(program)) return ERROR_SUCCESS;
      bool alive = false;
      for (pid_t c : children_) alive |= kill(c, 0) == 0;
      if (!alive) return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

Win32Error ProcessSupervisor::Stop(std::string_view service, ServiceStatus* status) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = services_.find(service);
  if (it == services_.end()) return ERROR_SERVICE_DOES_NOT_EXIST;
  const pid_t pid = LivePid(it->second);
  *status = ServiceStatus{};
  if (!pid) return ERROR_SERVICE_NOT_ACTIVE;
  if (kill(pid, SIGTERM) != 0) return FromErrno(errno);
  status->current_state = SERVICE_STOP_PENDING;
  status->wait_hint = 2000;
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
