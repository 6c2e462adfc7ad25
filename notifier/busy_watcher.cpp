#include "notifier/busy_watcher.h"

#include "platform/log.h"
#include "platform/named_event.h"

namespace kelva::notifier {

using namespace kelva::platform;

void BusyWatcher::Check() {
  bool busy = false;
  {
    std::unique_ptr<NamedEvent> event;
    if (NamedEvent::Open(kBusyEventName, clock_, &event, run_dir_) == ERROR_SUCCESS) busy = event->IsSet();
  }
  if (busy && !lock_ && !tried_) {
    tried_ = true;
    const Win32Error e = inhibitor_.Inhibit(kBlockWhat, "KelvaMsg", kBlockReason, "block", &lock_);
    if (e == ERROR_SUCCESS) {
      KLOG_INFO("magazine work not yet safe: shutdown and sleep are held back");
      holding_ = true;
    } else {
      lock_.reset();
      KLOG_DEBUG("cannot hold back shutdown: %u", e);
    }
  } else if (!busy) {
    tried_ = false;
    if (lock_) {
      lock_.reset();
      holding_ = false;
      KLOG_INFO("magazine work is safe: shutdown and sleep are allowed again");
    }
  }
}

void BusyWatcher::Start() {
  if (thread_.joinable()) return;
  stop_.Reset();
  thread_ = std::thread([this] {
    do {
      Check();
    } while (!stop_.Wait(kBusyPollMs));
  });
}

void BusyWatcher::Stop() {
  if (thread_.joinable()) {
    stop_.Set();
    thread_.join();
  }
  lock_.reset();
  holding_ = false;
}

}  // namespace kelva::notifier
