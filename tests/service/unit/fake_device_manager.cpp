#include "fake_device_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

#include "emulator/magazine.h"

namespace kelva::unit::testing {

using platform::Win32Error;

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// A device of the manager: the simulated unit with, when set, another descriptor.
class FakeDevice : public platform::ScsiDevice {
 public:
  FakeDevice(emulator::SimUnit* sim, std::optional<platform::StorageDeviceDescriptor> descriptor)
      : device_(sim), descriptor_(std::move(descriptor)) {}
  Win32Error Execute(const platform::ScsiCommand& c, platform::ScsiReply* r) override {
    return device_.Execute(c, r);
  }
  Win32Error QueryDescriptor(platform::StorageDeviceDescriptor* out) override {
    if (!descriptor_) return device_.QueryDescriptor(out);
    *out = *descriptor_;
    return 0;
  }
  Win32Error GetDeviceNumber(uint32_t* out) override { return device_.GetDeviceNumber(out); }
  Win32Error CheckVerify() override { return device_.CheckVerify(); }
  Win32Error EjectMedia() override { return device_.EjectMedia(); }

 private:
  emulator::SimScsiDevice device_;
  std::optional<platform::StorageDeviceDescriptor> descriptor_;
};

}  // namespace

FakeDeviceManager::Device& FakeDeviceManager::AddUnit(uint32_t number) {
  std::lock_guard lock(mu_);
  Device& d = devices_[number];
  d.number = number;
  char volume[64];
  std::snprintf(volume, sizeof volume, "\\\\?\\Volume{5e1f0c2a-0000-4000-8000-%012x}\\", number + 1);
  d.volume = volume;
  d.path = "\\\\?\\usbstor#cdrom&ven_korrinda&prod_qx_v1a0#unit" + std::to_string(number) +
           "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
  emulator::SimUnitOptions options;
  options.clock = clock_;
  options.device_number = number;
  options.serial = "KQX1000000" + std::to_string(number);
  d.sim = std::make_unique<emulator::SimUnit>(options);
  d.mount_points = {"/media/cdrom" + std::to_string(number)};
  order_.push_back(number);
  return d;
}

FakeDeviceManager::Device& FakeDeviceManager::AddOtherDrive(uint32_t number, const std::string& vendor,
                                                           const std::string& product) {
  Device& d = AddUnit(number);
  std::lock_guard lock(mu_);
  d.path = "\\\\?\\scsi#cdrom&ven_" + Lower(vendor) + "#drive" + std::to_string(number) +
           "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
  platform::StorageDeviceDescriptor desc;
  desc.vendor = vendor;
  desc.product = product;
  desc.revision = "1.00";
  d.descriptor = desc;
  return d;
}

FakeDeviceManager::Device& FakeDeviceManager::Get(uint32_t number) {
  std::lock_guard lock(mu_);
  return devices_.at(number);
}

void FakeDeviceManager::SetPresent(uint32_t number, bool present) {
  std::lock_guard lock(mu_);
  devices_.at(number).present = present;
}

void FakeDeviceManager::RefuseReadWrite(uint32_t number) {
  std::lock_guard lock(mu_);
  devices_.at(number).refuse_read_write = true;
}

void FakeDeviceManager::HideVolume(uint32_t number, int count) {
  std::lock_guard lock(mu_);
  devices_.at(number).volume_hidden_for = count;
}

std::string FakeDeviceManager::PathOf(uint32_t number) { return Get(number).path; }

void FakeDeviceManager::InsertMagazine(uint32_t number, const std::filesystem::path& dir,
                                       uint64_t disc_sectors) {
  emulator::MagazineSpec spec;
  spec.type = emulator::kTypeRewritable;
  spec.capacity_code = 1;
  spec.disc_sectors = disc_sectors;
  for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(0xA0 + i);
  std::memcpy(spec.label.data(), "MAG-LABEL-1", 11);
  ASSERT_EQ(emulator::Magazine::Create(dir, spec), 0u);
  ASSERT_EQ(Get(number).sim->InsertMagazine(dir), 0u);
}

