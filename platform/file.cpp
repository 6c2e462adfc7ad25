#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/text.h"

namespace kelva::platform {

namespace {

// ENOENT on open means "path not found" when the parent folder is missing.
Win32Error MissingError(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty()) return ERROR_FILE_NOT_FOUND;
  struct stat st{};
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

Win32Error PathError(const fs::path& path, int err) {
  if (err == ENOENT) return MissingError(path);
  return FromErrno(err);
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void File::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Win32Error File::Open(const fs::path& path, uint32_t access, Disposition disposition, File* out, bool* existed) {
  int flags = O_CLOEXEC;
  if ((access & kAccessRead) && (access & kAccessWrite)) flags |= O_RDWR;
  else if (access & kAccessWrite) flags |= O_WRONLY;
  else flags |= O_RDONLY;

  struct stat st{};
  const bool was_there = ::stat(path.c_str(), &st) == 0;
  if (existed) *existed = was_there;
  if (was_there && S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  switch (disposition) {
    case Disposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case Disposition::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case Disposition::kOpenExisting: break;
    case Disposition::kOpenAlways: flags |= O_CREAT; break;
    case Disposition::kTruncateExisting: flags |= O_TRUNC; break;
  }
  if ((flags & O_TRUNC) && !(access & kAccessWrite)) flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    const int err = errno;
    if (err == EEXIST) return ERROR_FILE_EXISTS;
    return PathError(path, err);
  }
  out->Close();
  out->fd_ = fd;
  return ERROR_SUCCESS;
}

Win32Error File::Read(void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  auto* p = static_cast<char*>(buffer);
  while (*done < length) {
    const ssize_t n = ::read(fd_, p + *done, length - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return ERROR_SUCCESS;
}

Win32Error File::Write(const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (*done < length) {
    const ssize_t n = ::write(fd_, p + *done, length - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    *done += static_cast<uint32_t>(n);
  }
  return ERROR_SUCCESS;
}

Win32Error File::ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  auto* p = static_cast<char*>(buffer);
  while (*done < length) {
    const ssize_t n = ::pread(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    *done += static_cast<uint32_t>(n);
  }
  return ERROR_SUCCESS;
}

Win32Error File::WriteAt(uint64_t offset, const void* buffer, uint32_t length, uint32_t* done) {
  *done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (*done < length) {
    const ssize_t n = ::pwrite(fd_, p + *done, length - *done, static_cast<off_t>(offset + *done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    *done += static_cast<uint32_t>(n);
  }
  return ERROR_SUCCESS;
}

Win32Error File::ReadExactAt(uint64_t offset, void* buffer, uint32_t length) {
  uint32_t done = 0;
  const Win32Error e = ReadAt(offset, buffer, length, &done);
  if (e != ERROR_SUCCESS) return e;
  return done == length ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

Win32Error File::WriteAllAt(uint64_t offset, const void* buffer, uint32_t length) {
  uint32_t done = 0;
  return WriteAt(offset, buffer, length, &done);
}

Win32Error File::Seek(uint64_t offset) {
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? FromErrno(errno) : ERROR_SUCCESS;
}

Win32Error File::Position(uint64_t* offset) {
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return FromErrno(errno);
  *offset = static_cast<uint64_t>(pos);
  return ERROR_SUCCESS;
}

Win32Error File::Size(uint64_t* size) {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return FromErrno(errno);
  *size = static_cast<uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

Win32Error File::LastDataEnd(uint64_t from, uint64_t to, uint64_t* end) {
  *end = from;
  uint64_t at = from;
  while (at < to) {
    const off_t data = ::lseek(fd_, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) return errno == ENXIO ? ERROR_SUCCESS : FromErrno(errno);
    if (static_cast<uint64_t>(data) >= to) break;
    const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
    if (hole < 0) return FromErrno(errno);
    *end = std::min<uint64_t>(static_cast<uint64_t>(hole), to);
    at = static_cast<uint64_t>(hole);
  }
  return ERROR_SUCCESS;
}

Win32Error File::SetEndOfFile() {
  uint64_t pos = 0;
  const Win32Error e = Position(&pos);
  return e != ERROR_SUCCESS ? e : Truncate(pos);
}

Win32Error File::Truncate(uint64_t size) {
  return ::ftruncate(fd_, static_cast<off_t>(size)) != 0 ? FromErrno(errno) : ERROR_SUCCESS;
}

Win32Error File::Flush() { return ::fdatasync(fd_) != 0 ? FromErrno(errno) : ERROR_SUCCESS; }

Win32Error File::LastWriteTime(FileTime* time) {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return FromErrno(errno);
  *time = FileTimeFromTimespec(st.st_mtim);
  return ERROR_SUCCESS;
}

Win32Error File::SetLastWriteTime(FileTime time) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = TimespecFromFileTime(time);
  return ::futimens(fd_, times) != 0 ? FromErrno(errno) : ERROR_SUCCESS;
}

Win32Error FindFiles(const fs::path& folder, std::u16string_view pattern, std::vector<FindData>* out) {
  out->clear();
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : FromErrno(errno);
  while (dirent* de = ::readdir(dir)) {
    const std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    if (!WildcardMatch(pattern, Utf8ToUtf16(name))) continue;
    struct stat st{};
    if (::fstatat(::dirfd(dir), de->d_name, &st, 0) != 0) continue;  // vanished meanwhile
    FindData fd;
    fd.name = name;
    fd.is_directory = S_ISDIR(st.st_mode);
    fd.size = fd.is_directory ? 0 : static_cast<uint64_t>(st.st_size);
    fd.last_write = FileTimeFromTimespec(st.st_mtim);
    out->push_back(std::move(fd));
  }
  ::closedir(dir);
  std::sort(out->begin(), out->end(), [](const FindData& a, const FindData& b) { return a.name < b.name; });
  return out->empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

Win32Error DeleteFile(const fs::path& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  return ::unlink(path.c_str()) != 0 ? PathError(path, errno) : ERROR_SUCCESS;
}

Win32Error RemoveDirectory(const fs::path& path) {
  if (::rmdir(path.c_str()) == 0) return ERROR_SUCCESS;
  const int err = errno;
  if (err == EEXIST) return ERROR_DIR_NOT_EMPTY;
  if (err == ENOTDIR) return ERROR_DIRECTORY;
  return PathError(path, err);
}

Win32Error CreateDirectory(const fs::path& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return ERROR_SUCCESS;
  const int err = errno;
  if (err == ENOENT) return ERROR_PATH_NOT_FOUND;
  return FromErrno(err);
}

Win32Error CreateDirectoryChain(const fs::path& path) {
  if (DirectoryExists(path)) return ERROR_SUCCESS;
  const fs::path parent = path.parent_path();
  if (!parent.empty() && parent != path) {
    const Win32Error e = CreateDirectoryChain(parent);
    if (e != ERROR_SUCCESS) return e;
  }
  const Win32Error e = CreateDirectory(path);
  return e == ERROR_ALREADY_EXISTS && DirectoryExists(path) ? ERROR_SUCCESS : e;
}

Win32Error MoveFile(const fs::path& from, const fs::path& to, bool replace_existing) {
  if (replace_existing) {
    return ::rename(from.c_str(), to.c_str()) != 0 ? PathError(from, errno) : ERROR_SUCCESS;
  }
  // renameat2(RENAME_NOREPLACE) is atomic; fall back to link+unlink where unsupported.
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return ERROR_SUCCESS;
  const int err = errno;
  if (err == EEXIST) return ERROR_ALREADY_EXISTS;
  if (err != EINVAL && err != ENOSYS) return PathError(from, err);
  if (FileExists(to) || DirectoryExists(to)) return ERROR_ALREADY_EXISTS;
  return ::rename(from.c_str(), to.c_str()) != 0 ? PathError(from, errno) : ERROR_SUCCESS;
}

Win32Error CopyFile(const fs::path& from, const fs::path& to, bool fail_if_exists) {
  File src;
  Win32Error e = File::Open(from, kAccessRead, Disposition::kOpenExisting, &src);
  if (e != ERROR_SUCCESS) return e;
  File dst;
  e = File::Open(to, kAccessWrite, fail_if_exists ? Disposition::kCreateNew : Disposition::kCreateAlways, &dst);
  if (e != ERROR_SUCCESS) return e == ERROR_FILE_EXISTS ? ERROR_FILE_EXISTS : e;
  std::vector<char> buf(65536);
  for (;;) {
    uint32_t got = 0;
    e = src.Read(buf.data(), static_cast<uint32_t>(buf.size()), &got);
    if (e != ERROR_SUCCESS) return e;
    if (got == 0) break;
    uint32_t put = 0;
    e = dst.Write(buf.data(), got, &put);
    if (e != ERROR_SUCCESS) return e;
  }
  FileTime t = 0;
  if (src.LastWriteTime(&t) == ERROR_SUCCESS) dst.SetLastWriteTime(t);
  return ERROR_SUCCESS;
}

Win32Error CreateHardLink(const fs::path& new_path, const fs::path& existing) {
  if (::link(existing.c_str(), new_path.c_str()) == 0) return ERROR_SUCCESS;
  const int err = errno;
  if (err == EEXIST) return ERROR_ALREADY_EXISTS;
  return PathError(existing, err);
}

bool FileExists(const fs::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const fs::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Win32Error GetFileSize(const fs::path& path, uint64_t* size) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return PathError(path, errno);
  *size = static_cast<uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

Win32Error GetLastWriteTime(const fs::path& path, FileTime* time) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return PathError(path, errno);
  *time = FileTimeFromTimespec(st.st_mtim);
  return ERROR_SUCCESS;
}

Win32Error SetLastWriteTime(const fs::path& path, FileTime time) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = TimespecFromFileTime(time);
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0 ? PathError(path, errno) : ERROR_SUCCESS;
}

Win32Error ReadWholeFile(const fs::path& path, std::string* contents) {
  File f;
  Win32Error e = File::Open(path, kAccessRead, Disposition::kOpenExisting, &f);
  if (e != ERROR_SUCCESS) return e;
  uint64_t size = 0;
  if ((e = f.Size(&size)) != ERROR_SUCCESS) return e;
  if (size > 0x7FFFFFFF) return ERROR_NOT_ENOUGH_MEMORY;
  contents->resize(size);
  uint32_t done = 0;
  if ((e = f.ReadAt(0, contents->data(), static_cast<uint32_t>(size), &done)) != ERROR_SUCCESS) return e;
  contents->resize(done);
  return ERROR_SUCCESS;
}

Win32Error WriteWholeFile(const fs::path& path, std::string_view contents) {
  File f;
  Win32Error e = File::Open(path, kAccessWrite, Disposition::kCreateAlways, &f);
  if (e != ERROR_SUCCESS) return e;
  return f.WriteAllAt(0, contents.data(), static_cast<uint32_t>(contents.size()));
}

Win32Error GetTempFileName(const fs::path& folder, std::string_view prefix, fs::path* out) {
  static std::atomic<uint32_t> counter{static_cast<uint32_t>(::getpid()) * 2654435761u};
  const std::string pre(prefix.substr(0, 3));
  for (int attempt = 0; attempt < 65535; ++attempt) {
    const uint32_t n = (counter.fetch_add(1) & 0xFFFF);
    if (n == 0) continue;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", n);
    const fs::path candidate = folder / (pre + hex + ".tmp");
    File f;
    const Win32Error e = File::Open(candidate, kAccessWrite, Disposition::kCreateNew, &f);
    if (e == ERROR_SUCCESS) {
      *out = candidate;
      return ERROR_SUCCESS;
    }
    if (e != ERROR_FILE_EXISTS) return e;
  }
  return ERROR_FILE_EXISTS;
}

}  // namespace kelva::platform
