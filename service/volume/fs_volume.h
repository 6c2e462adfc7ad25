// CFsVolume: the file system of one inserted magazine.
//
// It owns, for that magazine, the cache store, the structure catalog, the tables
// of open directory and file objects with their dirty queues, the pinned cache
// files, the settings and the capacity accounting, and it runs the background
// writer that moves changes out of memory towards the discs. The objects below it
// reach all of that through IFsVolume.
//
// Tables: open directories (DirRef) and open files (FileRef) are kept oldest
// first. Each entry carries a queue state: 0 not queued, 1 queued for metadata,
// 2 queued for writing, 3 queued for writing and closing, 255 taken by the thread
// that writes, evicts or deletes it. The file queue counts its entries in state
// 2 or 3.
//
// Time: every tick, sleep and timed wait goes through the clock given at
// construction, so the writer's 2000 ms quiet time, the read windows, the
// 10-minute priority rule and the cache-room waits run on a test clock.
//
// Thread safety: every public operation may be called from any thread. Lock
// order, outermost first: operation lock, catalog lock, directory table,
// file table, dirty queues, pinned list; the busy and priority locks are leaves.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "service/storage/catalog_structure.h"
#include "service/storage/reentrant_rw_lock.h"
#include "service/volume/entry_listing.h"
#include "service/volume/fs_volume_iface.h"
#include "service/volume/machine_identity.h"
#include "service/volume/open_file.h"
#include "service/volume/open_file_object.h"
#include "service/volume/volume_journal.h"
#include "service/volume/volume_site.h"

namespace kelva::volume {

// The program's file version as the catalogs store it: version 1.0.0.0.
inline constexpr uint64_t kProgramVersion = 0x0001000000000000ULL;

// Queue states of table entries.
inline constexpr uint8_t kQueueNone = 0;
inline constexpr uint8_t kQueueMeta = 1;
inline constexpr uint8_t kQueueWrite = 2;
inline constexpr uint8_t kQueueWriteClose = 3;
inline constexpr uint8_t kQueueTaken = 255;

// Read-only status bits.
inline constexpr uint8_t kReadOnlyOtherSystem = 1;
inline constexpr uint8_t kReadOnlyRefused = 2;
inline constexpr uint8_t kReadOnlyVolume = 4;
inline constexpr uint8_t kReadOnlyWriteFailed = 8;

// Notices.
inline constexpr uint32_t kNoticeWriterBusy = 4;
inline constexpr uint32_t kNoticeWriteFailed = 16;
inline constexpr uint32_t kNoticeCacheShortage = 28;
inline constexpr uint32_t kNoticeOtherSystem = 30;
inline constexpr uint32_t kNoticeResumed = 31;

// Notification codes of catalog saves and flushes.
inline constexpr uint8_t kNotifyCatalogSaved = 0x50;
inline constexpr uint8_t kNotifyCatalogSaveFailed = 0x51;
inline constexpr uint8_t kNotifyFlushDone = 0x20;
inline constexpr uint8_t kNotifyFlushFailed = 0x21;

// Kinds of open contexts.
inline constexpr uint8_t kRefDirectory = 1;
inline constexpr uint8_t kRefFile = 2;

// The open context the host keeps for every open file or folder: a DirRef or
// a FileRef, told apart by kind.
struct EntryRef {
  explicit EntryRef(uint8_t k) : kind(k) {}
  const uint8_t kind;
};

struct DirRef : EntryRef {
  DirRef() : EntryRef(kRefDirectory) {}
  std::unique_ptr<CDirObject> dir;
  std::atomic<int32_t> refs{0};
  std::atomic<int32_t> open_count{0};  // host opens not closed yet
  uint8_t state = kQueueNone;  // guarded by the directory queue lock
  bool in_writeback = false;   // the writer writes it (state 0); same lock
  std::atomic<bool> closing{false};
  std::atomic<bool> prefetched{false};  // the directory prefetch ran for it
  DirRef* parent = nullptr;
};

struct FileRef : EntryRef {
  FileRef() : EntryRef(kRefFile) {}
  IOpenFile* file = nullptr;   // owned through free_file, or by the volume when restored
  bool restored = false;       // made by the volume from a resume file
  void* key = nullptr;         // what the file object passes to MarkFileDirty
  // The file object behind `file` when the namespace operations opened it
  // (null for entries added by other means).
  COpenFileObject* object = nullptr;
  std::atomic<int32_t> refs{0};
  std::atomic<int32_t> open_count{0};  // host opens not closed yet
  uint8_t state = kQueueNone;  // guarded by the file queue lock
  // The writer is writing it back (state 0 meanwhile, so that new changes
  // queue it again); guarded by the file queue lock.
  bool in_writeback = false;
  std::atomic<bool> closing{false};
  // The row went away while others still held the entry (a rename replaced
  // the file): the entry is dropped when the last holder closes it.
  std::atomic<bool> orphaned{false};
  DirRef* parent = nullptr;
  uint64_t journal_number = 0;          // its records in the journal
  std::atomic<bool> journaled{false};  // the journal holds a record that still needs replaying
};

// What GetEntryInfo and the enumerations report of one entry.
struct EntryInfo {
  bool exists = false;
  int64_t creation_time = 0;
  int64_t access_time = 0;
  int64_t write_time = 0;
  int64_t end_of_file = 0;
  int64_t allocation = 0;
  uint64_t file_id = 0;     // (disc << 32) | file; bit 30 set for folders
  uint32_t attributes = 0;  // with the offline, read-only and deleted-entry rules applied
};

// One entry of a folder listing: the name (at most 256 characters) and its information.
struct ListedEntry {
  std::u16string name;
  EntryInfo info;
};

// One named stream: "NAME:$DATA" (at most 256 characters), its length in bytes
// as the host counts it (2 per character) and its sizes.
struct ListedStream {
  std::u16string name;
  uint32_t name_bytes = 0;
  int64_t end_of_file = 0;
  int64_t allocation = 0;
};

// The deleted-entry marker bit in reported attributes.
inline constexpr uint32_t kAttributeDeletedEntry = 0x4000000;
// Desired access that opens a file only to delete it.
inline constexpr uint32_t kAccessDelete = 0x10000;
// ExtractFileVersion statuses.
inline constexpr uint32_t kExtractDone = 0;
inline constexpr uint32_t kExtractBadLocation = 4;
inline constexpr uint32_t kExtractNotFound = 32;
inline constexpr uint32_t kExtractNoMemory = 48;
inline constexpr uint32_t kExtractFailed = 1;

// The settings the control channel reads and changes.
struct VolumeSettings {
  int32_t dir_limit = 256;
  int32_t dir_trim_percent = 50;
  int32_t file_limit = 1024;
  int32_t file_trim_percent = 50;
  int64_t cache_limit = 0x100000000LL;
  int32_t cache_trim_percent = 80;
  int32_t cache_reserve_percent = 25;
  int64_t small_file_limit = 0x2000000;
  uint8_t retention_mode = 1;
  uint8_t cache_keep_count = 0;
  bool deleted_view = false;
  uint8_t history_flag = 1;
  uint8_t empty_file_flag = 1;
};

// What Open's catalog step found (the archive/resume logic decides it).
enum class RestoreResult {
  kRestored,    // local state taken over (resume file or live cache)
  kFromDiscs,   // the structure catalog was just taken from the discs
  kNewVolume,   // no catalog anywhere: a new volume was created
  kFatal,       // the search met a fatal condition
};

// Locates the newest structure catalog and restores or creates the volume's state.
class IVolumeRestore {
 public:
  virtual ~IVolumeRestore() = default;
  virtual RestoreResult RestoreState(class CFsVolume& volume) = 0;
};

// Everything Open is given: the unit, the discs, the cache store (owned by the
// volume from then on), the restore step and the magazine configuration.
struct VolumeOpenParts {
  IVolumeUnit* unit = nullptr;
  IVolumeDiscs* discs = nullptr;
  storage::IDiscRecorder* recorder = nullptr;
  std::unique_ptr<storage::CCacheStore> cache;
  IVolumeRestore* restore = nullptr;
  bool have_config = false;   // Config.bin could be read
  int32_t config_split = 0;
  uint8_t config_mode = 1;
  uint8_t config_keep = 0;
  uint8_t config_history = 0;  // Config.bin byte 2: nonzero turns history off for new volumes
  std::function<void()> run_archive;  // starts the archive run and waits for it
};

class CFsVolume : public IFsVolume, public storage::ICacheStoreOwner {
 public:
  static constexpr uint32_t kQuietMs = 2000;
  static constexpr uint32_t kPinRetryMs = 1500;
  static constexpr uint32_t kPinAttempts = 300;
  static constexpr uint32_t kPriorityAfterMs = 600000;
  static constexpr uint32_t kCacheWaitTotalMs = 30000;
  static constexpr uint32_t kCacheWaitRoundMs = 5000;
  static constexpr uint32_t kCacheWaitRounds = 20;
  static constexpr int64_t kCapacityReserve = 0x4000000;

