#include "service/storage/history_records.h"

#include <set>
#include <utility>

namespace kelva::storage {
namespace {

void Put16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}

void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The head: length, type and the UTC time. A time that cannot be converted (one
// that does not fit a signed 64-bit FILETIME) leaves the eight time bytes 0.
std::string Head(size_t length, uint8_t type, platform::FileTime time) {
  std::string out;
  out.reserve(length);
  Put16(&out, static_cast<uint16_t>(length));
  out.push_back(static_cast<char>(type));
  if (static_cast<int64_t>(time) < 0) {
    out.append(8, '\0');
    return out;
  }
  const platform::SystemTime st = platform::FileTimeToSystemTime(time);
  Put16(&out, st.wYear);
  out.push_back(static_cast<char>(st.wMonth));
  out.push_back(static_cast<char>(st.wDay));
  out.push_back(static_cast<char>(st.wHour));
  out.push_back(static_cast<char>(st.wMinute));
  out.push_back(static_cast<char>(st.wSecond));
  out.push_back(static_cast<char>(st.wMilliseconds / 10));
  return out;
}

void PutText(std::string* out, std::u16string_view text) {
  Put16(out, static_cast<uint16_t>(text.size() * 2));
  for (char16_t c : text) Put16(out, static_cast<uint16_t>(c));
}

std::u16string GetText(const uint8_t* p, size_t bytes) {
  std::u16string text(bytes / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(Get16(p + 2 * i));
  return text;
}

// Fixed part of each record (head included) before its text, and whether it
// carries a text.
constexpr size_t kCreatedFixed = kHistoryHeadSize + 1 + 4 + 4 + 4 + 2;  // 26
constexpr size_t kUpdatedSize = kHistoryHeadSize + 1 + 4 + 4 + 4;       // 24
constexpr size_t kTextFixed = kHistoryHeadSize + 2;                     // 13

bool TextFits(size_t fixed, std::u16string_view text) { return fixed + text.size() * 2 <= 0xFFFF; }

}  // namespace

void EncodeHistoryLink(const HistoryLink& link, uint8_t* out) {
  out[0] = link.disc;
  for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>((link.file >> (8 * i)) & 0xFF);
}

HistoryLink DecodeHistoryLink(const uint8_t* in) { return HistoryLink{in[0], Get32(in + 1)}; }

std::string MakeCreatedRecord(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                              uint32_t value2, std::u16string_view path) {
  if (!TextFits(kCreatedFixed, path)) return {};
  std::string out = Head(kCreatedFixed + path.size() * 2, kHistoryCreated, time);
  out.push_back(static_cast<char>(disc));
  Put32(&out, file);
  Put32(&out, value1);
  Put32(&out, value2);
  PutText(&out, path);
  return out;
}

std::string MakeUpdatedRecord(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                              uint32_t value2) {
  std::string out = Head(kUpdatedSize, kHistoryUpdated, time);
  out.push_back(static_cast<char>(disc));
  Put32(&out, file);
  Put32(&out, value1);
  Put32(&out, value2);
  return out;
}

std::string MakeRenamedRecord(platform::FileTime time, std::u16string_view new_name) {
  if (!TextFits(kTextFixed, new_name)) return {};
  std::string out = Head(kTextFixed + new_name.size() * 2, kHistoryRenamed, time);
  PutText(&out, new_name);
  return out;
}

std::string MakeMovedRecord(platform::FileTime time, std::u16string_view new_path) {
  if (!TextFits(kTextFixed, new_path)) return {};
  std::string out = Head(kTextFixed + new_path.size() * 2, kHistoryMoved, time);
  PutText(&out, new_path);
  return out;
}

std::string MakeDeletedRecord(platform::FileTime time) { return Head(kHistoryHeadSize, kHistoryDeleted, time); }

Win32Error ParseHistoryRecords(std::string_view records,
                               const std::function<bool(const HistoryRecord&)>& on_record) {
  const auto* base = reinterpret_cast<const uint8_t*>(records.data());
  size_t at = 0;
  while (at < records.size()) {
    const size_t left = records.size() - at;
    if (left < kHistoryHeadSize) return platform::ERROR_INVALID_DATA;
    const uint8_t* p = base + at;
    const size_t length = Get16(p);
    if (length < kHistoryHeadSize || length > left) return platform::ERROR_INVALID_DATA;
    HistoryRecord rec;
    rec.type = p[2];
    rec.year = Get16(p + 3);
    rec.month = p[5];
    rec.day = p[6];
    rec.hour = p[7];
    rec.minute = p[8];
    rec.second = p[9];
    rec.hundredths = p[10];
    const uint8_t* payload = p + kHistoryHeadSize;
    switch (rec.type) {
      case kHistoryCreated:
      case kHistoryUpdated: {
        const size_t fixed = rec.type == kHistoryCreated ? kCreatedFixed : kUpdatedSize;
        if (length < fixed) return platform::ERROR_INVALID_DATA;
        rec.disc = payload[0];
        rec.file = Get32(payload + 1);
        rec.value1 = Get32(payload + 5);
        rec.value2 = Get32(payload + 9);
        if (rec.type == kHistoryUpdated) {
          if (length != kUpdatedSize) return platform::ERROR_INVALID_DATA;
          break;
        }
        const size_t text = Get16(payload + 13);
        if (text % 2 != 0 || length != kCreatedFixed + text) return platform::ERROR_INVALID_DATA;
        rec.text = GetText(p + kCreatedFixed, text);
        break;
      }
      case kHistoryRenamed:
      case kHistoryMoved: {
        if (length < kTextFixed) return platform::ERROR_INVALID_DATA;
        const size_t text = Get16(payload);
        if (text % 2 != 0 || length != kTextFixed + text) return platform::ERROR_INVALID_DATA;
        rec.text = GetText(p + kTextFixed, text);
        break;
      }
      case kHistoryDeleted:
        if (length != kHistoryHeadSize) return platform::ERROR_INVALID_DATA;
        break;
      default:
        return platform::ERROR_INVALID_DATA;
    }
    if (!on_record(rec)) return platform::ERROR_SUCCESS;
    at += length;
  }
  return platform::ERROR_SUCCESS;
}

Win32Error CollectHistoryChain(std::string newest, const HistorySegmentReader& read, size_t max_segments,
                               std::vector<std::string>* oldest_first) {
  oldest_first->clear();
  std::vector<std::string> newest_first;
  std::set<std::pair<uint8_t, uint32_t>> seen;
  std::string segment = std::move(newest);
  for (;;) {
    if (segment.size() < kHistoryLinkSize) return platform::ERROR_INVALID_DATA;
    const HistoryLink link = DecodeHistoryLink(reinterpret_cast<const uint8_t*>(segment.data()));
    newest_first.push_back(segment.substr(kHistoryLinkSize));
    if (link.IsFirst()) break;
    if (newest_first.size() >= max_segments || !seen.insert({link.disc, link.file}).second) {
      return platform::ERROR_INVALID_DATA;
    }
    segment.clear();
    if (const Win32Error e = read(link.disc, link.file, &segment); e != 0) return e;
    if (segment.size() > kHistorySegmentLimit) return platform::ERROR_INVALID_DATA;
  }
  oldest_first->assign(std::make_move_iterator(newest_first.rbegin()), std::make_move_iterator(newest_first.rend()));
  return platform::ERROR_SUCCESS;
}

}  // namespace kelva::storage
