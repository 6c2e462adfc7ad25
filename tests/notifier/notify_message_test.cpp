#include "notifier/notify_message.h"

#include <gtest/gtest.h>

#include "notifier/presenter.h"
#include "notifier/udf_check.h"
#include "tests/notifier/test_messages.h"

namespace kelva::notifier {
namespace {

using testing::Message;

TEST(NotifyMessageTest, DecodesEveryFieldAndNeedsAllOf648Bytes) {
  auto m = Message(1, 0x40030, u"Title", u"[E2000]\nText \u00e9\u65e5");
  NotifyMessage d;
  ASSERT_TRUE(DecodeNotifyMessage(m.data(), m.size(), &d));
  EXPECT_EQ(d.kind, 1);
  EXPECT_EQ(d.style, 0x40030u);
  EXPECT_EQ(d.title, u"Title");
  EXPECT_EQ(d.text, u"[E2000]\nText \u00e9\u65e5");
  EXPECT_FALSE(DecodeNotifyMessage(m.data(), 647, &d));
  EXPECT_FALSE(DecodeNotifyMessage(nullptr, 648, &d));
}

TEST(NotifyMessageTest, UnterminatedStringsStopAtTheEndOfTheirField) {
  // A title of 64 units without a NUL must not run on into the text, nor a
  // text of 256 units past the message.
  std::u16string title(64, u'T');
  std::u16string text(256, u'x');
  auto m = Message(0, 1, title, text, 4000);
  for (size_t i = 648; i < m.size(); ++i) m[i] = 'y';
  NotifyMessage d;
  ASSERT_TRUE(DecodeNotifyMessage(m.data(), m.size(), &d));
  EXPECT_EQ(d.title, title);
  EXPECT_EQ(d.text, text);

  // A terminated title leaves what follows the NUL in its field unread.
  m = Message(0, 1, std::u16string(u"ab\0cd", 5), u"t");
  ASSERT_TRUE(DecodeNotifyMessage(m.data(), m.size(), &d));
  EXPECT_EQ(d.title, u"ab");
}

TEST(NotifyMessageTest, IconLevels) {
  EXPECT_EQ(BalloonLevel(1), Level::kInfo);
  EXPECT_EQ(BalloonLevel(2), Level::kWarning);
  EXPECT_EQ(BalloonLevel(3), Level::kError);
  EXPECT_EQ(BalloonLevel(0x13), Level::kError);  // flag bits above the icon
  EXPECT_EQ(BalloonLevel(0), Level::kNone);
  EXPECT_EQ(MessageBoxLevel(0x10), Level::kError);
  EXPECT_EQ(MessageBoxLevel(0x30), Level::kWarning);
  EXPECT_EQ(MessageBoxLevel(0x40), Level::kInfo);
  EXPECT_EQ(MessageBoxLevel(0x40030), Level::kWarning);  // with MB_TOPMOST
  EXPECT_EQ(MessageBoxLevel(0x1), Level::kNone);
}

TEST(NotifyMessageTest, DriveRootsBecomeMountPoints) {
  EXPECT_EQ(MediaPath(u"E:\\", "/media/kelva"), "/media/kelva/E");
  EXPECT_EQ(MediaPath(u"e:", "/media/kelva/"), "/media/kelva/E");
  EXPECT_EQ(MediaPath(u"E:\\sub", "/media/kelva"), "E:\\sub");
  EXPECT_EQ(MediaPath(u"1:\\", "/media/kelva"), "1:\\");
  EXPECT_EQ(MediaPath(u"", "/media/kelva"), "");
}

TEST(LineFormatTest, OneLinePerMessage) {
  EXPECT_EQ(FormatNoticeLine("notice", "Kelva", "[E2000]\nThe magazine is full.", Level::kWarning),
            "notice warning: Kelva: [E2000] The magazine is full.");
  EXPECT_EQ(FormatNoticeLine("dialog", "T\r\n", "x", Level::kNone), "dialog: T  : x");
  EXPECT_EQ(FormatMediaLine("/media/kelva/E", true), "media inserted: /media/kelva/E");
  EXPECT_EQ(FormatMediaLine("/media/kelva/E", false), "media removed: /media/kelva/E");

  char* buf = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&buf, &len);
  {
    LinePresenter p(out);
    p.Notice("a", "b", Level::kInfo);
    p.Dialog("c", "d\ne", Level::kError);  // does not wait
    p.Media("/m/E", false);
  }
  std::fclose(out);
  EXPECT_EQ(std::string(buf, len), "notice info: a: b\ndialog error: c: d e\nmedia removed: /m/E\n");
  std::free(buf);
}

TEST(UdfDriverCheckTest, VersionRule) {
  EXPECT_FALSE(UdfDriverIsCurrent(FileVersion(6, 1, 7601, 22213)));
  EXPECT_TRUE(UdfDriverIsCurrent(FileVersion(6, 1, 7601, 22214)));
  EXPECT_TRUE(UdfDriverIsCurrent(FileVersion(6, 1, 7602, 0)));
  EXPECT_FALSE(UdfDriverIsCurrent(FileVersion(6, 1, 7600, 30000)));
  EXPECT_TRUE(UdfDriverIsCurrent(FileVersion(6, 2, 9200, 16384)));
  EXPECT_TRUE(UdfDriverIsCurrent(FileVersion(6, 2, 0, 0)));
  EXPECT_TRUE(UdfDriverIsCurrent(FileVersion(10, 0, 19041, 1)));
  EXPECT_FALSE(UdfDriverIsCurrent(std::nullopt));  // unreadable
}

}  // namespace
}  // namespace kelva::notifier
