#include "service/storage/catalog_directory.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>

#include "platform/text.h"
#include "service/storage/catalog_text.h"

namespace kelva::storage {
namespace {

constexpr char kCreateDirent[] =
    "CREATE TABLE IF NOT EXISTS dirent(name TEXT COLLATE NOCASE, type INTEGER, disk INTEGER, file INTEGER, "
    "attr INTEGER, size INTEGER, alloc INTEGER, ctime INTEGER, atime INTEGER, mtime INTEGER, hdisk INTEGER, "
    "hfile INTEGER, UNIQUE(name));";

constexpr char kProbeHdisk[] = "SELECT hdisk FROM dirent LIMIT 1;";
constexpr char kProbeHfile[] = "SELECT hfile FROM dirent LIMIT 1;";
constexpr char kAddHdisk[] = "ALTER TABLE dirent ADD COLUMN hdisk INTEGER;";
constexpr char kAddHfile[] = "ALTER TABLE dirent ADD COLUMN hfile INTEGER;";

constexpr char kGetEntry[] =
    "SELECT name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile FROM dirent WHERE name=?;";
constexpr char kInsertEntry[] =
    "INSERT INTO dirent (name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?);";
constexpr char kUpdateEntry[] =
    "UPDATE dirent SET type=?,disk=?,file=?,attr=?,size=?,alloc=?,ctime=?,atime=?,mtime=?,hdisk=?,hfile=? "
    "WHERE name=?;";
constexpr char kRemoveEntry[] = "DELETE FROM dirent WHERE (type&8)=0 AND name=?;";
constexpr char kRemoveStreamsOf[] = "DELETE FROM dirent WHERE type&8 AND name >= ?||':' AND name < ?||';';";
constexpr char kMarkEntry[] = "UPDATE dirent SET type=type|16 WHERE (type&8)=0 AND name=?;";
constexpr char kMarkStreamsOf[] =
    "UPDATE dirent SET type=type|16 WHERE type&8 AND name >= ?||':' AND name < ?||';';";
constexpr char kRemoveStream[] = "DELETE FROM dirent WHERE type&8 AND name=?;";
constexpr char kMarkStream[] = "UPDATE dirent SET type=type|16 WHERE type&8 AND name=?;";
constexpr char kRenameEntry[] = "UPDATE dirent SET name=? WHERE (type&8)=0 AND name=?;";
constexpr char kMoveStreams[] =
    "UPDATE dirent SET name=?||substr(name,?) WHERE type&8 AND name >= ?||':' AND name < ?||';';";
constexpr char kEnumEntries[] =
    "SELECT name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile FROM dirent WHERE (type&8)=0 "
    "LIMIT -1 OFFSET ?;";
constexpr char kEnumStreams[] =
    "SELECT substr(name,?),type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile FROM dirent "
    "WHERE type&8 AND name >= ?||':' AND name < ?||';' LIMIT -1 OFFSET ?;";
constexpr char kAnyRow[] = "SELECT file FROM dirent LIMIT 1;";
constexpr char kAnyLiveRow[] = "SELECT file FROM dirent WHERE (type&16)=0 LIMIT 1;";
constexpr char kTombstoneHolder[] = "SELECT type,attr FROM dirent WHERE name=?;";
constexpr char kHighestNumber[] =
    "SELECT CAST(substr(name,?) AS INTEGER) FROM dirent WHERE (type&8)=0 AND name LIKE ? ESCAPE '\\' "
    "ORDER BY CAST(substr(name,?) AS INTEGER) DESC LIMIT 1;";
// The same two statements for a deleted stream that holds a wanted stream name.
constexpr char kHighestStreamNumber[] =
    "SELECT CAST(substr(name,?) AS INTEGER) FROM dirent WHERE type&8 AND name LIKE ? ESCAPE '\\' "
    "ORDER BY CAST(substr(name,?) AS INTEGER) DESC LIMIT 1;";
constexpr char kRenameStream[] = "UPDATE dirent SET name=? WHERE type&8 AND name=?;";

// Fills rec from the current row of a statement with the twelve dirent columns
// in the order name, type, disk, file, attr, size, alloc, ctime, atime, mtime,
// hdisk, hfile. Values of the wrong kind read as SQLite converts them (0 for
// NULL); hdisk and hfile read as "none" unless they hold integers.
void ReadRow(sqlite3_stmt* s, DirEntryRecord* rec, size_t max_units) {
  const unsigned char* text = sqlite3_column_text(s, 0);
  const int bytes = sqlite3_column_bytes(s, 0);
  if (text != nullptr) {
    AssignNameFromUtf8(std::string_view(reinterpret_cast<const char*>(text), bytes), max_units, &rec->name);
  } else {
    rec->name.clear();
  }
  rec->type = static_cast<uint8_t>(sqlite3_column_int64(s, 1));
  rec->disk = static_cast<uint8_t>(sqlite3_column_int64(s, 2));
  rec->file = static_cast<uint32_t>(sqlite3_column_int64(s, 3));
  rec->attr = static_cast<uint32_t>(sqlite3_column_int64(s, 4));
  rec->size = sqlite3_column_int64(s, 5);
  rec->alloc = sqlite3_column_int64(s, 6);
  rec->ctime = sqlite3_column_int64(s, 7);
  rec->atime = sqlite3_column_int64(s, 8);
  rec->mtime = sqlite3_column_int64(s, 9);
  rec->hdisk = sqlite3_column_type(s, 10) == SQLITE_INTEGER ? static_cast<uint8_t>(sqlite3_column_int64(s, 10))
                                                             : kNoHistoryDisk;
  rec->hfile = sqlite3_column_type(s, 11) == SQLITE_INTEGER ? static_cast<uint32_t>(sqlite3_column_int64(s, 11))
                                                             : kNoHistoryFile;
}

// Escapes the LIKE wildcards "%" and "_" and the escape character itself.
void AppendLikeEscaped(std::string_view text, std::string* out) {
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
}

}  // namespace

int CDirectoryDb::Create(std::u16string_view path) {
  std::lock_guard lk(lock());
  int rc = OpenHandle(path, true);
  if (rc != SQLITE_OK) return rc;
  rc = ExecDone(kCreateDirent);
  if (rc != SQLITE_DONE) {
    CloseLocked();
    return rc == SQLITE_ROW ? SQLITE_ERROR : rc;
  }
  MarkChanged();
  return SQLITE_OK;
}

int CDirectoryDb::Open(std::u16string_view path) {
  std::lock_guard lk(lock());
  int rc = OpenHandle(path, false);
  if (rc != SQLITE_OK) return rc;
  rc = Upgrade();
  if (rc != SQLITE_OK) CloseLocked();
  return rc;
}

int CDirectoryDb::Upgrade() {
  const char* const probes[2] = {kProbeHdisk, kProbeHfile};
  const char* const alters[2] = {kAddHdisk, kAddHfile};
  for (int i = 0; i < 2; ++i) {
    Statement probe(*this);
    int rc = probe.Prepare(probes[i]);
    if (rc == SQLITE_OK) continue;
    if (rc != SQLITE_ERROR) return rc;
    probe.Finalize();
    rc = ExecDone(alters[i]);
    if (rc != SQLITE_DONE) return rc == SQLITE_ROW || rc == SQLITE_OK ? SQLITE_ERROR : rc;
    MarkChanged();
  }
  return SQLITE_OK;
}

void CDirectoryDb::SetRenameCallback(RenameCallback callback, void* context) {
  std::lock_guard lk(lock());
  rename_callback_ = callback;
  rename_context_ = context;
}

int CDirectoryDb::GetEntry(DirEntryRecord* rec) {
  std::string name;
  if (!NameToUtf8(rec->name, kNameBytes, &name)) return 0;
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kGetEntry) != SQLITE_OK) return 0;
  st.BindText(1, name);
  if (st.Step() != SQLITE_ROW) return 0;
  ReadRow(st.get(), rec, kGetEntryNameUnits - 1);
  return 1;
}

