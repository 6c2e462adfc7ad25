// The unit monitor: once a second it looks at the unit (a disc dropped out of
// the drive because the unit was moved, the internal temperature, hardware
// trouble while no magazine is in, the release button) and repeats the
// progress notices of long operations. Also the status-change alert and the
// two counter-page health checks.
//
// The monitor sends its commands without the operation lock (only the alert's
// reload takes it) and reads the controller's flags without locks.
#include "platform/big_endian.h"
#include "platform/log.h"
#include "platform/sessions.h"
#include "platform/text.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit {

namespace {

constexpr uint32_t kTickMs = 1000;
constexpr uint32_t kTickWrap = 3599;          // the counter runs 1 .. 3599, then 0
constexpr uint32_t kTemperatureEvery = 30;    // ticks
constexpr uint32_t kIdleCheckEvery = 10;      // ticks
constexpr uint32_t kAlertLoadAttempts = 4;
constexpr uint32_t kAlertReadyPolls = 600;
constexpr uint8_t kAlertEvent = 0x80 + kCondStatusChangeAborted;  // 0x87

// The notice countdowns: a notice goes out when the countdown is 0; it counts
// up and restarts at 0 after period - 1; with the flag clear it rests at the
// reset value, so the first notice comes reset ticks after the flag is set.
struct NoticeTiming {
  uint8_t reset;
  uint8_t period;
};
constexpr NoticeTiming kClosingTiming{15, 30};
constexpr NoticeTiming kReadingTiming{10, 20};

// Sense key of a command status, without the flag bits of sense byte 2.
uint8_t SenseKey(uint32_t status) { return SenseKeyOf(status) & 0x0F; }

// Counter page reads: current values (page control 0) and limits (2).
struct CounterPair {
  uint8_t current[64] = {};
  uint8_t limit[64] = {};
};

bool ReadCounterPair(DeviceHandle device, uint8_t page, uint8_t length, CounterPair* out) {
  return ReadCounterPage(device, 0, page, out->current, length) == 0 &&
         ReadCounterPage(device, 2, page, out->limit, length) == 0;
}


// The limit pages keep flag bits above the value: 13 bits of a 16-bit field
// and 29 bits of a 32-bit field are the limit itself.
uint32_t Current16(const CounterPair& c, uint8_t offset) { return platform::GetBe16(c.current + offset); }
uint32_t Limit16(const CounterPair& c, uint8_t offset) { return platform::GetBe16(c.limit + offset) & 0x1FFF; }
uint32_t Current32(const CounterPair& c, uint8_t offset) { return platform::GetBe32(c.current + offset); }
uint32_t Limit32(const CounterPair& c, uint8_t offset) { return platform::GetBe32(c.limit + offset) & 0x1FFFFFFF; }
bool Over16(const CounterPair& c, uint8_t offset) { return Current16(c, offset) > Limit16(c, offset); }

// One step of a notice countdown; true when the notice is due now.
bool NoticeDue(bool on, uint8_t* countdown, NoticeTiming timing) {
  if (!on) {
    *countdown = timing.reset;
    return false;
  }
  const bool due = *countdown == 0;
  *countdown = *countdown + 1 >= timing.period ? 0 : static_cast<uint8_t>(*countdown + 1);
  return due;
}

}  // namespace

void UnitController::MonitorLoop() {
  while (!monitor_stop_->Wait(kTickMs)) MonitorTick();
}

bool UnitController::PauseUnlessStopping(uint32_t ms) {
  if (monitor_stop_->IsSet()) return false;
  clock_.Sleep(ms);
  return !monitor_stop_->IsSet();
}

bool UnitController::ConsoleSessionActive() {
  if (console_session_active_) return console_session_active_();
  return platform::ActiveConsoleSession() != platform::kNoSession;
}

