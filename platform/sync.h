// Synchronisation objects with the Win32 semantics the system is designed around:
// manual- and auto-reset events (with a wait on several at once), a re-entrant
// critical section and a counting semaphore. Every timed wait runs on a Clock.
// All objects are thread safe and not copyable.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <vector>

#include "platform/clock.h"

namespace kelva::platform {

// WaitForAny returns the index of the signalled event, or this on time-out.
inline constexpr int kWaitTimeout = -1;

class Event {
 public:
  // manual_reset: stays set until Reset; otherwise one waiter consumes each Set.
  explicit Event(bool manual_reset, bool initially_set = false, Clock& clock = RealClock());
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when set (does not consume an auto-reset event).
  bool IsSet() const;
  // Waits until set; an auto-reset event is consumed. False on time-out.
  bool Wait(uint32_t timeout_ms = kInfinite);

  Clock& clock() const { return clock_; }

 private:
  friend int WaitForAny(std::span<Event* const> events, uint32_t timeout_ms);
  bool manual_;
  bool set_;  // guarded by the shared event mutex
  Clock& clock_;
  // The condition variables of the waits now waiting on this event (one per
  // waiting call); Set wakes only these. Guarded by the shared event mutex.
  std::vector<std::condition_variable*> waiters_;
};

// Waits until one of the events is set and returns its index (the lowest index
// when several are set; that auto-reset event is consumed), or kWaitTimeout.
// Uses the clock of the first event. REQUIRES: events is not empty.
int WaitForAny(std::span<Event* const> events, uint32_t timeout_ms);
inline int WaitForAny(std::initializer_list<Event*> events, uint32_t timeout_ms) {
  return WaitForAny(std::span<Event* const>(events.begin(), events.size()), timeout_ms);
}

// Re-entrant lock, as a Win32 critical section: the owning thread may enter again.
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void Enter() { mu_.lock(); }
  bool TryEnter() { return mu_.try_lock(); }
  void Leave() { mu_.unlock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { mu_.lock(); }
  bool try_lock() { return mu_.try_lock(); }
  void unlock() { mu_.unlock(); }

 private:
  std::recursive_mutex mu_;
};

class Semaphore {
 public:
  Semaphore(int32_t initial, int32_t maximum, Clock& clock = RealClock());
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  // Adds count; false (nothing changed) when that would pass the maximum.
  bool Release(int32_t count = 1);
  // Takes one unit; false on time-out.
  bool Wait(uint32_t timeout_ms = kInfinite);
  int32_t Count();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int32_t count_;
  int32_t max_;
  Clock& clock_;
};

}  // namespace kelva::platform
