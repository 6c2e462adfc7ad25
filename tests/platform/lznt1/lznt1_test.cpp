// The LZNT1 codec: what our compressor writes must be read correctly by a
// decompressor nobody here wrote (libfwnt), our decompressor must reproduce the
// format's published example, both directions must round-trip, and malformed
// streams must be refused without touching memory outside the buffers.
#include <gtest/gtest.h>
#include <libfwnt.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/lznt1.h"

int KelvaLznt1FuzzOne(const uint8_t* data, size_t size);

namespace kelva::platform {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}
Bytes Repeating(size_t n, std::string_view pattern) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(pattern[i % pattern.size()]);
  return b;
}
// Text-like data: words from a small vocabulary, so that matches of every
// length and distance occur.
Bytes Wordy(size_t n, uint32_t seed) {
  static const char* kWords[] = {"disc ", "magazine ", "catalog ", "the ", "a ", "recorded ", "STRUCT\\", "000\\048\\"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += kWords[rng() % 8];
  return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes Compress(const Bytes& in) {
  Bytes out(Lznt1MaxCompressedSize(in.size()));
  size_t n = 0;
  EXPECT_EQ(Lznt1Compress(in, out, &n), ERROR_SUCCESS);
  out.resize(n);
  return out;
}

// libfwnt's decompressor.
bool IndependentDecompress(const Bytes& packed, size_t expected, Bytes* out) {
  out->assign(expected + 64, 0xEE);
  size_t size = out->size();
  libfwnt_error_t* error = nullptr;
  const int rc = libfwnt_lznt1_decompress(packed.data(), packed.size(), out->data(), &size, &error);
  if (error != nullptr) libfwnt_error_free(&error);
  if (rc != 1) return false;
  out->resize(size);
  return true;
}

struct Sample {
  const char* name;
  Bytes data;
  size_t max_packed;  // an upper bound that only real compression meets
};

std::vector<Sample> Samples() {
  return {
      {"one byte", Bytes{0x42}, 3},
      {"short text", Repeating(17, "abc"), 19},
      {"random chunk", Random(4096, 1), 4098},
      {"random block", Random(16384, 2), Lznt1MaxCompressedSize(16384)},
      {"random odd size", Random(5003, 3), Lznt1MaxCompressedSize(5003)},
      {"zeros", Bytes(16384, 0), 200},
      {"two-byte pattern", Repeating(16384, "ab"), 200},
      {"long period", Repeating(16384, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!?"), 2000},
      {"words", Wordy(16384, 4), 8000},
      {"chunk plus one", Wordy(4097, 5), 2600},
  };
}

TEST(Lznt1, IndependentDecompressorReadsOurOutputAndBothRoundTrip) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    const Bytes packed = Compress(s.data);
    EXPECT_LE(packed.size(), s.max_packed);
    Bytes theirs;
    ASSERT_TRUE(IndependentDecompress(packed, s.data.size(), &theirs));
    EXPECT_EQ(theirs, s.data);
    Bytes ours(s.data.size());
    size_t n = 0;
    ASSERT_EQ(Lznt1Decompress(packed, ours, &n), ERROR_SUCCESS);
    ASSERT_EQ(n, s.data.size());
    EXPECT_EQ(ours, s.data);
  }
}

TEST(Lznt1, DecompressesThePublishedExample) {
  // The format's documentation: a 142-byte string (with its NUL) compressed by
  // the standard engine into one 59-byte chunk whose references overlap the
  // bytes they produce.
  const std::string text =
      "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D E F# "
      "G F# E D E A F# F# G A A G F# E D D E F# E D D";
  const Bytes packed = {0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00, 0x10, 0xa2, 0x47,
                        0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01, 0x50, 0x79, 0x00, 0xc0, 0x45, 0x20,
                        0x05, 0x24, 0x13, 0x88, 0x05, 0xb4, 0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09,
                        0x16, 0x01, 0x48, 0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00};
  ASSERT_EQ(packed.size(), 59u);
  Bytes out(4096);
  size_t n = 0;
  ASSERT_EQ(Lznt1Decompress(packed, out, &n), ERROR_SUCCESS);
  ASSERT_EQ(n, text.size() + 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), n - 1), text);
  EXPECT_EQ(out[n - 1], 0);
  // Our compressor packs the same text at least as tightly, and libfwnt agrees.
  const Bytes ours = Compress(Bytes(text.begin(), text.end() + 1));
  EXPECT_LE(ours.size(), packed.size());
  Bytes theirs;
  ASSERT_TRUE(IndependentDecompress(ours, n, &theirs));
  EXPECT_EQ(theirs, Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)));
}

TEST(Lznt1, MalformedStreamsAreRefused) {
  struct Case {
    const char* name;
    Bytes packed;
    size_t out_size;
    Win32Error expected;
    size_t produced;
  };
  const Case cases[] = {
      {"empty input", {}, 16, ERROR_SUCCESS, 0},
      {"zero header ends", {0x00, 0x00, 0x41, 0x42}, 16, ERROR_SUCCESS, 0},
      {"stored chunk", {0x02, 0x30, 'a', 'b', 'c'}, 16, ERROR_SUCCESS, 3},
      {"stored chunk past the input", {0x05, 0x30, 'a', 'b', 'c'}, 16, ERROR_INVALID_DATA, 0},
      {"stored chunk larger than the output", {0x02, 0x30, 'a', 'b', 'c'}, 2, ERROR_INVALID_DATA, 0},
      {"reference with nothing produced", {0x02, 0xB0, 0x01, 0x00, 0x00}, 16, ERROR_INVALID_DATA, 0},
      // 'a' then a reference of offset 2 (token 0x1000): before the chunk's start.
      {"reference before the chunk", {0x03, 0xB0, 0x02, 'a', 0x00, 0x10}, 16, ERROR_INVALID_DATA, 0},
      // 'a' then offset 1, length 18: more than the output holds.
      {"reference past the output", {0x03, 0xB0, 0x02, 'a', 0x0F, 0x00}, 8, ERROR_INVALID_DATA, 0},
      {"reference cut in half", {0x02, 0xB0, 0x02, 'a', 0x0F}, 16, ERROR_INVALID_DATA, 0},
      {"overlapping reference", {0x03, 0xB0, 0x02, 'a', 0x02, 0x00}, 16, ERROR_SUCCESS, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out(c.out_size);
    size_t n = 99;
    EXPECT_EQ(Lznt1Decompress(c.packed, out, &n), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_EQ(n, c.produced);
    }
  }
  // A compressed chunk may not produce more than 4096 bytes: 'a', then a
  // reference of 4098 bytes.
  const Bytes chunk = {0x03, 0xB0, 0x02, 'a', 0xFF, 0x0F};
  Bytes out(65536);
  size_t n = 0;
  EXPECT_EQ(Lznt1Decompress(chunk, out, &n), ERROR_INVALID_DATA);
}

TEST(Lznt1, CompressorRefusesAnOutputTooSmall) {
  const Bytes data = Random(5000, 7);
  Bytes out(Lznt1MaxCompressedSize(data.size()) - 1);
  size_t n = 0;
  EXPECT_EQ(Lznt1Compress(data, out, &n), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Lznt1, FuzzBodyReplays) {
  const Bytes inputs[] = {{}, {0x10, 0x03, 0xB0, 0x02, 'a', 0x02, 0x00}, Random(3000, 9), Compress(Wordy(9000, 3))};
  for (const Bytes& in : inputs) EXPECT_EQ(KelvaLznt1FuzzOne(in.data(), in.size()), 0);
}

}  // namespace
}  // namespace kelva::platform