void UnitController::MonitorTick() {
  if (ready_.load() == 0) return;
  MonitorState& m = monitor_state_;

  if (magazine_present_.load()) {
    // The disc left the drive (the unit was moved) while the magazine is mounted.
    if (Low24(TestUnitReady(device_)) == kSenseNoMediumTrayClosed) {
      EventList events;
      if (ReadEventList(device_, &events) && events.pending > 0) {
        alert_in_progress_.store(true);
        StatusChangeAlert();
        alert_in_progress_.store(false);
      }
    }
    if (m.tick % kTemperatureEvery == 0) {
      UnitEnvironment env;
      if (ReadEnvironment(device_, &env) && env.temperature_limit <= env.temperature &&
          !temperature_reported_.load()) {
        temperature_reported_.store(true);
        KLOG_ERROR("unit %s: temperature %u reached its limit %u; stopping the drive",
                   platform::Utf16ToUtf8(serial_).c_str(), env.temperature, env.temperature_limit);
        Report(kCondTemperature, true);
        if (UnitVolumeWorker* worker = volume_worker_) worker->ForceUnmount();
        StartStopUnit(device_, kStopUnit);
      }
    }
  } else if (m.tick % kIdleCheckEvery == 0) {
    uint8_t changer = 0;
    const int idle = MechanismIdleQuery(device_, &changer);
    if (idle == 4) {
      Report(kCondUnitFailure, true);
    } else if (idle == 2) {
      Report(kCondLoadingFailed, true);
    } else if (idle == 0 && changer == 0) {
      const uint32_t st = TestUnitReady(device_);
      if (Low24(st) == kSenseIncompatibleMedium || Low24(st) == kSenseUnknownFormat ||
          SenseKey(st) == 3 || SenseKey(st) == 4)
        Report(kCondReadFailed, true);
    }
    EventList events;
    if (ReadEventList(device_, &events) && events.pending > 0 &&
        Low24(TestUnitReady(device_)) == kSenseNoMediumTrayClosed)
      Report(kCondInstallationChanged, true);
    if (!rfid_health_done_.load() && SenseKey(TestUnitReady(device_)) == 4)
      RunRfidHealthCheck(false);
  }

  HoldStatus hold;
  if (ReadHoldStatus(device_, &hold) && hold.engaged && magazine_present_.load() &&
      hold.release_requested) {
    if (UnitVolumeWorker* worker = volume_worker_) StartRelease(worker);
  }

  MonitorNotices();
  m.tick = m.tick >= kTickWrap ? 0 : m.tick + 1;
}

void UnitController::MonitorNotices() {
  MonitorState& m = monitor_state_;
  if (NoticeDue(closing_notice_.load(), &m.closing_countdown, kClosingTiming))
    SendUserMessage(kCondUpdatingManagement, false);
  if (NoticeDue(second_closing_notice_.load(), &m.second_closing_countdown, kClosingTiming))
    SendUserMessage(kCondUpdatingManagement, false);
  if (NoticeDue(reading_notice_.load(), &m.reading_countdown, kReadingTiming))
    SendUserMessage(kCondNowReading, false);
}

// The unmount may take long (the volume writes back what it holds), so it runs
// on a thread of its own and the monitor keeps ticking. The release bit stays
// set at the unit until the magazine is out, so a run still going is not
// started again.
void UnitController::StartRelease(UnitVolumeWorker* worker) {
  if (release_running_.load()) return;
  if (release_thread_.joinable()) release_thread_.join();
  KLOG_INFO("unit %s: release requested at the unit", platform::Utf16ToUtf8(serial_).c_str());
  release_running_.store(true);
  release_thread_ = std::thread([this, worker] {
    worker->UnmountAndEject();
    release_running_.store(false);
  });
}

