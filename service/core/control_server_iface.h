// What the service core needs of the control channel server. EmptyControlServer
// stands in until the real one is plugged in through
// ServiceEnvironment::make_control_server.
#pragma once

#include "service/core/unit_manager_iface.h"

namespace kelva::core {

class IControlServer {
 public:
  IControlServer() = default;
  IControlServer(const IControlServer&) = delete;
  IControlServer& operator=(const IControlServer&) = delete;
  virtual ~IControlServer() = default;

  // Opens the control mailslot and starts serving; units is the unit manager,
  // to which the server attaches its subscriber notifications. Returns 0 or a
  // Win32 error.
  virtual uint32_t Start(IUnitManager* units) = 0;
  // Stops serving. Idempotent; a no-op when not started.
  virtual void Stop() = 0;
  // Sends the service-closing message to every subscriber and forgets them.
  virtual void SendServiceClosing() = 0;
};

class EmptyControlServer final : public IControlServer {
 public:
  uint32_t Start(IUnitManager*) override { return 0; }
  void Stop() override {}
  void SendServiceClosing() override {}
};

}  // namespace kelva::core
