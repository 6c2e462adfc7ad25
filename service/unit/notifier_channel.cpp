#include "service/unit/unit_seams.h"

#include <memory>

#include "platform/mailslot.h"
#include "service/unit/condition_table.h"

namespace kelva::unit {

namespace {

// Opens the notifier's mailslot for every message, writes it whole and closes
// it; a notifier that is not running simply misses the message.
class MailslotNotifier : public NotifierChannel {
 public:
  platform::Win32Error Deliver(const void* data, uint32_t length) override {
    std::unique_ptr<platform::MailslotClient> client;
    if (platform::Win32Error e = platform::MailslotClient::Open(kNotifierMailslot, &client)) return e;
    return client->Write(data, length);
  }
};

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
