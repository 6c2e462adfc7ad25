// Replays the repair fuzz harness: an intact disc is left alone, a damaged
// metadata file is repaired, and the fuzzer's corpus and many random patches of
// the metadata never make the repair crash, hang or write where it must not (the
// harness's drive aborts on such a write).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fuzz/udf_repair_harness.h"
#include "tests/service/udf/udf_damage.h"

namespace kelva::udf {
namespace {

using fuzzing::RepairBase;
using fuzzing::RepairPatched;

TEST(RepairFuzzReplay, IntactDiscIsNotWritten) {
  ASSERT_NE(RepairBase().partitionEnd, 0u);
  // Its metadata file continues in a further extent, as some recorders leave it.
  std::unique_ptr<fuzzing::RecordableMemoryDrive> drive = fuzzing::PatchedRepairDisc(nullptr, 0);
  testing::UdfDamage d(*drive);
  ASSERT_TRUE(d.ok());
  EXPECT_GE(d.MetaAds().size(), 2u);
  EXPECT_EQ(RepairPatched(nullptr, 0), 0u);
}

TEST(RepairFuzzReplay, BrokenMainEntryIsRepaired) {
  // The first recorded sector of the partition is the metadata file's entry;
  // its checksum byte (offset 4) is changed.
  const uint8_t patch[] = {0, 0, 4, 0, 1, 0x77};
  EXPECT_GT(RepairPatched(patch, sizeof patch), 0u);
}

TEST(RepairFuzzReplay, RandomPatchesNeverWriteOutOfPlace) {
  std::mt19937 rng(2222);
  size_t repaired = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> input;
    const int patches = 1 + static_cast<int>(rng() % 4);
    for (int p = 0; p < patches; ++p) {
      const uint16_t sector = static_cast<uint16_t>(rng() % 12);  // mostly the metadata
      const uint16_t offset = static_cast<uint16_t>(rng() % 2048);
      const uint8_t length = static_cast<uint8_t>(1 + rng() % 8);
      const uint8_t reseal = rng() % 2 ? 0x80 : 0;  // half of them with a sound tag
      input.insert(input.end(), {static_cast<uint8_t>(sector), static_cast<uint8_t>(sector >> 8),
                                 static_cast<uint8_t>(offset), static_cast<uint8_t>(offset >> 8),
                                 static_cast<uint8_t>(length | reseal)});
      for (int i = 0; i < length; ++i) input.push_back(static_cast<uint8_t>(rng()));
    }
    repaired += RepairPatched(input.data(), input.size()) > 0;
  }
  EXPECT_GT(repaired, 0u);
}

// The inputs the fuzzer kept (its corpus, crashers among them once fixed).
TEST(RepairFuzzReplay, CorpusReplays) {
  namespace fs = std::filesystem;
  size_t inputs = 0, repaired = 0;
  for (const auto& e : fs::directory_iterator(KELVA_REPAIR_CORPUS)) {
    std::ifstream in(e.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    SCOPED_TRACE(e.path().filename().string());
    repaired += RepairPatched(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) > 0;
    ++inputs;
  }
  EXPECT_GT(inputs, 20u);
  EXPECT_GT(repaired, 0u);
}

}  // namespace
}  // namespace kelva::udf
