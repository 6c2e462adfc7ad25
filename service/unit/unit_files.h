// The unit's own files in the data folder, all keyed by the drive serial:
//   <data>/<serial>/Config.bin          unit configuration, exactly 8 bytes
//   <data>/<serial>/Error.bin           coded error history, exactly 53,616 bytes
//                                       (UtilError.bin, the same layout, belongs to
//                                       the shell extension)
//   <data>/<serial>/Logs/LogGet_YYYYMMDDhhmmss.bin   dumps of the unit's log memory
//   <data>/magazine/<magazine id>/<serial>-NN-K.bin  disc information block of
//                                       kind K (0 or 1) of the disc in slot NN
// Every format is little-endian and written field by field. Functions here
// take the paths and the device they need and keep no state; the controller
// composes the paths from its serial and magazine identifier.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"
#include "service/unit/unit_commands.h"

namespace kelva::unit {

namespace fs = std::filesystem;

// ---- paths ---------------------------------------------------------------------

// The serial as a folder name: "/" and "\" become "_", and a serial that is
// empty or only dots becomes "NO SERIAL", so that a unit can never name a
// folder outside the data folder.
std::string SerialFolderName(std::u16string_view serial);
fs::path UnitFolder(const fs::path& data_folder, std::u16string_view serial);
fs::path ConfigPath(const fs::path& data_folder, std::u16string_view serial);
fs::path ErrorHistoryPath(const fs::path& data_folder, std::u16string_view serial);
fs::path UtilErrorHistoryPath(const fs::path& data_folder, std::u16string_view serial);
fs::path UnitLogsFolder(const fs::path& data_folder, std::u16string_view serial);
// "LogGet_%04d%02d%02d%02d%02d%02d.bin" of the local time of the retrieval.
std::string LogDumpName(const platform::SystemTime& local);
// "<serial>-%02d-%d.bin" below <data>/magazine/<magazine id>.
fs::path DiscInfoPath(const fs::path& data_folder, std::u16string_view magazine_id,
                      std::u16string_view serial, uint8_t slot, uint8_t kind);

// ---- Config.bin -----------------------------------------------------------------

inline constexpr uint32_t kConfigSize = 8;
using UnitConfig = std::array<uint8_t, kConfigSize>;
inline constexpr uint8_t kVerificationOff = 0x20;

// Field accessors of the 8 bytes.
inline uint8_t ConfigVerificationMode(const UnitConfig& c) { return c[0]; }
inline uint8_t ConfigRetentionMode(const UnitConfig& c) { return c[1]; }
inline uint8_t ConfigHistorySwitch(const UnitConfig& c) { return c[2]; }
inline uint8_t ConfigCacheKeepCount(const UnitConfig& c) { return c[3]; }
int32_t ConfigFileSplit(const UnitConfig& c);
void SetConfigFileSplit(UnitConfig* c, int32_t value);

// True when the file's first 8 bytes were read (a shorter file counts as
// absent; bytes past the eighth are ignored).
bool ReadConfig(const fs::path& path, UnitConfig* out);
// Creates or replaces the file (creating its folder chain); true when 8 bytes were written.
bool WriteConfig(const fs::path& path, const UnitConfig& config);
// Byte 0 of the configuration, or 0x20 (verification off) when it cannot be read.
uint8_t RecordVerificationMode(const fs::path& config_path);

// ---- Error.bin ------------------------------------------------------------------

inline constexpr uint32_t kHistoryEntries = 100;
inline constexpr uint32_t kHistoryNone = 100;  // newest index of an empty history
inline constexpr uint32_t kHistoryTextChars = 260;
inline constexpr uint32_t kHistoryEntrySize = 16 + 2 * kHistoryTextChars;  // 536
inline constexpr uint32_t kHistoryFileSize = 16 + kHistoryEntries * kHistoryEntrySize;  // 53616

struct ErrorEntry {
  platform::SystemTime time;                 // UTC
  std::array<char16_t, kHistoryTextChars> text{};  // NUL-terminated
  // The text up to its terminator.
  std::u16string Text() const;
};

struct ErrorHistory {
  uint32_t count = 0;                 // at most 100
  uint32_t newest = kHistoryNone;     // 0-99, 100 = none yet
  uint32_t reserved[2] = {0, 0};
  std::array<ErrorEntry, kHistoryEntries> entries{};