  // Construction: defaults, empty tables, the machine identity (all 0xFF when it
  // cannot be computed). version is the program's file version.
  CFsVolume(unit::UnitController* controller, platform::Clock& clock, uint64_t version,
            const MachineIdentity& identity);
  static std::unique_ptr<CFsVolume> Create(unit::UnitController* controller, platform::Clock& clock);
  ~CFsVolume() override;

  // Links the unit, the discs and the cache store (Open does it first; tests
  // that exercise the tables and the writer alone use it directly).
  void Attach(IVolumeUnit* unit, IVolumeDiscs* discs, std::unique_ptr<storage::CCacheStore> cache);
  // Open steps 1 to 12. False on any failure (the caller destroys the volume).
  bool Open(VolumeOpenParts parts);
  // The final write-back and release of everything Open set up.
  void Close();

  // ---- settings and state ----
  VolumeSettings& settings() { return settings_; }
  uint8_t read_only() const { return read_only_.load(); }
  void set_read_only_bits(uint8_t bits) { read_only_.fetch_or(bits); }
  void set_quick_close(bool on) { quick_close_ = on; }
  void set_keep_cache_files(bool on) { keep_cache_files_ = on; }
  void set_detach_callback(std::function<void()> cb) { detach_ = std::move(cb); }
  void set_notify_callback(std::function<void(const uint8_t*, size_t)> cb) { notify_ = std::move(cb); }
  // Told true when the volume enters busy and false when it leaves, once per
  // change (the service counts busy volumes; its busy event keeps the machine
  // awake through the notifier while work waits to be recorded).
  void set_busy_callback(std::function<void(bool)> cb) {
    std::lock_guard l(busy_mu_);
    busy_cb_ = std::move(cb);
  }
  // Stands in for the real event log in tests.
  void set_event_log(std::function<void(uint32_t)> log) { event_log_ = std::move(log); }
  int64_t split_setting() const { return split_.load(); }
  bool SetSplitSetting(int64_t value);
  int HasBusyOpenFiles();
  int ReleaseReadOnly(uint32_t selector);
  void SetPatternLists(std::u16string list1, std::u16string list2);
  void MarkOpenFilesForTrim();
  bool busy() const { return busy_; }
  const MachineIdentity& identity() const { return identity_; }

  IVolumeDiscs* discs() { return discs_; }
  // The root directory (the first entry of the directory table), null before Open.
  DirRef* root();

