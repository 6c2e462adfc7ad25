#include "service/storage/file_object.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/disc_recorder.h"

namespace kelva::storage {
namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_BUSY;
using platform::ERROR_DISK_FULL;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_HANDLE_EOF;
using platform::ERROR_INVALID_DATA;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_NOT_SUPPORTED;
using platform::ERROR_PATH_NOT_FOUND;
using platform::ERROR_READ_FAULT;
using platform::ERROR_RETRY;
using platform::ERROR_SUCCESS;
using platform::ERROR_WRITE_FAULT;

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

int64_t RoundUp(int64_t v) { return (v + kSectorBytes - 1) / kSectorBytes * kSectorBytes; }
int64_t RoundDown(int64_t v) { return v / kSectorBytes * kSectorBytes; }

void PutLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
}

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::u16string_view LastComponent(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

uint8_t Kind(const DirEntryRecord& e) { return e.type & ENTRY_KIND_MASK; }
bool IsDeleted(const DirEntryRecord& e) { return (e.type & ENTRY_DELETED) != 0; }

class EntryLock {
 public:
  explicit EntryLock(volume::IFsVolume* v) : v_(v) { v_->LockCatalog2Shared(); }
  ~EntryLock() { v_->UnlockCatalog2Shared(); }
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;

 private:
  volume::IFsVolume* v_;
};

// Keeps the unit's I/O lock and counts a foreground use of the discs.
class DiscReadScope {
 public:
  explicit DiscReadScope(volume::IFsVolume* v) : v_(v), engine_(v->GetDiscEngine()) {
    v_->WaitWriterPriority();
    v_->BeginForegroundDisc();
    engine_->LockIo();
  }
  ~DiscReadScope() {
    engine_->UnlockIo();
    v_->EndForegroundDisc();
  }
  DiscReadScope(const DiscReadScope&) = delete;
  DiscReadScope& operator=(const DiscReadScope&) = delete;

 private:
  volume::IFsVolume* v_;
  IDiscRecorder* engine_;
};

}  // namespace

// ---- resume records ----

void FileResumeState::SerializeMain(uint8_t* out) const {
  out[0] = type;
  out[1] = disc;
  PutLe(out + 2, file, 4);
  PutLe(out + 6, parent_reference, 4);
  PutLe(out + 10, static_cast<uint64_t>(piece_bytes), 8);
  PutLe(out + 18, static_cast<uint64_t>(end_of_file), 8);
  PutLe(out + 26, static_cast<uint64_t>(accounted_size), 8);
  PutLe(out + 34, static_cast<uint64_t>(recording.recorded_length), 8);
  PutLe(out + 42, recording.value_a, 4);
  out[46] = recording.value_b;
  out[47] = flags;
  out[48] = recording.disc;
  PutLe(out + 49, recording.file, 4);
  PutLe(out + 53, static_cast<uint64_t>(recording.start), 8);
  PutLe(out + 61, static_cast<uint64_t>(recording.position), 8);
  PutLe(out + 69, static_cast<uint64_t>(recording.in_disc_file), 8);
  out[77] = recording.value_c;
}

void FileResumeState::ParseMain(const uint8_t* in) {
  type = in[0];
  disc = in[1];
  file = static_cast<uint32_t>(GetLe(in + 2, 4));
  parent_reference = static_cast<uint32_t>(GetLe(in + 6, 4));
  piece_bytes = static_cast<int64_t>(GetLe(in + 10, 8));
  end_of_file = static_cast<int64_t>(GetLe(in + 18, 8));
  accounted_size = static_cast<int64_t>(GetLe(in + 26, 8));
  recording.recorded_length = static_cast<int64_t>(GetLe(in + 34, 8));
  recording.value_a = static_cast<uint32_t>(GetLe(in + 42, 4));
  recording.value_b = in[46];
  flags = in[47];
  recording.disc = in[48];
  recording.file = static_cast<uint32_t>(GetLe(in + 49, 4));
  recording.start = static_cast<int64_t>(GetLe(in + 53, 8));
  recording.position = static_cast<int64_t>(GetLe(in + 61, 8));
  recording.in_disc_file = static_cast<int64_t>(GetLe(in + 69, 8));
  recording.value_c = in[77];
}

void FileResumeState::SerializeSegment(const FileSegment& s, uint8_t* out) {
  out[0] = s.disc;
  PutLe(out + 1, s.file, 4);
  PutLe(out + 5, s.piece, 4);
  PutLe(out + 9, static_cast<uint64_t>(s.start), 8);
  PutLe(out + 17, s.piece_offset, 4);
  PutLe(out + 21, s.length, 4);
  out[25] = s.state;
}

FileSegment FileResumeState::ParseSegment(const uint8_t* in) {
  FileSegment s;
  s.disc = in[0];
  s.file = static_cast<uint32_t>(GetLe(in + 1, 4));
  s.piece = static_cast<uint32_t>(GetLe(in + 5, 4));
  s.start = static_cast<int64_t>(GetLe(in + 9, 8));
  s.piece_offset = static_cast<uint32_t>(GetLe(in + 17, 4));
  s.length = static_cast<uint32_t>(GetLe(in + 21, 4));
  s.state = in[25];
  return s;
}

bool WriteFileResumeState(IDataStream& stream, const FileResumeState& state) {
  uint8_t main[FileResumeState::kMainSize];
  state.SerializeMain(main);
  if (!stream.Write(main, sizeof main)) return false;
  for (const FileSegment& s : state.segments) {
    uint8_t record[FileResumeState::kSegmentSize];
    FileResumeState::SerializeSegment(s, record);
    if (!stream.Write(record, sizeof record)) return false;
  }
  const uint8_t end = FileResumeState::kEndOfSegments;
  uint8_t log[FileResumeState::kLogSize];
  log[0] = state.log_flags;
  log[1] = state.log_disc;
  PutLe(log + 2, state.log_file, 4);
  std::string entry;
  if (!PackDirEntry(state.entry, &entry)) return false;
  return stream.Write(&end, 1) && stream.Write(log, sizeof log) &&
         stream.Write(entry.data(), static_cast<uint32_t>(entry.size()));
}

Win32Error ReadFileResumeState(IDataStream& stream, FileResumeState* out) {
  uint8_t main[FileResumeState::kMainSize];
  if (!stream.Read(main, sizeof main)) return ERROR_HANDLE_EOF;
  FileResumeState s;
  s.ParseMain(main);
  // Segment records follow until the end marker; a record never starts with
  // 255 because no disc has that number.
  for (;;) {
    uint8_t first = 0;
    if (!stream.Read(&first, 1)) return ERROR_HANDLE_EOF;
    if (first == FileResumeState::kEndOfSegments) break;
    if (s.segments.size() >= FileResumeState::kMaxSegments) return ERROR_INVALID_DATA;
    uint8_t record[FileResumeState::kSegmentSize];
    record[0] = first;
    if (!stream.Read(record + 1, sizeof record - 1)) return ERROR_HANDLE_EOF;
    s.segments.push_back(FileResumeState::ParseSegment(record));
  }
  uint8_t log[FileResumeState::kLogSize];
  uint8_t header[kPackedDirEntryHeaderSize];
  if (!stream.Read(log, sizeof log) || !stream.Read(header, sizeof header)) return ERROR_HANDLE_EOF;
  s.log_flags = log[0];
  s.log_disc = log[1];
  s.log_file = static_cast<uint32_t>(GetLe(log + 2, 4));
  const uint16_t units = UnpackDirEntryHeader(header, &s.entry);
  std::vector<uint8_t> name(static_cast<size_t>(units) * 2);
  if (!name.empty() && !stream.Read(name.data(), static_cast<uint32_t>(name.size()))) return ERROR_HANDLE_EOF;
  s.entry.name.resize(units);
  for (size_t i = 0; i < units; ++i) s.entry.name[i] = static_cast<char16_t>(GetLe(&name[2 * i], 2));

  const uint8_t known_flags = FileResumeState::kContentChanged | FileResumeState::kNewFile |
                              FileResumeState::kRecordingStarted | FileResumeState::kIndexCreated |
                              FileResumeState::kNeedsRecording | FileResumeState::kIndexChanged;
  const uint8_t kind = Kind(s.entry);
  if ((s.flags & ~known_flags) != 0 || s.log_flags != 0 || s.piece_bytes < 0 || s.end_of_file < 0 ||
      s.accounted_size < 0 || s.recording.recorded_length < 0 || s.recording.start < 0 ||
      s.recording.position < 0 || s.recording.in_disc_file < 0 || (kind != ENTRY_KIND_FILE && kind != ENTRY_KIND_EXTENTS) ||
      Kind(s.entry) != (s.type & ENTRY_KIND_MASK) || s.entry.name.empty() ||
      s.entry.name.find(u'\0') != std::u16string::npos) {
    return ERROR_INVALID_DATA;
  }
  int64_t previous_end = 0;
  for (const FileSegment& seg : s.segments) {
    if (seg.length == 0 || seg.state > FileSegment::kRecording || seg.start < previous_end ||
        int64_t{seg.piece_offset} + seg.length > kPieceBytes || seg.start > kNoLimit - kPieceBytes) {
      return ERROR_INVALID_DATA;
    }
    previous_end = seg.end();
  }
  *out = std::move(s);
  return ERROR_SUCCESS;
}

