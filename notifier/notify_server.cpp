#include "notifier/notify_server.h"

#include <vector>

#include "notifier/notify_message.h"
#include "platform/log.h"

namespace kelva::notifier {

using namespace kelva::platform;

NotifyServer::NotifyServer(Clock& clock, std::filesystem::path run_dir, Handler handler)
    : clock_(clock), run_dir_(std::move(run_dir)), handler_(std::move(handler)), stop_(true, false, clock) {}

Win32Error NotifyServer::Start() {
  if (reader_.joinable()) return ERROR_SUCCESS;
  stop_.Reset();
  std::unique_ptr<MailslotServer> slot;
  // Every user's programs, the service included, may write ("null DACL").
  if (Win32Error e = MailslotServer::Create(kNotifierMailslot, true, clock_, &slot, run_dir_)) return e;
  {
    std::lock_guard<std::mutex> g(mu_);
    slot_ = std::move(slot);
  }
  listening_ = true;
  try {
    reader_ = std::thread([this] { Reader(); });
  } catch (const std::system_error&) {
    KLOG_ERROR("Can't create ServerThread");
    std::lock_guard<std::mutex> g(mu_);
    slot_.reset();
    listening_ = false;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

void NotifyServer::Stop() {
  if (!reader_.joinable()) return;
  stop_.Set();
  {
    std::lock_guard<std::mutex> g(mu_);
    if (slot_) slot_->Interrupt();
  }
  reader_.join();
  std::lock_guard<std::mutex> g(mu_);
  slot_.reset();
  listening_ = false;
}

bool NotifyServer::Recreate() {
  {
    std::lock_guard<std::mutex> g(mu_);
    slot_.reset();
  }
  listening_ = false;
  for (;;) {
    if (stop_.Wait(kRecreateIntervalMs)) return false;
    ++attempts_;
    std::unique_ptr<MailslotServer> slot;
    const Win32Error e = MailslotServer::Create(kNotifierMailslot, true, clock_, &slot, run_dir_);
    if (e) {
      KLOG_DEBUG("notification mailslot not created again yet: %u", e);
      continue;
    }
    std::lock_guard<std::mutex> g(mu_);
    // A stop that came meanwhile found no mailslot to interrupt.
    if (stop_.IsSet()) return false;
    slot_ = std::move(slot);
    listening_ = true;
    KLOG_INFO("notification mailslot created again");
    return true;
  }
}

void NotifyServer::Reader() {
  std::vector<uint8_t> buffer(kReadChunk);
  for (;;) {
    if (stop_.IsSet()) return;
    MailslotServer* slot;
    {
      std::lock_guard<std::mutex> g(mu_);
      slot = slot_.get();
    }
    uint32_t done = 0;
    Win32Error e = slot->Read(buffer.data(), kReadChunk, &done, kRecreateIntervalMs);
    if (e == ERROR_SUCCESS) {
      handler_(buffer.data(), done);
      continue;
    }
    if (e == ERROR_OPERATION_ABORTED) return;
    if (e == ERROR_INSUFFICIENT_BUFFER) {
      // Longer than a read: take it whole at its own size.
      uint32_t size = 0;
      e = slot->NextMessageSize(&size);
      if (e == ERROR_SUCCESS && size != kMailslotNoMessage) {
        std::vector<uint8_t> whole(size);
        e = slot->Read(whole.data(), size, &done, 0);
        if (e == ERROR_SUCCESS) {
          handler_(whole.data(), done);
          continue;
        }
      }
      if (e == ERROR_SUCCESS || e == kMailslotReadTimeout) continue;
      if (e == ERROR_OPERATION_ABORTED) return;
    }
    if (e == kMailslotReadTimeout) {
      if (slot->StillOwnsName()) continue;
      KLOG_WARN("the notification mailslot was lost; creating it again every %u ms", kRecreateIntervalMs);
    } else {
      KLOG_WARN("reading the notification mailslot failed: %u (%s); creating it again", e, ErrorText(e).c_str());
    }
    if (!Recreate()) return;
  }
}

}  // namespace kelva::notifier
