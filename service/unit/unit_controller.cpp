#include "service/unit/unit_controller.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "service/unit/repair_log.h"

namespace kelva::unit {

using platform::Win32Error;

namespace {

constexpr uint32_t kLoadAttempts = 5;
constexpr uint32_t kReadyPolls = 120;
constexpr uint32_t kStopAttempts = 3;
constexpr uint32_t kEjectAttempts = 2;
constexpr uint32_t kWakeRounds = 3;
constexpr uint32_t kSettleMs = 500;
constexpr uint32_t kPreparePolls = 600;

bool IsRepairableVolumeError(Win32Error e) {
  return e == platform::ERROR_UNRECOGNIZED_VOLUME || e == platform::ERROR_FILE_CORRUPT ||
         e == platform::ERROR_LOG_CORRUPTION_DETECTED;
}

}  // namespace

// ---- lifecycle -------------------------------------------------------------------

UnitController::Operation::Operation(UnitController* c) : c_(c) {
  c_->WaitUntilReady();
  c_->in_use_.fetch_add(1);
}
UnitController::Operation::~Operation() { c_->in_use_.fetch_sub(1); }

UnitController::UnitController(std::u16string_view raw_volume_name, DeviceHandle device,
                               const UnitControllerOptions& options)
    : clock_(options.clock != nullptr ? *options.clock : platform::RealClock()),
      data_folder_(options.data_folder.empty() ? platform::DataFolder() : options.data_folder),
      volumes_(options.volumes),
      maintenance_(options.maintenance),
      notifier_(options.notifier != nullptr ? options.notifier : &DefaultNotifierChannel()),
      language_(options.language),
      console_session_active_(options.console_session_active),
      device_(device),
      raw_volume_name_(raw_volume_name.substr(0, 49)) {
  if (maintenance_ == nullptr) {
    own_maintenance_ = std::make_unique<NoDiscMaintenance>();
    maintenance_ = own_maintenance_.get();
  }
}

std::unique_ptr<UnitController> UnitController::Create(std::u16string_view raw_volume_name,
                                                        DeviceHandle device,
                                                        const UnitControllerOptions& options) {
  if (options.volumes == nullptr || device == nullptr) return nullptr;
  std::unique_ptr<UnitController> c(new UnitController(raw_volume_name, device, options));

  TestUnitReady(device);
  std::string serial;
  if (ReadDriveSerial(device, &serial)) {
    if (serial.size() > 32) serial.resize(32);
    const size_t nul = serial.find('\0');
    if (nul != std::string::npos) serial.resize(nul);
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    if (!serial.empty()) c->serial_ = platform::Utf8ToUtf16(serial);
  }
  const platform::Win32Error history_error = LoadErrorHistory(c->ErrorHistoryPath(), &c->history_);
  if (history_error != 0) {
    c->history_.Clear();
    // A history that is there but cannot be read is kept, not overwritten by
    // the next report.
    if (history_error != platform::ERROR_FILE_NOT_FOUND && history_error != platform::ERROR_PATH_NOT_FOUND) {
      const std::filesystem::path aside =
          SetAsideErrorHistory(c->ErrorHistoryPath(), platform::FileTimeToSystemTime(c->clock_.Now()));
      KLOG_ERROR("unit %s: error history %s could not be read (%u); %s", platform::Utf16ToUtf8(c->serial_).c_str(),
                 c->ErrorHistoryPath().c_str(), history_error,
                 aside.empty() ? "it could not be set aside either and is left untouched"
                               : ("kept as " + aside.string()).c_str());
      if (aside.empty()) c->history_writable_ = false;
    }
  }
  TestUnitReady(device);

  for (uint32_t round = 0; round < kWakeRounds; ++round) {
    bool busy = true;
    if (WakeUnit(device) == 0 && ReadWakeStatus(device, &busy) && !busy) break;
  }
  HoldStatus hold;
  if (ReadHoldStatus(device, &hold) && hold.engaged) MagazineHold(device, false);
  c->PassVerificationMode();

  c->monitor_stop_ = std::make_unique<platform::Event>(true, false, c->clock_);
  if (options.monitor_thread) c->monitor_ = std::thread([p = c.get()] { p->MonitorLoop(); });
  c->last_reported_time_ = c->clock_.Now();
  KLOG_INFO("unit %s: controller ready (serial %s)",
            platform::Utf16ToUtf8(c->raw_volume_name_).c_str(),
            platform::Utf16ToUtf8(c->serial_).c_str());
  return c;
}

UnitController::~UnitController() { Destroy(); }

void UnitController::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  MagazineHold(device_, false);
  StopThreads();
  std::lock_guard lock(volume_lock_);
  if (volume_handle_) {
    volume_handle_->Unlock();
    volume_handle_.reset();
  }
  volume_lock_depth_ = 0;
}

