#include "service/unit/identifying_volume_worker.h"

#include "platform/log.h"
#include "platform/text.h"
#include "service/unit/condition_table.h"
#include "service/unit/unit_commands.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit {

IdentifyingVolumeWorker::IdentifyingVolumeWorker(std::u16string_view raw_volume_name,
                                                 UnitController* controller,
                                                 VolumeNotificationCallback notify)
    : name_(platform::Utf16ToUtf8(raw_volume_name)), controller_(controller), notify_(std::move(notify)) {
  if (controller_ != nullptr) controller_->SetVolumeWorker(this);
}

IdentifyingVolumeWorker::~IdentifyingVolumeWorker() {
  if (controller_ != nullptr) controller_->SetVolumeWorker(nullptr);
}

void IdentifyingVolumeWorker::Outcome(std::string line) {
  KLOG_INFO("%s", line.c_str());
  std::lock_guard lock(mu_);
  last_ = std::move(line);
}

std::string IdentifyingVolumeWorker::LastOutcome() {
  std::lock_guard lock(mu_);
  return last_;
}

void IdentifyingVolumeWorker::Mount(const CancelTest& cancelled) {
  const std::string unit = "unit " + name_ + ": ";
  if (controller_ == nullptr) {
    Outcome(unit + "no controller, magazine not identified");
    return;
  }
  if (controller_->ExchangeCount() != 0) {
    Outcome(unit + "disc exchange in progress, magazine not identified");
    return;
  }
  if (cancelled && cancelled()) {
    Outcome(unit + "magazine removed before it was identified");
    return;
  }
  std::u16string identifier;
  controller_->IdentifyMagazine(&identifier);
  if (cancelled && cancelled()) {
    Outcome(unit + "magazine removed while it was identified");
    return;
  }
  if (controller_->AcceptMount() != 1) {
    Outcome(unit + "no magazine in place, not identified");
    return;
  }
  uint8_t kind = 0, not_writable = 0;
  std::u16string label;
  if (controller_->GetMagazineInfo(&kind, &not_writable, &label) != 1) {
    Outcome(unit + "magazine left before it was identified");
    return;
  }
  identified_.store(true);
  Outcome(unit + "magazine " + platform::Utf16ToUtf8(identifier) + " (" + platform::Utf16ToUtf8(label) +
          ") identified");
}

void IdentifyingVolumeWorker::Dismount() {
  // A disc exchange empties the drive for a while; that is no media removal.
  if (controller_ != nullptr && controller_->ExchangeCount() != 0) {
    Outcome("unit " + name_ + ": disc exchange in progress, magazine kept");
    return;
  }
  // A unit that no longer answers was unplugged: its removal follows and
  // tells the user that the magazine was not ejected first.
  if (controller_ != nullptr && TestUnitReady(controller_->device()) == platform::ERROR_DEVICE_NOT_CONNECTED) {
    Outcome("unit " + name_ + ": unit gone, magazine left to the unit's removal");
    return;
  }
  if (controller_ != nullptr) controller_->ResetMagazineState();
  identified_.store(false);
  Outcome("unit " + name_ + ": magazine removed");
}

void IdentifyingVolumeWorker::DeviceRemoved() {
  if (identified_.exchange(false) && controller_ != nullptr) {
    controller_->ResetMagazineState();
    controller_->Report(kCondRemovedWithoutEject, true);
    Outcome("unit " + name_ + ": device removed with its magazine inside");
    return;
  }
  Outcome("unit " + name_ + ": device removed");
}

void IdentifyingVolumeWorker::UnmountAndEject() {
  if (controller_ == nullptr) return;
  // EjectMagazine reports a failed eject to the user itself.
  const uint32_t result = controller_->EjectMagazine();
  identified_.store(false);
  if (result == kResultDone)
    Outcome("unit " + name_ + ": magazine released at the unit's request");
  else
    Outcome("unit " + name_ + ": magazine not released at the unit's request (" + std::to_string(result) + ")");
}

bool IdentifyingVolumeWorker::NotifyUnitEvent(const uint8_t event[3]) {
  if (!notify_) return false;
  notify_(event);
  return true;
}

VolumeWorkerFactory MakeIdentifyingVolumeWorkerFactory() {
  return [](std::u16string_view raw_volume_name, UnitController* controller,
            const VolumeNotificationCallback& notify) -> std::unique_ptr<VolumeWorker> {
    return std::make_unique<IdentifyingVolumeWorker>(raw_volume_name, controller, notify);
  };
}

}  // namespace kelva::unit
