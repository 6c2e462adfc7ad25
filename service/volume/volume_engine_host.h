// CVolumeEngineHost: what the disc I/O engine tells its owner, passed on to the
// volume that uses the engine. The engine is made before the volume it serves,
// so the volume is attached afterwards; until then (and after Detach) the
// events are dropped and file numbers come from a plain counter.
#pragma once

#include <atomic>

#include "service/storage/disc_engine_host.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

class CVolumeEngineHost : public storage::IDiscEngineHost {
 public:
  void Attach(CFsVolume* volume) { volume_ = volume; }
  void Detach() { volume_ = nullptr; }

  uint32_t NextFileNumber(storage::CacheKind, uint8_t) override {
    CFsVolume* v = volume_.load();
    return v != nullptr ? v->NextFileNumber() : fallback_.fetch_add(1);
  }
  void DiscEngineEvent(uint32_t code) override {
    if (CFsVolume* v = volume_.load()) v->DiscEngineEvent(static_cast<int>(code));
  }
  void ReportWriteFailure(uint32_t kind) override {
    if (CFsVolume* v = volume_.load()) v->ReportWriteFailure(static_cast<int>(kind));
  }
  void CommitAfterDiscClose() override {
    if (CFsVolume* v = volume_.load()) v->CommitAfterDiscClose();
  }
  void EngineFailed(uint32_t status) override {
    if (CFsVolume* v = volume_.load()) v->FatalError(status);
  }

 private:
  std::atomic<CFsVolume*> volume_{nullptr};
  std::atomic<uint32_t> fallback_{0};
};

}  // namespace kelva::volume
