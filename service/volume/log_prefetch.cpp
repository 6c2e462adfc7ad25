// CFsVolume: history logs fetched from the discs a whole block of 256 file
// numbers at a time. The extra logs of a block wait in the prefetched list
// (newest first, at most 512) until someone asks for them; what falls off the
// end, and whatever is left at a flush or close, is deleted from the cache.
#include <vector>

#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {
constexpr Win32Error kErrorNotFound = 2;
constexpr Win32Error kErrorAccessDenied = 5;
}  // namespace

Win32Error CFsVolume::FetchHistoryLog(uint8_t disc, uint32_t file) {
  {
    std::lock_guard l(log_list_mu_);
    for (auto it = prefetched_logs_.begin(); it != prefetched_logs_.end(); ++it) {
      if (it->disc == disc && it->file == file) {
        prefetched_logs_.erase(it);
        return 0;
      }
    }
  }
  if (!cache_ || discs_ == nullptr) return kErrorAccessDenied;
  bool found = false;
  std::vector<uint32_t> fetched;
  // The block listing and its fetches go to the discs together.
  if (recorder_ != nullptr) recorder_->LockIo();
  std::vector<uint32_t> numbers;
  discs_->ListDisc(storage::CK_LOG, disc, file, [&](uint32_t n) { numbers.push_back(n); });
  for (uint32_t n : numbers) {
    std::filesystem::path present;
    if (cache_->CacheFilePath(storage::CK_LOG, disc, n, 0, &present)) {
      if (n == file) found = true;
      continue;
    }
    if (discs_->FetchFile(storage::CK_LOG, disc, n) != 0) continue;
    if (n == file) {
      found = true;
    } else {
      fetched.push_back(n);
    }
  }
  if (recorder_ != nullptr) recorder_->UnlockIo();
  std::vector<PrefetchedLog> dropped;
  {
    std::lock_guard l(log_list_mu_);
    for (uint32_t n : fetched) prefetched_logs_.push_front(PrefetchedLog{disc, n});
    while (prefetched_logs_.size() > kMaxPrefetchedLogs) {
      dropped.push_back(prefetched_logs_.back());
      prefetched_logs_.pop_back();
    }
  }
  for (const PrefetchedLog& p : dropped) DeleteLogCacheFile(p.disc, p.file);
  return found ? 0 : kErrorNotFound;
}

void CFsVolume::DeletePendingLogs() {
  std::deque<PrefetchedLog> all;
  {
    std::lock_guard l(log_list_mu_);
    all.swap(prefetched_logs_);
  }
  for (const PrefetchedLog& p : all) DeleteLogCacheFile(p.disc, p.file);
}

size_t CFsVolume::PrefetchedLogCount() {
  std::lock_guard l(log_list_mu_);
  return prefetched_logs_.size();
}

void CFsVolume::DeleteLogCacheFile(uint8_t disc, uint32_t file) {
  if (cache_ && cache_->IsOpen()) cache_->DeleteCacheFile(storage::CK_LOG, disc, file, 0);
}

}  // namespace kelva::volume
