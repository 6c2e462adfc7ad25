// A magazine of the simulated unit, kept in a folder:
//   magazine.txt           the manifest: the RFID tag (type, capacity, identifier,
//                          label, write-protect), the parameter area (current disc,
//                          host memo, format counter) and per disc its medium kind,
//                          status, tracks and pseudo-overwrite resources;
//   disc00.img..disc11.img raw images, 2048-byte sectors from LBA 0, sparse, so
//                          that any UDF reader can open one directly;
//   discNN-infoK.bin       the disc information block of kind K the unit keeps
//                          for disc NN.
// Not thread safe: the owning unit serialises access.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"

namespace kelva::emulator {

inline constexpr int kSlotCount = 12;
inline constexpr uint32_t kSectorSize = 2048;
inline constexpr uint16_t kProfileBdR = 0x0041;   // sequential recording
inline constexpr uint16_t kProfileBdRe = 0x0043;
inline constexpr uint8_t kTypeRewritable = 0x21;
inline constexpr uint8_t kTypeRecordable = 0x22;

// Capacity codes of the tag and the product disc size they stand for.
// 1: 300 GB magazine (25 GB discs), 2: 600 GB (50 GB), 3: 1.2 TB (100 GB).
uint8_t CapacityCodeFromGigabytes(uint32_t gigabytes);  // 0 when unknown
uint64_t ProductDiscSectors(uint8_t capacity_code);     // 0 when unknown

// Pseudo-overwrite resources a fresh recordable disc starts with: spare
// replacements (sectors), reallocation map entries, update count.
inline constexpr uint32_t kDefaultPowResources[3] = {131072, 32768, 1048576};

struct SimTrack {
  uint32_t start = 0;
  uint32_t size = 0;
  uint32_t next_writable = 0;
  bool nwa_valid = true;
  uint32_t End() const { return start + size; }
  uint32_t FreeBlocks() const { return nwa_valid ? End() - next_writable : 0; }
};

struct SimDisc {
  uint16_t profile = kProfileBdRe;
  bool formatted = false;
  uint8_t status = 0;  // 0 blank, 1 appendable, 2 complete
  std::vector<SimTrack> tracks;
  uint32_t pow[3] = {kDefaultPowResources[0], kDefaultPowResources[1], kDefaultPowResources[2]};
  std::vector<uint8_t> info[2];  // disc information blocks, empty = none yet
};

struct MagazineSpec {
  uint8_t type = kTypeRewritable;
  uint8_t capacity_code = 1;
  uint64_t disc_sectors = 0;  // 0: the product size of the capacity code
  std::array<uint8_t, 12> id{};
  std::array<uint8_t, 11> label{};
  bool write_protect = false;
};

class Magazine {
 public:
  Magazine() = default;
  Magazine(const Magazine&) = delete;
  Magazine& operator=(const Magazine&) = delete;

  // Creates a new magazine folder (ERROR_ALREADY_EXISTS when it holds one).
  static platform::Win32Error Create(const std::filesystem::path& dir, const MagazineSpec& spec);
  // Opens an existing magazine; ERROR_FILE_NOT_FOUND / ERROR_FILE_CORRUPT.
  platform::Win32Error Open(const std::filesystem::path& dir);
  // Writes the manifest and information blocks when something changed.
  platform::Win32Error Save();
  void MarkDirty() { dirty_ = true; }

  const std::filesystem::path& dir() const { return dir_; }

  // Sector I/O on a disc image; the caller has checked the range.
  platform::Win32Error ReadSectors(int slot, uint32_t lba, uint32_t count, void* buffer);
  platform::Win32Error WriteSectors(int slot, uint32_t lba, uint32_t count, const void* buffer);

  // Tag and parameter area.
  uint8_t type = kTypeRewritable;
  uint8_t capacity_code = 1;
  uint64_t disc_sectors = 0;
  std::array<uint8_t, 12> id{};
  std::array<uint8_t, 11> label{};
  bool write_protect = false;
  uint8_t current_disc = 0;
  bool memo_flag = false;
  uint16_t memo_number = 0;
  std::array<uint8_t, 64> memo{};
  uint16_t format_counter = 0;
  std::array<SimDisc, kSlotCount> discs;

 private:
  platform::Win32Error OpenImage(int slot);

  std::filesystem::path dir_;
  std::array<platform::File, kSlotCount> images_;
  bool dirty_ = false;
};

}  // namespace kelva::emulator
