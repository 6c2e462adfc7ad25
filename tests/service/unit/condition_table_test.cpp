#include "service/unit/condition_table.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/text.h"

namespace kelva::unit {
namespace {

std::u16string TextAt(const NotifyMessage& m, size_t offset, size_t chars) {
  std::u16string s;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c = static_cast<char16_t>(m[offset + 2 * i] | m[offset + 2 * i + 1] << 8);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

TEST(ConditionTable, RowsCarryTheirFlags) {
  EXPECT_STREQ(ConditionAt(0).code, "E2000");
  EXPECT_EQ(ConditionAt(5).style, 3u);
  EXPECT_TRUE(ConditionAt(5).notice);
  EXPECT_TRUE(ConditionAt(5).repeat_guard);
  EXPECT_TRUE(ConditionAt(16).repeat_guard);
  EXPECT_FALSE(ConditionAt(16).notice);
  EXPECT_FALSE(ConditionAt(1).repeat_guard);
  EXPECT_EQ(ConditionAt(18).message_id, 121u);
  EXPECT_EQ(ConditionAt(10).style, 0x30u);
  EXPECT_FALSE(ConditionAt(10).memo);
  EXPECT_TRUE(ConditionAt(22).memo);
  EXPECT_STREQ(ConditionAt(22).code, "E****");
  EXPECT_EQ(ConditionAt(31).style, 0x40u);
  // Every row has a message in English, and every text fits the notifier's
  // 255 characters with its code.
  for (uint32_t i = 0; i < kConditionCount; ++i) {
    EXPECT_FALSE(LoadMessage(ConditionAt(i).message_id, Language::kEnglish).empty()) << i;
    EXPECT_LE(NotifierText(i, true, Language::kEnglish).size(), 255u) << i;
  }
}

TEST(ConditionTable, TextsWithAndWithoutCode) {
  EXPECT_EQ(HistoryText(0, true, Language::kEnglish), u"[E2000]:Magazine eject failed.");
  EXPECT_EQ(NotifierText(0, true, Language::kEnglish), u"[E2000]\nMagazine eject failed.");
  EXPECT_EQ(HistoryText(27, false, Language::kEnglish), u"Magazine is write-protected.");
  EXPECT_EQ(NotifierText(27, false, Language::kEnglish), u"Magazine is write-protected.");
  EXPECT_EQ(LoadMessage(kTitleStringId, Language::kEnglish), u"MERIDANSTORIX Driver Software");
}

TEST(ConditionTable, LanguagesFallBackToEnglishAndKeepTheJapaneseNotices) {
  EXPECT_EQ(LanguageFromLocale("ja_JP.UTF-8"), Language::kJapanese);
  EXPECT_EQ(LanguageFromLocale("zh_TW.UTF-8"), Language::kTraditionalChinese);
  EXPECT_EQ(LanguageFromLocale("zh_CN.UTF-8"), Language::kSimplifiedChinese);
  EXPECT_EQ(LanguageFromLocale("de_DE.UTF-8"), Language::kEnglish);
  EXPECT_EQ(LanguageFromLocale("C"), Language::kEnglish);
  for (Language l : {Language::kEnglish, Language::kJapanese, Language::kTraditionalChinese,
                     Language::kSimplifiedChinese}) {
    const std::u16string m133 = LoadMessage(133, l);
    EXPECT_EQ(m133.substr(0, 4), u"前回の書") << int(l);
    EXPECT_NE(LoadMessage(134, l).find(u"マガジンを取り出さずに"), std::u16string::npos);
    EXPECT_EQ(LoadMessage(102, l), u"Media exchange failed.");
  }
  EXPECT_EQ(LoadMessage(120, Language::kEnglish), u"");
}

TEST(NotifyMessageLayout, ConditionMessageBytes) {
  const NotifyMessage m = BuildConditionMessage(0, true, Language::kEnglish);
  ASSERT_EQ(m.size(), 648u);
  EXPECT_EQ(m[0], 1);  // message box
  EXPECT_EQ(m[1] | m[2] | m[3], 0);
  EXPECT_EQ(m[4], 0x10);
  EXPECT_EQ(m[5] | m[6] | m[7], 0);
  // Title "MERIDANSTORIX..." UTF-16LE from byte 8, terminated.
  EXPECT_EQ(m[8], 'M');
  EXPECT_EQ(m[9], 0);
  EXPECT_EQ(TextAt(m, 8, 64), u"MERIDANSTORIX Driver Software");
  EXPECT_EQ(m[8 + 2 * 29], 0);
  EXPECT_EQ(TextAt(m, 136, 256), u"[E2000]\nMagazine eject failed.");
  EXPECT_EQ(m[136 + 2 * 7], '\n');
  // Everything after the text is zero.
  for (size_t i = 136 + 2 * 30; i < 648; ++i) ASSERT_EQ(m[i], 0) << i;

  const NotifyMessage notice = BuildConditionMessage(29, false, Language::kEnglish);
  EXPECT_EQ(notice[0], 0);  // balloon
  EXPECT_EQ(notice[4], 1);
  EXPECT_EQ(TextAt(notice, 136, 256), u"Now reading");
}

TEST(NotifyMessageLayout, LongTextsAreCutAndTerminated) {
  const std::u16string title(100, u'T');
  const std::u16string text(400, u'x');
  const NotifyMessage m = BuildNotifyMessage(1, 0x12345678, title, text);
  EXPECT_EQ(m[4], 0x78);
  EXPECT_EQ(m[7], 0x12);
  EXPECT_EQ(TextAt(m, 8, 64).size(), 63u);
  EXPECT_EQ(m[8 + 126], 0);
  EXPECT_EQ(m[8 + 127], 0);
  EXPECT_EQ(TextAt(m, 136, 256).size(), 255u);
  EXPECT_EQ(m[646], 0);
  EXPECT_EQ(m[647], 0);
}

TEST(NotifyMessageLayout, MediaNotice) {
  const NotifyMessage in = BuildMediaNotice(u"E:\\", true);
  const NotifyMessage out = BuildMediaNotice(u"E:\\", false);
  EXPECT_EQ(in[0], 0x10);
  EXPECT_EQ(out[0], 0x11);
  const uint8_t expected_title[8] = {'E', 0, ':', 0, '\\', 0, 0, 0};
  EXPECT_EQ(std::memcmp(in.data() + 8, expected_title, 8), 0);
  for (size_t i = 1; i < 648; ++i) {
    if (i >= 8 && i < 14) continue;
    ASSERT_EQ(in[i], 0) << i;
  }
}

}  // namespace
}  // namespace kelva::unit
