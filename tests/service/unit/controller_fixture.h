// Test doubles and the fixture for the unit controller: a simulated unit with
// a magazine in a temporary folder, a device wrapper that records command
// blocks and injects faults, an in-memory file system per disc standing for
// the raw volume, a disc maintenance double and a notifier that keeps what it
// was sent. Time runs on a test clock whose sleeps return at once.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emulator/sim_unit.h"
#include "platform/clock.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit::testing {

namespace fs = std::filesystem;

// A fresh folder below the system's temporary folder, removed at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Records every command block and lets a test answer any command itself.
class RecordingDevice : public platform::ScsiDeviceWrapper {
 public:
  using Hook = std::function<bool(const platform::ScsiCommand&, platform::ScsiReply*)>;
  explicit RecordingDevice(platform::ScsiDevice* target) : ScsiDeviceWrapper(target) {}
  platform::Win32Error Execute(const platform::ScsiCommand& command, platform::ScsiReply* reply) override;

  // The hook runs first; returning true means it answered the command.
  void SetHook(Hook hook);
  std::vector<std::vector<uint8_t>> Commands();
  void ClearCommands();
  // Slots of the A6 select-slot commands sent so far.
  std::vector<int> SelectedSlots();

 private:
  std::mutex mu_;
  Hook hook_;
  std::vector<std::vector<uint8_t>> commands_;
};

// Fills reply with a CHECK CONDITION of the sense.
void CheckCondition(platform::ScsiReply* reply, uint8_t key, uint8_t asc, uint8_t ascq);
// A vendor command (FB / FC) with function fn.
inline bool IsVendor(const platform::ScsiCommand& c, uint8_t fn) {
  return (c.cdb[0] == 0xFB || c.cdb[0] == 0xFC) && c.cdb[10] == fn;
}

// One disc's file system in memory.
struct FakeDisc {
  bool udf = false;
  bool read_only = false;
  uint64_t free_bytes = 20ull << 30;
  struct Node {
    bool directory = false;
    std::string data;
    std::u16string name;  // as created
  };
  std::map<std::u16string, Node> nodes;  // by upper-cased path inside the volume, no leading "\"
};

// The raw volume of the disc in the simulated unit's drive.
class FakeVolumes : public VolumeAccess {
 public:
  FakeVolumes(emulator::SimUnit* unit, std::u16string raw_volume_name)
      : unit_(unit), name_(std::move(raw_volume_name)) {}

  platform::Win32Error OpenVolume(std::u16string_view volume_path, bool write,
                                  std::unique_ptr<VolumeHandle>* out) override;
  platform::Win32Error GetVolumeInformation(std::u16string_view root, VolumeInformation* out) override;
  platform::Win32Error GetFreeSpace(std::u16string_view root, uint64_t* free_bytes) override;
  platform::Win32Error FindFiles(std::u16string_view pattern_path, std::vector<VolumeFindData>* out) override;
  platform::Win32Error CreateFile(std::u16string_view path, bool write, bool unbuffered, bool create_new,
                                  std::unique_ptr<VolumeFile>* out) override;
  platform::Win32Error DeleteFile(std::u16string_view path) override;
  platform::Win32Error GetFileAttributes(std::u16string_view path, uint32_t* out) override;
  platform::Win32Error CreateDirectory(std::u16string_view path) override;

  // The disc of a slot (created on first use).
  FakeDisc& Disc(int slot);
  // Puts a UDF volume with a "STRUCT" folder on the discs of the slots.
  void MarkUsed(std::initializer_list<int> slots);
  int LoadedSlot();  // -1 when the drive is empty

  // Fault injection: the next count calls of the named operation ("create",
  // "open", "attributes", "info", "free", "lock", "dismount", "openvolume",
  // "read", "write") fail with error.
  void FailNext(const std::string& op, uint32_t count, platform::Win32Error error);
  platform::Win32Error TakeFault(const std::string& op);

  // Counters of the volume controls.
  int locks = 0, unlocks = 0, dismounts = 0, flushes = 0, volume_opens = 0;
  std::vector<std::u16string> created;  // files created, relative paths

