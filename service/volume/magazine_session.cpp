#include "service/volume/magazine_session.h"

#include "platform/log.h"
#include "platform/text.h"
#include "service/unit/unit_controller.h"
#include "service/unit/unit_files.h"
#include "service/volume/volume_restore.h"

namespace kelva::volume {

CMagazineSession::CMagazineSession(unit::UnitController* controller, MagazineSessionOptions options)
    : controller_(controller),
      options_(std::move(options)),
      clock_(options_.clock != nullptr ? *options_.clock : controller->clock()) {}

CMagazineSession::~CMagazineSession() { Close(); }

bool CMagazineSession::Open() {
  const std::string unit = platform::Utf16ToUtf8(controller_->RawVolumeName());
  std::u16string identifier;
  controller_->IdentifyMagazine(&identifier);
  if (controller_->AcceptMount() != 1) {
    KLOG_INFO("unit %s: no magazine in place", unit.c_str());
    return false;
  }
  {
    uint8_t kind = 0, not_writable = 0;
    std::u16string label;
    controller_->GetMagazineInfo(&kind, &not_writable, &label);
    KLOG_INFO("unit %s: magazine %s (%s) identified", unit.c_str(), platform::Utf16ToUtf8(identifier).c_str(),
              platform::Utf16ToUtf8(label).c_str());
  }
  if (!controller_->HasUdfVolume()) {
    KLOG_ERROR("unit %s: the current disc of magazine %s holds no readable volume", unit.c_str(),
               platform::Utf16ToUtf8(identifier).c_str());
    return false;
  }

  MachineIdentity identity;
  if (!ComputeMachineIdentity(&identity)) identity.fill(0xFF);
  volume_ = std::make_unique<CFsVolume>(controller_, clock_, kProgramVersion, identity);
  volume_->set_free_file([](IOpenFile* f) { delete f; });
  if (options_.on_detach) volume_->set_detach_callback(options_.on_detach);
  if (options_.on_notify) volume_->set_notify_callback(options_.on_notify);
  if (options_.on_busy) volume_->set_busy_callback(options_.on_busy);
  // The volume owns the cache's numbering and hears of a full computer disk.
  cache_ = std::make_unique<storage::CCacheStore>(volume_.get(), options_.data_folder, clock_);
  if (!cache_->Open(identifier)) {
    KLOG_ERROR("unit %s: the cache of magazine %s cannot be opened", unit.c_str(),
               platform::Utf16ToUtf8(identifier).c_str());
    Close();
    return false;
  }

  storage::DiscEngineOptions eo;
  eo.clock = &clock_;
  engine_ = std::make_unique<storage::CDiscEngine>(this, cache_.get(), controller_, eo);
  if (engine_->Start(controller_->CurrentSlot()) != 0) {
    KLOG_ERROR("unit %s: the disc I/O engine did not start", unit.c_str());
    Close();
    return false;
  }
  discs_ = std::make_unique<CEngineDiscs>(engine_.get(), controller_);
  probe_ = std::make_unique<CUnitCatalogProbe>(controller_, engine_.get());

  live_ = volume_.get();
  // A magazine last written by another computer names this one on its discs
  // before anything else is recorded there.
  CFsVolume* volume = volume_.get();
  discs_->SetStampCallback([volume] { return volume->StampAndSaveCatalog(); });

  restore_ = std::make_unique<CVolumeRestore>(probe_.get());
  VolumeOpenParts parts;
  parts.unit = this;
  parts.discs = discs_.get();
  parts.recorder = discs_.get();
  parts.cache = std::move(cache_);
  parts.restore = restore_.get();
  unit::UnitConfig config{};
  parts.have_config = controller_->ReadConfig(&config);
  if (parts.have_config) {
    parts.config_split = unit::ConfigFileSplit(config);
    parts.config_mode = unit::ConfigRetentionMode(config);
    parts.config_keep = unit::ConfigCacheKeepCount(config);
  }
  if (!volume_->Open(std::move(parts))) {
    KLOG_ERROR("unit %s: the volume of magazine %s cannot be opened", unit.c_str(),
               platform::Utf16ToUtf8(identifier).c_str());
    Close();
    return false;
  }
  const CatalogLocation& at = restore_->location();
  if (at.found) {
    KLOG_INFO("unit %s: magazine %s opened (structure catalog %u found on disc %u)", unit.c_str(),
              platform::Utf16ToUtf8(identifier).c_str(), at.number, at.disc);
  } else {
    KLOG_INFO("unit %s: magazine %s opened (a new volume)", unit.c_str(), platform::Utf16ToUtf8(identifier).c_str());
  }
  return true;
}

void CMagazineSession::DrainWriter(uint64_t limit_ms) {
  if (!volume_) return;
  const uint64_t start = clock_.NowMs();
  while (volume_->busy() && volume_->read_only() == 0 && clock_.NowMs() - start < limit_ms) {
    clock_.Sleep(100);
  }
}

void CMagazineSession::Close() {
  if (volume_) {
    volume_->StopWriter();
    // Everything the volume holds goes onto the discs with the structure
    // catalog and the disc is closed, unless the volume was set to close
    // quickly (then its pending work stays in the cache for the next mount).
    volume_->FlushAll();
    volume_->Close();
  }
  if (engine_) engine_->Shutdown();
  live_ = nullptr;
  if (cache_) {  // not yet handed to the volume, whose cache owner it names
    if (cache_->IsOpen()) cache_->Close();
    cache_.reset();
  }
  volume_.reset();
  restore_.reset();
  probe_.reset();
  discs_.reset();
  engine_.reset();
}

// ---- IVolumeUnit ----

void CMagazineSession::Report(uint32_t code, bool with_code) { controller_->Report(code, with_code); }

bool CMagazineSession::IsVolumeReadOnly() { return controller_->IsVolumeReadOnly() != 0; }

// ---- IDiscEngineHost ----

uint32_t CMagazineSession::NextFileNumber(storage::CacheKind, uint8_t) {
  CFsVolume* v = live_.load();
  return v != nullptr ? v->NextFileNumber() : 0;
}

void CMagazineSession::DiscEngineEvent(uint32_t code) {
  if (CFsVolume* v = live_.load()) v->DiscEngineEvent(static_cast<int>(code));
}

void CMagazineSession::ReportWriteFailure(uint32_t kind) {
  if (CFsVolume* v = live_.load()) v->ReportWriteFailure(static_cast<int>(kind));
}

void CMagazineSession::CommitAfterDiscClose() {
  if (CFsVolume* v = live_.load()) v->CommitAfterDiscClose();
}

void CMagazineSession::EngineFailed(uint32_t status) {
  // The engine has written the event log entry already; the volume goes.
  KLOG_ERROR("unit %s: the disc I/O engine failed (0x%08X); the volume is taken off the unit",
             platform::Utf16ToUtf8(controller_->RawVolumeName()).c_str(), status);
  if (options_.on_detach) options_.on_detach();
}

}  // namespace kelva::volume