void UnitController::StopThreads() {
  if (monitor_stop_) monitor_stop_->Set();
  if (monitor_.joinable()) monitor_.join();
  if (release_thread_.joinable()) release_thread_.join();
}

void UnitController::WaitUntilReady() {
  while (ready_.load() == 0 && busy_.load() == 0) clock_.Sleep(1000);
}

// ---- small helpers --------------------------------------------------------------

std::u16string UnitController::Identifier() {
  std::lock_guard lock(text_lock_);
  return identifier_;
}

std::u16string UnitController::Label() {
  std::lock_guard lock(text_lock_);
  return label_;
}

void UnitController::PassVerificationMode() {
  SetModePage0Byte2(device_, RecordVerificationMode(ConfigPath()));
}

bool UnitController::ReadStatus() {
  UnitStatus s;
  if (!ReadUnitStatus(device_, &s, clock_)) return false;
  type_code_ = s.magazine_type;
  capacity_code_ = s.capacity_code;
  status_a_ = s.status_a;
  status_b_ = s.status_b;
  status_c_ = s.status_c;
  return true;
}

bool UnitController::ReadDiscStatus() {
  uint8_t status = 0;
  uint16_t last_track = 0;
  if (!ReadDiscInformation(device_, &status, &last_track)) return false;
  disc_status_ = status;
  return true;
}

void UnitController::UpdateUsableCapacity() {
  uint32_t last_lba = 0, block = 0;
  uint64_t capacity = 0;
  if (ReadCapacity(device_, &last_lba, &block)) {
    const uint64_t size = (static_cast<uint64_t>(last_lba) + 1) * block;
    capacity = size > kCapacityMargin ? size - kCapacityMargin : 0;
  }
  usable_capacity_.store(capacity);
}

void UnitController::DeleteAllKind1DiscInformation() {
  for (uint8_t s = 0; s < kSlotCount; ++s) DeleteDiscInformation(s, 1);
}

bool UnitController::HasUdfVolume() {
  if (status_c_ == 0) return false;
  VolumeInformation info;
  Win32Error e = volumes_->GetVolumeInformation(RootPath(), &info);
  if (e == 0) return platform::EqualNoCase(info.file_system, u"UDF");
  if (!IsRepairableVolumeError(e) || !IsWritable()) return false;
  if (RepairLoggingOn()) WriteRepairLog("GetVolumeInformation Error (0x%08X)\n", e);
  const int repaired = maintenance_->RepairVolume(device_);
  if (RepairLoggingOn()) WriteRepairLog(repaired ? "Repair Volume Success\n" : "Repair Volume Fail\n");
  DismountVolume();
  if (volumes_->GetVolumeInformation(RootPath(), &info) != 0) return false;
  return platform::EqualNoCase(info.file_system, u"UDF");
}

bool UnitController::DiscIsUsed() { return HasUdfVolume() && Exists(u"STRUCT"); }

uint32_t UnitController::LoadDiscAndSettle(uint8_t slot) {
  const uint32_t r = LoadDisc(slot);
  clock_.Sleep(kSettleMs);
  return r;
}

// ---- magazine operations ----------------------------------------------------------

