#include "platform/filetime.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kelva::platform {
namespace {

TEST(FileTime, UnixEpochAndBack) {
  EXPECT_EQ(FileTimeFromUnixSeconds(0), kUnixEpochAsFileTime);
  EXPECT_EQ(UnixSecondsFromFileTime(FileTimeFromUnixSeconds(1700000000)), 1700000000);
  timespec ts{1234567890, 123456700};
  const timespec back = TimespecFromFileTime(FileTimeFromTimespec(ts));
  EXPECT_EQ(back.tv_sec, ts.tv_sec);
  EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
}

TEST(FileTime, SystemTimeCalendar) {
  const SystemTime epoch = FileTimeToSystemTime(0);
  EXPECT_EQ(epoch.wYear, 1601);
  EXPECT_EQ(epoch.wMonth, 1);
  EXPECT_EQ(epoch.wDay, 1);
  EXPECT_EQ(epoch.wDayOfWeek, 1);  // Monday

  SystemTime leap{2024, 2, 0, 29, 23, 59, 58, 999};
  FileTime ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime(leap, &ft));
  SystemTime back = FileTimeToSystemTime(ft);
  EXPECT_EQ(back.wDayOfWeek, 4);  // Thursday
  back.wDayOfWeek = 0;
  EXPECT_EQ(back, leap);
  EXPECT_EQ(UnixSecondsFromFileTime(ft), 1709251198);

  EXPECT_FALSE(SystemTimeToFileTime({2023, 2, 0, 29, 0, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({2023, 13, 0, 1, 0, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({1600, 12, 0, 31, 0, 0, 0, 0}, &ft));
  EXPECT_FALSE(SystemTimeToFileTime({2023, 4, 0, 31, 0, 0, 0, 0}, &ft));
}

TEST(FileTime, TimeZoneBiasHasTheWin32Sign) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  const FileTime t = FileTimeFromUnixSeconds(1700000000);
  EXPECT_EQ(TimeZoneBiasMinutes(t), -540);
  EXPECT_EQ(FileTimeToLocalSystemTime(t).wHour, (FileTimeToSystemTime(t).wHour + 9) % 24);
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace kelva::platform
