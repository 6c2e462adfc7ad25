// Turns each mailslot message into what the user sees: kind 0 a notice, kind 1
// a dialog (the caller's thread waits until it is closed, so later messages
// queue in the mailslot meanwhile; a dialog with a number is answered when
// closed), 0x10/0x11 the drive's appearance and
// disappearance, 0xFF the end of the program. Messages shorter than 648 bytes
// and other kinds are ignored; a longer message is read by its first 648 bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "notifier/presenter.h"

namespace kelva::notifier {

class MessageHandler {
 public:
  // mount_root: where drive letters are mounted (platform MountRoot()).
  // dialog_closed: called with a dialog's number once the user closed it.
  MessageHandler(Presenter& presenter, std::string mount_root, std::function<void()> on_quit,
                 std::function<void(uint32_t)> dialog_closed = {})
      : presenter_(presenter),
        mount_root_(std::move(mount_root)),
        on_quit_(std::move(on_quit)),
        dialog_closed_(std::move(dialog_closed)) {}

  void Handle(const uint8_t* data, size_t length);

 private:
  Presenter& presenter_;
  std::string mount_root_;
  std::function<void()> on_quit_;
  std::function<void(uint32_t)> dialog_closed_;
};

}  // namespace kelva::notifier
