// Arbitrary bytes fed to the LZNT1 decompressor, into output buffers of every
// size up to a block: it must answer an error or the bytes produced, never read
// or write outside its spans. Whatever it produced must survive our own
// compressor and decompressor unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/lznt1.h"

namespace pe = kelva::platform;

int KelvaLznt1FuzzOne(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the output size, so that short outputs are reached.
  const size_t out_size = size_t{data[0]} * 97 % 16385;
  std::vector<uint8_t> out(out_size);
  size_t produced = 0;
  if (pe::Lznt1Decompress({data + 1, size - 1}, out, &produced) != pe::ERROR_SUCCESS) return 0;
  if (produced > out_size) std::abort();

  std::vector<uint8_t> packed(pe::Lznt1MaxCompressedSize(produced));
  size_t packed_size = 0;
  if (pe::Lznt1Compress({out.data(), produced}, packed, &packed_size) != pe::ERROR_SUCCESS) std::abort();
  std::vector<uint8_t> again(produced);
  size_t again_size = 0;
  if (pe::Lznt1Decompress({packed.data(), packed_size}, again, &again_size) != pe::ERROR_SUCCESS ||
      again_size != produced || std::memcmp(again.data(), out.data(), produced) != 0) {
    std::abort();
  }
  return 0;
}

#ifndef KELVA_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return KelvaLznt1FuzzOne(data, size); }
#endif
