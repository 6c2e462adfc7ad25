// CDirObject: one open directory below the volume.
//
// It holds the directory's own entry (its row in the parent's catalog), the
// directory's own catalog (a CDirectoryDb in the cache file of kind CK_DIR named
// by the current identity), a pointer to the parent's catalog (null for the
// root), the history log writer and the space accounted for the catalog. The
// volume's namespace operations call the operations below; the archive pipeline
// calls Flush to record the catalog onto a disc.
//
// The object reaches everything it shares through its IFsVolume: cache files,
// the disc I/O engine, the structure catalog, the dirty queues, the capacity
// accounting and the volume's locks. The catalog's cache file is pinned for the
// object's lifetime (owner: the object).
//
// Operations return 0 or a Win32 error code: 87 without the parent a change
// needs or for an entry that is not a directory, 5 for a deleted entry or a
// failed catalog operation, 8 when a target catalog refuses a moved entry, 112
// when the volume has no room, 775 when a history log is needed and the magazine
// takes no writes, 1237 when Flush had nothing to do.
//
// Thread safety: each catalog serialises itself; structure-catalog changes and
// re-keys run under the volume's namespace lock, parent-row updates under its
// entry lock; the accounted size changes only by atomic exchange. The volume
// keeps one thread at a time in the operations that change the entry itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/filetime.h"
#include "service/storage/catalog_directory.h"
#include "service/storage/catalog_records.h"
#include "service/storage/data_stream.h"
#include "service/storage/history_log.h"
#include "service/volume/fs_volume_iface.h"

namespace kelva::storage {

// Pending history bits, written by Flush in the order created, updated, renamed,
// moved, deleted.
inline constexpr uint8_t kPendingCreated = 1;
inline constexpr uint8_t kPendingUpdated = 2;
inline constexpr uint8_t kPendingDeleted = 4;
inline constexpr uint8_t kPendingRenamed = 8;
inline constexpr uint8_t kPendingMoved = 16;

// Results beyond the common codes.
inline constexpr Win32Error kErrorNotWritable = 775;     // a history log is needed, no writes taken
inline constexpr Win32Error kErrorVolumeClosing = 641;  // refused while the volume closes

// Notification codes sent after a recording attempt of a directory catalog.
inline constexpr uint8_t kNotifyDirectoryRecorded = 64;
inline constexpr uint8_t kNotifyDirectoryFailed = 65;

// A listing batch: records laid out one after another in a caller's buffer of
// kListingBufferSize bytes, each at an offset that is a multiple of 8:
//   0 type u8, 1 disk u8, 2 hdisk u8, 3 zero, 4 file u32, 8 hfile u32,
//   12 attr u32, 16 size i64, 24 alloc i64, 32 ctime i64, 40 atime i64,
//   48 mtime i64, 56 name: UTF-16 units and a terminating 0
// A record takes 56 + 2 * (name units + 1) bytes rounded up to a multiple of 8.
inline constexpr size_t kListingBufferSize = 72704;
// A batch ends when less than this remains: a record with a 255-unit name.
inline constexpr size_t kListingStopBytes = 568;

struct ListingBatch {
  int64_t next_index = 0;  // the index the next batch starts at
  uint32_t count = 0;      // records in the buffer
  size_t bytes = 0;        // bytes of the buffer in use
  bool end = false;        // the rows ended
};

// Encodes rec at out (ListingRecordSize(rec) bytes) / decodes the record at in,
// which must hold at least `available` bytes; false when it does not fit or its
// name has no terminator.
size_t ListingRecordSize(const DirEntryRecord& rec);
void EncodeListingRecord(const DirEntryRecord& rec, uint8_t* out);
bool DecodeListingRecord(const uint8_t* in, size_t available, DirEntryRecord* rec, size_t* consumed);

// The resume records of a directory object: a 19-byte block, a 6-byte block,
// then the packed entry.
struct DirResumeState {
  static constexpr size_t kMainSize = 19;
  static constexpr size_t kLogSize = 6;
  static constexpr uint8_t kEntryChanged = 0x01;
  static constexpr uint8_t kCatalogChanged = 0x02;
  static constexpr uint8_t kLogOpen = 0x01;
  static constexpr uint8_t kLogAppended = 0x02;

