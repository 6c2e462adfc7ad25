// The operational log: one line per lifecycle step and per unit, magazine and
// volume event, on stderr (journald under systemd). Verbose lines appear only
// with -v or KELVA_DEBUG=1. Thread safe; lines never interleave.
#pragma once

#include <cstdarg>
#include <string_view>

namespace kelva::platform {

enum class LogLevel { kError, kWarning, kInfo, kDebug };

// Names the program in every line ("kelva", "kelvaflt", ...).
void SetLogProgram(std::string_view name);
void SetVerbose(bool on);
bool IsVerbose();  // also true when KELVA_DEBUG=1

void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void VLog(LogLevel level, const char* format, va_list args);

#define KLOG_ERROR(...) ::kelva::platform::Log(::kelva::platform::LogLevel::kError, __VA_ARGS__)
#define KLOG_WARN(...) ::kelva::platform::Log(::kelva::platform::LogLevel::kWarning, __VA_ARGS__)
#define KLOG_INFO(...) ::kelva::platform::Log(::kelva::platform::LogLevel::kInfo, __VA_ARGS__)
#define KLOG_DEBUG(...)                                                           \
  do {                                                                            \
    if (::kelva::platform::IsVerbose())                                           \
      ::kelva::platform::Log(::kelva::platform::LogLevel::kDebug, __VA_ARGS__);   \
  } while (0)

}  // namespace kelva::platform
