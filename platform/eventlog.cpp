#include "platform/eventlog.h"

#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/log.h"

namespace kelva::platform {

void ReportEvent(EventType type, unsigned event_id, std::string_view text) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("KELVA", LOG_PID | LOG_NDELAY, LOG_DAEMON); });
  int priority = LOG_INFO;
  LogLevel level = LogLevel::kInfo;
  switch (type) {
    case EventType::kError: priority = LOG_ERR; level = LogLevel::kError; break;
    case EventType::kWarning: priority = LOG_WARNING; level = LogLevel::kWarning; break;
    case EventType::kInformation: break;
  }
  const std::string body(text);
  syslog(priority, "event %u: %s", event_id, body.c_str());
  Log(level, "event log entry %u: %s", event_id, body.c_str());
}

}  // namespace kelva::platform
