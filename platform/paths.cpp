#include "platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/errors.h"

namespace kelva::platform {

namespace {
std::filesystem::path FromEnv(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::filesystem::path(v) : std::filesystem::path(fallback);
}
}  // namespace

std::filesystem::path CommonAppDataFolder() { return FromEnv("KELVA_DATA_ROOT", "/var/lib"); }
std::filesystem::path DataFolder() { return CommonAppDataFolder() / "Norve" / "KELVA"; }
std::filesystem::path RunDir() { return FromEnv("KELVA_RUN_DIR", "/run/kelva"); }
std::filesystem::path UserRunDir() { return UserRunDir(RunDir()); }
std::filesystem::path UserRunDir(const std::filesystem::path& run_dir) { return run_dir / "user"; }

namespace {
// Creates dir when missing and, when this process owns it, sets mode.
Win32Error PrepareDir(const std::filesystem::path& dir, mode_t mode) {
  if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return FromErrno(errno);
  struct stat st{};
  if (lstat(dir.c_str(), &st) != 0) return FromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
  if (st.st_uid == geteuid() && (st.st_mode & 07777) != mode && chmod(dir.c_str(), mode) != 0)
    return FromErrno(errno);
  return ERROR_SUCCESS;
}
}  // namespace

Win32Error PrepareRunDirs() {
  std::error_code ec;
  std::filesystem::create_directories(RunDir().parent_path(), ec);
  if (Win32Error e = PrepareDir(RunDir(), 0755)) return e;
  return PrepareDir(UserRunDir(), 01777);
}

std::filesystem::path RegistryRoot() { return FromEnv("KELVA_REGISTRY_ROOT", "/var/lib/kelva/registry"); }
std::filesystem::path MountRoot() { return FromEnv("KELVA_MOUNT_ROOT", "/media/kelva"); }

}  // namespace kelva::platform
