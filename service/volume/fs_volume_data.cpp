// The data operations of CFsVolume: read, write, allocation and end of file,
// the per-file flush and the copy of a recorded file version.
//
// Reads and writes count themselves (reads and writes in progress, active
// operations) and set the ticks the background writer watches: a read that
// may need the discs sets the uncached-read tick, which keeps the writer off
// the drive for the read window.
#include <algorithm>
#include <new>
#include <vector>

#include "platform/text.h"
#include "service/storage/catalog_extent.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_DISK_FULL;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_INVALID_PARAMETER;
using platform::ERROR_NOT_ENOUGH_MEMORY;
using platform::ERROR_PATH_NOT_FOUND;
using platform::ERROR_READ_FAULT;
using platform::ERROR_WRITE_PROTECT;

constexpr uint32_t kLocationBadBit = 0x40000000;
constexpr uint32_t kLocationIndexBit = 0x80000000;
constexpr uint32_t kCopyChunk = 1048576;
constexpr uint64_t kStreamBit = uint64_t{storage::ENTRY_STREAM} << 40;

uint32_t ExtractStatus(Win32Error e) {
  switch (e) {
    case 0:
      return kExtractDone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return kExtractNotFound;
    case ERROR_NOT_ENOUGH_MEMORY:
      return kExtractNoMemory;
    case ERROR_INVALID_PARAMETER:
      return kExtractBadLocation;
    default:
      return kExtractFailed;
  }
}

}  // namespace

Win32Error CFsVolume::ReadEntry(EntryRef* context, int64_t offset, uint32_t length, void* buffer, uint32_t* done) {
  *done = 0;
  FileRef* ref = AsFile(context);
  if (ref == nullptr || ref->object == nullptr) return ERROR_INVALID_PARAMETER;
  active_ops_.fetch_add(1);
  reads_.fetch_add(1);
  op_lock_.ReadLock();
  storage::CFileObject* file = ref->object->file();
  const bool cached = file->FullyCached();
  const Win32Error e = file->Read(offset, length, buffer, done);
  const uint64_t now = clock_.NowMs();
  last_activity_ = now;
  if (!cached) last_uncached_read_ = now;
  if (active_ops_.fetch_sub(1) <= 1) WakeWriterAfterOperations();
  reads_.fetch_sub(1);
  op_lock_.ReadUnlock();
  return e;
}

Win32Error CFsVolume::WriteEntry(EntryRef* context, int64_t offset, uint32_t length, const void* buffer,
                                 uint32_t* written) {
  *written = 0;
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  FileRef* ref = AsFile(context);
  if (ref == nullptr || ref->object == nullptr) return ERROR_INVALID_PARAMETER;
  active_ops_.fetch_add(1);
  writes_.fetch_add(1);
  op_lock_.ReadLock();
  const Win32Error e = ref->object->file()->Write(offset, length, buffer, written);
  const uint64_t now = clock_.NowMs();
  last_activity_ = now;
  last_write_ = now;
  if (active_ops_.fetch_sub(1) <= 1) WakeWriterAfterOperations();
  writes_.fetch_sub(1);
  op_lock_.ReadUnlock();
  return e;
}

Win32Error CFsVolume::SetEntryAllocation(EntryRef* context, int64_t size) {
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  FileRef* ref = AsFile(context);
  if (ref == nullptr || ref->object == nullptr) return ERROR_INVALID_PARAMETER;
  OperationFrame frame(*this);
  return ref->object->file()->SetAllocation(size);
}

Win32Error CFsVolume::SetEntryEnd(EntryRef* context, int64_t size) {
  if (RefusesChanges()) return ERROR_WRITE_PROTECT;
  FileRef* ref = AsFile(context);
  if (ref == nullptr || ref->object == nullptr) return ERROR_INVALID_PARAMETER;
  OperationFrame frame(*this);
  return ref->object->file()->SetEndOfFile(size);
}

void CFsVolume::SettleEntry(EntryRef* context) {
  if (context == nullptr || context->kind != kRefFile) return;
  FileRef* ref = AsFile(context);
  if (ref != nullptr && ref->object != nullptr) JournalFile(ref);
}

Win32Error CFsVolume::FlushEntry(EntryRef* context) {
  if (context == nullptr) return 0;
  FileRef* ref = AsFile(context);
  if (ref == nullptr || ref->object == nullptr) return ERROR_INVALID_PARAMETER;
  // Not under the operation lock: a flush may wait for nothing the archive run holds.
  active_ops_.fetch_add(1);
  Win32Error e = ref->object->file()->FlushPiece();
  if (e == ERROR_DISK_FULL) ReportCacheShortage();
  // The file's row and every other catalog change made so far become durable
  // with its content, and so does the file's record in the journal.
  if (e == 0) {
    JournalFile(ref);
    if (storage::CCatalogDb::SyncPendingCommits() != 0 || !SyncJournal()) e = platform::ERROR_WRITE_FAULT;
  }
  EndOperation();
  return e;
}

