#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace kelva::platform {

namespace {

class SystemClock final : public Clock {
 public:
  uint64_t NowMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }
  FileTime Now() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromTimespec(ts);
  }
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint64_t deadline_ms) override {
    if (deadline_ms == UINT64_MAX) {
      cv.wait(lk);
      return true;
    }
    const uint64_t now = NowMs();
    if (now >= deadline_ms) return false;
    cv.wait_for(lk, std::chrono::milliseconds(deadline_ms - now));
    return true;
  }
};

int64_t RealNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Clock& RealClock() {
  static SystemClock clock;
  return clock;
}

TestClock::TestClock(uint64_t start_ms, FileTime start_wall)
    : manual_ms_(start_ms), wall_offset_(static_cast<int64_t>(start_wall) - static_cast<int64_t>(start_ms) * 10000) {}

uint64_t TestClock::ScaledMs() {
  std::lock_guard<std::mutex> g(mu_);
  if (scale_ <= 0) return scaled_base_ms_;
  return scaled_base_ms_ + static_cast<uint64_t>(static_cast<double>(RealNs() - scale_start_real_ns_) / 1e6 * scale_);
}

uint64_t TestClock::NowMs() { return manual_ms_.load() + ScaledMs(); }

FileTime TestClock::Now() { return static_cast<FileTime>(wall_offset_.load() + static_cast<int64_t>(NowMs()) * 10000); }

void TestClock::Advance(uint64_t ms) { manual_ms_.fetch_add(ms); }

void TestClock::SetScale(double scale) {
  std::lock_guard<std::mutex> g(mu_);
  if (scale_ > 0)
    scaled_base_ms_ += static_cast<uint64_t>(static_cast<double>(RealNs() - scale_start_real_ns_) / 1e6 * scale_);
  scale_ = scale;
  scale_start_real_ns_ = RealNs();
}

void TestClock::SetWallTime(FileTime wall) {
  wall_offset_.store(static_cast<int64_t>(wall) - static_cast<int64_t>(NowMs()) * 10000);
}

void TestClock::Sleep(uint32_t ms) {
  if (auto_sleep_.load()) {
    Advance(ms);
    return;
  }
  const uint64_t deadline = NowMs() + ms;
  while (NowMs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool TestClock::WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, uint64_t deadline_ms) {
  if (NowMs() >= deadline_ms) return false;
  cv.wait_for(lk, std::chrono::milliseconds(1));
  return true;
}

}  // namespace kelva::platform
