// Running programs that are not ours (UDF readers) from tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelva::disctool::test_util {

// True when program is on the PATH.
inline bool HaveProgram(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs command through the shell and returns what it printed on stdout.
inline std::string Capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

}  // namespace kelva::disctool::test_util
