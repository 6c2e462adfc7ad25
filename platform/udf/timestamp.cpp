#include "platform/udf/timestamp.h"

#include "platform/udf/bytes.h"

namespace kelva::udf {

uint16_t TypeAndTimezoneForBias(int32_t bias_minutes) {
  if (bias_minutes == 0) return 0;
  return static_cast<uint16_t>(0x1000 | (static_cast<uint32_t>(-bias_minutes) & 0xFFF));
}

Timestamp MakeTimestamp(const platform::SystemTime& local, int32_t bias_minutes) {
  Timestamp t;
  t.typeAndTimezone = TypeAndTimezoneForBias(bias_minutes);
  t.year = static_cast<int16_t>(local.wYear);
  t.month = static_cast<uint8_t>(local.wMonth);
  t.day = static_cast<uint8_t>(local.wDay);
  t.hour = static_cast<uint8_t>(local.wHour);
  t.minute = static_cast<uint8_t>(local.wMinute);
  t.second = static_cast<uint8_t>(local.wSecond);
  t.centiseconds = static_cast<uint8_t>(local.wMilliseconds / 10);
  t.hundredsOfMicroseconds = static_cast<uint8_t>((local.wMilliseconds % 10) * 10);
  t.microseconds = 0;
  return t;
}

void EncodeTimestamp(uint8_t* p, const Timestamp& t) {
  Put16(p, t.typeAndTimezone);
  Put16(p + 2, static_cast<uint16_t>(t.year));
  p[4] = t.month;
  p[5] = t.day;
  p[6] = t.hour;
  p[7] = t.minute;
  p[8] = t.second;
  p[9] = t.centiseconds;
  p[10] = t.hundredsOfMicroseconds;
  p[11] = t.microseconds;
}

Timestamp DecodeTimestamp(const uint8_t* p) {
  Timestamp t;
  t.typeAndTimezone = Get16(p);
  t.year = static_cast<int16_t>(Get16(p + 2));
  t.month = p[4];
  t.day = p[5];
  t.hour = p[6];
  t.minute = p[7];
  t.second = p[8];
  t.centiseconds = p[9];
  t.hundredsOfMicroseconds = p[10];
  t.microseconds = p[11];
  return t;
}

bool TimestampToFileTime(const Timestamp& t, platform::FileTime* out) {
  if (t.year < 1601 || t.centiseconds > 99 || t.hundredsOfMicroseconds > 99 ||
      t.microseconds > 99)
    return false;
  platform::SystemTime st;
  st.wYear = static_cast<uint16_t>(t.year);
  st.wMonth = t.month;
  st.wDay = t.day;
  st.wHour = t.hour;
  st.wMinute = t.minute;
  st.wSecond = t.second;
  st.wMilliseconds = static_cast<uint16_t>(t.centiseconds * 10 + t.hundredsOfMicroseconds / 10);
  platform::FileTime ft = 0;
  if (!platform::SystemTimeToFileTime(st, &ft)) return false;
  ft += static_cast<uint64_t>(t.hundredsOfMicroseconds % 10) * 1000 + t.microseconds * 10ULL;
  if ((t.typeAndTimezone >> 12) == 1) {
    int32_t zone = t.typeAndTimezone & 0xFFF;
    if (zone & 0x800) zone -= 0x1000;  // sign-extend the 12-bit offset
    if (zone != -2047) {
      const int64_t shift = static_cast<int64_t>(zone) * 60 * 10000000LL;
      if (shift > 0 && ft < static_cast<uint64_t>(shift)) return false;
      ft = static_cast<platform::FileTime>(static_cast<int64_t>(ft) - shift);
    }
  }
  *out = ft;
  return true;
}

}  // namespace kelva::udf
