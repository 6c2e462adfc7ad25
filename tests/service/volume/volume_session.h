// One mount of the simulated magazine as the service makes it: a volume with
// its own cache store and disc I/O engine, opened through the catalog search
// and the resume files, with helpers that write and read files through the
// volume's directory and file objects. Used by the tests that close, reopen or
// kill a volume and look at what the next mount finds.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "service/storage/dir_object.h"
#include "service/storage/disc_engine.h"
#include "service/storage/file_object.h"
#include "service/unit/unit_controller.h"
#include "service/volume/catalog_search.h"
#include "service/volume/engine_discs.h"
#include "service/volume/fs_volume.h"
#include "service/volume/open_file_object.h"
#include "service/volume/volume_engine_host.h"
#include "service/volume/volume_restore.h"

namespace kelva::volume::testing {

// Keeps the notices; the disc's read-only answer comes from the controller.
class SilentUnit : public IVolumeUnit {
 public:
  void Report(uint32_t code, bool) override { notices.push_back(code); }
  bool IsVolumeReadOnly() override { return controller != nullptr && controller->IsVolumeReadOnly() == 1; }
  void SetWriteHeld(bool) override {}
  std::vector<uint32_t> notices;
  unit::UnitController* controller = nullptr;
};

class VolumeSession {
 public:
  static constexpr const char16_t* kMagazine = u"ENGINE-TEST";

  // identity_byte fills the computer's identity.
  VolumeSession(unit::UnitController* controller, platform::TestClock& clock, std::filesystem::path data,
                uint8_t identity_byte = 0x33)
      : controller_(controller), clock_(clock), data_(std::move(data)) {
    identity_.fill(identity_byte);
    unit.controller = controller;
  }
  ~VolumeSession() { Close(); }

  // Opens the volume (its restore step included). False when Open failed.
  bool Open(uint8_t retention_mode = 1, bool start_writer = true) {
    volume = std::make_unique<CFsVolume>(controller_, clock_, 0x0001000000000000ULL, identity_);
    volume->set_free_file([](IOpenFile* f) { delete f; });
    auto cache = std::make_unique<storage::CCacheStore>(volume.get(), data_, clock_);
    if (!cache->Open(kMagazine)) return false;
    cache_ = cache.get();
    host_.Attach(volume.get());
    storage::DiscEngineOptions eo;
    eo.clock = &clock_;
    eo.event_log = [](uint32_t, std::string_view) {};
    engine = std::make_unique<storage::CDiscEngine>(&host_, cache_, controller_, eo);
    if (engine->Start(controller_->CurrentSlot()) != 0) return false;
    discs = std::make_unique<CEngineDiscs>(engine.get(), controller_);
    CFsVolume* v = volume.get();
    discs->SetStampCallback([v] { return v->StampAndSaveCatalog(); });
    probe_ = std::make_unique<CUnitCatalogProbe>(controller_, engine.get());
    restore_ = std::make_unique<CVolumeRestore>(probe_.get());
    VolumeOpenParts parts;
    parts.unit = &unit;
    parts.discs = discs.get();
    parts.recorder = discs.get();
    parts.cache = std::move(cache);
    parts.restore = restore_.get();
    parts.have_config = true;
    parts.config_mode = retention_mode;
    if (!volume->Open(std::move(parts))) return false;
    if (start_writer) writer_ = std::thread([v] { v->RunWriter(); });
    return true;
  }

  // The dismount path: flush (quick: keep the pending work), stop the writer, close.
  void Close(bool quick = false) {
    if (!volume) return;
    volume->set_quick_close(quick);
    volume->FlushAll();
    if (writer_.joinable()) {
      volume->StopWriter();
      writer_.join();
    }
    volume->Close();
    host_.Detach();
    if (engine) engine->Shutdown();
    volume.reset();
    engine.reset();
    discs.reset();
  }

  const CatalogLocation& location() const { return restore_->location(); }
  DirRef* root() { return volume->root(); }

  // Creates directory name below the root (kept open by the volume).
  DirRef* MakeDirectory(const std::u16string& name) {
    volume->BeginOperation();
    auto dir = std::make_unique<storage::CDirObject>(volume.get());
    storage::CDirObject* raw = dir.get();
    DirRef* ref = volume->AddDirectory(std::move(dir), root());
    const bool ok = raw->Create(root()->dir->catalog(), name, 0, 133000000000000000LL) == 0;
    if (ok) volume->MarkDirectoryDirty(raw, 1, 0);
    volume->ReleaseDirectory(ref);
    volume->EndOperation();
    return ok ? ref : nullptr;
  }

