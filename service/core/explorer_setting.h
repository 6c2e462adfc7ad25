// Keeps the unit's drive letter visible in the file manager while no magazine is
// inserted: for the user of a session, unless that user shows hidden files
// anyway, the "HideDrivesWithNoMedia" setting in the user's registry subtree is
// turned off. Any failing step ends the operation silently.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/registry.h"

namespace kelva::core {

inline constexpr const char* kExplorerAdvancedKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";

// session_user gives the user name of a session (false: unknown session). The
// user's subtree is HKEY_USERS\<user>; it must exist (the user's profile).
void ApplyExplorerDriveSetting(platform::Registry& registry, uint32_t session,
                               const std::function<bool(uint32_t, std::string*)>& session_user);

}  // namespace kelva::core
