// Arbitrary bytes read as a directory pack stream: the first byte picks the
// encoding (plain, LZNT1 blocks, zlib, or an unknown one), the rest is the
// stream. Reads of varying sizes must end in an error or the end of the
// stream, never crash, overrun or loop for ever.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "service/storage/dir_pack_stream.h"

namespace {

namespace pe = kelva::platform;
using kelva::storage::CDirPackStream;

class MemoryChannel : public kelva::storage::IPackChannel {
 public:
  MemoryChannel(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  pe::Win32Error Read(void* buffer, uint32_t count, uint32_t* done) override {
    const size_t n = std::min<size_t>(count, size_ - at_);
    std::copy(data_ + at_, data_ + at_ + n, static_cast<uint8_t*>(buffer));
    at_ += n;
    *done = static_cast<uint32_t>(n);
    return pe::ERROR_SUCCESS;
  }
  pe::Win32Error Write(const void*, uint32_t, uint32_t*) override { return pe::ERROR_ACCESS_DENIED; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace

int KelvaDirPackFuzzOne(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  MemoryChannel channel(data + 1, size - 1);
  CDirPackStream stream(&channel, CDirPackStream::Mode::kRead);
  const uint32_t encoding = data[0] % 4;
  if (stream.SetEncoding(encoding) != pe::ERROR_SUCCESS) {
    if (encoding <= 2) std::abort();
    return 0;
  }
  std::vector<uint8_t> buffer(70000);
  uint64_t total = 0;
  for (uint32_t round = 0;; ++round) {
    const uint32_t want = 1 + (round * 7919u) % static_cast<uint32_t>(buffer.size());
    uint32_t got = 0;
    if (stream.Read(buffer.data(), want, &got) != pe::ERROR_SUCCESS) break;
    if (got > want) std::abort();
    total += got;
    if (got < want) break;  // the end of the stream
    // Every LZNT1 block of at most 20482 input bytes gives at most 16384
    // bytes; zlib at most ~1032 times its input.
    if (total > 1100 * uint64_t{size} + 16384) std::abort();
  }
  return 0;
}

#ifndef KELVA_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return KelvaDirPackFuzzOne(data, size); }
#endif
