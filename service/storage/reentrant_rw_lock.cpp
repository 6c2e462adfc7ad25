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

uint32_t CReentrantRwLock::ReaderCount() { return state_.load() & kReaders; }

void CReentrantRwLock::ReadLock() {
  const uintptr_t slot = read_depth_.Get();
  if ((slot & ~kCounted) != 0 || write_depth_.Get() != 0) {
    read_depth_.Set(slot + 1);
    return;
  }
  uint32_t state = state_.load();
  for (;;) {
    if ((state & kWriter) == 0) {
      if (state_.compare_exchange_weak(state, state + 1)) break;
      continue;
    }
    // The epoch is read before the writer bit is looked at again, so an unlock
    // between the two changes the epoch and the wait returns at once.
    const uint32_t epoch = write_epoch_.load();
    state = state_.load();
    if ((state & kWriter) == 0) continue;
    write_epoch_.wait(epoch);
    state = state_.load();
  }
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
  const uint32_t before = state_.fetch_sub(1);
  // The last reader out wakes the writer waiting for that (only one writer
  // waits: the others queue on the writers' mutex).
  if ((before & kWriter) != 0 && (before & kReaders) == 1) state_.notify_one();
}

void CReentrantRwLock::WriteLock() {
  const uintptr_t depth = write_depth_.Get();
  write_depth_.Set(depth + 1);
  if (depth != 0) return;
  writers_.lock();
  // With the bit set no reader enters, so the count can only fall from here on.
  uint32_t state = state_.fetch_or(kWriter) | kWriter;
  while ((state & kReaders) != 0) {
    state_.wait(state);
    state = state_.load();
  }
}

void CReentrantRwLock::WriteUnlock() {
  const uintptr_t depth = write_depth_.Get();
  if (depth == 0) return;  // unbalanced unlock: ignore
  write_depth_.Set(depth - 1);
  if (depth != 1) return;
  state_.fetch_and(~kWriter);
  write_epoch_.fetch_add(1);
  write_epoch_.notify_all();
  writers_.unlock();
}

}  // namespace kelva::storage
