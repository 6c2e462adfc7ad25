// Reads arbitrary bytes as the resume records of a file object (what LoadState
// parses). Nothing may crash, hang or read past the end, and whatever is
// accepted must be written back as exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/storage/file_object.h"

using namespace kelva::storage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

class BytesStream : public IDataStream {
 public:
  BytesStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Read(void* buffer, uint32_t length) override {
    if (size_ - at_ < length) return false;
    std::memcpy(buffer, data_ + at_, length);
    at_ += length;
    return true;
  }
  bool Write(const void* buffer, uint32_t length) override {
    out_.append(static_cast<const char*>(buffer), length);
    return true;
  }
  size_t consumed() const { return at_; }
  const std::string& written() const { return out_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string out_;
};

}  // namespace

// Exposed under a second name so that a test binary can replay it.
extern "C" int KelvaFileResumeFuzzOne(const uint8_t* data, size_t size) {
  BytesStream in(data, size);
  FileResumeState state;
  if (ReadFileResumeState(in, &state) != 0) return 0;
  BytesStream out(nullptr, 0);
  if (!WriteFileResumeState(out, state)) std::abort();
  if (out.written().size() != in.consumed() || std::memcmp(out.written().data(), data, in.consumed()) != 0) {
    std::abort();
  }
  return 0;
}

#ifndef KELVA_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return KelvaFileResumeFuzzOne(data, size); }
#endif
