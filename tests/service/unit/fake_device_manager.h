// A device manager over simulated units held in the test's process: each
// optical device has an interface path, a device number, a raw volume GUID
// name and mount points, and its device is a simulated unit (an archive unit,
// or another optical drive with a descriptor of its own). Tests make devices
// appear and disappear, hide a raw volume for a number of enumerations and
// refuse read/write opens, and read back what the manager was asked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/sim_unit.h"
#include "platform/clock.h"
#include "platform/device_manager.h"

namespace kelva::unit::testing {

class FakeDeviceManager : public platform::DeviceManager {
 public:
  struct Device {
    std::string path;    // "\\?\usbstor#cdrom&ven_...#<instance>#{53f56308-...}"
    std::string volume;  // "\\?\Volume{...}\"
    uint32_t number = 0;
    std::unique_ptr<emulator::SimUnit> sim;
    std::optional<platform::StorageDeviceDescriptor> descriptor;  // replaces the unit's
    std::vector<std::string> mount_points;
    bool present = true;
    bool refuse_read_write = false;
    int volume_hidden_for = 0;  // volume enumerations that do not list it yet
  };

  explicit FakeDeviceManager(platform::Clock* clock) : clock_(clock) {}

  // An archive unit with device number n (its instance is "unit<n>").
  Device& AddUnit(uint32_t number);
  // An optical device that answers with another vendor and product.
  Device& AddOtherDrive(uint32_t number, const std::string& vendor, const std::string& product);
  Device& Get(uint32_t number);
  // The device is unplugged (no longer enumerated or opened) or plugged back.
  void SetPresent(uint32_t number, bool present);
  // The device refuses read/write opens; its volume is left out of the next
  // count volume enumerations.
  void RefuseReadWrite(uint32_t number);
  void HideVolume(uint32_t number, int count);
  // The interface path of device number n.
  std::string PathOf(uint32_t number);
  // Inserts a fresh magazine (12 discs of disc_sectors) into the unit.
  void InsertMagazine(uint32_t number, const std::filesystem::path& dir, uint64_t disc_sectors = 4096);

  // What the manager was asked.
  int OpenCount(const std::string& path, bool read_write);
  int volume_enumerations();
  std::vector<std::string> deleted_mount_points();

  // DeviceManager
  platform::Win32Error EnumerateOpticalDevices(std::vector<std::string>* interface_paths) override;
  platform::Win32Error OpenDevice(const std::string& interface_path, bool read_write,
                                  std::unique_ptr<platform::ScsiDevice>* out) override;
  platform::Win32Error EnumerateVolumes(std::vector<std::string>* volume_names) override;
  platform::Win32Error QueryVolumeDeviceName(const std::string& volume_key, std::string* device_name) override;
  platform::Win32Error GetVolumeMountPoints(const std::string& volume_name,
                                            std::vector<std::string>* mount_points) override;
  platform::Win32Error DeleteMountPoint(const std::string& mount_point) override;
  platform::Win32Error RegisterInterfaceNotification(const platform::Guid&, Callback,
                                                     platform::NotificationToken*) override {
    return platform::ERROR_NOT_SUPPORTED;
  }
  platform::Win32Error RegisterHandleNotification(platform::DeviceHandle, platform::NotificationToken*) override {
    return platform::ERROR_NOT_SUPPORTED;
  }
  void Unregister(platform::NotificationToken) override {}

  platform::Win32Error enumerate_error = 0;

 private:
  Device* Find(const std::string& path);  // mu_ held; case-insensitive

  platform::Clock* clock_;
  std::mutex mu_;
  std::map<uint32_t, Device> devices_;  // by number; enumeration in number order
  std::vector<uint32_t> order_;         // enumeration order (insertion)
  std::map<std::pair<std::string, bool>, int> opens_;
  int volume_enumerations_ = 0;
  std::vector<std::string> deleted_;
};

}  // namespace kelva::unit::testing
