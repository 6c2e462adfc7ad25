#include "platform/access_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"

namespace kelva::platform {

OpenPermissionGuard::OpenPermissionGuard(int fan_fd, int wake_fd, Decide decide)
    : fan_fd_(fan_fd), wake_fd_(wake_fd), decide_(std::move(decide)) {
  thread_ = std::thread([this] { Run(); });
}

OpenPermissionGuard::~OpenPermissionGuard() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  thread_.join();
  close(fan_fd_);  // any event still pending is answered "allow" by the kernel
  close(wake_fd_);
}

Win32Error OpenPermissionGuard::Create(Decide decide, std::unique_ptr<OpenPermissionGuard>* out) {
  const int fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EPERM) return ERROR_ACCESS_DENIED;
    if (errno == ENOSYS || errno == EINVAL) return ERROR_NOT_SUPPORTED;
    return FromErrno(errno);
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int err = errno;
    close(fd);
    return FromErrno(err);
  }
  out->reset(new OpenPermissionGuard(fd, wake, std::move(decide)));
  return ERROR_SUCCESS;
}

Win32Error OpenPermissionGuard::Guard(const std::filesystem::path& path) {
  if (fanotify_mark(fan_fd_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0) {
    if (errno == EINVAL) return ERROR_NOT_SUPPORTED;  // kernel built without permission events
    return FromErrno(errno);
  }
  return ERROR_SUCCESS;
}

Win32Error OpenPermissionGuard::Unguard(const std::filesystem::path& path) {
  if (fanotify_mark(fan_fd_, FAN_MARK_REMOVE, FAN_OPEN_PERM, AT_FDCWD, path.c_str()) != 0) return FromErrno(errno);
  return ERROR_SUCCESS;
}

void OpenPermissionGuard::Run() {
  alignas(fanotify_event_metadata) char buf[4096];
  for (;;) {
    pollfd fds[2] = {{fan_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      KLOG_ERROR("access guard: poll failed: %s", std::strerror(errno));
      return;
    }
    if (fds[1].revents & POLLIN) return;
    const ssize_t n = read(fan_fd_, buf, sizeof buf);
    if (n <= 0) continue;
    auto* md = reinterpret_cast<fanotify_event_metadata*>(buf);
    ssize_t len = n;
    for (; FAN_EVENT_OK(md, len); md = FAN_EVENT_NEXT(md, len)) {
      if (md->vers != FANOTIFY_METADATA_VERSION) break;
      if (md->mask & FAN_OPEN_PERM) {
        const bool allow = decide_ ? decide_(md->pid) : true;
        fanotify_response resp{};
        resp.fd = md->fd;
        resp.response = allow ? FAN_ALLOW : FAN_DENY;
        [[maybe_unused]] ssize_t w = write(fan_fd_, &resp, sizeof resp);
        KLOG_DEBUG("open by process %d %s", static_cast<int>(md->pid), allow ? "allowed" : "refused");
      }
      if (md->fd >= 0) close(md->fd);
    }
  }
}

}  // namespace kelva::platform
