#include "service/unit/repair_log.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "controller_fixture.h"
#include "platform/file.h"
#include "platform/text.h"

namespace kelva::unit {
namespace {

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string s;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    s.push_back(static_cast<char16_t>(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
  return s;
}

class RepairLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    platform::SystemTime t;
    t.wYear = 2022; t.wMonth = 6; t.wDay = 21; t.wSecond = 1; t.wMilliseconds = 500;
    platform::FileTime ft = 0;
    ASSERT_TRUE(platform::SystemTimeToFileTime(t, &ft));
    clock_.SetWallTime(ft);
    SetRepairLogTarget(temp_.path(), &clock_);
  }
  void TearDown() override {
    SetRepairLogging(0);
    SetRepairLogTarget({}, nullptr);
  }
  std::u16string Log() {
    std::string bytes;
    platform::ReadWholeFile(temp_.path() / "Logs" / "Repair.log", &bytes);
    return FromUtf16Le(bytes);
  }
  testing::TempFolder temp_;
  platform::TestClock clock_;
};

TEST_F(RepairLogTest, EntriesCarryTimeAndCrLf) {
  WriteRepairLog("Found Block 0x%08X at 0x%08X\n", 0x12u, 0xABCDu);
  WriteRepairLog("no line feed");
  const std::u16string log = Log();
  EXPECT_EQ(log, u"\xFEFF" u"2022/06/21 00:00:01.500\tFound Block 0x00000012 at 0x0000ABCD\r\n"
                 u"2022/06/21 00:00:01.500\tno line feed");
}

TEST_F(RepairLogTest, LongMessagesKeepTheirLineFeed) {
  std::string long_message(980, 'x');
  long_message += "\n";
  WriteRepairLog("%s", long_message.c_str());
  const std::u16string log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), u'\n');
  EXPECT_NE(log[log.size() - 2], u'\r');
}

TEST_F(RepairLogTest, SwitchWritesOnlyItsOwnLinesAroundTheOffState) {
  EXPECT_FALSE(RepairLoggingOn());
  SetRepairLogging(0);
  EXPECT_EQ(Log(), u"");
  SetRepairLogging(1);
  EXPECT_TRUE(RepairLoggingOn());
  SetRepairLogging(0);
  const std::u16string log = Log();
  EXPECT_NE(log.find(u"\tLogging activated\r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u"\tLogging deactivated\r\n"), std::u16string::npos);
  EXPECT_LT(log.find(u"activated"), log.find(u"deactivated"));
  EXPECT_FALSE(RepairLoggingOn());
}

}  // namespace
}  // namespace kelva::unit
