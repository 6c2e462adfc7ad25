// Cache map throughput on one map of 1,000,000 entries: inserts, lookups (in key
// order and in random order), then a save and a load of the map file.
// Goals: at least 2 million lookups per second; save plus load under one second.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "service/storage/cache_map.h"

using kelva::storage::CCacheMap;
namespace fs = std::filesystem;

namespace {

// Wall-clock time, plus the process's CPU time, which stays meaningful when the
// machine is shared with other work.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
  double Wall() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
  double Cpu() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

void Rate(const char* what, const Timer& t, uint32_t count) {
  std::printf("%-34s wall %.3f s (%.2f M/s), cpu %.3f s (%.2f M/s)\n", what, t.Wall(), count / t.Wall() / 1e6,
              t.Cpu(), count / t.Cpu() / 1e6);
}

}  // namespace

int main() {
  constexpr uint32_t kCount = 1000000;
  const fs::path dir = fs::temp_directory_path() / ("kelva_cachestore_bench_" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path file = dir / "mapdat.bin";

  // Keys as the volume hands them out: file numbers counting up, spread over discs.
  std::vector<std::pair<uint8_t, uint32_t>> keys(kCount);
  for (uint32_t i = 0; i < kCount; ++i) keys[i] = {static_cast<uint8_t>(i % 12), i};
  std::vector<std::pair<uint8_t, uint32_t>> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(42));

  CCacheMap map;
  if (map.Load(file) != 0) return 1;
  Timer t;
  for (const auto& [disc, f] : shuffled) {
    if (map.Insert(disc, f, disc, f) != 0) return 1;
  }
  Rate("insert 1,000,000 (random order)", t, kCount);
  std::printf("  image %zu bytes\n", map.Image().size());

  uint8_t vd;
  uint32_t vf;
  t = Timer();
  for (const auto& [disc, f] : keys) {
    if (map.Lookup(disc, f, &vd, &vf) != 0 || vf != f) return 1;
  }
  Rate("lookup 1,000,000 (key order)", t, kCount);
  t = Timer();
  for (const auto& [disc, f] : shuffled) {
    if (map.Lookup(disc, f, &vd, &vf) != 0 || vf != f) return 1;
  }
  Rate("lookup 1,000,000 (random order)", t, kCount);
  std::printf("  goal: at least 2 M lookups/s\n");

  t = Timer();
  if (map.Save() != 0) return 1;
  const double save_wall = t.Wall(), save_cpu = t.Cpu();
  t = Timer();
  if (map.Load(file) != 0) return 1;
  std::printf("save + load (with full check)      wall %.3f + %.3f = %.3f s, cpu %.3f + %.3f = %.3f s (goal < 1 s)\n",
              save_wall, t.Wall(), save_wall + t.Wall(), save_cpu, t.Cpu(), save_cpu + t.Cpu());
  if (map.Count() != kCount) return 1;
  map.Unload();
  fs::remove_all(dir);
  return 0;
}