void UnitController::IdentifyMagazine(std::u16string* identifier_out) {
  Operation op(this);
  TestUnitReady(device_);
  type_code_ = kTypeUnknown;
  status_a_ = 0;
  status_b_ = 0;
  status_c_ = 0;
  disc_status_ = 0;
  write_preparation_pending_.store(true);

  if (magazine_identified_.load()) {
    ReadStatus();
    ReadDiscStatus();
    PassVerificationMode();
    if (identifier_out != nullptr) *identifier_out = Identifier();
    return;
  }

  current_slot_.store(0);
  highest_prepared_.store(kNoSlot);
  usable_capacity_.store(0);
  identifier_valid_.store(false);
  reading_notice_.store(true);
  uint8_t id[12];
  std::u16string identifier = kUnknownIdentifier;
  if (ReadMagazineId(device_, id)) {
    char hex[25];
    for (int i = 0; i < 12; ++i) std::snprintf(hex + 2 * i, 3, "%02x", id[i]);
    identifier = platform::Utf8ToUtf16(std::string_view(hex, 24));
    identifier_valid_.store(true);
  }
  std::u16string label = kBlankLabel;
  uint8_t raw_label[11];
  if (ReadMagazineLabel(device_, raw_label) && raw_label[0] >= 0x20 && raw_label[0] <= 0x7E) {
    size_t n = 0;
    while (n < sizeof raw_label && raw_label[n] != 0) ++n;
    label = platform::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(raw_label), n));
  }
  {
    std::lock_guard lock(text_lock_);
    identifier_ = identifier;
    label_ = label;
  }
  if (identifier_out != nullptr) *identifier_out = identifier;
  KLOG_INFO("unit %s: magazine %s, label \"%s\"", platform::Utf16ToUtf8(serial_).c_str(),
            platform::Utf16ToUtf8(identifier).c_str(), platform::Utf16ToUtf8(label).c_str());

  RunRfidHealthCheck(true);
  EnsureDiscLoaded();

  std::lock_guard lock(operation_lock_);
  uint8_t slot = kNoSlot, blank = 0;
  if (!FindCurrentDisc(&slot, &blank)) return;
  highest_prepared_.store(slot);
  SendParameterCommit(device_);
  WriteCurrentDisc(device_, slot);
  DismountVolume();
  ReadStatus();
  if (type_code_ == kMagazineRewritable) {
    magazine_kind_ = capacity_code_.load();
  } else if (type_code_ == kMagazineRecordable) {
    magazine_kind_ = static_cast<uint8_t>(capacity_code_ | 0x10);
  } else {
    return;
  }
  if (!ReadDiscStatus()) return;
  PassVerificationMode();
  const bool writable = IsWritable() != 0;
  if (!writable) Report(kCondWriteProtected, false);
  if (slot == 0) {
    if (blank && !HasUdfVolume()) {
      if (writable)
        FormatLoadedDisc();
      else
        Report(kCondProtectedNoFormat, true);
    }
  } else if (slot < kSlotCount && !HasUdfVolume() && writable) {
    FormatLoadedDisc();
  }
  UpdateUsableCapacity();
}

int UnitController::AcceptMount() {
  Operation op(this);
  MagazineHold(device_, true);
  if (exchange_.load() == 0 && TestUnitReady(device_) != 0) {
    MagazineHold(device_, false);
    return 0;
  }
  magazine_identified_.store(true);
  magazine_present_.store(true);
  reading_notice_.store(false);
  DeleteAllKind1DiscInformation();
  return 1;
}

