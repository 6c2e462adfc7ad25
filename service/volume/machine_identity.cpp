#include "service/volume/machine_identity.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace kelva::volume {
namespace {

// A serial as a zero-terminated UTF-16LE string in a 64-byte field, cut to
// 31 code units.
void PutUtf16Serial(std::string_view utf8, uint8_t* field) {
  const std::u16string text = platform::Utf8ToUtf16(utf8);
  const size_t units = std::min<size_t>(text.size(), 31);
  for (size_t i = 0; i < units; ++i) {
    field[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
    field[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
}

// An ASCII string, zero-terminated, cut to the field size less one.
void PutAscii(std::string_view text, uint8_t* field, size_t size) {
  std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

std::array<uint8_t, kIdentitySourceSize> BuildIdentitySourceBlock(const platform::MachineSources& sources) {
  std::array<uint8_t, kIdentitySourceSize> block{};
  PutUtf16Serial(sources.board_serial, &block[0]);
  PutUtf16Serial(sources.bios_serial, &block[64]);
  PutUtf16Serial(sources.enclosure_serial, &block[128]);
  std::memcpy(&block[192], sources.product_id.data(), std::min<size_t>(sources.product_id.size(), 512));
  PutAscii(sources.disk.vendor, &block[704], 12);
  PutAscii(sources.disk.product, &block[716], 44);
  PutAscii(sources.disk.revision, &block[760], 12);
  PutAscii(sources.disk.serial, &block[772], 24);
  if (sources.disk.start_offset) {
    for (int i = 0; i < 8; ++i) block[796 + i] = static_cast<uint8_t>(*sources.disk.start_offset >> (8 * i));
  }
  return block;
}

bool ComputeMachineIdentity(const platform::MachineSources& sources, MachineIdentity* identity,
                            Sha256Function sha256) {
  const auto block = BuildIdentitySourceBlock(sources);
  MachineIdentity digest{};
  if (!sha256(block, &digest)) return false;
  *identity = digest;
  return true;
}

bool ComputeMachineIdentity(MachineIdentity* identity) {
  return ComputeMachineIdentity(platform::ReadMachineSources(), identity);
}

}  // namespace kelva::volume
