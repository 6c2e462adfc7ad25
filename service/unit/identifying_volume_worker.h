// IdentifyingVolumeWorker: the unit's volume worker until the file system host
// is attached. On a media arrival it identifies the magazine through the
// controller and accepts the mount, and says in the operational log which
// magazine it found (or why none); it holds no drive letter and shows no
// volume. A media removal forgets the magazine so that the next one is
// identified afresh; a unit removed while its magazine is identified tells
// the user that it was not ejected first. With no volume to unmount, the
// release button at the unit lets the magazine go at once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "service/unit/volume_worker.h"

namespace kelva::unit {

class IdentifyingVolumeWorker final : public VolumeWorker {
 public:
  // Attaches itself to the controller as its volume worker.
  IdentifyingVolumeWorker(std::u16string_view raw_volume_name, UnitController* controller,
                          VolumeNotificationCallback notify);
  ~IdentifyingVolumeWorker() override;

  void Mount(const CancelTest& cancelled) override;
  void Dismount() override;
  void DeviceRemoved() override;
  void RefreshDriveLetter() override {}
  int DriveIndex() override { return -1; }
  bool NotifyUnitEvent(const uint8_t event[3]) override;
  // Nothing is mounted: ejects the magazine through the controller.
  void UnmountAndEject() override;

  // The last line this worker logged about the magazine.
  std::string LastOutcome();

 private:
  void Outcome(std::string line);

  std::string name_;  // the raw volume name, for the log
  UnitController* controller_;
  VolumeNotificationCallback notify_;
  std::atomic<bool> identified_{false};  // a magazine is identified and not yet removed
  std::mutex mu_;
  std::string last_;
};

// The factory the service uses until the file system host exists.
VolumeWorkerFactory MakeIdentifyingVolumeWorkerFactory();

}  // namespace kelva::unit