int UnitController::FindCurrentDisc(uint8_t* slot_out, uint8_t* blank_out) {
  Operation op(this);
  std::lock_guard lock(operation_lock_);
  *blank_out = 0;
  TestUnitReady(device_);
  uint8_t mech = 0;
  if (MechanismSlotQuery(device_, &mech) != 0) {
    *slot_out = kNoSlot;
    return 0;
  }
  current_slot_.store(mech);
  // The status bytes decide whether the disc in the drive can carry a volume;
  // they are reset when a magazine is identified, so read them afresh.
  ReadStatus();
  uint8_t n = 0;
  if (ReadCurrentDisc(device_, &n)) {
    if (current_slot_.load() != n && LoadDisc(n) == 0) current_slot_.store(n);
    if (current_slot_.load() == n) {
      *blank_out = HasUdfVolume() ? 0 : 1;
      *slot_out = n;
      return 1;
    }
  }

  // The discs loaded while searching are only looked at, never prepared.
  struct KeepPrepared {
    explicit KeepPrepared(std::atomic<uint8_t>& h) : h_(h), saved_(h.exchange(kNoSlot)) {}
    ~KeepPrepared() { h_.store(saved_); }
    std::atomic<uint8_t>& h_;
    uint8_t saved_;
  } keep_prepared(highest_prepared_);
  const int s = current_slot_.load();
  int last_loaded = s;
  int result;
  if (DiscIsUsed()) {
    int low = s, high = kSlotCount;
    while (high - low > 1) {
      const int mid = high - (high - low) / 2;
      if (LoadDiscAndSettle(static_cast<uint8_t>(mid)) != 0) return 0;
      last_loaded = mid;
      if (DiscIsUsed()) low = mid; else high = mid;
    }
    result = low;
  } else {
    int low = -1, high = s;
    while (high - low > 1) {
      const int mid = low + (high - low) / 2;
      if (LoadDiscAndSettle(static_cast<uint8_t>(mid)) != 0) return 0;
      last_loaded = mid;
      if (DiscIsUsed()) low = mid; else high = mid;
    }
    result = low;
    if (high == 0) {
      *blank_out = 1;
      result = 0;
    }
  }
  if (result != last_loaded && LoadDiscAndSettle(static_cast<uint8_t>(result)) != 0) return 0;
  *slot_out = static_cast<uint8_t>(result);
  return 1;
}

uint32_t UnitController::LoadDisc(uint8_t slot) {
  Operation op(this);
  if (slot >= kSlotCount) return kResultFailed;
  CounterRaise busy(busy_);
  if (TestUnitReady(device_) != 0) return kResultNotReady;
  KLOG_INFO("unit %s: loading disc %u", platform::Utf16ToUtf8(serial_).c_str(), slot);

  LockVolume();
  DismountVolume();
  // Raised until the end, past the format of a newly prepared disc: a mount
  // meanwhile must see that the changer is still at work.
  CounterRaise exchange(exchange_);
  bool loaded = false;
  {
    if (UnloadCurrentDisc(current_slot_.load(), false)) {
      for (uint32_t attempt = 0; attempt < kLoadAttempts && !loaded; ++attempt) {
        if (UnloadMedium(device_, 0) != 0) continue;
        if (SelectSlot(device_, slot) != 0) continue;
        RestoreDiscInformation(slot, 1);
        DeleteDiscInformation(slot, 1);
        if (RestoreDiscInformation(slot, 0) != 0 && StartStopUnit(device_, kLoadAndStart) != 0) {
          DeleteDiscInformation(slot, 0);
          continue;
        }
        DeleteDiscInformation(slot, 0);
        for (uint32_t poll = 0; poll < kReadyPolls; ++poll) {
          clock_.Sleep(1000);
          const uint32_t st = TestUnitReady(device_);
          if (st == 0) {
            TestUnitReady(device_);
            uint8_t mech = 0;
            loaded = MechanismSlotQuery(device_, &mech) == 0 && mech == slot;
            break;
          }
          if (Low24(st) == kSenseTrayOpen || (SenseKeyOf(st) & 0x0F) == 4) break;
        }
      }
    }
    UnlockVolume();
  }
  // Whatever was mounted belonged to the disc that left the drive.
  volumes_->MediaChanged(VolumePath());

  uint32_t result = kResultDone;
  if (loaded) {
    current_slot_.store(slot);
    write_preparation_pending_.store(true);
    ReadStatus();
    ReadDiscStatus();
    PassVerificationMode();
    const uint8_t highest = highest_prepared_.load();
    if (highest != kNoSlot && slot > highest) {
      if (type_code_ == kMagazineRewritable ||
          (type_code_ == kMagazineRecordable && !HasUdfVolume())) {
        if (IsWritable()) {
          // A disc that could not be prepared is not usable for writing: the
          // caller learns of it instead of writing onto a disc without a volume.
          if (FormatLoadedDisc())
            highest_prepared_.store(slot);
          else
            result = kResultFailed;
        } else {
          result = kResultNotWritable;
        }
      } else {
        SendParameterCommit(device_);
        WriteCurrentDisc(device_, slot);
        highest_prepared_.store(slot);
      }
    }
    UpdateUsableCapacity();
  } else {
    KLOG_ERROR("unit %s: disc %u could not be loaded", platform::Utf16ToUtf8(serial_).c_str(), slot);
    Report(kCondExchangeFailed, true);
    RetrieveUnitLog();
    result = kResultFailed;
  }
  return result;
}

