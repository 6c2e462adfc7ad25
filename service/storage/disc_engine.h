// CDiscEngine: all traffic between one volume's cache and the magazine's discs.
// Every operation becomes a request on a queue that one worker thread runs, so
// unit commands never overlap and any operation may first load a disc: fetching
// a disc file into the cache, recording a cache file or a stream onto the
// current disc, reading file content from a disc, changing to the next disc,
// preparing and closing a disc. A watchdog thread times every unit command the
// worker issues; a command that outlives its limit fails the engine for good
// (every request then answers 31).
//
// Results are 0 or a Win32 error code: 19 the engine cannot write, 29 short
// write, 30 short read, 31 the engine has failed, 112 the disc is full (the
// caller asks ChangeDisc(CurrentDisc() + 1) and retries), 1237 never reaches a
// submitter (the worker closes the disc and runs the request again).
//
// Thread safety: every public method may be called from any thread. Each
// request method blocks until the worker has run it and takes the I/O lock
// for that time unless the calling thread owns it already; a caller that must
// keep several requests together (a file read range by range, a block listing
// followed by fetches) holds the lock itself with LockIo/UnlockIo. Request
// methods must not be called from the host callbacks (they run on the worker).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filetime.h"
#include "platform/sync.h"
#include "service/storage/cache_store.h"
#include "service/storage/disc_engine_host.h"

namespace kelva::unit {
class UnitController;
class VolumeFile;
}  // namespace kelva::unit

namespace kelva::storage {

// The request types, in the numbering the engine's callers and logs use.
enum class DiscRequestType : uint8_t {
  kShutdown = 0,
  kCloseDataFile = 1,
  kFetchFile = 2,
  kRecordCacheFile = 3,
  kRecordLogHead = 4,
  kBeginDataFile = 5,
  kOpenDiscFile = 6,
  kReadData = 7,
  kWriteData = 8,
  kSetDataLength = 9,
  kCloseDisc = 10,
  kPrepareDisc = 11,
  kRefreshDiscState = 12,
  kLookupDiscFile = 13,
  kChangeDisc = 14,
  kListDisc = 15,
};

// What the watchdog tells apart: the kind of unit work a command belongs to.
enum class DiscOperation : uint8_t { kOpen = 0, kCreate = 1, kClose = 2, kCloseSession = 3, kSynchronize = 4 };

// Event-log status of a command that outlived its limit, by operation:
// 0xC0000065, 0xC0000064, 0xC0000066, 0xC0000067, 0xC0000068.
uint32_t DiscTimeoutStatus(DiscOperation op);
// The event-log text of such a status ("" for any other value).
std::string_view DiscTimeoutText(uint32_t status);

// A file found on a disc (LookupDiscFile).
struct DiscFileInfo {
  uint32_t attributes = 0;
  platform::FileTime creation = 0;
  platform::FileTime last_access = 0;
  platform::FileTime last_write = 0;
  uint64_t size = 0;
};

// The current disc's state as last read from the unit.
struct DiscState {
  uint64_t total_bytes = 0;  // usable capacity
  uint64_t free_bytes = 0;   // free space above the 64 MiB reserve
  bool known = false;
};

// RecordCacheFile: what to record and where it came from.
struct RecordSource {
  CacheKind kind = CK_DB;
  uint8_t disc = 0;           // the source's disc (255 for CK_DB)
  uint32_t file = 0;          // the source's file number in the cache
  uint32_t wanted = 0;        // the number wanted on the disc
  bool existing_catalog = false;  // a catalog already on the discs: never overwrite it
  std::filesystem::path path;     // empty: the cache file of (kind, disc, file)
};

// Where a recording landed.
struct RecordAnswer {
  uint8_t disc = 0;    // the current disc at the time
  uint32_t file = 0;   // the number used on the disc
  uint64_t bytes = 0;  // bytes copied
};

struct DiscEngineOptions {
  platform::Clock* clock = nullptr;  // nullptr: the controller's clock
  uint8_t highest_disc = 11;         // the magazine's last disc
  // Writes one error entry to the event log; empty: platform::ReportEvent.
  std::function<void(uint32_t status, std::string_view text)> event_log;
  // Watchdog limits (the defaults are the unit's; tests keep them).
  uint32_t command_limit_ms = 180000;
  uint32_t close_limit_ms = 600000;  // closing a session, synchronising
  uint32_t slice_ms = 30000;         // a busy notice after each slice
};

class CDiscEngine {
 public:
  static constexpr uint32_t kCopyBlock = 65536;   // disc reads and writes
  static constexpr uint32_t kLogHeadBytes = 65536;
  static constexpr uint32_t kBlockNumbers = 256;  // files per block of the look-ahead
  static constexpr uint32_t kSlowOpenMs = 20;
  static constexpr uint32_t kRecordRetries = 80;  // numbers tried while the name is taken
  static constexpr uint32_t kBusyNotice = 21;     // condition while a command takes long

