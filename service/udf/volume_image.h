// The contents of a freshly formatted UDF volume: every descriptor sector the
// layout puts on the disc, and the order of 64 KiB writes that records them.
//
// VolumeImage holds the few descriptor sectors and the space bitmap in memory;
// FillSector produces any sector of the volume (zeros where nothing is recorded),
// so the writer only walks the write plan.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "platform/udf/bytes.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/volume_descriptors.h"
#include "service/udf/volume_layout.h"

namespace kelva::udf {

// Partition number recorded in the partition descriptor and both partition maps.
inline constexpr uint16_t kPartitionNumber = 0x2000;
inline constexpr uint32_t kDirectoryPermissions = 0x3DEF;
inline constexpr uint64_t kFirstFreeUniqueId = 16;

// Descriptor builders. Each returns the descriptor as the layout records it, with
// its tag location set; the golden tests compare their encoding byte by byte.
AnchorVolumeDescriptorPointer MakeAnchor(const VolumeLayout& l, uint32_t location);
PrimaryVolumeDescriptor MakePrimaryVolumeDescriptor(const VolumeLayout& l, uint32_t location);
ImplementationUseVolumeDescriptor MakeImplementationUseDescriptor(const VolumeLayout& l,
                                                                  uint32_t location);
PartitionDescriptor MakePartitionDescriptor(const VolumeLayout& l, uint32_t location);
LogicalVolumeDescriptor MakeLogicalVolumeDescriptor(const VolumeLayout& l, uint32_t location);
UnallocatedSpaceDescriptor MakeUnallocatedSpaceDescriptor(const VolumeLayout& l,
                                                          uint32_t location);
LogicalVolumeIntegrityDescriptor MakeIntegrityDescriptor(const VolumeLayout& l);
FileSetDescriptor MakeFileSetDescriptor(const VolumeLayout& l);
FileEntry MakeRootDirectory(const VolumeLayout& l);
FileEntry MakeMetadataFileEntry(const VolumeLayout& l, bool mirror);
FileEntry MakeMetadataBitmapFileEntry(const VolumeLayout& l);  // rewritable only

// The free blocks of the physical partition after formatting (rewritable media):
// everything after the mirror file plus the gap between the metadata bitmap file
// and the next 32-block boundary.
uint32_t FreePartitionBlocks(const VolumeLayout& l);

// The space bitmap descriptor with its bitmap (rewritable media): a set bit is a
// free block.
std::vector<uint8_t> BuildSpaceBitmap(const VolumeLayout& l);

using Sector = std::array<uint8_t, kSectorSize>;

class VolumeImage {
 public:
  explicit VolumeImage(const VolumeLayout& layout);

  // Writes the content of absolute sector `lba` into out (2048 bytes).
  void FillSector(uint32_t lba, uint8_t* out) const;

  // True when `lba` holds a descriptor (not the bitmap, not zeros).
  bool HasDescriptor(uint32_t lba) const { return sectors_.count(lba) != 0; }
  const std::map<uint32_t, Sector>& descriptors() const { return sectors_; }

 private:
  void Put(uint32_t lba, std::span<const uint8_t> bytes);

  VolumeLayout layout_;
  std::map<uint32_t, Sector> sectors_;
  std::vector<uint8_t> bitmap_;  // rewritable: the descriptor and bitmap bytes
  uint32_t bitmap_lba_ = 0;
};

// One WRITE(10): `count` sectors from `lba` (32, except where the medium ends).
struct WriteUnit {
  uint32_t lba = 0;
  uint16_t count = kSectorsPerUnit;
  bool operator==(const WriteUnit&) const = default;
};

// The writes that record the volume, in the order they must be issued.
std::vector<WriteUnit> WritePlan(const VolumeLayout& l);

}  // namespace kelva::udf