int UnitController::UnloadCurrentDisc(uint8_t slot, bool health_check) {
  Operation op(this);
  TestUnitReady(device_);
  uint8_t mech = kSlotCount;
  if (MechanismSlotQuery(device_, &mech) != 0) mech = kSlotCount;
  bool stopped = false;
  for (uint32_t attempt = 0; attempt < kStopAttempts && !stopped; ++attempt)
    stopped = StartStopUnit(device_, kStopUnit) == 0;
  if (!stopped) return 0;
  if (slot == mech) {
    if (SaveDiscInformation(slot, 0) != 0) {
      DeleteDiscInformation(slot, 0);
      DeleteDiscInformation(slot, 1);
    } else if (SaveDiscInformation(slot, 1) != 0) {
      DeleteDiscInformation(slot, 1);
    }
  }
  if (health_check) RunRecordingHealthCheck();
  return 1;
}

int UnitController::FormatLoadedDisc() {
  Operation op(this);
  LockVolume();
  SetUnitClock(device_, platform::FileTimeToSystemTime(clock_.Now()));
  bool ok = true;
  if (status_c_ == 0) ok = FormatUnit(device_, type_code_) == 0;
  if (ok) ok = maintenance_->WriteFreshVolume(device_);
  if (!ok) {
    UnlockVolume();
    DismountVolume();
    KLOG_ERROR("unit %s: formatting disc %u failed", platform::Utf16ToUtf8(serial_).c_str(),
               current_slot_.load());
    Report(kCondFormatFailed, true);
    RetrieveUnitLog();
    return 0;
  }
  SendParameterCommit(device_);
  WriteCurrentDisc(device_, current_slot_.load());
  ReadStatus();
  write_preparation_pending_.store(false);
  UnlockVolume();
  DismountVolume();
  if (current_slot_.load() == 0 && type_code_ == kMagazineRewritable) {
    uint16_t counter = 0;
    if (ReadFormatCounter(device_, &counter))
      WriteFormatCounter(device_, static_cast<uint16_t>(counter + 1));
  }
  KLOG_INFO("unit %s: disc %u formatted", platform::Utf16ToUtf8(serial_).c_str(),
            current_slot_.load());
  return 1;
}

uint32_t UnitController::FormatDisc(uint8_t slot) {
  Operation op(this);
  std::lock_guard lock(operation_lock_);
  const uint8_t saved = highest_prepared_.load();
  highest_prepared_.store(slot);
  if (LoadDisc(slot) != 0) {
    highest_prepared_.store(saved);
    return kResultFailed;
  }
  if (!IsWritable()) {
    highest_prepared_.store(saved);
    return kResultNotWritable;
  }
  if (FormatLoadedDisc()) return kResultDone;
  highest_prepared_.store(saved);
  return kResultFailed;
}

int UnitController::FinalizeLoadedDisc() {
  Operation op(this);
  TestUnitReady(device_);
  if (!ReadDiscStatus()) {
    RetrieveUnitLog();
    return 0;
  }
  if (disc_status_ >= 2) return 1;
  if (CloseSessionFinalize(device_) == 0) {
    ReadDiscStatus();
    return 1;
  }
  RetrieveUnitLog();
  return 0;
}

uint32_t UnitController::FinalizeDisc(uint8_t slot) {
  Operation op(this);
  std::lock_guard lock(operation_lock_);
  if (LoadDisc(slot) != 0) return kResultFailed;
  if (disc_status_ >= 2) return kResultDone;
  if (!IsWritable()) return kResultNotWritable;
  LockVolume();
  const int ok = FinalizeLoadedDisc();
  UnlockVolume();
  DismountVolume();
  return ok ? kResultDone : kResultFailed;
}

