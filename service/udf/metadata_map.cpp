#include "service/udf/metadata_map.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/udf/bytes.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/tag.h"

namespace kelva::udf {

namespace {

constexpr size_t kAedHeaderSize = 24;
constexpr uint32_t kContinuationLength = 0xC0000800;

size_t Capacity(size_t offset) { return (kSectorSize - offset) / kShortAdSize; }

}  // namespace

bool ValidCopy(const std::vector<uint8_t>& sector, uint16_t ident, uint32_t location) {
  return sector.size() >= kTagSize && CheckTag(sector, ident, true, location) == TagStatus::kOk;
}

bool EntryDescriptorArea(const uint8_t* sector, size_t* offset, size_t* span) {
  const uint64_t ea = Get32(sector + 208), ad = Get32(sector + 212);
  if (kExtendedFileEntryHeaderSize + ea + ad > kSectorSize) return false;
  *offset = kExtendedFileEntryHeaderSize + static_cast<size_t>(ea);
  *span = static_cast<size_t>(ad);
  return true;
}

std::vector<ShortAd> SectorDescriptors(const std::vector<uint8_t>& sector, size_t offset,
                                       size_t span, uint32_t* next) {
  std::vector<ShortAd> out;
  *next = kNoAddress;
  for (size_t at = offset; at + kShortAdSize <= offset + span && at + kShortAdSize <= sector.size();
       at += kShortAdSize) {
    const ShortAd a = DecodeShortAd(sector.data() + at);
    if (a.length == 0) break;
    if (a.type == ExtentType::kNextExtent) {
      *next = a.position;
      break;
    }
    out.push_back(a);
  }
  return out;
}

bool MetadataMap::Load(RepairDisc& disc, uint32_t location) {
  const VolumeStructure& vs = disc.volume();
  nodes_.clear();
  ads_.clear();
  chainBroken_ = false;
  MetadataMapNode node;
  node.block = location;
  node.sector.assign(kSectorSize, 0);
  if (node.block >= vs.partitionLength ||
      !disc.Read(vs.partitionStart + node.block, 1, node.sector.data()) ||
      !ValidCopy(node.sector, kTagExtendedFileEntry, node.block) ||
      !EntryDescriptorArea(node.sector.data(), &node.adOffset, &node.adSpan))
    return false;
  const uint64_t info = Get64(node.sector.data() + 56);
  sizeInBlocks_ = static_cast<uint32_t>(std::min<uint64_t>((info + kSectorSize - 1) / kSectorSize,
                                                            vs.partitionLength));
  std::set<uint32_t> seen{node.block};
  for (;;) {
    uint32_t next = kNoAddress;
    std::vector<ShortAd> ads = SectorDescriptors(node.sector, node.adOffset, node.adSpan, &next);
    ads_.insert(ads_.end(), ads.begin(), ads.end());
    nodes_.push_back(std::move(node));
    if (next == kNoAddress) break;
    // A chain that loops, grows without end or leaves the partition ends here.
    node = MetadataMapNode{};
    node.block = next;
    node.sector.assign(kSectorSize, 0);
    if (nodes_.size() >= kMaxChainSectors || !seen.insert(next).second ||
        next >= vs.partitionLength || !disc.Read(vs.partitionStart + next, 1, node.sector.data()) ||
        !ValidCopy(node.sector, kTagAllocationExtent, next)) {
      chainBroken_ = true;
      break;
    }
    const uint32_t span = Get32(node.sector.data() + 20);
    if (span > kSectorSize - kAedHeaderSize) {
      chainBroken_ = true;
      break;
    }
    node.adOffset = kAedHeaderSize;
    node.adSpan = span;
  }
  return true;
}

bool MetadataMap::Map(uint32_t n, uint32_t* block) const {
  for (const ShortAd& a : ads_) {
    const uint32_t blocks = (a.length + kSectorSize - 1) / kSectorSize;
    if (n < blocks) {
      if (a.type != ExtentType::kRecordedAllocated) return false;
      *block = a.position + n;
      return true;
    }
    n -= blocks;
  }
  return false;
}

bool MetadataMap::Store(RepairDisc& disc) {
  const VolumeStructure& vs = disc.volume();
  // A chain cut short by a damaged link is left as it is: writing the shorter
  // list back would drop the descriptors the damaged sector still holds.
  if (nodes_.empty() || chainBroken_) return false;
  const uint16_t serial = DecodeTag(nodes_[0].sector.data()).tagSerialNum;

  // Pack the list into sectors: every sector but the last ends with a
  // continuation to the next.
  auto pack = [&](const std::vector<size_t>& offsets) {
    std::vector<std::vector<ShortAd>> parts;
    size_t at = 0;
    for (size_t k = 0;; ++k) {
      const size_t cap = Capacity(k < offsets.size() ? offsets[k] : kAedHeaderSize);
      const size_t left = ads_.size() - at;
      if (left <= cap || k + 1 >= kMaxChainSectors) {
        parts.emplace_back(ads_.begin() + static_cast<ptrdiff_t>(at), ads_.end());
        return parts;
      }
      parts.emplace_back(ads_.begin() + static_cast<ptrdiff_t>(at),
                         ads_.begin() + static_cast<ptrdiff_t>(at + cap - 1));
      at += cap - 1;
    }
  };
  std::vector<size_t> offsets;
  for (const auto& n : nodes_) offsets.push_back(n.adOffset);
  std::vector<std::vector<ShortAd>> parts = pack(offsets);
  if (parts.size() >= kMaxChainSectors) return false;

  auto build = [&](size_t k, uint32_t block, uint32_t next, const std::vector<uint8_t>* base) {
    std::vector<uint8_t> s(kSectorSize, 0);
    std::vector<ShortAd> ads = parts[k];
    if (next != kNoAddress) ads.push_back({kContinuationLength & kExtentLengthMask,
                                           ExtentType::kNextExtent, next});
    const size_t offset = k == 0 ? nodes_[0].adOffset : kAedHeaderSize;
    if (k == 0) std::memcpy(s.data(), base->data(), offset);
    else if (base != nullptr) std::memcpy(s.data() + 16, base->data() + 16, 4);
    for (size_t i = 0; i < ads.size(); ++i) EncodeShortAd(s.data() + offset + i * kShortAdSize, ads[i]);
    const uint32_t span = static_cast<uint32_t>(ads.size() * kShortAdSize);
    if (k == 0) {
      Put32(s.data() + 212, span);
      FinishTag(s, kTagExtendedFileEntry, block,
                static_cast<uint16_t>(offset + span - kTagSize), serial);
    } else {
      Put32(s.data() + 20, span);
      FinishTag(s, kTagAllocationExtent, block, static_cast<uint16_t>(8 + span), serial);
    }
    return s;
  };

  // Keep the existing chain when only the entry changes or when it grows by new
  // sectors after its last one; otherwise every descriptor sector after the
  // entry is written anew.
  std::vector<uint32_t> blocks;
  bool rehome = false;
  const TrackInfo& meta = disc.tracks()[disc.metadataTrack()];
  const uint32_t nwa = meta.nextWritable;
  auto placed = [&](bool moved) {
    blocks.assign(parts.size(), 0);
    blocks[0] = nodes_[0].block;
    uint32_t fresh = 0;
    for (size_t k = 1; k < parts.size(); ++k) {
      if (!moved && k < nodes_.size()) blocks[k] = nodes_[k].block;
      else blocks[k] = nwa - vs.partitionStart + fresh++;
    }
    return fresh;
  };
  uint32_t fresh = placed(false);
  std::vector<std::vector<uint8_t>> built(parts.size());
  auto build_all = [&] {
    for (size_t k = 0; k < parts.size(); ++k) {
      const uint32_t next = k + 1 < parts.size() ? blocks[k + 1] : kNoAddress;
      const std::vector<uint8_t>* base = k < nodes_.size() ? &nodes_[k].sector : nullptr;
      built[k] = build(k, blocks[k], next, base);
    }
  };
  build_all();
  for (size_t k = 1; k < parts.size() && k < nodes_.size(); ++k)
    if (built[k] != nodes_[k].sector) rehome = true;
  if (rehome) {
    fresh = placed(true);
    build_all();
  }
  if (fresh > kSectorsPerUnit) return false;
  if (fresh > 0 && (nwa == kNoAddress || nwa < vs.partitionStart)) return false;

  // The mirror follows the main entry: same descriptors, its own type and place.
  std::vector<uint8_t> mirror = built[0];
  mirror[27] = kFileTypeMetadataMirror;
  {
    const DescriptorTag t = DecodeTag(built[0].data());
    FinishTag(mirror, kTagExtendedFileEntry, vs.metadataMirrorFileLocation, t.descCRCLength,
              serial);
  }

  if (fresh > 0) {
    std::vector<uint8_t> unit(static_cast<size_t>(kSectorsPerUnit) * kSectorSize, 0);
    for (size_t k = 1; k < parts.size(); ++k) {
      const uint32_t rel = blocks[k] - (nwa - vs.partitionStart);
      if (rel < kSectorsPerUnit)
        std::memcpy(unit.data() + static_cast<size_t>(rel) * kSectorSize, built[k].data(),
                    kSectorSize);
    }
    uint32_t at = 0;
    if (!disc.AppendUnit(unit.data(), &at) || at != nwa) return false;
  }
  if (built[0] != nodes_[0].sector &&
      !disc.Overwrite(vs.partitionStart + blocks[0], built[0].data()))
    return false;
  std::vector<uint8_t> old_mirror(kSectorSize, 0);
  const uint32_t mirror_lba = vs.partitionStart + vs.metadataMirrorFileLocation;
  if (vs.metadataMirrorFileLocation < vs.partitionLength &&
      (!disc.Read(mirror_lba, 1, old_mirror.data()) || old_mirror != mirror) &&
      !disc.Overwrite(mirror_lba, mirror.data()))
    return false;

  // The map now describes what is on the disc.
  nodes_.resize(parts.size());
  for (size_t k = 0; k < parts.size(); ++k) {
    nodes_[k].block = blocks[k];
    nodes_[k].sector = built[k];
    nodes_[k].adOffset = k == 0 ? nodes_[0].adOffset : kAedHeaderSize;
    nodes_[k].adSpan = Get32(built[k].data() + (k == 0 ? 212 : 20));
  }
  chainBroken_ = false;
  return true;
}

std::vector<uint8_t> MetadataMap::MirrorOf(const RepairDisc& disc) const {
  std::vector<uint8_t> mirror = nodes_[0].sector;
  const DescriptorTag t = DecodeTag(mirror.data());
  mirror[27] = kFileTypeMetadataMirror;
  FinishTag(mirror, kTagExtendedFileEntry, disc.volume().metadataMirrorFileLocation,
            t.descCRCLength, t.tagSerialNum);
  return mirror;
}

int MetadataMap::SyncMirror(RepairDisc& disc) {
  const VolumeStructure& vs = disc.volume();
  if (nodes_.empty() || chainBroken_ || vs.metadataMirrorFileLocation >= vs.partitionLength)
    return 0;
  MetadataMap mirror;
  if (!mirror.Load(disc, vs.metadataMirrorFileLocation) || mirror.chainBroken_ ||
      mirror.nodes_[0].sector[27] != kFileTypeMetadataMirror)
    return 0;  // a damaged mirror is the mirror resolution's to mend
  if (mirror.ads_ == ads_ && mirror.sizeInBlocks_ == sizeInBlocks_) return 0;
  const std::vector<uint8_t> sector = MirrorOf(disc);
  if (!disc.Overwrite(vs.partitionStart + vs.metadataMirrorFileLocation, sector.data())) return 0;
  disc.Log("Recovered Metadata File %s\n", "Main -> Mirror");
  return 1;
}

}  // namespace kelva::udf
