#include "service/storage/catalog_db.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/text.h"

namespace kelva::storage {
namespace {

bool IsBusy(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// The logs of catalogs that committed since the last SyncPendingCommits, by
// path (a closed catalog's log is checkpointed, synced and removed by SQLite;
// its path then simply no longer opens).
std::mutex& PendingMutex() {
  static std::mutex mu;
  return mu;
}
std::unordered_set<std::string>& PendingLogs() {
  static std::unordered_set<std::string> logs;
  return logs;
}

}  // namespace

CCatalogDb::CCatalogDb(platform::Clock& clock) : clock_(clock) {}

CCatalogDb::~CCatalogDb() { Close(); }

bool CCatalogDb::IsOpen() const {
  std::lock_guard lk(lock_);
  return db_ != nullptr;
}

std::u16string CCatalogDb::Path() const {
  std::lock_guard lk(lock_);
  return path_;
}

int CCatalogDb::PrepareWithRetry(const char* sql, sqlite3_stmt** out, unsigned flags) {
  *out = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql, -1, flags, out, nullptr);
  for (int retry = 0; IsBusy(rc) && retry < kBusyRetries; ++retry) {
    clock_.Sleep(kBusySleepMs);
    rc = sqlite3_prepare_v3(db_, sql, -1, flags, out, nullptr);
  }
  if (rc == SQLITE_OK) statements_parsed_.fetch_add(1, std::memory_order_relaxed);
  if (IsBusy(rc)) KLOG_WARN("catalog %s still busy after %d retries", path_utf8_.c_str(), kBusyRetries);
  return rc;
}

int CCatalogDb::StepWithRetry(sqlite3_stmt* stmt) {
  // A statement that stopped with an error is reset by the next sqlite3_step
  // call, so a busy step can simply be stepped again.
  int rc = sqlite3_step(stmt);
  for (int retry = 0; IsBusy(rc) && retry < kBusyRetries; ++retry) {
    clock_.Sleep(kBusySleepMs);
    rc = sqlite3_step(stmt);
  }
  if (IsBusy(rc)) KLOG_WARN("catalog %s still busy after %d retries", path_utf8_.c_str(), kBusyRetries);
  return rc;
}

int CCatalogDb::TakeStatement(const char* sql, sqlite3_stmt** out) {
  std::lock_guard lk(lock_);
  *out = nullptr;
  if (db_ == nullptr) return SQLITE_MISUSE;
  for (CachedStatements& c : statements_) {
    if (c.sql != sql) continue;
    while (!c.idle.empty()) {
      sqlite3_stmt* stmt = c.idle.back();
      c.idle.pop_back();
      // The address alone could belong to other text by now.
      if (std::strcmp(sqlite3_sql(stmt), sql) == 0) {
        *out = stmt;
        return SQLITE_OK;
      }
      sqlite3_finalize(stmt);
    }
    break;
  }
  return PrepareWithRetry(sql, out, SQLITE_PREPARE_PERSISTENT);
}

void CCatalogDb::GiveBackStatement(const char* sql, sqlite3_stmt* stmt) {
  std::lock_guard lk(lock_);
  // A statement of an earlier handle (closed while the statement was in use)
  // or of a handle being closed is only finalized.
  if (db_ == nullptr || sqlite3_db_handle(stmt) != db_) {
    sqlite3_finalize(stmt);
    return;
  }
  // Reset ends the statement's read or write transaction; its result was
  // already seen by the step that failed.
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  CachedStatements* slot = nullptr;
  for (CachedStatements& c : statements_) {
    if (c.sql == sql) {
      slot = &c;
      break;
    }
  }
  if (slot == nullptr) slot = &statements_.emplace_back(CachedStatements{sql, {}});
  if (slot->idle.size() >= kMaxIdlePerSql) {
    sqlite3_finalize(stmt);
    return;
  }
  slot->idle.push_back(stmt);
}

void CCatalogDb::FinalizeCachedStatements() {
  for (CachedStatements& c : statements_) {
    for (sqlite3_stmt* stmt : c.idle) sqlite3_finalize(stmt);
  }
  statements_.clear();
}

size_t CCatalogDb::CachedStatementCount() const {
  std::lock_guard lk(lock_);
  size_t n = 0;
  for (const CachedStatements& c : statements_) n += c.idle.size();
  return n;
}

int CCatalogDb::Statement::Prepare(const char* sql) {
  Finalize();
  if (!cached_) {
    if (db_.db_ == nullptr) return SQLITE_MISUSE;
    return db_.PrepareWithRetry(sql, &stmt_);
  }
  const int rc = db_.TakeStatement(sql, &stmt_);
  if (stmt_ != nullptr) sql_ = sql;
  return rc;
}

int CCatalogDb::Statement::Step() { return stmt_ ? db_.StepWithRetry(stmt_) : SQLITE_MISUSE; }

void CCatalogDb::Statement::Finalize() {
  if (stmt_ == nullptr) return;
  if (sql_ != nullptr) {
    db_.GiveBackStatement(sql_, stmt_);
  } else {
    sqlite3_finalize(stmt_);
  }
  stmt_ = nullptr;
  sql_ = nullptr;
}

sqlite3_stmt* CCatalogDb::Statement::Release() {
  sqlite3_stmt* s = stmt_;
  stmt_ = nullptr;
  sql_ = nullptr;
  return s;
}

void CCatalogDb::Statement::BindInt(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void CCatalogDb::Statement::BindText(int index, std::string_view utf8) {
  // A null pointer would bind NULL, which matches nothing and is not unique.
  const char* text = utf8.data() != nullptr ? utf8.data() : "";
  sqlite3_bind_text(stmt_, index, text, static_cast<int>(utf8.size()), SQLITE_STATIC);
}

void CCatalogDb::Statement::BindBlob(int index, const void* data, size_t length) {
  // A zero-length blob must still bind as a blob, not as NULL.
  static const char kEmpty = 0;
  sqlite3_bind_blob(stmt_, index, length ? data : &kEmpty, static_cast<int>(length), SQLITE_STATIC);
}

int64_t CCatalogDb::Statement::ColumnInt(int col) const { return sqlite3_column_int64(stmt_, col); }

bool CCatalogDb::Statement::ColumnIsInteger(int col) const {
  return sqlite3_column_type(stmt_, col) == SQLITE_INTEGER;
}

std::string_view CCatalogDb::Statement::ColumnText(int col) const {
  const unsigned char* text = sqlite3_column_text(stmt_, col);
  if (text == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(text),
                          static_cast<size_t>(sqlite3_column_bytes(stmt_, col)));
}

const void* CCatalogDb::Statement::ColumnBlob(int col) const { return sqlite3_column_blob(stmt_, col); }

size_t CCatalogDb::Statement::ColumnBytes(int col) const {
  return static_cast<size_t>(sqlite3_column_bytes(stmt_, col));
}

int CCatalogDb::Changes() const { return db_ ? sqlite3_changes(db_) : 0; }

void CCatalogDb::RefreshFileSize() {
  uint64_t size = 0;
  if (path_utf8_.empty() || platform::GetFileSize(platform::fs::path(path_utf8_), &size) != 0) size = 0;
  file_size_.store(size);
}

int CCatalogDb::WalHook(void* context, sqlite3* db, const char* name, int frames) {
  auto* self = static_cast<CCatalogDb*>(context);
  // Called after every commit: the log now holds frames that may not be on disk.
  if (const char* file = sqlite3_db_filename(db, name); file != nullptr && *file != 0) {
    std::string log = std::string(file) + "-wal";
    std::lock_guard lk(PendingMutex());
    PendingLogs().insert(std::move(log));
  }
  if (frames >= kCheckpointFrames) {
    sqlite3_wal_checkpoint(db, name);
    self->RefreshFileSize();
  }
  return SQLITE_OK;
}

int CCatalogDb::ExecDone(const char* sql) {
  Statement st(*this, false);
  int rc = st.Prepare(sql);
  if (rc != SQLITE_OK) return rc;
  return st.Step();
}

int CCatalogDb::OpenHandle(std::u16string_view path, bool create) {
  if (db_ != nullptr) CloseLocked();
  std::string utf8 = platform::Utf16ToUtf8(path);
  if (utf8.size() + 1 > kMaxPathBytes) return SQLITE_NOMEM;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(utf8.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);  // a handle is returned even on failure
    KLOG_DEBUG("catalog %s: open failed, SQLite %d (%s)", utf8.c_str(), rc, sqlite3_errstr(rc));
    return rc;
  }
  db_ = db;
  if (create) {
    // A new catalog gets 1024-byte pages (set before its first table and before
    // the log mode, the only time it can be): an empty directory catalog is
    // then 3 KiB instead of 12, and catalogs are copied into the cache and
    // recorded onto the discs again and again. On an existing catalog this does
    // nothing; catalogs of any page size open as they are.
    rc = ExecDone("PRAGMA page_size=1024;");
    if (rc != SQLITE_DONE && rc != SQLITE_ROW && rc != SQLITE_OK) {
      CloseLocked();
      return rc;
    }
    Statement st(*this, false);
    rc = st.Prepare("PRAGMA journal_mode=WAL;");
    if (rc == SQLITE_OK) {
      rc = st.Step();
      if (rc == SQLITE_ROW || rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
      st.Finalize();
      CloseLocked();
      return rc;
    }
  }
  // A catalog in log mode flushes only when asked (see SyncPendingCommits); one
  // in another journal mode keeps SQLite's full flush, without which a power
  // loss could damage it.
  {
    Statement mode(*this, false);
    if (mode.Prepare("PRAGMA journal_mode;") == SQLITE_OK && mode.Step() == SQLITE_ROW &&
        mode.ColumnText(0) == "wal") {
      mode.Finalize();
      ExecDone("PRAGMA synchronous=NORMAL;");
    }
  }
  sqlite3_wal_hook(db_, &CCatalogDb::WalHook, this);
  path_.assign(path);
  path_utf8_ = std::move(utf8);
  RefreshFileSize();
  return SQLITE_OK;
}

int CCatalogDb::CloseLocked() {
  // An enumeration of this thread that never reached its end took the lock once
  // more in its first call; that is given back here.
  if (enum_stmt_ != nullptr) FinishEnumeration();
  FinalizeCachedStatements();
  int rc = SQLITE_OK;
  if (db_ != nullptr) {
    rc = sqlite3_close(db_);
    // The handle is forgotten either way; SQLite then frees it once whatever kept
    // it open is gone, instead of leaking it.
    if (rc != SQLITE_OK) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  path_.clear();
  path_utf8_.clear();
  change_state_.store(0);
  file_size_.store(0);
  return rc;
}

int CCatalogDb::Close() {
  std::lock_guard lk(lock_);
  return CloseLocked();
}

int CCatalogDb::CheckpointAndLock() {
  lock_.Enter();
  if (db_ == nullptr) {
    lock_.Leave();
    return SQLITE_MISUSE;
  }
  int log_frames = 0, copied_frames = 0;
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_frames, &copied_frames);
  // A passive checkpoint stops short of frames another connection still reads
  // and reports success all the same. The main file is only a complete copy
  // when every frame of the log is in it.
  if (rc == SQLITE_OK && copied_frames < log_frames) rc = SQLITE_BUSY;
  SyncPendingCommits();  // a saved catalog is durable
  RefreshFileSize();
  if (rc != SQLITE_OK) lock_.Leave();
  return rc;
}

int CCatalogDb::ExecuteStatement(const char* sql) {
  std::lock_guard lk(lock_);
  Statement st(*this, false);
  int rc = st.Prepare(sql);
  if (rc != SQLITE_OK) return rc;
  const int before = sqlite3_total_changes(db_);
  while ((rc = st.Step()) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) return rc;
  if (sqlite3_total_changes(db_) != before) MarkChanged();
  return SQLITE_OK;
}

int CCatalogDb::SyncPendingCommits() {
  std::unordered_set<std::string> logs;
  {
    std::lock_guard lk(PendingMutex());
    logs.swap(PendingLogs());
  }
  int failed = 0;
  for (const std::string& log : logs) {
    platform::File f;
    const platform::Win32Error e = platform::File::Open(platform::fs::path(log), platform::kAccessRead,
                                              platform::Disposition::kOpenExisting, &f);
    if (e == platform::ERROR_FILE_NOT_FOUND || e == platform::ERROR_PATH_NOT_FOUND) continue;  // closed since
    if (e != 0 || f.Flush() != 0) {
      ++failed;
      KLOG_WARN("catalog log %s could not be flushed to disk", log.c_str());
      // Kept for the next call: its commits are still not known to be durable.
      std::lock_guard lk(PendingMutex());
      PendingLogs().insert(log);
    }
  }
  return failed;
}

size_t CCatalogDb::PendingCommitCount() {
  std::lock_guard lk(PendingMutex());
  return PendingLogs().size();
}

void CCatalogDb::BeginEnumeration(sqlite3_stmt* stmt) {
  // The caller took the lock for this call; it stays held until the end.
  if (enum_stmt_ != nullptr) FinishEnumeration();
  enum_stmt_ = stmt;
  enum_owner_.store(std::this_thread::get_id());
}

int CCatalogDb::StepEnumeration() {
  if (enum_owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
    // Not this thread's enumeration: wait for whichever runs to end, then there
    // is nothing to continue.
    std::lock_guard lk(lock_);
    if (enum_stmt_ == nullptr || enum_owner_.load() != std::this_thread::get_id()) return SQLITE_MISUSE;
  }
  // This thread holds the lock from the enumeration's first call.
  const int rc = StepWithRetry(enum_stmt_);
  if (rc != SQLITE_ROW) FinishEnumeration();
  return rc;
}

void CCatalogDb::FinishEnumeration() {
  sqlite3_finalize(enum_stmt_);
  enum_stmt_ = nullptr;
  enum_owner_.store(std::thread::id());
  lock_.Leave();
}

void CCatalogDb::EndEnumeration() {
  std::lock_guard lk(lock_);
  if (enum_stmt_ != nullptr) FinishEnumeration();
}

}  // namespace kelva::storage