// ---- the object ----

CFileObject::CFileObject(volume::IFsVolume* volume) : volume_(volume), log_(volume) {}

CFileObject::~CFileObject() {
  ClosePiece();
  if (holds_gate_) volume_->LeaveCapacityGate();
  const int64_t old = accounted_.exchange(0);
  if (old != 0) volume_->AddMetadataBytes(-old);
  CloseIndex();
  log_.Close();
}

platform::FileTime CFileObject::Now() { return volume_->GetCacheStore()->clock().Now(); }

DirEntryRecord CFileObject::entry() const {
  std::lock_guard lock(mu_);
  return entry_;
}

int64_t CFileObject::end_of_file() const {
  std::lock_guard lock(mu_);
  return eof_;
}

std::vector<FileSegment> CFileObject::Segments() const {
  std::lock_guard lock(mu_);
  return {segments_.begin(), segments_.end()};
}

Win32Error CFileObject::Create(CDirectoryDb* parent, std::u16string_view path, uint32_t attributes, int64_t time,
                               bool is_stream) {
  if (have_entry_ || parent == nullptr) return ERROR_INVALID_PARAMETER;
  const std::u16string_view name = LastComponent(path);
  if (name.empty()) return ERROR_INVALID_PARAMETER;
  DirEntryRecord entry;
  entry.type = ENTRY_KIND_FILE | (is_stream ? ENTRY_STREAM : 0);
  entry.disk = volume_->GetDiscEngine()->CurrentDisc();
  entry.file = volume_->NextFileNumber();
  entry.attr = attributes;
  entry.ctime = entry.atime = entry.mtime = time;
  entry.name = std::u16string(name);
  if (!volume_->SyncDirectoryGrowth(parent)) return ERROR_DISK_FULL;
  {
    EntryLock lock(volume_);
    if (!parent->InsertEntry(entry)) return ERROR_ACCESS_DENIED;
  }
  volume_->SyncDirectoryGrowth(parent);
  entry_ = std::move(entry);
  PublishIdentity();
  have_entry_ = true;
  parent_ = parent;
  opened_disc_ = entry_.disk;
  opened_file_ = entry_.file;
  eof_ = 0;
  piece_counter_ = 0;
  recording_ = FileRecordingState{};
  recording_.disc = entry_.disk;
  recording_.file = entry_.file;
  new_file_ = needs_recording_ = true;
  volume_->SettleDirectoryGrowth(parent);
  return ERROR_SUCCESS;
}

Win32Error CFileObject::Open(const DirEntryRecord& entry, CDirectoryDb* parent) {
  if (have_entry_) return ERROR_INVALID_PARAMETER;
  const uint8_t kind = Kind(entry);
  if ((kind != ENTRY_KIND_FILE && kind != ENTRY_KIND_EXTENTS) || entry.size < 0 || entry.alloc < 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(mu_);
  entry_ = entry;
  PublishIdentity();
  have_entry_ = true;
  parent_ = parent;
  opened_disc_ = entry.disk;
  opened_file_ = entry.file;
  eof_ = entry.size;
  if (entry.alloc > entry.size) {
    const int64_t accounted = RoundUp(entry.alloc) - RoundDown(entry.size);
    if (volume_->AddMetadataBytes(accounted)) {
      accounted_.store(accounted);
    } else {
      volume_->AddMetadataBytes(-accounted);  // refused: nothing is counted
    }
  }
  recording_ = FileRecordingState{};
  recording_.recorded_length = entry.size;
  recording_.disc = entry.disk;
  recording_.file = entry.file;
  new_file_ = kind == ENTRY_KIND_FILE && entry.size == 0;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::Close() {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  std::lock_guard write(write_mu_);
  {
    // Readers use the open piece under the object lock.
    std::lock_guard lock(mu_);
    ClosePiece();
    if (trim_at_close_ && entry_.alloc > eof_) {
      entry_.alloc = eof_;
      Reaccount();
    }
  }
  if (holds_gate_) {
    volume_->LeaveCapacityGate();
    holds_gate_ = false;
  }
  closed_before_ = true;
  open_ = false;
  if (content_changed_.load() || needs_recording_) {
    close_queued_ = true;
    volume_->MarkFileDirty(this, 1, 1);
  }
  return ERROR_SUCCESS;
}

Win32Error CFileObject::FlushPiece() {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  std::lock_guard write(write_mu_);
  Win32Error result = ERROR_SUCCESS;
  {
    std::lock_guard lock(mu_);
    if (have_current_piece_) result = current_piece_.Flush();
    ClosePiece();
  }
  if (holds_gate_) {
    volume_->LeaveCapacityGate();
    holds_gate_ = false;
  }
  return result;
}

Win32Error CFileObject::Reopen() {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  open_ = true;
  return ERROR_SUCCESS;
}

// ---- reading ----

Win32Error CFileObject::Read(int64_t offset, uint32_t length, void* buffer, uint32_t* done) {
  *done = 0;
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  if (offset < 0) return ERROR_INVALID_PARAMETER;
  int64_t eof;
  {
    std::lock_guard lock(mu_);
    eof = eof_;
  }
  if (offset >= eof || length == 0) return ERROR_SUCCESS;
  const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(length, eof - offset));
  if (const Win32Error e = ReadRange(offset, n, static_cast<uint8_t*>(buffer)); e != 0) return e;
  *done = n;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::ReadRange(int64_t pos, uint32_t n, uint8_t* out) {
  while (n > 0) {
    int64_t gap_end = kNoLimit;
    {
      std::lock_guard lock(mu_);
      auto it = std::find_if(segments_.begin(), segments_.end(), [&](const FileSegment& s) { return s.end() > pos; });
      if (it != segments_.end() && it->start <= pos) {
        // Piece reads come from the cache: the lock keeps the piece from being
        // cut away or deleted meanwhile.
        const uint32_t take = static_cast<uint32_t>(std::min<int64_t>(n, it->end() - pos));
        if (const Win32Error e = ReadPiece(*it, pos, take, out); e != 0) return e;
        pos += take;
        out += take;
        n -= take;
        continue;
      }
      if (it != segments_.end()) gap_end = it->start;
    }
    const uint32_t take = static_cast<uint32_t>(std::min<int64_t>(n, gap_end - pos));
    if (const Win32Error e = ReadDiscs(pos, take, out); e != 0) return e;
    pos += take;
    out += take;
    n -= take;
  }
  return ERROR_SUCCESS;
}

Win32Error CFileObject::ReadPiece(const FileSegment& s, int64_t pos, uint32_t n, uint8_t* out) {
  platform::File f;
  platform::File* piece = &f;
  if (have_current_piece_ && s.piece == current_piece_number_ && s.disc == current_piece_disc_ &&
      s.file == current_piece_file_) {
    piece = &current_piece_;
  } else if (const Win32Error e = volume_->GetCacheStore()->OpenCacheFile(CK_DAT, s.disc, s.file, s.piece, &f);
             e != 0) {
    return e;
  }
  uint32_t got = 0;
  const uint64_t at = s.piece_offset + static_cast<uint64_t>(pos - s.start);
  if (const Win32Error e = piece->ReadAt(at, out, n, &got); e != 0) return e;
  // A piece is written before its segment covers the range; a short read can
  // only be a sparse tail, which reads as zeros.
  if (got < n) std::memset(out + got, 0, n - got);
  return ERROR_SUCCESS;
}

Win32Error CFileObject::OpenIndex() {
  if (index_) return ERROR_SUCCESS;
  uint8_t disc;
  uint32_t file;
  {
    std::lock_guard lock(mu_);
    disc = entry_.disk;
    file = entry_.file;
  }
  if (const Win32Error e = volume_->PinCacheFile(CK_IND, disc, file, this, true); e != 0) return e;
  std::filesystem::path path;
  auto index = std::make_unique<CExtentIndexDb>(volume_->GetCacheStore()->clock());
  if (!volume_->GetCacheStore()->CacheFilePath(CK_IND, disc, file, 0, &path) ||
      index->Open(platform::Utf8ToUtf16(path.string())) != SQLITE_OK) {
    volume_->UnpinCacheFile(CK_IND, disc, file, this, false);
    return ERROR_ACCESS_DENIED;
  }
  index_ = std::move(index);
  index_disc_ = disc;
  index_file_ = file;
  return ERROR_SUCCESS;
}

void CFileObject::CloseIndex() {
  if (!index_) return;
  index_->Close();
  index_.reset();
  volume_->UnpinCacheFile(CK_IND, index_disc_, index_file_, this, true);
}

Win32Error CFileObject::ReadDiscs(int64_t pos, uint32_t n, uint8_t* out) {
  uint8_t kind, disc;
  uint32_t file;
  int64_t recorded;
  {
    std::lock_guard lock(mu_);
    kind = Kind(entry_);
    disc = entry_.disk;
    file = entry_.file;
    recorded = recording_.recorded_length;
  }
  // Beyond the recorded content (a new file, or one cut shorter and grown again)
  // the discs hold nothing of this file: zeros.
  if (pos >= recorded) {
    std::memset(out, 0, n);
    return ERROR_SUCCESS;
  }
  if (pos + n > recorded) {
    const uint32_t past = static_cast<uint32_t>(pos + n - recorded);
    std::memset(out + (n - past), 0, past);
    n -= past;
  }
  IDiscRecorder* engine = volume_->GetDiscEngine();
  if (kind == ENTRY_KIND_EXTENTS) {
    if (const Win32Error e = OpenIndex(); e != 0) return e;
  }
  DiscReadScope scope(volume_);
  if (kind == ENTRY_KIND_FILE) {
    uint32_t got = 0;
    const Win32Error e = engine->ReadData(CK_DAT, disc, file, static_cast<uint64_t>(pos), out, n, &got);
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) {
      std::memset(out, 0, n);
      return ERROR_SUCCESS;
    }
    if (e != 0) return e;
    if (got == 0 && pos == 0) return ERROR_READ_FAULT;
    if (got < n) std::memset(out + got, 0, n - got);
    return ERROR_SUCCESS;
  }
  while (n > 0) {
    ExtentRecord x;
    if (!index_->FindExtent(pos, &x)) {
      std::memset(out, 0, n);  // no further extent: zeros to the end
      return ERROR_SUCCESS;
    }
    if (x.start > pos) {
      const uint32_t gap = static_cast<uint32_t>(std::min<int64_t>(n, x.start - pos));
      std::memset(out, 0, gap);
      pos += gap;
      out += gap;
      n -= gap;
      continue;
    }
    const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(n, x.start + x.len - pos));
    uint32_t got = 0;
    const Win32Error e =
        engine->ReadData(CK_DAT, x.disk, x.file, static_cast<uint64_t>(x.off + (pos - x.start)), out, want, &got);
    if (e != 0) return e;
    if (got == 0) return ERROR_READ_FAULT;
    pos += got;
    out += got;
    n -= got;
  }
  return ERROR_SUCCESS;
}