  // None owned; all must outlive the engine. REQUIRES: host, cache and unit
  // are not null.
  CDiscEngine(IDiscEngineHost* host, CCacheStore* cache, unit::UnitController* unit,
              DiscEngineOptions options = {});
  ~CDiscEngine();  // Shutdown()
  CDiscEngine(const CDiscEngine&) = delete;
  CDiscEngine& operator=(const CDiscEngine&) = delete;

  // Takes current_disc as the disc being written, the "CLEAN" marker of the
  // disc in the drive as the prepared flag, reads the disc state and starts the
  // worker and the watchdog. 0, or ERROR_ALREADY_EXISTS when started already.
  platform::Win32Error Start(uint8_t current_disc);
  // Stops the worker (closing the disc file in progress) and the watchdog.
  // Idempotent; after a failure it does not wait for a command that hangs
  // longer than the owner allows: the worker is joined when it returns.
  void Shutdown();

  // ---- the I/O lock ----
  void LockIo();
  // Five attempts 100 ms apart; false when the lock stays taken.
  bool TryLockIo();
  void UnlockIo();
  bool OwnsIo() const;

  // ---- requests (each blocks until the worker ran it) ----
  platform::Win32Error CloseDataFile();
  // Copies disc file (kind, disc, file) into a new cache file of the same
  // identity (fails with 80 when it exists), or into target when given
  // (replaced). A failure other than 80 leaves no partial file behind.
  platform::Win32Error FetchFile(CacheKind kind, uint8_t disc, uint32_t file,
                                 const std::filesystem::path& target = {});
  platform::Win32Error RecordCacheFile(const RecordSource& source, RecordAnswer* answer);
  // Records the first 65536 bytes of history log segment (disc, file) under its
  // own number on the current disc (a new number when it is taken).
  platform::Win32Error RecordLogHead(uint8_t disc, uint32_t file, RecordAnswer* answer);
  // Opens (create false) or creates (create true, failing with 80 when it
  // exists) the disc file (kind, file) on the current disc for writing, and
  // keeps it as the disc file in progress, positioned at its end. Disc 255
  // with CK_DIR names the directory pack.
  platform::Win32Error BeginDataFile(CacheKind kind, uint8_t naming_disc, uint32_t file, bool create);
  // Loads disc (the current disc when 255) and keeps the named file open.
  platform::Win32Error OpenDiscFile(CacheKind kind, uint8_t disc, uint32_t file, bool for_writing);
  // Reads count bytes at offset of disc file (kind, disc, file); *done gets the
  // count read (short at the end of the file).
  platform::Win32Error ReadData(CacheKind kind, uint8_t disc, uint32_t file, uint64_t offset,
                                void* buffer, uint32_t count, uint32_t* done);
  // Writes to the disc file in progress at its position (6 when none is open).
  platform::Win32Error WriteData(const void* data, uint32_t count, uint32_t* done);
  // Cuts back or extends (with zeros) the disc file in progress; the position
  // moves to the new end.
  platform::Win32Error SetDataLength(uint64_t length);
  platform::Win32Error CloseDisc();
  platform::Win32Error PrepareDisc();
  platform::Win32Error RefreshDiscState();
  // 5 when the file is not on the disc.
  platform::Win32Error LookupDiscFile(CacheKind kind, uint8_t disc, uint32_t file, DiscFileInfo* out);
  // Makes disc the current disc. False at once, without a unit command, beyond
  // the highest disc; true at once when disc is not above the current one.
  bool ChangeDisc(uint8_t disc);
  // Calls found(file number) for every file of kind on disc that lies in the
  // 256-number block of file.
  platform::Win32Error ListDisc(CacheKind kind, uint8_t disc, uint32_t file,
                                const std::function<void(uint32_t)>& found);
  // Records everything read from source onto a new disc file (kind, file) on
  // the current disc (80 when it exists); answers the byte count.
  platform::Win32Error RecordStream(CacheKind kind, uint32_t file, platform::File& source, uint64_t* bytes);

  // ---- state ----
  // The disc being written; a ChangeDisc in the queue counts.
  uint8_t CurrentDisc();
  // Sets the disc being written (the catalog search found the newest one).
  void SetCurrentDisc(uint8_t disc);
  uint8_t HighestDisc() const { return highest_disc_; }
  uint8_t LoadedDisc() const { return loaded_disc_.load(); }
  DiscState State();
  bool Failed() const { return failed_.load(); }
  // No further disc: requests that write answer 112.
  bool NoFurtherDisc() const { return no_further_disc_.load(); }
  // The current disc takes no further writes (19).
  void MarkDiscUnusable();
  bool Prepared() const { return clean_.load(); }
  // The relative name on a disc of (kind, disc, file), "\" separated.
  static std::u16string DiscFileName(CacheKind kind, uint8_t disc, uint32_t file);
  // Blocks remembered as slow to open (for diagnostics and tests).
  size_t SlowBlockCount();

