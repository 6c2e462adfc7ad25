#include "platform/paths.h"

#include <cstdlib>

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
std::filesystem::path RegistryRoot() { return FromEnv("KELVA_REGISTRY_ROOT", "/var/lib/kelva/registry"); }
std::filesystem::path MountRoot() { return FromEnv("KELVA_MOUNT_ROOT", "/media/kelva"); }

}  // namespace kelva::platform
