// The sector device: the seam between the user-space UDF file system and the disc
// it lives on. A device reads and writes whole 2048-byte sectors by logical block
// address; recordable media also report their tracks, so that the file system can
// append at each track's next writable address.
//
// Backends: an image file (ImageSectorDevice, below), the unit's drive through
// READ(10)/WRITE(10) and READ TRACK INFORMATION (built above the unit command
// set), and fakes in tests. This is the file system's seam; the formatter, which
// needs whole drive commands, has its own (service/udf/udf_drive.h), and the two
// are bridged in both directions there. Every method returns 0 or a Win32 error code: 23 for a
// sector the drive cannot read, 21 when the unit is not ready or gone, 19 when the
// medium refuses a write. Implementations must be safe to call from one thread at
// a time; the file system serialises its calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/errors.h"

namespace kelva::udf {

inline constexpr uint32_t kNoWritableAddress = 0xFFFFFFFFu;

// One track of a recordable medium as READ TRACK INFORMATION reports it.
struct SectorTrack {
  uint32_t start = 0;
  uint32_t size = 0;
  uint32_t nextWritable = kNoWritableAddress;  // kNoWritableAddress when not valid
  uint32_t freeBlocks = 0;
  bool operator==(const SectorTrack&) const = default;
};

class ISectorDevice {
 public:
  ISectorDevice() = default;
  ISectorDevice(const ISectorDevice&) = delete;
  ISectorDevice& operator=(const ISectorDevice&) = delete;
  virtual ~ISectorDevice() = default;

  // Number of addressable sectors (last logical block address + 1); 0 when the
  // medium cannot tell.
  virtual uint32_t SectorCount() = 0;
  // REQUIRES: buffer holds count * 2048 bytes.
  virtual platform::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) = 0;
  virtual platform::Win32Error WriteSectors(uint32_t lba, uint32_t count,
                                            const uint8_t* buffer) = 0;
  // Makes everything written so far durable (SYNCHRONIZE CACHE or fsync).
  virtual platform::Win32Error Synchronize() = 0;
  // The tracks of a recordable medium in address order. ERROR_NOT_SUPPORTED when
  // the device has no notion of tracks (image files, rewritable media).
  virtual platform::Win32Error ReadTracks(std::vector<SectorTrack>* tracks) = 0;
};

// Forwards every call, so that a test overrides only the call it injects a fault
// into or counts.
class SectorDeviceWrapper : public ISectorDevice {
 public:
  explicit SectorDeviceWrapper(ISectorDevice* target) : target_(target) {}
  uint32_t SectorCount() override { return target_->SectorCount(); }
  platform::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override {
    return target_->ReadSectors(lba, count, buffer);
  }
  platform::Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override {
    return target_->WriteSectors(lba, count, buffer);
  }
  platform::Win32Error Synchronize() override { return target_->Synchronize(); }
  platform::Win32Error ReadTracks(std::vector<SectorTrack>* tracks) override {
    return target_->ReadTracks(tracks);
  }

 protected:
  ISectorDevice* target() const { return target_; }

 private:
  ISectorDevice* target_;
};

// A disc image file as a sector device: every sector can be read and written (a
// write-once volume in an image is treated like any other; it has no tracks). The
// sector count is the file size / 2048 unless given. Reads past the end fail with
// 23; holes in a sparse file read as zeros.
class ImageSectorDevice : public ISectorDevice {
 public:
  ~ImageSectorDevice() override;

  // Opens an existing image. Returns 0 or the error of open(2), translated.
  static platform::Win32Error Open(const std::filesystem::path& path, bool writable,
                                   std::unique_ptr<ImageSectorDevice>* out);

  uint32_t SectorCount() override { return sectors_; }
  platform::Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override;
  platform::Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override;
  platform::Win32Error Synchronize() override;
  platform::Win32Error ReadTracks(std::vector<SectorTrack>*) override {
    return platform::ERROR_NOT_SUPPORTED;
  }

 private:
  ImageSectorDevice(int fd, uint32_t sectors, bool writable)
      : fd_(fd), sectors_(sectors), writable_(writable) {}
  int fd_;
  uint32_t sectors_;
  bool writable_;
};

}  // namespace kelva::udf
