// Raising user conditions against a unit: the repeat guard, the error history
// ring and its file, and the messages to the volume worker, the unit's host
// memo and the notifier.
#include "platform/log.h"
#include "platform/text.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit {

namespace {

constexpr platform::FileTime kRepeatWindowSeconds = 60;

}  // namespace

int UnitController::Report(uint32_t index, bool with_code) {
  if (index >= kConditionCount) return 0;
  const ConditionRow& row = ConditionAt(index);
  const platform::FileTime now = clock_.Now();
  int written = 0;
  {
    std::lock_guard lock(history_lock_);
    if (row.repeat_guard && index == last_reported_ && now >= last_reported_time_ &&
        (now - last_reported_time_) / platform::kFileTimePerSecond < kRepeatWindowSeconds) {
      // The window restarts at every suppressed repetition.
      last_reported_time_ = now;
      return 0;
    }
    last_reported_ = index;
    last_reported_time_ = now;
    history_.Add(platform::FileTimeToSystemTime(now), HistoryText(index, with_code, language_));
    // A history file that could neither be read nor set aside is left as it is.
    written = history_writable_ && WriteErrorHistory(ErrorHistoryPath(), history_) ? 1 : 0;
  }
  KLOG_INFO("unit %s: condition %u: %s", platform::Utf16ToUtf8(serial_).c_str(), index,
            platform::Utf16ToUtf8(HistoryText(index, row.code[0] != '\0', Language::kEnglish)).c_str());
  SendUserMessage(index, with_code);
  return written;
}

int UnitController::SendUserMessage(uint32_t index, bool with_code) {
  if (index >= kConditionCount) return 0;
  const ConditionRow& row = ConditionAt(index);
  if (UnitVolumeWorker* worker = volume_worker_) {
    const uint8_t event[3] = {0, static_cast<uint8_t>(0x80 + index),
                              static_cast<uint8_t>('A' + worker->DriveIndex())};
    worker->NotifyUnitEvent(event);
  }
  if (row.memo) {
    HostMemo memo;
    if (ReadHostMemo(device_, &memo)) {
      memo.memo[0] = static_cast<uint8_t>(0x80 + index);
      WriteHostMemo(device_, memo.memo);
    }
  }
  const NotifyMessage message = BuildConditionMessage(index, with_code, language_);
  return notifier_->Deliver(message.data(), kNotifyMessageSize) == 0 ? 1 : 0;
}

int UnitController::SendMediaNotice(std::u16string_view drive_root, bool inserted) {
  return kelva::unit::SendMediaNotice(*notifier_, drive_root, inserted);
}

ErrorHistory UnitController::History() {
  std::lock_guard lock(history_lock_);
  return history_;
}

}  // namespace kelva::unit
