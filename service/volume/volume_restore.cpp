#include "service/volume/volume_restore.h"

#include <random>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/text.h"
#include "service/storage/dir_object.h"

namespace kelva::volume {

namespace {

constexpr Win32Error kErrorAccessDenied = 5;
constexpr Win32Error kErrorNotFound = 2;

// Whether a name in the live cache matches a "\" separated pattern whose
// wildcards are all in its last component.
bool CacheNameExists(const std::filesystem::path& cache, std::u16string_view pattern) {
  const size_t cut = pattern.rfind(u'\\');
  std::filesystem::path folder = cache;
  if (cut != std::u16string_view::npos) {
    std::u16string_view rest = pattern.substr(0, cut);
    while (!rest.empty()) {
      const size_t sep = rest.find(u'\\');
      folder /= platform::Utf16ToUtf8(rest.substr(0, sep));
      rest = sep == std::u16string_view::npos ? std::u16string_view() : rest.substr(sep + 1);
    }
  }
  std::vector<platform::FindData> found;
  return platform::FindFiles(folder, cut == std::u16string_view::npos ? pattern : pattern.substr(cut + 1), &found) ==
             0 &&
         !found.empty();
}

}  // namespace

RestoreResult CVolumeRestore::RestoreState(CFsVolume& volume) {
  storage::CCacheStore* cache = volume.GetCacheStore();
  if (cache == nullptr || probe_ == nullptr) return RestoreResult::kFatal;
  location_ = LocateCatalog(*probe_);
  const CatalogLocation& loc = location_;
  if (loc.fatal) {
    KLOG_ERROR("volume: the discs hold content this system did not write, or the unit stopped answering");
    return RestoreResult::kFatal;
  }
  volume.set_catalog_time(loc.found ? loc.time : CFsVolume::kUnknownTime);
  volume.set_catalog_disc(loc.disc);
  volume.RaiseNextFileNumber(loc.next_file);
  RestoreResult result = RestoreResult::kRestored;
  // After a kill the live cache and its journal are newer than any snapshot.
  if (volume.RecoverFromJournal(loc.found, loc.number)) {
    KLOG_INFO("volume: resumed from the live cache of catalog %u", volume.structure_file());
  } else if (volume.ReadSnapshotResume(loc.disc, loc.number)) {
    KLOG_INFO("volume: resumed from the snapshot of catalog %u", loc.number);
  } else if (loc.found && volume.ReadLiveResume(loc.number)) {
    KLOG_INFO("volume: resumed from the live resume file of catalog %u", loc.number);
  } else {
    if (!loc.found && loc.disc == 255) return RestoreResult::kFatal;
    if (!volume.StartFresh()) return RestoreResult::kFatal;
    const Win32Error e = loc.found ? volume.OpenFoundStructure(loc.number) : volume.CreateStructure(loc.number);
    if (e != 0 || volume.LoadRoot() != 0) return RestoreResult::kFatal;
    result = loc.found ? RestoreResult::kFromDiscs : RestoreResult::kNewVolume;
  }
  const std::filesystem::path folder = cache->CacheFolder();
  volume.RaiseNextFileNumber(
      HighestNumberInCache([&](std::u16string_view pattern) { return CacheNameExists(folder, pattern); }));
  return result;
}

// ---- the pieces, as members of the volume ----

void CFsVolume::RaiseNextFileNumber(uint32_t n) {
  uint32_t old = next_file_.load();
  while (old < n && !next_file_.compare_exchange_weak(old, n)) {
  }
}

bool CFsVolume::StartFresh() { return cache_ && cache_->OpenFresh(); }

Win32Error CFsVolume::OpenStructureFile(uint32_t number) {
  if (!cache_) return kErrorAccessDenied;
  if (const Win32Error e = PinCacheFile(storage::CK_DB, storage::kStructDisc, number, this, true)) return e;
  std::filesystem::path path;
  auto db = std::make_unique<storage::CStructureDb>(cache_->clock());
  if (!cache_->CacheFilePath(storage::CK_DB, storage::kStructDisc, number, 0, &path) ||
      db->Open(platform::Utf8ToUtf16(path.string())) != 0) {
    UnpinCacheFile(storage::CK_DB, storage::kStructDisc, number, this, true);
    return kErrorAccessDenied;
  }
  uint8_t history = 0;
  size_t length = 0;
  settings_.history_flag =
      db->GetProperty("SaveHistory", &history, sizeof history, &length) == 1 && length == 1 && history != 1 ? 0 : 1;
  SetStructure(std::move(db), number);
  return 0;
}

Win32Error CFsVolume::OpenFoundStructure(uint32_t number) {
  if (const Win32Error e = OpenStructureFile(number)) return e;
  ReadDirPack();  // what it cannot unpack is fetched one by one later
  existing_catalog_ = true;
  return 0;
}

Win32Error CFsVolume::CreateStructure(uint32_t number) {
  if (!cache_) return kErrorAccessDenied;
  std::filesystem::path path;
  if (const Win32Error e = CreateCacheFile(storage::CK_DB, storage::kStructDisc, &number, this, &path)) return e;
  auto db = std::make_unique<storage::CStructureDb>(cache_->clock());
  if (db->Create(platform::Utf8ToUtf16(path.string())) != 0) {
    UnpinAndDeleteCacheFile(storage::CK_DB, storage::kStructDisc, number, this);
    return kErrorAccessDenied;
  }
  uint32_t id = 0;
  bool random = false;
  if (random_) {
    random = random_(&id);
  } else {
    try {
      std::random_device device;
      id = device();
      random = true;
    } catch (...) {
      random = false;
    }
  }
  if (!random || id == 0) id = VolumeIdFromTime(platform::FileTimeToSystemTime(clock_.Now()));
  uint8_t raw[8];
  for (int i = 0; i < 4; ++i) raw[i] = static_cast<uint8_t>(id >> (8 * i));
  db->SetProperty("VolumeID", raw, 4);
  for (int i = 0; i < 8; ++i) raw[i] = static_cast<uint8_t>(version_ >> (8 * i));
  db->SetProperty("Version", raw, 8);
  db->SetProperty("LastSystem", identity_.data(), identity_.size());
  settings_.history_flag = (!have_config_ || config_history_ == 0) ? 1 : 0;
  db->SetProperty("SaveHistory", &settings_.history_flag, 1);
  existing_catalog_ = false;
  SetStructure(std::move(db), number);
  return 0;
}

Win32Error CFsVolume::LoadRoot() {
  if (!structure_) return kErrorAccessDenied;
  uint8_t disc = 0;
  uint32_t file = 0;
  bool found;
  {
    storage::ReadGuard g(catalog_lock_);
    found = structure_->LookupPath(u"", -1, &disc, &file, 0) == 1;
  }
  auto root = std::make_unique<CDirObject>(this);
  CDirObject* raw = root.get();
  // The root is in the table before it creates its catalog, so that the
  // catalog's growth is accounted against it.
  DirRef* ref = AddDirectory(std::move(root), nullptr);
  ref->refs.fetch_sub(1);
  Win32Error e;
  if (found) {
    e = raw->OpenByPath(u"", disc, file);
  } else {
    const uint8_t current = discs_ != nullptr ? discs_->CurrentDisc() : uint8_t{255};
    e = current == 255 ? kErrorNotFound : raw->CreateRoot(current);
    if (e == 0) {
      // Written at once; a disc that refuses it now gets it from the writer.
      if (const Win32Error f = raw->Flush(true); f != 0 && f != 1237) {
        KLOG_WARN("volume: the new root directory could not be recorded yet (%u)", f);
        MarkDirectoryDirty(raw, 1, 0);
      }
      structure_->SetChangeState(1);
      SaveCatalog();
    }
  }
  if (e != 0) {
    storage::WriteGuard g(dir_lock_);
    std::erase_if(dirs_, [&](const std::unique_ptr<DirRef>& d) { return d.get() == ref; });
  }
  return e;
}

}  // namespace kelva::volume