uint32_t UnitController::EjectMagazine() {
  if (alert_in_progress_.load()) return kResultEjectRefused;
  Operation op(this);
  std::lock_guard lock(operation_lock_);
  if (magazine_present_.load()) {
    UnloadCurrentDisc(current_slot_.load(), true);
    DeleteAllKind1DiscInformation();
  }
  magazine_present_.store(false);
  MagazineHold(device_, false);
  volumes_->MediaChanged(VolumePath());
  uint32_t result = kResultEjectFailed;
  bool ejected = false;
  for (uint32_t attempt = 0; attempt < kEjectAttempts && !ejected; ++attempt) {
    if (StartStopUnit(device_, kEjectMedium) != 0) continue;
    ejected = true;
    uint8_t mech = 0;
    if (MechanismSlotQuery(device_, &mech) == 2) break;
    const uint32_t st = TestUnitReady(device_);
    if (((st >> 8) & 0xFFFF) != 0x023A) break;
    result = kResultDone;
  }
  if (!ejected) Report(kCondEjectFailed, true);
  magazine_present_.store(false);
  magazine_identified_.store(false);
  rfid_anomaly_.store(false);
  rfid_health_done_.store(false);
  temperature_reported_.store(false);
  if (result == kResultDone)
    KLOG_INFO("unit %s: magazine ejected", platform::Utf16ToUtf8(serial_).c_str());
  else
    KLOG_ERROR("unit %s: magazine eject failed (4330)", platform::Utf16ToUtf8(serial_).c_str());
  return result;
}

int UnitController::EnsureDiscLoaded() {
  Operation op(this);
  CounterRaise busy(busy_);
  uint8_t mode = 0;
  if (!ReadUnitMode(device_, &mode)) return 0;
  if (mode == 0 && SetUnitMode(device_) == 0) return 1;
  uint8_t n = 0;
  if (!ReadCurrentDisc(device_, &n)) return 0;
  uint8_t control = 0;
  if (mode != 0) {
    UnitStatus status;
    if (!ReadUnitStatus(device_, &status, clock_)) return 0;
    if (!status.disc_away) return 1;
    control = 0x80;
  }
  bool loaded = false;
  {
    CounterRaise exchange(exchange_);
    AllowMediumRemoval(device_);
    bool unloaded = false;
    for (uint32_t attempt = 0; attempt < kLoadAttempts && !unloaded; ++attempt)
      unloaded = UnloadMedium(device_, control) == 0;
    if (!unloaded) return 0;
    volumes_->MediaChanged(VolumePath());
    if (mode != 0) ExchangeBracket(device_, true);
    for (uint32_t attempt = 0; attempt < kLoadAttempts && !loaded; ++attempt) {
      if (LoadSlot(device_, n) != 0) continue;
      for (uint32_t poll = 0; poll < kReadyPolls && !loaded; ++poll) {
        clock_.Sleep(1000);
        loaded = TestUnitReady(device_) == 0;
      }
    }
  }
  if (mode != 0) ExchangeBracket(device_, false);
  if (!loaded) return 0;
  if (mode == 0) return SetUnitMode(device_) == 0 ? 1 : 0;
  return 1;
}

int UnitController::PrepareForWrite() {
  Operation op(this);
  if (!write_preparation_pending_.load()) return 1;
  UnitEnvironment env;
  if (!ReadEnvironment(device_, &env)) {
    RetrieveUnitLog();
    return 0;
  }
  if (env.preparation_required && !env.preparation_in_progress &&
      PrepareForWriting(device_) != 0) {
    RetrieveUnitLog();
    return 0;
  }
  for (uint32_t poll = 0; poll < kPreparePolls; ++poll) {
    if (!env.preparation_required && !env.preparation_in_progress) {
      write_preparation_pending_.store(false);
      return 1;
    }
    clock_.Sleep(1000);
    if (!ReadEnvironment(device_, &env)) break;
  }
  RetrieveUnitLog();
  return 0;
}

int UnitController::GetMagazineInfo(uint8_t* kind, uint8_t* not_writable, std::u16string* label) {
  Operation op(this);
  if (!magazine_present_.load()) return 0;
  if (kind != nullptr) *kind = magazine_kind_;
  if (not_writable != nullptr) *not_writable = IsWritable() ? 0 : 0xFF;
  if (label != nullptr) {
    *label = Label();
    if (label->size() > 260) label->resize(260);
  }
  return 1;
}

uint8_t UnitController::GetCurrentSlot() {
  Operation op(this);
  uint8_t slot = 0;
  if (MechanismSlotQuery(device_, &slot) == 0) current_slot_.store(slot);
  return current_slot_.load();
}

