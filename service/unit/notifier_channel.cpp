#include "service/unit/unit_seams.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/log.h"
#include "platform/mailslot.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "service/unit/condition_table.h"

namespace kelva::unit {

namespace {

std::string DialogClosedEventName(uint32_t number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06X", number & 0xFFFFFF);
  return std::string(kDialogClosedEventPrefix) + digits;
}

// Dialog numbers 1 .. 0xFFFFFF, then 1 again.
uint32_t NextDialogNumber() {
  static std::atomic<uint32_t> next{0};
  for (;;) {
    const uint32_t n = (next.fetch_add(1) + 1) & 0xFFFFFF;
    if (n != 0) return n;
  }
}

// Opens the notifier's mailslot for every message, writes it whole and closes
// it; a notifier that is not running simply misses the message, and so does
// one whose mailslot is full (it shows a dialog and reads nothing meanwhile):
// a sender never waits for the user.
class MailslotNotifier : public NotifierChannel {
 public:
  platform::Win32Error Deliver(const void* data, uint32_t length) override {
    std::unique_ptr<platform::MailslotClient> client;
    if (platform::Win32Error e = platform::MailslotClient::Open(kNotifierMailslot, &client, platform::UserRunDir()))
      return e;
    const platform::Win32Error e = client->Write(data, length);
    if (e == platform::kMailslotFull) KLOG_DEBUG("notifier message dropped: its mailslot is full");
    return e;
  }

  platform::Win32Error DeliverDialog(const void* data, uint32_t length,
                                     std::unique_ptr<DialogWait>* closed) override;

  bool Listening() override {
    std::unique_ptr<platform::MailslotClient> client;
    return platform::MailslotClient::Open(kNotifierMailslot, &client, platform::UserRunDir()) ==
           platform::ERROR_SUCCESS;
  }
};

// Follows one dialog through the event its notifier sets when it is closed.
class EventDialogWait : public DialogWait {
 public:
  EventDialogWait(std::unique_ptr<platform::NamedEvent> event, NotifierChannel* channel)
      : event_(std::move(event)), channel_(channel) {}
  State Poll() override {
    if (event_->IsSet()) return State::kClosed;
    return channel_->Listening() ? State::kOpen : State::kLost;
  }

 private:
  std::unique_ptr<platform::NamedEvent> event_;
  NotifierChannel* channel_;
};

platform::Win32Error MailslotNotifier::DeliverDialog(const void* data, uint32_t length,
                                                     std::unique_ptr<DialogWait>* closed) {
  if (length < kNotifyDialogNumberOffset + 3) return platform::ERROR_INVALID_PARAMETER;
  const uint32_t number = NextDialogNumber();
  // Created before the message goes out, so that a quick notifier finds it;
  // every user's notifier may set it.
  std::unique_ptr<platform::NamedEvent> event;
  if (platform::Win32Error e = platform::NamedEvent::Create(DialogClosedEventName(number), true, false, true,
                                                            platform::RealClock(), &event))
    return e;
  std::string message(static_cast<const char*>(data), length);
  message[kNotifyDialogNumberOffset] = static_cast<char>(number & 0xFF);
  message[kNotifyDialogNumberOffset + 1] = static_cast<char>((number >> 8) & 0xFF);
  message[kNotifyDialogNumberOffset + 2] = static_cast<char>((number >> 16) & 0xFF);
  if (platform::Win32Error e = Deliver(message.data(), length)) return e;
  *closed = std::make_unique<EventDialogWait>(std::move(event), this);
  return platform::ERROR_SUCCESS;
}

}  // namespace

NotifierChannel& DefaultNotifierChannel() {
  static MailslotNotifier channel;
  return channel;
}

}  // namespace kelva::unit

#include "service/unit/condition_table.h"

namespace kelva::unit {

int SendMediaNotice(NotifierChannel& channel, std::u16string_view drive_root, bool inserted) {
  const NotifyMessage message = BuildMediaNotice(drive_root, inserted);
  return channel.Deliver(message.data(), kNotifyMessageSize) == 0 ? 1 : 0;
}

}  // namespace kelva::unit
