// A damage utility for tests: puts a write-once volume written by our file
// system into the states an interrupted recording leaves behind, through the
// drive's own commands (pseudo-overwrites of recorded sectors and units appended
// at the metadata track's next writable address), so that a simulated unit
// enforces the medium's rules on the damage as on the repair.
#pragma once

#include <cstring>
#include <vector>

#include "platform/udf/alloc_desc.h"
#include "platform/udf/bytes.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/tag.h"
#include "service/udf/udf_drive.h"
#include "service/udf/udf_format.h"

namespace kelva::udf::testing {

class UdfDamage {
 public:
  explicit UdfDamage(IUdfDrive& drive) : drive_(drive) { ok_ = ReadVolumeStructure(drive, &vs_); }
  bool ok() const { return ok_; }
  const VolumeStructure& volume() const { return vs_; }
  uint32_t MainLba() const { return vs_.partitionStart + vs_.metadataFileLocation; }
  uint32_t MirrorLba() const { return vs_.partitionStart + vs_.metadataMirrorFileLocation; }

  std::vector<uint8_t> Read(uint32_t lba) {
    std::vector<uint8_t> s(kSectorSize, 0);
    drive_.Read10(lba, 1, s.data());
    return s;
  }
  bool Write(uint32_t lba, const std::vector<uint8_t>& s) {
    return drive_.Write10(lba, 1, s.data()) == 0;
  }

  // The tag checksum no longer matches (the descriptor body is untouched).
  bool BreakChecksum(uint32_t lba) {
    auto s = Read(lba);
    s[4] ^= 0x5A;
    return Write(lba, s);
  }
  // The recorded CRC no longer matches; the checksum is made right again.
  bool BreakCrc(uint32_t lba) {
    auto s = Read(lba);
    s[8] ^= 0xA5;
    s[4] = TagChecksum(s.data());
    return Write(lba, s);
  }
  bool Zero(uint32_t lba) { return Write(lba, std::vector<uint8_t>(kSectorSize, 0)); }

  // The metadata file's descriptors as its main entry holds them (no chain).
  std::vector<ShortAd> MetaAds() {
    auto s = Read(MainLba());
    const uint32_t ea = Get32(s.data() + 208), ad = Get32(s.data() + 212);
    std::vector<ShortAd> out;
    for (uint32_t at = 0; at + 8 <= ad; at += 8) {
      ShortAd a = DecodeShortAd(s.data() + 216 + ea + at);
      if (a.length == 0) break;
      out.push_back(a);
    }
    return out;
  }
  // The partition block of metadata block n (recorded extents only).
  uint32_t MapMeta(uint32_t n) {
    for (const ShortAd& a : MetaAds()) {
      const uint32_t blocks = a.length / kSectorSize;
      if (n < blocks) return a.type == ExtentType::kRecordedAllocated ? a.position + n : kNoAddress;
      n -= blocks;
    }
    return kNoAddress;
  }
  // Rewrites main and mirror entries with these descriptors. `ea_bytes` extended
  // attribute bytes (an empty header) shrink the room for descriptors;
  // `info_blocks` (when not 0) sets the file's length.
  bool SetMetaAds(const std::vector<ShortAd>& ads, uint32_t ea_bytes = 0,
                  uint32_t info_blocks = 0) {
    for (bool mirror : {false, true}) {
      const uint32_t lba = mirror ? MirrorLba() : MainLba();
      auto s = Read(lba);
      const uint32_t old_ea = Get32(s.data() + 208);
      std::vector<uint8_t> out(s.begin(), s.begin() + 216);
      std::vector<uint8_t> ea(s.begin() + 216, s.begin() + 216 + old_ea);
      if (ea_bytes != 0) {
        ea.assign(ea_bytes, 0);
        Put32(ea.data() + 16, ea_bytes);
        Put32(ea.data() + 20, ea_bytes);
        FinishTag(ea, kTagExtendedAttributeHeader, mirror ? vs_.metadataMirrorFileLocation
                                                          : vs_.metadataFileLocation, 8);
      }
      out.insert(out.end(), ea.begin(), ea.end());
      for (const ShortAd& a : ads) {
        uint8_t raw[8];
        EncodeShortAd(raw, a);
        out.insert(out.end(), raw, raw + 8);
      }
      if (out.size() > kSectorSize) return false;
      Put32(out.data() + 208, static_cast<uint32_t>(ea.size()));
      Put32(out.data() + 212, static_cast<uint32_t>(ads.size() * 8));
      if (info_blocks != 0) {
        Put64(out.data() + 56, uint64_t{info_blocks} * kSectorSize);
        Put64(out.data() + 64, uint64_t{info_blocks} * kSectorSize);
      }
      out.resize(kSectorSize, 0);
      FinishTag(out, kTagExtendedFileEntry, lba - vs_.partitionStart,
                static_cast<uint16_t>(200 + ea.size() + ads.size() * 8));
      if (!Write(lba, out)) return false;
    }
    return true;
  }