  void Clear() { *this = ErrorHistory(); }
  // Records one entry in the ring: the count saturates at 100, the newest index
  // moves on (100 wraps to 0) and the entry's text is cut to 259 characters.
  void Add(const platform::SystemTime& utc, std::u16string_view text);
};

std::string SerializeErrorHistory(const ErrorHistory& history);
// False (out unchanged) unless bytes is exactly 53616 long with a count of at
// most 100 and a newest index of at most 100.
bool ParseErrorHistory(std::string_view bytes, ErrorHistory* out);
// Reads the file's first 53616 bytes (bytes past them are ignored).
// ERROR_SUCCESS; ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when there is
// no history yet; ERROR_INVALID_DATA for a file too short or not a history;
// another error when it could not be read.
platform::Win32Error LoadErrorHistory(const fs::path& path, ErrorHistory* out);
// LoadErrorHistory() == ERROR_SUCCESS.
bool ReadErrorHistory(const fs::path& path, ErrorHistory* out);
bool WriteErrorHistory(const fs::path& path, const ErrorHistory& history);
// Renames a history that could not be read to "Error-refused-<UTC time>.bin"
// beside it, so that the next write starts a new one without destroying it.
// The new path, or an empty path when the rename failed.
fs::path SetAsideErrorHistory(const fs::path& path, const platform::SystemTime& utc);

// ---- unit log dumps --------------------------------------------------------------

inline constexpr uint32_t kMaxLogDumps = 30;
// Largest log section accepted from the unit; a longer one is treated as a
// failed read.
inline constexpr uint32_t kMaxLogSection = 16u << 20;
// Largest whole log memory accepted (all sections together).
inline constexpr uint64_t kMaxLogMemory = 64ull << 20;

// The lengths of sections 1 .. n-1 from section 0 of the unit's log memory
// (count in byte 8, big-endian lengths from byte 10). False when the table does
// not fit in section 0 or a length passes kMaxLogSection (kMaxLogMemory in all).
bool UnitLogSectionLengths(const uint8_t* section0, size_t length, std::vector<uint32_t>* out);

// Dumps the unit's log memory into logs_folder/LogGet_<local time>.bin, then
// prunes the folder. The file is created first; a failed read leaves it empty.
// Returns the dump's path (empty when the file could not be created).
fs::path RetrieveUnitLog(DeviceHandle device, const fs::path& logs_folder,
                         const platform::SystemTime& local_time);
// With more than 30 plain files in the folder, deletes the oldest one (by its
// time stamp, then by name). Returns true when one was deleted.
bool PruneUnitLogs(const fs::path& logs_folder);

// ---- disc information -------------------------------------------------------------

// The longest block a save can produce (255 chunks of 64 KiB, the most a size
// record announces); a longer file is never sent to the unit.
inline constexpr uint32_t kMaxDiscInfoFile = 255u * 65536u;

// Saves the unit's block of this kind into path. 0 on success; -1 when the
// unit has no information or a read failed; a create or write error otherwise.
// A partly written file is deleted.
int SaveDiscInformation(DeviceHandle device, const fs::path& path, uint8_t kind);
// Sends the saved block back to the unit in chunks of 64 KiB. 0 on success;
// the open error when the file is missing; -1 when it is empty, too long or a
// chunk was refused.
int RestoreDiscInformation(DeviceHandle device, const fs::path& path, uint8_t kind);
// 0, or the deletion error (ERROR_FILE_NOT_FOUND when there was none).
platform::Win32Error DeleteDiscInformation(const fs::path& path);

}  // namespace kelva::unit
