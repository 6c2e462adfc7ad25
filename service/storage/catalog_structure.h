// CStructureDb: the structure catalog of a volume: the tree of directories
// (table stent) and the volume's properties (table prop).
//
// Each stent row names one directory by its name within its parent and gives
// the identity (disk, file) of the directory's own catalog; the root has id 0,
// the empty name and parent 0. Paths are UTF-16 with "\" separators, relative to
// the root; runs of separators are skipped. Table operations return 1 (done) or
// 0 (not done) unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "service/storage/catalog_db.h"

namespace kelva::storage {

// One directory identity: (disk, file) of its catalog.
using DirIdentity = std::pair<uint8_t, uint32_t>;

// Called per directory by EnumDirectories; returning 0 stops the walk.
using EnumDirectoriesCallback = int (*)(uint8_t disk, uint32_t file, void* context);

class CStructureDb : public CCatalogDb {
 public:
  // Names read back are cut to this many units each.
  static constexpr size_t kMaxNameUnits = 255;
  // Longest path GetPathLength reports; a longer chain of ancestors (only a
  // damaged catalog, where a parent chain loops, makes one) gives 0.
  static constexpr size_t kMaxPathUnits = 32767;

  explicit CStructureDb(platform::Clock& clock = platform::RealClock()) : CCatalogDb(clock) {}

  // Creates a new structure catalog (write-ahead-log mode, tables stent then
  // prop) / opens an existing one. SQLITE_OK, 7 for a path too long, or the
  // failing SQLite result.
  int Create(std::u16string_view path);
  int Open(std::u16string_view path);

  // Adds the directory at path with the identity of its catalog; the empty path
  // adds the root. Every component but the last must exist; a row already named
  // like the last must be deleted, and is replaced.
  int AddDirectory(std::u16string_view path, uint8_t disk, uint32_t file);
  // Identity of the directory at the first length units of path (length -1: all
  // of it). A deleted directory is found only when accept_deleted != 0.
  int LookupPath(std::u16string_view path, int64_t length, uint8_t* disk, uint32_t* file, int accept_deleted);
  // Identity of the child called name (deleted or not) of the directory (disk, file).
  int LookupChild(uint8_t dir_disk, uint32_t dir_file, std::u16string_view name, uint8_t* disk, uint32_t* file);
  // Identities of the children of the directory at path, sorted by disk then
  // file; deleted ones only when include_deleted != 0. The root's list includes
  // the root's own row (its parent is 0 too).
  int ListChildren(std::u16string_view path, std::vector<DirIdentity>* out, int include_deleted);
  // Calls callback for every directory, ordered by disk then file, until it
  // returns 0. 1 when the query ran.
  int EnumDirectories(EnumDirectoriesCallback callback, void* context);
  int RenameDirectory(uint8_t disk, uint32_t file, std::u16string_view new_name);
  // Moves the directory to new_path: the last component is its new name, the
  // others must exist.
  int MoveDirectory(uint8_t disk, uint32_t file, std::u16string_view new_path);
  int SetDeleted(uint8_t disk, uint32_t file);
  int ClearDeleted(uint8_t disk, uint32_t file);
  // Gives the directory (old_disk, old_file) a new identity. Returns 0 (success)
  // when exactly one row changed, else 5 (ERROR_ACCESS_DENIED).
  uint32_t ChangeIdentity(uint8_t old_disk, uint32_t old_file, uint8_t new_disk, uint32_t new_file);

  // Length in units of the directory's path ("\a\b"; "\" for the root), 0 when
  // the directory is unknown.
  size_t GetPathLength(uint8_t disk, uint32_t file);
  // Writes the path backwards so that it ends at buffer[capacity - 1], without
  // terminator, and returns the number of units written (they start at
  // buffer[capacity - count]). A component that does not fit stops the walk.
  size_t BuildPath(size_t capacity, uint8_t disk, uint32_t file, char16_t* buffer);
  // The directory's row id, or -1.
  int64_t GetDirectoryId(uint8_t disk, uint32_t file);
  // The identity of the directory with row id id: 1 found, 0 not.
  int IdentityOfId(int64_t id, uint8_t* disk, uint32_t* file);

  // Properties; keys are UTF-8. GetProperty gives the value's full length in
  // *length and copies at most capacity bytes. SetProperty writes only when the
  // value differs from the stored one. DeleteProperty succeeds when at most one
  // row went.
  int GetProperty(std::string_view key, void* buffer, size_t capacity, size_t* length);
  int SetProperty(std::string_view key, const void* value, size_t length);
  int DeleteProperty(std::string_view key);

 private:
  // Walks components from the root; *id is the last found id. False when one is missing.
  bool WalkParents(const std::vector<std::string>& components, size_t count, int64_t* id);
  // Walks up from (disk, file), calling emit(name) for the directory and each
  // ancestor below the root until emit returns false. False if unknown.
  template <typename Emit>
  bool WalkUp(uint8_t disk, uint32_t file, Emit emit);
  int SetDeletedFlag(const char* sql, uint8_t disk, uint32_t file);
};

}  // namespace kelva::storage
