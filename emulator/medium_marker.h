// Makes a published unit's medium visible to the host's device manager: the
// marker <units>/<name>.medium exists while the unit holds a medium and names
// the magazine folder (platform/sim_device_source.h reads it).
//
// The medium counts as arrived once the disc in the drive is ready (the
// storage check-verify request succeeds) and as removed once the magazine
// leaves (ejected or pulled) or the unit does (unplugged). A drive that only
// stops, rests, changes discs inside the magazine or lets a disc drop out
// keeps its medium: the host must not take the volume away for that (a
// dropped disc is put back by the host while the magazine stays).
#pragma once

#include <filesystem>
#include <string>

#include "emulator/sim_unit.h"

namespace kelva::emulator {

class MediumMarker {
 public:
  MediumMarker(SimUnit* unit, std::filesystem::path units_dir, std::string name);
  ~MediumMarker();  // removes the marker
  MediumMarker(const MediumMarker&) = delete;
  MediumMarker& operator=(const MediumMarker&) = delete;

  // Looks at the unit once and writes or removes the marker when its medium
  // came, went or was replaced. Returns whether a medium is present.
  bool Update();

 private:
  SimUnit* unit_;
  const std::filesystem::path units_dir_;
  const std::string name_;
  bool present_ = false;
  std::filesystem::path magazine_;
};

}  // namespace kelva::emulator
