// Reads arbitrary bytes as a history log: as a run of records, and as the newest
// segment of a chain whose older segments are slices of the same bytes. Nothing
// may crash, read past the end or loop; every record delivered must lie inside
// the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "service/storage/history_records.h"

using namespace kelva::storage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void ParseAll(std::string_view records) {
  size_t total = 0;
  ParseHistoryRecords(records, [&](const HistoryRecord& r) {
    total += kHistoryHeadSize + r.text.size() * 2;
    if (total > records.size()) std::abort();
    return true;
  });
}

}  // namespace

// Exposed under a second name so that a test binary can replay it.
extern "C" int KelvaHistoryFuzzOne(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  ParseAll(bytes);
  // An older segment (disc d, file f) is the slice of the input starting at
  // f modulo the size, d * 512 bytes long: links choose among slices.
  auto read = [&](uint8_t disc, uint32_t file, std::string* out) -> Win32Error {
    if (bytes.empty()) return 2;
    *out = bytes.substr(file % bytes.size(), size_t{disc} * 512);
    return 0;
  };
  std::vector<std::string> segments;
  if (CollectHistoryChain(bytes, read, 64, &segments) == 0) {
    if (segments.empty() || segments.size() > 64) std::abort();
    std::string joined;
    for (const std::string& s : segments) {
      if (s.size() > bytes.size()) std::abort();
      joined += s;
    }
    ParseAll(joined);
  }
  return 0;
}

#ifndef KELVA_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return KelvaHistoryFuzzOne(data, size); }
#endif