  uint8_t disc = 0;
  uint32_t file = 0;
  uint32_t parent_reference = 0;
  uint8_t flags = 0;
  int64_t accounted_size = 0;
  uint8_t pending = 0;
  uint8_t log_flags = 0;
  uint8_t log_disc = 0;
  uint32_t log_file = 0;
  DirEntryRecord entry;

  void SerializeMain(uint8_t* out) const;
  void SerializeLog(uint8_t* out) const;
  void ParseMain(const uint8_t* in);
  void ParseLog(const uint8_t* in);
  bool operator==(const DirResumeState&) const = default;
};

// Reads a directory's resume records from a stream. ERROR_HANDLE_EOF when the
// stream ends inside them, ERROR_INVALID_DATA for values no saved object can
// have (unknown flag or pending bits, a negative accounted size, an entry that is
// not a directory, an empty name for an object with a parent).
Win32Error ReadDirResumeState(IDataStream& stream, DirResumeState* out);
bool WriteDirResumeState(IDataStream& stream, const DirResumeState& state);

class CDirObject {
 public:
  explicit CDirObject(volume::IFsVolume* volume);
  // Closes the catalog and releases its pin if Close was not called.
  ~CDirObject();
  CDirObject(const CDirObject&) = delete;
  CDirObject& operator=(const CDirObject&) = delete;

  // Creates the volume's root directory on disc: a new CK_DIR catalog and the
  // root row of the structure catalog.
  Win32Error CreateRoot(uint8_t disc);
  // Creates a new directory under parent. path is its full path (the name is
  // the last component). On failure nothing is left behind: no cache file, no
  // parent row, no structure row.
  Win32Error Create(CDirectoryDb* parent, std::u16string_view path, uint32_t attributes, int64_t time);
  // Opens an existing directory from its entry. 87 unless the entry is a
  // directory with FILE_ATTRIBUTE_DIRECTORY.
  Win32Error Open(const DirEntryRecord& entry, CDirectoryDb* parent, uint8_t disc, uint32_t file);
  // Opens a directory known only by its path and identity (the root, resume).
  Win32Error OpenByPath(std::u16string_view path, uint8_t disc, uint32_t file);
  // Gives a directory opened by path its row in the parent and the parent's
  // catalog, once they are known. Nothing changes when it already has a parent.
  void AdoptEntry(const DirEntryRecord& row, CDirectoryDb* parent);
  // Queues pending work, closes the catalog and the log, frees the entry.
  Win32Error Close();

  // Looks name up in this directory's catalog. 2 when absent.
  Win32Error GetEntry(std::u16string_view name, DirEntryRecord* out);
  // The directory's entry with the opened identity in place of disk and file.
  Win32Error GetInfo(DirEntryRecord* out);
  // attributes 0 and null or -1 times leave a value alone; a last access time
  // is stored only together with another change.
  Win32Error SetInfo(uint32_t attributes, const int64_t* ctime, const int64_t* atime, const int64_t* mtime);
  Win32Error Delete();
  // Renames within the parent (same catalog) or moves to target_parent.
  Win32Error Rename(CDirectoryDb* target_parent, std::u16string_view new_path);
  // *answer 1 when the directory may be deleted now (space granted and the
  // parent's catalog may grow); left alone when already deleted.
  Win32Error CanDelete(int flag, int* answer);
  // Fills buffer (kListingBufferSize bytes) from row start_index on with the
  // rows that match pattern ("*" for all). Tombstones only with include_deleted.
  Win32Error ListEntries(std::u16string_view pattern, int64_t start_index, uint8_t* buffer, ListingBatch* batch,
                         bool include_deleted);
  // The same for the named streams of file_name (names from the colon on).
  Win32Error ListStreams(std::u16string_view file_name, int64_t start_index, uint8_t* buffer,
                         ListingBatch* batch, bool include_deleted);
  // Records the catalog when it changed, writes the pending history and updates
  // the parent's row. Without force and without pending history: 1237.
  Win32Error Flush(bool force);
  // Exports the history chain (see CHistoryLog::Export). 2 when the directory has
  // no history.
  Win32Error History(std::u16string_view target, const CHistoryLog::ReplyHeaderSender& reply,
                     const std::filesystem::path& run_dir = {});
  // Resume records. SaveState writes the 19-byte block, the 6-byte block and the
  // packed entry; LoadState reads them and opens the directory (its catalog and,
  // when one was open, its log). The parent's catalog comes from the volume's
  // reference table.
  Win32Error SaveState(IDataStream& stream);
  Win32Error LoadState(IDataStream& stream);

