// The controller's disc maintenance and raw volume devices on the UDF layer:
// fresh volumes written by the formatter through the unit's command set, the
// integrity of an interrupted volume closed again, and the sector device the
// file system of a raw volume reads and writes.
//
// The unit library builds on the UDF library (never the other way round): the
// UDF code knows only its drive and sector seams, and the unit code supplies
// them over its command set (UnitDrive).
#pragma once

#include <memory>

#include "platform/clock.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/udf_format.h"
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
  // Metadata repair of write-once discs is not attached yet: nothing is repaired.
  int RepairVolume(DeviceHandle) override { return 0; }
  int RepairFile(DeviceHandle, std::u16string_view, bool) override { return 0; }
  bool CloseIntegrity(DeviceHandle device) override {
    UnitDrive drive(device);
    return udf::CloseIntegrity(drive);
  }

 private:
  platform::Clock* clock_;
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
