#include "platform/lznt1.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace kelva::platform {

namespace {

constexpr uint16_t kCompressedFlag = 0x8000;
constexpr uint16_t kSignature = 0x3000;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxChainSteps = 256;  // the search depth of the compressor
constexpr uint32_t kHashBits = 12;

// The offset shift for a back-reference when p bytes of the chunk are produced
// (p >= 1): 12 while p <= 16, one less for every doubling after that.
uint32_t OffsetShift(uint32_t p) {
  uint32_t shift = 12;
  for (uint32_t i = p - 1; i >= 0x10; i >>= 1) --shift;
  return shift;
}

uint32_t Hash3(const uint8_t* p) {
  const uint32_t v = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Compresses one chunk (n <= 4096 bytes) into dst after its header; returns the
// bytes of compressed data, or 0 when they would reach the limit.
size_t CompressChunk(const uint8_t* src, uint32_t n, uint8_t* dst, size_t limit) {
  std::array<int32_t, 1u << kHashBits> head;
  head.fill(-1);
  std::array<int32_t, kLznt1ChunkSize> prev;

  size_t out = 0;
  size_t flag_at = 0;
  uint32_t items = 8;  // items in the current group; 8 forces a new flag byte
  uint32_t p = 0;
  auto insert = [&](uint32_t at) {
    if (at + kMinMatch > n) return;
    const uint32_t h = Hash3(src + at);
    prev[at] = head[h];
    head[h] = static_cast<int32_t>(at);
  };
  while (p < n) {
    if (items == 8) {
      if (out + 1 > limit) return 0;
      flag_at = out;
      dst[out++] = 0;
      items = 0;
    }
    uint32_t best_len = 0, best_off = 0;
    if (p > 0 && p + kMinMatch <= n) {
      const uint32_t shift = OffsetShift(p);
      const uint32_t max_off = 1u << (16 - shift);
      const uint32_t max_len = std::min<uint32_t>((1u << shift) - 1 + kMinMatch, n - p);
      int32_t cand = head[Hash3(src + p)];
      for (uint32_t steps = 0; cand >= 0 && steps < kMaxChainSteps; ++steps) {
        const uint32_t off = p - static_cast<uint32_t>(cand);
        if (off > max_off) break;  // the chain only gets older
        uint32_t len = 0;
        while (len < max_len && src[cand + len] == src[p + len]) ++len;
        if (len > best_len) {
          best_len = len;
          best_off = off;
          if (len == max_len) break;
        }
        cand = prev[cand];
      }
    }
    if (best_len >= kMinMatch) {
      if (out + 2 > limit) return 0;
      const uint32_t shift = OffsetShift(p);
      const uint16_t token = static_cast<uint16_t>(((best_off - 1) << shift) | (best_len - kMinMatch));
      dst[out++] = static_cast<uint8_t>(token);
      dst[out++] = static_cast<uint8_t>(token >> 8);
      dst[flag_at] = static_cast<uint8_t>(dst[flag_at] | (1u << items));
      for (uint32_t k = 0; k < best_len; ++k) insert(p + k);
      p += best_len;
    } else {
      if (out + 1 > limit) return 0;
      dst[out++] = src[p];
      insert(p);
      ++p;
    }
    ++items;
  }
  return out;
}

}  // namespace

Win32Error Lznt1Compress(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* written) {
  *written = 0;
  size_t at = 0;
  std::vector<uint8_t> scratch(kLznt1ChunkSize + kLznt1ChunkSize / 8 + 8);
  for (size_t pos = 0; pos < in.size(); pos += kLznt1ChunkSize) {
    const uint32_t n = static_cast<uint32_t>(std::min(kLznt1ChunkSize, in.size() - pos));
    // A compressed chunk is kept only when it is smaller than the data itself.
    const size_t packed = CompressChunk(in.data() + pos, n, scratch.data(), n - 1);
    const bool compressed = packed != 0;
    const size_t body = compressed ? packed : n;
    if (out.size() - at < body + 2) return ERROR_INSUFFICIENT_BUFFER;
    const uint16_t header = static_cast<uint16_t>((compressed ? kCompressedFlag : 0) | kSignature |
                                                  ((body + 2 - 3) & 0x0FFF));
    out[at] = static_cast<uint8_t>(header);
    out[at + 1] = static_cast<uint8_t>(header >> 8);
    std::memcpy(out.data() + at + 2, compressed ? scratch.data() : in.data() + pos, body);
    at += body + 2;
  }
  *written = at;
  return ERROR_SUCCESS;
}

Win32Error Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* written) {
  *written = 0;
  size_t ip = 0, op = 0;
  while (ip + 2 <= in.size()) {
    const uint16_t header = static_cast<uint16_t>(in[ip] | in[ip + 1] << 8);
    if (header == 0) break;
    const size_t size = (header & 0x0FFFu) + 1;  // bytes after the header
    ip += 2;
    if (size > in.size() - ip) return ERROR_INVALID_DATA;
    const uint8_t* chunk = in.data() + ip;
    ip += size;
    if ((header & kCompressedFlag) == 0) {
      if (size > out.size() - op) return ERROR_INVALID_DATA;
      std::memcpy(out.data() + op, chunk, size);
      op += size;
      continue;
    }
    const size_t start = op;
    size_t cp = 0;
    while (cp < size) {
      const uint8_t flags = chunk[cp++];
      for (uint32_t bit = 0; bit < 8 && cp < size; ++bit) {
        const size_t produced = op - start;
        if ((flags & (1u << bit)) == 0) {
          if (produced >= kLznt1ChunkSize || op >= out.size()) return ERROR_INVALID_DATA;
          out[op++] = chunk[cp++];
          continue;
        }
        if (cp + 2 > size) return ERROR_INVALID_DATA;
        const uint16_t token = static_cast<uint16_t>(chunk[cp] | chunk[cp + 1] << 8);
        cp += 2;
        if (produced == 0) return ERROR_INVALID_DATA;
        const uint32_t shift = OffsetShift(static_cast<uint32_t>(produced));
        const size_t offset = (token >> shift) + 1u;
        const size_t length = (token & ((1u << shift) - 1)) + kMinMatch;
        if (offset > produced) return ERROR_INVALID_DATA;
        if (produced + length > kLznt1ChunkSize || length > out.size() - op) return ERROR_INVALID_DATA;
        // Byte by byte: a reference may overlap what it produces.
        for (size_t k = 0; k < length; ++k, ++op) out[op] = out[op - offset];
      }
    }
  }
  *written = op;
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
