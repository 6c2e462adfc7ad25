// Real SCSI optical drives as optical devices: the block devices srN of sysfs
// (<sysfs>/class/block/srN), commands through their SCSI generic node
// (<dev>/sgM, found through device/scsi_generic), arrivals, removals and media
// changes from a udev monitor (subsystem block, device type disk; ID_CDROM
// marks an optical drive, DISK_MEDIA_CHANGE a media change, ID_CDROM_MEDIA a
// medium present).
//
// Naming: interface path "\\?\<USBSTOR|SCSI>#CdRom&Ven_<vendor>&Prod_<model>#
// <serial, or the SCSI address>#{53f56308-...}", device number N of srN, a
// volume GUID made from the vendor, model and serial (or, without a serial,
// from the device's place in sysfs). The volume's mount points are the
// mountinfo entries whose source is <dev>/srN.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_source.h"

namespace kelva::platform {

struct SrDeviceSourceOptions {
  std::filesystem::path sysfs_root = "/sys";
  std::filesystem::path dev_root = "/dev";
  std::filesystem::path mountinfo = "/proc/self/mountinfo";
  bool use_udev = true;  // without it, only the drives present at start are seen
};

// One line of a mountinfo file: the mount point and the mount source, with the
// octal escapes (\040 for a blank ...) decoded. False for a malformed line.
bool ParseMountInfoLine(const std::string& line, std::string* mount_point, std::string* source);

class SrDeviceSource final : public DeviceSource {
 public:
  explicit SrDeviceSource(SrDeviceSourceOptions options);
  ~SrDeviceSource() override;

  Win32Error Start(DeviceSourceSink* sink) override;
  std::vector<int> Descriptors() override;
  int TimeoutMs() override { return -1; }
  void Process() override;
  Win32Error Open(const std::string& key, bool read_write, std::unique_ptr<ScsiDevice>* out) override;
  Win32Error MountPoints(const std::string& key, std::vector<std::string>* out) override;

  // One device event as udev reports it: action "add", "remove" or "change",
  // the kernel name ("sr0") and the event's properties. Public so that tests
  // can feed events without a udev daemon.
  void HandleUevent(const std::string& action, const std::string& sysname,
                    const std::map<std::string, std::string>& properties);

 private:
  struct Drive {
    SourceDevice device;
    uint32_t index = 0;  // N of srN
    std::string sg;      // "sgM", empty when the drive has no generic node
  };
  bool Describe(uint32_t index, Drive* out);
  bool MediumFromUdev(const std::string& sysname);

  SrDeviceSourceOptions options_;
  DeviceSourceSink* sink_ = nullptr;
  struct Udev;
  std::unique_ptr<Udev> udev_;
  std::mutex mu_;  // guards drives_ (Open and MountPoints come from any thread)
  std::map<uint32_t, Drive> drives_;
};

}  // namespace kelva::platform
