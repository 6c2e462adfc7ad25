#include "platform/host_installer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace kelva::platform {

namespace fs = std::filesystem;

Win32Error FuseHostInstaller::RequireAdministrator(std::string* message) {
  if (geteuid() == 0) return ERROR_SUCCESS;
  *message = "FUSE is set up by root";
  return ERROR_ACCESS_DENIED;
}

Win32Error FuseHostInstaller::Install(std::string* message, bool* reboot_needed) {
  *reboot_needed = false;
  message->clear();
  if (Win32Error e = RequireAdministrator(message)) return e;
  const fs::path device = root_ / "dev/fuse";
  const int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    *message = "FUSE is not available: " + device.string() + " cannot be opened (" + std::strerror(err) +
               "); load the fuse module or install the fuse3 package";
    return FromErrno(err);
  }
  close(fd);
  // Files in /proc report no size: read them line by line to the end.
  const fs::path list = root_ / "proc/filesystems";
  std::ifstream in(list);
  bool listed = false;
  for (std::string line; !listed && std::getline(in, line);) {
    const size_t tab = line.find_last_of(" \t");
    listed = (tab == std::string::npos ? line : line.substr(tab + 1)) == "fuse";
  }
  if (!listed) {
    *message = "FUSE is not available: the kernel does not list \"fuse\" in " + list.string();
    return ERROR_NOT_SUPPORTED;
  }
  for (const char* dir : {"usr/bin", "bin"}) {
    if (access((root_ / dir / "fusermount3").c_str(), X_OK) == 0) return ERROR_SUCCESS;
  }
  *message = "FUSE is not available: fusermount3 is missing; install the fuse3 package";
  return ERROR_FILE_NOT_FOUND;
}

Win32Error FuseHostInstaller::Uninstall(std::string* message, bool* reboot_needed) {
  *reboot_needed = false;
  message->clear();
  // FUSE belongs to the operating system and other programs: it stays.
  return RequireAdministrator(message);
}

}  // namespace kelva::platform
