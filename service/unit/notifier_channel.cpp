#include "service/unit/unit_seams.h"

namespace kelva::unit {

namespace {

// Until the mailslot transport is attached no notifier can be reached, and a
// message to a notifier that is not running is simply dropped.
class UnreachableNotifier : public NotifierChannel {
 public:
  platform::Win32Error Deliver(const void*, uint32_t) override {
    return platform::ERROR_FILE_NOT_FOUND;
  }
};

}  // namespace

NotifierChannel& DefaultNotifierChannel() {
  static UnreachableNotifier channel;
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
