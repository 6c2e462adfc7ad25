#include "service/unit/unit_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/big_endian.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/text.h"

namespace kelva::unit {

using platform::Disposition;
using platform::File;
using platform::Win32Error;

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
using platform::GetBe32;

// Creates or replaces path with exactly these bytes, creating its folder chain.
Win32Error ReplaceFile(const fs::path& path, const void* data, uint32_t length) {
  platform::CreateDirectoryChain(path.parent_path());
  File f;
  Win32Error e = File::Open(path, platform::kAccessReadWrite, Disposition::kCreateAlways, &f);
  if (e != 0) return e;
  uint32_t done = 0;
  e = f.Write(data, length, &done);
  if (e == 0 && done != length) e = platform::ERROR_WRITE_FAULT;
  return e;
}

// Reads an existing file whole when it is exactly `size` bytes long.
bool ReadExactFile(const fs::path& path, void* out, uint32_t size) {
  File f;
  if (File::Open(path, platform::kAccessRead, Disposition::kOpenExisting, &f) != 0) return false;
  uint64_t actual = 0;
  if (f.Size(&actual) != 0 || actual != size) return false;
  return f.ReadExactAt(0, out, size) == 0;
}

}  // namespace

// ---- paths ---------------------------------------------------------------------

std::string SerialFolderName(std::u16string_view serial) {
  std::string name = platform::Utf16ToUtf8(serial);
  for (char& c : name)
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  if (name.find_first_not_of('.') == std::string::npos) name = "NO SERIAL";
  return name;
}

fs::path UnitFolder(const fs::path& data_folder, std::u16string_view serial) {
  return data_folder / SerialFolderName(serial);
}
fs::path ConfigPath(const fs::path& d, std::u16string_view s) { return UnitFolder(d, s) / "Config.bin"; }
fs::path ErrorHistoryPath(const fs::path& d, std::u16string_view s) {
  return UnitFolder(d, s) / "Error.bin";
}
fs::path UtilErrorHistoryPath(const fs::path& d, std::u16string_view s) {
  return UnitFolder(d, s) / "UtilError.bin";
}
fs::path UnitLogsFolder(const fs::path& d, std::u16string_view s) { return UnitFolder(d, s) / "Logs"; }

std::string LogDumpName(const platform::SystemTime& t) {
  char name[64];
  std::snprintf(name, sizeof name, "LogGet_%04d%02d%02d%02d%02d%02d.bin", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return name;
}

fs::path DiscInfoPath(const fs::path& data_folder, std::u16string_view magazine_id,
                      std::u16string_view serial, uint8_t slot, uint8_t kind) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "-%02d-%d.bin", slot, kind);
  return data_folder / "magazine" / SerialFolderName(magazine_id) / (SerialFolderName(serial) + tail);
}

// ---- Config.bin -----------------------------------------------------------------

int32_t ConfigFileSplit(const UnitConfig& c) { return static_cast<int32_t>(Get32(c.data() + 4)); }
void SetConfigFileSplit(UnitConfig* c, int32_t value) {
  Put32(c->data() + 4, static_cast<uint32_t>(value));
}

bool ReadConfig(const fs::path& path, UnitConfig* out) {
  UnitConfig c{};
  if (!ReadExactFile(path, c.data(), kConfigSize)) return false;
  *out = c;
  return true;
}

bool WriteConfig(const fs::path& path, const UnitConfig& config) {
  return ReplaceFile(path, config.data(), kConfigSize) == 0;
}

uint8_t RecordVerificationMode(const fs::path& config_path) {
  UnitConfig c{};
  return ReadConfig(config_path, &c) ? ConfigVerificationMode(c) : kVerificationOff;
}

// ---- Error.bin ------------------------------------------------------------------

std::u16string ErrorEntry::Text() const {
  size_t n = 0;
  while (n < text.size() && text[n] != 0) ++n;
  return std::u16string(text.data(), n);
}

void ErrorHistory::Add(const platform::SystemTime& utc, std::u16string_view message) {
  count = std::min(count + 1, kHistoryEntries);
  newest = newest + 1 >= kHistoryNone ? 0 : newest + 1;
  ErrorEntry& e = entries[newest];
  e.time = utc;
  e.text.fill(0);
  size_t n = std::min<size_t>(message.size(), kHistoryTextChars - 1);
  std::copy_n(message.begin(), n, e.text.begin());
}

