// Suspend and resume of a unit around a system sleep. Between the two the
// ready flag is clear, so every controller operation waits instead of talking
// to a unit that sleeps. Neither handler goes through those operations: they
// send their commands directly.
#include "platform/log.h"
#include "platform/text.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit {

namespace {

constexpr uint32_t kInUseWaitSeconds = 20;
constexpr uint32_t kBusyWaitSeconds = 180;
constexpr uint32_t kSuspendUnloadAttempts = 3;
constexpr uint32_t kResumeUnloadAttempts = 5;
constexpr uint32_t kRestAttempts = 3;
constexpr uint32_t kSelectAttempts = 3;
constexpr uint32_t kWakeRounds = 3;
constexpr uint32_t kReloadAttempts = 5;
constexpr uint32_t kReloadPolls = 120;
constexpr uint8_t kUnloadHoldingMagazine = 0x80;

uint8_t SenseKey(uint32_t status) { return SenseKeyOf(status) & 0x0F; }

}  // namespace

void UnitController::Suspend() {
  ready_.store(0);
  if (!magazine_present_.load()) {
    // A flag left from an earlier sleep must not make the next resume look
    // for a magazine that has gone since.
    suspended_with_magazine_.store(false);
    return;
  }
  for (uint32_t s = 0; s < kInUseWaitSeconds && in_use_.load() > 0; ++s) clock_.Sleep(1000);
  suspended_with_magazine_.store(magazine_present_.load());
  if (busy_.load() != 0) return;
  KLOG_INFO("unit %s: suspending", platform::Utf16ToUtf8(serial_).c_str());

  AllowMediumRemoval(device_);
  bool unloaded = false;
  for (uint32_t attempt = 0; attempt < kSuspendUnloadAttempts && !unloaded; ++attempt)
    unloaded = UnloadMedium(device_, kUnloadHoldingMagazine) == 0;
  if (device_->CheckVerify() == 0) return;  // the disc is still in the drive
  volumes_->MediaChanged(VolumePath());

  for (uint32_t attempt = 0; attempt < kRestAttempts; ++attempt)
    if (RestUnit(device_) == 0) break;
  uint8_t disc = 0;
  if (!ReadCurrentDisc(device_, &disc) || disc >= kSlotCount) disc = 0;
  for (uint32_t attempt = 0; attempt < kSelectAttempts; ++attempt)
    if (SelectSlot(device_, disc) == 0) break;
}

void UnitController::Resume() {
  bool force_eject = false;
  if (busy_.load() != 0) {
    for (uint32_t s = 0; s < kBusyWaitSeconds && busy_.load() != 0; ++s) clock_.Sleep(1000);
    force_eject = busy_.load() != 0;
  }
  const bool with_magazine = suspended_with_magazine_.load();
  KLOG_INFO("unit %s: resuming%s", platform::Utf16ToUtf8(serial_).c_str(),
            with_magazine ? " (magazine was in)" : "");

  if (with_magazine) {
    AllowMediumRemoval(device_);
    bool unloaded = false;
    for (uint32_t attempt = 0; attempt < kResumeUnloadAttempts && !unloaded; ++attempt)
      unloaded = UnloadMedium(device_, kUnloadHoldingMagazine) == 0;
    if (!unloaded && Low24(TestUnitReady(device_)) != kSenseNoMediumTrayClosed) force_eject = true;
    volumes_->MediaChanged(VolumePath());
    DeleteAllKind1DiscInformation();
    magazine_present_.store(false);
    magazine_identified_.store(false);
    rfid_anomaly_.store(false);
    rfid_health_done_.store(false);
    temperature_reported_.store(false);
    if (device_->CheckVerify() == 0) force_eject = true;
  }

  bool busy = false;
  for (uint32_t round = 0; round < kWakeRounds; ++round) {
    const bool woke = WakeUnit(device_) == 0;
    const bool read = ReadWakeStatus(device_, &busy);
    if (woke && read && !busy) break;
  }
  if (busy) force_eject = true;

  PassVerificationMode();
  ready_.store(1);

  if (!force_eject && with_magazine) {
    uint8_t disc = 0;
    if (Low24(TestUnitReady(device_)) == kSenseNoMediumTrayClosed && ReadCurrentDisc(device_, &disc)) {
      // Let the volume of the magazine go before its disc comes back.
      UnitVolumeWorker* worker = volume_worker_;
      while (worker != nullptr && worker->IsMounted() &&
             Low24(TestUnitReady(device_)) == kSenseNoMediumTrayClosed) {
        if (!PauseUnlessStopping(1000)) return;
      }
      ready_.store(0);
      ExchangeBracket(device_, true);
      uint32_t last = kStatusInvalidHandle;
      for (uint32_t attempt = 0; attempt < kReloadAttempts && last != 0; ++attempt) {
        if (LoadSlot(device_, disc) != 0) continue;
        for (uint32_t poll = 0; poll < kReloadPolls; ++poll) {
          clock_.Sleep(1000);
          last = TestUnitReady(device_);
          if (last == 0 || Low24(last) == kSenseNoMediumTrayClosed || SenseKey(last) == 3 ||
              SenseKey(last) == 4 || SenseKey(last) == 5)
            break;
        }
      }
      ExchangeBracket(device_, false);
      volumes_->MediaChanged(VolumePath());
      if (last != 0) force_eject = true;
      ready_.store(1);
      if (!force_eject)
        KLOG_INFO("unit %s: disc %u reloaded after the sleep", platform::Utf16ToUtf8(serial_).c_str(), disc);
    }
  }

  if (force_eject) {
    KLOG_ERROR("unit %s: the unit did not come back in a known state; ejecting the magazine",
               platform::Utf16ToUtf8(serial_).c_str());
    device_->EjectMedia();
    device_->CheckVerify();
  }
}

}  // namespace kelva::unit
