// UnitController: the per-unit object that knows which magazine and which disc
// are in a unit, moves discs between the magazine and the drive, prepares,
// formats and finalizes discs, ejects the magazine, raises user conditions and
// gives file and volume access to the disc in the drive.
//
// Every operation first waits (polling once a second on the clock) until the
// ready flag is set or a disc change is running, and counts itself in the
// in-use counter. Disc changes, formats, finalizes, ejects and magazine
// identification are serialised by the operation lock; LoadDisc relies on its
// callers for that. The disc access operations may run on many threads at
// once. Not copyable; Destroy (or the destructor) stops the monitor thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/sync.h"
#include "service/unit/condition_table.h"
#include "service/unit/unit_commands.h"
#include "service/unit/unit_files.h"
#include "service/unit/unit_seams.h"
#include "service/unit/volume_access.h"

namespace kelva::unit {

inline constexpr uint8_t kSlotCount = 12;
inline constexpr uint8_t kNoSlot = 0xFF;
inline constexpr uint8_t kTypeUnknown = 0xFF;
inline constexpr uint64_t kCapacityMargin = 0x150000;
inline constexpr uint64_t kFreeSpaceReserve = 0x4000000;  // 64 MiB on every disc
inline constexpr const char16_t* kUnknownIdentifier = u"Unknown";
inline constexpr const char16_t* kBlankLabel = u"-----------";
inline constexpr const char16_t* kNoSerial = u"NO SERIAL";

// Results of the magazine operations.
inline constexpr uint32_t kResultDone = 0;
inline constexpr uint32_t kResultFailed = 5;
inline constexpr uint32_t kResultNotWritable = 19;
inline constexpr uint32_t kResultNotReady = 21;
inline constexpr uint32_t kResultEjectRefused = 1;
inline constexpr uint32_t kResultEjectFailed = 4330;
inline constexpr uint32_t kErrorClosing = 641;

struct UnitControllerOptions {
  platform::Clock* clock = nullptr;            // nullptr: the real clock
  std::filesystem::path data_folder;           // empty: platform::DataFolder()
  VolumeAccess* volumes = nullptr;             // required
  DiscMaintenance* maintenance = nullptr;      // nullptr: formats and repairs nothing
  NotifierChannel* notifier = nullptr;         // nullptr: the notifier's mailslot
  Language language = SystemLanguage();
  // Whether a user session is active on the console (the status-change alert
  // shows its message there). Empty: whether a notifier listens.
  std::function<bool()> console_session_active;
  // False: no monitor thread is started and the owner runs the monitor's
  // ticks itself with MonitorTick() (tests that count ticks).
  bool monitor_thread = true;
};

// Handle of a file opened through the controller.
using DiscFile = std::unique_ptr<VolumeFile>;
// Enumeration callback: name, attributes, context; return 0 to stop.
using EnumerateCallback = int (*)(const std::u16string& name, uint32_t attributes, void* context);

class UnitController {
 public:
  // Creates the controller for the unit on device whose raw volume is
  // raw_volume_name (ending with "\", at most 49 characters). Null when the
  // options lack the volume access.
  static std::unique_ptr<UnitController> Create(std::u16string_view raw_volume_name,
                                                DeviceHandle device,
                                                const UnitControllerOptions& options);
  ~UnitController();
  UnitController(const UnitController&) = delete;
  UnitController& operator=(const UnitController&) = delete;

  // Releases the hold and stops the monitor thread. Idempotent.
  void Destroy();
  // Stops the monitor (a wait of the status-change alert ends too) and joins
  // the monitor thread and a release run in progress, which use the volume
  // worker: the owner calls it before the worker goes. Idempotent.
  void StopThreads();

  // ---- magazine and drive ------------------------------------------------------
  void IdentifyMagazine(std::u16string* identifier_out);
  int AcceptMount();
  int FindCurrentDisc(uint8_t* slot_out, uint8_t* blank_out);
  uint32_t LoadDisc(uint8_t slot);
  int UnloadCurrentDisc(uint8_t slot, bool health_check);
  uint32_t FormatDisc(uint8_t slot);
  uint32_t FinalizeDisc(uint8_t slot);
  int FormatLoadedDisc();
  int FinalizeLoadedDisc();
  uint32_t EjectMagazine();
  int EnsureDiscLoaded();
  int PrepareForWrite();
  int GetMagazineInfo(uint8_t* kind, uint8_t* not_writable, std::u16string* label);
  uint8_t GetCurrentSlot();
  int IsWritable();
  int IsVolumeReadOnly();
  int ClearVolumeReadOnly();
  int GetSpace(uint64_t* total, uint64_t* free_bytes);
  int GetResources(uint32_t counters[3]);
  // The disc has a UDF volume (with repair and a second query when damaged).
  bool HasUdfVolume();

