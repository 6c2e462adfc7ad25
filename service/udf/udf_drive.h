// IUdfDrive: the drive as the UDF formatter sees it. Each method is one command
// (or one short fixed sequence) of the unit's command set and returns its command
// status: 0 when the command completed with GOOD status, otherwise the SCSI
// status and sense bytes composed as (status << 24) | (sense byte 2 << 16) |
// (ASC << 8) | ASCQ, or a Win32 error code when the request could not be sent.
//
// Implementations: the unit's command set over a device handle (unit::UnitDrive,
// with the unit code), a plain image file (ImageDrive), and fakes in tests.
//
// One of two drive seams, each for its own caller: the formatter and the volume
// structure reader need whole drive commands (GET CONFIGURATION, FORMAT UNIT,
// track reservation), while the file system (platform/udf) needs only sectors
// and tracks through ISectorDevice. DriveSectorDevice presents a drive as a
// sector device; SectorDrive presents a sector device as a drive.
// Implementations need not be thread safe; the formatter issues one command at a
// time, and callers serialise access to one drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelva::udf {

inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

// What READ TRACK INFORMATION reports about one track.
struct TrackInfo {
  uint32_t start = 0;
  uint32_t size = 0;
  uint32_t nextWritable = kNoAddress;  // kNoAddress when not valid
  uint32_t freeBlocks = 0;
  bool operator==(const TrackInfo&) const = default;
};

class IUdfDrive {
 public:
  IUdfDrive() = default;
  IUdfDrive(const IUdfDrive&) = delete;
  IUdfDrive& operator=(const IUdfDrive&) = delete;
  virtual ~IUdfDrive() = default;

  virtual uint32_t TestUnitReady() = 0;
  // GET CONFIGURATION (46 02: the one feature at starting_feature and what
  // follows it), allocation length out.size(). The returned bytes are as the
  // drive sent them (big-endian).
  virtual uint32_t GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) = 0;
  // READ CAPACITY: the last logical block address and the block length.
  virtual uint32_t ReadCapacity(uint32_t* last_lba, uint32_t* block_length) = 0;
  // FORMAT UNIT with the parameter list for the given type code (0x21 for
  // rewritable, 0x22 for write-once media).
  virtual uint32_t FormatUnit(uint8_t type_code) = 0;
  virtual uint32_t SynchronizeCache() = 0;
  virtual uint32_t VendorSynchronize() = 0;
  // READ DISC INFORMATION: the number of the last track in the last session.
  virtual uint32_t ReadDiscInformation(uint32_t* last_track) = 0;
  // READ TRACK INFORMATION for track number `track` (1-based).
  virtual uint32_t ReadTrackInformation(uint32_t track, TrackInfo* info) = 0;
  // RESERVE TRACK, reservation by address: a new track starts at `address`.
  virtual uint32_t ReserveTrack(uint32_t address) = 0;
  // READ(10) / WRITE(10) of `blocks` 2048-byte sectors at `lba`.
  // REQUIRES: the buffer holds blocks * 2048 bytes.
  virtual uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) = 0;
  virtual uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) = 0;
};

// Forwards every call to another drive, so that a test or a tool overrides only
// the command it wants to change (a fault to inject, a command to count).
class UdfDriveWrapper : public IUdfDrive {
 public:
  explicit UdfDriveWrapper(IUdfDrive* target) : target_(target) {}

  uint32_t TestUnitReady() override { return target_->TestUnitReady(); }
  uint32_t GetConfiguration(uint16_t f, std::span<uint8_t> out) override {
    return target_->GetConfiguration(f, out);
  }
  uint32_t ReadCapacity(uint32_t* last, uint32_t* bl) override {
    return target_->ReadCapacity(last, bl);
  }
  uint32_t FormatUnit(uint8_t type_code) override { return target_->FormatUnit(type_code); }
  uint32_t SynchronizeCache() override { return target_->SynchronizeCache(); }
  uint32_t VendorSynchronize() override { return target_->VendorSynchronize(); }
  uint32_t ReadDiscInformation(uint32_t* last_track) override {
    return target_->ReadDiscInformation(last_track);
  }
  uint32_t ReadTrackInformation(uint32_t track, TrackInfo* info) override {
    return target_->ReadTrackInformation(track, info);
  }
  uint32_t ReserveTrack(uint32_t address) override { return target_->ReserveTrack(address); }
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
    return target_->Read10(lba, blocks, buffer);
  }
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override {
    return target_->Write10(lba, blocks, buffer);
  }

 protected:
  IUdfDrive* target() const { return target_; }

 private:
  IUdfDrive* target_;
};

}  // namespace kelva::udf
