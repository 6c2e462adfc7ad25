#include "service/core/install_commands.h"

#include "platform/log.h"

namespace kelva::core {

// Installation is not available in this build yet: every command fails, so
// that the command line reports the failure instead of claiming success.
namespace {
bool NotAvailable(const char* what) {
  KLOG_ERROR("%s: installation commands are not available in this build", what);
  return false;
}
}  // namespace

bool InstallFilter() { return NotAvailable("install filter"); }
bool InstallService() { return NotAvailable("install service"); }
bool UninstallService() { return NotAvailable("uninstall service"); }
bool UninstallFilter() { return NotAvailable("uninstall filter"); }
bool InstallHostDriver() { return NotAvailable("install host driver"); }
bool UninstallHostDriver() { return NotAvailable("uninstall host driver"); }
bool CheckVersion() { return NotAvailable("check version"); }

}  // namespace kelva::core
