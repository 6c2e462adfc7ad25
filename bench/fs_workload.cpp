// The file workload measured on every column of the mount benchmark (the
// computer's own disk, a plain FUSE passthrough, the magazine's mount): it
// runs in the folder given and prints one line per operation:
//   LABEL OPERATION SECONDS RATE UNIT
//
//   bench_fs_workload LABEL DIR [--mib N] [--creates N] [--list N] [--deletes N]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench_fs_workload: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void Report(const char* label, const char* op, double seconds, double amount, const char* unit) {
  std::printf("%s %s %.3f %.1f %s\n", label, op, seconds, amount / seconds, unit);
  std::fflush(stdout);
}

double WriteLarge(const std::string& path, size_t mib, bool sync) {
  std::vector<char> buffer(1 << 20, 'k');
  auto start = Clock::now();
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) Die(path);
  for (size_t i = 0; i < mib; ++i) {
    buffer[0] = static_cast<char>(i);
    if (write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size())) Die("write " + path);
  }
  if (sync && fsync(fd) != 0) Die("fsync " + path);
  if (close(fd) != 0) Die("close " + path);
  return Since(start);
}

double ReadLarge(const std::string& path, bool drop_cache) {
  std::vector<char> buffer(1 << 20);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) Die(path);
  if (drop_cache) {
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  }
  auto start = Clock::now();
  while (true) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0) Die("read " + path);
    if (n == 0) break;
  }
  close(fd);
  return Since(start);
}

void MakeFiles(const std::string& dir, size_t count, size_t bytes) {
  std::string data(bytes, 'f');
  for (size_t i = 0; i < count; ++i) {
    std::string path = dir + "/f" + std::to_string(i);
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd < 0) Die(path);
    if (bytes && write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) Die("write " + path);
    close(fd);
  }
}

size_t ListAndStat(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) Die(dir);
  size_t count = 0;
  while (dirent* entry = readdir(d)) {
    struct stat st;
    if (fstatat(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) ++count;
  }
  closedir(d);
  return count;
}

void DeleteFiles(const std::string& dir, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    std::string path = dir + "/f" + std::to_string(i);
    if (unlink(path.c_str()) != 0) Die(path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s LABEL DIR [--mib N] [--creates N] [--list N] [--deletes N]\n", argv[0]);
    return 2;
  }
  const char* label = argv[1];
  const std::string root = argv[2];
  size_t mib = 1024, creates = 10000, list = 100000, deletes = 10000;
  for (int i = 3; i + 1 < argc; i += 2) {
    size_t value = std::strtoull(argv[i + 1], nullptr, 10);
    std::string flag = argv[i];
    if (flag == "--mib") mib = value;
    else if (flag == "--creates") creates = value;
    else if (flag == "--list") list = value;
    else if (flag == "--deletes") deletes = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  const std::string big = root + "/large.bin";
  Report(label, "write-1GiB", WriteLarge(big, mib, false), mib, "MiB/s");
  ReadLarge(big, false);  // the first read after writing fills the cache
  Report(label, "read-cached", ReadLarge(big, false), mib, "MiB/s");
  Report(label, "read-after-drop", ReadLarge(big, true), mib, "MiB/s");
  Report(label, "write-1GiB-fsync", WriteLarge(big, mib, true), mib, "MiB/s");
  unlink(big.c_str());

  const std::string small = root + "/small";
  if (mkdir(small.c_str(), 0755) != 0) Die(small);
  auto start = Clock::now();
  MakeFiles(small, creates, 1024);
  Report(label, "create-small", Since(start), creates, "files/s");
  start = Clock::now();
  DeleteFiles(small, deletes < creates ? deletes : creates);
  Report(label, "delete", Since(start), deletes, "files/s");

  const std::string many = root + "/many";
  if (mkdir(many.c_str(), 0755) != 0) Die(many);
  MakeFiles(many, list, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // let cached names and attributes expire
  start = Clock::now();
  size_t seen = ListAndStat(many);
  Report(label, "readdir-stat", Since(start), seen, "entries/s");
  return 0;
}
