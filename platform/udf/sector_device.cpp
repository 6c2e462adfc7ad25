#include "platform/udf/sector_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/udf/bytes.h"

namespace kelva::udf {

ImageSectorDevice::~ImageSectorDevice() {
  if (fd_ >= 0) ::close(fd_);
}

platform::Win32Error ImageSectorDevice::Open(const std::filesystem::path& path, bool writable,
                                             std::unique_ptr<ImageSectorDevice>* out) {
  const int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return platform::FromErrno(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return platform::FromErrno(err);
  }
  const uint64_t sectors = static_cast<uint64_t>(st.st_size) / kSectorSize;
  out->reset(new ImageSectorDevice(fd, sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu
                                                               : static_cast<uint32_t>(sectors),
                                   writable));
  return platform::ERROR_SUCCESS;
}

platform::Win32Error ImageSectorDevice::ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) {
  if (static_cast<uint64_t>(lba) + count > sectors_) return platform::ERROR_CRC;
  size_t left = static_cast<size_t>(count) * kSectorSize;
  off_t at = static_cast<off_t>(lba) * static_cast<off_t>(kSectorSize);
  while (left > 0) {
    const ssize_t n = ::pread(fd_, buffer, left, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return platform::ERROR_CRC;
    }
    if (n == 0) {  // a file shorter than announced: the rest reads as zeros
      std::fill(buffer, buffer + left, 0);
      break;
    }
    buffer += n;
    at += n;
    left -= static_cast<size_t>(n);
  }
  return platform::ERROR_SUCCESS;
}

platform::Win32Error ImageSectorDevice::WriteSectors(uint32_t lba, uint32_t count,
                                                     const uint8_t* buffer) {
  if (!writable_) return platform::ERROR_WRITE_PROTECT;
  if (static_cast<uint64_t>(lba) + count > sectors_) return platform::ERROR_WRITE_FAULT;
  size_t left = static_cast<size_t>(count) * kSectorSize;
  off_t at = static_cast<off_t>(lba) * static_cast<off_t>(kSectorSize);
  while (left > 0) {
    const ssize_t n = ::pwrite(fd_, buffer, left, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return platform::FromErrno(errno);
    }
    buffer += n;
    at += n;
    left -= static_cast<size_t>(n);
  }
  return platform::ERROR_SUCCESS;
}

platform::Win32Error ImageSectorDevice::Synchronize() {
  if (writable_ && ::fdatasync(fd_) != 0) return platform::FromErrno(errno);
  return platform::ERROR_SUCCESS;
}

}  // namespace kelva::udf
