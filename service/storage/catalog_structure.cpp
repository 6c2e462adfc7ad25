#include "service/storage/catalog_structure.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/text.h"
#include "service/storage/catalog_text.h"

namespace kelva::storage {
namespace {

constexpr char kCreateStent[] =
    "CREATE TABLE IF NOT EXISTS stent(id INTEGER, name TEXT COLLATE NOCASE, parent INTEGER, disk INTEGER, "
    "file INTEGER, deleted INTEGER, PRIMARY KEY(id), UNIQUE(name, parent));";
constexpr char kCreateProp[] =
    "CREATE TABLE IF NOT EXISTS prop(name TEXT COLLATE NOCASE, value BLOB, PRIMARY KEY(name));";

constexpr char kInsertRoot[] = "INSERT INTO stent (id,name,parent,disk,file,deleted) VALUES (0,'',0,?,?,0)";
constexpr char kChildId[] = "SELECT id FROM stent WHERE parent=? AND name=?;";
constexpr char kChildState[] = "SELECT disk,file,deleted FROM stent WHERE parent=? AND name=?;";
constexpr char kInsertOrReplace[] =
    "INSERT OR REPLACE INTO stent (name,parent,disk,file,deleted) VALUES (?,?,?,?,0)";
constexpr char kRootIdentity[] = "SELECT disk,file FROM stent WHERE id=0;";
constexpr char kChildFull[] = "SELECT id,disk,file,deleted FROM stent WHERE parent=? AND name=?;";
constexpr char kIdOf[] = "SELECT id FROM stent WHERE disk=? AND file=?;";
constexpr char kIdentityOf[] = "SELECT disk, file FROM stent WHERE id=?;";
constexpr char kChildIdentity[] = "SELECT disk,file FROM stent WHERE parent=? AND name=?;";
constexpr char kChildrenOf[] = "SELECT disk,file,deleted FROM stent WHERE parent=?;";
constexpr char kAllDirectories[] = "SELECT disk,file,deleted FROM stent ORDER BY disk,file ASC;";
constexpr char kRename[] = "UPDATE stent SET name=? WHERE disk=? AND file=?;";
constexpr char kMove[] = "UPDATE stent SET name=?,parent=? WHERE disk=? AND file=?;";
constexpr char kSetDeleted[] = "UPDATE stent SET deleted=1 WHERE disk=? AND file=?;";
constexpr char kClearDeleted[] = "UPDATE stent SET deleted=0 WHERE disk=? AND file=?;";
constexpr char kChangeIdentity[] = "UPDATE stent SET disk=?,file=? WHERE disk=? AND file=?;";
constexpr char kNameParentOf[] = "SELECT name,parent FROM stent WHERE disk=? AND file=?;";
constexpr char kNameParentById[] = "SELECT name,parent FROM stent WHERE id=?;";
constexpr char kGetProp[] = "SELECT value FROM prop WHERE name=?;";
constexpr char kSetProp[] = "INSERT OR REPLACE INTO prop (name, value) VALUES (?, ?);";
constexpr char kDeleteProp[] = "DELETE FROM prop WHERE name=?;";

// Splits a "\"-separated path into its UTF-8 components, skipping empty ones.
std::vector<std::string> SplitPath(std::u16string_view path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == u'\\') ++i;
    const size_t begin = i;
    while (i < path.size() && path[i] != u'\\') ++i;
    if (i > begin) parts.push_back(platform::Utf16ToUtf8(path.substr(begin, i - begin)));
  }
  return parts;
}

}  // namespace

int CStructureDb::Create(std::u16string_view path) {
  std::lock_guard lk(lock());
  int rc = OpenHandle(path, true);
  if (rc != SQLITE_OK) return rc;
  for (const char* sql : {kCreateStent, kCreateProp}) {
    rc = ExecDone(sql);
    if (rc != SQLITE_DONE) {
      CloseLocked();
      return rc == SQLITE_ROW ? SQLITE_ERROR : rc;
    }
  }
  MarkChanged();
  return SQLITE_OK;
}

