#include "platform/digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kelva::platform {
namespace {

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& d) {
  std::string s;
  char b[3];
  for (uint8_t x : d) {
    std::snprintf(b, sizeof b, "%02x", x);
    s += b;
  }
  return s;
}

std::span<const uint8_t> Bytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(DigestTest, KnownValuesAndIncrementalUpdates) {
  Md5Digest md5;
  ASSERT_TRUE(Md5(Bytes("abc"), &md5));
  EXPECT_EQ(Hex(md5), "900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(Md5(Bytes(""), &md5));
  EXPECT_EQ(Hex(md5), "d41d8cd98f00b204e9800998ecf8427e");
  Sha256Digest sha;
  ASSERT_TRUE(Sha256(Bytes("abc"), &sha));
  EXPECT_EQ(Hex(sha), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  Digest d(Digest::Algorithm::kMd5);
  ASSERT_TRUE(d.Update("a", 1));
  ASSERT_TRUE(d.Update("bc", 2));
  Md5Digest pieces;
  ASSERT_TRUE(d.Final(pieces.data()));
  ASSERT_TRUE(Md5(Bytes("abc"), &md5));
  EXPECT_EQ(pieces, md5);
  EXPECT_FALSE(d.Update("x", 1)) << "a finished digest takes no more data";
}

}  // namespace
}  // namespace kelva::platform
