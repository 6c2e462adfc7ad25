// Little-endian field access for on-disc structures. UDF stores every number
// little-endian; structures are always serialised field by field through these
// helpers, never by copying a C++ struct.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/big_endian.h"

namespace kelva::udf {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  Put32(p, static_cast<uint32_t>(v));
  Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Big-endian fields of SCSI command blocks and returned drive data.
using platform::GetBe16;
using platform::GetBe32;
using platform::PutBe16;
using platform::PutBe32;

// The logical sector and block size of every disc the system writes.
inline constexpr size_t kSectorSize = 2048;

}  // namespace kelva::udf
