// CCatalogDb: the connection to one catalog file (a SQLite database).
//
// A catalog file is the structure catalog of a volume, the catalog of one
// directory or the extent index of one file; the three table sets are the
// subclasses CStructureDb, CDirectoryDb and CExtentIndexDb. This class owns the
// SQLite handle and everything the three share:
//  - one re-entrant lock, held for the whole of every operation (an enumeration
//    holds it from its first call to its last), so one connection may be used
//    from many threads, one at a time;
//  - the busy rule: a prepare or step answered with SQLITE_BUSY or SQLITE_LOCKED
//    is retried up to 1000 more times, 10 ms apart on the connection's clock;
//  - write-ahead-log mode with its own checkpoint rule: after a commit that
//    leaves 256 or more frames in the log, the log is checkpointed and the file
//    size refreshed (SQLite's own automatic checkpointing is replaced);
//  - durability when asked: a catalog in log mode commits without a disk flush
//    (synchronous=NORMAL: consistent after a power loss, and a killed process
//    loses nothing, the kernel holds it). Every such commit leaves its log
//    pending until SyncPendingCommits flushes the logs of all catalogs; that is
//    called where work must become durable (fsync through the mount) and before
//    a cache file that a catalog change made unnecessary is deleted, so that a
//    power loss cannot leave a catalog pointing at a deleted file;
//  - the change state: 0 clean, 1 changed, 2 being recorded. Every successful
//    change made through a table operation sets 1; the owner sets 2 and 0;
//  - a statement cache: a statement is parsed once per connection and given
//    back (reset, bindings cleared) when the Statement that used it ends, so
//    that the operations a file system call makes do not parse their SQL again
//    each time. The cache is guarded by the connection's lock.
//
// Results: Create, Open, Close and CheckpointAndLock return SQLite result codes
// (SQLITE_OK = 0 on success); table operations of the subclasses return 1 (done)
// or 0 (not done). No exception leaves the class. Not copyable.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelva::storage {

class CCatalogDb {
 public:
  // Prepares and steps that meet a busy database are retried this many more times,
  // this many milliseconds apart.
  static constexpr int kBusyRetries = 1000;
  static constexpr uint32_t kBusySleepMs = 10;
  // The log is checkpointed after a commit that leaves at least this many frames.
  static constexpr int kCheckpointFrames = 256;
  // Longest file path, in UTF-8 bytes with its terminator.
  static constexpr size_t kMaxPathBytes = 766;

  explicit CCatalogDb(platform::Clock& clock = platform::RealClock());
  CCatalogDb(const CCatalogDb&) = delete;
  CCatalogDb& operator=(const CCatalogDb&) = delete;
  // Closes the connection if it is still open.
  virtual ~CCatalogDb();

  // Closes the SQLite handle (it is forgotten even when SQLite reports an error),
  // forgets the path, clears the change state and the file size. An enumeration
  // left running on this thread is ended first. Returns SQLITE_OK when SQLite
  // closed the handle, else SQLite's result.
  int Close();

  // Takes the lock, checkpoints the log of every attached database (passive) and
  // refreshes the file size. On SQLITE_OK the lock stays held so that the caller
  // can copy the file in a consistent state; the caller then calls Unlock. On
  // any other result the lock has been released; SQLITE_BUSY also when frames
  // of the log could not be moved into the main file (another connection still
  // reads them), as a copy of the main file would then miss them.
  int CheckpointAndLock();

  // The connection's re-entrant lock, for callers that run several operations as
  // one step (and to release the lock CheckpointAndLock kept).
  void Lock() { lock_.Enter(); }
  void Unlock() { lock_.Leave(); }

  bool IsOpen() const;
  // Size in bytes of the database file as last seen (0 when absent).
  uint64_t FileSize() const { return file_size_.load(); }
  // 0 clean, 1 changed, 2 being recorded.
  uint8_t ChangeState() const { return change_state_.load(); }
  void SetChangeState(uint8_t state) { change_state_.store(state); }
  // The path given at Create or Open (empty when closed).
  std::u16string Path() const;

  // Runs one statement that returns no rows (any rows are skipped) under the lock
  // with the busy rule; the change state becomes 1 when it changed rows. For the
  // volume's own statements and for tuning (benchmarks set PRAGMA synchronous).
  int ExecuteStatement(const char* sql);

  // Flushes to disk the log of every catalog (of any connection in the process)
  // that committed since the last call; commits made before the call are
  // durable when it returns. Returns the number of logs that could not be
  // flushed (0 on success). Takes no catalog lock.
  static int SyncPendingCommits();
  // Logs waiting for SyncPendingCommits (for tests).
  static size_t PendingCommitCount();

