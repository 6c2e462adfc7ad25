// Pruning of the magazine caches on this computer: only the caches that hold a
// live resume file ("cache\resume.bin") compete, the newest resume files win,
// and the caches beyond the keep count are deleted with all their content.
// Caches without a resume file are never touched.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/clock.h"

namespace kelva::volume {

// The keep count used when the magazine configuration gives 0.
inline constexpr uint32_t kDefaultCacheKeepCount = 20;

// Lists "<data_folder>/magazine/*", orders the folders that hold
// "cache/resume.bin" by that file's last-write time, newest first (among equal
// times the folder listed later first), keeps the first keep_count (20 when 0)
// and deletes the others recursively; each file gets up to 50 deletion attempts
// 100 ms apart on clock. Returns the number of caches deleted.
size_t PruneMagazineCaches(const std::filesystem::path& data_folder, uint32_t keep_count, platform::Clock& clock);

}  // namespace kelva::volume
