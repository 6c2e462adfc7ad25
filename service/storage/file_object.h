// CFileObject: one open file (or named stream) below the volume.
//
// A file's content lives in two places. On the discs it is either one disc file
// named by the entry's identity (entry kind 0) or, once it is spread over
// several disc files, an extent index (entry kind 3, a CK_IND catalog named by
// the entry's identity) mapping byte ranges to disc files. In the cache it is
// held by data pieces: CK_DAT cache files named by the entry's identity and a
// piece number, each at most 8 MiB. The segment list says which range of the
// file each piece holds; a range held by a segment is newer than the discs.
//
// Writes go into pieces only; recording (Record, run by the background writer)
// copies changed segments onto the discs and may turn a kind-0 file into kind 3.
//
// Operations return 0 or a Win32 error code: 87 without an entry, 5 for a
// deleted entry or a failed catalog or cache operation, 8 when a segment cannot
// be kept, 29 when the cache has no room, 30 when a disc read produced nothing,
// 50 when a new file announced beyond what fits on the disc in single-writer
// mode, 112 when the volume or the discs have no room, 170 when another file
// holds the capacity gate, 1237 when a busy segment stayed busy.
//
// Thread safety: readers and writers may run on several threads at once. The
// object lock guards the segment list, the entry's type and identity and the
// sizes; it is never held across a disc read or a piece write. A segment whose
// piece is being written is marked busy so that its writer works without the
// lock; others wait for it. Recording is serialised by a second lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"
#include "platform/filetime.h"
#include "service/storage/catalog_directory.h"
#include "service/storage/catalog_extent.h"
#include "service/storage/catalog_records.h"
#include "service/storage/data_stream.h"
#include "service/storage/dir_object.h"
#include "service/storage/history_log.h"
#include "service/volume/fs_volume_iface.h"

namespace kelva::storage {

inline constexpr uint8_t ENTRY_KIND_EXTENTS = 3;

inline constexpr int64_t kPieceBytes = 8388608;   // most content one data piece holds
inline constexpr int64_t kWindowBytes = 1048576;  // the read-modify-write window
inline constexpr int64_t kSectorBytes = 2048;
inline constexpr uint32_t kBusyWaitMs = 180000;
inline constexpr int kPieceNumberSkips = 1024;

// One range of the file held by a data piece.
struct FileSegment {
  static constexpr uint8_t kRecorded = 0;
  static constexpr uint8_t kChanged = 1;
  static constexpr uint8_t kRecording = 2;

  uint8_t state = kChanged;
  uint8_t busy = 0;
  uint8_t disc = 0;
  uint32_t file = 0;
  uint32_t piece = 0;
  int64_t start = 0;
  uint32_t piece_offset = 0;
  uint32_t length = 0;

  int64_t end() const { return start + length; }
  bool operator==(const FileSegment&) const = default;
};

// Where the recording of a file stands.
struct FileRecordingState {
  int64_t recorded_length = 0;  // content recorded so far
  uint32_t value_a = 0;         // values kept for the archive pipeline
  uint8_t value_b = 0;
  uint8_t disc = 0;             // disc file being written
  uint32_t file = 0;
  int64_t start = 0;            // file offset the disc file's content starts at
  int64_t position = 0;         // recorded position
  int64_t in_disc_file = 0;     // bytes written into the current disc file
  uint8_t value_c = 0;
  bool operator==(const FileRecordingState&) const = default;
};

// The resume records of a file object: a 78-byte block, 26 bytes per segment,
// the byte 255, a 6-byte history block and the packed entry.
struct FileResumeState {
  static constexpr size_t kMainSize = 78;
  static constexpr size_t kSegmentSize = 26;
  static constexpr size_t kLogSize = 6;
  static constexpr uint8_t kEndOfSegments = 255;
  // Flag bits of byte 47.
  static constexpr uint8_t kContentChanged = 0x01;
  static constexpr uint8_t kNewFile = 0x02;
  static constexpr uint8_t kRecordingStarted = 0x04;
  static constexpr uint8_t kIndexCreated = 0x08;
  static constexpr uint8_t kNeedsRecording = 0x10;
  static constexpr uint8_t kIndexChanged = 0x20;
  // Most segments a saved object may list (a 2 TiB file in full pieces).
  static constexpr size_t kMaxSegments = 262144;