Win32Error CFsVolume::ExtractFromDiscs(bool indexed, uint8_t disc, uint32_t file, int64_t size,
                                       platform::File& out) {
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(kCopyChunk);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (recorder_ == nullptr) return ERROR_ACCESS_DENIED;
  if (!indexed) {
    Win32Error e = 0;
    BeginForegroundDisc();
    recorder_->LockIo();
    for (int64_t pos = 0; pos < size;) {
      const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(kCopyChunk, size - pos));
      uint32_t got = 0;
      e = recorder_->ReadData(storage::CK_DAT, disc, file, static_cast<uint64_t>(pos), buffer.data(), want, &got);
      if (e != 0 || got == 0) break;
      if ((e = out.WriteAllAt(static_cast<uint64_t>(pos), buffer.data(), got)) != 0) break;
      pos += got;
    }
    recorder_->UnlockIo();
    EndForegroundDisc();
    return e;
  }

  // The extent index names where each range of the file lies on the discs.
  const int owner = 0;
  if (const Win32Error e = PinCacheFile(storage::CK_IND, disc, file, &owner, true); e != 0) return e;
  std::filesystem::path path;
  storage::CExtentIndexDb index(clock_);
  if (!cache_ || !cache_->CacheFilePath(storage::CK_IND, disc, file, 0, &path) ||
      index.Open(platform::Utf8ToUtf16(path.string())) != 0) {
    UnpinCacheFile(storage::CK_IND, disc, file, &owner, false);
    return ERROR_ACCESS_DENIED;
  }
  Win32Error e = 0;
  BeginForegroundDisc();
  recorder_->LockIo();
  int64_t pos = 0;
  storage::ExtentRecord x;
  // A gap before an extent, and everything after the last, stay zero: the
  // destination was sized beforehand.
  while (e == 0 && pos < size && index.FindExtent(pos, &x) == 1) {
    if (x.start > pos) pos = x.start;
    const int64_t end = std::min(x.start + x.len, size);
    while (pos < end) {
      const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(kCopyChunk, end - pos));
      uint32_t got = 0;
      e = recorder_->ReadData(storage::CK_DAT, x.disk, x.file, static_cast<uint64_t>(x.off + (pos - x.start)),
                              buffer.data(), want, &got);
      if (e == 0 && got < want) e = ERROR_READ_FAULT;
      if (e == 0) e = out.WriteAllAt(static_cast<uint64_t>(pos), buffer.data(), got);
      if (e != 0) break;
      pos += got;
    }
    if (x.len <= 0) break;  // a damaged index cannot hold the walk
  }
  recorder_->UnlockIo();
  EndForegroundDisc();
  index.Close();
  UnpinCacheFile(storage::CK_IND, disc, file, &owner, true);
  return e;
}

uint32_t CFsVolume::ExtractFileVersion(uint8_t disc, uint32_t location, int64_t size,
                                       const std::filesystem::path& destination) {
  if ((location & kLocationBadBit) != 0) return kExtractBadLocation;
  if (size < 0) return kExtractBadLocation;
  const bool indexed = (location & kLocationIndexBit) != 0;
  const uint32_t file = location & ~(kLocationBadBit | kLocationIndexBit);
  OperationFrame frame(*this);

  // A file that is open here writes its current content.
  const uint64_t wanted =
      storage::CFileObject::PackIdentity(indexed ? storage::ENTRY_KIND_EXTENTS : storage::ENTRY_KIND_FILE, disc, file);
  FileRef* open = nullptr;
  LockCatalogShared();
  {
    storage::ReadGuard g(file_lock_);
    std::lock_guard q(file_queue_mu_);
    for (auto& f : files_) {
      if (f->object != nullptr && (f->object->file()->identity() & ~kStreamBit) == wanted &&
          f->state != kQueueTaken && !f->closing.load()) {
        f->refs.fetch_add(1);
        open = f.get();
        break;
      }
    }
  }
  UnlockCatalogShared();

  platform::File out;
  Win32Error e = platform::File::Open(destination, platform::kAccessWrite, platform::Disposition::kCreateAlways, &out);
  if (e == 0) e = out.Truncate(static_cast<uint64_t>(size));
  if (e == 0) e = out.Seek(0);
  if (e == 0 && open != nullptr) {
    std::vector<uint8_t> buffer;
    try {
      buffer.resize(kCopyChunk);
    } catch (const std::bad_alloc&) {
      e = ERROR_NOT_ENOUGH_MEMORY;
    }
    for (int64_t pos = 0; e == 0 && pos < size;) {
      const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(kCopyChunk, size - pos));
      uint32_t got = 0;
      e = open->object->file()->Read(pos, want, buffer.data(), &got);
      if (e != 0 || got == 0) break;
      e = out.WriteAllAt(static_cast<uint64_t>(pos), buffer.data(), got);
      pos += got;
    }
  } else if (e == 0) {
    e = ExtractFromDiscs(indexed, disc, file, size, out);
  }
  if (open != nullptr) ReleaseFile(open);
  out.Close();
  if (e != 0) platform::DeleteFile(destination);
  return ExtractStatus(e);
}

}  // namespace kelva::volume
