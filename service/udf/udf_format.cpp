#include "service/udf/udf_format.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/log.h"
#include "platform/udf/bytes.h"
#include "platform/udf/volume_descriptors.h"
#include "service/udf/volume_image.h"

namespace kelva::udf {
namespace {

constexpr int kFormatAttempts = 3;
constexpr size_t kUnitBytes = kSectorsPerUnit * kSectorSize;
constexpr size_t kPageSize = 4096;
// A volume descriptor sequence longer than this is not one we wrote; the bound
// keeps a damaged extent length from turning into millions of reads.
constexpr uint32_t kMaxVdsSectors = 256;

struct AlignedFree {
  void operator()(uint8_t* p) const { std::free(p); }
};
using UnitBuffer = std::unique_ptr<uint8_t, AlignedFree>;

UnitBuffer AllocateUnitBuffer() {
  return UnitBuffer(static_cast<uint8_t*>(std::aligned_alloc(kPageSize, kUnitBytes)));
}

bool ReadSector(IUdfDrive& drive, uint32_t lba, std::vector<uint8_t>* sector) {
  sector->assign(kSectorSize, 0);
  return drive.Read10(lba, 1, sector->data()) == 0;
}

bool ValidDescriptor(const std::vector<uint8_t>& sector, uint16_t ident, uint32_t lba) {
  return CheckTag(sector, ident, true, lba) == TagStatus::kOk;
}

}  // namespace

bool WriteVolume(IUdfDrive& drive, const VolumeLayout& layout) {
  UnitBuffer buffer = AllocateUnitBuffer();
  if (!buffer) return false;
  const VolumeImage image(layout);
  for (const WriteUnit& unit : WritePlan(layout)) {
    for (uint32_t i = 0; i < unit.count; ++i)
      image.FillSector(unit.lba + i, buffer.get() + i * kSectorSize);
    const uint32_t status = drive.Write10(unit.lba, unit.count, buffer.get());
    if (status != 0) {
      KLOG_ERROR("udf: WRITE(10) of %u sectors at %u failed, status 0x%08X", unit.count, unit.lba,
                 status);
      return false;
    }
  }
  const uint32_t status =
      layout.IsRewritable() ? drive.SynchronizeCache() : drive.VendorSynchronize();
  if (status != 0) {
    KLOG_ERROR("udf: synchronising the written volume failed, status 0x%08X", status);
    return false;
  }
  return true;
}

bool FormatDisc(IUdfDrive& drive, platform::Clock& clock) {
  for (int attempt = 1; attempt <= kFormatAttempts; ++attempt) {
    const uint16_t revision = DetectRevision(drive);
    if (revision == 0) return false;
    VolumeLayout layout;
    if (ComputeLayout(drive, revision, TakeVolumeTime(clock.Now()), &layout) &&
        WriteVolume(drive, layout)) {
      KLOG_INFO("udf: formatted UDF %x.%02x volume, partition %u+%u, \"%s\"", revision >> 8,
                revision & 0xFF, layout.partitionStart, layout.partitionLength,
                layout.volumeSetIdentifier.c_str());
      return true;
    }
    KLOG_WARN("udf: format attempt %d of %d failed", attempt, kFormatAttempts);
  }
  KLOG_ERROR("udf: formatting the disc failed");
  return false;
}

bool ReadVolumeStructure(IUdfDrive& drive, VolumeStructure* out) {
  std::vector<uint8_t> sector;
  AnchorVolumeDescriptorPointer anchor;
  if (!ReadSector(drive, 256, &sector) || !ValidDescriptor(sector, kTagAnchorPointer, 256) ||
      !Decode(sector, &anchor))
    return false;
  const ExtentAd main = anchor.mainVolumeDescriptorSequenceExtent;
  if (main.extentLength < kSectorSize) return false;

  VolumeStructure vs;
  vs.mainVdsLocation = main.extentLocation;
  bool have_pvd = false, have_pd = false, have_lvd = false;
  const uint32_t count = std::min<uint32_t>(main.extentLength / kSectorSize, kMaxVdsSectors);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t lba = main.extentLocation + i;
    if (lba < main.extentLocation) return false;  // wrapped past the last address
    if (!ReadSector(drive, lba, &sector) || CheckTag(sector, 0, true, lba) != TagStatus::kOk)
      return false;
    const uint16_t ident = DecodeTag(sector.data()).tagIdent;
    if (ident == kTagTerminating) break;
    if (ident == kTagPrimaryVolume) {
      PrimaryVolumeDescriptor pvd;
      if (!Decode(sector, &pvd)) return false;
      vs.recordingTime = pvd.recordingDateAndTime;
      vs.volumeIdentifier = pvd.volumeIdentifier;
      vs.volumeSetIdentifier = pvd.volumeSetIdentifier;
      have_pvd = true;
    } else if (ident == kTagPartition) {
      PartitionDescriptor pd;
      if (!Decode(sector, &pd)) return false;
      vs.partitionStart = pd.partitionStartingLocation;
      vs.partitionLength = pd.partitionLength;
      vs.accessType = pd.accessType;
      have_pd = true;
    } else if (ident == kTagLogicalVolume) {
      LogicalVolumeDescriptor lvd;
      if (!Decode(sector, &lvd) || lvd.partitionMaps.size() < 2 ||
          !lvd.partitionMaps[1].IsMetadata())
        return false;
      vs.integritySequenceLocation = lvd.integritySequenceExtent.extentLocation;
      vs.fileSetLocation = lvd.fileSetDescriptorLocation;
      vs.metadataFileLocation = lvd.partitionMaps[1].metadataFileLocation;
      vs.metadataMirrorFileLocation = lvd.partitionMaps[1].metadataMirrorFileLocation;
      vs.metadataBitmapFileLocation = lvd.partitionMaps[1].metadataBitmapFileLocation;
      have_lvd = true;
    }
  }
  if (!have_pvd || !have_pd || !have_lvd) return false;