  // Marks a history log to be started (or opened) at the next Flush. 775 when
  // the magazine takes no writes.
  Win32Error PrepareLog();
  // True when history is kept and a log can be prepared.
  bool CanKeepHistory();

  // ---- for the volume ----
  CDirectoryDb* catalog() { return catalog_.get(); }
  CDirectoryDb* parent_catalog() const { return parent_; }
  const DirEntryRecord& entry() const { return entry_; }
  uint8_t current_disc() const { return disc_; }
  uint32_t current_file() const { return file_; }
  uint8_t opened_disc() const { return opened_disc_; }
  uint32_t opened_file() const { return opened_file_; }
  uint8_t pending_history() const { return pending_.load(); }
  bool entry_changed() const { return entry_changed_; }
  bool on_disc() const { return on_disc_; }
  CHistoryLog& history_log() { return log_; }
  // The accounted size: bytes of the catalog counted in the volume's metadata
  // bytes and not yet released. Exchange returns the old value.
  int64_t accounted_size() const { return accounted_.load(); }
  int64_t ExchangeAccountedSize(int64_t value) { return accounted_.exchange(value); }
  // The directory's full path from the structure catalog ("" when unknown).
  std::u16string FullPath() const;

 private:
  static void OnTombstoneRenamed(void* context, std::u16string_view old_name, std::u16string_view new_name,
                                 uint32_t attributes);
  Win32Error OpenCatalog(uint8_t disc, uint32_t file);
  void CloseCatalog(bool delete_file);
  Win32Error RecordCatalog();
  Win32Error WriteHistory();
  void ReleaseAccounted();
  void QueueParent();
  platform::FileTime Now();
  Win32Error ListRows(bool streams, std::u16string_view pattern_or_file, int64_t start_index, uint8_t* buffer,
                      ListingBatch* batch, bool include_deleted);

  volume::IFsVolume* volume_;
  CHistoryLog log_;
  DirEntryRecord entry_;
  bool have_entry_ = false;
  CDirectoryDb* parent_ = nullptr;
  uint8_t opened_disc_ = 0;
  uint32_t opened_file_ = 0;
  uint8_t disc_ = 0;
  uint32_t file_ = 0;
  std::unique_ptr<CDirectoryDb> catalog_;
  bool pinned_ = false;
  std::atomic<uint8_t> pending_{0};
  bool log_prepared_ = false;
  uint8_t saved_disc_ = 0;
  uint32_t saved_file_ = 0;
  int64_t saved_ctime_ = 0;
  std::u16string saved_path_;
  bool entry_changed_ = false;
  bool on_disc_ = false;
  std::atomic<int64_t> accounted_{0};
  // When the events behind pending records happened.
  platform::FileTime renamed_at_ = 0;
  platform::FileTime moved_at_ = 0;
  platform::FileTime deleted_at_ = 0;
  std::u16string moved_path_;
};

}  // namespace kelva::storage
