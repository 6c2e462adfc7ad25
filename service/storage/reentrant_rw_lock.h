// CReentrantRwLock: a reader/writer lock whose read and write sides may both be
// taken again by a thread that already holds them. A thread that holds the write
// lock may also take read locks; a thread that holds only a read lock must release
// it before it asks for the write lock (asking anyway deadlocks).
//
// The lock is one word: the number of threads counted as readers, plus a bit
// that a writer sets while it holds the lock or waits for the readers inside to
// leave. A reader enters with one compare-and-swap while the bit is clear and
// leaves with one subtraction; a set bit keeps new readers out (a waiting writer
// is not starved by a stream of readers), and only the last reader to leave
// wakes the writer. Writers queue on a mutex held for as long as they hold the
// lock. Waiting readers sleep on a second word that each write unlock changes,
// so an unlock wakes the readers and nobody else. Each thread's read and write
// depths live in two thread-local slots that belong to this lock.
//
// Thread safe; not copyable.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/sync.h"
#include "platform/tls.h"

namespace kelva::storage {

class CReentrantRwLock {
 public:
  CReentrantRwLock();
  CReentrantRwLock(const CReentrantRwLock&) = delete;
  CReentrantRwLock& operator=(const CReentrantRwLock&) = delete;

  // False when the thread-local slots could not be allocated; the lock must not
  // be used then (its owner fails with ERROR_NOT_ENOUGH_MEMORY).
  bool Valid() const { return read_depth_.Valid() && write_depth_.Valid(); }

  void ReadLock();
  void ReadUnlock();
  void WriteLock();
  void WriteUnlock();

  // This thread's depths (for assertions and tests).
  uint32_t ReadDepth() const;
  uint32_t WriteDepth() const;
  // Threads counted as readers right now.
  uint32_t ReaderCount();
  // True while a writer holds the lock or waits for the readers to leave.
  bool WriterPresent() const { return (state_.load() & kWriter) != 0; }

 private:
  static constexpr uint32_t kWriter = uint32_t{1} << 31;
  static constexpr uint32_t kReaders = kWriter - 1;
  // Readers counted (low bits) and kWriter.
  std::atomic<uint32_t> state_{0};
  // Changed by every write unlock; readers kept out by a writer wait on it.
  std::atomic<uint32_t> write_epoch_{0};
  std::mutex writers_;  // held by the writer for as long as it holds the lock
  // Per thread: read depth in the low bits, plus kCounted when this thread's
  // outermost read lock registered it in reader_count_.
  platform::ThreadLocalSlot read_depth_;
  platform::ThreadLocalSlot write_depth_;
};

// Scoped holders.
class ReadGuard {
 public:
  explicit ReadGuard(CReentrantRwLock& lock) : lock_(lock) { lock_.ReadLock(); }
  ~ReadGuard() { lock_.ReadUnlock(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  CReentrantRwLock& lock_;
};

class WriteGuard {
 public:
  explicit WriteGuard(CReentrantRwLock& lock) : lock_(lock) { lock_.WriteLock(); }
  ~WriteGuard() { lock_.WriteUnlock(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  CReentrantRwLock& lock_;
};

}  // namespace kelva::storage