int CDirectoryDb::RunInsert(std::string_view name, const DirEntryRecord& rec) {
  Statement st(*this);
  int rc = st.Prepare(kInsertEntry);
  if (rc != SQLITE_OK) return rc;
  st.BindText(1, name);
  st.BindInt(2, rec.type);
  st.BindInt(3, rec.disk);
  st.BindInt(4, static_cast<int32_t>(rec.file));
  st.BindInt(5, static_cast<int32_t>(rec.attr));
  st.BindInt(6, rec.size);
  st.BindInt(7, rec.alloc);
  st.BindInt(8, rec.ctime);
  st.BindInt(9, rec.atime);
  st.BindInt(10, rec.mtime);
  st.BindInt(11, rec.hdisk);
  st.BindInt(12, static_cast<int32_t>(rec.hfile));
  return st.Step();
}

int CDirectoryDb::InsertEntry(const DirEntryRecord& rec) {
  std::string name;
  if (!NameToUtf8(rec.name, kNameBytes, &name)) return 0;
  std::lock_guard lk(lock());
  int rc = RunInsert(name, rec);
  if (rc == SQLITE_CONSTRAINT) {
    if (!MoveTombstoneAside(rec.name, name)) return 0;
    rc = RunInsert(name, rec);
  }
  if (rc != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CDirectoryDb::UpdateEntry(const DirEntryRecord& rec) {
  std::string name;
  if (!NameToUtf8(rec.name, kNameBytes, &name)) return 0;
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kUpdateEntry) != SQLITE_OK) return 0;
  st.BindInt(1, rec.type);
  st.BindInt(2, rec.disk);
  st.BindInt(3, static_cast<int32_t>(rec.file));
  st.BindInt(4, static_cast<int32_t>(rec.attr));
  st.BindInt(5, rec.size);
  st.BindInt(6, rec.alloc);
  st.BindInt(7, rec.ctime);
  st.BindInt(8, rec.atime);
  st.BindInt(9, rec.mtime);
  st.BindInt(10, rec.hdisk);
  st.BindInt(11, static_cast<int32_t>(rec.hfile));
  st.BindText(12, name);
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CDirectoryDb::DeleteEntry(std::u16string_view name16, int remove) {
  std::string name;
  if (!NameToUtf8(name16, kNameBytes, &name)) return 0;
  std::lock_guard lk(lock());
  {
    Statement st(*this);
    if (st.Prepare(remove ? kRemoveEntry : kMarkEntry) != SQLITE_OK) return 0;
    st.BindText(1, name);
    if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  }
  MarkChanged();
  Statement st(*this);
  if (st.Prepare(remove ? kRemoveStreamsOf : kMarkStreamsOf) != SQLITE_OK) return 0;
  st.BindText(1, name);
  st.BindText(2, name);
  return st.Step() == SQLITE_DONE ? 1 : 0;
}

int CDirectoryDb::DeleteStream(std::u16string_view full_name, int remove) {
  std::string name;
  if (!NameToUtf8(full_name, kNameBytes, &name)) return 0;
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(remove ? kRemoveStream : kMarkStream) != SQLITE_OK) return 0;
  st.BindText(1, name);
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CDirectoryDb::RunRename(std::string_view new_name, std::string_view old_name) {
  Statement st(*this);
  int rc = st.Prepare(kRenameEntry);
  if (rc != SQLITE_OK) return rc;
  st.BindText(1, new_name);
  st.BindText(2, old_name);
  return st.Step();
}

bool CDirectoryDb::MoveStreams(std::string_view new_name, std::u16string_view old_name,
                               std::string_view old_utf8) {
  Statement st(*this);
  if (st.Prepare(kMoveStreams) != SQLITE_OK) return false;
  st.BindText(1, new_name);
  st.BindInt(2, static_cast<int64_t>(CharacterCount(old_name)) + 1);
  st.BindText(3, old_utf8);
  st.BindText(4, old_utf8);
  return st.Step() == SQLITE_DONE;
}

int CDirectoryDb::RenameEntry(std::u16string_view old16, std::u16string_view new16) {
  std::string old_name, new_name;
  if (!NameToUtf8(old16, kRenameNameBytes, &old_name) || !NameToUtf8(new16, kRenameNameBytes, &new_name)) {
    return 0;
  }
  std::lock_guard lk(lock());
  int rc = RunRename(new_name, old_name);
  if (rc == SQLITE_CONSTRAINT) {
    if (!MoveTombstoneAside(new16, new_name)) return 0;
    rc = RunRename(new_name, old_name);
  }
  if (rc != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return MoveStreams(new_name, old16, old_name) ? 1 : 0;
}

int CDirectoryDb::MoveTombstoneAside(std::u16string_view name, std::string_view name_utf8) {
  uint32_t attr = 0;
  bool stream = false;
  {
    Statement st(*this);
    if (st.Prepare(kTombstoneHolder) != SQLITE_OK) return 0;
    st.BindText(1, name_utf8);
    if (st.Step() != SQLITE_ROW) return 0;
    if ((st.ColumnInt(0) & ENTRY_DELETED) == 0) return 0;  // a live entry holds the name
    stream = (st.ColumnInt(0) & ENTRY_STREAM) != 0;
    attr = static_cast<uint32_t>(st.ColumnInt(1));
  }
  return RenameTombstone(name, attr, stream);
}

int CDirectoryDb::RenameTombstone(std::u16string_view full_name, uint32_t attr, bool stream) {
  // A deleted stream keeps its file's name and colon; the marker goes into the
  // stream's own name, so that the tombstone stays a stream of the same file.
  const size_t colon = stream ? full_name.find(u':') : std::u16string_view::npos;
  const size_t base = colon == std::u16string_view::npos ? 0 : colon + 1;
  const std::u16string_view name = full_name.substr(base);
  // Split into stem and extension (from the last "." on), shortening the stem so
  // that the stem is at most 239 units; the number marker goes between the two.
  const size_t length = name.size();
  const size_t dot = name.rfind(u'.');
  std::u16string_view stem = name;
  std::u16string_view ext;
  if (length > kTombstoneStemLimit) {
    const size_t cut = length - kTombstoneStemLimit;
    if (dot != std::u16string_view::npos && dot >= cut) {
      size_t stem_end = dot - cut;
      // Never leave half of a surrogate pair behind.
      if (stem_end > 0 && IsHighSurrogate(name[stem_end - 1]) && IsLowSurrogate(name[stem_end])) --stem_end;
      stem = name.substr(0, stem_end);
      ext = name.substr(dot);
    } else {
      size_t keep = kTombstoneStemLimit;
      if (IsHighSurrogate(name[keep - 1]) && IsLowSurrogate(name[keep])) --keep;
      stem = name.substr(0, keep);
    }
  } else if (dot != std::u16string_view::npos) {
    stem = name.substr(0, dot);
    ext = name.substr(dot);
  }
  stem = full_name.substr(0, base + stem.size());
  const std::string stem8 = platform::Utf16ToUtf8(stem);
  const std::string ext8 = platform::Utf16ToUtf8(ext);
  std::string pattern;
  AppendLikeEscaped(stem8, &pattern);
  pattern += "\\_#%#";
  AppendLikeEscaped(ext8, &pattern);
  // SQLite counts characters from 1: the number begins after the stem and "_#".
  const int64_t number_at = static_cast<int64_t>(CharacterCount(stem)) + 3;

  int64_t highest = 0;
  {
    Statement st(*this);
    if (st.Prepare(stream ? kHighestStreamNumber : kHighestNumber) != SQLITE_OK) return 0;
    st.BindInt(1, number_at);
    st.BindText(2, pattern);
    st.BindInt(3, number_at);
    const int rc = st.Step();
    if (rc == SQLITE_ROW) {
      highest = st.ColumnInt(0);
    } else if (rc != SQLITE_DONE) {
      return 0;
    }
  }
  if (highest == INT64_MAX) return 0;
  const std::string new8 = stem8 + "_#" + std::to_string(highest + 1) + "#" + ext8;
  const std::string old8 = platform::Utf16ToUtf8(full_name);
  {
    Statement st(*this);
    if (st.Prepare(stream ? kRenameStream : kRenameEntry) != SQLITE_OK) return 0;
    st.BindText(1, new8);
    st.BindText(2, old8);
    if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  }
  MarkChanged();
  if (stream) return 1;  // a stream has no streams and no directory row
  if (!MoveStreams(new8, full_name, old8)) return 0;
  if (rename_callback_ != nullptr) {
    rename_callback_(rename_context_, full_name, platform::Utf8ToUtf16(new8), attr);
  }
  return 1;
}

int CDirectoryDb::EnumEntries(int first, int64_t offset, DirEntryRecord* rec) {
  if (first) {
    lock().Enter();  // held until the enumeration ends
    EndEnumeration();
    Statement st(*this);
    if (st.Prepare(kEnumEntries) != SQLITE_OK) {
      st.Finalize();
      lock().Leave();
      return 0;
    }
    st.BindInt(1, offset);
    BeginEnumeration(st.Release());
  }
  if (StepEnumeration() != SQLITE_ROW) return 0;
  ReadRow(enumeration_statement(), rec, kEnumEntryNameUnits - 1);
  return 1;
}

int CDirectoryDb::EnumStreams(const std::u16string* file_name, int64_t offset, DirEntryRecord* rec) {
  if (file_name != nullptr) {
    std::string name;
    if (!NameToUtf8(*file_name, kNameBytes, &name)) return 0;
    lock().Enter();  // held until the enumeration ends
    EndEnumeration();
    // The statement refers to the buffer until it is finalized.
    std::memcpy(stream_name_, name.data(), name.size());
    stream_name_[name.size()] = 0;
    stream_name_length_ = name.size();
    Statement st(*this);
    if (st.Prepare(kEnumStreams) != SQLITE_OK) {
      st.Finalize();
      lock().Leave();
      return 0;
    }
    const std::string_view bound(stream_name_, stream_name_length_);
    st.BindInt(1, static_cast<int64_t>(CharacterCount(*file_name)) + 1);
    st.BindText(2, bound);
    st.BindText(3, bound);
    st.BindInt(4, offset);
    BeginEnumeration(st.Release());
  }
  if (StepEnumeration() != SQLITE_ROW) return 0;
  ReadRow(enumeration_statement(), rec, SIZE_MAX);
  return 1;
}

int CDirectoryDb::IsEmpty(int count_tombstones) {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(count_tombstones ? kAnyRow : kAnyLiveRow) != SQLITE_OK) return 0;
  return st.Step() == SQLITE_DONE ? 1 : 0;
}

}  // namespace kelva::storage
