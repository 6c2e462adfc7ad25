// Builds notifier messages byte by byte for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelva::notifier::testing {

inline void PutUnits(std::vector<uint8_t>& m, size_t offset, const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    m[offset + 2 * i] = static_cast<uint8_t>(s[i]);
    m[offset + 2 * i + 1] = static_cast<uint8_t>(s[i] >> 8);
  }
}

// A message of size bytes (648 unless asked otherwise); title and text are
// written without a terminator of their own, so pass strings shorter than
// their field for terminated ones.
inline std::vector<uint8_t> Message(uint8_t kind, uint32_t style, const std::u16string& title,
                                    const std::u16string& text = {}, size_t size = 648) {
  std::vector<uint8_t> m(std::max<size_t>(size, 648), 0);
  m[0] = kind;
  m[1] = 0xAA;  // reserved bytes need not be clear
  m[4] = static_cast<uint8_t>(style);
  m[5] = static_cast<uint8_t>(style >> 8);
  m[6] = static_cast<uint8_t>(style >> 16);
  m[7] = static_cast<uint8_t>(style >> 24);
  PutUnits(m, 8, title);
  PutUnits(m, 136, text);
  m.resize(size);
  return m;
}

}  // namespace kelva::notifier::testing
