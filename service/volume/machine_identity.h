// The identity of this computer: a SHA-256 digest over an 804-byte block of
// hardware and installation identifiers. A volume stamps it into a magazine's
// structure catalog as "LastSystem" and compares it at every mount, so that a
// magazine last changed on another computer is recognised.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "platform/digest.h"
#include "platform/machine_sources.h"

namespace kelva::volume {

using MachineIdentity = std::array<uint8_t, 32>;
inline constexpr size_t kIdentitySourceSize = 804;

// The 804-byte source block, little-endian, zero where a source is missing:
//   0   64  base board serial, UTF-16, at most 31 units, zero-terminated
//   64  64  firmware system serial, same form
//   128 64  enclosure serial, same form
//   192 512 the installation's product id, as stored (at most 512 bytes)
//   704 12  system disk vendor, ASCII, zero-terminated
//   716 44  system disk product, same form
//   760 12  system disk revision, same form
//   772 24  system disk serial, same form
//   796 8   byte offset of the system partition on that disk
std::array<uint8_t, kIdentitySourceSize> BuildIdentitySourceBlock(const platform::MachineSources& sources);

// Hashes the source block. Returns false when the digest could not be
// computed; identity is then left as it was (a volume starts it as 32 bytes
// of 0xFF and keeps that value).
using Sha256Function = bool (*)(std::span<const uint8_t>, platform::Sha256Digest*);
bool ComputeMachineIdentity(const platform::MachineSources& sources, MachineIdentity* identity,
                            Sha256Function sha256 = &platform::Sha256);

// The identity of the computer this runs on.
bool ComputeMachineIdentity(MachineIdentity* identity);

}  // namespace kelva::volume
