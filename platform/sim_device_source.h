// Simulated archive units as optical devices: the units kelva-unitsim
// publishes in a folder (normally RunDir()/units).
//
//   <name>.sock    the unit's socket (platform/unit_socket.h): its appearance
//                  is the unit's arrival, its disappearance (or the unit's end
//                  of service on a connection kept open to it) its removal;
//   <name>.medium  present while a magazine's disc is in the unit's drive; its
//                  first line names the magazine folder. Its appearance and
//                  disappearance are the unit's media arrival and removal.
//
// Each unit is named from its unit name: interface path
// "\\?\USBSTOR#CdRom&Ven_<vendor>&Prod_<product>#<name>&0#{53f56308-...}" and a
// volume GUID made from the name, so both stay the same across restarts of
// the unit and of the service.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/device_source.h"

namespace kelva::platform {

// The marker a running unit keeps while a medium is present.
std::filesystem::path UnitMediumMarkerPath(const std::filesystem::path& units_dir, const std::string& name);
// Writes the marker (aside, then renamed into place) naming the magazine folder.
Win32Error WriteUnitMediumMarker(const std::filesystem::path& units_dir, const std::string& name,
                                 const std::filesystem::path& magazine);
void RemoveUnitMediumMarker(const std::filesystem::path& units_dir, const std::string& name);

// Held by a starting unit from choosing its device number until it is
// published, so that units started at the same time choose different numbers.
class UnitPublishLock {
 public:
  explicit UnitPublishLock(const std::filesystem::path& units_dir);
  ~UnitPublishLock();
  UnitPublishLock(const UnitPublishLock&) = delete;
  UnitPublishLock& operator=(const UnitPublishLock&) = delete;

 private:
  int fd_ = -1;
};

// The smallest device number from first on that no unit published in
// units_dir reports.
uint32_t FreeUnitDeviceNumber(const std::filesystem::path& units_dir, uint32_t first);

std::unique_ptr<DeviceSource> CreateSimDeviceSource(const std::filesystem::path& units_dir);

}  // namespace kelva::platform
