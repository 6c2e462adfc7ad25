#include "notifier/notifier_app.h"

#include <cstdio>

#include "notifier/udf_check.h"
#include "platform/named_event.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace kelva::notifier {

using namespace kelva::platform;

namespace {
std::string MountRootOf(const NotifierOptions& o) {
  return (o.mount_root.empty() ? MountRoot() : o.mount_root).string();
}
std::filesystem::path MailslotDirOf(const NotifierOptions& o) {
  return o.run_dir.empty() ? UserRunDir() : o.run_dir / "user";
}
}  // namespace

NotifierApp::NotifierApp(NotifierOptions options)
    : options_(std::move(options)),
      done_(true, false, *options_.clock),
      handler_(*options_.presenter, MountRootOf(options_), [this] { done_.Set(); },
               [this](uint32_t number) { AnswerDialog(number); }),
      server_(*options_.clock, MailslotDirOf(options_),
              [this](const uint8_t* data, size_t length) { handler_.Handle(data, length); }),
      busy_(*options_.clock, options_.run_dir, *options_.inhibitor) {}

NotifierApp::~NotifierApp() {
  options_.presenter->Cancel();
  server_.Stop();
  busy_.Stop();
}

void NotifierApp::RequestStop() { done_.Set(); }

void NotifierApp::AnswerDialog(uint32_t number) {
  // A dialog closed because the program ends was not closed by the user.
  if (done_.IsSet()) return;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06X", number & 0xFFFFFF);
  std::unique_ptr<NamedEvent> event;
  if (NamedEvent::Open(std::string(kDialogClosedEventPrefix) + digits, *options_.clock, &event, options_.run_dir) !=
      ERROR_SUCCESS) {
    KLOG_DEBUG("dialog %06X closed; its sender no longer waits", number);
    return;
  }
  event->Set();
}

int NotifierApp::Run() {
  KLOG_INFO("starting");
  if (options_.udf_driver_version && !UdfDriverIsCurrent(options_.udf_driver_version())) {
    KLOG_WARN("the system UDF driver is outdated");
    options_.presenter->Dialog(kProductName, kUdfWarningText, Level::kWarning);
  }
  const Win32Error e = server_.Start();
  if (e == ERROR_ALREADY_EXISTS) {
    KLOG_INFO("another KelvaMsg owns the notification mailslot; this one receives no messages");
  } else if (e) {
    KLOG_ERROR("cannot create the notification mailslot: %u (%s); running without it", e, ErrorText(e).c_str());
  } else {
    KLOG_INFO("receiving messages");
  }
  busy_.Start();
  done_.Wait(kInfinite);
  KLOG_INFO("stopping");
  // An open dialog would keep the reader from ending.
  options_.presenter->Cancel();
  server_.Stop();
  busy_.Stop();
  KLOG_INFO("stopped");
  return 0;
}

}  // namespace kelva::notifier
