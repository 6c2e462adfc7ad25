#include "platform/sessions.h"

#include <cstdlib>

#include "platform/service_manager.h"

namespace kelva::platform {

namespace {
std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}
}  // namespace

uint32_t ActiveConsoleSession() {
  std::string out;
  if (RunProgram({"loginctl", "show-seat", "seat0", "--property=ActiveSession", "--value"}, &out) != 0)
    return kNoSession;
  out = Trimmed(out);
  if (out.empty() || out.find_first_not_of("0123456789") != std::string::npos || out.size() > 9) return kNoSession;
  return static_cast<uint32_t>(std::strtoul(out.c_str(), nullptr, 10));
}

bool SessionUserName(uint32_t session, std::string* user) {
  std::string out;
  if (RunProgram({"loginctl", "show-session", std::to_string(session), "--property=Name", "--value"}, &out) != 0)
    return false;
  out = Trimmed(out);
  if (out.empty()) return false;
  *user = out;
  return true;
}

}  // namespace kelva::platform
