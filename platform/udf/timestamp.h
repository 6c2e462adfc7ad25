// UDF timestamps (ECMA-167 1/7.3): 12 bytes holding a type-and-time-zone word and
// the broken-down local time down to microseconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/filetime.h"

namespace kelva::udf {

inline constexpr size_t kTimestampSize = 12;

struct Timestamp {
  uint16_t typeAndTimezone = 0;
  int16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t centiseconds = 0;
  uint8_t hundredsOfMicroseconds = 0;
  uint8_t microseconds = 0;
  bool operator==(const Timestamp&) const = default;
};

// The type-and-time-zone word for a Win32 bias (UTC = local + bias, minutes):
// type 1 (local time) with the zone offset -bias as a 12-bit two's complement
// value, or 0 when the bias is 0. A bias of -540 (UTC+9) gives 0x121C.
uint16_t TypeAndTimezoneForBias(int32_t bias_minutes);

// A timestamp of the local time `local` recorded in a zone with the given bias.
Timestamp MakeTimestamp(const platform::SystemTime& local, int32_t bias_minutes);

void EncodeTimestamp(uint8_t* p, const Timestamp& t);  // REQUIRES: 12 writable bytes
Timestamp DecodeTimestamp(const uint8_t* p);           // REQUIRES: 12 readable bytes

// The UTC instant a timestamp names; false when its fields are out of range.
// Type 1 applies the recorded zone (unless it is -2047, "unspecified"); other
// types are taken as UTC.
bool TimestampToFileTime(const Timestamp& t, platform::FileTime* out);

}  // namespace kelva::udf
