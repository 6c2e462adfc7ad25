// libFuzzer target: the metadata repair of write-once volumes damaged by the
// fuzzer's patches.
#include <cstddef>
#include <cstdint>

#include "fuzz/udf_repair_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelva::udf::fuzzing::RepairPatched(data, size);
  return 0;
}
