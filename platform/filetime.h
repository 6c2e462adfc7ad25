// FILETIME and SYSTEMTIME: the system's time formats. A FILETIME counts
// 100-nanosecond units since 1601-01-01 00:00 UTC; a SYSTEMTIME is the broken-down
// form with the Win32 field order (16-bit fields, day of week 0 = Sunday).
#pragma once

#include <cstdint>
#include <ctime>

namespace kelva::platform {

using FileTime = uint64_t;

// 100-ns units between 1601-01-01 and 1970-01-01.
inline constexpr FileTime kUnixEpochAsFileTime = 116444736000000000ULL;
inline constexpr FileTime kFileTimePerSecond = 10000000ULL;

struct SystemTime {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;  // 1..12
  uint16_t wDayOfWeek = 0;  // 0 = Sunday
  uint16_t wDay = 0;  // 1..31
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
  bool operator==(const SystemTime&) const = default;
};

FileTime FileTimeFromTimespec(const timespec& ts);
timespec TimespecFromFileTime(FileTime ft);
FileTime FileTimeFromUnixSeconds(int64_t seconds);
int64_t UnixSecondsFromFileTime(FileTime ft);

// Calendar conversions in UTC. SystemTimeToFileTime returns false for a field out
// of range (month 13, day 31 in a 30-day month, year before 1601 ...).
SystemTime FileTimeToSystemTime(FileTime ft);
bool SystemTimeToFileTime(const SystemTime& st, FileTime* out);

// Local time: the bias in minutes such that UTC = local + bias (the Win32 sign:
// UTC+9 gives -540). Taken from the process's time zone (TZ) for the given instant.
int32_t TimeZoneBiasMinutes(FileTime utc);
SystemTime FileTimeToLocalSystemTime(FileTime utc);

}  // namespace kelva::platform
