#include <cstddef>
#include <cstdint>

#include "fuzz/udf_volume_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelva::udf::fuzzing::FuzzVolumeStructure(data, size);
  return 0;
}
