#include "platform/service_manager.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/file.h"
#include "platform/log.h"
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
  const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
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

// ---- systemd ----

std::string SystemdServiceManager::UnitName(std::string_view service) {
  const std::u16string s = Utf8ToUtf16(service);
  if (EqualNoCase(s, u"KELVA")) return "kelva.service";
  if (EqualNoCase(s, u"KELVAFilter")) return "kelvaflt.service";
  return std::string(service) + ".service";
}

Win32Error SystemdServiceManager::QueryStatus(std::string_view service, ServiceStatus* status) {
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
  // systemctl start waits until a Type=notify unit reports READY=1.
  const int rc = RunProgram({"systemctl", "start", UnitName(service)}, nullptr);
  return rc == 0 ? ERROR_SUCCESS : ERROR_SERVICE_DEPENDENCY_FAIL;
}

Win32Error SystemdServiceManager::Stop(std::string_view service, ServiceStatus* status) {
  if (Win32Error e = QueryStatus(service, status)) return e;
  if (status->current_state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (RunProgram({"systemctl", "stop", "--no-block", UnitName(service)}, nullptr) != 0)
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
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return ERROR_FILE_NOT_FOUND;
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