  uint8_t type = 0;
  uint8_t disc = 0;
  uint32_t file = 0;
  uint32_t parent_reference = 0;
  int64_t piece_bytes = 0;
  int64_t end_of_file = 0;
  int64_t accounted_size = 0;
  FileRecordingState recording;
  uint8_t flags = 0;
  std::vector<FileSegment> segments;
  uint8_t log_flags = 0;
  uint8_t log_disc = kNoHistoryDisk;
  uint32_t log_file = kNoHistoryFile;
  DirEntryRecord entry;

  void SerializeMain(uint8_t* out) const;
  void ParseMain(const uint8_t* in);
  static void SerializeSegment(const FileSegment& s, uint8_t* out);
  static FileSegment ParseSegment(const uint8_t* in);
  bool operator==(const FileResumeState&) const = default;
};

// ERROR_HANDLE_EOF when the stream ends inside the records, ERROR_INVALID_DATA
// for values no saved object has (unknown flags, negative sizes, a segment
// beyond a piece or overlapping the one before, a directory entry).
Win32Error ReadFileResumeState(IDataStream& stream, FileResumeState* out);
bool WriteFileResumeState(IDataStream& stream, const FileResumeState& state);

class CFileObject {
 public:
  explicit CFileObject(volume::IFsVolume* volume);
  // Releases pins, the capacity gate and the extent index if Close was not called.
  ~CFileObject();
  CFileObject(const CFileObject&) = delete;
  CFileObject& operator=(const CFileObject&) = delete;

  // A new empty file (or named stream) in parent; the name is path's last
  // component. 112 when the parent's catalog may not grow, 5 when it refuses
  // the row.
  Win32Error Create(CDirectoryDb* parent, std::u16string_view path, uint32_t attributes, int64_t time,
                    bool is_stream);
  // Opens an existing file from its entry (kind 0 or 3).
  Win32Error Open(const DirEntryRecord& entry, CDirectoryDb* parent);
  // Queues what is still to record, leaves the capacity gate, closes the piece.
  // The object lives on while it holds unrecorded segments.
  Win32Error Close();
  // The file is opened again while the object still lives (it held unrecorded
  // segments).
  Win32Error Reopen();

  Win32Error Read(int64_t offset, uint32_t length, void* buffer, uint32_t* done);
  Win32Error Write(int64_t offset, uint32_t length, const void* buffer, uint32_t* written);
  Win32Error SetEndOfFile(int64_t size);
  Win32Error SetAllocation(int64_t size);
  // Ends a burst of writes: the current data piece is synced and closed and
  // the capacity gate left if the object holds it. The sync's error (112
  // when the computer's disk is full) is returned.
  Win32Error FlushPiece();

  // As for directories, on the file's row in its parent.
  Win32Error GetInfo(DirEntryRecord* out);
  Win32Error SetInfo(uint32_t attributes, const int64_t* ctime, const int64_t* atime, const int64_t* mtime);
  // Marks the entry deleted in its parent (a tombstone), or with remove takes
  // the row out altogether. A named stream deletes only its own row.
  Win32Error Delete(bool remove = false);
  Win32Error Rename(CDirectoryDb* target_parent, std::u16string_view new_path);
  // Drops every data piece the object still holds, recorded or not, and gives
  // their bytes back to the volume's accounting: for a file whose content is
  // no longer wanted (deleted, or replaced by a rename onto its name).
  void DiscardContent();
  // Exports the file's history chain. 2 when the file has none.
  Win32Error History(std::u16string_view target, const CHistoryLog::ReplyHeaderSender& reply,
                     const std::filesystem::path& run_dir = {});