// ---- writing ----

Win32Error CFileObject::Write(int64_t offset, uint32_t length, const void* buffer, uint32_t* written) {
  *written = 0;
  if (!have_entry_ || offset < 0 || offset > kNoLimit - int64_t{length}) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  std::lock_guard write(write_mu_);
  if (!holds_gate_) {
    if (!volume_->EnterCapacityGate()) {
      volume_->ReportWriterBusy();
      return ERROR_BUSY;
    }
    holds_gate_ = true;
  }
  int64_t eof, alloc;
  {
    std::lock_guard lock(mu_);
    eof = eof_;
    alloc = entry_.alloc;
  }
  // A new file must fit on the current disc when files are not split.
  if (volume_->IsSingleWriter() && eof == 0 && alloc > volume_->SingleFileLimit()) return ERROR_NOT_SUPPORTED;
  const uint8_t disc = volume_->GetDiscEngine()->CurrentDisc();
  if (!have_last_disc_ || disc != last_disc_) {
    if (!volume_->HasRoomFor(0)) return ERROR_DISK_FULL;
    last_disc_ = disc;
    have_last_disc_ = true;
  }
  if (Kind(entry_) == ENTRY_KIND_EXTENTS) {
    if (const Win32Error e = OpenIndex(); e != 0) return e;
  }
  // Reopened while the write-back queued by the last close has not run: let it
  // finish first, so that it does not record half of this write.
  if (close_queued_ && content_changed_.load()) {
    volume_->MarkFileDirty(this, 1, 1);
    std::unique_lock lock(mu_);
    if (!record_cv_.wait_for(lock, std::chrono::milliseconds(kBusyWaitMs), [&] { return !content_changed_.load(); })) {
      return ERROR_RETRY;
    }
  }
  close_queued_ = false;
  if (!content_changed_.load()) {
    if (parent_ != nullptr && !volume_->SyncDirectoryGrowth(parent_)) return ERROR_DISK_FULL;
    if (!volume_->WaitForCacheRoom()) return ERROR_WRITE_FAULT;
  }

  const auto* data = static_cast<const uint8_t*>(buffer);
  Win32Error result = ERROR_SUCCESS;
  bool grew = false;
  {
    EntryLock entry_lock(volume_);
    while (*written < length) {
      const int64_t p = offset + *written;
      uint32_t done = 0;
      result = WriteChunk(p, length - *written, data + *written, &done);
      if (result != 0) break;
      if (done == 0) continue;  // a busy segment came free: look again
      *written += done;
      std::lock_guard lock(mu_);
      if (p + done > entry_.size) {
        entry_.size = p + done;
        grew = true;
        if (entry_.size > entry_.alloc) entry_.alloc = entry_.size;
      }
      if (p + done > eof_) MoveEndOfFile(p + done);
      Reaccount();
    }
  }
  {
    std::lock_guard lock(mu_);
    // Written to its announced size: the piece and the gate are no longer needed.
    if (eof_ == entry_.alloc && holds_gate_) {
      ClosePiece();
      volume_->LeaveCapacityGate();
      holds_gate_ = false;
    }
    if (grew && !times_set_) entry_.atime = entry_.mtime = static_cast<int64_t>(Now());
  }
  if (*written > 0) {
    content_changed_.store(true);
    needs_recording_ = true;
    if (volume_->GetHistoryFlag() && closed_before_) pending_history_.fetch_or(kPendingUpdated);
    if (piece_bytes_ <= volume_->GetSmallFileLimit()) {
      volume_->CheckCachePressure();
    } else {
      volume_->MarkFileDirty(this, 1, 0);
    }
  }
  return result;
}

Win32Error CFileObject::WriteChunk(int64_t p, uint32_t n, const uint8_t* data, uint32_t* done) {
  std::unique_lock lock(mu_);
  // The first segment that does not end before p.
  auto it = std::find_if(segments_.begin(), segments_.end(), [&](const FileSegment& s) { return s.end() >= p; });
  if (it != segments_.end() && it->end() == p) {
    auto next = std::next(it);
    const bool changed_at_p = next != segments_.end() && next->start == p && next->state == FileSegment::kChanged;
    const int64_t room = kPieceBytes - (int64_t{it->piece_offset} + it->length);
    if (it->state == FileSegment::kChanged && room > 0 && !changed_at_p && p >= eof_) {
      // Appending at the end of the file to the piece being filled.
      int64_t chunk = std::min<int64_t>(room, n);
      auto changed = std::find_if(next, segments_.end(), [](const FileSegment& s) { return s.state == FileSegment::kChanged; });
      if (changed != segments_.end()) chunk = std::min(chunk, changed->start - p);
      return WriteInSegment(lock, it, p, static_cast<uint32_t>(chunk), data, done);
    }
    it = next;
  }
  if (it == segments_.end() || p < it->start) {
    int64_t chunk = std::min<int64_t>(kPieceBytes - p % kWindowBytes, n);
    if (it != segments_.end()) chunk = std::min(chunk, it->start - p);
    lock.unlock();
    return PieceWrite(p, static_cast<uint32_t>(chunk), data, done);
  }
  // p lies inside the segment.
  if (it->start % kWindowBytes == 0 && it->length <= kWindowBytes && it->state != FileSegment::kChanged) {
    // A small recorded window becomes changed again in place.
    // One waiting for the recorder is pending already.
    if (it->state == FileSegment::kRecorded) {
      const int64_t rounded = RoundUp(it->length);
      if (!volume_->HasRoomFor(rounded)) return ERROR_DISK_FULL;
      volume_->AddPendingBytes(rounded);
    }
    it->state = FileSegment::kChanged;
    content_changed_.store(true);
  }
  const uint32_t chunk = static_cast<uint32_t>(std::min<int64_t>(it->end() - p, n));
  if (it->state == FileSegment::kChanged) return WriteInSegment(lock, it, p, chunk, data, done);
  lock.unlock();
  return PieceWrite(p, chunk, data, done);
}

