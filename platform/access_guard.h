// Refuses opens of chosen files (device nodes, disc image files) to every process
// that a decision function does not allow, with fanotify permission events. The
// decision is asked for each open of a guarded file, on the guard's own thread,
// and must be quick: the opening process waits for it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/errors.h"

namespace kelva::platform {

class OpenPermissionGuard {
 public:
  using Decide = std::function<bool(pid_t pid)>;

  OpenPermissionGuard(const OpenPermissionGuard&) = delete;
  OpenPermissionGuard& operator=(const OpenPermissionGuard&) = delete;
  // Ends the thread; guarded files are open to everyone again.
  ~OpenPermissionGuard();

  // ERROR_ACCESS_DENIED without the privilege (CAP_SYS_ADMIN), ERROR_NOT_SUPPORTED
  // when the kernel has no fanotify permission events.
  static Win32Error Create(Decide decide, std::unique_ptr<OpenPermissionGuard>* out);

  // Starts or stops asking about opens of path.
  Win32Error Guard(const std::filesystem::path& path);
  Win32Error Unguard(const std::filesystem::path& path);

 private:
  OpenPermissionGuard(int fan_fd, int wake_fd, Decide decide);
  void Run();
  int fan_fd_;
  int wake_fd_;
  Decide decide_;
  std::thread thread_;
};

}  // namespace kelva::platform
