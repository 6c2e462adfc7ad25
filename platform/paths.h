// Where Kelva keeps its files on the computer. Each root can be moved with an
// environment variable, so that a user or a test can run the system without
// touching system folders.
#pragma once

#include <filesystem>

#include "platform/errors.h"

namespace kelva::platform {

// KELVA_DATA_ROOT, else /var/lib: the common application data folder.
std::filesystem::path CommonAppDataFolder();
// The data folder: the common application data folder + "/Norve/KELVA".
std::filesystem::path DataFolder();
// KELVA_RUN_DIR, else /run/kelva: the service's and the filter's sockets,
// named events, published units. Only its owner (root) may write there.
std::filesystem::path RunDir();
// RunDir() + "/user": a sticky folder where every user's programs create their
// mailslots (the notifier's, reply mailslots of control-channel clients).
std::filesystem::path UserRunDir();
// The user part of another run folder.
std::filesystem::path UserRunDir(const std::filesystem::path& run_dir);
// Creates RunDir() and UserRunDir() when missing and gives them their modes:
// the run folder 0755 (a folder left writable for everybody is closed again),
// the user part 1777. Returns the first error; ERROR_SUCCESS when both are in
// order (a process that does not own a folder leaves its mode alone).
Win32Error PrepareRunDirs();
// KELVA_REGISTRY_ROOT, else /var/lib/kelva/registry.
std::filesystem::path RegistryRoot();
// KELVA_MOUNT_ROOT, else /media/kelva: drive letter X: is mounted at <root>/X.
std::filesystem::path MountRoot();

}  // namespace kelva::platform
