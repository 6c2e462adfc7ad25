// Directory pack streams: each encoding round-trips what is written through it
// after a plain header, the LZNT1 block framing is byte-exact, the zlib stream
// is a complete stream that zlib itself reads, and damaged or cut streams end
// in the documented errors.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/file.h"
#include "service/storage/dir_pack_stream.h"

int KelvaDirPackFuzzOne(const uint8_t* data, size_t size);

namespace kelva::storage {
namespace {

namespace pe = platform;
using Bytes = std::vector<uint8_t>;

// A pack held in memory; a write limit makes the channel take fewer bytes.
class MemoryChannel : public IPackChannel {
 public:
  pe::Win32Error Read(void* buffer, uint32_t count, uint32_t* done) override {
    const size_t n = std::min<size_t>(count, bytes.size() - at);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, static_cast<uint8_t*>(buffer));
    at += n;
    *done = static_cast<uint32_t>(n);
    return pe::ERROR_SUCCESS;
  }
  pe::Win32Error Write(const void* data, uint32_t count, uint32_t* done) override {
    const size_t n = std::min<size_t>(count, write_limit - std::min(write_limit, bytes.size()));
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + n);
    *done = static_cast<uint32_t>(n);
    return pe::ERROR_SUCCESS;
  }
  Bytes bytes;
  size_t at = 0;
  size_t write_limit = SIZE_MAX;
};

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng() % 7 == 0 ? rng() : 'A' + rng() % 4);
  return b;
}

const Bytes kHeader = {0x0F, 0x95, 0x3F, 0xE9, 0x12, 0x1C, 0x08, 0x41, 0x98, 0x1A, 0x44, 0x79, 0x22, 0x22, 0xB7, 0xC6};

// Writes the plain header, then the data in uneven pieces in encoding.
Bytes WritePack(uint32_t encoding, const Bytes& data) {
  MemoryChannel channel;
  CDirPackStream out(&channel, CDirPackStream::Mode::kWrite);
  EXPECT_EQ(out.Write(kHeader.data(), 16), 0u);
  EXPECT_EQ(out.SetEncoding(encoding), 0u);
  size_t at = 0;
  for (uint32_t piece = 1; at < data.size(); piece = piece * 3 + 1) {
    const size_t n = std::min<size_t>(piece % 50000, data.size() - at);
    EXPECT_EQ(out.Write(data.data() + at, static_cast<uint32_t>(n)), 0u);
    at += n;
  }
  EXPECT_EQ(out.Close(), 0u);
  return channel.bytes;
}

// Reads the header and then everything after it in encoding.
pe::Win32Error ReadPack(uint32_t encoding, const Bytes& pack, Bytes* data) {
  MemoryChannel channel;
  channel.bytes = pack;
  CDirPackStream in(&channel, CDirPackStream::Mode::kRead);
  Bytes header(16);
  uint32_t got = 0;
  if (const auto e = in.Read(header.data(), 16, &got)) return e;
  EXPECT_EQ(header, kHeader);
  if (const auto e = in.SetEncoding(encoding)) return e;
  data->clear();
  Bytes buffer(40000);
  for (uint32_t want = 7;; want = want * 5 % 39999 + 1) {
    if (const auto e = in.Read(buffer.data(), want, &got)) return e;
    data->insert(data->end(), buffer.begin(), buffer.begin() + got);
    if (got < want) return pe::ERROR_SUCCESS;
  }
}

TEST(DirPackStream, EveryEncodingRoundTripsAfterAPlainHeader) {
  const Bytes samples[] = {{}, {0x42}, Random(16384, 1), Random(16385, 2), Random(100000, 3), Bytes(70000, 0)};
  for (uint32_t encoding : {CDirPackStream::kPlain, CDirPackStream::kLznt1, CDirPackStream::kZlib}) {
    for (const Bytes& data : samples) {
      SCOPED_TRACE(testing::Message() << "encoding " << encoding << ", " << data.size() << " bytes");
      const Bytes pack = WritePack(encoding, data);
      ASSERT_TRUE(std::equal(kHeader.begin(), kHeader.end(), pack.begin()));
      if (encoding != CDirPackStream::kPlain && data.size() == 70000) {  // the zeros
        EXPECT_LT(pack.size(), data.size() / 20);
      }
      Bytes back;
      ASSERT_EQ(ReadPack(encoding, pack, &back), 0u);
      EXPECT_EQ(back, data);
    }
  }
}

TEST(DirPackStream, Lznt1BlocksAreFramedByteForByte) {
  // "abc" does not shrink: one stored chunk (header 0x3002) in a block of 5
  // bytes, then the count 0 that ends the stream.
  Bytes pack = WritePack(CDirPackStream::kLznt1, {'a', 'b', 'c'});
  const Bytes expected = {0x05, 0x00, 0x02, 0x30, 'a', 'b', 'c', 0x00, 0x00};
  EXPECT_EQ(Bytes(pack.begin() + 16, pack.end()), expected);
  // 16385 bytes make a full block of 16384 input bytes and one of 1 (a stored
  // one-byte chunk, header 0x3000).
  const Bytes data = Random(16385, 5);
  pack = WritePack(CDirPackStream::kLznt1, data);
  const size_t first = pack[16] | pack[17] << 8;
  ASSERT_LE(first, CDirPackStream::kLznt1MaxBlock);
  const Bytes second = {0x03, 0x00, 0x00, 0x30, data.back(), 0x00, 0x00};
  EXPECT_EQ(Bytes(pack.begin() + 18 + static_cast<std::ptrdiff_t>(first), pack.end()), second);
}