std::string SerializeErrorHistory(const ErrorHistory& h) {
  std::string out(kHistoryFileSize, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(out.data());
  Put32(p, h.count);
  Put32(p + 4, h.newest);
  Put32(p + 8, h.reserved[0]);
  Put32(p + 12, h.reserved[1]);
  for (uint32_t i = 0; i < kHistoryEntries; ++i) {
    uint8_t* e = p + 16 + i * kHistoryEntrySize;
    const platform::SystemTime& t = h.entries[i].time;
    const uint16_t fields[8] = {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay,
                                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    for (int f = 0; f < 8; ++f) Put16(e + 2 * f, fields[f]);
    for (uint32_t c = 0; c < kHistoryTextChars; ++c) Put16(e + 16 + 2 * c, h.entries[i].text[c]);
  }
  return out;
}

bool ParseErrorHistory(std::string_view bytes, ErrorHistory* out) {
  if (bytes.size() != kHistoryFileSize) return false;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  ErrorHistory h;
  h.count = Get32(p);
  h.newest = Get32(p + 4);
  if (h.count > kHistoryEntries || h.newest > kHistoryNone) return false;
  h.reserved[0] = Get32(p + 8);
  h.reserved[1] = Get32(p + 12);
  for (uint32_t i = 0; i < kHistoryEntries; ++i) {
    const uint8_t* e = p + 16 + i * kHistoryEntrySize;
    platform::SystemTime& t = h.entries[i].time;
    uint16_t* fields[8] = {&t.wYear, &t.wMonth, &t.wDayOfWeek, &t.wDay,
                           &t.wHour, &t.wMinute, &t.wSecond, &t.wMilliseconds};
    for (int f = 0; f < 8; ++f) *fields[f] = Get16(e + 2 * f);
    for (uint32_t c = 0; c < kHistoryTextChars; ++c)
      h.entries[i].text[c] = static_cast<char16_t>(Get16(e + 16 + 2 * c));
  }
  *out = h;
  return true;
}

bool ReadErrorHistory(const fs::path& path, ErrorHistory* out) {
  std::string bytes(kHistoryFileSize, '\0');
  if (!ReadExactFile(path, bytes.data(), kHistoryFileSize)) return false;
  return ParseErrorHistory(bytes, out);
}

bool WriteErrorHistory(const fs::path& path, const ErrorHistory& history) {
  std::string bytes = SerializeErrorHistory(history);
  return ReplaceFile(path, bytes.data(), kHistoryFileSize) == 0;
}

// ---- unit log dumps --------------------------------------------------------------

namespace {

}  // namespace

bool UnitLogSectionLengths(const uint8_t* section0, size_t length, std::vector<uint32_t>* out) {
  out->clear();
  if (length < 9) return false;
  const uint32_t n = section0[8];
  if (n < 2) return true;
  // The table of lengths must lie inside section 0.
  if (10 + 4ull * (n - 1) > length) return false;
  uint64_t total = 0;
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t len = GetBe32(section0 + 10 + 4 * (i - 1));
    total += len;
    if (len > kMaxLogSection || total > kMaxLogMemory) return false;
    out->push_back(len);
  }
  return true;
}

namespace {

// Reads the whole log memory: section 0 (whose header gives its length and
// the lengths of the others) and sections 1 .. n-1. False on a failed read or
// lengths that do not add up.
bool ReadUnitLogMemory(DeviceHandle device, std::vector<uint8_t>* out) {
  uint8_t header[8] = {};
  if (ReadLogSection(device, 0, header, sizeof header) != 0) return false;
  const uint64_t length0 = static_cast<uint64_t>(GetBe32(header)) + 4;
  if (length0 < 9 || length0 > kMaxLogSection) return false;
  std::vector<uint8_t> data(length0);
  if (ReadLogSection(device, 0, data.data(), static_cast<uint32_t>(length0)) != 0) return false;
  std::vector<uint32_t> lengths;
  if (!UnitLogSectionLengths(data.data(), data.size(), &lengths)) return false;
  const uint32_t n = static_cast<uint32_t>(lengths.size()) + 1;
  for (uint32_t i = 1; i < n; ++i) {
    const uint32_t len = lengths[i - 1];
    const size_t at = data.size();
    data.resize(at + len);
    if (len != 0 && ReadLogSection(device, static_cast<uint8_t>(i), data.data() + at, len) != 0)
      return false;
  }
  *out = std::move(data);
  return true;
}

}  // namespace

fs::path RetrieveUnitLog(DeviceHandle device, const fs::path& logs_folder,
                         const platform::SystemTime& local_time) {
  const fs::path path = logs_folder / LogDumpName(local_time);
  platform::CreateDirectoryChain(logs_folder);
  File f;
  if (File::Open(path, platform::kAccessReadWrite, Disposition::kCreateAlways, &f) != 0) return {};
  TestUnitReady(device);
  std::vector<uint8_t> memory;
  if (ReadUnitLogMemory(device, &memory)) {
    uint32_t done = 0;
    if (f.Write(memory.data(), static_cast<uint32_t>(memory.size()), &done) != 0)
      KLOG_WARN("unit log dump %s: write failed", path.c_str());
  } else {
    KLOG_WARN("unit log dump %s: the unit's log could not be read", path.c_str());
  }
  f.Close();
  PruneUnitLogs(logs_folder);
  return path;
}

bool PruneUnitLogs(const fs::path& logs_folder) {
  std::vector<platform::FindData> found;
  if (platform::FindFiles(logs_folder, u"*", &found) != 0) return false;
  std::vector<const platform::FindData*> files;
  for (const auto& f : found)
    if (!f.is_directory) files.push_back(&f);
  if (files.size() <= kMaxLogDumps) return false;
  auto oldest = std::min_element(files.begin(), files.end(), [](auto* a, auto* b) {
    return a->last_write != b->last_write ? a->last_write < b->last_write : a->name < b->name;
  });
  return platform::DeleteFile(logs_folder / (*oldest)->name) == 0;
}

// ---- disc information -------------------------------------------------------------

int SaveDiscInformation(DeviceHandle device, const fs::path& path, uint8_t kind) {
  uint8_t chunks = 0;
  uint32_t size = 0;
  if (!ReadDiscInfoSize(device, kind, &chunks, &size)) return -1;
  if (chunks == 0xFF && size == 0xFFFFFF) return -1;
  const uint64_t length = static_cast<uint64_t>(size) + (kind == 1 ? 4 : 8);
  const uint64_t capacity = static_cast<uint64_t>(chunks) * kDiscInfoChunkSize;
  if (length > capacity) return -1;
  std::vector<uint8_t> data(capacity);
  for (uint32_t i = 0; i < chunks; ++i)
    if (ReadDiscInfoChunk(device, kind, static_cast<uint8_t>(i), data.data() + i * kDiscInfoChunkSize) != 0)
      return -1;
  Win32Error e = ReplaceFile(path, data.data(), static_cast<uint32_t>(length));
  if (e != 0) {
    platform::DeleteFile(path);
    return static_cast<int>(e);
  }
  return 0;
}

int RestoreDiscInformation(DeviceHandle device, const fs::path& path, uint8_t kind) {
  File f;
  Win32Error e = File::Open(path, platform::kAccessRead, Disposition::kOpenExisting, &f);
  if (e != 0) return static_cast<int>(e);
  uint64_t size = 0;
  if (f.Size(&size) != 0 || size == 0 || size > kMaxDiscInfoFile) return -1;
  std::vector<uint8_t> data(size);
  if (f.ReadExactAt(0, data.data(), static_cast<uint32_t>(size)) != 0) return -1;
  uint32_t index = 0;
  for (uint64_t at = 0; at < size; at += kDiscInfoChunkSize, ++index) {
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kDiscInfoChunkSize, size - at));
    if (WriteDiscInfoChunk(device, kind, static_cast<uint8_t>(index), data.data() + at, len) != 0)
      return -1;
  }
  return 0;
}

Win32Error DeleteDiscInformation(const fs::path& path) { return platform::DeleteFile(path); }

}  // namespace kelva::unit
