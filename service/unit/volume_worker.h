// The volume worker as the unit manager drives it: one per unit, created when
// the unit is added, mounting the magazine's volume on a media arrival and
// dismounting it on a media removal, told when the device was removed, and
// destroyed with the unit. The volume layer builds the real one; the unit
// manager only knows this interface and a factory for it.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "service/unit/unit_seams.h"

namespace kelva::unit {

class UnitController;

// The volume notification callback installed by the control channel: a
// three-byte unit event (byte 0 filled in by the channel) for subscribers.
using VolumeNotificationCallback = std::function<void(const uint8_t event[3])>;

class VolumeWorker : public UnitVolumeWorker {
 public:
  // Answers whether a media removal is queued for the unit: a long mount
  // polls it and gives up when the medium left meanwhile.
  using CancelTest = std::function<bool()>;

  // Mounts the magazine's volume (identifying the magazine first). Returns
  // when mounted, refused or cancelled.
  virtual void Mount(const CancelTest& cancelled) = 0;
  // Dismounts the magazine's volume, writing back what it holds.
  virtual void Dismount() = 0;
  // The unit's device is gone: nothing more can reach the discs.
  virtual void DeviceRemoved() = 0;
  // The system's mount points changed: find the drive letter again.
  virtual void RefreshDriveLetter() = 0;
};

// Creates the volume worker of a unit from its raw volume name, its controller
// and the manager's notification callback. Null (or an exception, which the
// caller catches) leaves the unit without a volume worker.
using VolumeWorkerFactory = std::function<std::unique_ptr<VolumeWorker>(
    std::u16string_view raw_volume_name, UnitController* controller,
    const VolumeNotificationCallback& notify)>;

}  // namespace kelva::unit
