#include "service/volume/catalog_restore.h"

#include "platform/text.h"
#include "service/storage/dir_object.h"

namespace kelva::volume {

RestoreResult CCatalogRestore::RestoreState(CFsVolume& volume) {
  if (volume.GetCacheStore() == nullptr) return RestoreResult::kFatal;
  return found_ ? OpenFound(volume, *found_) : CreateNew(volume);
}

RestoreResult CCatalogRestore::CreateNew(CFsVolume& volume) {
  IVolumeDiscs* discs = volume.discs();
  if (discs == nullptr || discs->CurrentDisc() == 255) return RestoreResult::kFatal;
  uint32_t number = 0;
  std::filesystem::path path;
  if (volume.CreateCacheFile(storage::CK_DB, storage::kStructDisc, &number, &volume, &path) != 0) {
    return RestoreResult::kFatal;
  }
  auto db = std::make_unique<storage::CStructureDb>(volume.GetCacheStore()->clock());
  if (db->Create(platform::Utf8ToUtf16(path.string())) != 0) {
    volume.UnpinAndDeleteCacheFile(storage::CK_DB, storage::kStructDisc, number, &volume);
    return RestoreResult::kFatal;
  }
  volume.SetStructure(std::move(db), number);
  auto root = std::make_unique<storage::CDirObject>(&volume);
  CDirObject* raw = root.get();
  // The root must be in the directory table before it creates its catalog, so
  // that its growth is accounted against it.
  volume.AddDirectory(std::move(root), nullptr);
  if (raw->CreateRoot(discs->CurrentDisc()) != 0) return RestoreResult::kFatal;
  volume.structure()->SetChangeState(1);
  return RestoreResult::kNewVolume;
}

RestoreResult CCatalogRestore::OpenFound(CFsVolume& volume, uint32_t number) {
  std::filesystem::path path;
  const bool cached = volume.GetCacheStore()->CacheFilePath(storage::CK_DB, storage::kStructDisc, number, 0, &path);
  if (volume.PinCacheFile(storage::CK_DB, storage::kStructDisc, number, &volume, true) != 0) {
    return RestoreResult::kFatal;
  }
  if (!volume.GetCacheStore()->CacheFilePath(storage::CK_DB, storage::kStructDisc, number, 0, &path)) {
    return RestoreResult::kFatal;
  }
  auto db = std::make_unique<storage::CStructureDb>(volume.GetCacheStore()->clock());
  if (db->Open(platform::Utf8ToUtf16(path.string())) != 0) return RestoreResult::kFatal;
  volume.SetStructure(std::move(db), number);
  if (!OpenRoot(volume)) return RestoreResult::kFatal;
  return cached ? RestoreResult::kRestored : RestoreResult::kFromDiscs;
}

bool CCatalogRestore::OpenRoot(CFsVolume& volume) {
  uint8_t disc = 0;
  uint32_t file = 0;
  if (volume.structure()->LookupPath(u"", -1, &disc, &file, 0) != 1) return false;
  auto root = std::make_unique<storage::CDirObject>(&volume);
  CDirObject* raw = root.get();
  volume.AddDirectory(std::move(root), nullptr);
  return raw->OpenByPath(u"", disc, file) == 0;
}

}  // namespace kelva::volume
