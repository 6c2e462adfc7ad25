#include "platform/sync.h"

namespace kelva::platform {

namespace {

// All events share one mutex and one condition variable. This keeps a wait on
// several events free of lost wake-ups and lock-order problems; the events of
// this system are few and set rarely, so the shared wake-up costs nothing that matters.
std::mutex& EventMutex() {
  static std::mutex mu;
  return mu;
}
std::condition_variable& EventCv() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

Event::Event(bool manual_reset, bool initially_set, Clock& clock)
    : manual_(manual_reset), set_(initially_set), clock_(clock) {}

void Event::Set() {
  std::lock_guard<std::mutex> g(EventMutex());
  set_ = true;
  EventCv().notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> g(EventMutex());
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> g(EventMutex());
  return set_;
}

bool Event::Wait(uint32_t timeout_ms) {
  Event* self = this;
  return WaitForAny(std::span<Event* const>(&self, 1), timeout_ms) == 0;
}

int WaitForAny(std::span<Event* const> events, uint32_t timeout_ms) {
  Clock& clock = events[0]->clock_;
  const uint64_t deadline = clock.DeadlineAfter(timeout_ms);
  std::unique_lock<std::mutex> lk(EventMutex());
  for (;;) {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i]->set_) {
        if (!events[i]->manual_) events[i]->set_ = false;
        return static_cast<int>(i);
      }
    }
    if (!clock.WaitUntil(EventCv(), lk, deadline)) return kWaitTimeout;
  }
}

Semaphore::Semaphore(int32_t initial, int32_t maximum, Clock& clock)
    : count_(initial), max_(maximum), clock_(clock) {}

bool Semaphore::Release(int32_t count) {
  std::lock_guard<std::mutex> g(mu_);
  if (count <= 0 || count_ > max_ - count) return false;
  count_ += count;
  cv_.notify_all();
  return true;
}

bool Semaphore::Wait(uint32_t timeout_ms) {
  const uint64_t deadline = clock_.DeadlineAfter(timeout_ms);
  std::unique_lock<std::mutex> lk(mu_);
  while (count_ == 0) {
    if (!clock_.WaitUntil(cv_, lk, deadline)) return false;
  }
  --count_;
  return true;
}

int32_t Semaphore::Count() {
  std::lock_guard<std::mutex> g(mu_);
  return count_;
}

}  // namespace kelva::platform
