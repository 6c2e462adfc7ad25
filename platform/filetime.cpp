#include "platform/filetime.h"

namespace kelva::platform {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = yy + (*m <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

FileTime FileTimeFromTimespec(const timespec& ts) {
  const int64_t units = static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
  return static_cast<FileTime>(units + static_cast<int64_t>(kUnixEpochAsFileTime));
}

timespec TimespecFromFileTime(FileTime ft) {
  const int64_t units = static_cast<int64_t>(ft - kUnixEpochAsFileTime);
  timespec ts{};
  int64_t sec = units / 10000000LL;
  int64_t rem = units % 10000000LL;
  if (rem < 0) {
    rem += 10000000LL;
    --sec;
  }
  ts.tv_sec = static_cast<time_t>(sec);
  ts.tv_nsec = static_cast<long>(rem * 100);
  return ts;
}

FileTime FileTimeFromUnixSeconds(int64_t seconds) {
  return static_cast<FileTime>(seconds * 10000000LL + static_cast<int64_t>(kUnixEpochAsFileTime));
}

int64_t UnixSecondsFromFileTime(FileTime ft) {
  const int64_t units = static_cast<int64_t>(ft - kUnixEpochAsFileTime);
  return units >= 0 ? units / 10000000LL : -((-units + 9999999LL) / 10000000LL);
}

SystemTime FileTimeToSystemTime(FileTime ft) {
  const uint64_t ms_total = ft / 10000ULL;
  const uint64_t days_since_1601 = ms_total / 86400000ULL;
  const uint64_t ms_of_day = ms_total % 86400000ULL;
  const int64_t days_since_1970 = static_cast<int64_t>(days_since_1601) - 134774;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days_since_1970, &y, &m, &d);
  SystemTime st;
  st.wYear = static_cast<uint16_t>(y);
  st.wMonth = static_cast<uint16_t>(m);
  st.wDay = static_cast<uint16_t>(d);
  // 1601-01-01 was a Monday.
  st.wDayOfWeek = static_cast<uint16_t>((days_since_1601 + 1) % 7);
  st.wHour = static_cast<uint16_t>(ms_of_day / 3600000ULL);
  st.wMinute = static_cast<uint16_t>(ms_of_day / 60000ULL % 60);
  st.wSecond = static_cast<uint16_t>(ms_of_day / 1000ULL % 60);
  st.wMilliseconds = static_cast<uint16_t>(ms_of_day % 1000ULL);
  return st;
}

bool SystemTimeToFileTime(const SystemTime& st, FileTime* out) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
    return false;
  unsigned dim = kDays[st.wMonth - 1] + ((st.wMonth == 2 && IsLeap(st.wYear)) ? 1 : 0);
  if (st.wDay > dim) return false;
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + 134774;
  const uint64_t ms = static_cast<uint64_t>(days) * 86400000ULL + st.wHour * 3600000ULL +
                      st.wMinute * 60000ULL + st.wSecond * 1000ULL + st.wMilliseconds;
  *out = ms * 10000ULL;
  return true;
}

int32_t TimeZoneBiasMinutes(FileTime utc) {
  const time_t t = static_cast<time_t>(UnixSecondsFromFileTime(utc));
  tm local{};
  localtime_r(&t, &local);
  return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

SystemTime FileTimeToLocalSystemTime(FileTime utc) {
  const int64_t bias = TimeZoneBiasMinutes(utc);
  return FileTimeToSystemTime(static_cast<FileTime>(static_cast<int64_t>(utc) - bias * 60 * 10000000LL));
}

}  // namespace kelva::platform
