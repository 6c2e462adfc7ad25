#include "platform/system_group.h"

#include <grp.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/service_manager.h"

namespace kelva::platform {

namespace fs = std::filesystem;

namespace {

bool IsThisSystem(const fs::path& root) { return root.lexically_normal() == fs::path("/"); }

// Whether the group file lists name.
bool Listed(const std::string& groups, std::string_view name) {
  const std::string prefix = std::string(name) + ":";
  size_t pos = 0;
  while (pos < groups.size()) {
    if (groups.compare(pos, prefix.size(), prefix) == 0) return true;
    const size_t end = groups.find('\n', pos);
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return false;
}

}  // namespace

Win32Error EnsureSystemGroup(const fs::path& root, std::string_view name, bool* created) {
  *created = false;
  std::vector<std::string> argv = {"groupadd", "--system"};
  if (IsThisSystem(root)) {
    // The name service also knows groups that live outside /etc/group.
    std::vector<char> buf(16384);
    group g{};
    group* found = nullptr;
    if (getgrnam_r(std::string(name).c_str(), &g, buf.data(), buf.size(), &found) == 0 && found) return ERROR_SUCCESS;
  } else {
    std::string groups;
    if (ReadWholeFile(root / "etc/group", &groups) != ERROR_SUCCESS) return ERROR_SUCCESS;
    if (Listed(groups, name)) return ERROR_SUCCESS;
    argv.insert(argv.end(), {"--prefix", fs::absolute(root).string()});
  }
  if (geteuid() != 0) return ERROR_ACCESS_DENIED;
  argv.emplace_back(name);
  // groupadd lives in /usr/sbin, which a caller's PATH may lack.
  for (const char* dir : {"/usr/sbin/", "/sbin/"}) {
    if (access((std::string(dir) + "groupadd").c_str(), X_OK) == 0) {
      argv[0] = std::string(dir) + "groupadd";
      break;
    }
  }
  std::string out;
  const int rc = RunProgram(argv, &out);
  if (rc < 0) return ERROR_FILE_NOT_FOUND;
  // Exit status 9: the name is taken (made meanwhile by someone else).
  if (rc == 9) return ERROR_SUCCESS;
  if (rc != 0) return ERROR_GEN_FAILURE;
  *created = true;
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
