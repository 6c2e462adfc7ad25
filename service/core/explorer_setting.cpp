#include "service/core/explorer_setting.h"

#include "platform/log.h"

namespace kelva::core {

void ApplyExplorerDriveSetting(platform::Registry& registry, uint32_t session,
                               const std::function<bool(uint32_t, std::string*)>& session_user) {
  std::string user;
  if (!session_user || !session_user(session, &user) || user.empty()) return;
  // A user name that is not one key name never reaches the registry.
  if (user.find('\\') != std::string::npos || user == "." || user == "..") return;
  const std::string profile = "HKEY_USERS\\" + user;
  if (registry.OpenKey(profile)) return;  // the user's profile is not there
  const std::string key = profile + "\\" + kExplorerAdvancedKey;
  if (registry.OpenKey(key)) return;
  uint32_t hidden = 2;  // a missing value counts as "do not show hidden files"
  if (registry.QueryDword(key, "Hidden", &hidden) == platform::ERROR_FILE_NOT_FOUND) hidden = 2;
  if (hidden == 1) return;
  uint32_t hide = 1;
  const platform::Win32Error e = registry.QueryDword(key, "HideDrivesWithNoMedia", &hide);
  if (e == 0 && hide == 0) return;
  if (registry.SetDword(key, "HideDrivesWithNoMedia", 0) == 0)
    KLOG_INFO("session %u: drives without media shown for user %s", session, user.c_str());
}

}  // namespace kelva::core
