// The operating system as the installation commands see it: the program's own
// path, the service manager, the registry, the file system host's installer,
// the access group, the version checks, the clock and the console. Each
// member has a working default for this computer except where noted, and each
// can be replaced by a test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/host_installer.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace kelva::core {

// The system group whose members may use the archive drive.
inline constexpr const char* kAccessGroup = "kelva";

// What the version probe finds in the version resource of the system library.
struct FileVersionProbe {
  uint32_t info_size = 0;        // GetFileVersionInfoSizeW
  bool readable = false;         // the resource and its root block could be read
  uint32_t file_version_ms = 0;  // major << 16 | minor
};

struct InstallEnvironment {
  InstallEnvironment();

  platform::Clock* clock = &platform::RealClock();
  platform::ServiceManager* service_manager = nullptr;  // required
  platform::Registry* registry = nullptr;               // required
  platform::HostInstaller* host_installer = nullptr;    // required

  // The full path of the running program (/proc/self/exe, links resolved).
  std::function<platform::Win32Error(std::filesystem::path*)> program_path;
  // GetVersionExW: false when it fails. Linux answers 10.0.
  std::function<bool(uint32_t* major, uint32_t* minor)> os_version;
  // The version resource of the system library. Linux answers 10.0.
  std::function<FileVersionProbe()> version_probe;
  // Makes the access group when it is missing; *created says whether it was made.
  std::function<platform::Win32Error(bool* created)> ensure_access_group;
  // Writes a message for the user to standard output.
  std::function<void(std::string_view)> print;
};

}  // namespace kelva::core
