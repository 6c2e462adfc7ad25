// Keeps the simulator fuzz target honest without libFuzzer: a fixed stream of
// random command blocks, plus blocks built around every operation code.
#include <gtest/gtest.h>

#include <random>

#include "fuzz/sim_unit_fuzz_body.h"

namespace kelva::fuzz {
namespace {

TEST(SimUnitFuzzReplay, RandomCommandBlocksGetValidAnswers) {
  SimUnitFuzzer fuzzer;
  std::mt19937 random(20261209);
  std::vector<uint8_t> input;
  for (int i = 0; i < 20000; ++i) {
    input.resize(4 + random() % 200);
    for (auto& b : input) b = static_cast<uint8_t>(random());
    ASSERT_TRUE(fuzzer.Step(input.data(), input.size())) << "input " << i;
  }
}

TEST(SimUnitFuzzReplay, EveryOperationCodeWithRandomFields) {
  SimUnitFuzzer fuzzer;
  std::mt19937 random(7);
  for (int opcode = 0; opcode < 256; ++opcode) {
    for (int round = 0; round < 40; ++round) {
      std::vector<uint8_t> input(4 + 16 + 64);
      for (auto& b : input) b = static_cast<uint8_t>(random());
      input[1] = static_cast<uint8_t>((input[1] & ~3) | (opcode >> 5 == 0 ? 0 : opcode >> 5 < 4 ? 1 : 2));
      input[4] = static_cast<uint8_t>(opcode);
      if (round % 2) input[15] &= 0x03;  // plausible vendor function codes now and then
      ASSERT_TRUE(fuzzer.Step(input.data(), input.size())) << "opcode " << opcode;
    }
  }
}

}  // namespace
}  // namespace kelva::fuzz