  // ---- power ------------------------------------------------------------------
  // The system is going to sleep: quiets the unit and puts the disc back.
  // Returns when done (the unit manager waits for every unit).
  void Suspend();
  // The system woke up: brings the unit back into a known state, ejecting the
  // magazine when that fails. Runs on a thread of its own.
  void Resume();

  // ---- monitor ----------------------------------------------------------------
  // One tick of the monitor (the thread runs one a second): readiness, the
  // dropped disc, temperature, the idle checks without a magazine, the release
  // request and the repeated notices.
  void MonitorTick();
  // The unit dropped the disc while a magazine is mounted: tells the user in
  // the console session and puts the disc back.
  void StatusChangeAlert();

  // ---- conditions --------------------------------------------------------------
  // Records condition index in the error history and tells the user. 1 when
  // recorded and written to disk; 0 when suppressed by the repeat guard, out
  // of range or when writing the history file failed.
  int Report(uint32_t index, bool with_code);
  // Tells the volume worker, the unit's host memo and the notifier. 1 when the
  // notifier message was delivered.
  int SendUserMessage(uint32_t index, bool with_code);
  // Media notice for a drive root such as "E:\"; 1 when delivered.
  int SendMediaNotice(std::u16string_view drive_root, bool inserted);
  ErrorHistory History();

  // ---- unit files --------------------------------------------------------------
  bool ReadConfig(UnitConfig* out);
  bool WriteConfig(const UnitConfig& config);
  void RetrieveUnitLog();
  int SaveDiscInformation(uint8_t slot, uint8_t kind);
  int RestoreDiscInformation(uint8_t slot, uint8_t kind);
  platform::Win32Error DeleteDiscInformation(uint8_t slot, uint8_t kind);
  std::filesystem::path ConfigPath() const;
  std::filesystem::path ErrorHistoryPath() const;
  std::filesystem::path LogsFolder() const;
  std::filesystem::path DiscInfoPath(uint8_t slot, uint8_t kind) const;

  // ---- disc volume access (paths relative to the volume root) ------------------
  platform::Win32Error LockVolume();
  platform::Win32Error UnlockVolume();
  platform::Win32Error DismountVolume();
  platform::Win32Error FlushVolume();
  bool Exists(std::u16string_view path);
  bool GetInfo(std::u16string_view path, uint32_t* attributes, platform::FileTime* creation,
               platform::FileTime* last_access, platform::FileTime* last_write, uint64_t* size);
  bool EnumerateRoot(EnumerateCallback callback, void* context);
  bool Enumerate(std::u16string_view folder, std::u16string_view pattern, EnumerateCallback callback,
                 void* context);
  platform::Win32Error CreateNew(std::u16string_view path, bool for_writing, bool unbuffered,
                                 DiscFile* out);
  platform::Win32Error OpenExisting(std::u16string_view path, bool for_writing, bool unbuffered,
                                    DiscFile* out);
  platform::Win32Error Close(DiscFile* file);
  platform::Win32Error Seek(VolumeFile* file, uint64_t offset);
  platform::Win32Error Read(VolumeFile* file, void* buffer, uint32_t length, uint32_t* done);
  platform::Win32Error Write(VolumeFile* file, const void* buffer, uint32_t length, uint32_t* done);
  platform::Win32Error SetEndOfFile(VolumeFile* file, uint64_t size);
  platform::Win32Error Delete(std::u16string_view path);
  platform::Win32Error GetAttributes(std::u16string_view path, uint32_t* attributes);
  platform::Win32Error CreateFolder(std::u16string_view path);
  platform::Win32Error CreateFolderChain(std::u16string_view path);

