#include "service/storage/catalog_extent.h"

#include <sqlite3.h>

#include <mutex>

namespace kelva::storage {
namespace {

constexpr char kCreateIdent[] =
    "CREATE TABLE IF NOT EXISTS ident(start INTEGER, disk INTEGER, file INTEGER, off INTEGER, len INTEGER, "
    "UNIQUE(start));";
constexpr char kInsertExtent[] = "INSERT INTO Ident(start,disk,file,off,len) VALUES (?,?,?,?,?);";
constexpr char kFindHolding[] = "SELECT start,disk,file,off,len FROM ident WHERE start<=? AND ?<start+len;";
constexpr char kFindNext[] = "SELECT start,disk,file,off,len FROM ident WHERE start>? ORDER BY start ASC LIMIT 1;";
constexpr char kDeleteInside[] = "DELETE FROM ident WHERE ?<=start AND start+len<=?;";
constexpr char kFindSpanning[] = "SELECT start,disk,file,off,len FROM ident WHERE start<? AND ?<start+len;";
constexpr char kSetLength[] = "UPDATE ident SET len=? WHERE start=?;";
constexpr char kInsertTail[] = "INSERT INTO ident(start,disk,file,off,len) VALUES (?,?,?,?,?);";
constexpr char kMoveStart[] = "UPDATE ident SET start=?,off=?,len=? WHERE start=?;";
constexpr char kFirstTwo[] = "SELECT start FROM ident LIMIT 2;";

}  // namespace

int CExtentIndexDb::Create(std::u16string_view path) {
  std::lock_guard lk(lock());
  int rc = OpenHandle(path, true);
  if (rc != SQLITE_OK) return rc;
  rc = ExecDone(kCreateIdent);
  if (rc != SQLITE_DONE) {
    CloseLocked();
    return rc == SQLITE_ROW ? SQLITE_ERROR : rc;
  }
  MarkChanged();
  return SQLITE_OK;
}

int CExtentIndexDb::Open(std::u16string_view path) {
  std::lock_guard lk(lock());
  return OpenHandle(path, false);
}

int CExtentIndexDb::InsertExtent(const ExtentRecord& e) {
  if (e.len <= 0) return 0;
  std::lock_guard lk(lock());
  if (!RemoveRangeLocked(e.start, e.len)) return 0;
  Statement st(*this);
  if (st.Prepare(kInsertExtent) != SQLITE_OK) return 0;
  st.BindInt(1, e.start);
  st.BindInt(2, e.disk);
  st.BindInt(3, static_cast<int32_t>(e.file));
  st.BindInt(4, e.off);
  st.BindInt(5, e.len);
  if (st.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

namespace {

void ReadExtent(sqlite3_stmt* s, ExtentRecord* e) {
  e->start = sqlite3_column_int64(s, 0);
  e->disk = static_cast<uint8_t>(sqlite3_column_int64(s, 1));
  e->file = static_cast<uint32_t>(sqlite3_column_int64(s, 2));
  e->off = sqlite3_column_int64(s, 3);
  e->len = sqlite3_column_int64(s, 4);
}

}  // namespace

int CExtentIndexDb::FindExtent(int64_t position, ExtentRecord* out) {
  std::lock_guard lk(lock());
  {
    Statement st(*this);
    if (st.Prepare(kFindHolding) != SQLITE_OK) return 0;
    st.BindInt(1, position);
    st.BindInt(2, position);
    const int rc = st.Step();
    if (rc == SQLITE_ROW) {
      ReadExtent(st.get(), out);
      return 1;
    }
    if (rc != SQLITE_DONE) return 0;
  }
  Statement st(*this);
  if (st.Prepare(kFindNext) != SQLITE_OK) return 0;
  st.BindInt(1, position);
  if (st.Step() != SQLITE_ROW) return 0;
  ReadExtent(st.get(), out);
  return 1;
}

int CExtentIndexDb::RemoveRange(int64_t start, int64_t length) {
  std::lock_guard lk(lock());
  return RemoveRangeLocked(start, length);
}

int CExtentIndexDb::RemoveRangeLocked(int64_t s, int64_t length) {
  // A negative length would "split" an extent into overlapping pieces, and an end
  // past the largest offset cannot be compared; both are refused.
  if (length < 0 || s > INT64_MAX - length) return 0;
  if (length == 0) return handle() ? 1 : 0;
  const int64_t e = s + length;
  {
    Statement st(*this);
    if (st.Prepare(kDeleteInside) != SQLITE_OK) return 0;
    st.BindInt(1, s);
    st.BindInt(2, e);
    if (st.Step() != SQLITE_DONE) return 0;
    if (Changes() > 0) MarkChanged();
  }
  // An extent X beginning before S and reaching past it keeps its head; if it
  // also reaches past E its tail becomes a new extent at E.
  ExtentRecord x;
  {
    Statement st(*this);
    if (st.Prepare(kFindSpanning) != SQLITE_OK) return 0;
    st.BindInt(1, s);
    st.BindInt(2, s);
    const int rc = st.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return 0;
    if (rc == SQLITE_ROW) {
      ReadExtent(st.get(), &x);
      st.Finalize();
      Statement up(*this);
      if (up.Prepare(kSetLength) != SQLITE_OK) return 0;
      up.BindInt(1, s - x.start);
      up.BindInt(2, x.start);
      if (up.Step() != SQLITE_DONE || Changes() != 1) return 0;
      MarkChanged();
      if (x.len > e - x.start) {
        const int64_t cut = e - x.start;
        Statement tail(*this);
        if (tail.Prepare(kInsertTail) != SQLITE_OK) return 0;
        tail.BindInt(1, e);
        tail.BindInt(2, x.disk);
        tail.BindInt(3, static_cast<int32_t>(x.file));
        tail.BindInt(4, x.off + cut);
        tail.BindInt(5, x.len - cut);
        if (tail.Step() != SQLITE_DONE || Changes() != 1) return 0;
        return 1;
      }
    }
  }
  // An extent Y beginning before E and reaching past it loses its head.
  Statement st(*this);
  if (st.Prepare(kFindSpanning) != SQLITE_OK) return 0;
  st.BindInt(1, e);
  st.BindInt(2, e);
  const int rc = st.Step();
  if (rc == SQLITE_DONE) return 1;
  if (rc != SQLITE_ROW) return 0;
  ExtentRecord y;
  ReadExtent(st.get(), &y);
  st.Finalize();
  const int64_t cut = e - y.start;
  Statement up(*this);
  if (up.Prepare(kMoveStart) != SQLITE_OK) return 0;
  up.BindInt(1, e);
  up.BindInt(2, y.off + cut);
  up.BindInt(3, y.len - cut);
  up.BindInt(4, y.start);
  if (up.Step() != SQLITE_DONE || Changes() != 1) return 0;
  MarkChanged();
  return 1;
}

int CExtentIndexDb::IsSingleExtent() {
  std::lock_guard lk(lock());
  Statement st(*this);
  if (st.Prepare(kFirstTwo) != SQLITE_OK) return 0;
  int rc = st.Step();
  if (rc == SQLITE_DONE) return 1;
  if (rc != SQLITE_ROW || st.ColumnInt(0) != 0) return 0;
  return st.Step() == SQLITE_DONE ? 1 : 0;
}

}  // namespace kelva::storage
