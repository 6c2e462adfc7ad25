// CVolumeRestore: the catalog step of a volume's Open. It locates the newest
// structure catalog on the discs, then resumes from the snapshot of the last
// archive run (unless the magazine was closed cleanly), else from the live
// resume file, else starts the cache afresh from the discs, or creates a new
// volume on a blank magazine. Finally the next file number is raised above
// every number the live cache holds.
#pragma once

#include <optional>

#include "service/volume/catalog_search.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

class CVolumeRestore : public IVolumeRestore {
 public:
  // probe: the unit and its discs (not owned).
  explicit CVolumeRestore(ICatalogProbe* probe) : probe_(probe) {}
  RestoreResult RestoreState(CFsVolume& volume) override;
  // What the search found (after RestoreState).
  const CatalogLocation& location() const { return location_; }

 private:
  ICatalogProbe* probe_;
  CatalogLocation location_;
};

}  // namespace kelva::volume
