#include "service/core/install_environment.h"

#include <cstdio>

#include "platform/system_group.h"

namespace kelva::core {

using namespace kelva::platform;

InstallEnvironment::InstallEnvironment() {
  program_path = [](std::filesystem::path* out) -> Win32Error {
    std::error_code ec;
    *out = std::filesystem::canonical("/proc/self/exe", ec);
    return ec ? FromErrno(ec.value()) : ERROR_SUCCESS;
  };
  // Version rules written for Windows releases have no Linux meaning: the
  // checks see the release they accept.
  os_version = [](uint32_t* major, uint32_t* minor) {
    *major = 10;
    *minor = 0;
    return true;
  };
  version_probe = [] { return FileVersionProbe{1024, true, 10u << 16}; };
  ensure_access_group = [](bool* created) { return EnsureSystemGroup(SystemdRoot(), kAccessGroup, created); };
  print = [](std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  };
}

}  // namespace kelva::core
