// UnitManager: the service-wide list of attached archive units. It finds the
// units among the optical devices of the computer (by their identity string),
// keeps one UnitEntry per unit sorted by device number, and turns device,
// media, power and mount-point events into work for the unit they concern:
//   - device arrivals and removals are queued and run one after the other on
//     the device-event worker (an arrival followed by its removal before the
//     worker got to it cancels out);
//   - media arrivals and removals are queued per unit and run in order on the
//     unit's media worker, which mounts and dismounts through the unit's
//     volume worker; a queued removal cancels a queued arrival;
//   - suspend waits for every unit's controller, resume does not wait.
//
// For every unit the manager hides the raw optical volume (its mount points
// are removed and the access filter is told to guard it), opens the device
// for commands, registers for its handle notifications and creates the unit's
// controller and volume worker. Removing a unit undoes all of that in reverse.
//
// Everything the manager uses of the outside world comes in through
// UnitManagerOptions. Thread safe. Lock order: the manager's lock before a
// unit's lock. Every thread the manager starts is joined by the manager:
// finished workers by the next start, the rest by teardown or the destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_manager.h"
#include "platform/device_notify.h"
#include "platform/scsi_device.h"
#include "platform/sync.h"
#include "service/unit/unit_controller.h"
#include "service/unit/volume_worker.h"

namespace kelva::unit {

// The identities of our units, compared without regard to case.
inline constexpr const char16_t* kUnitIdentities[] = {u"KORRINDA QX V1A0", u"NORVE QX V1A0"};
inline constexpr size_t kMaxIdentityLength = 63;
// A raw volume GUID name: "\\?\Volume{GUID}\".
inline constexpr size_t kRawVolumeNameLength = 49;
inline constexpr uint32_t kRawVolumeAttempts = 10;
inline constexpr uint32_t kRawVolumeRetryMs = 100;
// The device settles this long after a hot arrival before its volume worker starts.
inline constexpr uint32_t kArrivalSettleMs = 500;
// Longest device interface path a probe accepts (what the interface detail holds).
inline constexpr size_t kMaxInterfacePath = 261;
// Longest path copied out by FindUnitByDriveLetter.
inline constexpr size_t kMaxCopiedPath = 260;
// Results of FindUnitByDriveLetter.
inline constexpr uint8_t kUnitFound = 0;
inline constexpr uint8_t kUnitNotFound = 3;

// The identity string of a device from its descriptor: vendor, then product,
// separated by one space, each with its trailing characters of code 32 or less
// dropped, at most 63 characters. An empty string is skipped.
std::u16string BuildIdentity(const platform::StorageDeviceDescriptor& descriptor);
// True for the identity of one of our units.
bool IsUnitIdentity(std::u16string_view identity);
// The device number N of a volume device name "\Device\CdRom<N>" (prefix
// compared without regard to case); false for any other name.
bool ParseCdRomNumber(std::u16string_view device_name, uint32_t* number);
// The matching rule of an arrival path against a listed unit's device path:
// an interface path ("\\?\...") is compared without regard to case; any other
// path is compared with the stored path after its "\\?\" prefix, letters
// folded to upper case and "\" taken as "#", and matches when it ends where
// the stored path has a "#".
bool ArrivalPathMatches(std::u16string_view given, std::u16string_view stored);

// What the manager needs of the service core.
class UnitHost {
 public:
  virtual ~UnitHost() = default;
  // Sends the access filter its volume message (1: guard the volume, 0: release it).
  virtual void SendFilterMessage(uint8_t command, std::u16string_view raw_volume_name) = 0;
  // Registers for the media events of an open device; 0 on failure.
  virtual platform::NotificationToken RegisterHandleNotification(platform::DeviceHandle handle) = 0;
  virtual void UnregisterHandleNotification(platform::NotificationToken token) = 0;
};

struct UnitManagerOptions {
  platform::DeviceManager* devices = nullptr;  // required
  UnitHost* host = nullptr;                    // required
  platform::Clock* clock = nullptr;            // nullptr: the real clock
  // Options of every unit's controller (its clock defaults to the manager's).
  UnitControllerOptions controller;
  // Creates a unit's volume worker; empty: units have none.
  VolumeWorkerFactory make_volume_worker;
  // Called once a unit's controller exists, before its volume worker is made:
  // makes the raw volume's file system reachable through the controller's
  // volume access. detach_volume is called when the unit goes, before its
  // controller is destroyed. Both optional.
  std::function<void(std::u16string_view raw_volume_name, UnitController& controller)> attach_volume;
  std::function<void(std::u16string_view raw_volume_name)> detach_volume;
};

// One attached unit. Owned by the manager; its fields are the manager's to
// change (the lock guards the media-event queue and the media worker).
class UnitEntry {
 public:
  UnitEntry() = default;
  UnitEntry(const UnitEntry&) = delete;
  UnitEntry& operator=(const UnitEntry&) = delete;

  uint32_t device_number() const { return device_number_; }
  const std::u16string& identity() const { return identity_; }
  const std::u16string& device_path() const { return device_path_; }
  const std::u16string& raw_volume_name() const { return raw_volume_name_; }
  UnitController* controller() const { return controller_.get(); }
  VolumeWorker* volume_worker() const { return volume_worker_.get(); }
  // The open device as the notification seam names it; kInvalidDeviceHandle
  // when the device could not be opened for read and write.
  platform::DeviceHandle device_handle() const;

