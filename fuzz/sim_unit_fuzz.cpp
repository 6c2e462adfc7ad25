// libFuzzer target: random command blocks and data lengths against the simulated unit.
#include <cstdlib>

#include "fuzz/sim_unit_fuzz_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kelva::fuzz::SimUnitFuzzer fuzzer;
  if (!fuzzer.Step(data, size)) std::abort();
  return 0;
}
