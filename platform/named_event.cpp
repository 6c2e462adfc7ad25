#include "platform/named_event.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/file.h"
#include "platform/paths.h"

namespace kelva::platform {

namespace {

constexpr uint32_t kMagic = 0x4B45564Eu;  // marks an initialised flag file
constexpr size_t kMapSize = 4096;

void FutexWake(uint32_t* addr) { syscall(SYS_futex, addr, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0); }

void FutexWait(uint32_t* addr, uint32_t expected, int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  syscall(SYS_futex, addr, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

}  // namespace

std::filesystem::path NamedEventPath(std::string_view name, const std::filesystem::path& run_dir) {
  std::string file(name);
  std::replace(file.begin(), file.end(), '\\', '_');
  std::replace(file.begin(), file.end(), '/', '_');
  return (run_dir.empty() ? RunDir() : run_dir) / (file + ".event");
}

Win32Error NamedEvent::Map(int fd, std::filesystem::path path, Clock& clock, std::unique_ptr<NamedEvent>* out) {
  void* p = mmap(nullptr, kMapSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    const int err = errno;
    close(fd);
    return FromErrno(err);
  }
  out->reset(new NamedEvent(fd, static_cast<uint32_t*>(p), std::move(path), clock));
  return ERROR_SUCCESS;
}

Win32Error NamedEvent::Create(std::string_view name, bool manual_reset, bool initially_set, bool world_access,
                              Clock& clock, std::unique_ptr<NamedEvent>* out, bool* existed,
                              const std::filesystem::path& run_dir) {
  std::filesystem::path path = NamedEventPath(name, run_dir);
  if (Win32Error e = CreateDirectoryChain(path.parent_path())) return e;
  int fd = -1;
  bool fresh = false;
  for (;;) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, world_access ? 0666 : 0600);
    if (fd < 0) return FromErrno(errno);
    // Nobody else holding the file means it is new or left by a dead process:
    // (re)initialise it under the exclusive lock, then hold it shared like everyone.
    fresh = flock(fd, LOCK_EX | LOCK_NB) == 0;
    struct stat st{};
    if (fstat(fd, &st) == 0 && st.st_nlink > 0) break;
    close(fd);  // the last holder removed it meanwhile; make a new one
  }
  if (fresh) {
    if (ftruncate(fd, kMapSize) != 0) {
      const int err = errno;
      close(fd);
      return FromErrno(err);
    }
    fchmod(fd, world_access ? 0666 : 0600);
  }
  Win32Error e = Map(fd, path, clock, out);
  if (e) return e;
  uint32_t* s = (*out)->shared_;
  if (fresh) {
    __atomic_store_n(&s[0], initially_set ? 1u : 0u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&s[1], manual_reset ? 1u : 0u, __ATOMIC_SEQ_CST);
    __atomic_store_n(&s[2], kMagic, __ATOMIC_SEQ_CST);
  }
  flock(fd, LOCK_SH);  // converts the exclusive lock, or joins the other holders
  if (existed) *existed = !fresh;
  return ERROR_SUCCESS;
}

Win32Error NamedEvent::Open(std::string_view name, Clock& clock, std::unique_ptr<NamedEvent>* out,
                            const std::filesystem::path& run_dir) {
  std::filesystem::path path = NamedEventPath(name, run_dir);
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : FromErrno(errno);
  // A file that nobody holds belongs to no live event.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    close(fd);
    return ERROR_FILE_NOT_FOUND;
  }
  flock(fd, LOCK_SH);
  struct stat st{};
  if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < kMapSize) {
    close(fd);
    return ERROR_FILE_NOT_FOUND;
  }
  Win32Error e = Map(fd, path, clock, out);
  if (e) return e;
  if (__atomic_load_n(&(*out)->shared_[2], __ATOMIC_SEQ_CST) != kMagic) {
    out->reset();
    return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

NamedEvent::~NamedEvent() {
  munmap(shared_, kMapSize);
  // The last holder removes the file.
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) unlink(path_.c_str());
  close(fd_);
}

void NamedEvent::Set() {
  __atomic_store_n(&shared_[0], 1u, __ATOMIC_SEQ_CST);
  FutexWake(&shared_[0]);
}

void NamedEvent::Reset() { __atomic_store_n(&shared_[0], 0u, __ATOMIC_SEQ_CST); }

bool NamedEvent::IsSet() const { return __atomic_load_n(&shared_[0], __ATOMIC_SEQ_CST) != 0; }

bool NamedEvent::Wait(uint32_t timeout_ms) {
  const uint64_t deadline = clock_.DeadlineAfter(timeout_ms);
  const bool real = &clock_ == &RealClock();
  for (;;) {
    uint32_t v = __atomic_load_n(&shared_[0], __ATOMIC_SEQ_CST);
    if (v != 0) {
      if (__atomic_load_n(&shared_[1], __ATOMIC_SEQ_CST) != 0) return true;
      if (__atomic_compare_exchange_n(&shared_[0], &v, 0u, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return true;
      continue;
    }
    const uint64_t now = clock_.NowMs();
    if (now >= deadline) return false;
    // Sleeps until woken by Set; on a test clock (or a long wait) it looks at
    // the clock's time again every few milliseconds.
    int ms = 10;
    if (real) ms = static_cast<int>(std::min<uint64_t>(deadline - now, 1000));
    FutexWait(&shared_[0], 0, ms);
  }
}

}  // namespace kelva::platform
