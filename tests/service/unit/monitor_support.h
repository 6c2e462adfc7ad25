// Shared helpers of the monitor and power tests: a volume worker that counts
// what the monitor asks of it, and readers of the history and notifier output.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "controller_fixture.h"

namespace kelva::unit::testing {

class MonitorWorker : public RecordingWorker {
 public:
  // Answers IsMounted; counts the calls. Default: not mounted.
  std::function<bool()> mounted;
  // Runs inside UnmountAndEject (after counting), e.g. the controller's eject.
  std::function<void()> on_unmount_and_eject;

  bool IsMounted() override {
    ++mounted_checks;
    return mounted ? mounted() : false;
  }
  void ForceUnmount() override { ++force_unmounts; }
  void UnmountAndEject() override {
    ++unmount_and_ejects;
    if (on_unmount_and_eject) on_unmount_and_eject();
  }

  std::atomic<int> mounted_checks{0}, force_unmounts{0}, unmount_and_ejects{0};
};

inline std::u16string Utf16At(const std::vector<uint8_t>& m, size_t offset) {
  std::u16string s;
  for (size_t i = offset; i + 1 < m.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(m[i] | m[i + 1] << 8);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

// History entries whose text is exactly text.
inline int HistoryCount(UnitController& c, std::u16string_view text) {
  const ErrorHistory h = c.History();
  int n = 0;
  for (uint32_t i = 0; i < h.count; ++i) n += h.entries[i].Text() == text;
  return n;
}

// Notifier messages whose text field is exactly text.
inline int MessageCount(const RecordingNotifier& n, std::u16string_view text) {
  int count = 0;
  for (const auto& m : n.messages) count += Utf16At(m, 136) == text;
  return count;
}

// Commands whose bytes start with prefix.
inline size_t CommandCount(RecordingDevice& d, std::vector<uint8_t> prefix) {
  size_t n = 0;
  for (const auto& c : d.Commands())
    n += c.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), c.begin());
  return n;
}

// A vendor command of function fn with byte 1 = b1.
inline size_t VendorCount(RecordingDevice& d, uint8_t opcode, uint8_t fn, int b1 = -1) {
  size_t n = 0;
  for (const auto& c : d.Commands())
    n += c.size() == 12 && c[0] == opcode && c[10] == fn && (b1 < 0 || c[1] == b1);
  return n;
}

// A6 commands with byte 4 = action (and byte 8 = slot when slot >= 0).
inline size_t A6Count(RecordingDevice& d, uint8_t action, int slot = -1, int byte11 = -1) {
  size_t n = 0;
  for (const auto& c : d.Commands())
    n += c[0] == 0xA6 && (c[4] & 3) == action && (slot < 0 || c[8] == slot) &&
         (byte11 < 0 || c[11] == byte11);
  return n;
}

// Fills a data-in reply with bytes.
inline void AnswerData(const platform::ScsiCommand& c, platform::ScsiReply* r,
                       std::vector<uint8_t> bytes) {
  *r = platform::ScsiReply{};
  std::memset(c.data, 0, c.data_length);
  std::memcpy(c.data, bytes.data(), std::min<size_t>(bytes.size(), c.data_length));
  r->transferred = c.data_length;
}

}  // namespace kelva::unit::testing
