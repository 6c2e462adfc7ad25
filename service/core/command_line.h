// The kelva command line. Only the first argument is looked at, compared without
// regard to case; an unknown argument does nothing and exits 0. Besides the
// system's options, "--help" prints the usage and "-v" (anywhere) turns on
// verbose log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/core/install_commands.h"
#include "service/core/service_app.h"

namespace kelva::core {

struct CommandLineHooks {
  InstallCommands install;
  // Makes the service for service mode or console mode.
  std::function<std::unique_ptr<KelvaService>(bool service_mode)> make_service;
  // True when a service manager started the process (the dispatcher can connect).
  std::function<bool()> started_by_service_manager;
};

// Runs the command line (args without the program name) and returns the exit code.
int32_t KelvaMain(const std::vector<std::string>& args, CommandLineHooks& hooks);

}  // namespace kelva::core
