// IFsVolume: how the objects below a volume call back into it.
//
// The volume (CFsVolume) owns, for one mounted magazine, the disc I/O engine, the
// cache store, the structure catalog, the tables of open directory and file
// objects, the dirty queues, the capacity accounting and the background writer.
// The directory and file objects (CDirObject, CFileObject) and the disc I/O
// engine hold an IFsVolume and reach those shared services only through it:
// cache-file pinning, capacity accounting, dirty marking, waits for cache room,
// the volume's locks and its notices.
//
// The operations are listed in a fixed order (their slot numbers are given with
// each one); implementations and test doubles keep that order.
//
// Every implementation is thread safe: any operation may be called from any
// thread at any time, host event threads, the background writer, the archive
// thread and the engine's worker included. Lock order, outermost first: the
// volume's operation lock, the catalog lock (LockCatalog*), the open-directory
// table, the open-file table, the dirty queues, the pinned-file list. A caller
// that holds a directory catalog's own lock must not take the catalog lock.
//
// Results: operations documented "0 or an error" return a Win32 error code
// (0 = success). "1/0" operations return 1 for yes/done and 0 for no/not done.
// The 64-bit counters (cached data bytes, pending archive bytes, metadata bytes,
// catalog growth) are changed only atomically, so no reader sees a torn value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/errors.h"
#include "service/storage/cache_store.h"

namespace kelva::unit {
class UnitController;
}

namespace kelva::storage {
class CDirObject;
class CDirectoryDb;
class IDiscRecorder;
}  // namespace kelva::storage

namespace kelva::volume {

using platform::Win32Error;
using storage::CacheKind;
using storage::CDirectoryDb;
using storage::CDirObject;

class IFsVolume {
 public:
  IFsVolume() = default;
  IFsVolume(const IFsVolume&) = delete;
  IFsVolume& operator=(const IFsVolume&) = delete;
  virtual ~IFsVolume() = default;

  // ---- links (slots 0 to 3) ----

  // [0] The volume's disc I/O engine. Never null while the volume is open.
  virtual storage::IDiscRecorder* GetDiscEngine() = 0;
  // [1] The magazine's cache store. Never null while the volume is open.
  virtual storage::CCacheStore* GetCacheStore() = 0;
  // [2] The unit's controller (not owned by the volume).
  virtual unit::UnitController* GetUnitController() = 0;
  // [3] Returns the next cache file number and advances the counter (atomic:
  // two callers never get the same number).
  virtual uint32_t NextFileNumber() = 0;

  // ---- catalog growth and dirty marking (slots 4 to 8) ----

  // [4] Unless the structure catalog's change state is 1 (changed), exchanges the
  // catalog growth with 0 and subtracts the old value from the metadata bytes.
  // Returns 1; 0 when no structure catalog is open.
  virtual int SettleCatalogGrowth() = 0;
  // [5] For the open directory whose catalog is `catalog`: when that catalog is
  // in change state 1 the directory is queued (MarkDirectoryDirty(dir, 0, 0)) so
  // that the change is recorded later; otherwise its accounted catalog size is
  // exchanged with 0 and subtracted from the metadata bytes. Returns 1; 0 for a
  // null catalog or one that no open directory owns.
  virtual int SettleDirectoryGrowth(CDirectoryDb* catalog) = 0;
  // [6] Queues an open directory for the background writer. Returns 0 while the
  // volume closes. Enters busy. With write = 0 a directory that is not queued is
  // queued for its metadata (state 1); with write = 1 it is queued for writing
  // (state 2, or 3 when close is set), a state-1 entry is raised to 2 (3 with
  // close), a state-2 entry to 3 with close. An entry being written or evicted
  // (state 255) is left alone and 0 returned. Wakes the writer. Returns 1 when the
  // directory was found in the open-directory table.
  virtual int MarkDirectoryDirty(CDirObject* dir, int write, int close) = 0;
  // [7] The same for an open file object (opaque here) and the file dirty queue;
  // entries entering state 2 or 3 raise the queue's count of files to write.
  virtual int MarkFileDirty(void* file_object, int write, int close) = 0;
  // [8] Wakes the background writer when the open-file table holds more than the
  // file object limit or the cached data bytes exceed the cache data limit.
  virtual void CheckCachePressure() = 0;

