// The service core's unit manager: the unit layer's UnitManager wired to the
// service (filter messages and device handle notifications through
// IServiceCore), to the computer's optical devices (a DeviceManager the
// caller owns and keeps alive longer than the manager) and to the raw
// volumes' UDF file systems, which the units share.
#pragma once

#include <memory>

#include "platform/device_manager.h"
#include "service/core/service_app.h"
#include "service/core/unit_manager_iface.h"
#include "service/unit/unit_manager.h"
#include "service/unit/volume_worker.h"

namespace kelva::core {

// Creates the unit manager with the service's volume worker.
std::unique_ptr<IUnitManager> MakeUnitManager(IServiceCore& core, platform::DeviceManager& devices);

// The same with another volume worker factory (tests).
std::unique_ptr<IUnitManager> MakeUnitManager(IServiceCore& core, platform::DeviceManager& devices,
                                              unit::VolumeWorkerFactory make_volume_worker);

// The unit manager behind an IUnitManager made by MakeUnitManager (for the
// control channel, which looks units up by drive letter); null for any other.
unit::UnitManager* UnitsOf(IUnitManager& manager);

}  // namespace kelva::core
