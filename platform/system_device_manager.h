// The device manager of this computer: real SCSI optical drives
// (platform/sr_device_source.h) and simulated units published by
// kelva-unitsim (platform/sim_device_source.h) behind one DeviceManager.
//
// It numbers the devices (the number a device reports, unless another present
// device has it already: then the next free number above it, so that no two
// devices ever share one), names their volumes, keeps
// <run dir>/volumes/Volume{GUID} for every archive unit present (the files
// that stand for its volume, one a line; removed when the unit goes or the
// manager ends) and delivers the notifications on its one watcher thread,
// which the destructor joins.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/device_manager.h"

namespace kelva::platform {

struct SystemDeviceManagerOptions {
  std::filesystem::path run_dir;  // units in <run_dir>/units, volume files in <run_dir>/volumes
  bool simulated_units = true;
  bool real_drives = true;
  std::filesystem::path sysfs_root = "/sys";
  std::filesystem::path dev_root = "/dev";
  std::filesystem::path mountinfo = "/proc/self/mountinfo";
  bool use_udev = true;
};

// RunDir(), the system's sysfs, /dev and mountinfo, udev on.
SystemDeviceManagerOptions DefaultDeviceManagerOptions();

// Finds the devices present now and starts watching. Fails when a watch
// cannot be set up (the units folder cannot be created or watched).
Win32Error CreateSystemDeviceManager(const SystemDeviceManagerOptions& options, std::unique_ptr<DeviceManager>* out);

}  // namespace kelva::platform
