// KelvaMsg: the notifier program, one per desktop session.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "notifier/notifier_app.h"
#include "platform/log.h"
#include "platform/logind.h"
#include "platform/service_host.h"

using namespace kelva;

namespace {

void Usage(FILE* out) {
  std::fputs(
      "usage: KelvaMsg [-v]\n"
      "Shows the Kelva service's messages in this session: as desktop notifications when a\n"
      "desktop is there, else one line each on stdout. While the service holds magazine work\n"
      "that is not yet safe, shutdown and sleep are held back.\n"
      "  -v, --verbose  more detail in the log (stderr)\n"
      "  --help         this text\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  platform::BlockStopSignals();
  platform::SetLogProgram("KelvaMsg");
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "-v" || a == "--verbose") {
      platform::SetVerbose(true);
      continue;
    }
    std::fprintf(stderr, "KelvaMsg: unknown argument %s\n", argv[i]);
    Usage(stderr);
    return 2;
  }

  std::unique_ptr<notifier::Presenter> presenter = notifier::MakePresenter();
  std::unique_ptr<platform::Inhibitor> inhibitor = platform::MakeLogindInhibitor();
  notifier::NotifierOptions options;
  options.presenter = presenter.get();
  options.inhibitor = inhibitor.get();
  notifier::NotifierApp app(std::move(options));

  platform::StopSignalWatcher signals;
  if (!signals.Start({SIGINT, SIGTERM}, [&app](int signo) {
        KLOG_INFO("%s: stopping", signo == SIGINT ? "SIGINT" : "SIGTERM");
        app.RequestStop();
      }))
    KLOG_WARN("cannot watch the stop signals");
  const int code = app.Run();
  signals.Stop();
  return code;
}