  // Writes a new file name with data into the directory (the root when null).
  bool WriteFile(DirRef* parent, const std::u16string& name, const std::vector<uint8_t>& data) {
    if (parent == nullptr) parent = root();
    volume->BeginOperation();
    auto open = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(volume.get()), discs.get());
    COpenFileObject* of = open.get();
    storage::CFileObject* f = of->file();
    of->SetOpenInHost(true);
    FileRef* ref = volume->AddFile(open.release(), of->key(), parent);
    uint32_t written = 0;
    const bool ok = f->Create(parent->dir->catalog(), name, 0, 133000000000000000LL, false) == 0 &&
                    f->Write(0, static_cast<uint32_t>(data.size()), data.data(), &written) == 0 &&
                    written == data.size();
    f->Close();
    of->SetOpenInHost(false);
    volume->ReleaseFile(ref);
    volume->EndOperation();
    return ok;
  }

  // Reads file name of the directory at dir_path ("" the root) back; false when
  // it is missing or cannot be read whole.
  bool ReadFile(const std::u16string& dir_path, const std::u16string& name, std::vector<uint8_t>* out) {
    storage::CDirObject* dir = root()->dir.get();
    std::unique_ptr<storage::CDirObject> opened;
    if (!dir_path.empty()) {
      storage::DirEntryRecord dentry;
      uint8_t disc = 0;
      uint32_t file = 0;
      if (dir->GetEntry(dir_path, &dentry) != 0 ||
          volume->structure()->LookupPath(dir_path, -1, &disc, &file, 0) != 1) {
        return false;
      }
      opened = std::make_unique<storage::CDirObject>(volume.get());
      if (opened->Open(dentry, dir->catalog(), disc, file) != 0) return false;
      dir = opened.get();
    }
    storage::DirEntryRecord entry;
    bool ok = dir->GetEntry(name, &entry) == 0;
    if (ok) {
      storage::CFileObject reader(volume.get());
      ok = reader.Open(entry, dir->catalog()) == 0;
      if (ok) {
        out->assign(static_cast<size_t>(entry.size), 0);
        uint32_t done = 0;
        ok = reader.Read(0, static_cast<uint32_t>(out->size()), out->data(), &done) == 0 && done == out->size();
        reader.Close();
      }
    }
    if (opened) opened->Close();
    return ok;
  }

  // Makes the folder at path ("\\a") through the volume's own operations, as
  // the mount does.
  bool MakeFolderPath(std::u16string_view path) {
    EntryRef* ctx = nullptr;
    if (volume->CreateEntry(path, 0x10, &ctx) != 0) return false;
    volume->CloseEntry(ctx);
    return true;
  }

  // Writes a new file at path ("\\a\\b") through the volume's own operations
  // (create, write, close), as the mount does.
  bool WritePath(std::u16string_view path, const std::vector<uint8_t>& data) {
    EntryRef* ctx = nullptr;
    if (volume->CreateEntry(path, 0x80, &ctx) != 0) return false;
    bool ok = true;
    for (size_t at = 0; ok && at < data.size();) {
      const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(data.size() - at, 128 * 1024));
      uint32_t done = 0;
      ok = volume->WriteEntry(ctx, static_cast<int64_t>(at), chunk, data.data() + at, &done) == 0 && done == chunk;
      at += chunk;
    }
    volume->CloseEntry(ctx);
    return ok;
  }

  // Reads the file at path ("\\a\\b") through the volume's own operations, as
  // the mount does: a file the volume still holds is read from its pieces.
  bool ReadPath(std::u16string_view path, std::vector<uint8_t>* out) {
    EntryRef* ctx = nullptr;
    if (volume->OpenEntry(path, 0x80000000, 0, &ctx) != 0) return false;
    out->clear();
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (;;) {
      uint32_t done = 0;
      ok = volume->ReadEntry(ctx, static_cast<int64_t>(out->size()), static_cast<uint32_t>(chunk.size()),
                             chunk.data(), &done) == 0;
      if (!ok || done == 0) break;
      out->insert(out->end(), chunk.begin(), chunk.begin() + done);
    }
    volume->CloseEntry(ctx);
    return ok;
  }

  std::unique_ptr<CFsVolume> volume;
  std::unique_ptr<storage::CDiscEngine> engine;
  std::unique_ptr<CEngineDiscs> discs;
  SilentUnit unit;

 private:
  unit::UnitController* controller_;
  platform::TestClock& clock_;
  std::filesystem::path data_;
  MachineIdentity identity_;
  storage::CCacheStore* cache_ = nullptr;
  CVolumeEngineHost host_;
  std::unique_ptr<CUnitCatalogProbe> probe_;
  std::unique_ptr<CVolumeRestore> restore_;
  std::thread writer_;
};

// Deterministic content of a file.
inline std::vector<uint8_t> Content(uint32_t seed, size_t size) {
  std::vector<uint8_t> v(size);
  uint32_t x = 0x9E3779B9u * (seed + 1);
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

}  // namespace kelva::volume::testing
