// SpaceBitmap: the in-memory form of a UDF space bitmap (a set bit means "free"),
// with the run allocator the file system uses for data and metadata blocks, and
// the record of which 2048-byte sectors of the recorded bitmap changed since they
// were last written.
//
// Not thread safe; the file system's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <vector>

namespace kelva::udf {

class SpaceBitmap {
 public:
  SpaceBitmap() = default;
  // A bitmap of `bits` blocks, all used.
  explicit SpaceBitmap(uint32_t bits);

  // Loads the recorded bitmap bytes (bit i of byte i/8 = block i, LSB first).
  // Bits beyond `bits` are ignored; bytes missing from `bytes` count as used.
  void Load(std::span<const uint8_t> bytes, uint32_t bits);
  // The recorded form, (bits + 7) / 8 bytes.
  std::vector<uint8_t> Bytes() const;

  uint32_t Size() const { return bits_; }
  uint32_t FreeCount() const { return free_; }
  bool IsFree(uint32_t block) const;
  // True when every block of [start, start + count) is free (and inside the map).
  bool RangeFree(uint32_t start, uint32_t count) const;

  // Grows the map to `bits` blocks; the new blocks are marked `free_new`.
  void Grow(uint32_t bits, bool free_new);

  void MarkUsed(uint32_t start, uint32_t count);
  void MarkFree(uint32_t start, uint32_t count);

  // The length of the free run starting at `start`, at most `max`.
  uint32_t FreeRunAt(uint32_t start, uint32_t max) const;
  // Finds the first free run at or after `from` (wrapping to 0), up to `max`
  // blocks long, and with at least `min` blocks unless no such run exists (then
  // the longest shorter run found is not taken: returns false). With `align` > 1
  // the run starts on a multiple of `align`. Does not mark the run used.
  bool FindRun(uint32_t from, uint32_t min, uint32_t max, uint32_t align, uint32_t* start,
               uint32_t* count) const;

  // Byte offsets in the recorded bitmap whose sectors changed: the recorded
  // bitmap is written starting `header` bytes into its first sector.
  const std::set<uint32_t>& DirtySectors() const { return dirty_; }
  void ClearDirty() { dirty_.clear(); }
  void set_header_bytes(uint32_t header) { header_ = header; }
  void MarkAllDirty();

 private:
  void Touch(uint32_t start, uint32_t count);
  uint32_t NextFree(uint32_t from) const;  // bits_ when none
  uint32_t NextUsed(uint32_t from, uint32_t limit) const;

  std::vector<uint64_t> words_;
  uint32_t bits_ = 0;
  uint32_t free_ = 0;
  uint32_t header_ = 0;
  std::set<uint32_t> dirty_;
};

}  // namespace kelva::udf