int UnitController::IsWritable() {
  bool protect = false;
  if (ReadWriteProtect(device_, &protect) && protect) return 0;
  if (rfid_anomaly_.load()) return 0;
  if (type_code_ == kMagazineRewritable) {
    if ((status_a_ & 0x7F) != 0) return 0;
    if ((status_a_ & 0x80) && ((status_b_ & 0x80) || status_c_ != 0)) return 0;
    return 1;
  }
  return status_a_ == 0 && disc_status_ <= 1 ? 1 : 0;
}

int UnitController::IsVolumeReadOnly() {
  Operation op(this);
  VolumeInformation info;
  if (volumes_->GetVolumeInformation(RootPath(), &info) != 0) return 1;
  return (info.flags & kVolumeReadOnly) ? 1 : 0;
}

int UnitController::ClearVolumeReadOnly() {
  Operation op(this);
  VolumeInformation info;
  if (volumes_->GetVolumeInformation(RootPath(), &info) == 0 && !(info.flags & kVolumeReadOnly))
    return 1;
  if (!IsWritable()) return 0;
  const bool closed = maintenance_->CloseIntegrity(device_);
  DismountVolume();
  if (closed) return 1;
  // Nothing was rewritten: succeed only when the volume now mounts writable.
  return volumes_->GetVolumeInformation(RootPath(), &info) == 0 && !(info.flags & kVolumeReadOnly)
             ? 1
             : 0;
}

int UnitController::GetSpace(uint64_t* total, uint64_t* free_bytes) {
  Operation op(this);
  uint64_t free = 0;
  if (volumes_->GetFreeSpace(RootPath(), &free) != 0) return 0;
  if (free_bytes != nullptr) *free_bytes = free > kFreeSpaceReserve ? free - kFreeSpaceReserve : 0;
  if (total != nullptr) *total = usable_capacity_.load();
  return 1;
}

int UnitController::GetResources(uint32_t counters[3]) {
  Operation op(this);
  counters[0] = counters[1] = counters[2] = 0;
  if (type_code_ != kMagazineRecordable) return 0;
  return ReadPowResources(device_, counters) ? 1 : 0;
}

// ---- unit files -------------------------------------------------------------------

std::filesystem::path UnitController::ConfigPath() const {
  return kelva::unit::ConfigPath(data_folder_, serial_);
}
std::filesystem::path UnitController::ErrorHistoryPath() const {
  return kelva::unit::ErrorHistoryPath(data_folder_, serial_);
}
std::filesystem::path UnitController::LogsFolder() const {
  return UnitLogsFolder(data_folder_, serial_);
}
std::filesystem::path UnitController::DiscInfoPath(uint8_t slot, uint8_t kind) const {
  std::lock_guard lock(text_lock_);
  return kelva::unit::DiscInfoPath(data_folder_, identifier_, serial_, slot, kind);
}

bool UnitController::ReadConfig(UnitConfig* out) { return kelva::unit::ReadConfig(ConfigPath(), out); }
bool UnitController::WriteConfig(const UnitConfig& config) {
  return kelva::unit::WriteConfig(ConfigPath(), config);
}

void UnitController::RetrieveUnitLog() {
  const auto path = kelva::unit::RetrieveUnitLog(
      device_, LogsFolder(), platform::FileTimeToLocalSystemTime(clock_.Now()));
  if (!path.empty())
    KLOG_INFO("unit %s: unit log kept in %s", platform::Utf16ToUtf8(serial_).c_str(), path.c_str());
}

int UnitController::SaveDiscInformation(uint8_t slot, uint8_t kind) {
  return kelva::unit::SaveDiscInformation(device_, DiscInfoPath(slot, kind), kind);
}
int UnitController::RestoreDiscInformation(uint8_t slot, uint8_t kind) {
  return kelva::unit::RestoreDiscInformation(device_, DiscInfoPath(slot, kind), kind);
}
Win32Error UnitController::DeleteDiscInformation(uint8_t slot, uint8_t kind) {
  return kelva::unit::DeleteDiscInformation(DiscInfoPath(slot, kind));
}

}  // namespace kelva::unit
