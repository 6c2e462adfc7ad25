// Write and read throughput through a file object into the cache, against the
// same bytes written and read with plain pwrite/pread on the cache's disk.
// Goal: file object writes within 1.2x of the plain writes.
//
// The file object runs over the volume double the tests use (real cache store,
// in-memory discs), so the figures measure the object's own path: segments,
// pieces, the 1 MiB windows and the accounting calls.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "service/storage/file_object.h"
#include "tests/service/storage/fake_fs_volume.h"

namespace fs = std::filesystem;
using kelva::storage::CDirObject;
using kelva::storage::CFileObject;
using kelva::storage::testing::FakeFsVolume;

namespace {

struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
  double Wall() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
  double Cpu() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

double Report(const char* what, const Timer& t, int64_t bytes) {
  const double wall = t.Wall();
  std::printf("%-40s %8.1f MiB/s wall (%.3f s), cpu %.3f s\n", what, bytes / wall / 1048576.0, wall, t.Cpu());
  return wall;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t total = (argc > 1 ? std::atoll(argv[1]) : 256) << 20;  // MiB
  const uint32_t chunks[] = {64 * 1024, 1 << 20};
  const fs::path dir = fs::temp_directory_path() / ("kelva_fileobj_bench_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  std::string data(1 << 20, '\0');
  std::mt19937 rng(5);
  for (char& c : data) c = static_cast<char>(rng());

  int failures = 0;
  for (const uint32_t chunk : chunks) {
    std::printf("-- %lld MiB in writes of %u KiB\n", static_cast<long long>(total >> 20), chunk / 1024);
    // Plain pwrite/pread into one file in the same folder.
    const fs::path plain = dir / "plain.bin";
    double plain_write;
    {
      const int fd = ::open(plain.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) return 1;
      Timer t;
      for (int64_t at = 0; at < total; at += chunk) {
        if (::pwrite(fd, data.data() + at % data.size(), chunk, at) != static_cast<ssize_t>(chunk)) return 1;
      }
      plain_write = Report("pwrite", t, total);
      std::string back(chunk, '\0');
      t = Timer();
      for (int64_t at = 0; at < total; at += chunk) {
        if (::pread(fd, back.data(), chunk, at) != static_cast<ssize_t>(chunk)) return 1;
      }
      Report("pread", t, total);
      ::close(fd);
      fs::remove(plain);
    }
    // The same through a file object.
    {
      FakeFsVolume volume(dir / "data");
      CDirObject root(&volume);
      if (root.CreateRoot(0) != 0) return 1;
      volume.Register(&root);
      {
        CFileObject file(&volume);
        if (file.Create(root.catalog(), u"\\bench.bin", 0x20, 0, false) != 0) return 1;
        Timer t;
        for (int64_t at = 0; at < total; at += chunk) {
          uint32_t written = 0;
          if (file.Write(at, chunk, data.data() + at % data.size(), &written) != 0 || written != chunk) return 1;
        }
        const double object_write = Report("file object write", t, total);
        std::string back(chunk, '\0');
        t = Timer();
        for (int64_t at = 0; at < total; at += chunk) {
          uint32_t done = 0;
          if (file.Read(at, chunk, back.data(), &done) != 0 || done != chunk) return 1;
        }
        Report("file object read", t, total);
        const double ratio = object_write / plain_write;
        std::printf("%-40s %8.2fx (goal: at most 1.20x)\n", "write time against pwrite", ratio);
        if (ratio > 1.2) ++failures;
        file.Close();
      }
      volume.Unregister(&root);
      root.Close();
    }
    fs::remove_all(dir / "data");
  }
  fs::remove_all(dir);
  return failures == 0 ? 0 : 2;
}
