#include "platform/text.h"

#include <gtest/gtest.h>

namespace kelva::platform {
namespace {

TEST(Text, Utf8RoundTripIncludingSurrogatePairs) {
  const std::string s = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80z";  // a é 日 😀 z
  const std::u16string u = Utf8ToUtf16(s);
  ASSERT_EQ(u.size(), 6u);
  EXPECT_EQ(u[1], 0xE9);
  EXPECT_EQ(u[3], 0xD83D);
  EXPECT_EQ(u[4], 0xDE00);
  EXPECT_EQ(Utf16ToUtf8(u), s);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");                 // truncated at the end
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");      // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80").substr(0, 1), u"\uFFFD");  // encoded surrogate
  const char16_t lone[] = {0xD800, u'x', 0};
  EXPECT_EQ(Utf16ToUtf8(lone), "\xEF\xBF\xBDx");
}

TEST(Text, UpCaseFoldsBeyondAscii) {
  EXPECT_EQ(UpCase(u'a'), u'A');
  EXPECT_EQ(UpCase(u'\u00E9'), u'\u00C9');  // é
  EXPECT_EQ(UpCase(u'\u00F7'), u'\u00F7');  // division sign has no case
  EXPECT_EQ(UpCase(u'\u00FF'), u'\u0178');
  EXPECT_EQ(UpCase(u'\u0101'), u'\u0100');
  EXPECT_EQ(UpCase(u'\u013A'), u'\u0139');  // the odd/even pairing flips here
  EXPECT_EQ(UpCase(u'\u03C2'), u'\u03A3');  // final sigma
  EXPECT_EQ(UpCase(u'\u0436'), u'\u0416');  // Cyrillic
  EXPECT_EQ(UpCase(u'\u0451'), u'\u0401');
  EXPECT_EQ(UpCase(u'\uFF41'), u'\uFF21');  // full-width a
  EXPECT_EQ(UpCase(u'\u65E5'), u'\u65E5');
  EXPECT_TRUE(EqualNoCase(u"Stra\u00DFe", u"STRA\u00DFE"));
  EXPECT_FALSE(EqualNoCase(u"abc", u"abcd"));
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_EQ(CompareNoCase(u"\u00E9t\u00E9", u"\u00C9T\u00C9"), 0);
  EXPECT_GT(CompareNoCase(u"abc", u"AB"), 0);
}

TEST(Text, WildcardMatching) {
  EXPECT_TRUE(WildcardMatch(u"*", u""));
  EXPECT_TRUE(WildcardMatch(u"*", u"anything"));
  EXPECT_TRUE(WildcardMatch(u"*.DB", u"0001234.db"));
  EXPECT_TRUE(WildcardMatch(u"report_#?#.txt", u"REPORT_#7#.TXT"));
  EXPECT_FALSE(WildcardMatch(u"report_#?#.txt", u"report_#12#.txt"));
  EXPECT_TRUE(WildcardMatch(u"a*b*c", u"aXXbYYbZc"));
  EXPECT_FALSE(WildcardMatch(u"a*b*c", u"aXXbYYbZ"));
  EXPECT_TRUE(WildcardMatch(u"0004*0012.*", u"00041230012.DAT"));
  EXPECT_FALSE(WildcardMatch(u"?", u""));
  EXPECT_TRUE(WildcardMatch(u"**?", u"x"));
  EXPECT_TRUE(WildcardMatch(u"\u00E9*", u"\u00C9t\u00E9"));
  EXPECT_TRUE(HasWildcards(u"a?b"));
  EXPECT_FALSE(HasWildcards(u"ab"));
}

}  // namespace
}  // namespace kelva::platform
