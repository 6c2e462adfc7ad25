#include "platform/udf/dstring.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace kelva::udf {
namespace {
constexpr char kOstaCompressedUnicode[] = "OSTA Compressed Unicode";
}

void EncodeOstaCharSpec(uint8_t* p) {
  std::memset(p, 0, kCharSpecSize);
  p[0] = 0;  // character set type CS0
  std::memcpy(p + 1, kOstaCompressedUnicode, sizeof(kOstaCompressedUnicode) - 1);
}

bool IsOstaCharSpec(const uint8_t* p) {
  uint8_t want[kCharSpecSize];
  EncodeOstaCharSpec(want);
  return std::memcmp(p, want, kCharSpecSize) == 0;
}

void EncodeDString(std::span<uint8_t> field, std::string_view ascii) {
  std::fill(field.begin(), field.end(), 0);
  if (ascii.empty() || field.size() < 3) return;
  const size_t n = std::min(ascii.size(), field.size() - 2);
  field[0] = 8;
  std::memcpy(field.data() + 1, ascii.data(), n);
  field[field.size() - 1] = static_cast<uint8_t>(n + 1);
}

std::string DecodeDString(std::span<const uint8_t> field) {
  if (field.size() < 2) return {};
  const size_t used = field[field.size() - 1];
  if (used == 0 || used > field.size() - 1) return {};
  std::u16string name;
  if (!DecodeDChars(field.first(used), &name)) return {};
  return platform::Utf16ToUtf8(name);
}

std::vector<uint8_t> EncodeDChars(std::u16string_view name) {
  std::vector<uint8_t> out;
  if (name.empty()) return out;
  const bool wide = std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0xFF; });
  out.push_back(wide ? 16 : 8);
  for (char16_t c : name) {
    if (wide) out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c));
  }
  return out;
}

bool DecodeDChars(std::span<const uint8_t> bytes, std::u16string* out) {
  out->clear();
  if (bytes.empty()) return true;
  const uint8_t comp = bytes[0];
  bytes = bytes.subspan(1);
  if (comp == 8) {
    for (uint8_t b : bytes) out->push_back(static_cast<char16_t>(b));
    return true;
  }
  if (comp == 16 && bytes.size() % 2 == 0) {
    for (size_t i = 0; i < bytes.size(); i += 2)
      out->push_back(static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
    return true;
  }
  return false;
}

}  // namespace kelva::udf
