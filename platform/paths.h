// Where Kelva keeps its files on the computer. Each root can be moved with an
// environment variable, so that a user or a test can run the system without
// touching system folders.
#pragma once

#include <filesystem>

namespace kelva::platform {

// KELVA_DATA_ROOT, else /var/lib: the common application data folder.
std::filesystem::path CommonAppDataFolder();
// The data folder: the common application data folder + "/Norve/KELVA".
std::filesystem::path DataFolder();
// KELVA_RUN_DIR, else /run/kelva: sockets, named events, published units.
std::filesystem::path RunDir();
// KELVA_REGISTRY_ROOT, else /var/lib/kelva/registry.
std::filesystem::path RegistryRoot();
// KELVA_MOUNT_ROOT, else /media/kelva: drive letter X: is mounted at <root>/X.
std::filesystem::path MountRoot();

}  // namespace kelva::platform