Win32Error CFileObject::WaitNotBusy(std::unique_lock<std::mutex>& lock, SegmentList::iterator it) {
  const FileSegment key = *it;
  const bool freed = busy_cv_.wait_for(lock, std::chrono::milliseconds(kBusyWaitMs), [&] {
    auto found = std::find_if(segments_.begin(), segments_.end(), [&](const FileSegment& s) {
      return s.start == key.start && s.piece == key.piece && s.file == key.file && s.disc == key.disc;
    });
    return found == segments_.end() || found->busy == 0;
  });
  return freed ? ERROR_SUCCESS : ERROR_RETRY;
}

Win32Error CFileObject::OpenPiece(const FileSegment& s, platform::File** out, platform::File* scratch) {
  if (have_current_piece_ && s.piece == current_piece_number_ && s.disc == current_piece_disc_ &&
      s.file == current_piece_file_) {
    *out = &current_piece_;
    return ERROR_SUCCESS;
  }
  if (const Win32Error e = volume_->GetCacheStore()->OpenCacheFile(CK_DAT, s.disc, s.file, s.piece, scratch);
      e != 0) {
    return e;
  }
  *out = scratch;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::WriteInSegment(std::unique_lock<std::mutex>& lock, SegmentList::iterator it, int64_t p,
                                       uint32_t n, const uint8_t* data, uint32_t* done) {
  *done = 0;
  if (it->busy) return WaitNotBusy(lock, it);  // 0 written: the caller looks again
  const uint64_t at = it->piece_offset + static_cast<uint64_t>(p - it->start);
  n = static_cast<uint32_t>(std::min<int64_t>(n, kPieceBytes - static_cast<int64_t>(at)));
  if (n == 0) return ERROR_SUCCESS;
  it->busy = 1;
  const FileSegment seg = *it;
  // The busy flag keeps the segment in the list while the lock is down.
  lock.unlock();
  platform::File scratch;
  platform::File* piece = nullptr;
  Win32Error e = OpenPiece(seg, &piece, &scratch);
  if (e == 0) e = piece->WriteAllAt(at, data, n);
  lock.lock();
  it->busy = 0;
  busy_cv_.notify_all();
  if (e != 0) {
    if (e == ERROR_DISK_FULL) volume_->ReportCacheShortage();
    return e;
  }
  if (p + n > it->end()) {
    const int64_t old_length = it->length;
    it->length = static_cast<uint32_t>(p + n - it->start);
    volume_->AddPendingBytes(RoundUp(it->length) - RoundUp(old_length));
    volume_->AddCachedBytes(it->length - old_length);
  }
  piece_bytes_ += n;
  if (p + n > eof_) MoveEndOfFile(p + n);
  content_changed_.store(true);
  if (int64_t{it->piece_offset} + it->length >= kPieceBytes && have_current_piece_ &&
      it->piece == current_piece_number_) {
    ClosePiece();
    volume_->MarkFileDirty(this, 1, 0);
  }
  *done = n;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::PieceWrite(int64_t p, uint32_t n, const uint8_t* data, uint32_t* done) {
  *done = 0;
  int64_t eof;
  {
    std::lock_guard lock(mu_);
    eof = eof_;
  }
  // Appending a whole window: the caller's bytes are the piece.
  if (p % kWindowBytes == 0 && p + n >= eof) {
    if (const Win32Error e = NewPiece(p, n, data); e != 0) return e;
    *done = n;
    return ERROR_SUCCESS;
  }
  const int64_t window = p - p % kWindowBytes;
  {
    std::unique_lock lock(mu_);
    auto it =
        std::find_if(segments_.begin(), segments_.end(), [&](const FileSegment& s) { return s.end() > window; });
    // A changed segment holding the window's start takes the write, unless that
    // would leave a hole below the end of file between its end and p (the hole
    // would read as zeros instead of the content on the discs).
    if (it != segments_.end() && it->start <= window && it->state == FileSegment::kChanged &&
        (p <= it->end() || it->end() >= eof_)) {
      return WriteInSegment(lock, it, p, n, data, done);
    }
  }
  const int64_t length = std::min<int64_t>(kWindowBytes, std::max<int64_t>(eof, p + n) - window);
  n = static_cast<uint32_t>(std::min<int64_t>(n, window + length - p));
  std::vector<uint8_t> buffer(static_cast<size_t>(length), 0);
  if (window < eof) {
    const uint32_t existing = static_cast<uint32_t>(std::min<int64_t>(length, eof - window));
    if (const Win32Error e = ReadRange(window, existing, buffer.data()); e != 0) return e;
  }
  std::memcpy(buffer.data() + (p - window), data, n);
  if (const Win32Error e = NewPiece(window, static_cast<uint32_t>(length), buffer.data()); e != 0) return e;
  *done = n;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::NewPiece(int64_t start, uint32_t n, const uint8_t* data) {
  // Room is asked before the end of file moves, so that a refused write leaves
  // the size as it was.
  if (!volume_->HasRoomFor(n)) return ERROR_DISK_FULL;
  FileSegment seg;
  {
    std::lock_guard lock(mu_);
    seg.state = FileSegment::kChanged;
    seg.disc = entry_.disk;
    seg.file = entry_.file;
    seg.piece = piece_counter_++;
    seg.start = start;
    seg.length = n;
  }
  platform::File f;
  uint32_t number = seg.file;
  Win32Error e = volume_->GetCacheStore()->CreateCacheFile(CK_DAT, seg.disc, &number, seg.piece, &f, false);
  // A piece number left taken by an earlier object of this file (one that
  // ended without giving its pieces back) is skipped.
  for (int skip = 0; e == platform::ERROR_FILE_EXISTS && seg.piece != 0 && skip < kPieceNumberSkips; ++skip) {
    {
      std::lock_guard lock(mu_);
      seg.piece = piece_counter_++;
    }
    number = seg.file;
    e = volume_->GetCacheStore()->CreateCacheFile(CK_DAT, seg.disc, &number, seg.piece, &f, false);
  }
  if (e == 0) {
    seg.file = number;
    e = f.WriteAllAt(0, data, n);
    if (e != 0) {
      f.Close();
      volume_->GetCacheStore()->DeleteCacheFile(CK_DAT, seg.disc, seg.file, seg.piece);
    }
  }
  if (e != 0) {
    if (e == ERROR_DISK_FULL) volume_->ReportCacheShortage();
    return e;
  }
  std::unique_lock lock(mu_);
  InsertSegment(lock, seg);
  if (start + n > eof_) MoveEndOfFile(start + n);
  piece_bytes_ += n;
  volume_->AddPendingBytes(RoundUp(n));
  volume_->AddCachedBytes(n);
  content_changed_.store(true);
  if (n < kPieceBytes) {
    current_piece_ = std::move(f);  // closes the piece filled before
    current_piece_number_ = seg.piece;
    current_piece_disc_ = seg.disc;
    current_piece_file_ = seg.file;
    have_current_piece_ = true;
  } else {
    ClosePiece();
    volume_->MarkFileDirty(this, 1, 0);
  }
  return ERROR_SUCCESS;
}

void CFileObject::ClosePiece() {
  if (!have_current_piece_) return;
  current_piece_.Close();
  have_current_piece_ = false;
}

void CFileObject::InsertSegment(std::unique_lock<std::mutex>& lock, const FileSegment& seg) {
  // Older segments under the new one are cut; a busy one is waited for first.
  for (bool again = true; again;) {
    again = false;
    for (auto it = segments_.begin(); it != segments_.end(); ++it) {
      if (it->end() > seg.start && it->start < seg.end() && it->busy) {
        WaitNotBusy(lock, it);
        again = true;
        break;
      }
    }
  }
  std::vector<FileSegment> cut;
  auto at = segments_.end();
  for (auto it = segments_.begin(); it != segments_.end();) {
    if (it->end() <= seg.start || it->start >= seg.end()) {
      if (at == segments_.end() && it->start >= seg.end()) at = it;
      ++it;
      continue;
    }
    const FileSegment old = *it;
    cut.push_back(old);
    int64_t kept = 0;
    if (old.start < seg.start) {
      it->length = static_cast<uint32_t>(seg.start - old.start);
      kept += it->length;
      ++it;
    } else {
      it = segments_.erase(it);
    }
    if (old.end() > seg.end()) {
      FileSegment tail = old;
      tail.start = seg.end();
      tail.piece_offset = static_cast<uint32_t>(old.piece_offset + (seg.end() - old.start));
      tail.length = static_cast<uint32_t>(old.end() - seg.end());
      kept += tail.length;
      it = segments_.insert(it, tail);
      if (at == segments_.end()) at = it;
      ++it;
    }
    // Changed bytes that went are no longer waiting for the discs.
    if (old.state != FileSegment::kRecorded) {
      const int64_t head = old.start < seg.start ? seg.start - old.start : 0;
      const int64_t tail = old.end() > seg.end() ? old.end() - seg.end() : 0;
      volume_->AddPendingBytes(RoundUp(head) + RoundUp(tail) - RoundUp(old.length));
    }
    volume_->AddCachedBytes(kept - old.length);
  }
  segments_.insert(at, seg);
  DropUnusedPieces(cut);
}

void CFileObject::DropUnusedPieces(const std::vector<FileSegment>& cut) {
  for (const FileSegment& c : cut) {
    const bool used = std::any_of(segments_.begin(), segments_.end(), [&](const FileSegment& s) {
      return s.piece == c.piece && s.file == c.file && s.disc == c.disc;
    });
    if (used) continue;
    if (have_current_piece_ && c.piece == current_piece_number_ && c.disc == current_piece_disc_ &&
        c.file == current_piece_file_) {
      ClosePiece();
    }
    volume_->GetCacheStore()->DeleteCacheFile(CK_DAT, c.disc, c.file, c.piece);
  }
}

void CFileObject::MoveEndOfFile(int64_t end) {
  eof_ = end;
  Reaccount();
}

void CFileObject::Reaccount() {
  const int64_t accounted = eof_ == entry_.alloc ? 0 : std::max<int64_t>(0, RoundUp(entry_.alloc) - RoundDown(eof_));
  const int64_t old = accounted_.exchange(accounted);
  if (accounted != old) volume_->AddMetadataBytes(accounted - old);
}

// ---- size changes ----

void CFileObject::Truncate(std::unique_lock<std::mutex>& lock, int64_t size) {
  // Segments beyond the new end go (a busy one is waited for first).
  for (bool again = true; again;) {
    again = false;
    for (auto it = segments_.begin(); it != segments_.end(); ++it) {
      if (it->end() > size && it->busy) {
        WaitNotBusy(lock, it);
        again = true;
        break;
      }
    }
  }
  std::vector<FileSegment> cut;
  for (auto it = segments_.begin(); it != segments_.end();) {
    if (it->end() <= size) {
      ++it;
      continue;
    }
    const FileSegment old = *it;
    cut.push_back(old);
    const int64_t kept = old.start < size ? size - old.start : 0;
    if (old.state != FileSegment::kRecorded) volume_->AddPendingBytes(RoundUp(kept) - RoundUp(old.length));
    volume_->AddCachedBytes(kept - old.length);
    if (kept > 0) {
      it->length = static_cast<uint32_t>(kept);
      ++it;
    } else {
      it = segments_.erase(it);
    }
  }
  DropUnusedPieces(cut);
  // Content on the discs beyond the new end no longer belongs to the file;
  // the next recording takes it off the discs too (CutRecordedContent).
  if (size < recording_.recorded_length) cut_at_ = std::min(cut_at_, size);
  recording_.recorded_length = std::min(recording_.recorded_length, size);
  eof_ = size;
  entry_.size = size;
}

Win32Error CFileObject::SetEndOfFile(int64_t size) {
  if (!have_entry_ || size < 0) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  std::lock_guard write(write_mu_);
  std::unique_lock lock(mu_);
  if (size == eof_) return ERROR_SUCCESS;
  if (size < eof_) {
    Truncate(lock, size);
  } else {
    eof_ = size;
    entry_.size = size;
  }
  if (entry_.alloc < size) entry_.alloc = size;
  Reaccount();
  if (!times_set_) entry_.atime = entry_.mtime = static_cast<int64_t>(Now());
  content_changed_.store(true);
  needs_recording_ = true;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::SetAllocation(int64_t size) {
  if (!have_entry_ || size < 0) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  std::lock_guard write(write_mu_);
  std::unique_lock lock(mu_);
  if (size == entry_.alloc) return ERROR_SUCCESS;
  if (size < eof_) {
    Truncate(lock, size);
    entry_.alloc = size;
    Reaccount();
    content_changed_.store(true);
    needs_recording_ = true;
    return ERROR_SUCCESS;
  }
  const int64_t old_alloc = entry_.alloc;
  const int64_t old_accounted = accounted_.load();
  entry_.alloc = size;
  const int64_t accounted = eof_ == size ? 0 : std::max<int64_t>(0, RoundUp(size) - RoundDown(eof_));
  if (accounted > old_accounted && !volume_->HasRoomFor(accounted - old_accounted)) {
    entry_.alloc = old_alloc;
    return ERROR_DISK_FULL;
  }
  Reaccount();
  needs_recording_ = true;
  return ERROR_SUCCESS;
}

// ---- the row in the parent ----

Win32Error CFileObject::UpdateRow() {
  if (parent_ == nullptr) {
    std::lock_guard lock(mu_);
    PublishIdentity();  // no row to follow
    return ERROR_SUCCESS;
  }
  DirEntryRecord row = entry();
  EntryLock lock(volume_);
  if (!parent_->UpdateEntry(row)) return ERROR_ACCESS_DENIED;
  // Opens by name find this object by what the row now names.
  identity_.store(PackIdentity(row.type, row.disk, row.file));
  volume_->SettleDirectoryGrowth(parent_);
  return ERROR_SUCCESS;
}

Win32Error CFileObject::GetInfo(DirEntryRecord* out) {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(mu_);
  *out = entry_;
  out->disk = opened_disc_;
  out->file = opened_file_;
  out->size = eof_;
  if (out->name.size() > CDirectoryDb::kGetEntryNameUnits - 1) out->name.resize(CDirectoryDb::kGetEntryNameUnits - 1);
  return ERROR_SUCCESS;
}

Win32Error CFileObject::SetInfo(uint32_t attributes, const int64_t* ctime, const int64_t* atime,
                                const int64_t* mtime) {
  if (!have_entry_ || parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  auto given = [](const int64_t* t) { return t != nullptr && *t != -1; };
  {
    std::lock_guard lock(mu_);
    const bool change = (attributes != 0 && attributes != entry_.attr) || (given(ctime) && *ctime != entry_.ctime) ||
                        (given(mtime) && *mtime != entry_.mtime);
    if (!change) return ERROR_SUCCESS;
    if (!volume_->HasRoomFor(0)) return ERROR_DISK_FULL;
    if (attributes != 0) entry_.attr = attributes;
    if (given(ctime)) entry_.ctime = *ctime;
    if (given(mtime)) entry_.mtime = *mtime;
    if (given(atime)) entry_.atime = *atime;
    // Times set by the caller stay; writes no longer move them.
    if (given(mtime) || given(atime)) times_set_ = true;
  }
  return UpdateRow();
}

Win32Error CFileObject::Delete(bool remove) {
  if (!have_entry_ || parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  {
    EntryLock lock(volume_);
    const bool stream = (entry_.type & ENTRY_STREAM) != 0;
    const int done = stream ? parent_->DeleteStream(entry_.name, remove ? 1 : 0)
                            : parent_->DeleteEntry(entry_.name, remove ? 1 : 0);
    if (!done) return ERROR_ACCESS_DENIED;
  }
  {
    std::lock_guard lock(mu_);
    entry_.type |= ENTRY_DELETED;
  }
  volume_->SyncDirectoryGrowth(parent_);
  volume_->SettleDirectoryGrowth(parent_);
  if (volume_->GetHistoryFlag()) pending_history_.fetch_or(kPendingDeleted);
  return ERROR_SUCCESS;
}

void CFileObject::DropRecordedSegments() {
  std::vector<FileSegment> gone;
  for (auto it = segments_.begin(); it != segments_.end();) {
    if (it->state == FileSegment::kRecorded && !it->busy) {
      gone.push_back(*it);
      volume_->AddCachedBytes(-int64_t{it->length});
      it = segments_.erase(it);
    } else {
      ++it;
    }
  }
  DropUnusedPieces(gone);
}

bool CFileObject::AwaitsDiscClose() const { return awaits_disc_close_.load(); }

void CFileObject::DiscClosed(uint64_t closes) {
  std::lock_guard lock(mu_);
  if (!awaits_disc_close_ || closes <= recorded_after_closes_) return;
  awaits_disc_close_ = false;
  // Once closed, recorded pieces are no longer needed: reads go to the discs.
  if (!open_) DropRecordedSegments();
}

void CFileObject::RecordAgain() {
  std::lock_guard lock(mu_);
  if (!awaits_disc_close_) return;
  awaits_disc_close_ = false;
  bool any = false;
  for (FileSegment& s : segments_) {
    if (s.state != FileSegment::kRecorded) continue;
    s.state = FileSegment::kChanged;
    volume_->AddPendingBytes(RoundUp(s.length));
    any = true;
  }
  if (any) {
    needs_recording_ = true;
    content_changed_.store(true);
  }
}

void CFileObject::DiscardContent() {
  std::unique_lock lock(mu_);
  // A segment being copied or written keeps its piece until that ends.
  for (auto it = segments_.begin(); it != segments_.end();) {
    if (it->busy && WaitNotBusy(lock, it) == ERROR_SUCCESS) {
      it = segments_.begin();
      continue;
    }
    ++it;
  }
  ClosePiece();
  std::vector<FileSegment> gone(segments_.begin(), segments_.end());
  segments_.clear();
  for (const FileSegment& s : gone) {
    volume_->AddCachedBytes(-int64_t{s.length});
    if (s.state != FileSegment::kRecorded) volume_->AddPendingBytes(-RoundUp(s.length));
  }
  DropUnusedPieces(gone);
  content_changed_.store(false);
  needs_recording_ = false;
  lock.unlock();
  record_cv_.notify_all();
}

bool CFileObject::FullyCached() const {
  std::lock_guard lock(mu_);
  int64_t covered = 0;
  for (const FileSegment& s : segments_) {
    if (s.start > covered) return false;  // a gap before this segment
    covered = std::max(covered, s.end());
    if (covered >= eof_) return true;
  }
  return covered >= eof_;
}

Win32Error CFileObject::Rename(CDirectoryDb* target, std::u16string_view new_path) {
  if (!have_entry_ || parent_ == nullptr) return ERROR_INVALID_PARAMETER;
  if (IsDeleted(entry_)) return ERROR_ACCESS_DENIED;
  if (target == nullptr) target = parent_;
  const bool across = target != parent_;
  const std::u16string_view name = LastComponent(new_path);
  if (name.empty()) return ERROR_INVALID_PARAMETER;
  if (!volume_->HasRoomFor(0) || !volume_->SyncDirectoryGrowth(parent_) ||
      (across && !volume_->SyncDirectoryGrowth(target))) {
    return ERROR_DISK_FULL;
  }
  DirEntryRecord moved = entry();
  const std::u16string old_name = moved.name;
  moved.name = std::u16string(name);
  {
    EntryLock lock(volume_);
    if (!across) {
      if (!parent_->RenameEntry(old_name, moved.name)) return ERROR_ACCESS_DENIED;
    } else {
      if (!target->InsertEntry(moved)) return ERROR_NOT_ENOUGH_MEMORY;
      // The file's named streams go along under the new name.
      std::vector<DirEntryRecord> streams;
      DirEntryRecord row;
      for (int more = parent_->EnumStreams(&old_name, 0, &row); more; more = parent_->EnumStreams(nullptr, 0, &row)) {
        streams.push_back(row);
      }
      bool ok = true;
      for (DirEntryRecord& s : streams) {
        s.name = moved.name + s.name;
        if (!target->InsertEntry(s)) {
          ok = false;
          break;
        }
      }
      if (ok) ok = parent_->DeleteEntry(old_name, 1) != 0;
      if (!ok) {
        target->DeleteEntry(moved.name, 1);
        return ERROR_ACCESS_DENIED;
      }
    }
  }
  volume_->SyncDirectoryGrowth(target);
  if (across) volume_->SettleDirectoryGrowth(parent_);
  {
    std::lock_guard lock(mu_);
    entry_.name = moved.name;
    parent_ = target;
  }
  // The row in the new folder names the entry as it stood when it was copied.
  if (across) identity_.store(PackIdentity(moved.type, moved.disk, moved.file));
  if (volume_->GetHistoryFlag()) pending_history_.fetch_or(across ? kPendingMoved : kPendingRenamed);
  volume_->SettleDirectoryGrowth(target);
  return ERROR_SUCCESS;
}

Win32Error CFileObject::History(std::u16string_view target, const CHistoryLog::ReplyHeaderSender& reply,
                                const std::filesystem::path& run_dir) {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  if (!log_.IsOpen()) {
    const DirEntryRecord e = entry();
    if (e.hdisk == kNoHistoryDisk && e.hfile == kNoHistoryFile) return ERROR_FILE_NOT_FOUND;
    if (const Win32Error r = log_.Open(e.hdisk, e.hfile); r != 0) return r;
  }
  return log_.Export(target, reply, run_dir);
}

// ---- recording ----

Win32Error CFileObject::ConvertToIndex() {
  IDiscRecorder* engine = volume_->GetDiscEngine();
  const uint8_t disc = engine->CurrentDisc();
  uint32_t number = volume_->NextFileNumber();
  std::filesystem::path path;
  if (const Win32Error e = volume_->CreateCacheFile(CK_IND, disc, &number, this, &path); e != 0) return e;
  auto index = std::make_unique<CExtentIndexDb>(volume_->GetCacheStore()->clock());
  if (index->Create(platform::Utf8ToUtf16(path.string())) != SQLITE_OK) {
    volume_->UnpinAndDeleteCacheFile(CK_IND, disc, number, this);
    return ERROR_ACCESS_DENIED;
  }
  int64_t first;
  uint8_t old_disc;
  uint32_t old_file;
  {
    std::lock_guard lock(mu_);
    first = std::min(recording_.recorded_length, eof_);
    old_disc = entry_.disk;
    old_file = entry_.file;
  }
  // What the file's own disc file holds becomes the first extent.
  if (first > 0 && !index->InsertExtent(ExtentRecord{0, old_disc, old_file, 0, first})) {
    index->Close();
    volume_->UnpinAndDeleteCacheFile(CK_IND, disc, number, this);
    return ERROR_ACCESS_DENIED;
  }
  std::lock_guard lock(mu_);
  index_ = std::move(index);
  index_disc_ = disc;
  index_file_ = number;
  entry_.disk = disc;
  entry_.file = number;
  entry_.type = static_cast<uint8_t>((entry_.type & ~ENTRY_KIND_MASK) | ENTRY_KIND_EXTENTS);
  index_created_ = true;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::WriteRun(const FileSegment& s, int64_t from, int64_t count, int64_t* written) {
  // Copies [from, from + count) of the segment onto the disc file in progress,
  // a window at a time. Writes that start on a sector boundary go out as whole
  // sectors; the file's length is then set back to its true length.
  IDiscRecorder* engine = volume_->GetDiscEngine();
  *written = 0;
  platform::File piece;
  if (const Win32Error e = volume_->GetCacheStore()->OpenCacheFile(CK_DAT, s.disc, s.file, s.piece, &piece); e != 0) {
    return e;
  }
  std::vector<uint8_t> buffer(kWindowBytes);
  while (*written < count) {
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(kWindowBytes, count - *written));
    const uint64_t at = s.piece_offset + static_cast<uint64_t>(from - s.start + *written);
    uint32_t got = 0;
    if (const Win32Error e = piece.ReadAt(at, buffer.data(), n, &got); e != 0) return e;
    if (got < n) std::memset(buffer.data() + got, 0, n - got);
    const bool aligned = recording_.in_disc_file % kSectorBytes == 0;
    const uint32_t out = aligned ? static_cast<uint32_t>(RoundUp(n)) : n;
    if (out > n) std::memset(buffer.data() + n, 0, out - n);
    uint32_t done = 0;
    const Win32Error e = engine->WriteData(buffer.data(), out, &done);
    const uint32_t data = std::min(done, n);
    if (e == 0 && aligned && out != n) engine->SetDataLength(static_cast<uint64_t>(recording_.in_disc_file + n));
    if (e != 0 && done != 0) engine->SetDataLength(static_cast<uint64_t>(recording_.in_disc_file + data));
    recording_.in_disc_file += data;
    *written += data;
    if (e != 0) return e;
  }
  return ERROR_SUCCESS;
}

Win32Error CFileObject::RecordSegment(const FileSegment& s) {
  IDiscRecorder* engine = volume_->GetDiscEngine();
  int64_t from = s.start;
  int64_t left = s.length;
  while (left > 0) {
    uint8_t kind;
    {
      std::lock_guard lock(mu_);
      kind = Kind(entry_);
    }
    const uint8_t disc = engine->CurrentDisc();
    int64_t written = 0;
    Win32Error e;
    // A kind-0 file stays one run from offset 0 in its own disc file while the
    // run reaches the recorded end and that disc file is on the current disc:
    // the disc file is cut back to the run's start and the run written on.
    const bool fresh = recording_.recorded_length == 0 && !recording_started_;
    if (kind == ENTRY_KIND_FILE && from <= recording_.recorded_length && from + left >= recording_.recorded_length &&
        (fresh || (recording_.disc == disc && entry_.disk == disc))) {
      if (fresh) {
        std::lock_guard lock(mu_);
        entry_.disk = disc;  // nothing recorded yet: the file takes the current disc
      }
      e = engine->BeginDataFile(CK_DAT, entry_.file, fresh);
      if (e == platform::ERROR_FILE_EXISTS) e = engine->BeginDataFile(CK_DAT, entry_.file, false);
      // A file that only ever grew by a size change holds zeros the discs never
      // got: its disc file is made now (the zeros come from its length).
      if (!fresh && (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)) {
        e = engine->BeginDataFile(CK_DAT, entry_.file, true);
      }
      if (e == 0) {
        recording_started_ = true;
        recording_.disc = disc;
        recording_.file = entry_.file;
        recording_.in_disc_file = from;
        e = engine->SetDataLength(static_cast<uint64_t>(from));
      }
      const bool cut_back = e == 0;
      if (e == 0) e = WriteRun(s, from, left, &written);
      engine->CloseDataFile();
      std::lock_guard lock(mu_);
      // Cut back to the run's start, the disc file holds what the run wrote
      // after it and nothing more, also when the run stopped part way: the
      // rest of the run waits in its segment.
      if (cut_back) recording_.recorded_length = from + written;
    } else {
      if (kind == ENTRY_KIND_FILE) {
        if (const Win32Error c = ConvertToIndex(); c != 0) return c;
      } else if (const Win32Error c = OpenIndex(); c != 0) {
        return c;
      }
      const uint32_t number = volume_->NextFileNumber();
      e = engine->BeginDataFile(CK_DAT, number, true);
      if (e == 0) {
        recording_started_ = true;
        recording_.disc = disc;
        recording_.file = number;
        recording_.start = from;
        recording_.in_disc_file = 0;
        e = WriteRun(s, from, left, &written);
      }
      engine->CloseDataFile();
      if (written > 0 && !index_->InsertExtent(ExtentRecord{from, disc, number, 0, written})) return ERROR_ACCESS_DENIED;
      std::lock_guard lock(mu_);
      recording_.recorded_length = std::max(recording_.recorded_length, from + written);
    }
    from += written;
    left -= written;
    recording_.position = from;
    if (e == ERROR_DISK_FULL) {
      // The rest goes onto the next disc.
      if (!engine->ChangeDisc(static_cast<uint8_t>(disc + 1))) return ERROR_DISK_FULL;
      continue;
    }
    if (e != 0) return e;
  }
  return ERROR_SUCCESS;
}

Win32Error CFileObject::RecordIndex() {
  CCacheStore* store = volume_->GetCacheStore();
  IDiscRecorder* engine = volume_->GetDiscEngine();
  const std::filesystem::path source(platform::Utf16ToUtf8(index_->Path()));
  for (;;) {
    std::filesystem::path temp;
    if (const Win32Error e = store->NewTempCatalogName(&temp); e != 0) return e;
    if (index_->CheckpointAndLock() != SQLITE_OK) {
      store->DeleteNamedFile(temp.filename().string());
      return ERROR_ACCESS_DENIED;
    }
    // Marked before the copy is taken: a change made meanwhile sets it back to 1.
    index_->SetChangeState(2);
    Win32Error e = platform::CopyFile(source, temp, false);
    index_->Unlock();
    uint8_t new_disc = 0;
    uint32_t new_file = 0;
    const bool on_disc = index_recorded_ || !index_created_;
    if (e == 0) e = engine->RecordCacheFile(CK_IND, index_disc_, index_file_, on_disc, &temp, &new_disc, &new_file);
    store->DeleteNamedFile(temp.filename().string());
    if (e != 0) {
      if (index_->ChangeState() == 2) index_->SetChangeState(1);
      if (e != ERROR_DISK_FULL) return e;
      const uint8_t current = engine->CurrentDisc();
      if (current >= kNoHistoryDisk - 1 || !engine->ChangeDisc(static_cast<uint8_t>(current + 1))) return e;
      continue;
    }
    index_recorded_ = true;
    if (index_->ChangeState() == 2) index_->SetChangeState(0);
    if (new_disc == index_disc_ && new_file == index_file_) return ERROR_SUCCESS;
    e = volume_->RenameCacheFile(CK_IND, index_disc_, index_file_, new_disc, new_file, this);
    if (e != 0) {
      // The cache copy keeps its old name: record again under a name that matches.
      index_->SetChangeState(1);
      return e;
    }
    std::lock_guard lock(mu_);
    index_disc_ = new_disc;
    index_file_ = new_file;
    entry_.disk = new_disc;
    entry_.file = new_file;
    return ERROR_SUCCESS;
  }
}

Win32Error CFileObject::CutRecordedContent() {
  int64_t cut;
  uint8_t kind, disc;
  uint32_t file;
  {
    std::lock_guard lock(mu_);
    cut = cut_at_;
    kind = Kind(entry_);
    disc = entry_.disk;
    file = entry_.file;
  }
  if (cut == kNoLimit) return ERROR_SUCCESS;
  // The discs must not show bytes past the cut once the file grows again:
  // those bytes read as zeros from then on.
  if (kind == ENTRY_KIND_EXTENTS) {
    if (const Win32Error e = OpenIndex(); e != 0) return e;
    ExtentRecord x;
    while (index_->FindExtent(cut, &x)) {
      const int64_t from = std::max(x.start, cut);
      if (!index_->RemoveRange(from, x.start + x.len - from)) return ERROR_ACCESS_DENIED;
    }
  } else {
    IDiscRecorder* engine = volume_->GetDiscEngine();
    Win32Error e = ERROR_FILE_NOT_FOUND;
    if (disc == engine->CurrentDisc()) {
      e = engine->BeginDataFile(CK_DAT, file, false);
      if (e == 0) e = engine->SetDataLength(static_cast<uint64_t>(cut));
      engine->CloseDataFile();
      if (e == ERROR_PATH_NOT_FOUND) e = ERROR_FILE_NOT_FOUND;
    } else {
      // A disc file on an earlier disc stays as it is: an index limits it.
      e = ConvertToIndex();
    }
    if (e != 0 && e != ERROR_FILE_NOT_FOUND) return e;  // none on the discs: nothing to cut
  }
  std::lock_guard lock(mu_);
  cut_at_ = kNoLimit;
  return ERROR_SUCCESS;
}

Win32Error CFileObject::Record() {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  std::lock_guard record(record_mu_);
  // Only a disc close counted after this one keeps what is recorded now.
  const uint64_t closes_before = volume_->DiscCloses();
  std::vector<FileSegment> changed;
  // Whether this recording sends anything to the discs (a cut, content, the
  // index): only then does it wait for a disc close. A new empty file sends
  // nothing, and a close that finds nothing written commits nothing.
  bool sent;
  {
    std::lock_guard lock(mu_);
    sent = cut_at_ != kNoLimit;
    for (FileSegment& s : segments_) {
      if (s.state == FileSegment::kChanged) {
        s.state = FileSegment::kRecording;
        changed.push_back(s);
      }
    }
  }
  if (changed.empty() && !needs_recording_) {
    // Nothing to record; a closed file still gives back the pieces of what
    // was recorded while it was open, once the discs keep it.
    std::unique_lock lock(mu_);
    if (!open_ && !awaits_disc_close_) DropRecordedSegments();
    return ERROR_RETRY;
  }
  Win32Error result = CutRecordedContent();
  if (result != 0) {
    std::lock_guard lock(mu_);
    for (FileSegment& s : segments_) {
      if (s.state == FileSegment::kRecording) s.state = FileSegment::kChanged;
    }
    return result;
  }
  for (const FileSegment& s : changed) {
    std::unique_lock lock(mu_);
    auto it = std::find(segments_.begin(), segments_.end(), s);
    if (it == segments_.end()) continue;  // cut away by a later write
    if (it->busy) WaitNotBusy(lock, it);
    it = std::find(segments_.begin(), segments_.end(), s);
    if (it == segments_.end()) continue;
    it->busy = 1;  // keeps the piece from being cut while it is copied
    lock.unlock();
    sent = true;
    result = RecordSegment(s);
    lock.lock();
    it->busy = 0;
    busy_cv_.notify_all();
    if (result != 0) {
      if (it->state == FileSegment::kRecording) it->state = FileSegment::kChanged;
      break;
    }
    if (it->state == FileSegment::kRecording) {
      it->state = FileSegment::kRecorded;
      volume_->AddPendingBytes(-RoundUp(it->length));
    }
  }
  std::unique_lock lock(mu_);
  // A segment that a write cut while it waited its turn was not recorded (the
  // part of it left keeps its old bytes): it waits for the next recording.
  for (FileSegment& s : segments_) {
    if (s.state == FileSegment::kRecording) s.state = FileSegment::kChanged;
  }
  if (result != 0) return result;
  // A file cut shorter than its recorded content: the extents beyond go.
  if (index_ && recording_.recorded_length > eof_) {
    ExtentRecord x;
    while (index_->FindExtent(eof_, &x) && x.start + x.len > eof_) {
      const int64_t from = std::max(x.start, eof_);
      if (!index_->RemoveRange(from, x.start + x.len - from)) break;
    }
  }
  recording_.recorded_length = std::min(recording_.recorded_length, eof_);
  // The index goes onto the discs with the content it maps: without it the
  // entry names nothing there once the cache lets its copy go.
  if (index_ && index_->ChangeState() == 1) {
    lock.unlock();
    sent = true;
    result = RecordIndex();
    lock.lock();
    if (result != 0) {
      needs_recording_ = true;
      return result;
    }
  }
  // What was recorded is on the discs only once the disc is closed (its
  // volume written back): until then the pieces stay, and a closed file lets
  // them go at DiscClosed.
  if (sent) {
    awaits_disc_close_ = true;
    recorded_after_closes_ = closes_before;
  }
  const bool still_changed = std::any_of(segments_.begin(), segments_.end(),
                                         [](const FileSegment& s) { return s.state == FileSegment::kChanged; });
  needs_recording_ = still_changed;
  new_file_ = false;
  if (!still_changed) content_changed_.store(false);
  lock.unlock();
  record_cv_.notify_all();
  return UpdateRow();
}

// ---- resume ----

Win32Error CFileObject::SaveState(IDataStream& stream) {
  if (!have_entry_) return ERROR_INVALID_PARAMETER;
  FileResumeState s;
  {
    std::lock_guard lock(mu_);
    s.type = entry_.type;
    s.disc = entry_.disk;
    s.file = entry_.file;
    s.parent_reference = volume_->ReferenceOfCatalog(parent_);
    s.piece_bytes = piece_bytes_;
    s.end_of_file = eof_;
    s.accounted_size = accounted_.load();
    s.recording = recording_;
    s.flags = static_cast<uint8_t>((content_changed_.load() ? FileResumeState::kContentChanged : 0) |
                                   (new_file_ ? FileResumeState::kNewFile : 0) |
                                   (recording_started_ ? FileResumeState::kRecordingStarted : 0) |
                                   (index_created_ ? FileResumeState::kIndexCreated : 0) |
                                   (needs_recording_ ? FileResumeState::kNeedsRecording : 0) |
                                   (index_ && index_->ChangeState() == 1 ? FileResumeState::kIndexChanged : 0));
    s.segments.assign(segments_.begin(), segments_.end());
    for (FileSegment& seg : s.segments) seg.busy = 0;
    s.entry = entry_;
    s.entry.size = eof_;
  }
  return WriteFileResumeState(stream, s) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

Win32Error CFileObject::LoadState(IDataStream& stream) {
  if (have_entry_) return ERROR_INVALID_PARAMETER;
  FileResumeState s;
  if (const Win32Error e = ReadFileResumeState(stream, &s); e != 0) return e;
  CDirectoryDb* parent = volume_->CatalogOfReference(s.parent_reference);
  const uint64_t identity = IdentityInRow(parent, s.entry.name, s.type, s.disc, s.file);
  std::lock_guard lock(mu_);
  entry_ = s.entry;
  entry_.type = s.type;
  entry_.disk = s.disc;
  entry_.file = s.file;
  identity_.store(identity);
  have_entry_ = true;
  parent_ = parent;
  opened_disc_ = s.disc;
  opened_file_ = s.file;
  eof_ = s.end_of_file;
  accounted_.store(s.accounted_size);
  if (s.accounted_size != 0) volume_->AddMetadataBytes(s.accounted_size);
  piece_bytes_ = s.piece_bytes;
  recording_ = s.recording;
  content_changed_.store((s.flags & FileResumeState::kContentChanged) != 0);
  new_file_ = (s.flags & FileResumeState::kNewFile) != 0;
  recording_started_ = (s.flags & FileResumeState::kRecordingStarted) != 0;
  index_created_ = (s.flags & FileResumeState::kIndexCreated) != 0;
  needs_recording_ = (s.flags & FileResumeState::kNeedsRecording) != 0;
  segments_.clear();
  piece_counter_ = 0;
  for (FileSegment seg : s.segments) {
    // A recording the service did not finish is done again.
    if (seg.state == FileSegment::kRecording) seg.state = FileSegment::kChanged;
    seg.busy = 0;
    if (seg.disc == entry_.disk && seg.file == entry_.file) piece_counter_ = std::max(piece_counter_, seg.piece + 1);
    if (seg.state == FileSegment::kChanged) volume_->AddPendingBytes(RoundUp(seg.length));
    volume_->AddCachedBytes(seg.length);
    segments_.push_back(seg);
  }
  closed_before_ = true;
  open_ = false;
  return ERROR_SUCCESS;
}

uint64_t CFileObject::IdentityInRow(CDirectoryDb* parent, const std::u16string& name, uint8_t type, uint8_t disc,
                                    uint32_t file) {
  // Opens by name find the object by what the parent's row names; a recording
  // that stopped before it wrote the row left the row behind the saved entry.
  if (parent != nullptr) {
    DirEntryRecord row;
    row.name = name;
    EntryLock entry_lock(volume_);
    if (parent->GetEntry(&row) && ((row.type ^ type) & ENTRY_STREAM) == 0) {
      return PackIdentity(row.type, row.disk, row.file);
    }
  }
  return PackIdentity(type, disc, file);
}

void CFileObject::AttachParent(CDirectoryDb* parent) {
  DirEntryRecord e = entry();
  const uint64_t identity = IdentityInRow(parent, e.name, e.type, e.disk, e.file);
  std::lock_guard lock(mu_);
  parent_ = parent;
  identity_.store(identity);
}

size_t CFileObject::ResumeAfterInterruption() {
  std::lock_guard lock(mu_);
  size_t gone = 0;
  bool again = false;
  for (auto it = segments_.begin(); it != segments_.end();) {
    std::filesystem::path present;
    std::error_code ec;
    if (volume_->GetCacheStore()->CacheFilePath(CK_DAT, it->disc, it->file, it->piece, &present) &&
        std::filesystem::exists(present, ec)) {
      // Recorded content whose disc was perhaps not closed since is recorded
      // again: the discs keep it only once closed.
      if (it->state == FileSegment::kRecorded) {
        it->state = FileSegment::kChanged;
        volume_->AddPendingBytes(RoundUp(it->length));
        again = true;
      }
      ++it;
      continue;
    }
    if (it->state != FileSegment::kRecorded) volume_->AddPendingBytes(-RoundUp(it->length));
    volume_->AddCachedBytes(-int64_t{it->length});
    it = segments_.erase(it);
    ++gone;
  }
  if (again) {
    content_changed_.store(true);
    needs_recording_ = true;
  } else if (gone > 0 && segments_.empty()) {
    content_changed_.store(false);
    needs_recording_ = false;
  }
  return gone;
}

}  // namespace kelva::storage
