#include "platform/udf/alloc_desc.h"

#include <cstring>

#include "platform/udf/bytes.h"

namespace kelva::udf {

void EncodeExtentAd(uint8_t* p, const ExtentAd& e) {
  Put32(p, e.extentLength);
  Put32(p + 4, e.extentLocation);
}

ExtentAd DecodeExtentAd(const uint8_t* p) { return {Get32(p), Get32(p + 4)}; }

void EncodeLbAddr(uint8_t* p, const LbAddr& a) {
  Put32(p, a.logicalBlockNum);
  Put16(p + 4, a.partitionReferenceNum);
}

LbAddr DecodeLbAddr(const uint8_t* p) { return {Get32(p), Get16(p + 4)}; }

void EncodeShortAd(uint8_t* p, const ShortAd& a) {
  Put32(p, PackExtentLength(a.length, a.type));
  Put32(p + 4, a.position);
}

ShortAd DecodeShortAd(const uint8_t* p) {
  const uint32_t raw = Get32(p);
  return {raw & kExtentLengthMask, static_cast<ExtentType>(raw >> 30), Get32(p + 4)};
}

void EncodeLongAd(uint8_t* p, const LongAd& a) {
  Put32(p, PackExtentLength(a.length, a.type));
  EncodeLbAddr(p + 4, a.location);
  std::memcpy(p + 10, a.implementationUse.data(), a.implementationUse.size());
}

LongAd DecodeLongAd(const uint8_t* p) {
  LongAd a;
  const uint32_t raw = Get32(p);
  a.length = raw & kExtentLengthMask;
  a.type = static_cast<ExtentType>(raw >> 30);
  a.location = DecodeLbAddr(p + 4);
  std::memcpy(a.implementationUse.data(), p + 10, a.implementationUse.size());
  return a;
}

}  // namespace kelva::udf
