// The bytes of a history log: segments, links and records.
//
// A history log is a chain of segments (cache kind CK_LOG), newest last. Each
// segment starts with a 5-byte link naming the previous, older segment:
//   0  1  disc   (255 for the first segment)
//   1  4  file   (0xFFFFFFFF for the first segment)
// and continues with records. Every record starts with an 11-byte head:
//   0  2  record length in bytes, head included
//   2  1  record type, an ASCII letter
//   3  2  year        5 1 month   6 1 day   7 1 hour   8 1 minute   9 1 second
//   10 1  hundredths of a second
// holding the UTC time of the event (all eight time bytes 0 when the time cannot
// be converted). Payloads by type:
//   "N" created  26 + p  disc u8, file u32, value1 u32, value2 u32, p u16, path
//   "U" updated  24      disc u8, file u32, value1 u32, value2 u32
//   "R" renamed  13 + n  n u16, new name
//   "M" moved    13 + p  p u16, new full path
//   "D" deleted  11      nothing
// Names and paths are UTF-16LE without terminator, their lengths in bytes. All
// numbers are little-endian; nothing is padded. A sealed segment is at most
// 65536 bytes long; a record may continue from one segment into the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"

namespace kelva::storage {

using platform::Win32Error;

inline constexpr size_t kHistoryLinkSize = 5;
inline constexpr size_t kHistoryHeadSize = 11;
// A sealed segment holds at most this many bytes, link included.
inline constexpr size_t kHistorySegmentLimit = 65536;
// The link of the first segment.
inline constexpr uint8_t kHistoryNoDisc = 255;
inline constexpr uint32_t kHistoryNoFile = 0xFFFFFFFFu;
// Set in the file number of a directory's "N" and "U" records.
inline constexpr uint32_t kHistoryDirectoryBit = 0x40000000u;

enum HistoryRecordType : uint8_t {
  kHistoryCreated = 'N',
  kHistoryUpdated = 'U',
  kHistoryRenamed = 'R',
  kHistoryMoved = 'M',
  kHistoryDeleted = 'D',
};

struct HistoryLink {
  uint8_t disc = kHistoryNoDisc;
  uint32_t file = kHistoryNoFile;
  bool IsFirst() const { return disc == kHistoryNoDisc && file == kHistoryNoFile; }
  bool operator==(const HistoryLink&) const = default;
};

// One record, decoded.
struct HistoryRecord {
  uint8_t type = 0;
  // The eight time bytes: year, month, day, hour, minute, second, hundredths.
  uint16_t year = 0;
  uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0, hundredths = 0;
  // "N" and "U".
  uint8_t disc = 0;
  uint32_t file = 0;
  uint32_t value1 = 0;
  uint32_t value2 = 0;
  // "N" path, "R" name, "M" path.
  std::u16string text;
  bool operator==(const HistoryRecord&) const = default;
};

void EncodeHistoryLink(const HistoryLink& link, uint8_t* out);
HistoryLink DecodeHistoryLink(const uint8_t* in);

// The records, each ready to be appended. Text longer than fits the record's
// 16-bit length gives an empty string (nothing to append).
std::string MakeCreatedRecord(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                              uint32_t value2, std::u16string_view path);
std::string MakeUpdatedRecord(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                              uint32_t value2);
std::string MakeRenamedRecord(platform::FileTime time, std::u16string_view new_name);
std::string MakeMovedRecord(platform::FileTime time, std::u16string_view new_path);
std::string MakeDeletedRecord(platform::FileTime time);

// Parses the records of a log (segments joined without their links). Calls
// on_record for each; stops early when it returns false. ERROR_INVALID_DATA for
// a record whose length is shorter than its head, runs past the end, or does not
// fit its type (a fixed-size type with another length, a text length that
// disagrees with the record length, an unknown type); the records before it
// have been delivered.
Win32Error ParseHistoryRecords(std::string_view records, const std::function<bool(const HistoryRecord&)>& on_record);

// Reads one segment's bytes by its identity (link included). 0 or an error.
using HistorySegmentReader = std::function<Win32Error(uint8_t disc, uint32_t file, std::string* bytes)>;

// Follows the links from the newest segment (given as bytes) back to the first,
// reading each older segment through read, and returns the segments' records
// (links stripped) oldest first. The newest segment may be of any length; older
// ones must hold a link and at most 65536 bytes. ERROR_INVALID_DATA for a
// segment shorter than its link, an older segment over 65536 bytes, a link that
// comes back to a segment already seen or a chain longer than max_segments;
// otherwise the reader's error.
Win32Error CollectHistoryChain(std::string newest, const HistorySegmentReader& read, size_t max_segments,
                               std::vector<std::string>* oldest_first);

}  // namespace kelva::storage
