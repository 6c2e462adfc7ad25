// CMagazineSession: everything a mounted magazine's volume runs on, built in
// the order the volume needs it and torn down in the reverse order: the
// magazine identified by the unit controller, its cache store (named after
// the magazine identifier), the disc I/O engine on the unit, the volume's view
// of that engine, and the CFsVolume opened over them.
//
// The session answers the engine's and the volume's questions about the unit
// (notices, the disc's read-only state, the write hold) through the
// controller, and passes the engine's events to the volume.
//
// Not copyable. Open, Close and the destructor run on one thread (the volume
// worker's); the volume itself is thread safe.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "platform/clock.h"
#include "service/storage/disc_engine.h"
#include "service/volume/engine_discs.h"
#include "service/volume/catalog_search.h"
#include "service/volume/fs_volume.h"
#include "service/volume/volume_restore.h"

namespace kelva::unit {
class UnitController;
}

namespace kelva::volume {

struct MagazineSessionOptions {
  std::filesystem::path data_folder;  // the service's data folder
  platform::Clock* clock = nullptr;   // null: the controller's clock
  // Called (on any thread) when the volume asks to be taken off the unit
  // after a fatal error of its own or of the disc I/O engine.
  std::function<void()> on_detach;
  // The volume's own notifications (0x10 disc changed, 0x20/0x21 flush,
  // 0x50/0x51 catalog saved), as the volume gives them.
  std::function<void(const uint8_t*, size_t)> on_notify;
  // The volume entering (true) and leaving (false) busy.
  std::function<void(bool)> on_busy;
};

class CMagazineSession : public IVolumeUnit, public storage::IDiscEngineHost {
 public:
  // controller: not owned; outlives the session.
  CMagazineSession(unit::UnitController* controller, MagazineSessionOptions options);
  ~CMagazineSession() override;  // Close()
  CMagazineSession(const CMagazineSession&) = delete;
  CMagazineSession& operator=(const CMagazineSession&) = delete;

  // Identifies the magazine, holds it in the unit, opens its cache store,
  // starts the disc I/O engine on the current disc and opens the volume
  // (the newest structure catalog the discs hold, resumed from the last
  // archive run's snapshot or the live resume file; else a new volume).
  // False when any step fails; the session then holds nothing.
  bool Open();
  // Stops the writer, flushes and closes the volume (the final write-back,
  // the structure catalog saved onto the discs and the live resume file,
  // unless the volume was set to close quickly), stops the engine and closes
  // the cache.
  // Idempotent.
  void Close();

  CFsVolume* volume() { return volume_.get(); }

  // Lets the background writer record everything the volume holds: returns
  // when the volume is no longer busy, when it went read-only (the discs
  // refuse writing) or after limit_ms on the clock. REQUIRES: the writer runs.
  void DrainWriter(uint64_t limit_ms);
  static constexpr uint64_t kDrainLimitMs = 600000;

 private:
  // IVolumeUnit (public bases: the volume and the engine hold them as such)
  void Report(uint32_t code, bool with_code) override;
  bool IsVolumeReadOnly() override;
  void SetWriteHeld(bool held) override { write_held_ = held; }
  // IDiscEngineHost
  uint32_t NextFileNumber(storage::CacheKind kind, uint8_t disc) override;
  void DiscEngineEvent(uint32_t code) override;
  void ReportWriteFailure(uint32_t kind) override;
  void CommitAfterDiscClose() override;
  void EngineFailed(uint32_t status) override;

  unit::UnitController* const controller_;
  MagazineSessionOptions options_;
  platform::Clock& clock_;
  std::atomic<bool> write_held_{false};
  // Created in this order by Open, released in the reverse order by Close.
  std::unique_ptr<storage::CCacheStore> cache_;  // until the volume takes it
  std::unique_ptr<storage::CDiscEngine> engine_;
  std::unique_ptr<CEngineDiscs> discs_;
  std::unique_ptr<CUnitCatalogProbe> probe_;
  std::unique_ptr<CVolumeRestore> restore_;
  std::unique_ptr<CFsVolume> volume_;
  std::atomic<CFsVolume*> live_{nullptr};  // the volume the engine's events reach
};

}  // namespace kelva::volume
