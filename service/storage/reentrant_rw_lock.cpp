#include "service/storage/reentrant_rw_lock.h"

namespace kelva::storage {

namespace {
// Marks a read depth whose outermost lock was counted among the readers. A read
// lock taken while this thread held the write lock is not counted, and must not
// be subtracted when it is released after the write lock.
constexpr uintptr_t kCounted = uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1);
}  // namespace

CReentrantRwLock::CReentrantRwLock() = default;

uint32_t CReentrantRwLock::ReadDepth() const {
  return static_cast<uint32_t>(read_depth_.Get() & ~kCounted);
}

uint32_t CReentrantRwLock::WriteDepth() const { return static_cast<uint32_t>(write_depth_.Get()); }

uint32_t CReentrantRwLock::ReaderCount() {
  std::lock_guard<std::mutex> g(a_);
  return reader_count_;
}

void CReentrantRwLock::ReadLock() {
  const uintptr_t slot = read_depth_.Get();
  if ((slot & ~kCounted) != 0 || write_depth_.Get() != 0) {
    read_depth_.Set(slot + 1);
    return;
  }
  b_.lock();
  a_.lock();
  ++reader_count_;
  a_.unlock();
  b_.unlock();
  read_depth_.Set(kCounted | 1);
}

void CReentrantRwLock::ReadUnlock() {
  const uintptr_t slot = read_depth_.Get();
  if ((slot & ~kCounted) == 0) return;  // unbalanced unlock: ignore
  const uintptr_t next = slot - 1;
  if ((next & ~kCounted) != 0) {
    read_depth_.Set(next);
    return;
  }
  read_depth_.Set(0);
  if ((slot & kCounted) == 0) return;
  a_.lock();
  if (--reader_count_ == 0 && writer_waiting_) readers_gone_.Set();
  a_.unlock();
}

void CReentrantRwLock::WriteLock() {
  const uintptr_t depth = write_depth_.Get();
  write_depth_.Set(depth + 1);
  if (depth != 0) return;
  b_.lock();
  // Holding B keeps new readers out, so the count can only fall from here on.
  a_.lock();
  if (reader_count_ == 0) {
    a_.unlock();
    return;
  }
  readers_gone_.Reset();
  writer_waiting_ = true;
  a_.unlock();
  for (;;) {
    readers_gone_.Wait(platform::kInfinite);
    std::lock_guard<std::mutex> g(a_);
    if (reader_count_ == 0) {
      writer_waiting_ = false;
      return;
    }
  }
}

void CReentrantRwLock::WriteUnlock() {
  const uintptr_t depth = write_depth_.Get();
  if (depth == 0) return;  // unbalanced unlock: ignore
  write_depth_.Set(depth - 1);
  if (depth == 1) b_.unlock();
}

}  // namespace kelva::storage