  // ---- the structure catalog (restore code sets it up) ----
  storage::CStructureDb* structure() { return structure_.get(); }
  void SetStructure(std::unique_ptr<storage::CStructureDb> db, uint32_t file_number);
  uint32_t structure_file() const { return structure_file_; }
  // Saves the structure catalog (a checkpoint; nothing while read-only).
  platform::Win32Error SaveStructure();
  void RequestCatalogSave() { save_requested_ = true; work_.Set(); }

  // ---- flush, archive and resume (volume_archive.cpp, volume_resume.cpp,
  //      volume_restore.cpp) ----
  // The catalog time stamp before it is known.
  static constexpr platform::FileTime kUnknownTime = ~0ULL;
  static constexpr uint32_t kArchiveWaitMs = 5000;
  static constexpr uint32_t kArchiveFailSleepMs = 1000;
  // The journal's size that starts a compaction (about 35,000 small files
  // written since the last one).
  static constexpr uint64_t kJournalCompactBytes = 16u << 20;
  // Records the structure catalog on the discs: 0 (also when nothing changed or
  // nothing may be written), 5 without a catalog, 641 or 1237 to be retried
  // later (no notification), else the error that stopped it (notification 0x51).
  Win32Error SaveCatalog();
  // The archive run: copies every catalog into the snapshot folders with a
  // snapshot resume file while holding the operation lock. 0, or -1 when it
  // failed or the lock could not be had within about 5000 ms.
  int RunArchive();
  // The live resume file at close. False (nothing left behind) on failure.
  bool WriteResumeFile();
  // Deletes the live resume file (once what it holds is safe elsewhere).
  void DropLiveResumeFile();
  // Writes the live resume file again while one read at the open is still in
  // use (until a snapshot, a full flush or the close replaces it).
  void RefreshLiveResume();
  // Both resume reads: queues the directories whose catalogs changed since
  // they were recorded (true when any was), and takes over the header's
  // catalog-changed and history flags.
  bool RequeueChangedDirectories();
  // Every restored file with content still to record is queued for a
  // write-back in close mode; true when any was.
  bool RequeueUnwrittenFiles();
  void ApplyResumeFlags(uint8_t flags);
  // Tells the open files of the disc closes since the last call, so that
  // closed files let the pieces of what the discs now keep go.
  void ReleaseRecordedPieces();
  // The discs may not keep what was recorded since the last disc close: the
  // open files record it again (at the next mount, through the resume file).
  void RecordAgainSinceLastClose();
  // Writes back every open file and directory, saves the structure catalog,
  // marks and closes the disc. False when any of it failed.
  bool WriteBackAll();
  // Closes the disc when closed files wait for it to be closed before they
  // can be evicted (the file limits are exceeded). A close costs the disc's
  // session close and a new mount of its file system, so while further files
  // wait to be recorded it waits until kEvictionCloseBatch files (or all that
  // the trim needs) can go at once; it closes anyway when the cached bytes
  // are over their limit or kEvictionCloseMaxMs passed since the last one.
  void CloseDiscForEviction();
  static constexpr size_t kEvictionCloseBatch = 64;
  static constexpr uint32_t kEvictionCloseMaxMs = 1000;
  // Whether an open file holds data not yet recorded onto the discs.
  bool HoldsUnwrittenFiles();
  // Resumes from the snapshot / the live resume file. False when the file is
  // absent or refused; a refused file is removed and the state left clean.
  bool ReadSnapshotResume(uint8_t disc, uint32_t number);
  bool ReadLiveResume(uint32_t number);
  // After a kill: the structure catalog and the folders' catalogs as the live
  // cache holds them, every cached folder catalog queued to be recorded again,
  // and every file object the journal names with its pieces. found/number:
  // the catalog search's result; the journal is not used when the discs name
  // a newer catalog that the cache does not hold (another computer's). False
  // (nothing restored) when there is no journal or it cannot be used.
  bool RecoverFromJournal(bool found, uint32_t number);
  // The file's newest state goes into the journal (a "gone" record once it
  // has nothing left to record). REQUIRES: no directory table lock held.
  void JournalFile(FileRef* ref);
  // The structure catalog's number goes into the journal.
  void JournalCatalog();
  // Starts the journal afresh: the cache maps' files are written, and the
  // journal holds the catalog number and the state of every file that still
  // needs one. False when any of it failed (a kill may then lose files).
  bool RestartJournal();
  // Writes the cache maps' files while the cache is in use and drops their
  // changes from the journal; false when a map could not be written.
  bool CheckpointMaps();
  std::filesystem::path JournalPath();
  // Flushes the journal to the disk (true also when no journal runs).
  bool SyncJournal() { return !journal_.started() || journal_.Sync(); }
  // The record the file needs in the journal (false: a "gone" record in *out).
  bool JournalRecordOf(FileRef* ref, JournalRecord* out);
  // Once the journal has grown past journal_compact_bytes, it is rewritten
  // with what a replay needs, after the cache maps' files are written (so
  // that their changes can go; when a map cannot be written its changes
  // stay). Run by the writer between its steps.
  void CompactJournal();
  void set_journal_compact_bytes(uint64_t bytes) { journal_compact_bytes_ = bytes; }
  // Writes everything out before a dismount (or, with quick close, gives
  // recording in progress back to the next mount). Always 0.
  int FlushAll();
  // Pieces of the restore: starting the cache afresh, the structure catalog
  // found on the discs or a new one, and the root directory.
  bool StartFresh();
  // Pins the structure catalog's cache file (fetching it from the discs) and
  // opens it; the history flag follows its "SaveHistory".
  Win32Error OpenStructureFile(uint32_t number);
  // The same for a catalog found on the discs, then the directory pack.
  Win32Error OpenFoundStructure(uint32_t number);
  Win32Error CreateStructure(uint32_t number);
  Win32Error LoadRoot();
  platform::FileTime catalog_time() const { return catalog_time_.load(); }
  void set_catalog_time(platform::FileTime t) { catalog_time_ = t; }
  // The disc that holds the newest recorded structure catalog (where a missing
  // cache copy is fetched from).
  void set_catalog_disc(uint8_t disc) { catalog_disc_ = disc; }
  void RaiseNextFileNumber(uint32_t n);
  uint32_t next_file_number() const { return next_file_.load(); }
  bool existing_catalog() const { return existing_catalog_.load(); }
  bool deferred_save() const { return deferred_save_.load(); }
  void set_flush_report(bool on) { flush_report_ = on; }
  // Where the random volume identifier comes from (tests take it away).
  void set_random_source(std::function<bool(uint32_t*)> source) { random_ = std::move(source); }

