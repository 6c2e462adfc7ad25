// The file system host's installer: makes the host that shows each magazine as
// a drive ready to use, or removes it. Here the host is FUSE 3, which belongs
// to the operating system (the kernel module and the fuse3 package), so there
// is no driver package to unpack: installing checks that FUSE works and
// uninstalling leaves it in place for the other programs that use it.
#pragma once

#include <filesystem>
#include <string>

#include "platform/errors.h"

namespace kelva::platform {

class HostInstaller {
 public:
  HostInstaller() = default;
  HostInstaller(const HostInstaller&) = delete;
  HostInstaller& operator=(const HostInstaller&) = delete;
  virtual ~HostInstaller() = default;

  // Each returns 0, or the Win32 code of the failure with a text for the user
  // in *message (ERROR_ACCESS_DENIED without administrator rights).
  // *reboot_needed tells whether the change takes effect only after a restart.
  virtual Win32Error Install(std::string* message, bool* reboot_needed) = 0;
  virtual Win32Error Uninstall(std::string* message, bool* reboot_needed) = 0;
};

// FUSE 3. Install needs root and checks, below root: /dev/fuse opens for
// reading and writing (which loads the kernel module), "fuse" is listed in
// /proc/filesystems, and fusermount3 is in /usr/bin or /bin. It never edits
// /etc/fuse.conf (the fuse3 package's file): the service runs as root and
// needs no user_allow_other. Neither call needs a restart.
class FuseHostInstaller final : public HostInstaller {
 public:
  explicit FuseHostInstaller(std::filesystem::path root = "/") : root_(std::move(root)) {}
  Win32Error Install(std::string* message, bool* reboot_needed) override;
  Win32Error Uninstall(std::string* message, bool* reboot_needed) override;

 private:
  Win32Error RequireAdministrator(std::string* message);
  std::filesystem::path root_;
};

}  // namespace kelva::platform
