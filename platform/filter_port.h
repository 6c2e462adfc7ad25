// The access filter's communication port ("\KELVAFilterPort"): a Unix
// seqpacket socket <run dir>/KELVAFilterPort. Each message is one packet; the
// server learns each client's process from its peer credentials. The port
// carries messages from client to server only; there are no replies.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/errors.h"

namespace kelva::platform {

using HResult = int32_t;
inline constexpr HResult S_OK = 0;
inline constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
// HRESULT_FROM_WIN32.
inline HResult HResultFromWin32(Win32Error e) {
  return e == 0 ? S_OK : static_cast<HResult>(0x80070000u | (e & 0xFFFFu));
}

// The socket path for a port name ("\KELVAFilterPort" -> <run dir>/KELVAFilterPort).
std::filesystem::path FilterPortPath(std::string_view port_name, const std::filesystem::path& run_dir);

// The client end of a connection (FilterConnectCommunicationPort). Closing it
// (destroying it) disconnects.
class FilterPortClient {
 public:
  FilterPortClient() = default;
  FilterPortClient(const FilterPortClient&) = delete;
  FilterPortClient& operator=(const FilterPortClient&) = delete;
  virtual ~FilterPortClient() = default;
  // Sends one message without waiting for a reply (FilterSendMessage with no reply buffer).
  virtual HResult SendMessage(const void* data, uint32_t length) = 0;
};

class FilterPortConnector {
 public:
  virtual ~FilterPortConnector() = default;
  // Connects to the named port. A failure is the HRESULT of the Win32 error
  // (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) when no filter serves the port).
  virtual HResult Connect(std::string_view port_name, std::unique_ptr<FilterPortClient>* out) = 0;
};

// Connects over the socket in run_dir (RunDir() when empty).
class SocketFilterPortConnector final : public FilterPortConnector {
 public:
  explicit SocketFilterPortConnector(std::filesystem::path run_dir = {}) : run_dir_(std::move(run_dir)) {}
  HResult Connect(std::string_view port_name, std::unique_ptr<FilterPortClient>* out) override;

 private:
  std::filesystem::path run_dir_;
};

// One connected client as the server sees it.
struct PortPeer {
  uint64_t connection = 0;  // unique per connection, never 0
  pid_t pid = 0;            // the connecting process (peer credentials)
};

// The server end. Runs one thread that accepts connections and reads messages,
// and calls the callbacks on that thread, one at a time.
class FilterPortServer {
 public:
  struct Callbacks {
    // A new client; return false to refuse (the connection is closed at once).
    std::function<bool(const PortPeer&)> connect;
    // A client went away (closed or died).
    std::function<void(const PortPeer&)> disconnect;
    // One message of size bytes (its real size); data holds its first
    // min(size, kMaxMessage) bytes.
    std::function<void(const PortPeer&, const uint8_t* data, size_t size)> message;
  };
  static constexpr size_t kMaxMessage = 4096;

  FilterPortServer(const FilterPortServer&) = delete;
  FilterPortServer& operator=(const FilterPortServer&) = delete;
  ~FilterPortServer();  // stops the thread, disconnects everyone, removes the socket

  // Creates the port with the socket mode (0600: only root's processes may
  // connect when run as root) and starts serving. ERROR_ALREADY_EXISTS when a
  // live server holds the port.
  static Win32Error Create(std::string_view port_name, uint32_t mode, Callbacks callbacks,
                           std::unique_ptr<FilterPortServer>* out,
                           const std::filesystem::path& run_dir = {} /* RunDir() */);

  const std::filesystem::path& path() const { return path_; }

 private:
  FilterPortServer(int listen_fd, int wake_fd, std::filesystem::path path, Callbacks callbacks);
  void Run();
  int listen_fd_;
  int wake_fd_;
  std::filesystem::path path_;
  Callbacks callbacks_;
  std::thread thread_;
};

}  // namespace kelva::platform
