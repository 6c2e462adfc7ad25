// IDiscRecorder: the requests that directory and file objects hand to the
// volume's disc I/O engine when their cache files go onto the discs. The engine
// implements it over its worker thread; tests give the objects an in-memory disc.
//
// Every call blocks until the engine has carried the request out and returns 0 or
// a Win32 error code. ERROR_DISK_FULL (112) means the current disc has no room:
// the caller moves to the next disc with ChangeDisc and asks again. Thread safe.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/errors.h"
#include "service/storage/cache_store.h"

namespace kelva::storage {

class IDiscRecorder {
 public:
  virtual ~IDiscRecorder() = default;

  // The disc being written (a ChangeDisc that is queued counts).
  virtual uint8_t CurrentDisc() = 0;
  // True while the magazine takes writes.
  virtual bool CanWrite() = 0;
  // Records a cache file onto the current disc under its relative name. The
  // source is the cache file of (kind, disc, file), or the file at source_path
  // when that is given (a catalog copy). on_disc says the identity was recorded
  // before, so the disc copy gets a new number. On success *out_disc and
  // *out_file hold the identity the file now has on the disc.
  // ERROR_WRITE_PROTECT when the engine cannot write, ERROR_DISK_FULL when the
  // disc (and the magazine) has no room.
  virtual Win32Error RecordCacheFile(CacheKind kind, uint8_t disc, uint32_t file, bool on_disc,
                                     const std::filesystem::path* source_path, uint8_t* out_disc,
                                     uint32_t* out_file) = 0;
  // The same for the first 65536 bytes of a history log segment (kind CK_LOG).
  virtual Win32Error RecordLogHead(uint8_t disc, uint32_t file, bool on_disc, uint8_t* out_disc,
                                   uint32_t* out_file) = 0;
  // Makes disc n the current disc. False when n is past the magazine's last disc
  // or the unit could not load it (the magazine is full).
  virtual bool ChangeDisc(uint8_t n) = 0;

  // ---- file content (file objects) ----
  // The unit's I/O lock: a file object holds it across the reads of one range so
  // that its disc reads are not interleaved with other traffic. Re-entrant.
  virtual void LockIo() = 0;
  virtual void UnlockIo() = 0;
  // Reads count bytes at offset of the disc file (kind, disc, file); *done gets
  // the count read (short at the end of the file). ERROR_FILE_NOT_FOUND or
  // ERROR_PATH_NOT_FOUND when the disc has no such file.
  virtual Win32Error ReadData(CacheKind kind, uint8_t disc, uint32_t file, uint64_t offset, void* buffer,
                              uint32_t count, uint32_t* done) = 0;
  // Opens (create false) or creates (create true; ERROR_FILE_EXISTS when taken)
  // the disc file (kind, file) on the current disc as the file in progress; its
  // position is its end.
  virtual Win32Error BeginDataFile(CacheKind kind, uint32_t file, bool create) = 0;
  // Appends to the file in progress; a full disc answers ERROR_DISK_FULL with
  // *done holding what still fitted.
  virtual Win32Error WriteData(const void* data, uint32_t count, uint32_t* done) = 0;
  // Sets the length of the file in progress (its position follows).
  virtual Win32Error SetDataLength(uint64_t length) = 0;
  virtual Win32Error CloseDataFile() = 0;
};

}  // namespace kelva::storage
