#include "service/unit/repair_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/file.h"
#include "platform/filetime.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace kelva::unit {

namespace {

std::mutex g_mu;  // guards the target and serialises appends
std::filesystem::path g_data_folder;
platform::Clock* g_clock = nullptr;
std::atomic<bool> g_on{false};

constexpr size_t kMaxMessageChars = 1000;
constexpr size_t kCrLfLimit = 974;

void Append(const std::string& utf8_message) {
  std::lock_guard lock(g_mu);
  platform::Clock& clock = g_clock != nullptr ? *g_clock : platform::RealClock();
  const std::filesystem::path folder =
      (g_data_folder.empty() ? platform::DataFolder() : g_data_folder) / "Logs";
  platform::CreateDirectoryChain(folder);
  platform::File f;
  bool existed = false;
  if (platform::File::Open(folder / "Repair.log", platform::kAccessReadWrite,
                           platform::Disposition::kOpenAlways, &f, &existed) != 0)
    return;
  std::u16string text;
  uint64_t size = 0;
  if (!existed || (f.Size(&size) == 0 && size == 0)) {
    text.push_back(u'\xFEFF');
  } else {
    f.Seek(size);
  }
  const platform::SystemTime t = platform::FileTimeToLocalSystemTime(clock.Now());
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d/%02d/%02d %02d:%02d:%02d.%03d\t", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  text += platform::Utf8ToUtf16(prefix);
  std::u16string message = platform::Utf8ToUtf16(utf8_message);
  if (message.size() > kMaxMessageChars) message.resize(kMaxMessageChars);
  if (message.size() < kCrLfLimit && !message.empty() && message.back() == u'\n') {
    message.pop_back();
    message += u"\r\n";
  }
  text += message;
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  uint32_t done = 0;
  f.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &done);
}

}  // namespace

void SetRepairLogTarget(const std::filesystem::path& data_folder, platform::Clock* clock) {
  std::lock_guard lock(g_mu);
  g_data_folder = data_folder;
  g_clock = clock;
}

std::filesystem::path RepairLogPath() {
  std::lock_guard lock(g_mu);
  return (g_data_folder.empty() ? platform::DataFolder() : g_data_folder) / "Logs" / "Repair.log";
}

bool RepairLoggingOn() { return g_on.load(); }

void SetRepairLogging(uint32_t flags) {
  const bool on = (flags & 1) != 0;
  if (!on) {
    if (g_on.load()) WriteRepairLog("Logging deactivated\n");
    g_on.store(false);
  } else {
    g_on.store(true);
    WriteRepairLog("Logging activated\n");
  }
}

void WriteRepairLog(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Append(buffer);
}

}  // namespace kelva::unit
