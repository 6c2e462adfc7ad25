#include "service/volume/engine_discs.h"

namespace kelva::volume {

platform::Win32Error CEngineDiscs::RecordCacheFile(storage::CacheKind kind, uint8_t disc, uint32_t file,
                                                   bool on_disc, const std::filesystem::path* source_path,
                                                   uint8_t* out_disc, uint32_t* out_file) {
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
