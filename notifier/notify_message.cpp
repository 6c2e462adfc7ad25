#include "notifier/notify_message.h"

#include "platform/text.h"

namespace kelva::notifier {

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A NUL-terminated UTF-16LE string in a field of units code units.
std::u16string ReadField(const uint8_t* p, size_t units) {
  std::u16string s;
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = static_cast<char16_t>(p[2 * i] | p[2 * i + 1] << 8);
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

}  // namespace

bool DecodeNotifyMessage(const uint8_t* data, size_t length, NotifyMessage* out) {
  if (!data || length < kMessageSize) return false;
  out->kind = data[0];
  out->dialog = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16;
  out->style = ReadU32(data + 4);
  out->title = ReadField(data + kTitleOffset, kTitleUnits);
  out->text = ReadField(data + kTextOffset, kTextUnits);
  return true;
}

Level BalloonLevel(uint32_t style) {
  switch (style & 0xF) {
    case 1: return Level::kInfo;
    case 2: return Level::kWarning;
    case 3: return Level::kError;
    default: return Level::kNone;
  }
}

Level MessageBoxLevel(uint32_t style) {
  switch (style & 0xF0) {
    case 0x10: return Level::kError;
    case 0x20: return Level::kQuestion;
    case 0x30: return Level::kWarning;
    case 0x40: return Level::kInfo;
    default: return Level::kNone;
  }
}

const char* LevelName(Level level) {
  switch (level) {
    case Level::kInfo: return "info";
    case Level::kWarning: return "warning";
    case Level::kError: return "error";
    case Level::kQuestion: return "question";
    case Level::kNone: break;
  }
  return "";
}

std::string MediaPath(std::u16string_view title, const std::string& mount_root) {
  const bool letter = !title.empty() && ((title[0] >= u'A' && title[0] <= u'Z') || (title[0] >= u'a' && title[0] <= u'z'));
  if (letter && (title.size() == 2 || (title.size() == 3 && title[2] == u'\\')) && title[1] == u':') {
    std::string root = mount_root;
    if (!root.empty() && root.back() != '/') root.push_back('/');
    return root + static_cast<char>(title[0] & ~0x20);  // drive letters are upper case
  }
  return platform::Utf16ToUtf8(title);
}

}  // namespace kelva::notifier
