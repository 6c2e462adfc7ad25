// The Unix-socket transport between a simulated archive unit (kelva-unitsim
// run) and its users. A running unit publishes "<name>.sock" in
// RunDir()/units; a client connects and sends framed requests, one at a time
// per connection, each answered by one framed reply.
//
// Frame layout (little-endian, no padding):
//   request:  u32 magic 'KUR1', u8 kind, u8 direction, u8 cdb length,
//             u8 reserved, u8 cdb[16], u32 data length, u32 time-out seconds,
//             then data_length bytes when the data goes to the unit (or
//             for a control request, the control text).
//   reply:    u32 magic 'KUA1', u32 transport result (Win32 code), u8 SCSI
//             status, u8 reserved[3], u8 sense[32], u32 transferred, u32
//             payload length, then the payload (data from the unit, the
//             descriptor, the device number or the control reply text).
// Bulk data goes straight between the caller's buffer and the socket
// (scatter/gather), without intermediate copies on the client side.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/scsi_device.h"

namespace kelva::platform {

enum class UnitRequestKind : uint8_t {
  kExecute = 1,          // a SCSI command
  kQueryDescriptor = 2,  // payload: vendor, product, revision, serial, each u8 length + text
  kDeviceNumber = 3,     // payload: u32
  kCheckVerify = 4,      // transport result carries the outcome
  kEjectMedia = 5,
  kControl = 6,          // payload: a control line for the unit (kelva-unitsim actions)
};

inline constexpr uint32_t kUnitRequestMagic = 0x3152554B;  // "KUR1"
inline constexpr uint32_t kUnitReplyMagic = 0x3141554B;    // "KUA1"
inline constexpr uint32_t kUnitRequestHeaderSize = 32;
inline constexpr uint32_t kUnitReplyHeaderSize = 48;
// The largest data phase a request may carry (a bigger one is refused).
inline constexpr uint32_t kUnitMaxDataLength = 16u << 20;

// RunDir()/units: where running simulated units publish their sockets.
std::filesystem::path UnitsDir();
// RunDir()/units/<name>.sock
std::filesystem::path UnitSocketPath(const std::string& name);

// Connects to a published unit. The device fails every later call with
// ERROR_DEVICE_NOT_CONNECTED once the unit goes away; a command that gets no
// answer within its time-out (plus a grace of 5 s) fails with ERROR_TIMEOUT.
Win32Error OpenUnitSocket(const std::filesystem::path& socket_path, std::unique_ptr<ScsiDevice>* out);

// The names of the units published in UnitsDir() (their sockets, without
// ".sock"), sorted. A name may belong to a unit that has just gone away.
std::vector<std::string> ListPublishedUnits();

// Sends one control line to a published unit and returns its reply text.
// The reply's transport result is returned (ERROR_SUCCESS or the unit's code).
Win32Error SendUnitControl(const std::filesystem::path& socket_path, const std::string& line,
                           std::string* reply);

// Serves a device on a socket: every accepted connection gets a thread that
// reads requests and answers them from the device (requests of all
// connections are passed to the same device, which serialises them).
class UnitSocketServer {
 public:
  // Handles a control line; returns the transport result and fills *reply.
  using ControlHandler = std::function<Win32Error(const std::string& line, std::string* reply)>;

  UnitSocketServer(ScsiDevice* device, ControlHandler control);
  ~UnitSocketServer();  // Stop()
  UnitSocketServer(const UnitSocketServer&) = delete;
  UnitSocketServer& operator=(const UnitSocketServer&) = delete;

  // Binds socket_path (replacing a stale socket file), mode 0666, and starts
  // accepting. ERROR_ALREADY_EXISTS when another live server answers there.
  Win32Error Start(const std::filesystem::path& socket_path);
  // Stops accepting, closes every connection (clients see the unit gone),
  // removes the socket file and joins every thread.
  void Stop();

 private:
  struct Connection;
  void AcceptLoop();
  void Serve(Connection* connection);

  ScsiDevice* device_;
  ControlHandler control_;
  std::filesystem::path path_;
  int listen_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  struct Connection {
    int fd = -1;
    std::atomic<bool> done{false};
    std::thread thread;
  };
  // Joins and closes connections whose client has gone (mu_ held).
  void ReapFinished();

  std::mutex mu_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace kelva::platform
