#include "service/storage/dir_pack_stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "platform/lznt1.h"

namespace kelva::storage {

namespace pe = platform;
using pe::Win32Error;

struct CDirPackStream::Zlib {
  z_stream z{};
  bool ended = false;  // the stream's end was met (reading)
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kZlibBuffer);
};

CDirPackStream::CDirPackStream(IPackChannel* channel, Mode mode) : channel_(channel), mode_(mode) {}

CDirPackStream::~CDirPackStream() {
  if (zlib_ != nullptr) {
    if (mode_ == Mode::kWrite) deflateEnd(&zlib_->z);
    else inflateEnd(&zlib_->z);
  }
}

Win32Error CDirPackStream::Fail(Win32Error e) {
  if (error_ == pe::ERROR_SUCCESS) error_ = e;
  return error_;
}

Win32Error CDirPackStream::WriteChannel(const uint8_t* data, size_t count) {
  while (count > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, kCopyPiece));
    uint32_t done = 0;
    if (const Win32Error e = channel_->Write(data, n, &done)) return Fail(e);
    if (done != n) return Fail(pe::ERROR_WRITE_FAULT);
    data += n;
    count -= n;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::ReadChannel(uint8_t* buffer, size_t count, size_t* done) {
  *done = 0;
  while (*done < count) {
    const uint32_t want = static_cast<uint32_t>(std::min<size_t>(count - *done, kCopyPiece));
    uint32_t got = 0;
    if (const Win32Error e = channel_->Read(buffer + *done, want, &got)) return Fail(e);
    if (got == 0) break;
    *done += std::min(got, want);
  }
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::SetEncoding(uint32_t encoding) {
  if (error_) return error_;
  if (encoding > kZlib) return Fail(pe::ERROR_NOT_SUPPORTED);
  if (mode_ == Mode::kRead && encoding_ != kPlain && encoding != encoding_) return Fail(pe::ERROR_INVALID_PARAMETER);
  if (encoding == encoding_) return pe::ERROR_SUCCESS;
  if (mode_ == Mode::kWrite) {
    if (const Win32Error e = FinishEncoding()) return e;
  }
  encoding_ = encoding;
  block_.clear();
  block_pos_ = 0;
  lznt1_ended_ = false;
  if (encoding == kZlib) {
    zlib_ = std::make_unique<Zlib>();
    const int rc = mode_ == Mode::kWrite ? deflateInit(&zlib_->z, Z_DEFAULT_COMPRESSION) : inflateInit(&zlib_->z);
    if (rc != Z_OK) {
      zlib_.reset();
      return Fail(pe::ERROR_NOT_ENOUGH_MEMORY);
    }
    if (mode_ == Mode::kWrite) {
      zlib_->z.next_out = zlib_->buffer.data();
      zlib_->z.avail_out = kZlibBuffer;
    }
  }
  return pe::ERROR_SUCCESS;
}

// ---- writing ----

Win32Error CDirPackStream::FlushLznt1Block() {
  if (block_.empty()) return pe::ERROR_SUCCESS;
  packed_.resize(2 + pe::Lznt1MaxCompressedSize(kLznt1Input));
  size_t n = 0;
  if (pe::Lznt1Compress(block_, std::span<uint8_t>(packed_).subspan(2), &n) != pe::ERROR_SUCCESS ||
      n > kLznt1MaxBlock) {
    return Fail(pe::ERROR_WRITE_FAULT);
  }
  packed_[0] = static_cast<uint8_t>(n);
  packed_[1] = static_cast<uint8_t>(n >> 8);
  block_.clear();
  return WriteChannel(packed_.data(), n + 2);
}

Win32Error CDirPackStream::FinishEncoding() {
  if (encoding_ == kLznt1) {
    if (const Win32Error e = FlushLznt1Block()) return e;
    const uint8_t end[2] = {0, 0};
    return WriteChannel(end, 2);
  }
  if (encoding_ == kZlib && zlib_ != nullptr) {
    z_stream& z = zlib_->z;
    z.next_in = nullptr;
    z.avail_in = 0;
    for (;;) {
      const int rc = deflate(&z, Z_FINISH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return Fail(pe::ERROR_WRITE_FAULT);
      const size_t have = kZlibBuffer - z.avail_out;
      if (rc == Z_STREAM_END || z.avail_out == 0) {
        if (const Win32Error e = WriteChannel(zlib_->buffer.data(), have)) return e;
        z.next_out = zlib_->buffer.data();
        z.avail_out = kZlibBuffer;
      }
      if (rc == Z_STREAM_END) break;
    }
    deflateEnd(&z);
    zlib_.reset();
  }
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::Write(const void* data, uint32_t count) {
  if (error_) return error_;
  if (mode_ != Mode::kWrite) return Fail(pe::ERROR_INVALID_FUNCTION);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  switch (encoding_) {
    case kPlain:
      return WriteChannel(p, count);
    case kLznt1:
      while (count > 0) {
        const uint32_t n = std::min<uint32_t>(count, kLznt1Input - static_cast<uint32_t>(block_.size()));
        block_.insert(block_.end(), p, p + n);
        p += n;
        count -= n;
        if (block_.size() == kLznt1Input) {
          if (const Win32Error e = FlushLznt1Block()) return e;
        }
      }
      return pe::ERROR_SUCCESS;
    default: {
      z_stream& z = zlib_->z;
      z.next_in = const_cast<uint8_t*>(p);
      z.avail_in = count;
      while (z.avail_in > 0) {
        if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) return Fail(pe::ERROR_WRITE_FAULT);
        if (z.avail_out == 0) {
          if (const Win32Error e = WriteChannel(zlib_->buffer.data(), kZlibBuffer)) return e;
          z.next_out = zlib_->buffer.data();
          z.avail_out = kZlibBuffer;
        }
      }
      return pe::ERROR_SUCCESS;
    }
  }
}

Win32Error CDirPackStream::Close() {
  if (error_) return error_;
  if (mode_ == Mode::kWrite) {
    if (const Win32Error e = FinishEncoding()) return e;
    encoding_ = kPlain;
  }
  return error_;
}

// ---- reading ----

Win32Error CDirPackStream::NextLznt1Block() {
  uint8_t count_bytes[2];
  size_t got = 0;
  if (const Win32Error e = ReadChannel(count_bytes, 2, &got)) return e;
  if (got == 0) {  // the channel ended where a block could begin
    lznt1_ended_ = true;
    return pe::ERROR_SUCCESS;
  }
  if (got != 2) return Fail(pe::ERROR_READ_FAULT);
  const uint32_t count = count_bytes[0] | (count_bytes[1] << 8);
  if (count == 0) {
    lznt1_ended_ = true;
    return pe::ERROR_SUCCESS;
  }
  if (count > kLznt1MaxBlock) return Fail(pe::ERROR_READ_FAULT);
  packed_.resize(count);
  if (const Win32Error e = ReadChannel(packed_.data(), count, &got)) return e;
  if (got != count) return Fail(pe::ERROR_READ_FAULT);
  block_.resize(kLznt1Input);
  size_t n = 0;
  if (pe::Lznt1Decompress(packed_, block_, &n) != pe::ERROR_SUCCESS) return Fail(pe::ERROR_READ_FAULT);
  block_.resize(n);
  block_pos_ = 0;
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::ReadZlib(uint8_t* out, uint32_t count, uint32_t* done) {
  z_stream& z = zlib_->z;
  z.next_out = out;
  z.avail_out = count;
  while (z.avail_out > 0 && !zlib_->ended) {
    if (z.avail_in == 0) {
      size_t got = 0;
      if (const Win32Error e = ReadChannel(zlib_->buffer.data(), kZlibBuffer, &got)) return e;
      if (got == 0) return Fail(pe::ERROR_READ_FAULT);  // cut short before its end
      z.next_in = zlib_->buffer.data();
      z.avail_in = static_cast<uInt>(got);
    }
    const int rc = inflate(&z, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) zlib_->ended = true;
    else if (rc != Z_OK && rc != Z_BUF_ERROR) return Fail(pe::ERROR_READ_FAULT);
  }
  *done = count - z.avail_out;
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::Read(void* buffer, uint32_t count, uint32_t* done) {
  *done = 0;
  if (error_) return error_;
  if (mode_ != Mode::kRead) return Fail(pe::ERROR_INVALID_FUNCTION);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  switch (encoding_) {
    case kPlain: {
      size_t got = 0;
      if (const Win32Error e = ReadChannel(out, count, &got)) return e;
      *done = static_cast<uint32_t>(got);
      return pe::ERROR_SUCCESS;
    }
    case kLznt1:
      while (*done < count) {
        if (block_pos_ == block_.size()) {
          if (lznt1_ended_) break;
          if (const Win32Error e = NextLznt1Block()) return e;
          continue;
        }
        const size_t n = std::min<size_t>(count - *done, block_.size() - block_pos_);
        std::memcpy(out + *done, block_.data() + block_pos_, n);
        block_pos_ += n;
        *done += static_cast<uint32_t>(n);
      }
      return pe::ERROR_SUCCESS;
    default:
      return ReadZlib(out, count, done);
  }
}

// ---- copies ----

Win32Error CDirPackStream::Unpack(uint64_t length, pe::File& target) {
  std::vector<uint8_t> piece(kCopyPiece);
  while (length > 0) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(length, kCopyPiece));
    uint32_t got = 0;
    if (const Win32Error e = Read(piece.data(), want, &got)) return e;
    if (got != want) return Fail(pe::ERROR_READ_FAULT);
    uint32_t written = 0;
    if (const Win32Error e = target.Write(piece.data(), got, &written)) return e;
    if (written != got) return pe::ERROR_WRITE_FAULT;
    length -= got;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error CDirPackStream::Pack(pe::File& source, uint64_t* bytes) {
  *bytes = 0;
  std::vector<uint8_t> piece(kCopyPiece);
  for (;;) {
    uint32_t got = 0;
    if (const Win32Error e = source.Read(piece.data(), kCopyPiece, &got)) return e;
    if (got == 0) return pe::ERROR_SUCCESS;
    if (const Win32Error e = Write(piece.data(), got)) return e;
    *bytes += got;
  }
}

}  // namespace kelva::storage