  // ---- directory pack and history-log prefetch (dir_pack.cpp, log_prefetch.cpp) ----
  static constexpr size_t kMaxPrefetchedLogs = 512;
  Win32Error WriteDirPack();
  Win32Error ReadDirPack();
  // The CK_LOG branch of PinCacheFile: brings history log (disc, file) into the
  // cache with the rest of its 256-number block. 0, or 2 when the disc lacks it.
  Win32Error FetchHistoryLog(uint8_t disc, uint32_t file);
  void DeletePendingLogs();
  size_t PrefetchedLogCount();

  // ---- tables ----
  // Adds an open directory (the volume owns it from now on) with one reference.
  DirRef* AddDirectory(std::unique_ptr<CDirObject> dir, DirRef* parent);
  // Adds an open file; free_file releases it when the volume drops the entry.
  FileRef* AddFile(IOpenFile* file, void* key, DirRef* parent);
  void ReleaseDirectory(DirRef* ref);  // drops a reference
  void ReleaseFile(FileRef* ref);
  void set_free_file(std::function<void(IOpenFile*)> f) { free_file_ = std::move(f); }
  size_t DirectoryCount();
  size_t FileCount();
  uint8_t DirectoryState(const CDirObject* dir);
  uint8_t FileState(const void* key);
  uint32_t FilesToWrite();
  size_t PinCount();
  void ActivityDone() { last_activity_ = clock_.NowMs(); }
  void BeginOperation();
  void EndOperation();
  // Wakes the writer when the last operation left, unless it waits for the
  // quiet time anyway.
  void WakeWriterAfterOperations();
  void BeginRead(bool uncached);
  void EndRead();
  void BeginWrite();
  void EndWrite();
  void AddDirectoryPrefetch(uint8_t disc, uint32_t file);
  int64_t cached_bytes() const { return cached_.load(); }
  int64_t pending_bytes() const { return pending_.load(); }
  int64_t metadata_bytes() const { return metadata_.load(); }
  int64_t TotalCapacity();
  int64_t FreeCapacity();

  // ---- the background writer ----
  void RunWriter();
  void StopWriter();
  bool writer_running() const { return worker_running_; }
  void SetSuspended(bool on);
  // Lets waiters give up (DiscEngineEvent 0) or wait again.
  void SetAbortWaits(bool on) { abort_waits_ = on; }

  // ======================================================================
  // Namespace and data operations (the host's file system events).
  //
  // Paths are relative to the volume root with "\" separators; one leading
  // backslash is removed first, so "" and "\" both name the root. Contexts are
  // the DirRef or FileRef that CreateEntry or OpenEntry returned; they stay
  // valid until the matching CloseEntry. Every operation returns 0 or a Win32
  // error and may run on many threads at once; each takes the operation lock
  // shared (the archive run and SetDeletedView take it exclusively), counts
  // itself among the active operations and sets the last activity tick.
  //
  // "Refuses changes" (the read-only test): the discs take no writes, or any
  // read-only bit is set, or the deleted-entry view is on. Operations that
  // change the namespace then return 19 (ERROR_WRITE_PROTECT) first.
  // ======================================================================

  // Capacity in 512-byte sectors: total = (total capacity - 64 MiB) / 512;
  // free = (free capacity - pending - metadata - 64 MiB) / 512, 0 when negative.
  Win32Error GetVolumeSize(uint64_t* total_sectors, uint64_t* free_sectors);
  // The "VolumeLabel" property (at most 32 characters); "" when absent; 5 when
  // it is not valid UTF-8.
  Win32Error GetVolumeLabel(std::u16string* label);
  // Stores the label as UTF-8 (at most 80 bytes, else 87); "" deletes it.
  // 112 when the catalog has no room to grow, 5 when the catalog refuses.
  // Not subject to the read-only test.
  Win32Error SetVolumeLabel(std::u16string_view label);
  // The "VolumeID" property; 0 when absent.
  Win32Error GetVolumeId(uint32_t* id);

