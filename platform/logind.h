// Power and session events and inhibitor locks through systemd-logind
// (org.freedesktop.login1 on the system bus, reached with GIO's GDBus).
//
// Two small seams: an Inhibitor takes logind inhibitor locks (held as a file
// descriptor, released by closing it), and a PowerSessionWatcher turns logind's
// PrepareForSleep and SessionNew signals into callbacks. Programs take the
// logind implementations; tests substitute fakes.
//
// Where there is no system bus or no logind, both say so once in the log and
// carry on without: an Inhibit call fails with ERROR_SERVICE_NOT_ACTIVE and the
// watcher reports nothing. Neither is an error for the caller.
//
// This facility is its own library (kelva_logind) so that only the programs that
// use it link GIO.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace kelva::platform {

// A held inhibitor lock; destroying it releases the lock.
class InhibitLock {
 public:
  InhibitLock() = default;
  InhibitLock(const InhibitLock&) = delete;
  InhibitLock& operator=(const InhibitLock&) = delete;
  virtual ~InhibitLock() = default;
};

// Takes inhibitor locks. Thread safe.
class Inhibitor {
 public:
  virtual ~Inhibitor() = default;
  // Takes a lock. what: colon-separated list ("shutdown:sleep"); who: the
  // program's name; why: the reason shown to the user; mode: "block" (the
  // operation is refused while held) or "delay" (it waits a short while for the
  // lock to go). ERROR_SERVICE_NOT_ACTIVE without a bus or logind,
  // ERROR_ACCESS_DENIED when logind refuses, ERROR_GEN_FAILURE otherwise.
  virtual Win32Error Inhibit(std::string_view what, std::string_view who, std::string_view why,
                             std::string_view mode, std::unique_ptr<InhibitLock>* out) = 0;
};

struct PowerSessionCallbacks {
  // The system is about to sleep; the system waits (up to logind's delay
  // limit) until this returns.
  std::function<void()> suspend;
  // The system woke up.
  std::function<void()> resume;
  // A user session began; its numeric id.
  std::function<void(uint32_t session)> logon;
};

// Follows sleep and session events. The callbacks run on the watcher's own
// thread, one at a time. Not copyable.
class PowerSessionWatcher {
 public:
  PowerSessionWatcher() = default;
  PowerSessionWatcher(const PowerSessionWatcher&) = delete;
  PowerSessionWatcher& operator=(const PowerSessionWatcher&) = delete;
  virtual ~PowerSessionWatcher() = default;
  // Starts watching. When it returns, signals sent from then on are seen.
  // Never fails: without a bus it logs that once and stays quiet.
  virtual void Start(PowerSessionCallbacks callbacks) = 0;
  // Stops watching and releases every lock; when it returns no callback runs.
  // Idempotent.
  virtual void Stop() = 0;
};

// bus_address: a D-Bus address ("unix:path=..."); empty: the system bus
// (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket).
std::unique_ptr<Inhibitor> MakeLogindInhibitor(std::string bus_address = {});

// The logind watcher: holds a "delay" sleep lock named after who; on
// PrepareForSleep(true) it calls suspend and then releases the lock so that the
// system sleeps; on PrepareForSleep(false) it takes the lock again and calls
// resume; on SessionNew with a numeric id it calls logon.
std::unique_ptr<PowerSessionWatcher> MakeLogindWatcher(std::string bus_address = {}, std::string who = "kelva");

// A logind session id as a number; kNoSession (0xFFFFFFFF) when it is not a
// plain decimal number that fits ("c1", "", "12a").
uint32_t NumericSessionId(std::string_view id);

}  // namespace kelva::platform