  // Ends an enumeration of this thread that was not run to its end: finalizes its
  // statement and releases the lock its first call took. No effect when none runs.
  void EndEnumeration();

  platform::Clock& clock() const { return clock_; }

  // Statements idle in the cache, and statements parsed since construction.
  size_t CachedStatementCount() const;
  uint64_t StatementsParsed() const { return statements_parsed_.load(); }

 protected:
  // A prepared statement that goes back to the connection's cache when it ends.
  // Prepare and Step follow the busy rule. sql must be text that lives as long as
  // the connection (the table operations pass their constants); the cache knows
  // statements by that address and checks the text. Text bound with BindText
  // must outlive the statement's last Step.
  class Statement {
   public:
    // cached false: finalized when it ends (statements run once, or SQL text
    // that does not outlive the call).
    explicit Statement(CCatalogDb& db, bool cached = true) : db_(db), cached_(cached) {}
    ~Statement() { Finalize(); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int Prepare(const char* sql);
    int Step();
    // Gives the statement back to the cache (reset, bindings cleared).
    void Finalize();
    // Hands the prepared statement over (for enumerations that outlive the call);
    // it is finalized, not cached, when it ends.
    sqlite3_stmt* Release();

    void BindInt(int index, int64_t value);
    void BindText(int index, std::string_view utf8);
    void BindBlob(int index, const void* data, size_t length);

    int64_t ColumnInt(int col) const;
    bool ColumnIsInteger(int col) const;
    // UTF-8 text of a column; empty for NULL.
    std::string_view ColumnText(int col) const;
    const void* ColumnBlob(int col) const;
    size_t ColumnBytes(int col) const;

    sqlite3_stmt* get() const { return stmt_; }

   private:
    CCatalogDb& db_;
    sqlite3_stmt* stmt_ = nullptr;
    const char* sql_ = nullptr;
    const bool cached_;
  };


  // Opens the handle: creation allowed (and the log mode set) or not, hook
  // installed, path kept, file size read. The caller holds the lock.
  int OpenHandle(std::u16string_view path, bool create);
  // Runs one statement that must end in SQLITE_DONE; returns its result.
  int ExecDone(const char* sql);
  // Busy rule around one prepare or step of an existing statement.
  int PrepareWithRetry(const char* sql, sqlite3_stmt** out, unsigned flags = 0);
  int StepWithRetry(sqlite3_stmt* stmt);
  // Closes the handle without taking the lock (the caller holds it).
  int CloseLocked();
  // Rows changed by the last statement.
  int Changes() const;
  void MarkChanged() { change_state_.store(1); }
  void RefreshFileSize();

  // Enumeration support: Begin takes the lock (ending an earlier enumeration of
  // this thread) and keeps stmt; Step returns SQLITE_ROW while rows remain and
  // ends the enumeration (finalize, unlock) on anything else.
  void BeginEnumeration(sqlite3_stmt* stmt);
  bool EnumerationActive() const { return enum_stmt_ != nullptr; }
  sqlite3_stmt* enumeration_statement() const { return enum_stmt_; }
  int StepEnumeration();
  // Finalizes the enumeration's statement and releases its hold on the lock.
  void FinishEnumeration();

  sqlite3* handle() const { return db_; }
  platform::CriticalSection& lock() { return lock_; }

 private:
  static int WalHook(void* context, sqlite3* db, const char* name, int frames);

  // A statement for sql from the cache, else newly prepared (busy rule).
  int TakeStatement(const char* sql, sqlite3_stmt** out);
  // Resets stmt and keeps it for the next use of sql (finalizes it when it
  // belongs to an earlier handle or the cache holds enough copies).
  void GiveBackStatement(const char* sql, sqlite3_stmt* stmt);
  void FinalizeCachedStatements();

  // Statements of one SQL text that are not in use. A statement in use is not
  // here, so two Statements of one text at once (an operation nested in
  // another) get two statements.
  struct CachedStatements {
    const char* sql;
    std::vector<sqlite3_stmt*> idle;
  };
  static constexpr size_t kMaxIdlePerSql = 4;

  platform::Clock& clock_;
  mutable platform::CriticalSection lock_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* enum_stmt_ = nullptr;
  // The thread whose enumeration is running (and so holds the lock).
  std::atomic<std::thread::id> enum_owner_{};
  std::u16string path_;
  std::string path_utf8_;
  std::atomic<uint64_t> file_size_{0};
  std::atomic<uint8_t> change_state_{0};
  std::vector<CachedStatements> statements_;  // guarded by lock_
  std::atomic<uint64_t> statements_parsed_{0};
};

}  // namespace kelva::storage
