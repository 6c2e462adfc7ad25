#include "platform/filter_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace kelva::platform {

namespace {

bool FillAddress(const std::filesystem::path& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const std::string& s = path.native();
  if (s.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, s.data(), s.size());
  return true;
}

class SocketFilterPortClient final : public FilterPortClient {
 public:
  explicit SocketFilterPortClient(int fd) : fd_(fd) {}
  ~SocketFilterPortClient() override { close(fd_); }
  HResult SendMessage(const void* data, uint32_t length) override {
    for (;;) {
      const ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
      if (n == static_cast<ssize_t>(length)) return S_OK;
      if (n < 0 && errno == EINTR) continue;
      return HResultFromWin32(n < 0 ? FromErrno(errno) : ERROR_WRITE_FAULT);
    }
  }

 private:
  int fd_;
};

}  // namespace

std::filesystem::path FilterPortPath(std::string_view port_name, const std::filesystem::path& run_dir) {
  while (!port_name.empty() && (port_name.front() == '\\' || port_name.front() == '/')) port_name.remove_prefix(1);
  return (run_dir.empty() ? RunDir() : run_dir) / std::string(port_name);
}

HResult SocketFilterPortConnector::Connect(std::string_view port_name, std::unique_ptr<FilterPortClient>* out) {
  sockaddr_un addr;
  if (!FillAddress(FilterPortPath(port_name, run_dir_), &addr)) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return HResultFromWin32(FromErrno(errno));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    return HResultFromWin32(err == ECONNREFUSED || err == ENOENT ? ERROR_FILE_NOT_FOUND : FromErrno(err));
  }
  out->reset(new SocketFilterPortClient(fd));
  return S_OK;
}

FilterPortServer::FilterPortServer(int listen_fd, int wake_fd, std::filesystem::path path, Callbacks callbacks)
    : listen_fd_(listen_fd), wake_fd_(wake_fd), path_(std::move(path)), callbacks_(std::move(callbacks)) {
  thread_ = std::thread([this] { Run(); });
}

FilterPortServer::~FilterPortServer() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  thread_.join();
  close(listen_fd_);
  close(wake_fd_);
  unlink(path_.c_str());
}

Win32Error FilterPortServer::Create(std::string_view port_name, uint32_t mode, Callbacks callbacks,
                                    std::unique_ptr<FilterPortServer>* out, const std::filesystem::path& run_dir) {
  const std::filesystem::path path = FilterPortPath(port_name, run_dir);
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return ERROR_FILENAME_EXCED_RANGE;
  if (Win32Error e = CreateDirectoryChain(path.parent_path())) return e;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FromErrno(errno);
  // A live server of ours answers a connect; a stale socket file is replaced.
  // A socket another user made at our name (where the run folder was once
  // open to everybody) is never ours, live or not: it goes too.
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0 && st.st_uid != geteuid()) {
    KLOG_WARN("port: removing %s, made by user %u", path.c_str(), static_cast<unsigned>(st.st_uid));
    unlink(path.c_str());
  }
  {
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      close(fd);
      return ERROR_ALREADY_EXISTS;
    }
    unlink(path.c_str());
  }
  // The mode is set on the socket before it becomes reachable by name.
  const mode_t old = umask(0777 & ~mode);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (rc != 0 || chmod(path.c_str(), mode) != 0 || listen(fd, 16) != 0) {
    const int err = errno;
    close(fd);
    unlink(path.c_str());
    return FromErrno(err);
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int err = errno;
    close(fd);
    unlink(path.c_str());
    return FromErrno(err);
  }
  out->reset(new FilterPortServer(fd, wake, path, std::move(callbacks)));
  return ERROR_SUCCESS;
}

void FilterPortServer::Run() {
  std::map<int, PortPeer> clients;  // by socket
  uint64_t next_connection = 1;
  std::vector<uint8_t> buf(kMaxMessage);
  auto drop = [&](int fd) {
    const PortPeer peer = clients[fd];
    clients.erase(fd);
    close(fd);
    if (callbacks_.disconnect) callbacks_.disconnect(peer);
  };
  for (;;) {
    std::vector<pollfd> fds = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const auto& [fd, peer] : clients) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      KLOG_ERROR("port: poll failed: %s", std::strerror(errno));
      break;
    }
    if (fds[0].revents & POLLIN) break;
    if (fds[1].revents & POLLIN) {
      const int c = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c >= 0) {
        ucred cred{};
        socklen_t len = sizeof cred;
        PortPeer peer;
        peer.connection = next_connection++;
        if (getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) peer.pid = cred.pid;
        if (peer.pid > 0 && (!callbacks_.connect || callbacks_.connect(peer))) {
          clients[c] = peer;
        } else {
          close(c);
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const int fd = fds[i].fd;
      if (fds[i].revents & POLLIN) {
        // MSG_TRUNC gives the packet's real size even when it does not fit.
        const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_TRUNC | MSG_DONTWAIT);
        if (n > 0) {
          if (callbacks_.message)
            callbacks_.message(clients[fd], buf.data(), static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n == 0) {
          // A zero-length packet and the end of the connection look alike;
          // POLLHUP tells them apart.
          if (!(fds[i].revents & (POLLHUP | POLLERR))) {
            if (callbacks_.message) callbacks_.message(clients[fd], buf.data(), 0);
            continue;
          }
        }
      }
      drop(fd);
    }
  }
  while (!clients.empty()) drop(clients.begin()->first);
}

}  // namespace kelva::platform
