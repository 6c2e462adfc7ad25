// The notifier's mailslot server: one reader thread takes the messages in
// arrival order and hands each to the handler on that thread.
//
// Reads of up to 4096 bytes wait on the mailslot and on the stop event at once;
// a longer message is read whole into a buffer of the next message's size.
// While idle the reader looks every 3000 ms whether its mailslot is still
// there; a lost mailslot is closed and created again every 3000 ms (of the
// clock) until that succeeds or the server stops.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/mailslot.h"
#include "platform/sync.h"

namespace kelva::notifier {

inline constexpr uint32_t kReadChunk = 4096;
inline constexpr uint32_t kRecreateIntervalMs = 3000;

class NotifyServer {
 public:
  using Handler = std::function<void(const uint8_t* data, size_t length)>;

  // run_dir: where mailslots live (empty: the platform's run dir).
  NotifyServer(platform::Clock& clock, std::filesystem::path run_dir, Handler handler);
  NotifyServer(const NotifyServer&) = delete;
  NotifyServer& operator=(const NotifyServer&) = delete;
  ~NotifyServer() { Stop(); }

  // Creates the mailslot and starts the reader. ERROR_ALREADY_EXISTS when
  // another live notifier owns the mailslot; then nothing runs.
  platform::Win32Error Start();
  // Signals the stop event and waits (without limit) for the reader. The
  // handler must not be blocked for good (cancel an open dialog first).
  void Stop();

  // For tests: whether the mailslot exists now, and how many re-creations were tried.
  bool listening() const { return listening_.load(); }
  uint32_t recreate_attempts() const { return attempts_.load(); }

 private:
  void Reader();
  // Waits 3000 ms at a time, creating the mailslot again after each; false
  // when the stop event ends the wait.
  bool Recreate();

  platform::Clock& clock_;
  std::filesystem::path run_dir_;
  Handler handler_;
  platform::Event stop_;
  std::mutex mu_;  // guards slot_ against Stop's Interrupt
  std::unique_ptr<platform::MailslotServer> slot_;
  std::thread reader_;
  std::atomic<bool> listening_{false};
  std::atomic<uint32_t> attempts_{0};
};

}  // namespace kelva::notifier
