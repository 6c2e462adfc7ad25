// What the service core needs of the unit manager: the unit list that follows
// device, media, power and mount-point events. EmptyUnitManager stands in until
// the real one is plugged in through ServiceEnvironment::make_unit_manager.
//
// Implementations must be thread safe: the core calls them from its main
// thread, from the control handler and from short-lived event threads at once.
#pragma once

#include <string>

#include "platform/device_notify.h"

namespace kelva::core {

class IUnitManager {
 public:
  IUnitManager() = default;
  IUnitManager(const IUnitManager&) = delete;
  IUnitManager& operator=(const IUnitManager&) = delete;
  virtual ~IUnitManager() = default;  // destroy: called once the units are stopped

  // Finds the units present at start.
  virtual void ScanUnits() = 0;
  // A device interface of the optical class arrived or was removed (interface path).
  virtual void DeviceInterfaceArrival(const std::string& interface_path) = 0;
  virtual void DeviceInterfaceRemoval(const std::string& interface_path) = 0;
  // A disc arrived in or left the device of an open handle.
  virtual void MediaArrival(platform::DeviceHandle handle) = 0;
  virtual void MediaRemoval(platform::DeviceHandle handle) = 0;
  // The computer goes to sleep (returns when the units are quiet) or woke up.
  virtual void SuspendAll() = 0;
  virtual void ResumeAll() = 0;
  // The system's mount points changed; each unit re-reads its drive letter.
  virtual void MountPointsChanged() = 0;
  // Stops every unit. Idempotent.
  virtual void StopAll() = 0;
};

class EmptyUnitManager final : public IUnitManager {
 public:
  void ScanUnits() override {}
  void DeviceInterfaceArrival(const std::string&) override {}
  void DeviceInterfaceRemoval(const std::string&) override {}
  void MediaArrival(platform::DeviceHandle) override {}
  void MediaRemoval(platform::DeviceHandle) override {}
  void SuspendAll() override {}
  void ResumeAll() override {}
  void MountPointsChanged() override {}
  void StopAll() override {}
};

}  // namespace kelva::core
