// Records read from and written to the catalogs: one dirent row of a directory
// catalog (DirEntryRecord, also written to resume streams in a packed form) and
// one extent of a file's extent index (ExtentRecord).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelva::storage {

// The dirent type column: bits 0-2 give the kind, bit 3 marks a named stream of
// the file whose name precedes the colon, bit 4 a deleted entry kept as a tombstone.
inline constexpr uint8_t ENTRY_KIND_MASK = 0x07;
inline constexpr uint8_t ENTRY_KIND_FILE = 0;
inline constexpr uint8_t ENTRY_KIND_DIRECTORY = 2;
inline constexpr uint8_t ENTRY_STREAM = 8;
inline constexpr uint8_t ENTRY_DELETED = 16;

inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;

// hdisk / hfile of an entry without a change log.
inline constexpr uint8_t kNoHistoryDisk = 255;
inline constexpr uint32_t kNoHistoryFile = 0xFFFFFFFFu;

// One dirent row in memory. Names are UTF-16; the catalog stores them as UTF-8.
struct DirEntryRecord {
  uint8_t type = 0;
  uint8_t disk = 0;
  uint8_t hdisk = kNoHistoryDisk;
  uint32_t file = 0;
  uint32_t hfile = kNoHistoryFile;
  uint32_t attr = 0;
  int64_t size = 0;
  int64_t alloc = 0;
  int64_t ctime = 0;
  int64_t atime = 0;
  int64_t mtime = 0;
  std::u16string name;

  bool operator==(const DirEntryRecord&) const = default;

  // Bytes of the in-memory record as the directory listings lay it out: the
  // fixed header followed by the name's units and a terminator.
  static constexpr size_t kHeaderSize = 56;
  size_t RecordSize() const { return kHeaderSize + (name.size() + 1) * sizeof(char16_t); }
};

// The packed form written to byte streams: a 57-byte little-endian header without
// padding (type 1, disk 1, file 4, attr 4, size 8, alloc 8, ctime 8, atime 8,
// mtime 8, hdisk 1, hfile 4, name length in UTF-16 units 2), then the name's
// units without terminator.
inline constexpr size_t kPackedDirEntryHeaderSize = 57;

// Appends the packed form of rec to out. False (out unchanged) when the name has
// more than 65535 units and so cannot be described by the 16-bit length.
bool PackDirEntry(const DirEntryRecord& rec, std::string* out);

// Decodes the packed header at header[0..56] into rec (name cleared) and returns
// the name length in UTF-16 units that follows it.
uint16_t UnpackDirEntryHeader(const uint8_t* header, DirEntryRecord* rec);

// Decodes one packed record from data[0..length). On success fills rec, sets
// *consumed to the bytes used and returns true; returns false when the data ends
// before the header or the name does.
bool UnpackDirEntry(const uint8_t* data, size_t length, DirEntryRecord* rec, size_t* consumed);

// One extent of a file's content: bytes [start, start + len) of the file lie at
// offset off of the data piece (disk, file).
struct ExtentRecord {
  int64_t start = 0;
  uint8_t disk = 0;
  uint32_t file = 0;
  int64_t off = 0;
  int64_t len = 0;

  bool operator==(const ExtentRecord&) const = default;
};

}  // namespace kelva::storage
