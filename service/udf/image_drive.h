// ImageDrive: a disc image file seen as a drive, for formatting and inspecting
// images without a unit. The image behaves as a formatted medium of the chosen
// kind that can be written anywhere (rewritable semantics, also for a write-once
// image: its tracks live only in memory). A new or blank write-once image starts
// as one blank track; an existing one holding a volume gets the tracks of its
// layout, written up to its last recorded unit. Holes in a sparse image read as
// zeros.
//
// Not thread safe; one user at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"
#include "service/udf/udf_drive.h"

namespace kelva::udf {

enum class ImageMedia { kBdRe, kBdR };

// The capacity of a single-layer 25 GB BD-RE and of a quad-layer 100 GB BD-R, in bytes.
inline constexpr uint64_t kBdRe25Bytes = 12219392ULL * 2048;
inline constexpr uint64_t kBdR100Bytes = 48878592ULL * 2048;

// Sense value for a command the image refuses: CHECK CONDITION, ILLEGAL REQUEST,
// logical block address out of range.
inline constexpr uint32_t kStatusLbaOutOfRange = 0x02052100;

class ImageDrive : public IUdfDrive {
 public:
  ImageDrive() = default;

  // Opens the image at path, creating a sparse file of size_bytes when it does
  // not exist (size_bytes 0: the full size of the medium kind). The capacity is
  // the file's size in whole sectors. Returns 0 or a Win32 error
  // (ERROR_INVALID_PARAMETER for an image smaller than one 64 KiB unit).
  platform::Win32Error Open(const std::filesystem::path& path, ImageMedia media,
                            uint64_t size_bytes, bool create);

  uint32_t TestUnitReady() override { return 0; }
  uint32_t GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) override;
  uint32_t ReadCapacity(uint32_t* last_lba, uint32_t* block_length) override;
  uint32_t FormatUnit(uint8_t) override { return 0; }
  uint32_t SynchronizeCache() override;
  uint32_t VendorSynchronize() override { return SynchronizeCache(); }
  uint32_t ReadDiscInformation(uint32_t* last_track) override;
  uint32_t ReadTrackInformation(uint32_t track, TrackInfo* info) override;
  uint32_t ReserveTrack(uint32_t address) override;
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override;
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override;

  uint16_t profile() const { return media_ == ImageMedia::kBdRe ? 0x0043 : 0x0041; }
  uint32_t sectors() const { return sectors_; }

 private:
  // An existing write-once image: its tracks as the volume laid them out, each
  // written up to the unit after its last recorded data, so that nothing is
  // appended over recorded sectors.
  void TracksFromVolume();
  bool InRange(uint32_t lba, uint32_t blocks) const {
    return uint64_t{lba} + blocks <= sectors_;
  }

  platform::File file_;
  ImageMedia media_ = ImageMedia::kBdRe;
  uint32_t sectors_ = 0;
  std::vector<TrackInfo> tracks_;
};

}  // namespace kelva::udf
