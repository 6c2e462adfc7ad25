// libFuzzer target: the UDF file system mounting, walking, checking and writing
// volumes damaged by the fuzzer's patches.
#include <cstddef>
#include <cstdint>

#include "fuzz/udf_fs_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelva::udf::fuzzing::Walk(kelva::udf::fuzzing::Patched(data, size));
  return 0;
}
