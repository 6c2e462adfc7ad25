// What the unit controller needs from outside the unit folder, each behind a
// small interface so that the controller is built and tested on its own:
//   DiscMaintenance   writing a fresh UDF volume on the disc in the drive and
//                     repairing a damaged one;
//   NotifierChannel   the one-way channel to the user's notifier;
//   UnitVolumeWorker  the volume worker attached to the unit (drive letter
//                     and its notification callback).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/errors.h"
#include "service/unit/unit_commands.h"

namespace kelva::unit {

class DiscMaintenance {
 public:
  virtual ~DiscMaintenance() = default;
  // Writes a fresh UDF volume on the disc in the drive; true on success.
  virtual bool WriteFreshVolume(DeviceHandle device) = 0;
  // Repairs of a write-once disc's metadata: 1 when something was repaired,
  // else 0 (also for discs that cannot be repaired this way).
  virtual int RepairVolume(DeviceHandle device) = 0;
  virtual int RepairFile(DeviceHandle device, std::u16string_view path, bool creating) = 0;
  // Marks a volume whose integrity was left open as closed; true when done.
  virtual bool CloseIntegrity(DeviceHandle device) = 0;
};

// Formats nothing and repairs nothing: the stand-in until the UDF layer is
// attached.
class NoDiscMaintenance : public DiscMaintenance {
 public:
  bool WriteFreshVolume(DeviceHandle) override { return false; }
  int RepairVolume(DeviceHandle) override { return 0; }
  int RepairFile(DeviceHandle, std::u16string_view, bool) override { return 0; }
  bool CloseIntegrity(DeviceHandle) override { return false; }
};

// A message box shown by the notifier, as its sender follows it.
class DialogWait {
 public:
  enum class State { kOpen, kClosed, kLost };
  virtual ~DialogWait() = default;
  // kClosed once the user closed the box; kLost when the notifier that shows
  // it went away first (nobody can close it any more).
  virtual State Poll() = 0;
};

class NotifierChannel {
 public:
  virtual ~NotifierChannel() = default;
  // Writes one whole message; ERROR_FILE_NOT_FOUND when no notifier listens.
  // Never waits: a message the notifier has no room for is dropped.
  virtual platform::Win32Error Deliver(const void* data, uint32_t length) = 0;
  // Delivers a message box (kind 1) whose closing the notifier reports back;
  // *closed follows it. ERROR_FILE_NOT_FOUND when no notifier listens.
  virtual platform::Win32Error DeliverDialog(const void* data, uint32_t length,
                                             std::unique_ptr<DialogWait>* closed) = 0;
  // True while a notifier listens (someone can be shown a message).
  virtual bool Listening() = 0;
};

// The notifier's mailslot.
NotifierChannel& DefaultNotifierChannel();

class UnitVolumeWorker {
 public:
  virtual ~UnitVolumeWorker() = default;
  // Index of the worker's drive letter (0 = "A"), or -1 when it holds none.
  virtual int DriveIndex() = 0;
  // Calls the worker's notification callback with a three-byte unit event;
  // false when it has no callback.
  virtual bool NotifyUnitEvent(const uint8_t event[3]) = 0;
  // True while the magazine's volume is mounted (a host volume or a volume
  // object exists).
  virtual bool IsMounted() { return false; }
  // Unmounts at once, whatever is open (the unit overheated).
  virtual void ForceUnmount() {}
  // Unmounts and then ejects the magazine through the controller (the user
  // asked the unit to release it). Runs on the caller's thread.
  virtual void UnmountAndEject() {}
};

}  // namespace kelva::unit

namespace kelva::unit {

// The media notice to the notifier when a drive is mounted (inserted) or
// dismounted: root such as "E:\". 1 when delivered, 0 when no notifier listens.
int SendMediaNotice(NotifierChannel& channel, std::u16string_view drive_root, bool inserted);

}  // namespace kelva::unit
