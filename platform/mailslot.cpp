#include "platform/mailslot.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file.h"
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

// True when a live server answers on path.
bool SomeoneListens(const sockaddr_un& addr) {
  const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(probe);
  return live;
}

}  // namespace

std::filesystem::path MailslotPath(std::string_view name, const std::filesystem::path& run_dir) {
  static constexpr std::string_view kPrefix = "\\\\.\\mailslot\\";
  if (name.size() >= kPrefix.size()) {
    bool match = true;
    for (size_t i = 0; i < kPrefix.size() && match; ++i)
      match = std::tolower(static_cast<unsigned char>(name[i])) == kPrefix[i];
    if (match) name.remove_prefix(kPrefix.size());
  }
  std::string file(name);
  std::replace(file.begin(), file.end(), '\\', '_');
  std::replace(file.begin(), file.end(), '/', '_');
  return (run_dir.empty() ? RunDir() : run_dir) / file;
}

MailslotServer::~MailslotServer() {
  close(fd_);
  close(wake_fd_);
  // Only our own socket file: once lost, the name may belong to another server.
  if (StillOwnsName()) unlink(path_.c_str());
}

bool MailslotServer::StillOwnsName() const {
  struct stat st{};
  if (stat(path_.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  return static_cast<uint64_t>(st.st_dev) == file_dev_ && static_cast<uint64_t>(st.st_ino) == file_ino_;
}

Win32Error MailslotServer::Create(std::string_view name, bool world_writable, Clock& clock,
                                  std::unique_ptr<MailslotServer>* out, const std::filesystem::path& run_dir) {
  const std::filesystem::path path = MailslotPath(name, run_dir);
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return ERROR_FILENAME_EXCED_RANGE;
  if (Win32Error e = CreateDirectoryChain(path.parent_path())) return e;
  if (SomeoneListens(addr)) return ERROR_ALREADY_EXISTS;
  unlink(path.c_str());  // a stale socket of a process that is gone
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FromErrno(errno);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    return err == EADDRINUSE ? ERROR_ALREADY_EXISTS : FromErrno(err);
  }
  // The socket's mode decides who may connect and write.
  chmod(path.c_str(), world_writable ? 0666 : 0600);
  // Room for many queued messages; the kernel caps this at its maximum.
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int err = errno;
    close(fd);
    unlink(path.c_str());
    return FromErrno(err);
  }
  struct stat st{};
  const bool known = stat(path.c_str(), &st) == 0;
  out->reset(new MailslotServer(fd, wake, path, clock));
  if (known) {
    (*out)->file_dev_ = static_cast<uint64_t>(st.st_dev);
    (*out)->file_ino_ = static_cast<uint64_t>(st.st_ino);
  }
  return ERROR_SUCCESS;
}

Win32Error MailslotServer::NextMessageSize(uint32_t* size) {
  char probe;
  const ssize_t n = recv(fd_, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      *size = kMailslotNoMessage;
      return ERROR_SUCCESS;
    }
    return FromErrno(errno);
  }
  *size = static_cast<uint32_t>(n);
  return ERROR_SUCCESS;
}

Win32Error MailslotServer::Read(void* buffer, uint32_t length, uint32_t* done, uint32_t timeout_ms) {
  *done = 0;
  const uint64_t deadline = clock_.DeadlineAfter(timeout_ms);
  const bool real = &clock_ == &RealClock();
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    // On the real clock poll sleeps for the whole remaining time; on another
    // clock it wakes every few milliseconds to look at that clock's time.
    int wait_ms = 10;
    if (real) {
      const uint64_t now = clock_.NowMs();
      wait_ms = deadline == UINT64_MAX ? -1 : static_cast<int>(std::min<uint64_t>(deadline - std::min(now, deadline), INT32_MAX));
    }
    if (timeout_ms == 0) wait_ms = 0;
    const int r = poll(fds, 2, wait_ms);
    if (r < 0 && errno != EINTR) return FromErrno(errno);
    if (fds[1].revents & POLLIN) return ERROR_OPERATION_ABORTED;
    if (r > 0 && (fds[0].revents & POLLIN)) {
      uint32_t size = 0;
      if (Win32Error e = NextMessageSize(&size)) return e;
      if (size == kMailslotNoMessage) continue;
      if (size > length) return ERROR_INSUFFICIENT_BUFFER;
      const ssize_t n = recv(fd_, buffer, length, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return FromErrno(errno);
      }
      *done = static_cast<uint32_t>(n);
      return ERROR_SUCCESS;
    }
    if (timeout_ms == 0 || clock_.NowMs() >= deadline) return kMailslotReadTimeout;
  }
}

void MailslotServer::Interrupt() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
}

MailslotClient::~MailslotClient() { close(fd_); }

Win32Error MailslotClient::Open(std::string_view name, std::unique_ptr<MailslotClient>* out,
                                const std::filesystem::path& run_dir) {
  sockaddr_un addr;
  if (!FillAddress(MailslotPath(name, run_dir), &addr)) return ERROR_FILENAME_EXCED_RANGE;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FromErrno(errno);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    return err == ECONNREFUSED || err == ENOENT ? ERROR_FILE_NOT_FOUND : FromErrno(err);
  }
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  out->reset(new MailslotClient(fd));
  return ERROR_SUCCESS;
}

Win32Error MailslotClient::Write(const void* data, uint32_t length) {
  for (;;) {
    const ssize_t n = send(fd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<uint32_t>(n) == length ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kMailslotFull;
    if (errno == ECONNREFUSED || errno == ENOTCONN) return ERROR_FILE_NOT_FOUND;
    return FromErrno(errno);
  }
}

}  // namespace kelva::platform
