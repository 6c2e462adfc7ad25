// CReentrantRwLock: a reader/writer lock whose read and write sides may both be
// taken again by a thread that already holds them. A thread that holds the write
// lock may also take read locks; a thread that holds only a read lock must release
// it before it asks for the write lock (asking anyway deadlocks).
//
// Writers take section B for as long as they hold the lock, which keeps new
// readers out, and then wait for the readers inside to leave (an auto-reset event
// set when the reader count drops to zero while a writer waits). Each thread's
// read and write depths live in two thread-local slots that belong to this lock.
//
// Thread safe; not copyable.
#pragma once

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

 private:
  // Neither section is ever entered twice by one thread (re-entry is handled by
  // the depth counts), so plain mutexes serve and keep the read path short.
  std::mutex a_;  // guards reader_count_ and writer_waiting_
  std::mutex b_;  // held by a writer; readers pass through it to register
  uint32_t reader_count_ = 0;
  // Auto-reset; set when reader_count_ drops to 0 while a writer waits for that
  // (setting it for nobody would only cost every reader a shared wake-up).
  platform::Event readers_gone_{false};
  bool writer_waiting_ = false;  // guarded by a_
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