  // Records the changed segments onto the discs and writes the entry back into
  // the parent's catalog. 1237 when nothing was to record.
  Win32Error Record();

  Win32Error SaveState(IDataStream& stream);
  Win32Error LoadState(IDataStream& stream);

  // Set by the host binding for files closed after being opened for writing:
  // the allocation beyond the size is given back at close.
  void SetTrimAtClose(bool on) { trim_at_close_ = on; }

  // ---- for the volume and the tests ----
  // The entry's type (kind and stream bit), disc and file as the parent's row
  // names them, packed as type << 40 | disc << 32 | file: a recording that
  // moves the file to another disc or to an extent index changes it when it
  // writes the row, so that an open by name finds this object meanwhile.
  // Readable without the object lock, so that the volume can compare it while
  // it holds its table locks.
  uint64_t identity() const { return identity_.load(); }
  static uint64_t PackIdentity(uint8_t type, uint8_t disc, uint32_t file) {
    return uint64_t{static_cast<uint8_t>(type & (ENTRY_KIND_MASK | ENTRY_STREAM))} << 40 | uint64_t{disc} << 32 | file;
  }
  // True when reads need no disc: the cached segments hold the whole content.
  bool FullyCached() const;
  DirEntryRecord entry() const;
  int64_t end_of_file() const;
  int64_t accounted_size() const { return accounted_.load(); }
  std::vector<FileSegment> Segments() const;
  bool content_changed() const { return content_changed_.load(); }
  // True while content recorded by this object waits for its disc to be
  // closed: until then the discs may not keep it, and its pieces stay.
  bool AwaitsDiscClose() const;
  // closes discs have been closed so far (IFsVolume::DiscCloses): once one
  // was closed after the last recording, a closed file lets the pieces of its
  // recorded content go.
  void DiscClosed(uint64_t closes);
  // The discs may not have kept what was recorded since the last disc close
  // (the unit went away before it was closed): that content is recorded again.
  void RecordAgain();
  bool holds_gate() const { return holds_gate_; }
  uint8_t pending_history() const { return pending_history_.load(); }
  CDirectoryDb* parent_catalog() const { return parent_; }
  // After LoadState from a record that names its parent otherwise than by a
  // reference number: the catalog of the folder the file is in.
  void AttachParent(CDirectoryDb* parent);
  // After LoadState from a record written before a kill: segments whose piece
  // is gone are forgotten (their content is read from the discs again), and
  // recorded ones are recorded again, since their disc may not have been
  // closed since. Returns how many segments went.
  size_t ResumeAfterInterruption();
  // The identity an open by name finds the object by: what the parent's row
  // names, else the given one.
  uint64_t IdentityInRow(CDirectoryDb* parent, const std::u16string& name, uint8_t type, uint8_t disc, uint32_t file);
  const FileRecordingState& recording_state() const { return recording_; }

 private:
  using SegmentList = std::list<FileSegment>;

  // Reads [pos, pos + n) from the segments, the pieces or the discs.
  Win32Error ReadRange(int64_t pos, uint32_t n, uint8_t* out);
  Win32Error ReadPiece(const FileSegment& s, int64_t pos, uint32_t n, uint8_t* out);
  Win32Error ReadDiscs(int64_t pos, uint32_t n, uint8_t* out);
  Win32Error OpenIndex();
  void CloseIndex();

