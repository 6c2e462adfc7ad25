// CDirectoryDb: the catalog of one directory (table dirent).
//
// One row per entry of the directory, per named stream ("file:stream", flag
// ENTRY_STREAM) and per deleted entry kept as a tombstone (flag ENTRY_DELETED).
// Names are compared without regard to (ASCII) case, as the column's NOCASE
// collation does. The stream rows of a file X are the ENTRY_STREAM rows whose
// names lie in [X + ":", X + ";"); deleting or marking a file does the same to
// its streams.
//
// When a new or renamed entry wants a name that a tombstone holds, the tombstone
// is first renamed to stem + "_#<n>#" + extension with the next free n (its
// streams follow it) and the rename callback is told, so that a deleted
// directory's row in the structure catalog can follow.
//
// Every operation returns 1 (done) or 0 (not done). A name whose UTF-8 form with
// terminator does not fit in 1531 bytes (1530 for RenameEntry) fails before the
// database is touched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/storage/catalog_db.h"
#include "service/storage/catalog_records.h"

namespace kelva::storage {

// Told after a tombstone was renamed out of the way (UTF-16 names).
using RenameCallback = void (*)(void* context, std::u16string_view old_name, std::u16string_view new_name,
                                uint32_t attributes);

class CDirectoryDb : public CCatalogDb {
 public:
  static constexpr size_t kNameBytes = 1531;        // UTF-8 with terminator
  static constexpr size_t kRenameNameBytes = 1530;  // the same in RenameEntry
  static constexpr size_t kGetEntryNameUnits = 512;   // with terminator
  static constexpr size_t kEnumEntryNameUnits = 256;  // with terminator
  // A tombstone's name is cut to this many characters before its number marker.
  static constexpr size_t kTombstoneStemLimit = 239;

  explicit CDirectoryDb(platform::Clock& clock = platform::RealClock()) : CCatalogDb(clock) {}

  // Creates a new catalog file (write-ahead-log mode, table dirent). Returns
  // SQLITE_OK, 7 (SQLITE_NOMEM) for a path too long, or the failing SQLite result;
  // on failure the connection is closed.
  int Create(std::u16string_view path);
  // Opens an existing catalog file, adding the hdisk and hfile columns to a
  // catalog made before they existed. Same results as Create.
  int Open(std::u16string_view path);

  void SetRenameCallback(RenameCallback callback, void* context);

  // Looks up rec->name; fills *rec (the name as stored, at most 511 units).
  int GetEntry(DirEntryRecord* rec);
  int InsertEntry(const DirEntryRecord& rec);
  // Rewrites every column but the name of the row named rec.name.
  int UpdateEntry(const DirEntryRecord& rec);
  // Deletes (remove != 0) or marks deleted the entry and its streams.
  int DeleteEntry(std::u16string_view name, int remove);
  // Deletes or marks deleted one stream row, by its full name "file:stream".
  int DeleteStream(std::u16string_view full_stream_name, int remove);
  // Renames an entry; its streams follow.
  int RenameEntry(std::u16string_view old_name, std::u16string_view new_name);

  // Enumerates the entries (not the streams), tombstones included, from the
  // given offset. The call with first = 1 takes the connection's lock and starts;
  // every call returns the next row with 1, or 0 at the end or on an error, at
  // which point the lock has been released. An enumeration stopped early must be
  // ended with EndEnumeration. Names are cut to 255 units.
  int EnumEntries(int first, int64_t offset, DirEntryRecord* rec);
  // Enumerates the streams of file_name (non-null starts, null continues); the
  // record's name is the part from the colon on. Same locking as EnumEntries.
  int EnumStreams(const std::u16string* file_name, int64_t offset, DirEntryRecord* rec);

  // 1 when the catalog has no row (with count_tombstones != 0) or no live row.
  int IsEmpty(int count_tombstones);

 private:
  int Upgrade();
  int RunInsert(std::string_view name, const DirEntryRecord& rec);
  int RunRename(std::string_view new_name, std::string_view old_name);
  // Renames the tombstone holding name_utf8 out of the way. 1 on success.
  int MoveTombstoneAside(std::u16string_view name, std::string_view name_utf8);
  // Renames the tombstone (an entry, or with stream set a deleted stream) aside.
  int RenameTombstone(std::u16string_view full_name, uint32_t attr, bool stream);
  // "UPDATE ... name=new||substr(name, old length + 1) ..." for the streams of old.
  bool MoveStreams(std::string_view new_name, std::u16string_view old_name, std::string_view old_utf8);

  RenameCallback rename_callback_ = nullptr;
  void* rename_context_ = nullptr;
  // The file name bound into a running stream enumeration.
  char stream_name_[1532] = {};
  size_t stream_name_length_ = 0;
};

}  // namespace kelva::storage
