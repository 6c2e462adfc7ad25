// Prints the throughput of the UDF file system on a simulated rewritable disc
// held in memory: sequential write and read of one 1 GiB file in 1 MiB calls,
// and the rate of creating 10,000 files in one folder (with and without the
// write-back that records them). Goals: 500 MB/s each way, 5,000 files/s.
// Usage: bench_udf_fs [MiB]   (default 1024)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/udf/memory_sector_device.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/sector_drive.h"
#include "service/udf/udf_format.h"

using namespace kelva;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::unique_ptr<udf::UdfFileSystem> Fresh(udf::MemorySectorDevice* dev) {
  udf::SectorDrive drive(dev);
  if (!udf::FormatDisc(drive)) {
    std::fprintf(stderr, "format failed\n");
    std::exit(1);
  }
  std::unique_ptr<udf::UdfFileSystem> fs;
  if (udf::UdfFileSystem::Mount(dev, {}, &fs)) {
    std::fprintf(stderr, "mount failed\n");
    std::exit(1);
  }
  return fs;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const uint64_t bytes = mib << 20;
  const size_t chunk = 1 << 20;
  std::vector<uint8_t> buf(chunk);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 131 + 7);

  {
    // Room for the file plus the volume's own structures.
    udf::MemorySectorDevice dev(static_cast<uint32_t>((bytes + (256ull << 20)) / 2048));
    dev.Preallocate();
    auto fs = Fresh(&dev);
    std::unique_ptr<udf::UdfFile> f;
    if (fs->Open(u"big.bin", udf::UdfCreate::kCreateNew, true, &f)) return 1;
    auto t0 = Clock::now();
    for (uint64_t at = 0; at < bytes; at += chunk)
      if (f->WriteAt(at, buf.data(), chunk)) return 1;
    f.reset();
    if (fs->Flush()) return 1;
    const double w = Seconds(t0);
    if (fs->Open(u"big.bin", udf::UdfCreate::kOpenExisting, false, &f)) return 1;
    t0 = Clock::now();
    uint64_t sum = 0;
    for (uint64_t at = 0; at < bytes; at += chunk) {
      size_t done = 0;
      if (f->ReadAt(at, buf.data(), chunk, &done) || done != chunk) return 1;
      sum += buf[done - 1];
    }
    const double r = Seconds(t0);
    std::printf("sequential write  %6llu MiB  %8.1f MB/s  (goal 500)\n",
                static_cast<unsigned long long>(mib), bytes / w / 1e6);
    std::printf("sequential read   %6llu MiB  %8.1f MB/s  (goal 500)  [%llu]\n",
                static_cast<unsigned long long>(mib), bytes / r / 1e6,
                static_cast<unsigned long long>(sum % 10));
  }
  {
    udf::MemorySectorDevice dev(512u * 1024);  // 1 GiB
    auto fs = Fresh(&dev);
    if (fs->CreateFolder(u"many")) return 1;
    constexpr int kFiles = 10000;
    const auto t0 = Clock::now();
    for (int i = 0; i < kFiles; ++i) {
      std::unique_ptr<udf::UdfFile> f;
      const std::u16string name = u"many\\file" + platform::Utf8ToUtf16(std::to_string(i)) + u".dat";
      if (fs->Open(name, udf::UdfCreate::kCreateNew, true, &f)) return 1;
    }
    const double created = Seconds(t0);
    if (fs->Flush()) return 1;
    const double flushed = Seconds(t0);
    std::printf("create files      %6d       %8.0f /s   (goal 5000), %8.0f /s with the write-back\n",
                kFiles, kFiles / created, kFiles / flushed);
  }
  return 0;
}
