// The check of the system's UDF driver version. Linux has no such driver to
// check, so the program passes it; the rule itself is kept for the cases where
// a version is known.
#pragma once

#include <cstdint>
#include <optional>

namespace kelva::notifier {

// A file version as a version resource holds it: (major << 48) | (minor << 32)
// | (build << 16) | revision.
constexpr uint64_t FileVersion(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision) {
  return uint64_t(major) << 48 | uint64_t(minor) << 32 | uint64_t(build) << 16 | revision;
}

// Current unless the version is 6.1 with a build and revision up to
// 7601.22213; a version that could not be read (nullopt) is outdated.
bool UdfDriverIsCurrent(std::optional<uint64_t> file_version);

inline constexpr char kUdfWarningText[] =
    "UDF File System Driver in your PC is an earlier version than 6.1.7601.22214. Behavior of the driver "
    "software can be unstable. Please refer to the leaflet included and upgrade to the latest version.";
inline constexpr char kProductName[] = "MERIDANSTORIX Driver Software";

}  // namespace kelva::notifier