void UnitController::StatusChangeAlert() {
  if (!ConsoleSessionActive()) return;
  KLOG_ERROR("unit %s: the disc left the drive while the magazine is mounted",
             platform::Utf16ToUtf8(serial_).c_str());
  UnitVolumeWorker* worker = volume_worker_;
  if (worker != nullptr) {
    const uint8_t event[3] = {0, kAlertEvent, static_cast<uint8_t>('A' + worker->DriveIndex())};
    worker->NotifyUnitEvent(event);
  }
  HostMemo memo;
  if (ReadHostMemo(device_, &memo)) {
    memo.memo[0] = kAlertEvent;
    WriteHostMemo(device_, memo.memo);
  }
  // The message box goes to the notifier, which shows it in the console
  // session; nothing comes back from it, so the wait below starts at once.
  const ConditionRow& row = ConditionAt(kCondStatusChangeAborted);
  std::u16string text = u"[" + platform::Utf8ToUtf16(row.code) + u"]";
  text += LoadMessage(row.message_id, language_);
  const NotifyMessage message =
      BuildNotifyMessage(kNotifyMessageBox, row.style, LoadMessage(kTitleStringId, language_), text);
  notifier_->Deliver(message.data(), kNotifyMessageSize);

  // Wait until the volume is gone or the unit no longer reports the empty drive.
  while (worker != nullptr && worker->IsMounted() &&
         Low24(TestUnitReady(device_)) == kSenseNoMediumTrayClosed) {
    if (!PauseUnlessStopping(1000)) return;
  }

  std::lock_guard lock(operation_lock_);
  ExchangeBracket(device_, true);
  const uint8_t slot = current_slot_.load();
  bool loaded = false, recovered = false, gave_up = false;
  for (uint32_t attempt = 0; attempt < kAlertLoadAttempts && !loaded; ++attempt)
    loaded = LoadSlot(device_, slot) == 0;
  if (loaded) {
    for (uint32_t poll = 0; poll < kAlertReadyPolls && !recovered && !gave_up; ++poll) {
      clock_.Sleep(1000);
      const uint32_t st = TestUnitReady(device_);
      if (st == 0) {
        recovered = true;
      } else if (Low24(st) == kSenseNoMediumTrayClosed || SenseKey(st) == 3 ||
                 SenseKey(st) == 4 || SenseKey(st) == 5) {
        gave_up = true;
      }
    }
    // Whatever the file system knew belonged to the disc before it dropped.
    volumes_->MediaChanged(VolumePath());
  }
  if (recovered) {
    KLOG_INFO("unit %s: disc %u back in the drive", platform::Utf16ToUtf8(serial_).c_str(), slot);
  } else {
    KLOG_ERROR("unit %s: disc %u could not be put back", platform::Utf16ToUtf8(serial_).c_str(), slot);
    Report(kCondRecoveryFailed, true);
  }
  ExchangeBracket(device_, false);
}

void UnitController::RunRecordingHealthCheck() {
  CounterPair page;
  if (ReadCounterPair(device_, 1, 44, &page) && (Over16(page, 0x22) || Over16(page, 0x26)))
    Report(kCondRecordingQuality, true);
  if (ReadCounterPair(device_, 2, 52, &page)) {
    if (Over16(page, 0x1A)) Report(kCondDriveError, true);
    if (Over16(page, 0x2A)) Report(kCondUnitSoftware, true);
  }
}

void UnitController::RunRfidHealthCheck(bool identifying) {
  CounterPair page;
  if (ReadCounterPair(device_, 0x11, 64, &page) && Current32(page, 0x3C) == Limit32(page, 0x3C)) {
    KLOG_ERROR("unit %s: the RFID tag reached its read limit", platform::Utf16ToUtf8(serial_).c_str());
    Report(kCondRfidAnomalous, true);
    if (identifying)
      rfid_anomaly_.store(true);
    else
      rfid_health_done_.store(true);
    return;
  }
  if (!ReadCounterPair(device_, 2, 52, &page)) return;
  if (Over16(page, 0x2C)) Report(kCondRfidCommunication, true);
  if (!identifying) rfid_health_done_.store(true);
}

}  // namespace kelva::unit