int CStructureDb::Open(std::u16string_view path) {
  std::lock_guard lk(lock());
  return OpenHandle(path, false);
}

bool CStructureDb::WalkParents(const std::vector<std::string>& components, size_t count, int64_t* id) {
  int64_t parent = 0;
  for (size_t i = 0; i < count; ++i) {
    Statement st(*this);
    if (st.Prepare(kChildId) != SQLITE_OK) return false;
    st.BindInt(1, parent);
    st.BindText(2, components[i]);
    if (st.Step() != SQLITE_ROW) return false;
    parent = st.ColumnInt(0);
  }
  *id = parent;
  return true;
}

int CStructureDb::AddDirectory(std::u16string_view path, uint8_t disk, uint32_t file) {
  const std::vector<std::string> parts = SplitPath(path);
  std::lock_guard lk(lock());
  if (parts.empty()) {
    Statement st(*this);
    if (st.Prepare(kInsertRoot) != SQLITE_OK) return 0;
    st.BindInt(1, disk);
    st.BindInt(2, static_cast<int32_t>(file));
    if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
    MarkChanged();
    return 1;
  }
  int64_t parent = 0;
  if (!WalkParents(parts, parts.size() - 1, &parent)) return 0;
  const std::string& name = parts.back();
  {
    Statement st(*this);
    if (st.Prepare(kChildState) != SQLITE_OK) return 0;
    st.BindInt(1, parent);
    st.BindText(2, name);
    const int rc = st.Step();
    if (rc == SQLITE_ROW) {
      if (st.ColumnInt(2) == 0) return 0;  // a live directory has the name
    } else if (rc != SQLITE_DONE) {
      return 0;
    }
  }
  Statement st(*this);
  if (st.Prepare(kInsertOrReplace) != SQLITE_OK) return 0;
  st.BindText(1, name);
  st.BindInt(2, parent);
  st.BindInt(3, disk);
  st.BindInt(4, static_cast<int32_t>(file));
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CStructureDb::LookupPath(std::u16string_view path, int64_t length, uint8_t* disk, uint32_t* file,
                             int accept_deleted) {
  if (length >= 0 && static_cast<uint64_t>(length) < path.size()) path = path.substr(0, length);
  const std::vector<std::string> parts = SplitPath(path);
  std::lock_guard lk(lock());
  if (parts.empty()) {
    Statement st(*this);
    if (st.Prepare(kRootIdentity) != SQLITE_OK) return 0;
    if (st.Step() != SQLITE_ROW) return 0;
    *disk = static_cast<uint8_t>(st.ColumnInt(0));
    *file = static_cast<uint32_t>(st.ColumnInt(1));
    return 1;
  }
  int64_t parent = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    Statement st(*this);
    if (st.Prepare(kChildFull) != SQLITE_OK) return 0;
    st.BindInt(1, parent);
    st.BindText(2, parts[i]);
    if (st.Step() != SQLITE_ROW) return 0;
    parent = st.ColumnInt(0);
    if (i + 1 == parts.size()) {
      if (st.ColumnInt(3) != 0 && !accept_deleted) return 0;
      *disk = static_cast<uint8_t>(st.ColumnInt(1));
      *file = static_cast<uint32_t>(st.ColumnInt(2));
    }
  }
  return 1;
}

int CStructureDb::LookupChild(uint8_t dir_disk, uint32_t dir_file, std::u16string_view name16, uint8_t* disk,
                              uint32_t* file) {
  const std::string name = platform::Utf16ToUtf8(name16);
  std::lock_guard lk(lock());
  int64_t id = 0;
  {
    Statement st(*this);
    if (st.Prepare(kIdOf) != SQLITE_OK) return 0;
    st.BindInt(1, dir_disk);
    st.BindInt(2, static_cast<int32_t>(dir_file));
    if (st.Step() != SQLITE_ROW) return 0;
    id = st.ColumnInt(0);
  }
  Statement st(*this);
  if (st.Prepare(kChildIdentity) != SQLITE_OK) return 0;
  st.BindInt(1, id);
  st.BindText(2, name);
  if (st.Step() != SQLITE_ROW) return 0;
  *disk = static_cast<uint8_t>(st.ColumnInt(0));
  *file = static_cast<uint32_t>(st.ColumnInt(1));
  return 1;
}

