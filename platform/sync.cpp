#include "platform/sync.h"

namespace kelva::platform {

namespace {

// All events share one mutex, which keeps a wait on several events free of lost
// wake-ups and lock-order problems. Each waiting call has its own condition
// variable, registered with every event it waits on, so that setting an event
// wakes only the threads waiting on that event: the volume sets its writer's
// event at the end of every file operation, and waking every waiting thread of
// the process each time cost more than the operations themselves.
std::mutex& EventMutex() {
  static std::mutex mu;
  return mu;
}

void RemoveWaiter(std::vector<std::condition_variable*>& waiters, std::condition_variable* cv) {
  for (size_t i = 0; i < waiters.size(); ++i) {
    if (waiters[i] == cv) {
      waiters[i] = waiters.back();
      waiters.pop_back();
      return;
    }
  }
}

}  // namespace

Event::Event(bool manual_reset, bool initially_set, Clock& clock)
    : manual_(manual_reset), set_(initially_set), clock_(clock) {}

void Event::Set() {
  std::lock_guard<std::mutex> g(EventMutex());
  set_ = true;
  // Every waiter is woken, even for an auto-reset event: a waiter woken by this
  // event may take another of the events it waits on instead, and this one must
  // then still reach somebody.
  for (std::condition_variable* cv : waiters_) cv->notify_one();
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
  std::condition_variable cv;
  std::unique_lock<std::mutex> lk(EventMutex());
  bool registered = false;
  int result = kWaitTimeout;
  for (;;) {
    for (size_t i = 0; i < events.size() && result == kWaitTimeout; ++i) {
      if (events[i]->set_) {
        if (!events[i]->manual_) events[i]->set_ = false;
        result = static_cast<int>(i);
      }
    }
    if (result != kWaitTimeout) break;
    if (!registered) {
      for (Event* e : events) e->waiters_.push_back(&cv);
      registered = true;
    }
    if (!clock.WaitUntil(cv, lk, deadline)) break;
  }
  if (registered) {
    for (Event* e : events) RemoveWaiter(e->waiters_, &cv);
  }
  return result;
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