  LogicalVolumeIntegrityDescriptor lvid;
  const uint32_t at = vs.integritySequenceLocation;
  if (!ReadSector(drive, at, &sector) || !ValidDescriptor(sector, kTagLogicalVolumeIntegrity, at) ||
      !Decode(sector, &lvid) || lvid.freeSpaceTable.size() != 2 ||
      lvid.lengthOfImplementationUse <= 45 ||
      lvid.minimumUdfWriteRevision != lvid.maximumUdfWriteRevision)
    return false;
  vs.udfRevision = lvid.maximumUdfWriteRevision;
  vs.minimumReadRevision = lvid.minimumUdfReadRevision;
  vs.integrityType = lvid.integrityType;
  for (int i = 0; i < 2; ++i) {
    vs.freeSpace[i] = lvid.freeSpaceTable[i];
    vs.size[i] = lvid.sizeTable[i];
  }
  vs.numberOfFiles = lvid.numberOfFiles;
  vs.numberOfDirectories = lvid.numberOfDirectories;
  *out = std::move(vs);
  return true;
}

bool CloseIntegrity(IUdfDrive& drive) {
  VolumeStructure vs;
  if (!ReadVolumeStructure(drive, &vs)) return false;
  const uint32_t at = vs.integritySequenceLocation;
  std::vector<uint8_t> sector;
  if (!ReadSector(drive, at, &sector)) return false;
  // Only an intact descriptor is rewritten: recomputing the CRC of a damaged one
  // would make its damage look valid.
  if (!ValidDescriptor(sector, kTagLogicalVolumeIntegrity, at)) return false;
  if (Get32(&sector[28]) == kIntegrityClose) return false;
  Put32(&sector[28], kIntegrityClose);
  if (!RefreshTag(sector)) return false;
  const uint32_t status = drive.Write10(at, 1, sector.data());
  if (status != 0) {
    KLOG_ERROR("udf: rewriting the integrity descriptor at %u failed, status 0x%08X", at, status);
    return false;
  }
  KLOG_INFO("udf: integrity descriptor at %u closed", at);
  return true;
}

}  // namespace kelva::udf
