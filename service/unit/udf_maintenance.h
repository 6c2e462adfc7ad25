// The controller's disc maintenance and raw volume devices on the UDF layer:
// fresh volumes written by the formatter through the unit's command set, the
// integrity of an interrupted volume closed again, and the sector device the
// file system of a raw volume reads and writes.
//
// The unit library builds on the UDF library (never the other way round): the
// UDF code knows only its drive and sector seams, and the unit code supplies
// them over its command set (UnitDrive).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/metadata_repair.h"
#include "service/udf/udf_format.h"
#include "service/unit/repair_log.h"
#include "service/unit/unit_drive.h"
#include "service/unit/unit_seams.h"
#include "service/unit/udf_volume_access.h"

namespace kelva::unit {

class UdfDiscMaintenance : public DiscMaintenance {
 public:
  explicit UdfDiscMaintenance(platform::Clock* clock = nullptr) : clock_(clock) {}

  bool WriteFreshVolume(DeviceHandle device) override {
    UnitDrive drive(device);
    return udf::FormatDisc(drive, clock_ != nullptr ? *clock_ : platform::RealClock());
  }
  // Metadata repair of write-once discs; its messages go to the repair log while
  // logging is on. Mounts of the unit's raw volume wait while it runs.
  // Each repair is one line of the operational log as well.
  int RepairVolume(DeviceHandle device) override {
    Fence fence(this, device);
    UnitDrive drive(device);
    uint32_t written = 0;
    const int repaired = udf::RepairVolume(drive, LogSink(), &written);
    Report(repaired, written, "volume metadata");
    return repaired;
  }
  int RepairFile(DeviceHandle device, std::u16string_view path, bool creating) override {
    Fence fence(this, device);
    UnitDrive drive(device);
    uint32_t written = 0;
    const int repaired = udf::RepairFile(drive, path, creating, LogSink(), &written);
    Report(repaired, written, ("path \"" + platform::Utf16ToUtf8(path) + "\"").c_str());
    return repaired;
  }
  // A rewritable volume left open gets its space bitmaps, counts and next
  // unique ID rebuilt from its tree and is written back closed: a write-back cut
  // off after the entries but before the accounting would otherwise let new
  // files take blocks that older ones use. A tree with problems stays open (and
  // read-only) for a repair. A write-once volume only has its descriptor closed.
  bool CloseIntegrity(DeviceHandle device) override {
    Fence fence(this, device);
    UnitDrive drive(device);
    {
      udf::DriveSectorDevice sectors(&drive, false);
      udf::UdfMountOptions options;
      options.clock = clock_;
      options.rebuildOpenIntegrity = true;
      std::unique_ptr<udf::UdfFileSystem> fs;
      udf::UdfVolumeInfo info;
      if (udf::UdfFileSystem::Mount(&sectors, options, &fs) == 0 && fs->GetVolumeInformation(&info) == 0 &&
          !info.recordable) {
        if (info.readOnly) return false;
        return fs->Dismount() == 0;
      }
    }
    return udf::CloseIntegrity(drive);
  }

  // The raw volume on a unit's device, whose mounts a repair holds back.
  void AttachVolume(DeviceHandle device, UdfVolumeAccess* access, std::u16string raw_name) {
    std::lock_guard lock(mu_);
    volumes_[device] = {access, std::move(raw_name)};
  }
  void DetachVolume(DeviceHandle device) {
    std::lock_guard lock(mu_);
    volumes_.erase(device);
  }

 private:
  struct Attached {
    UdfVolumeAccess* access = nullptr;
    std::u16string name;
  };
  class Fence {
   public:
    Fence(UdfDiscMaintenance* m, DeviceHandle device) {
      std::lock_guard lock(m->mu_);
      if (auto it = m->volumes_.find(device); it != m->volumes_.end()) attached_ = it->second;
      if (attached_.access) attached_.access->BeginRepair(attached_.name);
    }
    ~Fence() {
      if (attached_.access) attached_.access->EndRepair(attached_.name);
    }
    Fence(const Fence&) = delete;
    Fence& operator=(const Fence&) = delete;

   private:
    Attached attached_;
  };
  static void Report(int repaired, uint32_t written, const char* what) {
    if (repaired)
      KLOG_INFO("disc repair: %s repaired, %u sector(s) written", what, written);
    else
      KLOG_WARN("disc repair: %s not repaired (%u sector(s) written)", what, written);
  }
  static udf::RepairSink LogSink() {
    return [](const std::string& message) {
      if (RepairLoggingOn()) WriteRepairLog("%s", message.c_str());
    };
  }

  platform::Clock* clock_;
  std::mutex mu_;
  std::map<DeviceHandle, Attached> volumes_;
};

// A sector device on the disc in the unit's drive, for UdfVolumeAccess::Attach.
// recordable: the magazine holds write-once discs.
inline UdfVolumeAccess::DeviceFactory UnitSectorDeviceFactory(DeviceHandle device,
                                                              std::function<bool()> recordable) {
  return [device, recordable = std::move(recordable)]() -> std::unique_ptr<udf::ISectorDevice> {
    struct Owned : udf::DriveSectorDevice {
      Owned(DeviceHandle d, bool r) : DriveSectorDevice(&drive, r), drive(d) {}
      UnitDrive drive;
    };
    return std::make_unique<Owned>(device, recordable());
  };
}

}  // namespace kelva::unit
