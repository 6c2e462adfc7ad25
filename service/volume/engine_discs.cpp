#include "service/volume/engine_discs.h"

#include "service/storage/disc_pack_channel.h"
#include "service/unit/unit_controller.h"

namespace kelva::volume {

platform::Win32Error CEngineDiscs::CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) {
  storage::DiscFileInfo info;
  const platform::Win32Error e = engine_->LookupDiscFile(storage::CK_DB, disc, number, &info);
  if (e == 0) *out = info.last_write;
  return e;
}

platform::Win32Error CEngineDiscs::OpenPack(bool for_writing, std::unique_ptr<storage::IPackChannel>* out) {
  auto channel = std::make_unique<storage::CDiscPackChannel>(engine_);
  if (for_writing) {
    if (const platform::Win32Error e = channel->Create()) return e;
  }
  *out = std::move(channel);
  return 0;
}

platform::Win32Error CEngineDiscs::DeletePack() {
  if (controller_ == nullptr) return platform::ERROR_NOT_SUPPORTED;
  return controller_->Delete(u"STRUCT\\DIRPACK.BIN");
}

platform::Win32Error CEngineDiscs::RecordCacheFile(storage::CacheKind kind, uint8_t disc, uint32_t file,
                                                   bool on_disc, const std::filesystem::path* source_path,
                                                   uint8_t* out_disc, uint32_t* out_file) {
  // A catalog save stamps the catalog itself before it copies it.
  if (kind != storage::CK_DB) StampFirst();
  storage::RecordSource source;
  source.kind = kind;
  source.disc = kind == storage::CK_DB ? storage::kStructDisc : disc;
  source.file = file;
  source.wanted = file;
  // A copy already on the discs is never overwritten: it gets a new number.
  source.existing_catalog = on_disc;
  if (source_path != nullptr) source.path = *source_path;
  storage::RecordAnswer answer;
  const platform::Win32Error e = engine_->RecordCacheFile(source, &answer);
  if (e == 0) {
    if (out_disc != nullptr) *out_disc = answer.disc;
    if (out_file != nullptr) *out_file = answer.file;
  }
  return e;
}

platform::Win32Error CEngineDiscs::RecordLogHead(uint8_t disc, uint32_t file, bool, uint8_t* out_disc,
                                                 uint32_t* out_file) {
  storage::RecordAnswer answer;
  const platform::Win32Error e = engine_->RecordLogHead(disc, file, &answer);
  if (e == 0) {
    if (out_disc != nullptr) *out_disc = answer.disc;
    if (out_file != nullptr) *out_file = answer.file;
  }
  return e;
}

}  // namespace kelva::volume
