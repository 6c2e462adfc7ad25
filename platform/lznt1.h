// LZNT1: the chunked LZ77 compression format of the directory packs written by
// the system's other hosts, done here by our own codec.
//
// The stream is a run of chunks, each standing for at most 4096 bytes of data:
// a little-endian uint16 header (bits 0-11 the chunk's size minus 3, counting
// the header; bits 12-14 the signature 3; bit 15 set when the chunk is
// compressed) followed by the chunk's bytes. An uncompressed chunk holds its
// data as it is. A compressed chunk is a series of groups: one flag byte, then
// eight items, each a literal byte (flag bit clear, lowest bit first) or a
// little-endian uint16 back-reference (bit set) whose split into offset and
// length depends on how much of the chunk is already produced: with p bytes
// produced, the offset takes max(4, bits of (p - 1)) high bits (offset - 1) and
// the length the remaining low bits (length - 3). A header of 0, or the end of
// the input, ends the stream.
//
// Both functions are pure and thread safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/errors.h"

namespace kelva::platform {

inline constexpr size_t kLznt1ChunkSize = 4096;

// The most bytes Lznt1Compress can produce for n input bytes (every chunk stored
// uncompressed).
constexpr size_t Lznt1MaxCompressedSize(size_t n) {
  return n + 2 * ((n + kLznt1ChunkSize - 1) / kLznt1ChunkSize);
}

// Compresses in into out; *written gets the bytes produced. Chunks that would
// not shrink are stored uncompressed. No end marker is written.
// ERROR_INSUFFICIENT_BUFFER when out is too small (out's content is then
// unspecified).
Win32Error Lznt1Compress(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* written);

// Decompresses in into out; *written gets the bytes produced. ERROR_INVALID_DATA
// for a malformed stream (a chunk running past the input, a reference before
// the start of its chunk, a compressed chunk producing more than 4096 bytes)
// and for data that does not fit into out. Never reads or writes outside the
// two spans.
Win32Error Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* written);

}  // namespace kelva::platform