 private:
  struct Request;
  class CommandScope;

  platform::Win32Error Submit(Request& r);
  void WorkerLoop();
  void WatchdogLoop();
  void Run(Request& r);
  void FailPending();

  // Work of the request types (on the worker).
  platform::Win32Error DoFetch(Request& r);
  platform::Win32Error DoRecord(Request& r, uint64_t limit);
  platform::Win32Error DoBegin(Request& r);
  platform::Win32Error DoOpen(Request& r);
  platform::Win32Error DoRead(Request& r);
  platform::Win32Error DoWrite(Request& r);
  platform::Win32Error DoSetLength(Request& r);
  platform::Win32Error DoCloseDisc();
  platform::Win32Error DoPrepare();
  platform::Win32Error DoRefresh();
  platform::Win32Error DoLookup(Request& r);
  platform::Win32Error DoChange(Request& r);
  platform::Win32Error DoList(Request& r);
  platform::Win32Error DoRecordStream(Request& r);

  // Helpers (on the worker).
  platform::Win32Error LoadDisc(uint8_t disc);
  void LookAhead(CacheKind kind, uint8_t disc, uint32_t file);
  platform::Win32Error OpenTimed(const std::u16string& name, bool for_writing,
                                 std::unique_ptr<unit::VolumeFile>* out, CacheKind kind, uint8_t disc,
                                 uint32_t file);
  platform::Win32Error CopyOntoDisc(platform::File& source, unit::VolumeFile* target, uint64_t limit,
                                    uint64_t* bytes);
  platform::Win32Error CheckWritable();
  platform::Win32Error PassBackWriteError(platform::Win32Error e);
  void CloseInProgress();
  void ReadDiscState();
  void CheckResources();
  platform::Win32Error EnumerateBlock(uint32_t file, const std::u16string& pattern,
                                      const std::function<void(const std::u16string&)>& found);
  bool Recordable() const;

  // Watchdog brackets around one unit command.
  void CommandStart(DiscOperation op);
  void CommandFinish();

  IDiscEngineHost* host_;
  CCacheStore* cache_;
  unit::UnitController* unit_;
  DiscEngineOptions options_;
  platform::Clock& clock_;
  const uint8_t highest_disc_;

  // Queue.
  std::mutex queue_mu_;
  std::deque<Request*> queue_;
  platform::Event work_;
  platform::Event idle_;
  Request* current_ = nullptr;  // guarded by queue_mu_
  uint32_t queued_changes_ = 0;  // ChangeDisc requests waiting; guarded by queue_mu_
  uint8_t queued_change_to_ = 0;

  // I/O lock with its owner.
  platform::CriticalSection io_lock_;
  std::atomic<std::thread::id> io_owner_{};
  uint32_t io_depth_ = 0;  // touched by the owner only

  // Watchdog.
  platform::Semaphore start_sem_;
  platform::Semaphore finish_sem_;
  uint8_t ring_[8] = {};
  std::atomic<uint32_t> ring_put_{0};
  uint32_t ring_take_ = 0;
  std::atomic<bool> stop_{false};

  // Disc state (worker; the atomics are read by any thread).
  std::atomic<uint8_t> current_disc_{0};
  std::atomic<uint8_t> loaded_disc_{0xFF};
  std::atomic<bool> clean_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> no_further_disc_{false};
  std::atomic<bool> unusable_{false};
  std::atomic<bool> written_{false};
  std::atomic<bool> nearly_exhausted_{false};
  std::mutex state_mu_;
  DiscState state_;

  // The disc file in progress (worker only).
  std::unique_ptr<unit::VolumeFile> in_progress_;
  CacheKind ip_kind_ = CK_DAT;
  uint8_t ip_disc_ = 0;
  uint32_t ip_file_ = 0;
  bool ip_write_ = false;
  uint64_t ip_position_ = 0;

  // Slow blocks: block base (file & ~0xFF) by disc and kind, with the fetches seen.
  std::mutex slow_mu_;
  struct SlowBlock {
    uint8_t disc;
    CacheKind kind;
    uint32_t base;
    uint32_t fetches;
  };
  std::deque<SlowBlock> slow_;

  std::thread worker_;
  std::thread watchdog_;
  std::atomic<bool> started_{false};
};

}  // namespace kelva::storage