  // Creates a file, a folder (attributes with FILE_ATTRIBUTE_DIRECTORY 0x10)
  // or a named stream ("file:stream"; a missing base file is created first)
  // and opens it: *context gets the new entry with one host open.
  // 19 refuses changes; 3 when a folder of the path is absent; 5 inside a
  // deleted folder; 183 when the name exists (a tombstone of the name is moved
  // aside, and a create that loses a race for the name also gets 183); 87 for
  // two colons, an empty stream name or a folder name with a colon; 3 for a
  // stream part longer than 249 characters; 112 when there is no room.
  Win32Error CreateEntry(std::u16string_view path, uint32_t attributes, EntryRef** context);
  // Opens an existing file (attributes without 0x10) or folder (with 0x10);
  // "" opens the root. A file opened with desired access exactly DELETE
  // (0x10000) must pass the deletion check (19 in the deleted-entry view for
  // names that may not be deleted there). 2 when the name is absent or a
  // tombstone outside the deleted-entry view, 3 for a missing folder or a file
  // opened as a folder, 5 for a folder opened as a file. An open
  // object is found again (same context) while it stays in the tables.
  Win32Error OpenEntry(std::u16string_view path, uint32_t desired_access, uint32_t attributes, EntryRef** context);
  // Ends one host open of the context (a folder's changes are queued; a file
  // object closes, queueing what it still has to record). 87 for an unknown
  // context.
  Win32Error CloseEntry(EntryRef* context);
  // Information about the entry at path. Never 2 or 3: a missing entry gives 0
  // with info->exists false. Attributes: tombstones (deleted-entry view only)
  // lose 0x80 and gain 0x4000001; offline entries (content or catalog neither in
  // the cache nor on the disc in the drive) lose 0x80 and gain 0x1000; on a
  // volume that refuses changes 0x80 goes and 0x1 comes.
  Win32Error GetEntryInfo(std::u16string_view path, EntryInfo* info);
  // The next entry of the folder `dir` whose name matches mask ("*" and "?"
  // wildcards; a mask without them names one entry, returned once). *listing
  // keeps the position between calls (created by the first call, reset when
  // the listing ends); restart starts again from the first entry. *found is
  // false at the end. Without a folder context nothing is found. 8 out of memory.
  Win32Error EnumerateEntries(EntryRef* dir, std::u16string_view mask, bool restart,
                              std::unique_ptr<CEntryListing>* listing, bool* found, ListedEntry* out);
  // Sets times (0 leaves a time alone) and attributes (0 leaves them alone;
  // 0x1000 is dropped, and what becomes 0 is stored as 0x80). 19 refuses
  // changes, 87 for an unknown context.
  Win32Error SetEntryInfo(EntryRef* context, int64_t creation_time, int64_t access_time, int64_t write_time,
                          uint32_t attributes);
  // Whether the entry at path may be deleted now (*may_delete). 19 refuses
  // changes, 3 for the root or a missing folder, 2 for a missing name.
  Win32Error CanDeleteEntry(std::u16string_view path, bool* may_delete);
  // Deletes the file, named stream or folder at path. A file keeps a tombstone
  // unless it holds no data while the empty-file flag is set or its name
  // matches pattern list 1. Waits up to 30 s (on the volume's clock) for other
  // holders of the entry to go; still held: 5 and nothing is deleted. A folder
  // that still holds entries: 145. 19 refuses changes, 3 for the root, 2 when
  // the name is absent.
  Win32Error DeleteEntry(std::u16string_view path);
  // Renames or moves a file or folder. A target that differs from the source
  // only in letter case is the source itself; an existing target file is
  // removed without a tombstone; an existing target folder gives 5. 19 refuses
  // changes, 87 for a colon in either path or a folder moved below itself,
  // 2 for a missing source.
  Win32Error RenameEntry(std::u16string_view old_path, std::u16string_view new_path);
  // Whether the folder (dir when given, else the one at path) holds no entry
  // (tombstones count only in the deleted-entry view). 3 for a missing folder.
  Win32Error IsDirectoryEmpty(std::u16string_view path, EntryRef* dir, bool* empty);
  // The next named stream of the file or folder `context`, as for
  // EnumerateEntries. 87 for an unknown context; no context: nothing found.
  Win32Error EnumerateStreams(EntryRef* context, std::unique_ptr<CEntryListing>* listing, bool* found,
                              ListedStream* out);
  // Turns the deleted-entry view on or off. Turning it on is refused (false)
  // while any file entry is held; tombstones of open folders are announced to
  // the host as added (on) or removed (off).
  bool SetDeletedView(bool on);
  bool deleted_view() const { return deleted_view_.load(); }

  // Reads from a file: *done bytes (fewer at the end of file). 87 for a
  // context that is not a file.
  Win32Error ReadEntry(EntryRef* context, int64_t offset, uint32_t length, void* buffer, uint32_t* done);
  // Writes to a file. 19 refuses changes, 87 not a file, 112 no room, 170 when
  // another file holds the single-writer gate for more than 1000 ms (notice 4).
  Win32Error WriteEntry(EntryRef* context, int64_t offset, uint32_t length, const void* buffer,
                        uint32_t* written);
  // Sets the allocation size / the end of file. 19 refuses changes, 87 not a file.
  Win32Error SetEntryAllocation(EntryRef* context, int64_t size);
  Win32Error SetEntryEnd(EntryRef* context, int64_t size);
  // A descriptor of the file was closed (the host's flush, which close()
  // waits for, unlike the release that follows): what a kill must not lose
  // goes into the journal. Anything but a file is ignored.
  void SettleEntry(EntryRef* context);
  // Closes the file's current data piece and leaves the single-writer gate.
  // Null context: 0 at once (the whole-volume flush is the worker's). 87 not a file.
  Win32Error FlushEntry(EntryRef* context);
  // Copies a recorded version of a file (disc and location as its history
  // records give them; bit 31 of location: an extent index) to destination,
  // which is created or replaced. Status 0 done, 4 bad location, 32 not found,
  // 48 no memory, 1 any other failure (the destination is then removed).
  uint32_t ExtractFileVersion(uint8_t disc, uint32_t location, int64_t size, const std::filesystem::path& destination);

  // Tells the host that path ("\folder\name") changed: code 1 added, 2 removed,
  // 4 changed. Set by the volume worker.
  void set_change_callback(std::function<void(std::u16string_view path, uint32_t code)> cb) {
    change_ = std::move(cb);
  }

