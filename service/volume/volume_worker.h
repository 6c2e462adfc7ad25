// CVolumeWorker: one per attached unit. It owns the unit's host storage (the
// drive folder KELVA_MOUNT_ROOT/X with its letter) for as long as the unit is
// attached, and the magazine's volume for as long as a magazine is mounted.
//
// Threads: the mount thread creates the storage and then runs the volume's
// background writer whenever a volume is mounted; the unit's media thread
// mounts and dismounts; the host's threads deliver file system requests
// (CVolumeEvents) to the mounted volume without any worker lock; detach and
// host ejection run on threads of their own, joined by the teardown.
//
// Lock order: the operation mutex (dismount, unmount, flush, detach and
// teardown) before the creation lock (the volume's creation in Mount). Of
// several racing unmount paths the interlocked guards let exactly one act.
//
// Not copyable. The destructor is the teardown (Destroy).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/fshost/fs_storage.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "service/unit/volume_worker.h"
#include "service/volume/drive_letters.h"
#include "service/volume/magazine_session.h"
#include "service/volume/storage_drive_host.h"
#include "service/volume/volume_events.h"
#include "service/volume/volume_slot.h"

namespace kelva::volume {

struct VolumeWorkerOptions {
  std::filesystem::path data_folder;   // empty: platform::DataFolder()
  platform::Clock* clock = nullptr;    // null: the controller's clock
  platform::Registry* registry = nullptr;  // drive-letter records; null: the default registry
  // The group that owns the mount; -1: platform::DefaultMountGroup().
  long mount_group = -1;
  // Image names told "cannot make" instead of "disk full"; empty: the default list.
  std::vector<std::string> file_managers;
  // Kernel cache timeouts of the mount (seconds).
  double entry_timeout = 1.0;
  double attr_timeout = 1.0;
  // Told true when a mounted volume enters busy and false when it leaves.
  std::function<void(bool)> on_busy;
};

class CVolumeWorker final : public unit::VolumeWorker {
 public:
  static constexpr uint32_t kMountAttempts = 10;
  static constexpr uint32_t kMountRetryMs = 2000;
  static constexpr uint32_t kMountingPollMs = 1000;
  static constexpr uint32_t kDetachSettleMs = 3000;
  static constexpr uint32_t kLetterWaitRounds = 60;
  static constexpr uint32_t kLetterWaitMs = 100;

  // Notification classes sent through the sink.
  static constexpr uint8_t kClassLetterKnown = 1;
  static constexpr uint8_t kClassStorageDeleted = 2;
  static constexpr uint8_t kClassMounted = 3;
  static constexpr uint8_t kClassUnmountedOnRequest = 4;
  static constexpr uint8_t kClassUnitRemoved = 8;
  static constexpr uint8_t kClassMagazineRemoved = 9;

  // Creates the worker: links it to the controller, creates the host storage
  // on the mount thread (one retry) and starts the drive-letter search. Null
  // when the storage cannot be created (the unit then has no worker).
  static std::unique_ptr<CVolumeWorker> Create(std::u16string_view raw_volume_name, unit::UnitController* controller,
                                               unit::VolumeNotificationCallback notify,
                                               VolumeWorkerOptions options = {});
  ~CVolumeWorker() override;
  CVolumeWorker(const CVolumeWorker&) = delete;
  CVolumeWorker& operator=(const CVolumeWorker&) = delete;

  // ---- unit::VolumeWorker ----
  // Opens the magazine's volume and mounts it at the drive folder (up to 10
  // attempts 2 s apart). Does nothing after a detach, without a storage,
  // during a disc exchange or while a volume is mounted.
  void Mount(const CancelTest& cancelled) override;
  // Media removal: unmounts unless a disc exchange is in progress, the
  // magazine is still in place, or the unit is gone (its removal follows).
  void Dismount() override;
  // The unit was unplugged: unmounts (once) and tells the user.
  void DeviceRemoved() override;
  void RefreshDriveLetter() override;
  int DriveIndex() override;
  bool NotifyUnitEvent(const uint8_t event[3]) override;
  // False: the unit's monitor asks it to wait for the volume to go before it
  // loads a dropped disc again. On this system a dropped disc is no media
  // removal and the volume stays mounted while the disc is put back (its
  // requests to the discs wait for the drive), so there is nothing to wait for.
  // HasVolume() tells whether a volume is mounted.
  bool IsMounted() override { return false; }
  bool HasVolume() const { return slot_.peek() != nullptr; }
  // Unmounts at once (the unit overheated); open files lose their connection.
  void ForceUnmount() override;
  // Unmounts (writing back what the volume holds) and ejects the magazine.
  void UnmountAndEject() override;