  // Appends one unit at the metadata track's next writable address holding
  // `sectors` (the rest zeros); returns its first sector or kNoAddress.
  uint32_t AppendUnit(const std::vector<std::vector<uint8_t>>& sectors) {
    TrackInfo t;
    if (drive_.ReadTrackInformation(2, &t) != 0 || t.nextWritable == kNoAddress) return kNoAddress;
    std::vector<uint8_t> unit(32 * kSectorSize, 0);
    for (size_t i = 0; i < sectors.size() && i < 32; ++i)
      std::memcpy(unit.data() + i * kSectorSize, sectors[i].data(), kSectorSize);
    return drive_.Write10(t.nextWritable, 32, unit.data()) == 0 ? t.nextWritable : kNoAddress;
  }

  // Moves the descriptors of the main and the mirror entry into allocation
  // extent descriptors of their own (one chain each). Returns their partition
  // blocks {main's, mirror's}.
  std::pair<uint32_t, uint32_t> SplitIntoChains() {
    const std::vector<ShortAd> ads = MetaAds();
    TrackInfo t;
    drive_.ReadTrackInformation(2, &t);
    const uint32_t first = t.nextWritable - vs_.partitionStart;
    std::vector<std::vector<uint8_t>> aeds;
    for (uint32_t k = 0; k < 2; ++k) {
      std::vector<uint8_t> s(kSectorSize, 0);
      for (size_t i = 0; i < ads.size(); ++i) EncodeShortAd(s.data() + 24 + i * 8, ads[i]);
      Put32(s.data() + 20, static_cast<uint32_t>(ads.size() * 8));
      FinishTag(s, kTagAllocationExtent, first + k, static_cast<uint16_t>(8 + ads.size() * 8));
      aeds.push_back(s);
    }
    if (AppendUnit(aeds) == kNoAddress) return {kNoAddress, kNoAddress};
    for (uint32_t k = 0; k < 2; ++k) {
      const uint32_t lba = k == 0 ? MainLba() : MirrorLba();
      auto s = Read(lba);
      const uint32_t ea = Get32(s.data() + 208);
      std::memset(s.data() + 216 + ea, 0, kSectorSize - 216 - ea);
      EncodeShortAd(s.data() + 216 + ea, {2048, ExtentType::kNextExtent, first + k});
      Put32(s.data() + 212, 8);
      FinishTag(s, kTagExtendedFileEntry, lba - vs_.partitionStart,
                static_cast<uint16_t>(200 + ea + 8));
      Write(lba, s);
    }
    return {first, first + 1};
  }

  // The partition block of the entry with this unique id, found by reading the
  // metadata partition's recorded blocks.
  uint32_t FindEntry(uint64_t unique_id) {
    for (uint32_t n = 0; n < 4096; ++n) {
      const uint32_t b = MapMeta(n);
      if (b == kNoAddress) continue;
      auto s = Read(vs_.partitionStart + b);
      if (Get16(s.data()) == kTagExtendedFileEntry && Get64(s.data() + 200) == unique_id) return b;
    }
    return kNoAddress;
  }

 private:
  IUdfDrive& drive_;
  VolumeStructure vs_;
  bool ok_ = false;
};

}  // namespace kelva::udf::testing
