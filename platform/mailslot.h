// Mailslots: one-way message channels between processes. Each mailslot
// "\\.\mailslot\<name>" is a Unix datagram socket <run dir>/<name>, so every
// write arrives as one whole message and message boundaries are kept.
//
// The server end is owned by one process, which reads; any process may open a
// client end and write. A server end is used by one reader thread at a time;
// Interrupt may be called from any thread. Neither end is copyable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/errors.h"

namespace kelva::platform {

// Result of a read that timed out (ERROR_SEM_TIMEOUT, what a mailslot read gives).
inline constexpr Win32Error kMailslotReadTimeout = 121;
// NextMessageSize result when no message is waiting (MAILSLOT_NO_MESSAGE).
inline constexpr uint32_t kMailslotNoMessage = 0xFFFFFFFFu;
// Result of a write that found the mailslot's queue full (its reader is busy):
// the message was dropped.
inline constexpr Win32Error kMailslotFull = ERROR_BUSY;

// The socket path for a mailslot name: the part after "\\.\mailslot\" (matched
// without regard to case, optional) below run_dir; "\" and "/" become "_".
std::filesystem::path MailslotPath(std::string_view name, const std::filesystem::path& run_dir);

class MailslotServer {
 public:
  MailslotServer(const MailslotServer&) = delete;
  MailslotServer& operator=(const MailslotServer&) = delete;
  ~MailslotServer();  // closes and removes the socket file

  // Creates the mailslot (messages of any size the socket allows). world_writable
  // gives the socket mode 0666 so that every user may write ("null DACL"); else 0600.
  // ERROR_ALREADY_EXISTS when another live server holds the name; a stale socket
  // file left by a dead process is replaced. ERROR_FILENAME_EXCED_RANGE when the
  // path does not fit a socket address.
  static Win32Error Create(std::string_view name, bool world_writable, Clock& clock,
                           std::unique_ptr<MailslotServer>* out,
                           const std::filesystem::path& run_dir = {} /* RunDir() */);

  // Size of the next waiting message, or kMailslotNoMessage.
  Win32Error NextMessageSize(uint32_t* size);

  // Reads the next message into buffer, waiting up to timeout_ms of the clock
  // (kInfinite: no limit, 0: do not wait). kMailslotReadTimeout when none came;
  // ERROR_INSUFFICIENT_BUFFER (message kept) when it is longer than length;
  // ERROR_OPERATION_ABORTED after Interrupt.
  Win32Error Read(void* buffer, uint32_t length, uint32_t* done, uint32_t timeout_ms);

  // Makes the current and every later Read return ERROR_OPERATION_ABORTED.
  void Interrupt();

  // True while the socket file still names this mailslot; false once it was
  // removed or replaced (the mailslot is lost: nobody can open it any more).
  bool StillOwnsName() const;

  const std::filesystem::path& path() const { return path_; }

 private:
  MailslotServer(int fd, int wake_fd, std::filesystem::path path, Clock& clock)
      : fd_(fd), wake_fd_(wake_fd), path_(std::move(path)), clock_(clock) {}
  int fd_;
  int wake_fd_;
  std::filesystem::path path_;
  Clock& clock_;
  uint64_t file_dev_ = 0;  // identity of the socket file made by bind
  uint64_t file_ino_ = 0;
};

class MailslotClient {
 public:
  MailslotClient(const MailslotClient&) = delete;
  MailslotClient& operator=(const MailslotClient&) = delete;
  ~MailslotClient();

  // Opens a mailslot for writing. ERROR_FILE_NOT_FOUND when no server has it.
  static Win32Error Open(std::string_view name, std::unique_ptr<MailslotClient>* out,
                         const std::filesystem::path& run_dir = {} /* RunDir() */);

  // Writes one whole message without ever waiting. ERROR_FILE_NOT_FOUND when
  // the server is gone; kMailslotFull (message dropped) when its queue is full.
  Win32Error Write(const void* data, uint32_t length);

 private:
  explicit MailslotClient(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace kelva::platform