  // ---- state -------------------------------------------------------------------
  void SetVolumeWorker(UnitVolumeWorker* worker) { volume_worker_ = worker; }
  void SetReady(bool ready) { ready_.store(ready ? 1 : 0); }
  bool IsReady() const { return ready_.load() != 0; }
  void SetSyncHold(bool on) { sync_hold_.store(on); }
  void SetClosing(bool on) { closing_.store(on); }
  bool Closing() const { return closing_.load(); }
  void SetAlertInProgress(bool on) { alert_in_progress_.store(on); }
  void SetRfidAnomaly(bool on) { rfid_anomaly_.store(on); }
  bool RfidAnomaly() const { return rfid_anomaly_.load(); }
  bool RfidHealthDone() const { return rfid_health_done_.load(); }
  bool TemperatureReported() const { return temperature_reported_.load(); }
  bool SuspendedWithMagazine() const { return suspended_with_magazine_.load(); }
  bool AlertInProgress() const { return alert_in_progress_.load(); }
  // The notices the monitor repeats while the volume layer keeps them set:
  // closing (and second closing) "Updating file management information", and
  // "Now reading".
  void SetClosingNotice(bool on) { closing_notice_.store(on); }
  void SetSecondClosingNotice(bool on) { second_closing_notice_.store(on); }
  void SetReadingNotice(bool on) { reading_notice_.store(on); }
  bool ClosingNotice() const { return closing_notice_.load(); }
  bool SecondClosingNotice() const { return second_closing_notice_.load(); }
  // The magazine's volume was dismounted: forget that a magazine is present
  // and identified, and its notices, so that the next mount identifies it afresh.
  void ResetMagazineState() {
    magazine_present_.store(false);
    magazine_identified_.store(false);
    reading_notice_.store(false);
    closing_notice_.store(false);
    second_closing_notice_.store(false);
  }
  bool MagazinePresent() const { return magazine_present_.load(); }
  bool MagazineIdentified() const { return magazine_identified_.load(); }
  bool WritePreparationPending() const { return write_preparation_pending_.load(); }
  bool ReadingNotice() const { return reading_notice_.load(); }
  int32_t InUse() const { return in_use_.load(); }
  uint8_t BusyCount() const { return busy_.load(); }
  uint8_t ExchangeCount() const { return exchange_.load(); }
  uint8_t CurrentSlot() const { return current_slot_.load(); }
  uint8_t HighestPreparedSlot() const { return highest_prepared_.load(); }
  uint8_t MagazineKind() const { return magazine_kind_; }
  uint8_t MagazineTypeCode() const { return type_code_; }
  uint8_t DiscStatus() const { return disc_status_; }
  uint64_t UsableCapacity() const { return usable_capacity_.load(); }
  std::u16string Serial() const { return serial_; }
  std::u16string Identifier();
  std::u16string Label();
  const std::u16string& RawVolumeName() const { return raw_volume_name_; }
  DeviceHandle device() const { return device_; }
  platform::Clock& clock() { return clock_; }
  platform::CriticalSection& OperationLock() { return operation_lock_; }
  bool MonitorRunning() const { return monitor_.joinable(); }

 private:
  UnitController(std::u16string_view raw_volume_name, DeviceHandle device,
                 const UnitControllerOptions& options);

  // Counts an operation in the in-use counter after waiting for readiness.
  class Operation {
   public:
    explicit Operation(UnitController* c);
    ~Operation();
   private:
    UnitController* c_;
  };
  struct CounterRaise {  // raises an 8-bit counter for a scope
    explicit CounterRaise(std::atomic<uint8_t>& c) : c_(c) { c_.fetch_add(1); }
    ~CounterRaise() { c_.fetch_sub(1); }
    std::atomic<uint8_t>& c_;
  };

  void WaitUntilReady();
  void PassVerificationMode();
  bool ReadStatus();  // unit status into the type code and status bytes
  bool ReadDiscStatus();
  void UpdateUsableCapacity();
  bool DiscIsUsed();  // has a UDF volume and a "STRUCT" entry in its root
  uint32_t LoadDiscAndSettle(uint8_t slot);
  void DeleteAllKind1DiscInformation();
  void MonitorLoop();
  void MonitorNotices();
  void StartRelease(UnitVolumeWorker* worker);
  // Sleeps ms on the clock; false (at once) when the controller is being
  // destroyed, so that no wait outlives it.
  bool PauseUnlessStopping(uint32_t ms);
  bool ConsoleSessionActive();
  // Counter-page checks of the drive and changer wear, and of the RFID reader
  // (at identification an anomaly makes the magazine not writable).
  void RunRfidHealthCheck(bool identifying);
  void RunRecordingHealthCheck();

