// Character sets, d-strings and d-characters. UDF text is "OSTA Compressed
// Unicode": a compression identifier byte (8 = one byte per character, 16 = two
// bytes per character, big-endian) followed by the characters. A dstring is a
// fixed-size field whose last byte holds the number of bytes used (0 for an empty,
// all-zero field).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelva::udf {

inline constexpr size_t kCharSpecSize = 64;

// Writes the charspec {type 0, "OSTA Compressed Unicode"} with zero padding.
void EncodeOstaCharSpec(uint8_t* p);  // REQUIRES: 64 writable bytes
// True when p holds that charspec.
bool IsOstaCharSpec(const uint8_t* p);

// Writes `ascii` into a dstring field with compression identifier 8. Text longer
// than the field allows (size - 2 characters) is cut. Empty text leaves the field
// all zero.
void EncodeDString(std::span<uint8_t> field, std::string_view ascii);

// Reads a dstring field as UTF-8. A length byte of 0, a length beyond the field or
// an unknown compression identifier give "".
std::string DecodeDString(std::span<const uint8_t> field);

// d-characters (file identifiers): compression 8 when every code unit is below
// 0x100, else 16. Empty names encode as no bytes.
std::vector<uint8_t> EncodeDChars(std::u16string_view name);
// Decodes d-characters; false for an unknown compression identifier or an odd
// number of bytes under compression 16.
bool DecodeDChars(std::span<const uint8_t> bytes, std::u16string* out);

}  // namespace kelva::udf
