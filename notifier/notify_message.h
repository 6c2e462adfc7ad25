// The 648-byte message the service (and the setup actions) send to the
// notifier's mailslot, decoded field by field:
//
//   offset 0    u8       kind
//   offset 1    3 bytes  dialog number (kind 1, little-endian; 0: no answer)
//   offset 4    u32      style (balloon icon flags, or message box type)
//   offset 8    64 UTF-16 units   title, NUL-terminated (drive root for 0x10/0x11)
//   offset 136  256 UTF-16 units  text, NUL-terminated
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelva::notifier {

inline constexpr char kNotifierMailslot[] = "\\\\.\\mailslot\\{C660BB9C-9404-454C-8E91-F52C8D3AB2EC}";
inline constexpr size_t kMessageSize = 648;
inline constexpr size_t kTitleOffset = 8;
inline constexpr size_t kTitleUnits = 64;
inline constexpr size_t kTextOffset = 136;
inline constexpr size_t kTextUnits = 256;

enum MessageKind : uint8_t {
  kKindBalloon = 0,
  kKindMessageBox = 1,
  kKindMediaInserted = 0x10,
  kKindMediaRemoved = 0x11,
  kKindQuit = 0xFF,
};

// When the user closed a message box with a nonzero dialog number, the
// notifier sets the named event of its sender: this prefix followed by the
// number in six upper-case hex digits.
inline constexpr char kDialogClosedEventPrefix[] = "Global\\{5D0B7F3A-8C21-4E6B-A9F4-3C7E15B2D960}-";

struct NotifyMessage {
  uint8_t kind = 0;
  uint32_t dialog = 0;  // bytes 1..3
  uint32_t style = 0;
  std::u16string title;  // up to the first NUL, never past its field
  std::u16string text;
};

// Decodes the first 648 bytes of data; false (nothing decoded) when there are
// fewer. A title or text without a terminator ends at the end of its field.
bool DecodeNotifyMessage(const uint8_t* data, size_t length, NotifyMessage* out);

// Icon level of a message: balloon styles 1/2/3, message box icons 0x10/0x20/0x30/0x40.
enum class Level { kNone, kInfo, kWarning, kError, kQuestion };
Level BalloonLevel(uint32_t style);
Level MessageBoxLevel(uint32_t style);
const char* LevelName(Level level);  // "info", "warning", "error", "question", ""

// Where a media message's path is on this computer: a drive root "X:\" (or
// "X:") is the drive's mount point below mount_root; anything else is the path
// as sent (UTF-8).
std::string MediaPath(std::u16string_view title, const std::string& mount_root);

}  // namespace kelva::notifier