int CStructureDb::ListChildren(std::u16string_view path, std::vector<DirIdentity>* out, int include_deleted) {
  out->clear();
  const std::vector<std::string> parts = SplitPath(path);
  std::lock_guard lk(lock());
  int64_t parent = 0;
  if (!WalkParents(parts, parts.size(), &parent)) return 0;
  Statement st(*this);
  if (st.Prepare(kChildrenOf) != SQLITE_OK) return 0;
  st.BindInt(1, parent);
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    if (st.ColumnInt(2) != 0 && !include_deleted) continue;
    out->emplace_back(static_cast<uint8_t>(st.ColumnInt(0)), static_cast<uint32_t>(st.ColumnInt(1)));
  }
  if (rc != SQLITE_DONE) {
    out->clear();
    return 0;
  }
  std::stable_sort(out->begin(), out->end());
  return 1;
}

int CStructureDb::EnumDirectories(EnumDirectoriesCallback callback, void* context) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kAllDirectories) != SQLITE_OK) return 0;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) {
    if (!callback(static_cast<uint8_t>(st.ColumnInt(0)), static_cast<uint32_t>(st.ColumnInt(1)), context)) {
      return 1;
    }
  }
  return rc == SQLITE_DONE ? 1 : 0;
}

int CStructureDb::RenameDirectory(uint8_t disk, uint32_t file, std::u16string_view new_name) {
  const std::string name = platform::Utf16ToUtf8(new_name);
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kRename) != SQLITE_OK) return 0;
  st.BindText(1, name);
  st.BindInt(2, disk);
  st.BindInt(3, static_cast<int32_t>(file));
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CStructureDb::MoveDirectory(uint8_t disk, uint32_t file, std::u16string_view new_path) {
  const std::vector<std::string> parts = SplitPath(new_path);
  if (parts.empty()) return 0;  // the root cannot be a move's target
  std::lock_guard lk(lock());
  int64_t parent = 0;
  if (!WalkParents(parts, parts.size() - 1, &parent)) return 0;
  Statement st(*this);
  if (st.Prepare(kMove) != SQLITE_OK) return 0;
  st.BindText(1, parts.back());
  st.BindInt(2, parent);
  st.BindInt(3, disk);
  st.BindInt(4, static_cast<int32_t>(file));
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CStructureDb::SetDeletedFlag(const char* sql, uint8_t disk, uint32_t file) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(sql) != SQLITE_OK) return 0;
  st.BindInt(1, disk);
  st.BindInt(2, static_cast<int32_t>(file));
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CStructureDb::SetDeleted(uint8_t disk, uint32_t file) { return SetDeletedFlag(kSetDeleted, disk, file); }

int CStructureDb::ClearDeleted(uint8_t disk, uint32_t file) { return SetDeletedFlag(kClearDeleted, disk, file); }

uint32_t CStructureDb::ChangeIdentity(uint8_t old_disk, uint32_t old_file, uint8_t new_disk, uint32_t new_file) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kChangeIdentity) != SQLITE_OK) return platform::ERROR_ACCESS_DENIED;
  st.BindInt(1, new_disk);
  st.BindInt(2, static_cast<int32_t>(new_file));
  st.BindInt(3, old_disk);
  st.BindInt(4, static_cast<int32_t>(old_file));
  if (st.Step() != SQLITE_DONE || Changes() != 1) return platform::ERROR_ACCESS_DENIED;
  MarkChanged();
  return platform::ERROR_SUCCESS;
}