  // ---- structure catalog (slots 9 to 19) ----
  // The structure catalog operations take the catalog's own lock; callers that
  // change the tree hold the namespace lock (LockCatalogExclusive) around them.

  // [9] Adds the directory at path (relative to the root, "\" separated; the
  // empty path is the root) with the identity of its catalog. A row of the same
  // name must be deleted and is replaced. 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogAddEntry(std::u16string_view path, uint8_t disc, uint32_t file) = 0;
  // [10] Gives the directory (old_disc, old_file) the identity (new_disc,
  // new_file): drops the old identity from the directory prefetch list, then
  // changes the row; success only when exactly one row changed (the structure
  // catalog is then changed). 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogRelocate(uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file) = 0;
  // [11] Marks the directory deleted. 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogDeleteEntry(uint8_t disc, uint32_t file) = 0;
  // [12] Marks the directory live again. 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogUndeleteEntry(uint8_t disc, uint32_t file) = 0;
  // [13] Renames the directory within its parent. 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogRenameEntry(uint8_t disc, uint32_t file, std::u16string_view new_name) = 0;
  // [14] Renames the child called old_name (deleted or not) of the directory
  // (dir_disc, dir_file) to new_name. 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogRenameChild(uint8_t dir_disc, uint32_t dir_file, std::u16string_view old_name,
                                        std::u16string_view new_name) = 0;
  // [15] Moves the directory to new_path (every component but the last must
  // exist; the last is its new name). 0 or ERROR_ACCESS_DENIED.
  virtual Win32Error CatalogMoveEntry(uint8_t disc, uint32_t file, std::u16string_view new_path) = 0;
  // [16] Length in UTF-16 units of the directory's path ("\a\b"), 0 for a null
  // directory or one the structure catalog does not know.
  virtual size_t CatalogPathLength(const CDirObject* dir) = 0;
  // [17] Writes the directory's path so that it ends at buffer[capacity - 1],
  // without terminator; returns the number of units written (0 when none).
  virtual size_t CatalogBuildPath(const CDirObject* dir, size_t capacity, char16_t* buffer) = 0;
  // [18] 1-based position of the directory in the open-directory table, 0 when it
  // is not there.
  virtual uint32_t DirectoryTableIndex(const CDirObject* dir) = 0;
  // [19] The catalog of the directory at a 1-based table position; null when the
  // position is out of range.
  virtual CDirectoryDb* DirectoryTableAt(uint32_t index) = 0;

  // ---- cache files (slots 20 to 25) ----
  // A pin keeps a cache file present while its owner uses it; owner is an opaque
  // key (normally the object's address). For CK_DB the disc is always 255.

