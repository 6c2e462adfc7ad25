// Cache map throughput on one map of 1,000,000 entries: inserts, lookups (in key
// order and in random order), then a save and a load of the map file.
// Goals: at least 2 million lookups per second; save plus load under one second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "service/storage/cache_map.h"

using kelva::storage::CCacheMap;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
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
  auto start = std::chrono::steady_clock::now();
  for (const auto& [disc, f] : shuffled) {
    if (map.Insert(disc, f, disc, f) != 0) return 1;
  }
  double t = Seconds(start);
  std::printf("insert  %u random keys: %.3f s, %.2f M/s, image %zu bytes\n", kCount, t, kCount / t / 1e6,
              map.Image().size());

  uint8_t vd;
  uint32_t vf;
  start = std::chrono::steady_clock::now();
  for (const auto& [disc, f] : keys) {
    if (map.Lookup(disc, f, &vd, &vf) != 0 || vf != f) return 1;
  }
  t = Seconds(start);
  std::printf("lookup  %u keys in key order:    %.3f s, %.2f M/s (goal >= 2 M/s)\n", kCount, t, kCount / t / 1e6);
  start = std::chrono::steady_clock::now();
  for (const auto& [disc, f] : shuffled) {
    if (map.Lookup(disc, f, &vd, &vf) != 0 || vf != f) return 1;
  }
  t = Seconds(start);
  std::printf("lookup  %u keys in random order: %.3f s, %.2f M/s (goal >= 2 M/s)\n", kCount, t, kCount / t / 1e6);

  start = std::chrono::steady_clock::now();
  if (map.Save() != 0) return 1;
  const double save = Seconds(start);
  start = std::chrono::steady_clock::now();
  if (map.Load(file) != 0) return 1;
  const double load = Seconds(start);
  std::printf("save %.3f s + load (with full check) %.3f s = %.3f s (goal < 1 s)\n", save, load, save + load);
  if (map.Count() != kCount) return 1;
  map.Unload();
  fs::remove_all(dir);
  return 0;
}
