// The repair log: a UTF-16LE text file "<data>/Logs/Repair.log" tracing every
// step of a disc metadata repair and the file operations that led to it. One
// service-wide switch, off at start, decides whether entries are written.
// Thread safe; the file is opened, appended and closed per entry.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/clock.h"

namespace kelva::unit {

// Where the log goes and which clock stamps its entries. Defaults: the data
// folder and the real clock. Tests point it elsewhere.
void SetRepairLogTarget(const std::filesystem::path& data_folder, platform::Clock* clock);
std::filesystem::path RepairLogPath();

bool RepairLoggingOn();
// Bit 0 of flags is the new state. Switching off writes "Logging deactivated\n"
// first; switching on writes "Logging activated\n" after the switch is set.
void SetRepairLogging(uint32_t flags);

// Appends one entry: the local time "YYYY/MM/DD hh:mm:ss.mmm\t" and the message
// formatted from format (printf, UTF-8 arguments), at most 1000 characters;
// a final line feed is written as CR LF. The file starts with the byte-order
// mark FF FE when created. Writes even when logging is off: callers check
// RepairLoggingOn(). An open failure drops the entry.
void WriteRepairLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kelva::unit
