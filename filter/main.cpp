// kelvaflt: the access filter daemon.
#include <cstdio>
#include <cstring>
#include <string>

#include "filter/filter_service.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/service_host.h"
#include "platform/service_manager.h"
#include "platform/sync.h"

using namespace kelva;
using namespace kelva::platform;

namespace {

void Usage() {
  std::printf(
      "usage: kelvaflt [-v] [--help]\n"
      "Serves the filter port %s in $KELVA_RUN_DIR (default /run/kelva) and refuses\n"
      "opens of registered archive-unit volumes by processes not connected to it.\n"
      "Volume files are read from $KELVA_RUN_DIR/volumes/<Volume{GUID}>, one path a line.\n"
      "  -v      verbose log lines\n"
      "  --help  this text\n",
      filter::kFilterPortName);
}

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();
  SetLogProgram("kelvaflt");
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage();
      return 0;
    }
    if (!std::strcmp(argv[i], "-v")) {
      SetVerbose(true);
      continue;
    }
    std::fprintf(stderr, "kelvaflt: unknown argument %s (try --help)\n", argv[i]);
    return 2;
  }

  Event stop(true);
  StopSignalWatcher signals;
  if (!signals.Start({SIGINT, SIGTERM}, [&](int signo) {
        KLOG_INFO("%s received, stopping", signo == SIGINT ? "SIGINT" : "SIGTERM");
        stop.Set();
      })) {
    KLOG_ERROR("cannot watch stop signals");
    return 1;
  }

  const auto run_dir = RunDir();
  // The port lives where only root writes (users' mailslots have a sticky part of their own).
  if (Win32Error e = PrepareRunDirs())
    KLOG_WARN("cannot prepare the run folder %s: %u (%s)", run_dir.c_str(), e, ErrorText(e).c_str());
  filter::FilterService service(std::make_unique<filter::FolderVolumeResolver>(run_dir / "volumes"));
  filter::FilterService::Options options;
  options.run_dir = run_dir;
  bool enforcing = false;
  KLOG_INFO("starting: port %s", FilterPortPath(filter::kFilterPortName, run_dir).c_str());
  if (Win32Error e = service.Start(options, &enforcing)) {
    KLOG_ERROR("cannot create the port: %u (%s)", e, ErrorText(e).c_str());
    NotifyServiceManager("STATUS=cannot create the port");
    return 1;
  }
  const auto pid_file = run_dir / "kelvaflt.pid";
  if (Win32Error e = WritePidFile(pid_file)) KLOG_WARN("cannot write %s: %u", pid_file.c_str(), e);
  NotifyServiceManager(enforcing ? "READY=1\nSTATUS=filtering" : "READY=1\nSTATUS=serving the port, not enforcing");
  KLOG_INFO("running%s", enforcing ? "" : " (not enforcing)");

  stop.Wait();

  NotifyServiceManager("STOPPING=1");
  KLOG_INFO("stopping");
  service.Stop();
  signals.Stop();
  std::remove(pid_file.c_str());
  KLOG_INFO("stopped");
  return 0;
}
