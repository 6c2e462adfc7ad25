// What a volume needs from the unit and the discs beyond its own objects.
//
// IVolumeUnit stands for the unit controller (notices, the read-only answer of
// the disc's file system, the write-held flag); IVolumeDiscs for the disc I/O
// engine as far as the volume itself uses it (disc numbers, capacity, fetching
// a file into the cache, flushing, the clean-close marker). Both are narrow so
// that the volume's tables, accounting and writer run against test doubles as
// well as against the real unit. Implementations are thread safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/errors.h"
#include "platform/filetime.h"
#include "service/storage/cache_store.h"
#include "service/storage/dir_pack_stream.h"

namespace kelva::volume {

class IVolumeUnit {
 public:
  virtual ~IVolumeUnit() = default;
  // Records notice `code` (with its code prefix when with_code) and tells the user.
  virtual void Report(uint32_t code, bool with_code) = 0;
  // True when the disc's file system is mounted read-only.
  virtual bool IsVolumeReadOnly() = 0;
  // Holds back (or releases) writing on the unit while the volume is read-only.
  virtual void SetWriteHeld(bool held) = 0;
};

class IVolumeDiscs {
 public:
  virtual ~IVolumeDiscs() = default;
  virtual uint8_t CurrentDisc() = 0;   // the disc being written (255 unknown)
  virtual uint8_t LoadedDisc() = 0;    // the disc in the drive (255 none)
  virtual uint8_t HighestDisc() = 0;   // the magazine's last disc index
  virtual bool CanWrite() = 0;
  virtual uint64_t DiscCapacity() = 0;     // usable bytes of one disc
  virtual uint64_t CurrentFreeBytes() = 0; // free bytes of the current disc
  virtual bool SplitFlag() = 0;
  // Copies disc file (kind, disc, file) into the cache: 0, 167 while another
  // thread fetches it, 80 when the cache file exists, or the engine's error.
  virtual platform::Win32Error FetchFile(storage::CacheKind kind, uint8_t disc, uint32_t file) = 0;
  // Closes the current disc so that what was recorded becomes durable.
  virtual platform::Win32Error Flush() = 0;
  // The magazine carries the clean-close marker.
  virtual bool CleanMarker() = 0;
  // Asks the unit to set the clean-close marker. 0 or an error.
  virtual platform::Win32Error MarkClean() = 0;
  // Remembers that another computer wrote the magazine last.
  virtual void SetOtherSystem(bool other) = 0;

  // ---- catalog saves and the directory pack (unavailable unless overridden) ----
  // The last-write time of structure catalog `number` on disc. 0 or an error.
  virtual platform::Win32Error CatalogTime(uint8_t /*disc*/, uint32_t /*number*/, platform::FileTime* /*out*/) {
    return platform::ERROR_NOT_SUPPORTED;
  }
  // Opens the directory pack of the current disc: created new for writing, or
  // the existing one for reading. The caller holds the I/O lock until ClosePack.
  virtual platform::Win32Error OpenPack(bool /*for_writing*/, std::unique_ptr<storage::IPackChannel>* /*out*/) {
    return platform::ERROR_NOT_SUPPORTED;
  }
  virtual platform::Win32Error ClosePack() { return 0; }
  // Removes a partly written pack from the disc.
  virtual platform::Win32Error DeletePack() { return platform::ERROR_NOT_SUPPORTED; }
  // Calls found(number) for every file of kind on disc in the 256-number block of file.
  virtual platform::Win32Error ListDisc(storage::CacheKind /*kind*/, uint8_t /*disc*/, uint32_t /*file*/,
                                        const std::function<void(uint32_t)>& /*found*/) {
    return platform::ERROR_NOT_SUPPORTED;
  }
};

}  // namespace kelva::volume
