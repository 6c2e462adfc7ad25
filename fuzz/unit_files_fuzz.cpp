#include <cstddef>
#include <cstdint>

#include "fuzz/unit_files_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelva::unit::fuzzing::FuzzUnitFiles(data, size);
  return 0;
}
