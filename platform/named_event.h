// Named events shared between processes ("Global\{...}"): a small flag file in
// the run dir, mapped by every process that opens the event. Any process may
// set, reset, test and wait for it; waits run on a Clock.
//
// The file lives while some process holds the event (each holder keeps a shared
// lock on it); the last holder to close removes it, and a creator that finds a
// file nobody holds (left by a process that died) starts it afresh. Thread safe;
// not copyable.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/clock.h"
#include "platform/errors.h"

namespace kelva::platform {

// The flag file for an event name below run_dir ("\" and "/" become "_").
std::filesystem::path NamedEventPath(std::string_view name, const std::filesystem::path& run_dir);

class NamedEvent {
 public:
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent();

  // Creates the event or opens the live one of that name (*existed tells which;
  // an existing event keeps its state and kind). world_access gives mode 0666 so
  // that every user's processes may open it ("null DACL"); else 0600.
  static Win32Error Create(std::string_view name, bool manual_reset, bool initially_set, bool world_access,
                           Clock& clock, std::unique_ptr<NamedEvent>* out, bool* existed = nullptr,
                           const std::filesystem::path& run_dir = {} /* RunDir() */);
  // Opens a live event; ERROR_FILE_NOT_FOUND when no process holds it.
  static Win32Error Open(std::string_view name, Clock& clock, std::unique_ptr<NamedEvent>* out,
                         const std::filesystem::path& run_dir = {} /* RunDir() */);

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until set (an auto-reset event is consumed by the one waiter that wins).
  // False on time-out.
  bool Wait(uint32_t timeout_ms = kInfinite);

 private:
  NamedEvent(int fd, uint32_t* shared, std::filesystem::path path, Clock& clock)
      : fd_(fd), shared_(shared), path_(std::move(path)), clock_(clock) {}
  static Win32Error Map(int fd, std::filesystem::path path, Clock& clock, std::unique_ptr<NamedEvent>* out);

  int fd_;
  uint32_t* shared_;  // [0] flag, [1] manual-reset, [2] magic
  std::filesystem::path path_;
  Clock& clock_;
};

}  // namespace kelva::platform
