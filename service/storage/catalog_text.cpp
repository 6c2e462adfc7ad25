#include "service/storage/catalog_text.h"

#include <algorithm>

#include "platform/text.h"

namespace kelva::storage {

bool NameToUtf8(std::u16string_view name, size_t limit, std::string* out) {
  // Every UTF-16 unit gives at least one byte: reject hopeless names before converting.
  if (name.size() + 1 > limit) return false;
  if (std::all_of(name.begin(), name.end(), [](char16_t c) { return c < 0x80; })) {
    out->resize(name.size());
    for (size_t i = 0; i < name.size(); ++i) (*out)[i] = static_cast<char>(name[i]);
    return true;
  }
  *out = platform::Utf16ToUtf8(name);
  return out->size() + 1 <= limit;
}

std::u16string NameFromUtf8(std::string_view utf8, size_t max_units) {
  std::u16string s = platform::Utf8ToUtf16(utf8);
  if (s.size() > max_units) {
    size_t keep = max_units;
    if (keep > 0 && IsHighSurrogate(s[keep - 1]) && IsLowSurrogate(s[keep])) --keep;
    s.resize(keep);
  }
  return s;
}

void AssignNameFromUtf8(std::string_view utf8, size_t max_units, std::u16string* out) {
  // Most names are ASCII: widen them in place, in one pass, without a temporary
  // string; anything else goes through the full conversion.
  const size_t n = std::min(utf8.size(), max_units);
  out->resize(n);
  char16_t* dst = out->data();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c & 0x80) {
      *out = NameFromUtf8(utf8, max_units);
      return;
    }
    dst[i] = c;
  }
}

size_t CharacterCount(std::u16string_view name) {
  size_t count = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsHighSurrogate(name[i]) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) ++i;
    ++count;
  }
  return count;
}

}  // namespace kelva::storage
