// READ(10) / WRITE(10) throughput of 64 KiB commands against the simulated
// unit, in the same process and over its Unix socket. The simulator stands
// for a drive far slower than these figures; it must never be the bottleneck.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "platform/unit_socket.h"
#include "service/unit/unit_commands.h"

namespace {

using namespace kelva;

constexpr uint16_t kBlocks = 32;          // 64 KiB per command
constexpr uint32_t kSpan = 64 * 1024 / 2;  // sectors cycled over (64 MiB)

struct Rig {
  Rig() {
    dir = std::filesystem::temp_directory_path() / ("kelva-unit-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    setenv("KELVA_RUN_DIR", (dir / "run").c_str(), 1);
    emulator::MagazineSpec spec;
    spec.type = emulator::kTypeRewritable;
    spec.disc_sectors = 65536;
    emulator::Magazine::Create(dir / "mag", spec);
    unit = std::make_unique<emulator::SimUnit>();
    unit->InsertMagazine(dir / "mag");
    local = std::make_unique<emulator::SimScsiDevice>(unit.get());
    unit::TestUnitReady(local.get());
    unit::FormatUnit(local.get(), unit::kMagazineRewritable);
    server = std::make_unique<platform::UnitSocketServer>(local.get(), nullptr);
    server->Start(platform::UnitSocketPath("bench"));
    platform::OpenUnitSocket(platform::UnitSocketPath("bench"), &remote);
    std::vector<uint8_t> fill(kBlocks * unit::kSectorSize, 0x5A);
    for (uint32_t lba = 0; lba < kSpan; lba += kBlocks) unit::Write10(local.get(), lba, kBlocks, fill.data());
  }
  ~Rig() {
    remote.reset();
    server.reset();
    local.reset();
    unit.reset();
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::unique_ptr<emulator::SimUnit> unit;
  std::unique_ptr<emulator::SimScsiDevice> local;
  std::unique_ptr<platform::UnitSocketServer> server;
  std::unique_ptr<platform::ScsiDevice> remote;
};

Rig& TheRig() {
  static Rig rig;
  return rig;
}

void Run(benchmark::State& state, bool socket, bool write) {
  Rig& rig = TheRig();
  platform::ScsiDevice* device = socket ? rig.remote.get() : rig.local.get();
  std::vector<uint8_t> buffer(kBlocks * unit::kSectorSize, 0xA5);
  uint32_t lba = 0;
  for (auto _ : state) {
    const uint32_t status = write ? unit::Write10(device, lba, kBlocks, buffer.data())
                                  : unit::Read10(device, lba, kBlocks, buffer.data());
    if (status != 0) {
      state.SkipWithError("command failed");
      break;
    }
    lba = (lba + kBlocks) % kSpan;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocks * unit::kSectorSize);
}

void BM_InProcessRead10(benchmark::State& s) { Run(s, false, false); }
void BM_InProcessWrite10(benchmark::State& s) { Run(s, false, true); }
void BM_SocketRead10(benchmark::State& s) { Run(s, true, false); }
void BM_SocketWrite10(benchmark::State& s) { Run(s, true, true); }
BENCHMARK(BM_InProcessRead10)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_InProcessWrite10)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SocketRead10)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SocketWrite10)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
