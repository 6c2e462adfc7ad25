#include "notifier/message_handler.h"

#include "platform/log.h"
#include "platform/text.h"

namespace kelva::notifier {

using platform::Utf16ToUtf8;

void MessageHandler::Handle(const uint8_t* data, size_t length) {
  NotifyMessage m;
  if (!DecodeNotifyMessage(data, length, &m)) {
    KLOG_DEBUG("message of %zu bytes ignored (too short)", length);
    return;
  }
  switch (m.kind) {
    case kKindBalloon:
      presenter_.Notice(Utf16ToUtf8(m.title), Utf16ToUtf8(m.text), BalloonLevel(m.style));
      break;
    case kKindMessageBox:
      presenter_.Dialog(Utf16ToUtf8(m.title), Utf16ToUtf8(m.text), MessageBoxLevel(m.style));
      if (m.dialog != 0 && dialog_closed_) dialog_closed_(m.dialog);
      break;
    case kKindMediaInserted:
    case kKindMediaRemoved:
      presenter_.Media(MediaPath(m.title, mount_root_), m.kind == kKindMediaInserted);
      break;
    case kKindQuit:
      KLOG_INFO("quit message received");
      if (on_quit_) on_quit_();
      break;
    default:
      KLOG_DEBUG("message of kind 0x%02X ignored", m.kind);
      break;
  }
}

}  // namespace kelva::notifier
