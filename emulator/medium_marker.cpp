#include "emulator/medium_marker.h"

#include "platform/log.h"
#include "platform/sim_device_source.h"

namespace kelva::emulator {

namespace fs = std::filesystem;

MediumMarker::MediumMarker(SimUnit* unit, fs::path units_dir, std::string name)
    : unit_(unit), units_dir_(std::move(units_dir)), name_(std::move(name)) {
  // A marker left by an earlier run of the unit says nothing about this one.
  platform::RemoveUnitMediumMarker(units_dir_, name_);
}

MediumMarker::~MediumMarker() { platform::RemoveUnitMediumMarker(units_dir_, name_); }

bool MediumMarker::Update() {
  const bool present = present_ ? unit_->HoldsMedium() : unit_->CheckVerify() == platform::ERROR_SUCCESS;
  fs::path magazine;
  if (present) {
    std::error_code ec;
    magazine = fs::absolute(unit_->MagazineDir(), ec);
  }
  if (present == present_ && magazine == magazine_) return present_;
  if (present) {
    if (platform::Win32Error e = platform::WriteUnitMediumMarker(units_dir_, name_, magazine)) {
      KLOG_ERROR("cannot write the medium marker of unit %s: %u", name_.c_str(), e);
      return present_;  // tried again on the next look
    }
  } else {
    platform::RemoveUnitMediumMarker(units_dir_, name_);
  }
  present_ = present;
  magazine_ = magazine;
  return present_;
}

}  // namespace kelva::emulator
