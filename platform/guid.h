// GUIDs as the system writes them: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, used
// for device-interface classes, media event kinds, mailslot and event names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelva::platform {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  friend bool operator==(const Guid& a, const Guid& b) {
    if (a.data1 != b.data1 || a.data2 != b.data2 || a.data3 != b.data3) return false;
    for (int i = 0; i < 8; ++i)
      if (a.data4[i] != b.data4[i]) return false;
    return true;
  }

  // Upper-case hex in braces.
  std::string ToString() const;
  // Accepts the braced or bare form, hex digits of either case; nullopt otherwise.
  static std::optional<Guid> Parse(std::string_view text);
};

}  // namespace kelva::platform
