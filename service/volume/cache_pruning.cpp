#include "service/volume/cache_pruning.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"

namespace kelva::volume {

namespace {

namespace fs = std::filesystem;
namespace pe = platform;

constexpr uint32_t kDeleteAttempts = 50;
constexpr uint32_t kDeleteRetryMs = 100;

// Deletes folder with everything below it, in listing order.
void DeleteTree(const fs::path& folder, platform::Clock& clock) {
  std::vector<pe::FindData> entries;
  if (pe::FindFiles(folder, u"*", &entries) == 0) {
    for (const pe::FindData& e : entries) {
      const fs::path path = folder / e.name;
      if (e.is_directory) {
        DeleteTree(path, clock);
        continue;
      }
      for (uint32_t attempt = 1; pe::DeleteFile(path) != 0 && attempt < kDeleteAttempts; ++attempt) {
        clock.Sleep(kDeleteRetryMs);
      }
    }
  }
  for (uint32_t attempt = 1; pe::RemoveDirectory(folder) != 0 && attempt < kDeleteAttempts; ++attempt) {
    clock.Sleep(kDeleteRetryMs);
  }
}

}  // namespace

size_t PruneMagazineCaches(const fs::path& data_folder, uint32_t keep_count, platform::Clock& clock) {
  const fs::path root = data_folder / "magazine";
  std::vector<pe::FindData> folders;
  if (pe::FindFiles(root, u"*", &folders) != 0) return 0;
  struct Candidate {
    fs::path folder;
    pe::FileTime resume_time;
    size_t listed;
  };
  std::vector<Candidate> candidates;
  for (size_t i = 0; i < folders.size(); ++i) {
    if (!folders[i].is_directory) continue;
    const fs::path folder = root / folders[i].name;
    std::vector<pe::FindData> resume;
    if (pe::FindFiles(folder / "cache", u"resume.bin", &resume) != 0 || resume.empty() || resume[0].is_directory) {
      continue;
    }
    candidates.push_back({folder, resume[0].last_write, i});
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.resume_time != b.resume_time ? a.resume_time > b.resume_time : a.listed > b.listed;
  });
  const size_t keep = keep_count == 0 ? kDefaultCacheKeepCount : keep_count;
  size_t deleted = 0;
  for (size_t i = keep; i < candidates.size(); ++i) {
    DeleteTree(candidates[i].folder, clock);
    ++deleted;
  }
  return deleted;
}

}  // namespace kelva::volume
