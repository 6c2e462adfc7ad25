// CDirPackStream: the byte stream of a directory pack ("STRUCT\DIRPACK.BIN" on
// a disc), into which several directory catalogs are written one after the
// other and read back. The stream can change its encoding as it goes (the
// pack's GUID is plain, what follows is compressed):
//   0  plain bytes;
//   1  LZNT1 blocks: each a uint16 byte count (little-endian) and that many
//      bytes of LZNT1 data compressed from at most 16384 bytes of input in
//      4096-byte chunks; a compressed block holds at most 20480 bytes; a count
//      of 0 ends the stream;
//   2  zlib (deflate with a zlib header), written through 36864-byte buffers
//      and finished with Z_FINISH.
// Any other encoding is refused with 50. A stream either writes or reads.
//
// Errors: 29 a short write of the channel, 30 a short or corrupt read (a block
// count above 20480, a block cut short, data that does not decompress), 50 an
// unknown encoding, or the channel's own error. The first error sticks: every
// later call returns it. Not thread safe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"

namespace kelva::storage {

// The bytes under a pack: the disc file in progress, or any file.
class IPackChannel {
 public:
  virtual ~IPackChannel() = default;
  // Reads up to count bytes at the current position; *done 0 at the end.
  virtual platform::Win32Error Read(void* buffer, uint32_t count, uint32_t* done) = 0;
  // Writes count bytes at the current position; *done gets what was written.
  virtual platform::Win32Error Write(const void* data, uint32_t count, uint32_t* done) = 0;
};

class CDirPackStream {
 public:
  enum Encoding : uint32_t { kPlain = 0, kLznt1 = 1, kZlib = 2 };
  enum class Mode { kWrite, kRead };

  static constexpr uint32_t kLznt1Input = 16384;     // input bytes per block
  static constexpr uint32_t kLznt1MaxBlock = 20480;  // compressed bytes per block
  static constexpr uint32_t kZlibBuffer = 0x9000;    // 36864
  static constexpr uint32_t kCopyPiece = 65536;      // Pack / Unpack

  // Starts in encoding 0. Does not own the channel.
  CDirPackStream(IPackChannel* channel, Mode mode);
  ~CDirPackStream();
  CDirPackStream(const CDirPackStream&) = delete;
  CDirPackStream& operator=(const CDirPackStream&) = delete;

  // Switches the encoding of what follows. A writer first finishes what the
  // previous encoding holds (the last LZNT1 block and its end count, the end of
  // the zlib stream). A reader may switch only from plain. 50 for an unknown
  // encoding.
  platform::Win32Error SetEncoding(uint32_t encoding);
  uint32_t encoding() const { return encoding_; }

  // Writes count bytes (all of them, or an error).
  platform::Win32Error Write(const void* data, uint32_t count);
  // Reads up to count bytes; fewer only at the end of the stream.
  platform::Win32Error Read(void* buffer, uint32_t count, uint32_t* done);
  // A writer finishes the current encoding. Returns the stream's first error.
  platform::Win32Error Close();

  // Copies length bytes of the stream into target in pieces of at most 64 KiB;
  // 30 when the stream ends first, 29 when target takes fewer bytes.
  platform::Win32Error Unpack(uint64_t length, platform::File& target);
  // Copies source from its current position to its end into the stream, in
  // pieces of at most 64 KiB; *bytes gets the count.
  platform::Win32Error Pack(platform::File& source, uint64_t* bytes);

 private:
  struct Zlib;

  platform::Win32Error Fail(platform::Win32Error e);
  platform::Win32Error WriteChannel(const uint8_t* data, size_t count);
  // Reads exactly count bytes unless the channel ends; *done gets the count.
  platform::Win32Error ReadChannel(uint8_t* buffer, size_t count, size_t* done);
  platform::Win32Error FlushLznt1Block();
  platform::Win32Error FinishEncoding();
  platform::Win32Error NextLznt1Block();
  platform::Win32Error ReadZlib(uint8_t* out, uint32_t count, uint32_t* done);

  IPackChannel* channel_;
  Mode mode_;
  uint32_t encoding_ = kPlain;
  platform::Win32Error error_ = platform::ERROR_SUCCESS;

  // LZNT1: input gathered for the next block (writing) or the decompressed
  // block being served (reading).
  std::vector<uint8_t> block_;
  size_t block_pos_ = 0;
  bool lznt1_ended_ = false;
  std::vector<uint8_t> packed_;

  std::unique_ptr<Zlib> zlib_;
};

}  // namespace kelva::storage
