// CCatalogRestore: the catalog step of a volume's Open for the two cases that
// need no resume data: a magazine without any structure catalog gets a new
// volume (a new structure catalog in the cache and the root directory on the
// current disc), and a structure catalog already located (its file number known)
// is pinned, fetched from the discs when the cache lacks it, and opened with its
// root directory.
#pragma once

#include <cstdint>
#include <optional>

#include "service/volume/fs_volume.h"

namespace kelva::volume {

class CCatalogRestore : public IVolumeRestore {
 public:
  // found: the file number of the structure catalog located on the discs or in
  // the cache; nullopt when none exists.
  explicit CCatalogRestore(std::optional<uint32_t> found) : found_(found) {}
  RestoreResult RestoreState(CFsVolume& volume) override;

 private:
  RestoreResult CreateNew(CFsVolume& volume);
  RestoreResult OpenFound(CFsVolume& volume, uint32_t number);
  static bool OpenRoot(CFsVolume& volume);

  std::optional<uint32_t> found_;
};

}  // namespace kelva::volume
