#include "service/storage/data_stream.h"

#include <algorithm>
#include <cstring>

namespace kelva::storage {

using namespace platform;

bool CCacheDataStream::DropReadAhead() {
  if (mode_ != Mode::kReading) return true;
  const uint32_t unread = count_ - cursor_;
  mode_ = Mode::kIdle;
  count_ = cursor_ = 0;
  if (unread == 0) return true;
  uint64_t position = 0;
  Win32Error e = file_->Position(&position);
  if (e == ERROR_SUCCESS) e = file_->Seek(position - unread);
  last_error_ = e;
  return e == ERROR_SUCCESS;
}

bool CCacheDataStream::Flush() {
  if (mode_ != Mode::kWriting) return true;
  uint32_t done = 0;
  const Win32Error e = file_->Write(buffer_.data(), count_, &done);
  const bool ok = e == ERROR_SUCCESS && done == count_;
  if (!ok) last_error_ = e != ERROR_SUCCESS ? e : ERROR_WRITE_FAULT;
  count_ = 0;
  mode_ = Mode::kIdle;
  return ok;
}

bool CCacheDataStream::Write(const void* buffer, uint32_t length) {
  if (mode_ == Mode::kReading && !DropReadAhead()) return false;
  mode_ = Mode::kWriting;
  const auto* src = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    const uint32_t n = std::min(length, kBufferSize - count_);
    std::memcpy(buffer_.data() + count_, src, n);
    count_ += n;
    src += n;
    length -= n;
    if (count_ >= kBufferSize) {
      if (!Flush()) return false;
      mode_ = Mode::kWriting;
    }
  }
  return true;
}

bool CCacheDataStream::Read(void* buffer, uint32_t length) {
  if (mode_ == Mode::kWriting && !Flush()) return false;
  if (mode_ != Mode::kReading) {
    mode_ = Mode::kReading;
    count_ = cursor_ = 0;
  }
  auto* dst = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    if (cursor_ == count_) {
      uint32_t got = 0;
      const Win32Error e = file_->Read(buffer_.data(), kBufferSize, &got);
      cursor_ = 0;
      count_ = got;
      if (e != ERROR_SUCCESS) {
        last_error_ = e;
        return false;
      }
      if (got == 0) return false;  // the file ends before the requested length
    }
    const uint32_t n = std::min(length, count_ - cursor_);
    std::memcpy(dst, buffer_.data() + cursor_, n);
    cursor_ += n;
    dst += n;
    length -= n;
  }
  return true;
}

bool CCacheDataStream::Seek(uint64_t offset) {
  if (!Flush()) return false;
  mode_ = Mode::kIdle;
  count_ = cursor_ = 0;
  const Win32Error e = file_->Seek(offset);
  if (e != ERROR_SUCCESS) last_error_ = e;
  return e == ERROR_SUCCESS;
}

bool CCacheDataStream::Md5(uint64_t offset, uint64_t length, Md5Digest* out) {
  if (!Seek(offset)) return false;
  Digest digest(Digest::Algorithm::kMd5);
  while (length > 0) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(length, kBufferSize));
    uint32_t got = 0;
    const Win32Error e = file_->Read(buffer_.data(), want, &got);
    if (e != ERROR_SUCCESS) last_error_ = e;
    if (e != ERROR_SUCCESS || got != want) return false;
    if (!digest.Update(buffer_.data(), got)) return false;
    length -= got;
  }
  return digest.Final(out->data());
}

}  // namespace kelva::storage
