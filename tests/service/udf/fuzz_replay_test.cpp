// Replays the volume-structure fuzz harness over a real volume's sectors and
// many mutations of them, so the fuzz target keeps building and the reader keeps
// refusing damage without crashing (run under the sanitizers by scripts/test.sh).
#include <gtest/gtest.h>

#include <random>

#include "fuzz/udf_volume_harness.h"
#include "tests/service/udf/fake_drive.h"

namespace kelva::udf {
namespace {

// The sectors in the order ReadVolumeStructure asks for them.
std::vector<uint8_t> Seed(uint16_t profile) {
  testing::FakeDrive drive(profile, 12219391);
  platform::TestClock clock;
  EXPECT_TRUE(FormatDisc(drive, clock));
  std::vector<uint8_t> seed = {0};
  for (uint32_t lba : {256u, 32u, 33u, 34u, 35u, 36u, 37u, 64u}) {
    const uint8_t* s = drive.Sector(lba);
    seed.insert(seed.end(), s, s + kSectorSize);
  }
  return seed;
}

TEST(FuzzReplay, SeedIsAValidVolumeForTheHarness) {
  for (uint16_t profile : {kProfileBdRe, kProfileBdrSequential}) {
    const std::vector<uint8_t> seed = Seed(profile);
    for (bool fix : {false, true}) {
      fuzzing::FuzzDrive drive(seed.data() + 1, seed.size() - 1, fix);
      VolumeStructure vs;
      EXPECT_TRUE(ReadVolumeStructure(drive, &vs));
    }
  }
}

TEST(FuzzReplay, MutatedSectorsNeverCrash) {
  std::mt19937 rng(12345);
  int accepted = 0;
  for (uint16_t profile : {kProfileBdRe, kProfileBdrSequential}) {
    const std::vector<uint8_t> seed = Seed(profile);
    for (int round = 0; round < 1500; ++round) {
      std::vector<uint8_t> input = seed;
      input[0] = static_cast<uint8_t>(rng() & 1);
      const int edits = 1 + static_cast<int>(rng() % 8);
      for (int e = 0; e < edits; ++e) {
        const size_t at = rng() % input.size();
        switch (rng() % 4) {
          case 0: input[at] = static_cast<uint8_t>(rng()); break;
          case 1: input[at] = 0xFF; break;
          case 2: input[at] = 0; break;
          default:  // a 32-bit field set to an extreme value
            if (at + 4 <= input.size()) Put32(&input[at], rng() % 2 ? 0xFFFFFFFFu : 0x7FFFFFFFu);
        }
      }
      if (rng() % 10 == 0) input.resize(rng() % input.size());
      fuzzing::FuzzVolumeStructure(input.data(), input.size());
      fuzzing::FuzzDrive drive(input.data() + 1, input.empty() ? 0 : input.size() - 1,
                               !input.empty() && (input[0] & 1));
      VolumeStructure vs;
      accepted += input.empty() ? 0 : ReadVolumeStructure(drive, &vs);
    }
  }
  // Some mutations hit bytes the reader does not judge; most do not survive.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 3000);
}

TEST(FuzzReplay, ArbitraryBytes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> input(rng() % (6 * kSectorSize));
    for (uint8_t& b : input) b = static_cast<uint8_t>(rng());
    fuzzing::FuzzVolumeStructure(input.data(), input.size());
  }
}

}  // namespace
}  // namespace kelva::udf
