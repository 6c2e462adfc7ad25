// The device manager: the optical devices of this computer as the unit manager
// sees them. It enumerates them, opens them, names their raw volumes and the
// mount points of those volumes, and delivers their arrivals, removals and
// media events through the DeviceNotifications seam it extends.
//
// Two kinds of device stand behind it: real SCSI optical drives (sysfs and
// udev, commands through their /dev/sg node) and simulated archive units that
// kelva-unitsim publishes in RunDir()/units. Both are named in the same forms,
// so everything above this seam treats them alike:
//   device interface path  "\\?\<bus>#CdRom&Ven_<vendor>&Prod_<product>#<instance>#"
//                          "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}", stable for a device
//   device number          the N of the optical device "cdrom<N>" (for a real
//                          drive the N of /dev/srN); never the same for two
//                          present devices (a device reporting a number that
//                          another one has is given the next free number)
//   volume GUID name       "\\?\Volume{GUID}\" (49 characters), stable for a device
//   volume device name     "\Device\CdRom<N>"
//
// Handle notifications: the handle registered with RegisterHandleNotification
// is reinterpret_cast<DeviceHandle>(ScsiDevice*) of a device this manager
// opened with OpenDevice (any other handle: ERROR_INVALID_HANDLE); its media arrival and removal are delivered as
// DBT_CUSTOMEVENT with a handle header and the event GUIDs
// {D07433C0-A98E-11D2-917A-00A0C9068FF3} (arrival) and
// {D07433C1-A98E-11D2-917A-00A0C9068FF3} (removal).
//
// For every archive unit it publishes, the manager writes
// RunDir()/volumes/Volume{GUID}: the files that stand for that volume (device
// nodes, or the simulated unit's socket and disc images), one per line, which
// the access filter reads to know what to guard.
//
// Implementations are thread safe. Notification callbacks run on the
// manager's own thread and must not block for long.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/device_notify.h"
#include "platform/errors.h"
#include "platform/scsi_device.h"

namespace kelva::platform {

class DeviceManager : public DeviceNotifications {
 public:
  // The interface paths of the optical devices present now, in enumeration
  // order. ERROR_SUCCESS with an empty list when there are none.
  virtual Win32Error EnumerateOpticalDevices(std::vector<std::string>* interface_paths) = 0;

  // Opens the device behind an interface path. With read_write false the
  // device is opened for queries only (descriptor, device number,
  // check-verify). ERROR_FILE_NOT_FOUND when no such device is present;
  // ERROR_ACCESS_DENIED when it may not be opened that way.
  virtual Win32Error OpenDevice(const std::string& interface_path, bool read_write,
                                std::unique_ptr<ScsiDevice>* out) = 0;

  // Every volume GUID name ("\\?\Volume{GUID}\") the manager knows.
  virtual Win32Error EnumerateVolumes(std::vector<std::string>* volume_names) = 0;

  // The device name of a volume given as "Volume{GUID}" (its GUID name without
  // the "\\?\" prefix and the trailing "\"), e.g. "\Device\CdRom3".
  // ERROR_FILE_NOT_FOUND for an unknown volume.
  virtual Win32Error QueryVolumeDeviceName(const std::string& volume_key, std::string* device_name) = 0;

  // The places where a volume (by GUID name) is mounted in the file tree; an
  // empty list when it is mounted nowhere.
  virtual Win32Error GetVolumeMountPoints(const std::string& volume_name,
                                          std::vector<std::string>* mount_points) = 0;
  // Unmounts the volume from one of those places.
  virtual Win32Error DeleteMountPoint(const std::string& mount_point) = 0;
};

}  // namespace kelva::platform
