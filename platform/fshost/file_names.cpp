#include "platform/fshost/file_names.h"

#include <array>

namespace kelva::platform {

namespace {

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool EqualsAscii(std::u16string_view a, std::u16string_view upper) {
  if (a.size() != upper.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != upper[i]) return false;
  }
  return true;
}

// The device names are reserved with any extension: "con.txt" opens the
// console. Windows also ignores trailing spaces before the extension's dot.
bool IsReservedDeviceName(std::u16string_view name) {
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  static constexpr std::array<std::u16string_view, 4> kPlain = {u"CON", u"PRN", u"AUX", u"NUL"};
  for (std::u16string_view reserved : kPlain) {
    if (EqualsAscii(base, reserved)) return true;
  }
  if (base.size() == 4 && base[3] >= u'1' && base[3] <= u'9') {
    std::u16string_view stem = base.substr(0, 3);
    if (EqualsAscii(stem, u"COM") || EqualsAscii(stem, u"LPT")) return true;
  }
  return false;
}

}  // namespace

bool IsAllowedFileName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxFileNameLength) return false;
  if (name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case u'<': case u'>': case u':': case u'"': case u'/':
      case u'\\': case u'|': case u'?': case u'*':
        return false;
      default:
        break;
    }
  }
  if (name.back() == u'.' || name.back() == u' ') return false;
  return !IsReservedDeviceName(name);
}

}  // namespace kelva::platform
