// One fuzz step against the simulated unit: the input is a command block, a
// direction, a data length and the data. The unit must answer GOOD or CHECK
// CONDITION with a sense key it uses, or refuse the request as malformed; it
// must never crash. Shared by the libFuzzer target and its replay test.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"

namespace kelva::fuzz {

class SimUnitFuzzer {
 public:
  SimUnitFuzzer() {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::filesystem::path(tmp ? tmp : "/tmp") / ("kelva-sim-fuzz-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    emulator::MagazineSpec spec;
    spec.type = emulator::kTypeRecordable;
    spec.disc_sectors = 2048;
    emulator::Magazine::Create(dir_ / "r", spec);
    spec.type = emulator::kTypeRewritable;
    emulator::Magazine::Create(dir_ / "w", spec);
    unit_ = std::make_unique<emulator::SimUnit>();
    unit_->InsertMagazine(dir_ / "r");
  }
  ~SimUnitFuzzer() {
    unit_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Returns false when the unit answered in a way it must never answer.
  bool Step(const uint8_t* data, size_t size) {
    if (size < 4) return true;
    // Bring a magazine back when a command took it out, alternating kinds.
    if (!unit_->HasMagazine()) unit_->InsertMagazine(dir_ / ((data[0] & 1) ? "w" : "r"));
    platform::ScsiCommand c;
    static const uint8_t kLengths[] = {6, 10, 12, 16};
    c.cdb_length = kLengths[data[1] & 3];
    c.direction = (data[1] & 4) ? platform::ScsiDirection::kFromUnit : platform::ScsiDirection::kToUnit;
    const uint32_t requested = (uint32_t{data[2]} << 8 | data[3]) * ((data[1] & 8) ? 64 : 1);
    data += 4;
    size -= 4;
    const size_t cdb_bytes = std::min<size_t>(size, c.cdb_length);
    std::memcpy(c.cdb, data, cdb_bytes);
    data += cdb_bytes;
    size -= cdb_bytes;
    buffer_.assign(requested, 0);
    if (requested != 0 && size != 0) std::memcpy(buffer_.data(), data, std::min<size_t>(size, requested));
    c.data = requested ? buffer_.data() : nullptr;
    c.data_length = requested;
    c.timeout_seconds = 60;
    platform::ScsiReply r;
    const platform::Win32Error e = unit_->Execute(c, &r);
    if (e != 0) return e == platform::ERROR_INVALID_PARAMETER;
    if (r.transferred > requested) return false;
    if (r.status == platform::kScsiStatusGood) return true;
    if (r.status != platform::kScsiStatusCheckCondition) return false;
    const uint8_t key = r.sense[2] & 0x0F;
    return key == 2 || key == 3 || key == 5 || key == 6 || key == 7;
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<emulator::SimUnit> unit_;
  std::vector<uint8_t> buffer_;
};

}  // namespace kelva::fuzz
