// Keeps the session from ending while the service holds magazine work that is
// not yet safe: while the service's busy event is set, a logind "block"
// inhibitor for shutdown and sleep is held with the reason "Access to the
// magazine......"; it is released when the event is reset or goes away (the
// service ended).
//
// The event is opened afresh at each look (every 1000 ms of the clock), so the
// notifier never keeps a dead service's event alive.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/logind.h"
#include "platform/sync.h"

namespace kelva::notifier {

inline constexpr char kBusyEventName[] = "Global\\{3BF152CE-6D47-4b93-9A45-ADE1717CEB88}";
inline constexpr char kBlockReason[] = "Access to the magazine......";
inline constexpr char kBlockWhat[] = "shutdown:sleep";
inline constexpr uint32_t kBusyPollMs = 1000;

class BusyWatcher {
 public:
  BusyWatcher(platform::Clock& clock, std::filesystem::path run_dir, platform::Inhibitor& inhibitor)
      : clock_(clock), run_dir_(std::move(run_dir)), inhibitor_(inhibitor), stop_(true, false, clock) {}
  BusyWatcher(const BusyWatcher&) = delete;
  BusyWatcher& operator=(const BusyWatcher&) = delete;
  ~BusyWatcher() { Stop(); }

  void Start();
  void Stop();  // releases the lock; idempotent

  // One look at the event: takes or releases the lock as it says (the thread
  // calls this every kBusyPollMs).
  void Check();
  bool holding() const { return holding_.load(); }

 private:
  platform::Clock& clock_;
  std::filesystem::path run_dir_;
  platform::Inhibitor& inhibitor_;
  platform::Event stop_;
  std::unique_ptr<platform::InhibitLock> lock_;  // used by the watcher thread (or Check's caller)
  bool tried_ = false;  // one Inhibit attempt per busy period
  std::atomic<bool> holding_{false};
  std::thread thread_;
};

}  // namespace kelva::notifier
