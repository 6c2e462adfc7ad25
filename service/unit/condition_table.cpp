#include "service/unit/condition_table.h"

#include <cstdlib>
#include <cstring>

#include "platform/text.h"

namespace kelva::unit {

namespace {

constexpr ConditionRow kRows[kConditionCount] = {
    {"E2000", 101, false, false, 0x10, true},
    {"E2010", 102, false, false, 0x10, true},
    {"E3050", 103, false, false, 0x10, true},
    {"E1030", 104, false, false, 0x10, true},
    {"E1040", 105, false, false, 0x10, true},
    {"E1000", 106, true, true, 3, true},
    {"W2010", 107, true, true, 2, false},
    {"E3060", 108, false, false, 0x10, true},
    {"E1010", 109, false, false, 0x10, true},
    {"E3070", 110, false, false, 0x10, true},
    {"W3050", 111, false, false, 0x30, false},
    {"E3040", 112, false, false, 0x10, true},
    {"W2011", 113, false, false, 0x30, false},
    {"E1020", 114, false, false, 0x10, true},
    {"E2020", 115, false, false, 0x10, true},
    {"E3000", 116, false, false, 0x10, true},
    {"E3010", 117, false, true, 0x10, true},
    {"E3020", 118, false, false, 0x10, true},
    {"E3030", 121, false, true, 0x10, true},
    {"W1010", 122, false, false, 0x30, false},
    {"W2000", 123, false, false, 0x30, false},
    {"", 124, true, false, 1, false},
    {"E****", 125, false, false, 0x10, true},
    {"", 126, true, false, 1, false},
    {"", 127, true, false, 1, false},
    {"E3060", 128, false, true, 0x10, true},
    {"E2010", 129, false, false, 0x10, true},
    {"", 130, true, false, 1, false},
    {"", 131, true, true, 3, false},
    {"", 132, true, false, 1, false},
    {"", 133, false, false, 0x40, false},
    {"", 134, false, false, 0x40, false},
};

struct StringEntry {
  uint32_t id;
  const char* text;  // UTF-8
};

// The two messages that are shown in Japanese whatever the language.
constexpr const char* kProtectedAfterInterruptedWrite =
    "前回の書き込みが正常に終了せず本機が取り外された可能性があるため\n"
    "マガジンが書き込み禁止になっています。\n\n"
    "書き込み禁止の解除、ファイル/フォルダーの復旧を試行しますので、\n"
    "前回、ファイル/フォルダーの書き込みを行ったパソコンに本機を\n"
    "接続してマガジンを挿入してください。";
constexpr const char* kRemovedWithMagazine =
    "前回、マガジンを取り出さずに本機が取り外された可能性があります。\n\n"
    "書き込んだファイル/フォルダーが破損するおそれがあるため、\n"
    "本機をパソコンから取り外す時は、マガジンを取り出したあとに\n"
    "本機を取り外して下さい。";
constexpr const char* kProductTitle = "MERIDANSTORIX Driver Software";

constexpr StringEntry kEnglish[] = {
    {101, "Magazine eject failed."},
    {102, "Media exchange failed."},
    {103, "Format failed."},
    {104, "The unit has been removed without ejecting the magazine."},
    {105, "Another file is being written."},
    {106, "Detected a failure in the unit."},
    {107, "Magazine loading failed."},
    {108, "Operation aborted because a change in the unit status has been detected. Return the "
          "unit to its original position."},
    {109, "Internal temperature anomaly has been detected."},
    {110, "Recovery failed."},
    {111, "The magazine is write-protected and cannot be formatted."},
    {112, "RFID tag is anomalous."},
    {113, "Detected that the recording quality is not suitable for storage."},
    {114, "Detected an error during software processing in the unit."},
    {115, "Communication with the RFID module in the unit failed."},
    {116, "Detected an error on the drive."},
    {117, "Write operation failed."},
    {118, "The record operation failed due to factors in both the drive system and the magazine."},
    {119, kProductTitle},
    {121, "Read operation failed."},
    {122, "Driver software update failed."},
    {123, "This magazine is not supported."},
    {124, "Waiting for access to the magazine. Please wait."},
    {125, "Magazine access has timed out. Restart your computer."},
    {126, "Exchanging media"},
    {127, "Updating file management information Please wait."},
    {128, "Operation aborted because changes in the installation state were detected. Insert the "
          "magazine again."},
    {129, "Drive operation failed."},
    {130, "Magazine is write-protected."},
    {131, "Cache capacity is insufficient."},
    {132, "Now reading"},
    {133, kProtectedAfterInterruptedWrite},
    {134, kRemovedWithMagazine},
};

// The other languages carry the texts that exist for them; the rest falls
// back to English until translations are added here.
constexpr StringEntry kLocalised[] = {
    {119, kProductTitle},
    {133, kProtectedAfterInterruptedWrite},
    {134, kRemovedWithMagazine},
};

const char* Find(const StringEntry* table, size_t n, uint32_t id) {
  for (size_t i = 0; i < n; ++i)
    if (table[i].id == id) return table[i].text;
  return nullptr;
}

void PutU16(uint8_t* out, char16_t c) {
  out[0] = static_cast<uint8_t>(c & 0xFF);
  out[1] = static_cast<uint8_t>(c >> 8);
}

// Copies at most max_chars - 1 code units and a terminator.
void PutText(uint8_t* out, uint32_t max_chars, std::u16string_view text) {
  size_t n = std::min<size_t>(text.size(), max_chars - 1);
  for (size_t i = 0; i < n; ++i) PutU16(out + 2 * i, text[i]);
  PutU16(out + 2 * n, 0);
}

}  // namespace

const ConditionRow& ConditionAt(uint32_t index) { return kRows[index]; }

Language LanguageFromLocale(std::string_view locale) {
  if (locale.substr(0, 2) == "ja") return Language::kJapanese;
  if (locale.substr(0, 2) == "zh") {
    if (locale.find("TW") != std::string_view::npos || locale.find("HK") != std::string_view::npos ||
        locale.find("MO") != std::string_view::npos || locale.find("Hant") != std::string_view::npos)
      return Language::kTraditionalChinese;
    return Language::kSimplifiedChinese;
  }
  return Language::kEnglish;
}

Language SystemLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return LanguageFromLocale(value);
  }
  return Language::kEnglish;
}

