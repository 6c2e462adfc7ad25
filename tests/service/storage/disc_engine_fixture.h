// The disc I/O engine on the simulated unit: a magazine formatted through the
// unit's command set, our UDF file system on its discs behind a recorder that
// logs every file call the engine's requests cause (and can fail or slow one),
// a cache store in a temporary folder and a host that keeps what it is told.
// Time runs on a test clock whose sleeps return at once.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/sim_unit.h"
#include "platform/clock.h"
#include "service/storage/cache_store.h"
#include "service/storage/disc_engine.h"
#include "service/unit/udf_volume_access.h"
#include "service/unit/unit_controller.h"

namespace kelva::storage::testing {

namespace fs = std::filesystem;

// Forwards to the real raw volume and logs "create NAME", "open NAME",
// "write N", "length N", "seek N", "find PATTERN", "dismount", "flush".
class RecordingVolumes : public unit::VolumeAccess {
 public:
  RecordingVolumes(unit::VolumeAccess* target, platform::TestClock* clock) : target_(target), clock_(clock) {}

  platform::Win32Error OpenVolume(std::u16string_view path, bool write,
                                  std::unique_ptr<unit::VolumeHandle>* out) override;
  platform::Win32Error GetVolumeInformation(std::u16string_view root, unit::VolumeInformation* out) override {
    return target_->GetVolumeInformation(root, out);
  }
  platform::Win32Error GetFreeSpace(std::u16string_view root, uint64_t* free_bytes) override {
    return target_->GetFreeSpace(root, free_bytes);
  }
  platform::Win32Error FindFiles(std::u16string_view pattern, std::vector<unit::VolumeFindData>* out) override;
  platform::Win32Error CreateFile(std::u16string_view path, bool write, bool unbuffered, bool create_new,
                                  std::unique_ptr<unit::VolumeFile>* out) override;
  platform::Win32Error DeleteFile(std::u16string_view path) override { return target_->DeleteFile(path); }
  platform::Win32Error GetFileAttributes(std::u16string_view path, uint32_t* out) override {
    return target_->GetFileAttributes(path, out);
  }
  platform::Win32Error CreateDirectory(std::u16string_view path) override { return target_->CreateDirectory(path); }
  void MediaChanged(std::u16string_view path) override { target_->MediaChanged(path); }

  void Log(std::string line);
  std::vector<std::string> Calls();
  void ClearCalls();
  // The next create of a file answers error instead.
  void FailNextCreate(platform::Win32Error error) { fail_create_ = error; }
  // Opening a file whose name contains text takes ms on the clock.
  void SlowOpen(std::string text, uint32_t ms) {
    std::lock_guard lock(mu_);
    slow_text_ = std::move(text);
    slow_ms_ = ms;
  }

 private:
  unit::VolumeAccess* target_;
  platform::TestClock* clock_;
  std::mutex mu_;
  std::vector<std::string> calls_;
  std::atomic<platform::Win32Error> fail_create_{0};
  std::string slow_text_;
  uint32_t slow_ms_ = 0;
};

class RecordingHost : public IDiscEngineHost {
 public:
  uint32_t NextFileNumber(CacheKind, uint8_t) override { return next_number.fetch_add(1); }
  void DiscEngineEvent(uint32_t code) override { Push(&events, code); }
  void ReportWriteFailure(uint32_t kind) override { Push(&write_failures, kind); }
  void CommitAfterDiscClose() override { commits.fetch_add(1); }
  void EngineFailed(uint32_t status) override { Push(&failures, status); }
  std::vector<uint32_t> Events() { return Copy(events); }
  std::vector<uint32_t> WriteFailures() { return Copy(write_failures); }
  std::vector<uint32_t> Failures() { return Copy(failures); }
  void Clear() {
    std::lock_guard lock(mu_);
    events.clear();
    write_failures.clear();
    failures.clear();
  }

  std::atomic<uint32_t> next_number{5000};
  std::atomic<int> commits{0};

 private:
  void Push(std::vector<uint32_t>* v, uint32_t x) {
    std::lock_guard lock(mu_);
    v->push_back(x);
  }
  std::vector<uint32_t> Copy(const std::vector<uint32_t>& v) {
    std::lock_guard lock(mu_);
    return v;
  }
  std::mutex mu_;
  std::vector<uint32_t> events, write_failures, failures;
};

// Counts the unit's notices (the busy notice is condition 21).
class NoticeWorker : public unit::UnitVolumeWorker {
 public:
  int DriveIndex() override { return 4; }
  bool NotifyUnitEvent(const uint8_t event[3]) override {
    if (event[1] == 0x80 + CDiscEngine::kBusyNotice) busy_notices.fetch_add(1);
    return true;
  }
  std::atomic<int> busy_notices{0};
};

struct EngineSetup {
  uint8_t type = 0x21;            // rewritable; 0x22 recordable
  uint64_t disc_sectors = 65536;  // 128 MiB: 64 MiB above the reserve
  uint8_t highest_disc = 11;
  // The controller's notifier; null: one that shows nothing.
  unit::NotifierChannel* notifier = nullptr;
  bool create_magazine = true;    // false: insert the magazine left by an earlier Start
  bool start_engine = true;       // false: the caller makes its own engine and cache store
};

class DiscEngineTest : public ::testing::Test {
 protected:
  static constexpr const char16_t* kRawVolume = u"\\\\?\\Volume{3c6e1d20-0000-4000-8000-0000000000e1}\\";

  void SetUp() override;
  void TearDown() override;
  // Creates the unit, the magazine (formatted disc 0), the controller, the
  // cache store and a started engine.
  void Start(const EngineSetup& setup = {});
  // Undoes Start (the engine, the cache store, the controller, the unit), leaving
  // the magazine's files and the data folder for the next Start.
  void StopUnit();

  // A file of size bytes in the scratch folder, filled from seed.
  fs::path ScratchFile(const std::string& name, size_t size, uint32_t seed);
  // A cache file of (kind, disc, file) holding size bytes.
  void PutCacheFile(CacheKind kind, uint8_t disc, uint32_t file, size_t size, uint32_t seed);
  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed);
  std::vector<uint8_t> ReadAll(const fs::path& path);
  // Records a scratch file of size bytes as (kind, number) on the current disc.
  RecordAnswer RecordFile(CacheKind kind, uint32_t number, size_t size, platform::Win32Error expected = 0);
  size_t UnitCommandCount();

  fs::path temp_;
  platform::TestClock clock_;
  std::unique_ptr<emulator::SimUnit> sim_;
  std::unique_ptr<emulator::SimScsiDevice> sim_device_;
  std::unique_ptr<platform::ScsiDevice> device_;
  std::unique_ptr<unit::UdfVolumeAccess> udf_volumes_;
  std::unique_ptr<RecordingVolumes> volumes_;
  std::unique_ptr<unit::DiscMaintenance> maintenance_;
  std::unique_ptr<unit::NotifierChannel> notifier_;
  NoticeWorker worker_;
  std::unique_ptr<unit::UnitController> controller_;
  std::unique_ptr<CCacheStore> cache_;
  RecordingHost host_;
  std::mutex log_mu_;
  std::vector<std::pair<uint32_t, std::string>> event_log_;
  std::unique_ptr<CDiscEngine> engine_;
  std::atomic<size_t> commands_{0};
};

}  // namespace kelva::storage::testing