TEST(DirPackStream, DamagedLznt1StreamsFailWith30AndACountOf0EndsCleanly) {
  struct Case {
    const char* name;
    Bytes after_header;
    pe::Win32Error expected;
    size_t produced;
  };
  const Case cases[] = {
      {"count 0 ends", {0x00, 0x00, 0xAA, 0xBB}, 0, 0},
      {"the channel's end ends", {}, 0, 0},
      {"one block then count 0", {0x05, 0x00, 0x02, 0x30, 'x', 'y', 'z', 0x00, 0x00}, 0, 3},
      {"count 20481", {0x01, 0x50}, pe::ERROR_READ_FAULT, 0},
      {"block cut short", {0x05, 0x00, 0x02, 0x30, 'x'}, pe::ERROR_READ_FAULT, 0},
      {"count cut in half", {0x05}, pe::ERROR_READ_FAULT, 0},
      {"block that does not decompress", {0x03, 0x00, 0x02, 0xB0, 0x01}, pe::ERROR_READ_FAULT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes pack = kHeader;
    pack.insert(pack.end(), c.after_header.begin(), c.after_header.end());
    Bytes data;
    EXPECT_EQ(ReadPack(CDirPackStream::kLznt1, pack, &data), c.expected);
    if (c.expected == 0) {
      EXPECT_EQ(data.size(), c.produced);
    }
  }
}

TEST(DirPackStream, ZlibStreamIsFinishedAndCutStreamsFail) {
  const Bytes data = Random(50000, 7);
  const Bytes pack = WritePack(CDirPackStream::kZlib, data);
  // zlib itself reads the stream after the header to its end.
  Bytes inflated(data.size());
  uLongf size = static_cast<uLongf>(inflated.size());
  ASSERT_EQ(uncompress(inflated.data(), &size, pack.data() + 16, static_cast<uLong>(pack.size() - 16)), Z_OK);
  EXPECT_EQ(Bytes(inflated.begin(), inflated.begin() + static_cast<std::ptrdiff_t>(size)), data);

  Bytes back;
  EXPECT_EQ(ReadPack(CDirPackStream::kZlib, Bytes(pack.begin(), pack.end() - 10), &back), pe::ERROR_READ_FAULT);
  Bytes corrupt = pack;
  corrupt[40] ^= 0xFF;
  EXPECT_EQ(ReadPack(CDirPackStream::kZlib, corrupt, &back), pe::ERROR_READ_FAULT);
}

TEST(DirPackStream, UnknownEncodingAndShortWritesAreRefused) {
  MemoryChannel channel;
  CDirPackStream out(&channel, CDirPackStream::Mode::kWrite);
  EXPECT_EQ(out.SetEncoding(3), pe::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(out.Write("x", 1), pe::ERROR_NOT_SUPPORTED);  // the first error sticks

  MemoryChannel small;
  small.write_limit = 10;
  CDirPackStream limited(&small, CDirPackStream::Mode::kWrite);
  EXPECT_EQ(limited.Write(kHeader.data(), 16), pe::ERROR_WRITE_FAULT);
}

TEST(DirPackStream, PackAndUnpackCopyCatalogFiles) {
  const auto dir = std::filesystem::path(testing::TempDir()) / ("kelva-dirpack-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const Bytes catalog = Random(150000, 11);
  pe::File source;
  ASSERT_EQ(pe::File::Open(dir / "a.DIR", pe::kAccessReadWrite, pe::Disposition::kCreateAlways, &source), 0u);
  ASSERT_EQ(source.WriteAllAt(0, catalog.data(), static_cast<uint32_t>(catalog.size())), 0u);
  ASSERT_EQ(source.Seek(0), 0u);

  MemoryChannel channel;
  CDirPackStream out(&channel, CDirPackStream::Mode::kWrite);
  ASSERT_EQ(out.SetEncoding(CDirPackStream::kZlib), 0u);
  uint64_t bytes = 0;
  ASSERT_EQ(out.Pack(source, &bytes), 0u);
  EXPECT_EQ(bytes, catalog.size());
  ASSERT_EQ(out.Close(), 0u);

  CDirPackStream in(&channel, CDirPackStream::Mode::kRead);
  ASSERT_EQ(in.SetEncoding(CDirPackStream::kZlib), 0u);
  pe::File target;
  ASSERT_EQ(pe::File::Open(dir / "b.DIR", pe::kAccessReadWrite, pe::Disposition::kCreateAlways, &target), 0u);
  ASSERT_EQ(in.Unpack(catalog.size() - 1000, target), 0u);
  EXPECT_EQ(in.Unpack(2000, target), pe::ERROR_READ_FAULT);  // only 1000 bytes are left
  Bytes copied(catalog.size() - 1000);
  ASSERT_EQ(target.ReadExactAt(0, copied.data(), static_cast<uint32_t>(copied.size())), 0u);
  EXPECT_TRUE(std::equal(copied.begin(), copied.end(), catalog.begin()));
  std::filesystem::remove_all(dir);
}

TEST(DirPackStream, FuzzBodyReplays) {
  std::vector<Bytes> inputs = {{}, {0}, {1, 0x00, 0x00}, {1, 0x01, 0x50}, {2, 0x78, 0x9C}, {3, 1, 2, 3}};
  for (uint32_t encoding = 0; encoding < 3; ++encoding) {
    Bytes pack = WritePack(encoding, Random(20000, encoding));
    pack.erase(pack.begin(), pack.begin() + 15);
    pack[0] = static_cast<uint8_t>(encoding);
    inputs.push_back(pack);
  }
  for (const Bytes& in : inputs) EXPECT_EQ(KelvaDirPackFuzzOne(in.data(), in.size()), 0);
}

}  // namespace
}  // namespace kelva::storage
