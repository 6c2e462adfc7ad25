// System groups: the group whose members may use the archive drive is made by
// the installation commands, the way `addgroup --system` makes one.
#pragma once

#include <filesystem>
#include <string_view>

#include "platform/errors.h"

namespace kelva::platform {

// Makes the system group name in the group database of the system at root
// ("/" for this computer, else root/etc/group, as for a chroot or a staging
// folder) unless it exists; *created tells whether it was made. A root
// without a group database has nothing to add to: success, not created.
// Errors: ERROR_ACCESS_DENIED without the rights, ERROR_FILE_NOT_FOUND when
// groupadd is missing, ERROR_GEN_FAILURE when groupadd fails.
Win32Error EnsureSystemGroup(const std::filesystem::path& root, std::string_view name, bool* created);

}  // namespace kelva::platform
