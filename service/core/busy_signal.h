// The busy signal: a count of volumes holding unrecorded work, driving the named
// busy event "Global\{3BF152CE-6D47-4b93-9A45-ADE1717CEB88}" that the notifier
// watches. The event is set when the count goes from 0 to 1 and reset when it
// returns to 0. Thread safe; the event changes under the busy lock.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/named_event.h"

namespace kelva::core {

inline constexpr const char* kBusyEventName = "Global\\{3BF152CE-6D47-4b93-9A45-ADE1717CEB88}";

class BusySignal {
 public:
  BusySignal() = default;
  BusySignal(const BusySignal&) = delete;
  BusySignal& operator=(const BusySignal&) = delete;

  // Creates the named event (clear, open to every user). 0 or the Win32 error.
  uint32_t Create(platform::Clock& clock, const std::filesystem::path& run_dir);
  // Closes the event; the count stays.
  void Close();

  void EnterBusy();
  void LeaveBusy();
  int count() const;

 private:
  mutable std::mutex mu_;  // the busy lock
  int count_ = 0;
  std::unique_ptr<platform::NamedEvent> event_;
};

}  // namespace kelva::core
