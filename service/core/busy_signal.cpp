#include "service/core/busy_signal.h"

#include "platform/log.h"

namespace kelva::core {

uint32_t BusySignal::Create(platform::Clock& clock, const std::filesystem::path& run_dir) {
  std::lock_guard<std::mutex> g(mu_);
  bool existed = false;
  const uint32_t e = platform::NamedEvent::Create(kBusyEventName, /*manual_reset=*/true, /*initially_set=*/false,
                                                  /*world_access=*/true, clock, &event_, &existed, run_dir);
  if (e == 0 && existed) event_->Reset();  // a live event of an earlier run: nothing is busy yet
  return e;
}

void BusySignal::Close() {
  std::lock_guard<std::mutex> g(mu_);
  event_.reset();
}

void BusySignal::EnterBusy() {
  std::lock_guard<std::mutex> g(mu_);
  if (++count_ == 1) {
    KLOG_INFO("busy: unrecorded data present");
    if (event_) event_->Set();
  }
}

void BusySignal::LeaveBusy() {
  std::lock_guard<std::mutex> g(mu_);
  if (count_ == 0) {
    // An unmatched leave would drive the count negative and keep the event
    // clear while a volume is still busy; refuse it instead.
    KLOG_ERROR("busy: leave without enter ignored");
    return;
  }
  if (--count_ == 0) {
    KLOG_INFO("busy: everything recorded");
    if (event_) event_->Reset();
  }
}

int BusySignal::count() const {
  std::lock_guard<std::mutex> g(mu_);
  return count_;
}

}  // namespace kelva::core
