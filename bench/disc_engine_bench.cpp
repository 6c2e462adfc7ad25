// Recording throughput of the disc I/O engine: a 64 MiB cache file recorded
// onto a disc of the simulated unit through the controller and our UDF file
// system, with the simulator unthrottled (goal: at least 500 MB/s) and
// throttled to a drive's speed (goal: at least 0.9 of that speed, printed as
// "of_drive").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "platform/file.h"
#include "service/storage/cache_store.h"
#include "service/storage/disc_engine.h"
#include "service/unit/udf_maintenance.h"
#include "service/unit/udf_volume_access.h"
#include "service/unit/unit_controller.h"

namespace {

using namespace kelva;
namespace fs = std::filesystem;

constexpr uint64_t kFileBytes = 64ull << 20;
constexpr uint64_t kDriveBytesPerSecond = 36000000;  // an 8x drive
constexpr const char16_t* kRawVolume = u"\\\\?\\Volume{5a5a0000-0000-4000-8000-00000000beef}\\";

class Quiet : public unit::NotifierChannel {
 public:
  platform::Win32Error Deliver(const void*, uint32_t) override { return platform::ERROR_SUCCESS; }
};

class Host : public storage::IDiscEngineHost {
 public:
  uint32_t NextFileNumber(storage::CacheKind, uint8_t) override { return next++; }
  void DiscEngineEvent(uint32_t) override {}
  void ReportWriteFailure(uint32_t) override {}
  void CommitAfterDiscClose() override {}
  void EngineFailed(uint32_t) override {}
  uint32_t next = 1u << 20;
};

struct Rig {
  explicit Rig(uint64_t bytes_per_second) {
    dir = fs::temp_directory_path() /
          ("kelva-engine-bench-" + std::to_string(::getpid()) + "-" + std::to_string(bytes_per_second));
    fs::remove_all(dir);
    emulator::MagazineSpec spec;
    spec.type = emulator::kTypeRewritable;
    spec.disc_sectors = 4ull << 20;  // 8 GiB discs
    std::memcpy(spec.label.data(), "BENCHMARK01", 11);
    emulator::Magazine::Create(dir / "mag", spec);
    emulator::SimUnitOptions so;
    so.drive_bytes_per_second = bytes_per_second;
    so.drive_buffer_bytes = 4u << 20;  // a drive's write buffer absorbs the host's jitter
    sim = std::make_unique<emulator::SimUnit>(so);
    sim->InsertMagazine(dir / "mag");
    device = std::make_unique<emulator::SimScsiDevice>(sim.get());
    volumes = std::make_unique<unit::UdfVolumeAccess>();
    unit::UnitControllerOptions o;
    o.data_folder = dir / "data";
    o.volumes = volumes.get();
    o.maintenance = &maintenance;
    o.notifier = &quiet;
    o.monitor_thread = false;
    controller = unit::UnitController::Create(kRawVolume, device.get(), o);
    unit::UnitController* c = controller.get();
    volumes->Attach(kRawVolume, unit::UnitSectorDeviceFactory(device.get(), [c] {
                      return c->MagazineTypeCode() == unit::kMagazineRecordable;
                    }));
    controller->IdentifyMagazine(nullptr);
    controller->AcceptMount();
    cache = std::make_unique<storage::CCacheStore>(nullptr, dir / "data");
    cache->Open(u"BENCHMARK01");
    platform::File f;
    uint32_t number = 1;
    cache->CreateCacheFile(storage::CK_DAT, 0, &number, 0, &f, true);
    std::vector<uint8_t> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    for (uint64_t at = 0; at < kFileBytes; at += chunk.size())
      f.WriteAllAt(at, chunk.data(), static_cast<uint32_t>(chunk.size()));
    engine = std::make_unique<storage::CDiscEngine>(&host, cache.get(), controller.get());
    engine->Start(controller->CurrentSlot());
  }
  ~Rig() {
    engine.reset();
    cache->Close();
    controller.reset();
    volumes.reset();
    sim.reset();
    fs::remove_all(dir);
  }
  fs::path dir;
  Quiet quiet;
  Host host;
  unit::UdfDiscMaintenance maintenance;
  std::unique_ptr<emulator::SimUnit> sim;
  std::unique_ptr<emulator::SimScsiDevice> device;
  std::unique_ptr<unit::UdfVolumeAccess> volumes;
  std::unique_ptr<unit::UnitController> controller;
  std::unique_ptr<storage::CCacheStore> cache;
  std::unique_ptr<storage::CDiscEngine> engine;
};

void Record(benchmark::State& state, uint64_t bytes_per_second) {
  Rig rig(bytes_per_second);
  uint32_t wanted = 1000;
  for (auto _ : state) {
    storage::RecordSource source;
    source.kind = storage::CK_DAT;
    source.disc = 0;
    source.file = 1;
    source.wanted = wanted++;
    storage::RecordAnswer answer;
    if (rig.engine->RecordCacheFile(source, &answer) != 0 || answer.bytes != kFileBytes) {
      state.SkipWithError("recording failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
  if (bytes_per_second != 0) {
    state.counters["of_drive"] = benchmark::Counter(static_cast<double>(state.iterations() * kFileBytes) /
                                                        static_cast<double>(bytes_per_second),
                                                    benchmark::Counter::kIsRate);
  }
}

void BM_RecordCacheFileUnthrottled(benchmark::State& state) { Record(state, 0); }
void BM_RecordCacheFileAtDriveSpeed(benchmark::State& state) { Record(state, kDriveBytesPerSecond); }

BENCHMARK(BM_RecordCacheFileUnthrottled)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RecordCacheFileAtDriveSpeed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

}  // namespace

BENCHMARK_MAIN();
