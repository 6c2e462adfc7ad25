#include "platform/udf/space_bitmap.h"

#include <algorithm>
#include <bit>

#include "platform/udf/bytes.h"

namespace kelva::udf {

SpaceBitmap::SpaceBitmap(uint32_t bits) : words_((bits + 63) / 64, 0), bits_(bits) {}

void SpaceBitmap::Load(std::span<const uint8_t> bytes, uint32_t bits) {
  bits_ = bits;
  words_.assign((static_cast<size_t>(bits) + 63) / 64, 0);
  free_ = 0;
  for (uint32_t w = 0; w < words_.size(); ++w) {
    uint64_t v = 0;
    for (uint32_t b = 0; b < 8; ++b) {
      const size_t at = static_cast<size_t>(w) * 8 + b;
      if (at < bytes.size()) v |= static_cast<uint64_t>(bytes[at]) << (8 * b);
    }
    const uint32_t valid = std::min<uint32_t>(64, bits - w * 64);
    if (valid < 64) v &= (uint64_t{1} << valid) - 1;
    words_[w] = v;
    free_ += static_cast<uint32_t>(std::popcount(v));
  }
  dirty_.clear();
}

std::vector<uint8_t> SpaceBitmap::Bytes() const {
  std::vector<uint8_t> out((static_cast<size_t>(bits_) + 7) / 8, 0);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(words_[i / 8] >> (8 * (i % 8)));
  return out;
}

bool SpaceBitmap::IsFree(uint32_t block) const {
  return block < bits_ && ((words_[block / 64] >> (block % 64)) & 1);
}

bool SpaceBitmap::RangeFree(uint32_t start, uint32_t count) const {
  if (static_cast<uint64_t>(start) + count > bits_) return false;
  return FreeRunAt(start, count) == count;
}

void SpaceBitmap::Grow(uint32_t bits, bool free_new) {
  if (bits <= bits_) return;
  const uint32_t old = bits_;
  words_.resize((static_cast<size_t>(bits) + 63) / 64, 0);
  bits_ = bits;
  if (free_new) MarkFree(old, bits - old);
  Touch(old, bits - old);
}

void SpaceBitmap::MarkUsed(uint32_t start, uint32_t count) {
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(bits_, uint64_t{start} + count));
  for (uint32_t b = start; b < end;) {
    if (b % 64 == 0 && end - b >= 64) {
      free_ -= static_cast<uint32_t>(std::popcount(words_[b / 64]));
      words_[b / 64] = 0;
      b += 64;
      continue;
    }
    const uint64_t mask = uint64_t{1} << (b % 64);
    if (words_[b / 64] & mask) {
      words_[b / 64] &= ~mask;
      --free_;
    }
    ++b;
  }
  if (end > start) Touch(start, end - start);
}

void SpaceBitmap::MarkFree(uint32_t start, uint32_t count) {
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(bits_, uint64_t{start} + count));
  for (uint32_t b = start; b < end;) {
    if (b % 64 == 0 && end - b >= 64) {
      free_ += 64 - static_cast<uint32_t>(std::popcount(words_[b / 64]));
      words_[b / 64] = ~uint64_t{0};
      b += 64;
      continue;
    }
    const uint64_t mask = uint64_t{1} << (b % 64);
    if (!(words_[b / 64] & mask)) {
      words_[b / 64] |= mask;
      ++free_;
    }
    ++b;
  }
  if (end > start) Touch(start, end - start);
}

uint32_t SpaceBitmap::NextFree(uint32_t from) const {
  while (from < bits_) {
    const uint64_t w = words_[from / 64] >> (from % 64);
    if (w) return std::min(bits_, from + static_cast<uint32_t>(std::countr_zero(w)));
    from = (from / 64 + 1) * 64;
  }
  return bits_;
}

uint32_t SpaceBitmap::NextUsed(uint32_t from, uint32_t limit) const {
  limit = std::min(limit, bits_);
  while (from < limit) {
    const uint64_t w = (~words_[from / 64]) >> (from % 64);
    if (w) return std::min(limit, from + static_cast<uint32_t>(std::countr_zero(w)));
    from = (from / 64 + 1) * 64;
  }
  return limit;
}

uint32_t SpaceBitmap::FreeRunAt(uint32_t start, uint32_t max) const {
  if (start >= bits_) return 0;
  const uint64_t limit = std::min<uint64_t>(bits_, uint64_t{start} + max);
  return NextUsed(start, static_cast<uint32_t>(limit)) - start;
}

bool SpaceBitmap::FindRun(uint32_t from, uint32_t min, uint32_t max, uint32_t align,
                          uint32_t* start, uint32_t* count) const {
  if (min == 0) min = 1;
  if (align == 0) align = 1;
  if (from >= bits_) from = 0;
  for (int pass = 0; pass < 2; ++pass) {
    uint32_t at = pass == 0 ? from : 0;
    const uint32_t stop = pass == 0 ? bits_ : from;
    while (at < stop) {
      at = NextFree(at);
      if (at >= stop) break;
      if (at % align) {
        at = (at / align + 1) * align;
        continue;
      }
      const uint32_t run = FreeRunAt(at, max);
      if (run >= min) {
        *start = at;
        *count = run;
        return true;
      }
      at += run;
    }
  }
  return false;
}

void SpaceBitmap::Touch(uint32_t start, uint32_t count) {
  const uint32_t first = (header_ + start / 8) / static_cast<uint32_t>(kSectorSize);
  const uint32_t last = (header_ + (start + count - 1) / 8) / static_cast<uint32_t>(kSectorSize);
  for (uint32_t s = first; s <= last; ++s) dirty_.insert(s);
}

void SpaceBitmap::MarkAllDirty() {
  if (bits_ > 0) Touch(0, bits_);
}

}  // namespace kelva::udf
