#include "platform/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace kelva::platform {

namespace {
std::mutex g_mu;
std::string g_program = "kelva";
int g_verbose = -1;  // -1: not decided, read KELVA_DEBUG on first use
}  // namespace

void SetLogProgram(std::string_view name) {
  std::lock_guard<std::mutex> g(g_mu);
  g_program = std::string(name);
}

void SetVerbose(bool on) {
  std::lock_guard<std::mutex> g(g_mu);
  g_verbose = on ? 1 : 0;
}

bool IsVerbose() {
  std::lock_guard<std::mutex> g(g_mu);
  if (g_verbose < 0) {
    const char* v = std::getenv("KELVA_DEBUG");
    g_verbose = (v && std::strcmp(v, "1") == 0) ? 1 : 0;
  }
  return g_verbose == 1;
}

void VLog(LogLevel level, const char* format, va_list args) {
  char body[2048];
  std::vsnprintf(body, sizeof body, format, args);
  const char* tag = "";
  switch (level) {
    case LogLevel::kError: tag = "error: "; break;
    case LogLevel::kWarning: tag = "warning: "; break;
    case LogLevel::kInfo: break;
    case LogLevel::kDebug: tag = "debug: "; break;
  }
  std::lock_guard<std::mutex> g(g_mu);
  std::fprintf(stderr, "%s: %s%s\n", g_program.c_str(), tag, body);
}

void Log(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  VLog(level, format, args);
  va_end(args);
}

}  // namespace kelva::platform
