#include "service/storage/reentrant_rw_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace kelva::storage {
namespace {

using namespace std::chrono_literals;

TEST(ReentrantRwLockTest, DepthsAreCountedPerThread) {
  CReentrantRwLock lock;
  ASSERT_TRUE(lock.Valid());
  lock.ReadLock();
  lock.ReadLock();
  EXPECT_EQ(lock.ReadDepth(), 2u);
  EXPECT_EQ(lock.ReaderCount(), 1u) << "a thread counts once however deep";
  std::thread([&] {
    EXPECT_EQ(lock.ReadDepth(), 0u);
    lock.ReadLock();
    EXPECT_EQ(lock.ReaderCount(), 2u);
    lock.ReadUnlock();
  }).join();
  lock.ReadUnlock();
  lock.ReadUnlock();
  EXPECT_EQ(lock.ReaderCount(), 0u);

  lock.WriteLock();
  lock.WriteLock();
  lock.ReadLock();  // a writer may read
  EXPECT_EQ(lock.ReaderCount(), 0u);
  lock.ReadUnlock();
  lock.WriteUnlock();
  EXPECT_EQ(lock.WriteDepth(), 1u);
  lock.WriteUnlock();
  EXPECT_EQ(lock.WriteDepth(), 0u);
}

TEST(ReentrantRwLockTest, ReadTakenUnderTheWriteLockAndReleasedAfterItLeavesNoTrace) {
  CReentrantRwLock lock;
  lock.WriteLock();
  lock.ReadLock();
  lock.WriteUnlock();
  lock.ReadUnlock();  // this read was never counted; it must not be subtracted
  EXPECT_EQ(lock.ReaderCount(), 0u);
  // Another thread's reader and a writer still work as they should.
  std::atomic<bool> reading{false}, release{false};
  std::thread reader([&] {
    lock.ReadLock();
    reading = true;
    while (!release) std::this_thread::sleep_for(1ms);
    lock.ReadUnlock();
  });
  while (!reading) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(lock.ReaderCount(), 1u);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    lock.WriteLock();
    written = true;
    lock.WriteUnlock();
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(written) << "the writer waits for the reader";
  release = true;
  reader.join();
  writer.join();
  EXPECT_TRUE(written);
}

// A writer that waits for a reader keeps new readers out (a stream of readers
// cannot starve it), while the reader inside may still take its lock again; when
// the writer is done, the readers kept out all get in.
TEST(ReentrantRwLockTest, WaitingWriterKeepsNewReadersOutButNotReentrantOnes) {
  CReentrantRwLock lock;
  lock.ReadLock();
  std::atomic<bool> written{false};
  std::thread writer([&] {
    lock.WriteLock();
    written = true;
    std::this_thread::sleep_for(20ms);
    lock.WriteUnlock();
  });
  while (!lock.WriterPresent()) std::this_thread::sleep_for(1ms);
  std::atomic<int> late_readers{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      ReadGuard r(lock);
      EXPECT_TRUE(written) << "a reader got in before the waiting writer";
      ++late_readers;
    });
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(late_readers.load(), 0);
  lock.ReadLock();  // re-entry by the reader inside does not wait
  EXPECT_EQ(lock.ReadDepth(), 2u);
  lock.ReadUnlock();
  EXPECT_FALSE(written);
  lock.ReadUnlock();
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(late_readers.load(), 3);
  EXPECT_EQ(lock.ReaderCount(), 0u);
}

TEST(ReentrantRwLockTest, WriterExcludesReadersAndOtherWriters) {
  CReentrantRwLock lock;
  int shared = 0;  // guarded by lock
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        WriteGuard w(lock);
        const int before = shared;
        shared = before + 1;
        {
          ReadGuard r(lock);  // nested read inside the write lock
          if (shared != before + 1) torn = true;
        }
      }
    });
  }
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ReadGuard r(lock);
        const int a = shared;
        ReadGuard again(lock);
        if (shared != a) torn = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(shared, 6000);
  EXPECT_EQ(lock.ReaderCount(), 0u);
}

}  // namespace
}  // namespace kelva::storage
