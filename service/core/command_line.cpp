#include "service/core/command_line.h"

#include <cstdio>

#include "platform/log.h"
#include "platform/text.h"

namespace kelva::core {

using namespace kelva::platform;

namespace {

bool Is(const std::string& arg, std::u16string_view option) { return EqualNoCase(Utf8ToUtf16(arg), option); }

void Usage() {
  std::printf(
      "usage: kelva [-v] [option]\n"
      "  (none)             run as the service (started by systemd)\n"
      "  /noservice         run the service in this terminal until Ctrl+C\n"
      "  /install           install the filter service, then the service (systemd units)\n"
      "  /uninstall         remove the service, then the filter service\n"
      "  /install_driver    check the file system host (FUSE 3)\n"
      "  /uninstall_driver  leave the file system host (FUSE 3) in place\n"
      "  /check_version     check that the operating system is new enough\n"
      "  -v                 verbose log lines (also KELVA_DEBUG=1)\n"
      "  --help             this text\n"
      "Only the first option is looked at; an unknown one does nothing.\n");
}

}  // namespace

int32_t KelvaMain(const std::vector<std::string>& all_args, CommandLineHooks& hooks) {
  std::vector<std::string> args;
  for (const std::string& a : all_args) {
    if (a == "-v") {
      SetVerbose(true);
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) {
    // The service dispatcher: it can only connect when a service manager started us.
    if (!hooks.started_by_service_manager || !hooks.started_by_service_manager()) {
      KLOG_INFO("not started by the service manager; use /noservice to run in a terminal");
      return 0;
    }
    auto service = hooks.make_service(true);
    const int32_t code = service->ServiceMain();
    // The status report carries the exit code; the process exit status tells
    // systemd whether the service failed.
    return code == 0 ? 0 : 1;
  }
  const std::string& arg = args[0];
  if (arg == "--help") {
    Usage();
    return 0;
  }
  if (Is(arg, u"/install")) {
    if (!hooks.install.install_filter()) return 2;
    return hooks.install.install_service() ? 0 : 1;
  }
  if (Is(arg, u"/uninstall")) {
    int32_t code = 0;
    if (!hooks.install.uninstall_service()) code |= 1;
    if (!hooks.install.uninstall_filter()) code |= 2;
    return code;
  }
  if (Is(arg, u"/install_driver")) return hooks.install.install_host_driver() ? 0 : 4;
  if (Is(arg, u"/uninstall_driver")) return hooks.install.uninstall_host_driver() ? 0 : 4;
  if (Is(arg, u"/check_version")) return hooks.install.check_version() ? 0 : 8;
  if (Is(arg, u"/noservice")) {
    auto service = hooks.make_service(false);
    return service->RunConsole();
  }
  KLOG_DEBUG("unknown argument %s ignored", arg.c_str());
  return 0;
}

}  // namespace kelva::core
