// MetadataMap: where the blocks of a write-once volume's metadata partition lie
// on the disc. It holds the metadata file's short allocation descriptors in
// order (continuations left out) together with the sectors they were read from:
// the metadata file entry first, then each allocation extent descriptor of its
// chain. Store() writes a changed list back as the same kind of chain.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/udf/alloc_desc.h"
#include "service/udf/repair_disc.h"

namespace kelva::udf {

// One sector of the chain as read: its partition block, a copy of it, and where
// its descriptors begin and how many bytes they span.
struct MetadataMapNode {
  uint32_t block = 0;
  std::vector<uint8_t> sector;
  size_t adOffset = 0;
  size_t adSpan = 0;
};

// The bound on a chain's length; a longer chain or a sector met twice ends it.
inline constexpr size_t kMaxChainSectors = 1024;
// The largest length an allocation descriptor may hold: 2^30 bytes less a block.
inline constexpr uint32_t kMaxExtentBytes = 0x3FFFF800;

// The descriptors of one sector (from adOffset, adSpan bytes), up to the first
// zero-length one; *next receives the position of a continuation (kNoAddress
// when there is none). A continuation ends the list.
std::vector<ShortAd> SectorDescriptors(const std::vector<uint8_t>& sector, size_t offset,
                                       size_t span, uint32_t* next);
// Where the descriptors of an extended file entry begin and how many bytes they
// span; false when the recorded lengths do not fit the sector.
bool EntryDescriptorArea(const uint8_t* sector, size_t* offset, size_t* span);
// True for a descriptor of this identifier whose checksum, CRC and location are right.
bool ValidCopy(const std::vector<uint8_t>& sector, uint16_t ident, uint32_t location);

class MetadataMap {
 public:
  // Reads the metadata file entry and follows its chain. False when the entry is
  // not a valid extended file entry; a broken link ends the chain there (the
  // descriptors after it are missing, their blocks unmapped).
  bool Load(RepairDisc& disc) { return Load(disc, disc.volume().metadataFileLocation); }
  // The same for the entry at `location` (the mirror's, to compare it).
  bool Load(RepairDisc& disc, uint32_t location);

  // The partition block holding metadata block n; false when n lies in an extent
  // that is not recorded, or past the descriptors.
  bool Map(uint32_t n, uint32_t* block) const;

  std::vector<ShortAd>& ads() { return ads_; }
  const std::vector<ShortAd>& ads() const { return ads_; }
  const std::vector<MetadataMapNode>& nodes() const { return nodes_; }
  uint32_t sizeInBlocks() const { return sizeInBlocks_; }
  bool chainBroken() const { return chainBroken_; }

  // Writes the descriptor list back: new allocation extent descriptors first (in
  // one unit appended to the metadata track), then the main entry, then the
  // mirror entry; sectors whose contents do not change are not written. An
  // existing allocation extent descriptor is never rewritten in place: when its
  // contents would change, the chain after the entry moves to new sectors, so
  // that an interruption leaves the old chain whole. False on any failure.
  bool Store(RepairDisc& disc);

  // When the mirror entry is intact but describes other extents than the main
  // entry (a write-back interrupted between the two), rewrites it from the main
  // entry. 1 when written, 0 when nothing was to be done or it failed.
  int SyncMirror(RepairDisc& disc);

 private:
  // The mirror entry as Store writes it for the current main entry.
  std::vector<uint8_t> MirrorOf(const RepairDisc& disc) const;

  std::vector<MetadataMapNode> nodes_;
  std::vector<ShortAd> ads_;
  uint32_t sizeInBlocks_ = 0;
  bool chainBroken_ = false;
};

}  // namespace kelva::udf
