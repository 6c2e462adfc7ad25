#include "platform/service_host.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelva::platform {

bool StartedByServiceManager() {
  const char* s = std::getenv("NOTIFY_SOCKET");
  return s && *s;
}

bool NotifyServiceManager(std::string_view message) {
  const char* s = std::getenv("NOTIFY_SOCKET");
  if (!s || !*s) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(s);
  if (len >= sizeof addr.sun_path || (s[0] != '/' && s[0] != '@')) return false;
  std::memcpy(addr.sun_path, s, len);
  if (s[0] == '@') addr.sun_path[0] = '\0';  // abstract socket name
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), addr_len);
  close(fd);
  return n == static_cast<ssize_t>(message.size());
}

bool SystemdStatusSink::SetStatus(const ServiceStatus& status) {
  std::string msg;
  switch (status.current_state) {
    case SERVICE_RUNNING:
      msg = "READY=1\nSTATUS=running";
      break;
    case SERVICE_START_PENDING:
      msg = "STATUS=starting";
      break;
    case SERVICE_STOP_PENDING:
      msg = "STOPPING=1\nSTATUS=stopping (check point " + std::to_string(status.check_point) + ")";
      if (status.wait_hint) msg += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t(status.wait_hint) * 1000);
      break;
    case SERVICE_STOPPED:
      msg = "STATUS=stopped, exit code " + std::to_string(status.win32_exit_code);
      break;
    default:
      msg = "STATUS=state " + std::to_string(status.current_state);
      break;
  }
  return NotifyServiceManager(msg);
}

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal
  // is dropped before a signal descriptor can see it: take the default action
  // back (it never runs while the signals are blocked).
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

bool StopSignalWatcher::Start(const std::vector<int>& signals, std::function<void(int)> on_signal) {
  Stop();
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) return false;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    close(signal_fd_);
    signal_fd_ = -1;
    return false;
  }
  thread_ = std::thread([this, cb = std::move(on_signal)] {
    for (;;) {
      pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents & POLLIN) return;
      signalfd_siginfo info;
      while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        cb(static_cast<int>(info.ssi_signo));
    }
  });
  return true;
}

void StopSignalWatcher::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (signal_fd_ >= 0) close(signal_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  signal_fd_ = wake_fd_ = -1;
}

}  // namespace kelva::platform
