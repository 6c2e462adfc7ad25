// The running access filter: serves the port "\KELVAFilterPort", keeps the
// filter state, and guards the files of every registered volume so that only
// processes connected to the port may open them (anyone may while no process is
// connected). Not copyable; Stop (or the destructor) ends everything.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <set>

#include "filter/filter_state.h"
#include "filter/volume_resolver.h"
#include "platform/access_guard.h"
#include "platform/errors.h"
#include "platform/filter_port.h"

namespace kelva::filter {

inline constexpr const char* kFilterPortName = "\\KELVAFilterPort";

class FilterService {
 public:
  struct Options {
    std::filesystem::path run_dir;   // empty: RunDir()
    uint32_t port_mode = 0600;       // who may connect: root only when run as root
    bool enforce = true;             // guard files with fanotify
  };

  explicit FilterService(std::unique_ptr<VolumeResolver> resolver);
  FilterService(const FilterService&) = delete;
  FilterService& operator=(const FilterService&) = delete;
  ~FilterService() { Stop(); }

  // Creates the guard (when enforcing) and the port. When the guard cannot be
  // made (no privilege, no permission events) the filter still serves the port
  // and *enforcing tells that opens are not refused. Port errors fail the start.
  platform::Win32Error Start(const Options& options, bool* enforcing = nullptr);
  // Closes the port (disconnecting every client), frees every registration and
  // ends the guard. Idempotent.
  void Stop();

  FilterState& state() { return state_; }
  // Paths guarded right now.
  std::set<std::filesystem::path> GuardedPaths();

 private:
  void Reconcile();  // brings the guarded paths in line with the registrations

  FilterState state_;
  std::unique_ptr<VolumeResolver> resolver_;
  std::mutex guard_mu_;
  std::unique_ptr<platform::OpenPermissionGuard> guard_;
  std::set<std::filesystem::path> guarded_;
  std::unique_ptr<platform::FilterPortServer> port_;
};

}  // namespace kelva::filter