  // Disc access helpers.
  std::u16string FullPath(std::u16string_view relative) const;
  std::u16string VolumePath() const;  // without the trailing "\"
  std::u16string RootPath() const { return raw_volume_name_; }
  platform::Win32Error OpenVolumeRetrying(bool write, std::unique_ptr<VolumeHandle>* out);
  platform::Win32Error DismountOnce();
  bool RepairableFileError(platform::Win32Error e) const;
  platform::Win32Error RepairAndReopen(std::u16string_view path, platform::Win32Error first,
                                       bool creating, const std::function<platform::Win32Error()>& retry);

  platform::Clock& clock_;
  std::filesystem::path data_folder_;
  VolumeAccess* volumes_;
  DiscMaintenance* maintenance_;
  NotifierChannel* notifier_;
  Language language_;
  std::unique_ptr<NoDiscMaintenance> own_maintenance_;
  std::function<bool()> console_session_active_;

  DeviceHandle device_;
  std::u16string raw_volume_name_;
  std::unique_ptr<VolumeHandle> volume_handle_;  // held while locked
  uint32_t volume_lock_depth_ = 0;
  platform::CriticalSection volume_lock_;        // guards the handle and depth

  std::atomic<int32_t> in_use_{0};
  std::atomic<int32_t> ready_{1};
  std::atomic<uint8_t> busy_{0};
  std::atomic<uint8_t> exchange_{0};
  platform::CriticalSection operation_lock_;
  platform::CriticalSection history_lock_;

  std::atomic<uint8_t> current_slot_{0};
  std::atomic<uint8_t> highest_prepared_{kNoSlot};
  // Written by the magazine operations, read by every thread.
  std::atomic<uint8_t> magazine_kind_{0};
  std::atomic<uint8_t> type_code_{kTypeUnknown};
  std::atomic<uint8_t> capacity_code_{0};
  std::atomic<uint8_t> status_a_{0}, status_b_{0}, status_c_{0};
  std::atomic<uint8_t> disc_status_{0};
  std::atomic<uint64_t> usable_capacity_{0};

  std::atomic<bool> magazine_present_{false};
  std::atomic<bool> magazine_identified_{false};
  std::atomic<bool> identifier_valid_{false};
  std::atomic<bool> write_preparation_pending_{false};
  std::atomic<bool> dismount_in_progress_{false};
  std::atomic<bool> reading_notice_{false};
  std::atomic<bool> closing_notice_{false};
  std::atomic<bool> second_closing_notice_{false};
  std::atomic<bool> alert_in_progress_{false};
  std::atomic<bool> rfid_anomaly_{false};
  std::atomic<bool> rfid_health_done_{false};
  std::atomic<bool> temperature_reported_{false};
  std::atomic<bool> suspended_with_magazine_{false};
  std::atomic<bool> sync_hold_{false};
  std::atomic<bool> closing_{false};

  mutable platform::CriticalSection text_lock_;  // guards the identifier and label
  std::u16string identifier_ = kUnknownIdentifier;
  std::u16string label_ = kBlankLabel;
  std::u16string serial_ = kNoSerial;

  ErrorHistory history_;
  bool history_writable_ = true;  // false: the file could neither be read nor set aside
  uint32_t last_reported_ = kNoCondition;
  platform::FileTime last_reported_time_ = 0;

  std::atomic<UnitVolumeWorker*> volume_worker_{nullptr};
  std::unique_ptr<platform::Event> monitor_stop_;
  std::thread monitor_;
  // Monitor state, touched only by the thread that runs the ticks.
  struct MonitorState {
    uint32_t tick = 1;               // 1 .. 3599, then 0
    uint8_t closing_countdown = 15;  // notice when 0, period 30
    uint8_t second_closing_countdown = 15;
    uint8_t reading_countdown = 10;  // period 20
    bool release_handled = false;    // a release run was started for the pending request
  } monitor_state_;
  // The unmount-and-eject run asked for at the unit; one at a time, joined by
  // the next one or by Destroy.
  std::thread release_thread_;
  std::atomic<bool> release_running_{false};
  bool destroyed_ = false;
};

}  // namespace kelva::unit
