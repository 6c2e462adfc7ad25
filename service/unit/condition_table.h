// The table of user conditions: every error, warning and progress notice the
// service shows about a unit is one of its 32 numbered rows. This file holds
// the rows, the message strings in the four languages and the byte layout of
// the message sent to the notifier; raising a condition against a unit is the
// controller's job (UnitController::Report / SendUserMessage).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelva::unit {

inline constexpr uint32_t kConditionCount = 32;
// The "nothing reported yet" value of the last reported index.
inline constexpr uint32_t kNoCondition = 32;

// Condition indexes raised by name in the service.
enum Condition : uint32_t {
  kCondEjectFailed = 0,
  kCondExchangeFailed = 1,
  kCondFormatFailed = 2,
  kCondRemovedWithoutEject = 3,
  kCondAnotherWriter = 4,
  kCondUnitFailure = 5,
  kCondLoadingFailed = 6,
  kCondStatusChangeAborted = 7,
  kCondTemperature = 8,
  kCondRecoveryFailed = 9,
  kCondProtectedNoFormat = 10,
  kCondRfidAnomalous = 11,
  kCondRecordingQuality = 12,
  kCondUnitSoftware = 13,
  kCondRfidCommunication = 14,
  kCondDriveError = 15,
  kCondWriteFailed = 16,
  kCondRecordFailed = 17,
  kCondReadFailed = 18,
  kCondDriverUpdateFailed = 19,
  kCondUnsupportedMagazine = 20,
  kCondWaitingForAccess = 21,
  kCondAccessTimedOut = 22,
  kCondExchanging = 23,
  kCondUpdatingManagement = 24,
  kCondInstallationChanged = 25,
  kCondDriveOperationFailed = 26,
  kCondWriteProtected = 27,
  kCondCacheInsufficient = 28,
  kCondNowReading = 29,
  kCondProtectedAfterInterruptedWrite = 30,
  kCondRemovedWithMagazine = 31,
};

struct ConditionRow {
  const char* code;       // shown in brackets; "" for notices
  uint32_t message_id;    // string table id of the message
  bool notice;            // informational notice (balloon) rather than a message box
  bool repeat_guard;      // a repetition within 60 s stays silent
  uint32_t style;         // message box type, or balloon icon for notices
  bool memo;              // leave the code in the unit's host memo
};

// REQUIRES: index < kConditionCount.
const ConditionRow& ConditionAt(uint32_t index);

// ---- message strings --------------------------------------------------------

enum class Language { kEnglish, kJapanese, kTraditionalChinese, kSimplifiedChinese };

// The string id of the title of every message.
inline constexpr uint32_t kTitleStringId = 119;

// The language of the running system, from LC_ALL, LC_MESSAGES or LANG (the
// first one set): "ja" Japanese; "zh_TW", "zh_HK", "zh_MO" or "zh_Hant"
// Traditional Chinese; other "zh" Simplified Chinese; anything else English.
Language SystemLanguage();
Language LanguageFromLocale(std::string_view locale);

// The string with this id in the language; a string that has no translation
// yet falls back to English; an unknown id gives "".
std::u16string LoadMessage(uint32_t id, Language language);

// The history text of a condition: "[code]:message" with the code, else "message".
std::u16string HistoryText(uint32_t index, bool with_code, Language language);
// The notifier text: "[code]\nmessage" with the code, else "message".
std::u16string NotifierText(uint32_t index, bool with_code, Language language);

// ---- the notifier message -----------------------------------------------------

inline constexpr const char* kNotifierMailslot = "\\\\.\\mailslot\\{C660BB9C-9404-454C-8E91-F52C8D3AB2EC}";
inline constexpr uint32_t kNotifyMessageSize = 648;
inline constexpr uint32_t kNotifyTitleOffset = 8;
inline constexpr uint32_t kNotifyTitleChars = 64;   // with the terminator
inline constexpr uint32_t kNotifyTextOffset = 136;
inline constexpr uint32_t kNotifyTextChars = 256;   // with the terminator
// A message box whose closing the sender waits for carries a dialog number
// (1 .. 0xFFFFFF, little-endian) in the three bytes after the kind; when the
// user closed it the notifier sets the named event of that number, which the
// sender created: this prefix followed by the number in six upper-case hex
// digits. Number 0 (the bytes cleared) asks for no answer.
inline constexpr uint32_t kNotifyDialogNumberOffset = 1;
inline constexpr const char* kDialogClosedEventPrefix = "Global\\{5D0B7F3A-8C21-4E6B-A9F4-3C7E15B2D960}-";

enum NotifyKind : uint8_t {
  kNotifyBalloon = 0,
  kNotifyMessageBox = 1,
  kNotifyMediaInserted = 0x10,
  kNotifyMediaRemoved = 0x11,
  kNotifyQuit = 0xFF,
};

using NotifyMessage = std::array<uint8_t, kNotifyMessageSize>;

// Lays out one message: kind, style (little-endian), the title cut to 63
// characters and the text cut to 255, both NUL-terminated UTF-16LE; every
// other byte zero.
NotifyMessage BuildNotifyMessage(uint8_t kind, uint32_t style, std::u16string_view title,
                                 std::u16string_view text);
// The message of a condition row (kind from its notice flag, style, title 119).
NotifyMessage BuildConditionMessage(uint32_t index, bool with_code, Language language);
// The media notice: kind 0x10 inserted / 0x11 removed, the root path in the
// title field, style 0 and no text.
NotifyMessage BuildMediaNotice(std::u16string_view drive_root, bool inserted);

}  // namespace kelva::unit
