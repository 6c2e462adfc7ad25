// The access filter's state: the processes connected to its port and the
// volumes they registered, with the port's one message and the decision taken
// before every open of a registered volume's files.
//
// Thread safe: the connected-process table and the registration list have a
// lock each, and no path holds both.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <vector>

namespace kelva::filter {

using NtStatus = uint32_t;
inline constexpr NtStatus STATUS_SUCCESS = 0;
inline constexpr NtStatus STATUS_ACCESS_DENIED = 0xC0000022u;
inline constexpr NtStatus STATUS_INVALID_PARAMETER = 0xC000000Du;
inline constexpr NtStatus STATUS_INSUFFICIENT_RESOURCES = 0xC000009Au;

// The port message: byte 0 the operation (0 remove, anything else register),
// byte 1 zero, bytes 2..99 the volume GUID path in UTF-16LE, NUL-padded.
inline constexpr size_t kPortMessageSize = 100;
inline constexpr size_t kVolumeNameBytes = 98;
using VolumeName = std::array<uint8_t, kVolumeNameBytes>;

// Names are compared on the 90 bytes after their first 4 characters ("\\?\" from
// the service, "\??\" in the kernel's form), which cover "Volume{GUID}" and the NUL.
bool SameVolumeName(const VolumeName& a, const VolumeName& b);

inline constexpr size_t kMaxConnections = 5;

class FilterState {
 public:
  struct Registration {
    pid_t pid;
    VolumeName name;
  };

  FilterState() = default;
  FilterState(const FilterState&) = delete;
  FilterState& operator=(const FilterState&) = delete;

  // Records a connecting process (by its connection). False when the table
  // already holds kMaxConnections connections; the connection is then refused.
  bool Connect(uint64_t connection, pid_t pid);
  // Drops every registration of the process, then its table entry.
  void Disconnect(uint64_t connection);

  // Handles one port message from process pid. STATUS_INVALID_PARAMETER (and
  // nothing changes) unless size is exactly kPortMessageSize.
  NtStatus HandleMessage(pid_t pid, const uint8_t* data, size_t size);

  // The decision before an open of a guarded file: allowed for a connected
  // process, and for everyone while no process is connected.
  bool AllowOpen(pid_t pid) const;

  // Registrations, newest first.
  std::vector<Registration> Registrations() const;
  size_t ConnectionCount() const;

  // Called (outside the locks) after the registration list changed.
  void SetOnChange(std::function<void()> on_change) { on_change_ = std::move(on_change); }

 private:
  struct Connection {
    uint64_t id;
    pid_t pid;
  };
  mutable std::mutex table_mu_;  // lock A
  std::vector<Connection> table_;
  mutable std::mutex list_mu_;   // lock B
  std::list<Registration> list_;
  std::function<void()> on_change_;
};

}  // namespace kelva::filter