  // ---- IFsVolume ----
  storage::IDiscRecorder* GetDiscEngine() override { return recorder_; }
  storage::CCacheStore* GetCacheStore() override { return cache_.get(); }
  unit::UnitController* GetUnitController() override { return controller_; }
  uint32_t NextFileNumber() override { return next_file_.fetch_add(1); }
  int SettleCatalogGrowth() override;
  int SettleDirectoryGrowth(CDirectoryDb* catalog) override;
  int MarkDirectoryDirty(CDirObject* dir, int write, int close) override;
  int MarkFileDirty(void* file_object, int write, int close) override;
  void CheckCachePressure() override;
  Win32Error CatalogAddEntry(std::u16string_view path, uint8_t disc, uint32_t file) override;
  Win32Error CatalogRelocate(uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file) override;
  Win32Error CatalogDeleteEntry(uint8_t disc, uint32_t file) override;
  Win32Error CatalogUndeleteEntry(uint8_t disc, uint32_t file) override;
  Win32Error CatalogRenameEntry(uint8_t disc, uint32_t file, std::u16string_view new_name) override;
  Win32Error CatalogRenameChild(uint8_t dir_disc, uint32_t dir_file, std::u16string_view old_name,
                                std::u16string_view new_name) override;
  Win32Error CatalogMoveEntry(uint8_t disc, uint32_t file, std::u16string_view new_path) override;
  size_t CatalogPathLength(const CDirObject* dir) override;
  size_t CatalogBuildPath(const CDirObject* dir, size_t capacity, char16_t* buffer) override;
  uint32_t DirectoryTableIndex(const CDirObject* dir) override;
  CDirectoryDb* DirectoryTableAt(uint32_t index) override;
  Win32Error PinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool retry) override;
  Win32Error CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, const void* owner,
                             std::filesystem::path* path) override;
  Win32Error PinCacheFileKeyed(CacheKind kind, uint8_t disc, uint32_t file, const void* key) override;
  Win32Error RenameCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint8_t new_disc, uint32_t new_file,
                             const void* owner) override;
  Win32Error UnpinCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner, bool keep) override;
  Win32Error UnpinAndDeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, const void* owner) override;
  uint32_t GetWriterPassCount() override { return passes_.load(); }
  void AddCachedBytes(int64_t delta) override;
  int WaitForCacheRoom() override;
  void WaitDirectoryEviction() override;
  void WaitWriterPriority() override;
  int MayWriterProceed() override;
  void BeginForegroundDisc() override { foreground_.fetch_add(1); }
  void EndForegroundDisc() override { foreground_.fetch_sub(1); }
  int AddPendingBytes(int64_t delta) override;
  int AddMetadataBytes(int64_t delta) override;
  int SyncCatalogGrowth() override;
  int SyncDirectoryGrowth(CDirectoryDb* catalog) override;
  int HasRoomFor(int64_t bytes) override;
  void CommitAfterDiscClose() override;
  void ReloadForDisc(uint8_t disc) override;
  uint64_t DiscCloses() override { return disc_closes_.load(); }
  void DiscEngineEvent(int code) override;
  Win32Error StampAndSaveCatalog() override;
  void FatalError(uint32_t event_id) override;
  void Notify(const uint8_t* message, size_t length) override;
  bool IsSingleWriter() override { return single_writer_.load(); }
  int64_t SingleFileLimit() override;
  bool SplitActive() override;
  int64_t GetSmallFileLimit() override { return settings_.small_file_limit; }
  uint8_t GetPatternFlag() override { return settings_.empty_file_flag; }
  bool MatchesPatternList1(std::u16string_view name) override;
  bool MatchesPatternList2(std::u16string_view name) override;
  int64_t CacheReserve() override { return settings_.cache_reserve_percent * settings_.cache_limit / 100; }
  uint8_t GetHistoryFlag() override { return settings_.history_flag; }
  uint32_t ReferenceOfCatalog(const CDirectoryDb* catalog) override;
  CDirectoryDb* CatalogOfReference(uint32_t reference) override;
  void ReportWriterBusy() override { Report(kNoticeWriterBusy, true); }
  void ReportWriteFailure(int kind) override;
  void ReportCacheShortage() override { Report(kNoticeCacheShortage, false); }
  void LockCatalogShared() override { catalog_lock_.ReadLock(); }
  void LockCatalogExclusive() override { catalog_lock_.WriteLock(); }
  void UnlockCatalogShared() override { catalog_lock_.ReadUnlock(); }
  void UnlockCatalogExclusive() override { catalog_lock_.WriteUnlock(); }
  void LockCatalog2Shared() override { catalog2_lock_.ReadLock(); }
  void UnlockCatalog2Shared() override { catalog2_lock_.ReadUnlock(); }
  int EnterCapacityGate() override { return EnterGate(1000); }
  int TryEnterCapacityGate() override { return EnterGate(0); }
  void LeaveCapacityGate() override;

  // ---- ICacheStoreOwner ----
  uint32_t NewFileNumber(CacheKind, uint8_t) override { return NextFileNumber(); }

  // The pattern matcher: semicolon-separated patterns, runs of semicolons skipped.
  static bool MatchesList(std::u16string_view list, std::u16string_view name);

 private:
  struct Pin {
    CacheKind kind;
    uint8_t disc;
    uint32_t file;
    const void* owner;
    int32_t count;
  };
  struct Prefetch {
    uint8_t disc;
    uint32_t file;
  };

  // ---- helpers of the namespace and data operations ----
  // Counts an operation among the active ones and holds the operation lock
  // shared for its length; at the end sets the activity tick and wakes the
  // writer when the last operation leaves.
  class OperationFrame {
   public:
    explicit OperationFrame(CFsVolume& v) : v_(v) {
      v_.active_ops_.fetch_add(1);
      v_.op_lock_.ReadLock();
    }
    ~OperationFrame() {
      v_.EndOperation();
      v_.op_lock_.ReadUnlock();
    }
    OperationFrame(const OperationFrame&) = delete;
    OperationFrame& operator=(const OperationFrame&) = delete;

   private:
    CFsVolume& v_;
  };
  bool RefusesChanges();
  platform::FileTime Now() { return clock_.Now(); }
  // The entry of the folder that holds path's last component, with one
  // reference; with link, that folder also learns its own row and parent.
  Win32Error ResolveParent(std::u16string_view path, bool link, DirRef** out);
  // The entry of the folder at dir_path (structure catalog), found or opened
  // by path, with one reference. 3 when unknown.
  Win32Error OpenDirectoryByPath(std::u16string_view dir_path, DirRef** out);
  // The entry of the folder `row` names in parent's catalog (full path
  // given), found or opened, with one reference. parent's reference is taken
  // over (kept as the entry's parent link or dropped).
  Win32Error OpenDirectoryRow(std::u16string_view full_path, const storage::DirEntryRecord& row, DirRef* parent,
                              DirRef** out);
  // Adds a folder object opened outside the locks, unless an entry with its
  // identity appeared meanwhile (then that one is used and dir is closed).
  Win32Error InsertDirectory(std::unique_ptr<CDirObject> dir, DirRef* parent, DirRef** out);
  // An entry with the identity, with a reference taken; waits while one is
  // being evicted or deleted. Null when none. Caller holds the catalog lock shared.
  DirRef* TakeDirRef(uint8_t disc, uint32_t file, bool* busy);
  // Sets ref's row and parent when it has none yet; false when it had one.
  bool LinkParent(DirRef* ref, const storage::DirEntryRecord& row, DirRef* parent);
  // The file entry for row (found again, or opened), with one reference;
  // parent's reference is taken over.
  Win32Error OpenFileRow(const storage::DirEntryRecord& row, DirRef* parent, bool host_open, FileRef** out);
  FileRef* TakeFileRef(uint64_t identity, bool* busy);
  FileRef* InsertFile(std::unique_ptr<COpenFileObject> object, DirRef* parent);
  // The deletion check of a file: *may_delete only when it may go now.
  Win32Error FileDeletionCheck(FileRef* ref, bool* may_delete);
  // Information of a row of `parent` (folder path dir_path).
  // open_files, when given, holds the entry of every file open when the row
  // was read, by identity: a file row whose identity is not there is shown
  // from the row without searching the open-file table.
  void RowInfo(std::u16string_view dir_path, const storage::DirEntryRecord& row, EntryInfo* info,
               const std::unordered_map<uint64_t, FileRef*>* open_files = nullptr);
  // The entries of the open-file table now, by their files' identities.
  std::unordered_map<uint64_t, FileRef*> OpenFileIdentities();
  // candidate with one more reference when it is still in the table with
  // that identity and may be used; else null.
  FileRef* TakeListedFileRef(FileRef* candidate, uint64_t identity);
  void TouchDirectory(DirRef* dir);
  // Takes an entry out of the writer's hands for deletion (queue state 255);
  // GiveBack returns it in its old state.
  uint8_t TakeFileForDeletion(FileRef* ref);
  void GiveFileBack(FileRef* ref, uint8_t old_state);
  uint8_t TakeDirForDeletion(DirRef* ref);
  void GiveDirBack(DirRef* ref, uint8_t old_state);
  // Waits until refs is at most 1 (30 s on the clock, polled every 100 ms).
  bool WaitSoleHolder(const std::atomic<int32_t>& refs);
  void MoveToNewest(DirRef* ref);
  void MoveToNewest(FileRef* ref);
  // Removes a file whose row is gone for good: its content is dropped.
  void DropDeletedFile(FileRef* ref);
  // Writes back and drops the unheld entries of base's named streams in
  // parent, so that no entry keeps a stream's old name once the base file is
  // renamed or deleted.
  void RetireIdleStreams(DirRef* parent, std::u16string_view base);
  void StartPrefetch(DirRef* ref);
  void AnnounceTombstones(bool added);
  // The file context, or null when context is not a file.
  static FileRef* AsFile(EntryRef* context) {
    return context != nullptr && context->kind == kRefFile ? static_cast<FileRef*>(context) : nullptr;
  }
  Win32Error ExtractFromDiscs(bool indexed, uint8_t disc, uint32_t file, int64_t size, platform::File& out);

  void Report(uint32_t code, bool with_code);
  void EnterBusy();
  void LeaveBusy();
  int CapacityAvailable(int64_t extra);
  int EnterGate(uint32_t timeout_ms);
  Win32Error FetchIntoCache(CacheKind kind, uint8_t disc, uint32_t file);
  Pin* FindPin(CacheKind kind, uint8_t disc, uint32_t file, const void* owner);
  static void AddAtomic(std::atomic<int64_t>& value, int64_t delta, bool clamp);
  DirRef* FindDirRef(const CDirObject* dir);
  DirRef* FindDirRefByCatalog(const CDirectoryDb* catalog);
  FileRef* FindFileRef(const void* key);
  bool FileLimitsExceeded();
  bool FileTrimReached();
  // Writer steps.
  // Where a trim's walk of the open-file table stands: the position the next
  // eviction walks on from (0 is the oldest), and how many entries out of
  // the dirty queue the walk passed before it.
  struct EvictionWalk {
    size_t from = 0;
    size_t unqueued_before = 0;
  };
  // One eviction, its walk going on where the last one of the same trim
  // stopped, since the entries before it were no candidates.
  bool EvictOneFile(bool write_dirty, EvictionWalk* walk);
  size_t EvictFiles(bool write_dirty);
  size_t EvictDirectories();
  bool WriteNextFile(bool states_2_3);
  bool WriteNextDirectory(bool any_state);
  bool PrefetchOne();
  void RemoveDirRef(DirRef* ref);
  void RemoveFileRef(FileRef* ref);
  bool InsideReadWindow();
  void FreeAllFiles();
  void FreeAllDirectories();
  void FreeFileObject(FileRef* ref);
  // Resume helpers (volume_resume.cpp).
  void OrderDirectoriesParentsFirst();
  void BuildReferenceTable();
  void FreeReferenceTable();
  void DropRestoredState();
  bool SortDirectoriesById();
  void DeleteLogCacheFile(uint8_t disc, uint32_t file);
  // The archive run through the owner's starter when one was given.
  int Archive();
  // Copies the current disc's directory catalogs the cache lacks.
  void FetchDiscCatalogs();

  unit::UnitController* controller_;
  platform::Clock& clock_;
  uint64_t version_;
  MachineIdentity identity_;
  VolumeSettings settings_;
  std::atomic<uint8_t> read_only_{0};

  IVolumeUnit* unit_ = nullptr;
  IVolumeDiscs* discs_ = nullptr;
  storage::IDiscRecorder* recorder_ = nullptr;
  IVolumeRestore* restore_ = nullptr;
  std::function<void()> run_archive_;
  std::unique_ptr<storage::CCacheStore> cache_;
  std::unique_ptr<storage::CStructureDb> structure_;
  uint32_t structure_file_ = 0;
  std::atomic<uint32_t> next_file_{0};
  std::function<void()> detach_;
  std::function<void(const uint8_t*, size_t)> notify_;
  std::function<void(uint32_t)> event_log_;
  std::function<void(IOpenFile*)> free_file_ = [](IOpenFile* f) { delete f; };

  // Settings that need care.
  std::atomic<int64_t> split_{0};
  std::atomic<bool> single_writer_{false};
  std::mutex pattern_mu_;
  std::u16string pattern1_, pattern2_;

  // Flags.
  std::atomic<bool> closing_{false};
  std::atomic<bool> closed_{false};
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> stop_worker_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<bool> abort_waits_{false};
  std::atomic<bool> keep_cache_files_{false};
  std::atomic<bool> quick_close_{false};
  std::atomic<bool> dir_eviction_running_{false};
  std::atomic<bool> save_requested_{false};
  std::atomic<bool> deferred_save_{false};
  std::atomic<bool> directory_written_{false};
  std::atomic<uint64_t> disc_closes_{0};       // CommitAfterDiscClose calls
  uint64_t eviction_close_tick_ = 0;           // the writer's last close for eviction
  std::atomic<uint64_t> released_closes_{0};   // disc_closes_ when the files last heard of it
  std::atomic<bool> live_resume_kept_{false};  // a live resume file read at the open still stands in for a snapshot
  CVolumeJournal journal_;
  std::atomic<uint64_t> journal_numbers_{1};
  std::atomic<uint64_t> journal_compact_bytes_{kJournalCompactBytes};
  std::atomic<uint8_t> reload_disc_{255};  // the disc the open folders were last read again for
  // The writer waits for the quiet time after the last activity (a timed wait).
  std::atomic<bool> writer_quiet_wait_{false};
  std::mutex busy_mu_;
  bool busy_ = false;
  std::function<void(bool)> busy_cb_;
  std::mutex priority_mu_;
  bool writer_priority_ = false;
  uint64_t priority_tick_ = 0;  // 0: not set

  // Counters and ticks (ms on the clock).
  std::atomic<uint64_t> last_activity_{0};
  std::atomic<uint64_t> last_uncached_read_{0};
  std::atomic<uint64_t> last_write_{0};
  std::atomic<int32_t> reads_{0}, writes_{0}, bg_writes_{0}, evictions_{0}, dir_writes_{0};
  std::atomic<int32_t> foreground_{0}, active_ops_{0}, cache_waiters_{0};
  std::atomic<uint32_t> passes_{0};
  std::atomic<uint32_t> unref_files_{0}, unref_dirs_{0};
  // The unreferenced counts the writer saw last (writer thread only).
  uint32_t seen_unref_files_ = 0, seen_unref_dirs_ = 0;
  std::atomic<int64_t> cached_{0}, pending_{0}, metadata_{0}, catalog_growth_{0};

  // Tables and queues.
  storage::CReentrantRwLock dir_lock_, file_lock_, catalog_lock_, catalog2_lock_, op_lock_;
  std::deque<std::unique_ptr<DirRef>> dirs_;
  std::deque<std::unique_ptr<FileRef>> files_;
  // The entries of files_, to tell whether one is still there without a walk.
  std::unordered_set<const FileRef*> file_set_;
  std::mutex dir_queue_mu_, file_queue_mu_;
  std::deque<DirRef*> dir_queue_;
  std::deque<FileRef*> file_queue_;
  uint32_t files_to_write_ = 0;  // entries in state 2 or 3; under file_queue_mu_
  std::mutex pin_mu_, pin_serial_mu_;
  std::vector<Pin> pins_;
  std::mutex prefetch_mu_;
  std::vector<Prefetch> prefetch_;
  std::vector<DirRef*> reference_table_;

  // The deleted-entry view (also in settings_.deleted_view for the control channel).
  std::atomic<bool> deleted_view_{false};
  std::function<void(std::u16string_view, uint32_t)> change_;
  // Serialises the parent links of table entries.
  std::mutex link_mu_;
  // Flush, archive and resume.
  std::atomic<platform::FileTime> catalog_time_{kUnknownTime};
  std::atomic<bool> existing_catalog_{false};
  std::atomic<uint8_t> catalog_disc_{255};
  std::atomic<bool> flush_report_{false};
  std::atomic<bool> stamp_pending_{false};
  std::atomic<bool> disc_changed_{false};
  std::atomic<bool> disc_refetch_{false};
  std::function<bool(uint32_t*)> random_;
  bool have_config_ = false;
  uint8_t config_history_ = 0;
  struct PrefetchedLog {
    uint8_t disc;
    uint32_t file;
  };
  std::mutex log_list_mu_;
  std::deque<PrefetchedLog> prefetched_logs_;  // newest first

  // Capacity gate and events.
  platform::Semaphore gate_;
  std::atomic<int32_t> gate_entrants_{0};
  platform::Event work_;
  platform::Event ack_;
};

}  // namespace kelva::volume
