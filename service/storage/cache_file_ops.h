// File operations of the cache store with the retries the local file system
// needs: other processes (indexers, virus scanners) and the service's own handles
// briefly hold cache files, so opens, deletes and folder removals are retried on
// the injected clock before they give up.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace kelva::storage {

namespace fs = std::filesystem;
using platform::Win32Error;

// The retry rule for creating and opening a file. attempt() makes one try and
// returns its result: 0 ends at once; ERROR_PATH_NOT_FOUND is returned at once;
// ERROR_ACCESS_DENIED is retried after 10 ms up to five failures in all;
// ERROR_SHARING_VIOLATION after 100 ms up to fifty failures; any other error is
// retried at once up to five failures. The last error is returned.
template <typename Attempt>
Win32Error RetryOpen(platform::Clock& clock, Attempt attempt) {
  uint32_t failures = 0;
  for (;;) {
    const Win32Error e = attempt();
    if (e == platform::ERROR_SUCCESS || e == platform::ERROR_PATH_NOT_FOUND) return e;
    ++failures;
    if (e == platform::ERROR_ACCESS_DENIED) {
      if (failures >= 5) return e;
      clock.Sleep(10);
    } else if (e == platform::ERROR_SHARING_VIOLATION) {
      if (failures >= 50) return e;
      clock.Sleep(100);
    } else if (failures >= 5) {
      return e;
    }
  }
}

// The retry rule for deleting a file or removing a folder: while attempt() fails
// with ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION it is retried after 100 ms,
// at most fifty attempts in all; any other result is returned at once.
template <typename Attempt>
Win32Error RetryDelete(platform::Clock& clock, Attempt attempt) {
  for (uint32_t attempts = 1;; ++attempts) {
    const Win32Error e = attempt();
    if (e != platform::ERROR_ACCESS_DENIED && e != platform::ERROR_SHARING_VIOLATION) return e;
    if (attempts >= 50) return e;
    clock.Sleep(100);
  }
}

// Opens path under the open retry rule. With create_folders the folders above
// path are created before every attempt.
Win32Error OpenFileWithRetry(platform::Clock& clock, const fs::path& path, uint32_t access,
                             platform::Disposition disposition, platform::File* out,
                             bool create_folders = false);

// DeleteFile under the delete retry rule.
Win32Error DeleteFileWithRetry(platform::Clock& clock, const fs::path& path);

// RemoveDirectory under the delete retry rule.
Win32Error RemoveDirectoryWithRetry(platform::Clock& clock, const fs::path& path);

// Removes the folders left empty above file: starting with the folder that holds
// it, each folder is removed and the walk moves one level up. The walk stops at a
// folder named "magazine" (compared without case; it is never removed), at the
// first folder that is not empty, at any other error, or at the top of the path.
// A folder that is already gone counts as removed.
void RemoveEmptyFoldersAbove(platform::Clock& clock, const fs::path& file);

// Deletes everything inside folder (subfolders emptied and removed, files deleted
// under the retry rule); the folder itself stays. A symbolic link is removed as a
// link and never followed. Returns 0, ERROR_PATH_NOT_FOUND when folder is missing,
// or the first error met (the walk goes on past it).
Win32Error EmptyFolder(platform::Clock& clock, const fs::path& folder);

// EmptyFolder, then removes the folder itself. A missing folder is success.
Win32Error EmptyAndRemoveFolder(platform::Clock& clock, const fs::path& folder);

}  // namespace kelva::storage
