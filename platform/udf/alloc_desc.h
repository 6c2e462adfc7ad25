// Extent and allocation descriptors: extent_ad (ECMA-167 3/7.1), short_ad,
// long_ad and lb_addr (4/14.14). The top two bits of an allocation descriptor's
// length field hold the extent type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelva::udf {

enum class ExtentType : uint8_t {
  kRecordedAllocated = 0,
  kAllocatedNotRecorded = 1,
  kNotRecordedNotAllocated = 2,
  kNextExtent = 3,  // continues in an allocation extent descriptor
};

inline constexpr uint32_t kExtentLengthMask = 0x3FFFFFFF;

// extent_ad: a byte length and a sector location (volume structures).
struct ExtentAd {
  uint32_t extentLength = 0;
  uint32_t extentLocation = 0;
  bool operator==(const ExtentAd&) const = default;
};
inline constexpr size_t kExtentAdSize = 8;

// lb_addr: a block inside a partition, named by its partition reference number.
struct LbAddr {
  uint32_t logicalBlockNum = 0;
  uint16_t partitionReferenceNum = 0;
  bool operator==(const LbAddr&) const = default;
};

struct ShortAd {
  uint32_t length = 0;  // bytes, 30 bits
  ExtentType type = ExtentType::kRecordedAllocated;
  uint32_t position = 0;  // block in the partition of the descriptor's owner
  bool operator==(const ShortAd&) const = default;
};
inline constexpr size_t kShortAdSize = 8;

struct LongAd {
  uint32_t length = 0;  // bytes, 30 bits
  ExtentType type = ExtentType::kRecordedAllocated;
  LbAddr location;
  std::array<uint8_t, 6> implementationUse{};
  bool operator==(const LongAd&) const = default;
};
inline constexpr size_t kLongAdSize = 16;

// The length field with the extent type in its top two bits.
inline uint32_t PackExtentLength(uint32_t length, ExtentType type) {
  return (length & kExtentLengthMask) | (static_cast<uint32_t>(type) << 30);
}

void EncodeExtentAd(uint8_t* p, const ExtentAd& e);
ExtentAd DecodeExtentAd(const uint8_t* p);
void EncodeLbAddr(uint8_t* p, const LbAddr& a);
LbAddr DecodeLbAddr(const uint8_t* p);
void EncodeShortAd(uint8_t* p, const ShortAd& a);
ShortAd DecodeShortAd(const uint8_t* p);
void EncodeLongAd(uint8_t* p, const LongAd& a);
LongAd DecodeLongAd(const uint8_t* p);

}  // namespace kelva::udf
