#include "service/core/unit_manager_binding.h"

#include "platform/text.h"
#include "service/unit/udf_maintenance.h"
#include "service/unit/udf_volume_access.h"
#include "service/volume/volume_worker.h"

namespace kelva::core {

namespace {

// The kind carries 0x10 for a magazine of write-once discs.
constexpr uint8_t kRecordableKind = 0x10;

class UnitManagerBinding final : public IUnitManager, public unit::UnitHost {
 public:
  UnitManagerBinding(IServiceCore& core, platform::DeviceManager& devices,
                     unit::VolumeWorkerFactory make_volume_worker)
      : core_(core), volumes_(&core.clock()), maintenance_(&core.clock()) {
    unit::UnitManagerOptions options;
    options.devices = &devices;
    options.host = this;
    options.clock = &core.clock();
    options.controller.clock = &core.clock();
    options.controller.data_folder = core.DataFolder();
    options.controller.volumes = &volumes_;
    options.controller.maintenance = &maintenance_;
    options.make_volume_worker = std::move(make_volume_worker);
    options.attach_volume = [this](std::u16string_view raw, unit::UnitController& controller) {
      unit::UnitController* c = &controller;
      volumes_.Attach(raw, unit::UnitSectorDeviceFactory(c->device(), [c] {
                        // The type code is known from the first disc load on, the
                        // kind once the magazine is identified.
                        return (c->MagazineKind() & kRecordableKind) != 0 ||
                               c->MagazineTypeCode() == unit::kMagazineRecordable;
                      }));
      maintenance_.AttachVolume(c->device(), &volumes_, std::u16string(raw));
    };
    options.detach_volume = [this](std::u16string_view raw) { volumes_.Detach(raw); };
    units_ = std::make_unique<unit::UnitManager>(std::move(options));
  }

  ~UnitManagerBinding() override { units_.reset(); }

  unit::UnitManager& units() { return *units_; }

  // IUnitManager
  void ScanUnits() override { units_->Scan(); }
  void DeviceInterfaceArrival(const std::string& path) override {
    units_->DeviceEvent(true, platform::Utf8ToUtf16(path));
  }
  void DeviceInterfaceRemoval(const std::string& path) override {
    units_->DeviceEvent(false, platform::Utf8ToUtf16(path));
  }
  void MediaArrival(platform::DeviceHandle handle) override { units_->MediaEvent(true, handle); }
  void MediaRemoval(platform::DeviceHandle handle) override { units_->MediaEvent(false, handle); }
  void SuspendAll() override { units_->Suspend(); }
  void ResumeAll() override { units_->Resume(); }
  void MountPointsChanged() override { units_->RefreshDriveLetters(); }
  void StopAll() override { units_->Teardown(); }

  // unit::UnitHost
  void SendFilterMessage(uint8_t command, std::u16string_view raw_volume_name) override {
    core_.SendFilterMessage(command, raw_volume_name);
  }
  platform::NotificationToken RegisterHandleNotification(platform::DeviceHandle handle) override {
    return core_.RegisterDeviceHandleNotification(handle);
  }
  void UnregisterHandleNotification(platform::NotificationToken token) override {
    core_.UnregisterDeviceNotification(token);
  }

 private:
  IServiceCore& core_;
  // Declared before the manager: the units' controllers use them until the
  // manager has torn the units down.
  unit::UdfVolumeAccess volumes_;
  unit::UdfDiscMaintenance maintenance_;
  std::unique_ptr<unit::UnitManager> units_;
};

}  // namespace

std::unique_ptr<IUnitManager> MakeUnitManager(IServiceCore& core, platform::DeviceManager& devices) {
  volume::VolumeWorkerOptions options;
  options.data_folder = core.DataFolder();
  options.clock = &core.clock();
  options.on_busy = [&core](bool on) { on ? core.EnterBusy() : core.LeaveBusy(); };
  return MakeUnitManager(core, devices, volume::MakeVolumeWorkerFactory(options));
}

std::unique_ptr<IUnitManager> MakeUnitManager(IServiceCore& core, platform::DeviceManager& devices,
                                              unit::VolumeWorkerFactory make_volume_worker) {
  return std::make_unique<UnitManagerBinding>(core, devices, std::move(make_volume_worker));
}

unit::UnitManager* UnitsOf(IUnitManager& manager) {
  auto* binding = dynamic_cast<UnitManagerBinding*>(&manager);
  return binding != nullptr ? &binding->units() : nullptr;
}

}  // namespace kelva::core
