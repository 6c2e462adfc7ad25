// The event log: entries the system reports under the event source "KELVA" go
// to syslog (journald) with the identifier "KELVA", each entry also echoed as an
// operational log line. Thread safe.
#pragma once

#include <string_view>

namespace kelva::platform {

enum class EventType { kError, kWarning, kInformation };

// Writes one entry with the event id and text. Never fails visibly: an
// unavailable syslog loses the entry, not the caller's work.
void ReportEvent(EventType type, unsigned event_id, std::string_view text);

}  // namespace kelva::platform