  // ---- state, for the control channel and tests ----
  char DriveLetter() const;  // 0 while none is known
  // The drive folder, empty while no letter is known.
  std::filesystem::path MountPoint() const;
  bool StorageActive();
  bool detached() const { return detached_.load(); }
  bool recreating() const { return recreating_.load(); }
  bool mounting() const { return mounting_.load() != 0; }
  bool has_storage() const { return storage_.load() != nullptr; }
  // The mounted volume, or null (not borrowed: tests only).
  CFsVolume* volume() { return slot_.peek(); }

 private:
  CVolumeWorker(std::u16string_view raw_volume_name, unit::UnitController* controller,
                unit::VolumeNotificationCallback notify, VolumeWorkerOptions options);

  // Starts the mount thread and waits for its report: true when the storage exists.
  bool StartMountThread();
  void MountThreadMain(platform::Event* ready, bool* created);
  platform::Win32Error CreateStorage();
  // Unmount of the volume: true when this caller unmounted it. drain: the
  // magazine is still in the unit and the writer records what the volume
  // holds before it closes. REQUIRES: op_mu_ held.
  bool UnmountVolume(bool drain);
  // Teardown steps shared by Destroy and host ejection.
  void TearDown();
  void DetachMain();
  void EjectedMain();
  void OnStorageEjected();
  void SendClass(uint8_t event_class);
  void SendMediaNotice(bool inserted);
  void WaitWhileMounting();
  void JoinHelpers();
  void StartHelper(std::function<void()> body);
  // Takes the session out of the worker, stops its writer, waits until no
  // request holds its volume and closes it (quick: without the write-back).
  void CloseSession(bool quick, bool drain);
  void BindVolume(CFsVolume* volume, platform::FsStorage* storage);
  void ForwardVolumeNotice(const uint8_t* message, size_t length);
  uint8_t DriveIndexByte() const;
  std::u16string MediaRoot() const;

  const std::u16string raw_volume_name_;
  unit::UnitController* const controller_;
  const unit::VolumeNotificationCallback notify_;
  VolumeWorkerOptions options_;
  platform::Clock& clock_;
  platform::Registry default_registry_;
  platform::FsStorageSettings settings_;

  std::mutex create_mu_;                 // guards the creation of the volume
  std::recursive_mutex op_mu_;           // the operation mutex
  std::atomic<int32_t> unmount_guard_{0};
  std::atomic<int32_t> dismount_guard_{0};
  std::atomic<bool> stop_thread_{false};
  std::atomic<bool> detached_{false};
  std::atomic<bool> recreating_{false};
  std::atomic<int32_t> mounting_{0};
  std::atomic<bool> torn_down_{false};
  std::atomic<bool> destroying_{false};

  CVolumeEvents events_;
  VolumeSlot slot_;
  std::unique_ptr<CMagazineSession> session_;  // guarded by create_mu_ / op_mu_
  std::atomic<platform::FsStorage*> storage_{nullptr};
  std::unique_ptr<platform::FsStorage> storage_owner_;
  mutable std::mutex letters_mu_;  // guards drive_host_, letters_ and last_letter_
  std::unique_ptr<StorageDriveHost> drive_host_;
  std::unique_ptr<DriveLetters> letters_;
  mutable uint8_t last_letter_ = DriveLetters::kNoLetter;
  std::thread mount_thread_;
  std::thread letter_thread_;
  std::unique_ptr<platform::Event> wake_;

  std::mutex helpers_mu_;
  std::vector<std::thread> helpers_;  // detach and ejection threads
};

// The factory the unit manager uses: a CVolumeWorker per unit.
unit::VolumeWorkerFactory MakeVolumeWorkerFactory(VolumeWorkerOptions options = {});

}  // namespace kelva::volume
