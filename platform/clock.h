// The injectable clock. Every tick count, sleep, timed wait and "now" in Kelva goes
// through a Clock so that tests can run the system's long durations (60 s guards,
// 180 s watchdogs, 10 minute priorities) without waiting for them.
//
// Implementations are thread safe. RealClock() is the process's clock; TestClock
// moves only when a test advances it, or runs faster than real time when scaled.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/filetime.h"

namespace kelva::platform {

// Timeout meaning "wait forever", as in the Win32 waits.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // Milliseconds on a monotonic scale from an arbitrary origin.
  virtual uint64_t NowMs() = 0;
  // GetTickCount: the low 32 bits of NowMs; wraps after 49.7 days.
  uint32_t TickCount() { return static_cast<uint32_t>(NowMs()); }
  // The wall-clock time, UTC.
  virtual FileTime Now() = 0;
  // Blocks the calling thread for ms milliseconds of this clock's time.
  virtual void Sleep(uint32_t ms) = 0;

  // Waits on cv, whose mutex lk holds, until notified or until NowMs() reaches
  // deadline_ms (UINT64_MAX: no deadline). Returns false without waiting when the
  // deadline has already passed; true otherwise (the caller re-checks its
  // condition, as wake-ups may be spurious).
  virtual bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                         uint64_t deadline_ms) = 0;

  // The deadline for a Win32-style timeout (kInfinite gives UINT64_MAX).
  uint64_t DeadlineAfter(uint32_t timeout_ms) {
    return timeout_ms == kInfinite ? UINT64_MAX : NowMs() + timeout_ms;
  }
};

// The clock of the real world (steady clock for ticks, system clock for Now).
Clock& RealClock();

// A clock for tests. Its time starts at the given tick and wall time and moves
// when Advance is called and, when a scale is set, scale times faster than real
// time. Waiters re-check the time every millisecond of real time, so an Advance
// releases a timed wait promptly.
class TestClock : public Clock {
 public:
  explicit TestClock(uint64_t start_ms = 1000,
                     FileTime start_wall = 133000000000000000ULL /* 2022-06-21 */);

  uint64_t NowMs() override;
  FileTime Now() override;
  void Sleep(uint32_t ms) override;
  bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk,
                 uint64_t deadline_ms) override;

  // Moves time forward by ms.
  void Advance(uint64_t ms);
  // Lets time also run scale times faster than real time (0: only Advance moves it).
  void SetScale(double scale);
  // When on, Sleep advances the clock by the requested time instead of waiting,
  // which makes retry loops finish at once.
  void SetAutoAdvanceOnSleep(bool on) { auto_sleep_ = on; }
  // Sets the wall time reported by Now() for the current tick.
  void SetWallTime(FileTime wall);

 private:
  uint64_t ScaledMs();

  std::mutex mu_;
  std::atomic<uint64_t> manual_ms_;
  std::atomic<int64_t> wall_offset_;  // Now() = wall_offset_ + NowMs() * 10000
  double scale_ = 0;
  uint64_t scaled_base_ms_ = 0;  // scaled time accumulated before the last SetScale
  int64_t scale_start_real_ns_ = 0;
  std::atomic<bool> auto_sleep_{false};
};

}  // namespace kelva::platform