template <typename Emit>
bool CStructureDb::WalkUp(uint8_t disk, uint32_t file, Emit emit) {
  int64_t parent = 0;
  {
    Statement st(*this);
    if (st.Prepare(kNameParentOf) != SQLITE_OK) return false;
    st.BindInt(1, disk);
    st.BindInt(2, static_cast<int32_t>(file));
    if (st.Step() != SQLITE_ROW) return false;
    if (!emit(NameFromUtf8(st.ColumnText(0), kMaxNameUnits))) return true;
    parent = st.ColumnInt(1);
  }
  // The root (id 0) contributes no name.
  while (parent != 0) {
    Statement st(*this);
    if (st.Prepare(kNameParentById) != SQLITE_OK) break;
    st.BindInt(1, parent);
    if (st.Step() != SQLITE_ROW) break;
    if (!emit(NameFromUtf8(st.ColumnText(0), kMaxNameUnits))) break;
    parent = st.ColumnInt(1);
  }
  return true;
}

size_t CStructureDb::GetPathLength(uint8_t disk, uint32_t file) {
  std::lock_guard lk(lock());
  size_t total = 0;
  bool too_long = false;
  const bool known = WalkUp(disk, file, [&](const std::u16string& name) {
    total += name.size() + 1;
    too_long = total > kMaxPathUnits;
    return !too_long;
  });
  return known && !too_long ? total : 0;
}

size_t CStructureDb::BuildPath(size_t capacity, uint8_t disk, uint32_t file, char16_t* buffer) {
  std::lock_guard lk(lock());
  size_t pos = capacity;
  WalkUp(disk, file, [&](const std::u16string& name) {
    const size_t need = name.size() + 1;
    if (need > pos) return false;
    pos -= need;
    buffer[pos] = u'\\';
    std::copy(name.begin(), name.end(), buffer + pos + 1);
    return true;
  });
  return capacity - pos;
}

int64_t CStructureDb::GetDirectoryId(uint8_t disk, uint32_t file) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kIdOf) != SQLITE_OK) return -1;
  st.BindInt(1, disk);
  st.BindInt(2, static_cast<int32_t>(file));
  if (st.Step() != SQLITE_ROW) return -1;
  return st.ColumnInt(0);
}

int CStructureDb::IdentityOfId(int64_t id, uint8_t* disk, uint32_t* file) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kIdentityOf) != SQLITE_OK) return 0;
  st.BindInt(1, id);
  if (st.Step() != SQLITE_ROW) return 0;
  *disk = static_cast<uint8_t>(st.ColumnInt(0));
  *file = static_cast<uint32_t>(st.ColumnInt(1));
  return 1;
}

int CStructureDb::GetProperty(std::string_view key, void* buffer, size_t capacity, size_t* length) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kGetProp) != SQLITE_OK) return 0;
  st.BindText(1, key);
  if (st.Step() != SQLITE_ROW) return 0;
  const void* value = st.ColumnBlob(0);
  const size_t size = st.ColumnBytes(0);
  if (value != nullptr && capacity > 0) std::memcpy(buffer, value, std::min(size, capacity));
  *length = size;
  return 1;
}

int CStructureDb::SetProperty(std::string_view key, const void* value, size_t length) {
  std::lock_guard lk(lock());
  {
    Statement st(*this);
    if (st.Prepare(kGetProp) != SQLITE_OK) return 0;
    st.BindText(1, key);
    const int rc = st.Step();
    if (rc == SQLITE_ROW) {
      const void* stored = st.ColumnBlob(0);
      const size_t size = st.ColumnBytes(0);
      if (size == length && (size == 0 || std::memcmp(stored, value, size) == 0)) return 1;
    } else if (rc != SQLITE_DONE) {
      return 0;
    }
  }
  Statement st(*this);
  if (st.Prepare(kSetProp) != SQLITE_OK) return 0;
  st.BindText(1, key);
  st.BindBlob(2, value, length);
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CStructureDb::DeleteProperty(std::string_view key) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kDeleteProp) != SQLITE_OK) return 0;
  st.BindText(1, key);
  if (st.Step() != SQLITE_DONE) return 0;
  const int changed = Changes();
  if (changed > 1) return 0;
  if (changed == 1) MarkChanged();
  return 1;
}

}  // namespace kelva::storage
