// CEngineDiscs: the volume's view of its disc I/O engine. It gives the directory
// and file objects the recording requests they know (IDiscRecorder) and the
// volume the disc numbers, capacity and requests it uses itself (IVolumeDiscs),
// both by forwarding to one CDiscEngine. Thread safe as the engine is.
#pragma once

#include <atomic>
#include <functional>

#include "service/storage/disc_engine.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/volume_site.h"

namespace kelva::volume {

class CEngineDiscs : public IVolumeDiscs, public storage::IDiscRecorder {
 public:
  // engine (and controller, which removes a partly written directory pack):
  // not owned; must outlive this object.
  explicit CEngineDiscs(storage::CDiscEngine* engine, unit::UnitController* controller = nullptr)
      : engine_(engine), controller_(controller) {}

  // Called before the first recording after SetOtherSystem(true), so that the
  // discs name this computer before anything else is written (the volume's
  // StampAndSaveCatalog).
  void SetStampCallback(std::function<platform::Win32Error()> stamp) { stamp_ = std::move(stamp); }

  // ---- IVolumeDiscs and IDiscRecorder ----
  uint8_t CurrentDisc() override { return engine_->CurrentDisc(); }
  bool CanWrite() override { return !engine_->Failed() && !engine_->NoFurtherDisc(); }

  // ---- IVolumeDiscs ----
  uint8_t LoadedDisc() override { return engine_->LoadedDisc(); }
  uint8_t HighestDisc() override { return engine_->HighestDisc(); }
  uint64_t DiscCapacity() override { return engine_->State().total_bytes; }
  uint64_t CurrentFreeBytes() override { return engine_->State().free_bytes; }
  bool SplitFlag() override { return false; }
  platform::Win32Error FetchFile(storage::CacheKind kind, uint8_t disc, uint32_t file) override {
    return engine_->FetchFile(kind, disc, file);
  }
  platform::Win32Error Flush() override { return engine_->CloseDisc(); }
  bool CleanMarker() override { return engine_->Prepared(); }
  platform::Win32Error MarkClean() override { return engine_->PrepareDisc(); }
  void SetOtherSystem(bool other) override { other_system_ = other; }
  bool other_system() const { return other_system_.load(); }
  platform::Win32Error CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) override;
  platform::Win32Error OpenPack(bool for_writing, std::unique_ptr<storage::IPackChannel>* out) override;
  platform::Win32Error ClosePack() override { return engine_->CloseDataFile(); }
  platform::Win32Error DeletePack() override;
  platform::Win32Error ListDisc(storage::CacheKind kind, uint8_t disc, uint32_t file,
                                const std::function<void(uint32_t)>& found) override {
    return engine_->ListDisc(kind, disc, file, found);
  }

  // ---- IDiscRecorder ----
  platform::Win32Error RecordCacheFile(storage::CacheKind kind, uint8_t disc, uint32_t file, bool on_disc,
                                       const std::filesystem::path* source_path, uint8_t* out_disc,
                                       uint32_t* out_file) override;
  platform::Win32Error RecordLogHead(uint8_t disc, uint32_t file, bool on_disc, uint8_t* out_disc,
                                     uint32_t* out_file) override;
  bool ChangeDisc(uint8_t n) override { return engine_->ChangeDisc(n); }
  void LockIo() override { engine_->LockIo(); }
  void UnlockIo() override { engine_->UnlockIo(); }
  platform::Win32Error ReadData(storage::CacheKind kind, uint8_t disc, uint32_t file, uint64_t offset, void* buffer,
                                uint32_t count, uint32_t* done) override {
    return engine_->ReadData(kind, disc, file, offset, buffer, count, done);
  }
  // The file is named after the disc it is written on.
  platform::Win32Error BeginDataFile(storage::CacheKind kind, uint32_t file, bool create) override {
    StampFirst();
    return engine_->BeginDataFile(kind, engine_->CurrentDisc(), file, create);
  }
  platform::Win32Error WriteData(const void* data, uint32_t count, uint32_t* done) override {
    return engine_->WriteData(data, count, done);
  }
  platform::Win32Error SetDataLength(uint64_t length) override { return engine_->SetDataLength(length); }
  platform::Win32Error CloseDataFile() override { return engine_->CloseDataFile(); }

 private:
  void StampFirst() {
    if (other_system_.exchange(false) && stamp_) stamp_();
  }

  storage::CDiscEngine* engine_;
  unit::UnitController* controller_;
  std::atomic<bool> other_system_{false};
  std::function<platform::Win32Error()> stamp_;
};

}  // namespace kelva::volume
