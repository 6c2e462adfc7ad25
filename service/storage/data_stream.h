// IDataStream: the two-operation stream through which directory and file objects
// write and read their resume records; CCacheDataStream: its buffered
// implementation over an open file, with a 4096-byte buffer; CMemoryDataStream:
// one over bytes in memory.
//
// A CCacheDataStream is used by one thread at a time and does not own the file.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/digest.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace kelva::storage {

using platform::Win32Error;

class IDataStream {
 public:
  virtual ~IDataStream() = default;
  // Reads exactly length bytes; false when the stream ends first or on error.
  virtual bool Read(void* buffer, uint32_t length) = 0;
  // Appends length bytes; false on a failed or short write.
  virtual bool Write(const void* buffer, uint32_t length) = 0;
};

// Reads from the start of the bytes it was given; writes append to them.
class CMemoryDataStream : public IDataStream {
 public:
  CMemoryDataStream() = default;
  explicit CMemoryDataStream(std::string bytes) : bytes_(std::move(bytes)) {}
  bool Read(void* buffer, uint32_t length) override {
    if (bytes_.size() - at_ < length) return false;
    std::memcpy(buffer, bytes_.data() + at_, length);
    at_ += length;
    return true;
  }
  bool Write(const void* buffer, uint32_t length) override {
    bytes_.append(static_cast<const char*>(buffer), length);
    return true;
  }
  const std::string& bytes() const { return bytes_; }
  size_t consumed() const { return at_; }

 private:
  std::string bytes_;
  size_t at_ = 0;
};

class CCacheDataStream : public IDataStream {
 public:
  static constexpr uint32_t kBufferSize = 4096;

  // The stream starts at the file's current position. REQUIRES: file outlives
  // the stream.
  explicit CCacheDataStream(platform::File* file) : file_(file) {}
  CCacheDataStream(const CCacheDataStream&) = delete;
  CCacheDataStream& operator=(const CCacheDataStream&) = delete;

  bool Read(void* buffer, uint32_t length) override;
  // Written bytes are collected and go to the file whenever 4096 or more are held.
  bool Write(const void* buffer, uint32_t length) override;
  // Writes whatever is buffered. False on a failed or short write.
  bool Flush();
  // Moves to an absolute offset of the file (buffered writes are flushed first,
  // read-ahead is dropped).
  bool Seek(uint64_t offset);
  // The MD5 digest of the file's bytes [offset, offset + length), read in pieces
  // of 4096 bytes through the stream's buffer. Buffered writes are flushed first;
  // afterwards the file is positioned after the range. False when the range goes
  // past the end of the file or on error.
  bool Md5(uint64_t offset, uint64_t length, platform::Md5Digest* out);

  // Error of the last failed file operation (0 when none).
  Win32Error last_error() const { return last_error_; }

 private:
  enum class Mode { kIdle, kReading, kWriting };
  // Drops read-ahead, moving the file back to the stream's logical position.
  bool DropReadAhead();

  platform::File* file_;
  Mode mode_ = Mode::kIdle;
  uint32_t count_ = 0;   // bytes held in buffer_
  uint32_t cursor_ = 0;  // next byte to read (reading mode)
  std::array<uint8_t, kBufferSize> buffer_{};
  Win32Error last_error_ = platform::ERROR_SUCCESS;
};

}  // namespace kelva::storage