  // [20] Pins (kind, disc, file) for owner, first making the file present in the
  // cache: a CK_DIR catalog already in the directory map needs nothing, a CK_LOG
  // segment is looked up among the history-log files, everything else is fetched
  // from the discs. A second pin by the same owner only counts up. When retry is
  // set, ERROR_LOCK_FAILED (another thread fetches it) and ERROR_FILE_EXISTS are
  // retried every 1500 ms, 300 attempts in all. 0, ERROR_NOT_ENOUGH_MEMORY, or
  // the fetch's error.
  virtual Win32Error PinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool retry) = 0;
  // [21] Creates a new cache file of kind on disc through the cache store (*file:
  // the number wanted on entry, the number used on return; a taken number is
  // replaced) and pins it for owner; *path receives its full path. The new file
  // is empty and closed. 0, ERROR_NOT_ENOUGH_MEMORY (the file is deleted again),
  // or the store's error.
  virtual Win32Error CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, const void* owner,
                                     std::filesystem::path* path) = 0;
  // [22] Pins without fetching: counts up the entry with the same four values or
  // adds one. 0 or ERROR_NOT_ENOUGH_MEMORY.
  virtual Win32Error PinCacheFileKeyed(CacheKind kind, uint8_t disc, uint32_t file, const void* key) = 0;
  // [23] Gives a pinned file a new identity in the cache map of its kind (the
  // file keeps its name on the computer's disk) and moves its pin along.
  // ERROR_ACCESS_DENIED for an unknown kind or no cache store,
  // ERROR_FILE_NOT_FOUND when not pinned by owner, else the map's result.
  virtual Win32Error RenameCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint8_t new_disc,
                                     uint32_t new_file, const void* owner) = 0;
  // [24] Counts the owner's pin down. At 0 the pin goes and, unless the volume
  // keeps every cache file, the file is released to the cache store: marked for
  // deferred removal when kind is CK_DIR or keep is set, deleted otherwise.
  // 0 or ERROR_FILE_NOT_FOUND when not pinned.
  virtual Win32Error UnpinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool keep) = 0;
  // [25] Drops the owner's pin at once and deletes the cache file.
  // 0 or ERROR_FILE_NOT_FOUND when not pinned.
  virtual Win32Error UnpinAndDeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner) = 0;

  // ---- writer and waits (slots 26 to 33) ----

  // [26] Number of objects the background writer has written or evicted so far.
  virtual uint32_t GetWriterPassCount() = 0;
  // [27] Adds delta to the cached data bytes (atomic); wakes the writer when the
  // result exceeds the cache data limit.
  virtual void AddCachedBytes(int64_t delta) = 0;
  // [28] Waits until the open files and cached data are within their limits.
  // 1 to go on (also after 30000 ms, when suspended or when waits are aborted);
  // 0 when the writer made no progress for 20 rounds of up to 5000 ms.
  virtual int WaitForCacheRoom() = 0;
  // [29] While a directory eviction pass runs (at most 30000 ms): lets the writer
  // run and waits up to 5000 ms at a time for its acknowledgement.
  virtual void WaitDirectoryEviction() = 0;
  // [30] Before a read from the discs: waits while the writer holds priority
  // (it is released 200 ms after it began or once no write is in progress) and
  // while evictions or directory writes run, checking every 200 ms.
  virtual void WaitWriterPriority() = 0;
  // [31] Asked by the writer before it writes objects back: 1 when it may
  // proceed now, 0 when recent reads come first (for at most 10 minutes).
  virtual int MayWriterProceed() = 0;
  // [32] Counts a foreground use of the discs up.
  virtual void BeginForegroundDisc() = 0;
  // [33] Counts it down.
  virtual void EndForegroundDisc() = 0;

  // ---- capacity accounting (slots 34 to 39) ----

  // [34] Adds delta to the pending archive bytes (atomic, never below 0). For a
  // delta of 0 or more returns the capacity check (1: metadata + pending bytes +
  // 64 MiB fit in the free capacity, else 0); for a negative delta counts a
  // writer pass and returns 1.
  virtual int AddPendingBytes(int64_t delta) = 0;
  // [35] Adds delta to the metadata bytes (atomic). 1 for a negative delta, else
  // the capacity check.
  virtual int AddMetadataBytes(int64_t delta) = 0;
  // [36] Exchanges the catalog growth with the structure catalog's current file
  // size and adds the difference to the metadata bytes; returns that result.
  virtual int SyncCatalogGrowth() = 0;
  // [37] For the open directory whose catalog is `catalog`: exchanges the
  // directory's accounted size with the catalog's current file size and adds the
  // difference to the metadata bytes, returning that result (0 means the catalog
  // may not grow: no capacity). 1 for a null catalog or one no open directory owns.
  virtual int SyncDirectoryGrowth(CDirectoryDb* catalog) = 0;
  // [38] 1 when metadata bytes + pending archive bytes + bytes + 64 MiB stay
  // within the free capacity (0 when the magazine is not writable).
  virtual int HasRoomFor(int64_t bytes) = 0;
  // [39] Called by the disc I/O engine after it closed the current disc: every
  // file segment, directory catalog and directory history log recorded on it
  // (change state 2) is confirmed and returns to state 0, then the structure
  // catalog in state 2 does. On a recordable magazine each recorded file is looked
  // up on the disc first; an unexpected error marks the disc unusable.
  virtual void CommitAfterDiscClose() = 0;
  // How many times a disc has been closed since the volume opened: what was
  // recorded before a close is kept by the discs.
  virtual uint64_t DiscCloses() = 0;

  // ---- engine events (slots 40 to 44) ----

  // [40] Remembers disc as the reload disc and has the host read the folders
  // it holds open again (their entries' offline state follows the disc in the
  // drive). The writer calls it after a disc change; it takes the
  // open-directory lock, so never on the engine's thread.
  virtual void ReloadForDisc(uint8_t disc) = 0;
  // [41] An event of the disc I/O engine: 0 abort waits; 1 copy the catalogs of
  // the current disc's directories that are neither open nor cached into the
  // cache; 2 the disc changed (notification 16, the structure catalog is saved
  // and the directory pack written); 3 stop aborting waits.
  virtual void DiscEngineEvent(int code) = 0;
  // [42] Writes "LastSystem" = this computer's identity and saves the structure
  // catalog. 0 or an error.
  virtual Win32Error StampAndSaveCatalog() = 0;
  // [43] A fatal condition below the volume: logs event_id as an error event
  // under the source "KELVA" and asks the volume worker to detach the volume.
  virtual void FatalError(uint32_t event_id) = 0;
  // [44] Passes a notification message ({0xFF, code, drive letter, ...}; the
  // worker fills in the letter) to the volume worker's notification sink.
  virtual void Notify(const uint8_t* message, size_t length) = 0;

  // ---- settings (slots 45 to 55) ----

  // [45] True in single-writer mode (split setting -1).
  virtual bool IsSingleWriter() = 0;
  // [46] Largest file that may start now: the current disc's free bytes minus
  // the catalog growth minus 16 MiB; the split setting when it is 0 or more and
  // smaller.
  virtual int64_t SingleFileLimit() = 0;
  // [47] True when the split setting is not 0 and the engine's split flag is set.
  virtual bool SplitActive() = 0;
  // [48] Files read from the discs below this size are kept in the cache.
  virtual int64_t GetSmallFileLimit() = 0;
  // [49] The empty-file flag: a file holding no data is deleted without a tombstone.
  virtual uint8_t GetPatternFlag() = 0;
  // [50] True when name matches one of the semicolon-separated patterns of list 1
  // (deleted without a tombstone). An empty list matches nothing.
  virtual bool MatchesPatternList1(std::u16string_view name) = 0;
  // [51] The same for list 2 (may be deleted in the deleted-entry view).
  virtual bool MatchesPatternList2(std::u16string_view name) = 0;
  // [52] Cache reserve percent of the cache data limit, in bytes.
  virtual int64_t CacheReserve() = 0;
  // [53] 1 when the change history is kept ("SaveHistory").
  virtual uint8_t GetHistoryFlag() = 0;
  // [54] The reference number of a directory catalog in the resume reference
  // table, 0 when absent (or null).
  virtual uint32_t ReferenceOfCatalog(const CDirectoryDb* catalog) = 0;
  // [55] The directory catalog of a reference number, null when absent.
  virtual CDirectoryDb* CatalogOfReference(uint32_t reference) = 0;

  // ---- notices (slots 56 to 58) ----

  // [56] Reports notice 4 ("Another file is being written.") with its code.
  virtual void ReportWriterBusy() = 0;
  // [57] kind 0: the magazine refused writing (read-only status bit 1); kind 1: a
  // write to the discs failed (bit 3, notice 16 with its code); others: nothing.
  virtual void ReportWriteFailure(int kind) = 0;
  // [58] Reports notice 28 ("Cache capacity is insufficient.") without a code.
  virtual void ReportCacheShortage() = 0;

  // ---- locks (slots 59 to 64) ----
  // The catalog lock guards the directory tree: namespace changes and identity
  // re-keys hold it exclusively, lookups shared. The second catalog lock is held
  // shared around updates of a parent catalog's rows (the entry lock). Both are
  // re-entrant per thread; a thread holding only a shared lock must not ask for
  // the exclusive one.

  virtual void LockCatalogShared() = 0;      // [59]
  virtual void LockCatalogExclusive() = 0;   // [60]
  virtual void UnlockCatalogShared() = 0;    // [61]
  virtual void UnlockCatalogExclusive() = 0; // [62]
  virtual void LockCatalog2Shared() = 0;     // [63]
  virtual void UnlockCatalog2Shared() = 0;   // [64]

  // ---- capacity gate (slots 65 to 67) ----

  // [65] Waits up to 1000 ms for the capacity gate (0 on time-out), counts the
  // caller in and, unless in single-writer mode, releases the gate at once.
  // Returns 1. In single-writer mode the caller holds the gate until it leaves.
  virtual int EnterCapacityGate() = 0;
  // [66] The same without waiting.
  virtual int TryEnterCapacityGate() = 0;
  // [67] Counts the caller out (taking the gate first unless in single-writer
  // mode, where the caller holds it) and releases the gate.
  virtual void LeaveCapacityGate() = 0;
};

}  // namespace kelva::volume
