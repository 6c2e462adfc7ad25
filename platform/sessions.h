// User sessions (systemd-logind): which session is active on the console, and
// whose it is. Used to apply per-user settings for the user at the console.
#pragma once

#include <cstdint>
#include <string>

namespace kelva::platform {

// "No session", as WTSGetActiveConsoleSessionId reports it.
inline constexpr uint32_t kNoSession = 0xFFFFFFFFu;

// The numeric id of the active session on seat0, or kNoSession (no logind, no
// one logged in at the console, or an id that is not a number).
uint32_t ActiveConsoleSession();

// The user name of a session; false when the session is unknown.
bool SessionUserName(uint32_t session, std::string* user);

}  // namespace kelva::platform
