// The parsers of the unit's files and log memory fed arbitrary bytes: the
// error history, the unit configuration and the section table of a log dump.
// Shared by the libFuzzer target and its corpus-replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "service/unit/unit_files.h"

namespace kelva::unit::fuzzing {

inline void FuzzUnitFiles(const uint8_t* data, size_t size) {
  // The error history: as given, and padded to its exact size so that the
  // counts and entries are reached.
  ErrorHistory history;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  ParseErrorHistory(raw, &history);
  std::string padded = raw.substr(0, kHistoryFileSize);
  padded.resize(kHistoryFileSize, '\0');
  if (ParseErrorHistory(padded, &history)) {
    if (history.count > kHistoryEntries || history.newest > kHistoryNone) __builtin_trap();
    history.Add({}, u"fuzz");
    if (SerializeErrorHistory(history).size() != kHistoryFileSize) __builtin_trap();
  }
  // The configuration fields of the first 8 bytes.
  if (size >= kConfigSize) {
    UnitConfig config;
    std::memcpy(config.data(), data, kConfigSize);
    (void)ConfigFileSplit(config);
  }
  // The section table of a log dump.
  std::vector<uint32_t> lengths;
  if (UnitLogSectionLengths(data, size, &lengths)) {
    uint64_t total = 0;
    for (uint32_t len : lengths) total += len;
    if (total > kMaxLogMemory || 10 + 4 * lengths.size() > size + 4) __builtin_trap();
  }
}

}  // namespace kelva::unit::fuzzing