 private:
  friend class FakeFile;
  friend class FakeVolumeHandle;
  // The path inside the volume, or false when it is not on this volume.
  bool Relative(std::u16string_view full, std::u16string* out) const;
  FakeDisc* Current(platform::Win32Error* error);

  emulator::SimUnit* unit_;
  std::u16string name_;
  std::recursive_mutex mu_;
  std::map<int, FakeDisc> discs_;
  std::map<std::string, std::pair<uint32_t, platform::Win32Error>> faults_;
};

class FakeMaintenance : public DiscMaintenance {
 public:
  explicit FakeMaintenance(FakeVolumes* volumes) : volumes_(volumes) {}
  bool WriteFreshVolume(DeviceHandle device) override;
  int RepairVolume(DeviceHandle) override;
  int RepairFile(DeviceHandle, std::u16string_view path, bool creating) override;
  bool CloseIntegrity(DeviceHandle) override;

  bool format_ok = true;
  int repair_result = 0;
  bool close_ok = true;
  // Runs when a repair succeeds (a test clears its injected fault here).
  std::function<void()> on_repair;
  int formats = 0, volume_repairs = 0, file_repairs = 0, integrity_closes = 0;
  std::vector<std::pair<std::u16string, bool>> repaired_files;

 private:
  FakeVolumes* volumes_;
};

class RecordingNotifier : public NotifierChannel {
 public:
  platform::Win32Error Deliver(const void* data, uint32_t length) override;
  // Records the dialog like any message; its state then comes from
  // dialog_state, asked once per poll (default: closed at once).
  platform::Win32Error DeliverDialog(const void* data, uint32_t length,
                                     std::unique_ptr<DialogWait>* closed) override;
  bool Listening() override { return listening; }
  bool listening = true;
  std::function<DialogWait::State()> dialog_state;
  std::vector<std::vector<uint8_t>> messages;
};

class RecordingWorker : public UnitVolumeWorker {
 public:
  int DriveIndex() override { return 4; }  // "E"
  bool NotifyUnitEvent(const uint8_t event[3]) override {
    events.push_back({event[0], event[1], event[2]});
    return true;
  }
  std::vector<std::vector<uint8_t>> events;
};

struct MagazineSetup {
  uint8_t type = emulator::kTypeRewritable;
  bool write_protect = false;
  uint8_t current_disc = 0;
  uint8_t label0 = 'A';  // first label byte
  uint8_t status_c = 0xFF;  // 0xFF: computed by the unit
  // Discs 0 .. used_discs - 1 are formatted and carry a volume with "STRUCT".
  int used_discs = 0;
};

// A unit with a magazine inserted and a controller on it.
class ControllerTest : public ::testing::Test {
 protected:
  static constexpr const char16_t* kRawVolume = u"\\\\?\\Volume{6a1f3c2e-0000-4000-8000-00000000abcd}\\";

  void SetUp() override;
  void TearDown() override;

  // Creates and inserts the magazine, then creates the controller.
  void StartUnit(const MagazineSetup& setup = {});
  void CreateController();
  // Identifies the magazine and accepts the mount, as the volume worker does.
  void Mount();
  std::string UnitStatus() { return sim_->StatusText(); }
  size_t LogDumpCount();

  TempFolder temp_;
  platform::TestClock clock_;
  std::unique_ptr<emulator::SimUnit> sim_;
  std::unique_ptr<emulator::SimScsiDevice> sim_device_;
  std::unique_ptr<RecordingDevice> device_;
  std::unique_ptr<FakeVolumes> volumes_;
  std::unique_ptr<FakeMaintenance> maintenance_;
  RecordingNotifier notifier_;
  // The controllers of these tests run no monitor thread unless a test asks
  // for one; monitor tests run the ticks themselves with MonitorTick().
  bool monitor_thread_ = false;
  // What the controller is told about the console session.
  bool console_session_active_ = true;
  std::unique_ptr<UnitController> controller_;
  fs::path data_folder_;
};

}  // namespace kelva::unit::testing