  // One chunk of a write (step 9): *done bytes at p; 0 done means try again.
  Win32Error WriteChunk(int64_t p, uint32_t n, const uint8_t* data, uint32_t* done);
  Win32Error PieceWrite(int64_t p, uint32_t n, const uint8_t* data, uint32_t* done);
  // Writes into a changed segment's piece (lock held on entry and exit; dropped
  // meanwhile while the segment is marked busy).
  Win32Error WriteInSegment(std::unique_lock<std::mutex>& lock, SegmentList::iterator it, int64_t p, uint32_t n,
                            const uint8_t* data, uint32_t* done);
  Win32Error NewPiece(int64_t start, uint32_t n, const uint8_t* data);
  // Waits until the segment is no longer busy; the iterator may be stale after.
  Win32Error WaitNotBusy(std::unique_lock<std::mutex>& lock, SegmentList::iterator it);
  Win32Error OpenPiece(const FileSegment& s, platform::File** out, platform::File* scratch);
  void ClosePiece();
  // Inserts s in start order, cutting older segments it covers (lock held).
  void InsertSegment(std::unique_lock<std::mutex>& lock, const FileSegment& s);
  // Deletes pieces no segment uses any more (lock held).
  void DropUnusedPieces(const std::vector<FileSegment>& cut);
  // Drops recorded segments and their pieces (lock held).
  void DropRecordedSegments();
  // Drops the content beyond size (lock held).
  void Truncate(std::unique_lock<std::mutex>& lock, int64_t size);
  // New end of file: the accounted size follows (lock held).
  void MoveEndOfFile(int64_t end);
  void Reaccount();
  Win32Error RecordSegment(const FileSegment& s);
  // Takes what lies past the smallest size the file was cut to since the last
  // recording off the discs (extents removed, or the disc file shortened).
  Win32Error CutRecordedContent();
  // Records the extent index onto the current disc (the next disc when that
  // one is full); the entry takes the identity the copy got there.
  Win32Error RecordIndex();
  Win32Error ConvertToIndex();
  Win32Error WriteRun(const FileSegment& s, int64_t from, int64_t count, int64_t* written);
  Win32Error UpdateRow();
  platform::FileTime Now();
  void PublishIdentity() { identity_.store(PackIdentity(entry_.type, entry_.disk, entry_.file)); }

  volume::IFsVolume* volume_;
  CHistoryLog log_;
  std::atomic<uint64_t> identity_{0};
  mutable std::mutex mu_;
  std::condition_variable busy_cv_;
  std::condition_variable record_cv_;
  // Writers and size changes of this object run one at a time; readers do not
  // take it.
  std::mutex write_mu_;
  std::mutex record_mu_;

  DirEntryRecord entry_;
  bool have_entry_ = false;
  CDirectoryDb* parent_ = nullptr;
  uint8_t opened_disc_ = 0;
  uint32_t opened_file_ = 0;
  int64_t eof_ = 0;
  std::atomic<int64_t> accounted_{0};
  SegmentList segments_;
  std::unique_ptr<CExtentIndexDb> index_;
  uint8_t index_disc_ = 0;
  uint32_t index_file_ = 0;
  uint32_t piece_counter_ = 0;
  int64_t piece_bytes_ = 0;
  // The piece being appended to, kept open between writes.
  platform::File current_piece_;
  uint32_t current_piece_number_ = 0;
  uint8_t current_piece_disc_ = 0;
  uint32_t current_piece_file_ = 0;
  bool have_current_piece_ = false;
  FileRecordingState recording_;
  int64_t cut_at_ = INT64_MAX;  // smallest cut below the recorded content since the last recording
  std::atomic<bool> content_changed_{false};
  bool needs_recording_ = false;
  // Recorded since the last disc close; changed under mu_, read without it
  // (the writer asks every entry of the open-file table when it evicts).
  std::atomic<bool> awaits_disc_close_{false};
  uint64_t recorded_after_closes_ = 0;  // DiscCloses() when the last recording began
  bool recording_started_ = false;
  bool new_file_ = false;
  bool index_created_ = false;
  bool index_recorded_ = false;  // a copy of the index went onto the discs in this session
  bool closed_before_ = false;
  bool close_queued_ = false;
  bool open_ = true;
  bool holds_gate_ = false;
  bool times_set_ = false;
  bool trim_at_close_ = false;
  bool have_last_disc_ = false;
  uint8_t last_disc_ = 0;
  std::atomic<uint8_t> pending_history_{0};
};

}  // namespace kelva::storage
