#include "platform/udf/tag.h"

#include <array>

#include "platform/udf/bytes.h"

namespace kelva::udf {
namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint16_t Crc16(std::span<const uint8_t> data, uint16_t crc) {
  for (uint8_t b : data)
    crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ b) & 0xFF]);
  return crc;
}

uint8_t TagChecksum(const uint8_t* tag) {
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum += tag[i];
  return static_cast<uint8_t>(sum);
}

DescriptorTag DecodeTag(const uint8_t* p) {
  DescriptorTag t;
  t.tagIdent = Get16(p);
  t.descVersion = Get16(p + 2);
  t.tagChecksum = p[4];
  t.tagSerialNum = Get16(p + 6);
  t.descCRC = Get16(p + 8);
  t.descCRCLength = Get16(p + 10);
  t.tagLocation = Get32(p + 12);
  return t;
}

void FinishTag(std::span<uint8_t> desc, uint16_t ident, uint32_t location,
               uint16_t crc_length, uint16_t serial) {
  uint8_t* p = desc.data();
  Put16(p, ident);
  Put16(p + 2, kDescriptorVersion3);
  p[4] = 0;
  p[5] = 0;
  Put16(p + 6, serial);
  Put16(p + 8, Crc16(desc.subspan(kTagSize, crc_length)));
  Put16(p + 10, crc_length);
  Put32(p + 12, location);
  p[4] = TagChecksum(p);
}

bool RefreshTag(std::span<uint8_t> desc) {
  if (desc.size() < kTagSize) return false;
  uint8_t* p = desc.data();
  const uint16_t crc_length = Get16(p + 10);
  if (kTagSize + crc_length > desc.size()) return false;
  Put16(p + 8, Crc16(desc.subspan(kTagSize, crc_length)));
  p[4] = TagChecksum(p);
  return true;
}

bool TagChecksumValid(std::span<const uint8_t> desc) {
  if (desc.size() < kTagSize) return false;
  bool all_zero = true;
  for (size_t i = 0; i < kTagSize; ++i) all_zero = all_zero && desc[i] == 0;
  return !all_zero && TagChecksum(desc.data()) == desc[4];
}

TagStatus CheckTag(std::span<const uint8_t> desc, uint16_t want_ident, bool check_location,
                   uint32_t location) {
  if (desc.size() < kTagSize) return TagStatus::kTooShort;
  if (!TagChecksumValid(desc)) return TagStatus::kBadChecksum;
  const DescriptorTag tag = DecodeTag(desc.data());
  if (want_ident != 0 && tag.tagIdent != want_ident) return TagStatus::kWrongIdent;
  if (check_location && tag.tagLocation != location) return TagStatus::kWrongLocation;
  if (kTagSize + tag.descCRCLength > desc.size()) return TagStatus::kBadCrc;
  if (Crc16(desc.subspan(kTagSize, tag.descCRCLength)) != tag.descCRC) return TagStatus::kBadCrc;
  return TagStatus::kOk;
}

}  // namespace kelva::udf