std::u16string LoadMessage(uint32_t id, Language language) {
  const char* text = nullptr;
  if (language != Language::kEnglish)
    text = Find(kLocalised, std::size(kLocalised), id);
  if (text == nullptr) text = Find(kEnglish, std::size(kEnglish), id);
  return text == nullptr ? std::u16string() : platform::Utf8ToUtf16(text);
}

// GCC 12 at -O3 warns of overlapping copies inside the inlined std::u16string
// concatenations below, which cannot overlap (a known false positive).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

std::u16string HistoryText(uint32_t index, bool with_code, Language language) {
  const ConditionRow& row = ConditionAt(index);
  std::u16string message = LoadMessage(row.message_id, language);
  if (!with_code) return message;
  return u"[" + platform::Utf8ToUtf16(row.code) + u"]:" + message;
}

std::u16string NotifierText(uint32_t index, bool with_code, Language language) {
  const ConditionRow& row = ConditionAt(index);
  std::u16string message = LoadMessage(row.message_id, language);
  if (!with_code) return message;
  return u"[" + platform::Utf8ToUtf16(row.code) + u"]\n" + message;
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

NotifyMessage BuildNotifyMessage(uint8_t kind, uint32_t style, std::u16string_view title,
                                 std::u16string_view text) {
  NotifyMessage m{};
  m[0] = kind;
  for (int i = 0; i < 4; ++i) m[4 + i] = static_cast<uint8_t>(style >> (8 * i));
  PutText(m.data() + kNotifyTitleOffset, kNotifyTitleChars, title);
  PutText(m.data() + kNotifyTextOffset, kNotifyTextChars, text);
  return m;
}

NotifyMessage BuildConditionMessage(uint32_t index, bool with_code, Language language) {
  const ConditionRow& row = ConditionAt(index);
  return BuildNotifyMessage(row.notice ? kNotifyBalloon : kNotifyMessageBox, row.style,
                            LoadMessage(kTitleStringId, language),
                            NotifierText(index, with_code, language));
}

NotifyMessage BuildMediaNotice(std::u16string_view drive_root, bool inserted) {
  return BuildNotifyMessage(inserted ? kNotifyMediaInserted : kNotifyMediaRemoved, 0, drive_root,
                            u"");
}

}  // namespace kelva::unit