 private:
  friend class UnitManager;

  // A short-lived thread of the unit (resume, drive-letter refresh).
  struct HelperThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  platform::CriticalSection lock_;
  uint32_t device_number_ = 0;
  std::u16string identity_;
  std::u16string device_path_;
  std::u16string raw_volume_name_;
  std::unique_ptr<platform::ScsiDevice> device_;       // null when the open failed
  std::unique_ptr<platform::ScsiDevice> no_device_;    // answers for a device that did not open
  platform::NotificationToken notification_ = 0;
  std::unique_ptr<UnitController> controller_;
  std::unique_ptr<VolumeWorker> volume_worker_;
  bool volume_attached_ = false;

  std::deque<bool> media_events_;  // true: media arrival, false: media removal
  bool media_running_ = false;     // the media worker drains the queue
  std::thread media_thread_;
  std::vector<HelperThread> helpers_;  // guarded by the manager's lock
};

class UnitManager {
 public:
  explicit UnitManager(UnitManagerOptions options);
  // Stops taking device events, joins the device-event worker and tears
  // every unit down.
  ~UnitManager();
  UnitManager(const UnitManager&) = delete;
  UnitManager& operator=(const UnitManager&) = delete;

  // The control channel's sink, handed to every volume worker created after
  // this call.
  void SetVolumeNotificationCallback(VolumeNotificationCallback callback);

  // Enumerates the optical devices present and adds every unit found.
  // ERROR_SUCCESS, or the enumeration's error with no unit added.
  platform::Win32Error Scan();

  // Queues a device arrival or removal (interface path) for the device-event worker.
  void DeviceEvent(bool arrival, std::u16string_view device_path);
  // Queues a media arrival or removal for the unit whose open device is handle.
  void MediaEvent(bool arrival, platform::DeviceHandle handle);

  // Runs every unit's controller suspend on a thread of its own and returns
  // when all are done.
  void Suspend();
  // Starts every unit's controller resume and returns at once.
  void Resume();
  // Lets every unit's volume worker find its drive letter again (each on a
  // short-lived thread).
  void RefreshDriveLetters();
  // Tears every unit down. Safe to call again.
  void Teardown();

  // The volume worker holding the drive letter (A-Z, a-z), or null. The
  // worker stays valid until its unit is removed or torn down.
  VolumeWorker* FindVolumeWorkerByDriveLetter(char16_t letter);
  // kUnitFound with the unit's device path and raw volume name (each at most
  // 260 characters), or kUnitNotFound.
  uint8_t FindUnitByDriveLetter(char16_t letter, std::u16string* device_path,
                                std::u16string* raw_volume_name);

  // Adds a probed unit (arrival: it came while the service runs). False when
  // it could not be added (or is listed already).
  bool Add(uint32_t device_number, std::u16string_view identity, std::u16string_view device_path,
           std::u16string_view raw_volume_name, bool arrival);
  // The device-event worker's two operations.
  void DeviceArrival(std::u16string_view device_path);
  void DeviceRemoval(std::u16string_view device_path);

  // The raw volume GUID name of device number N, trying 10 times 100 ms apart.
  bool FindRawVolume(uint32_t device_number, std::u16string* raw_volume_name);
  // Opens the device for queries and reads its number and identity; false
  // when any step fails or it is not one of our units.
  bool ProbeDevice(std::u16string_view device_path, uint32_t* device_number, std::u16string* identity);

  // ---- for tests and diagnostics ---------------------------------------------------
  size_t UnitCount();
  std::vector<uint32_t> DeviceNumbers();  // in list order
  // Waits until no device-event worker runs (the queue is drained).
  void WaitForDeviceEvents();
  // Waits until no media worker of any unit runs.
  void WaitForMediaEvents();

 private:
  using EntryPtr = std::unique_ptr<UnitEntry>;

  // Probes the device at path and adds it when it is one of ours and not
  // listed. Runs with the change lock held.
  void ProbeAndAdd(std::u16string_view device_path, bool arrival);
  bool IsListed(std::u16string_view device_path, bool arrival_rule);
  // Undoes what Add did for an entry that is not (any more) in the list.
  void TearDownEntry(UnitEntry& entry, bool device_removed);
  void DeviceWorker();
  void MediaWorker(UnitEntry* entry);
  // Runs work on a short-lived thread of the unit (manager lock held).
  void StartHelper(UnitEntry& entry, std::function<void()> work);
  // The listed units by device number, for the log ("cdrom1 cdrom3", or
  // "none"). Manager lock held.
  std::string ListedUnits() const;

  UnitManagerOptions options_;
  platform::Clock& clock_;

  platform::CriticalSection lock_;  // the list, the device-event queue, the worker
  std::list<EntryPtr> units_;       // sorted by device number, ascending
  struct QueuedDeviceEvent {
    bool arrival;
    std::u16string path;
  };
  std::deque<QueuedDeviceEvent> device_events_;
  bool device_running_ = false;
  std::thread device_thread_;
  bool stopping_ = false;  // the destructor runs: events are dropped
  VolumeNotificationCallback notify_;

  // Serialises additions and removals: Scan, the device-event worker and
  // Teardown. A unit being added cannot be torn down under its feet.
  std::recursive_mutex change_mu_;
};

}  // namespace kelva::unit