int FakeDeviceManager::OpenCount(const std::string& path, bool read_write) {
  std::lock_guard lock(mu_);
  auto it = opens_.find({Lower(path), read_write});
  return it == opens_.end() ? 0 : it->second;
}

int FakeDeviceManager::volume_enumerations() {
  std::lock_guard lock(mu_);
  return volume_enumerations_;
}

std::vector<std::string> FakeDeviceManager::deleted_mount_points() {
  std::lock_guard lock(mu_);
  return deleted_;
}

FakeDeviceManager::Device* FakeDeviceManager::Find(const std::string& path) {
  for (auto& [n, d] : devices_)
    if (d.present && Lower(d.path) == Lower(path)) return &d;
  return nullptr;
}

Win32Error FakeDeviceManager::EnumerateOpticalDevices(std::vector<std::string>* interface_paths) {
  std::lock_guard lock(mu_);
  interface_paths->clear();
  if (enumerate_error != 0) return enumerate_error;
  for (uint32_t n : order_)
    if (devices_[n].present) interface_paths->push_back(devices_[n].path);
  return 0;
}

Win32Error FakeDeviceManager::OpenDevice(const std::string& interface_path, bool read_write,
                                         std::unique_ptr<platform::ScsiDevice>* out) {
  std::lock_guard lock(mu_);
  ++opens_[{Lower(interface_path), read_write}];
  Device* d = Find(interface_path);
  if (d == nullptr) return platform::ERROR_FILE_NOT_FOUND;
  if (read_write && d->refuse_read_write) return platform::ERROR_ACCESS_DENIED;
  *out = std::make_unique<FakeDevice>(d->sim.get(), d->descriptor);
  return 0;
}

Win32Error FakeDeviceManager::EnumerateVolumes(std::vector<std::string>* volume_names) {
  std::lock_guard lock(mu_);
  ++volume_enumerations_;
  volume_names->clear();
  // Names the manager must pass over: a short one and one without the prefix.
  volume_names->push_back("\\\\?\\Volume{short}\\");
  volume_names->push_back("C:\\Volume{5e1f0c2a-0000-4000-8000-000000000000}\\xx");
  for (auto& [n, d] : devices_) {
    if (!d.present) continue;
    if (d.volume_hidden_for > 0) {
      --d.volume_hidden_for;
      continue;
    }
    volume_names->push_back(d.volume);
  }
  return 0;
}

Win32Error FakeDeviceManager::QueryVolumeDeviceName(const std::string& volume_key, std::string* device_name) {
  std::lock_guard lock(mu_);
  for (auto& [n, d] : devices_) {
    if (d.present && d.volume == "\\\\?\\" + volume_key + "\\") {
      *device_name = "\\Device\\CdRom" + std::to_string(n);
      return 0;
    }
  }
  return platform::ERROR_FILE_NOT_FOUND;
}

Win32Error FakeDeviceManager::GetVolumeMountPoints(const std::string& volume_name,
                                                   std::vector<std::string>* mount_points) {
  std::lock_guard lock(mu_);
  for (auto& [n, d] : devices_) {
    if (d.volume == volume_name) {
      *mount_points = d.mount_points;
      return 0;
    }
  }
  return platform::ERROR_FILE_NOT_FOUND;
}

Win32Error FakeDeviceManager::DeleteMountPoint(const std::string& mount_point) {
  std::lock_guard lock(mu_);
  for (auto& [n, d] : devices_) {
    auto it = std::find(d.mount_points.begin(), d.mount_points.end(), mount_point);
    if (it != d.mount_points.end()) {
      d.mount_points.erase(it);
      deleted_.push_back(mount_point);
      return 0;
    }
  }
  return platform::ERROR_FILE_NOT_FOUND;
}

}  // namespace kelva::unit::testing
