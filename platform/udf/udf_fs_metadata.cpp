// Placement of the metadata file. Many UDF readers follow the metadata file only
// when it is one extent, so the file and its mirror are kept in one piece wherever
// the medium allows:
// - rewritable media: the file doubles when it grows, in place behind its last
//   block when that space is free. Behind the metadata files lies a zone kept for
//   that growth, which file data takes only when the rest of the partition is
//   full. The first growth cannot stay in place (the mirror's entry follows the
//   formatted area), so the file moves once into the zone;
// - recordable media: the metadata track holds nothing but the metadata file, so
//   the file grows by one 64 KiB unit at the track's end. The formatted area is
//   followed by the mirror's entry, so the first growth moves the file once to
//   the track's next writable address.
// A move copies the blocks in use; the metadata files' entries point at the new
// place only after the copy is on the disc, and until then the old place stays
// intact. Where no run is large enough, the file takes a further extent, as large
// as can be found.
#include <algorithm>

#include "platform/log.h"
#include "platform/udf/bytes.h"
#include "platform/udf/fs_util.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

namespace {

// Smallest growth step on rewritable media (the formatted metadata size).
constexpr uint32_t kRewritableMinGrowth = 512;
// Growth step on recordable media: one 64 KiB recording unit.
constexpr uint32_t kRecordableGrowth = 32;
// Largest metadata file that is moved rather than continued in a further extent
// (the blocks in use are held in memory until the write-back).
constexpr uint32_t kMaxRelocationBlocks = 32768;
// The zone kept for growth: a sixteenth of the partition, at most 512 MiB
// (enough for the metadata of about 250,000 files in one extent).
constexpr uint32_t kZoneMaxBlocks = 262144;

uint32_t RoundUp(uint32_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace

void UdfFileSystem::SetMetadataZone() {
  if (recordable_ || !havePhysBitmap_) return;
  uint32_t last = std::max(metaMap_.metadataFileLocation, metaMap_.metadataMirrorFileLocation);
  if (metaMap_.metadataBitmapFileLocation != 0xFFFFFFFF)
    last = std::max(last, metaMap_.metadataBitmapFileLocation);
  const uint32_t unit = std::max<uint32_t>(1, metaMap_.allocationUnitSize);
  metaZoneStart_ = static_cast<uint32_t>(
      std::min<uint64_t>(RoundUp(last + 1, unit), partLength_));
  metaZoneEnd_ = static_cast<uint32_t>(std::min<uint64_t>(
      uint64_t{metaZoneStart_} + std::min(kZoneMaxBlocks, partLength_ / 16), partLength_));
  // File data starts behind the zone and wraps into it only when nothing else is free.
  dataRover_ = metaZoneEnd_ < partLength_ ? metaZoneEnd_ : 0;
}

Win32Error UdfFileSystem::GrowMetadata() {
  return recordable_ ? GrowMetadataRecordable() : GrowMetadataRewritable();
}

// A metadata file with extents that are not recorded (met on a damaged disc)
// is neither extended into them nor moved: those blocks may hold entries that
// only a repair can bring back, so it grows by a further extent instead.
bool UdfFileSystem::MayMoveMetadata() const {
  return moveMetadata_ && std::all_of(metaExtents_.begin(), metaExtents_.end(),
                     [](const UdfExtent& x) { return x.recorded; });
}

Win32Error UdfFileSystem::GrowMetadataRewritable() {
  const uint32_t unit = std::max<uint32_t>(1, metaMap_.allocationUnitSize);
  const uint32_t add = RoundUp(std::max(metaBlocks_, kRewritableMinGrowth), unit);
  UdfExtent& last = metaExtents_.back();
  const uint32_t end = last.block + last.count;
  auto grown = [&](const char* how) {
    metaBitmap_.Grow(metaBlocks_, true);
    metaFilesDirty_ = true;
    metaBitmapDirty_ = true;
    KLOG_DEBUG("udf: metadata file %s to %u blocks in %zu extent(s)", how, metaBlocks_,
               metaExtents_.size());
    return pe::ERROR_SUCCESS;
  };
  const bool movable = MayMoveMetadata();
  if (last.recorded && uint64_t{last.count} + add <= kMaxExtentBlocks && uint64_t{end} + add <= partLength_ &&
      physBitmap_.RangeFree(end, add)) {
    physBitmap_.MarkUsed(end, add);
    last.count += add;
    metaBlocks_ += add;
    return grown("grown in place");
  }
  const uint64_t whole = uint64_t{metaBlocks_} + add;
  uint32_t start = 0, got = 0;
  if (movable && metaBlocks_ <= kMaxRelocationBlocks && whole <= kMaxExtentBlocks &&
      physBitmap_.FindRun(metaZoneStart_, static_cast<uint32_t>(whole),
                          static_cast<uint32_t>(whole), unit, &start, &got))
    return RelocateMetadata(start, static_cast<uint32_t>(whole));
  // No run holds the whole file: a further extent, halving the size until one fits.
  for (uint32_t want = add;; want = RoundUp(want / 2, unit)) {
    if (physBitmap_.FindRun(end, want, want, unit, &start, &got)) {
      physBitmap_.MarkUsed(start, want);
      metaExtents_.push_back({start, want, physRef_, true});
      metaBlocks_ += want;
      return grown("continued in a further extent");
    }
    if (want <= unit) break;
  }
  return pe::ERROR_DISK_FULL;
}

Win32Error UdfFileSystem::GrowMetadataRecordable() {
  UdfExtent& last = metaExtents_.back();
  if (last.recorded && last.block + last.count == metaReserved_ &&
      uint64_t{last.count} + kRecordableGrowth <= kMaxExtentBlocks) {
    if (uint64_t{metaReserved_} + kRecordableGrowth > metaTrackEnd_) return pe::ERROR_DISK_FULL;
    metaReserved_ += kRecordableGrowth;
    last.count += kRecordableGrowth;
    metaBlocks_ += kRecordableGrowth;
  } else if (metaBlocks_ <= kMaxRelocationBlocks && MayMoveMetadata()) {
    const uint32_t whole = metaBlocks_ + kRecordableGrowth;
    if (uint64_t{metaReserved_} + whole > metaTrackEnd_) return pe::ERROR_DISK_FULL;
    return RelocateMetadata(metaReserved_, whole);
  } else {
    if (uint64_t{metaReserved_} + kRecordableGrowth > metaTrackEnd_) return pe::ERROR_DISK_FULL;
    metaExtents_.push_back({metaReserved_, kRecordableGrowth, physRef_, true});
    metaReserved_ += kRecordableGrowth;
    metaBlocks_ += kRecordableGrowth;
  }
  metaBitmap_.Grow(metaBlocks_, true);
  metaFilesDirty_ = true;
  metaBitmapDirty_ = true;
  KLOG_DEBUG("udf: metadata file grown to %u blocks in %zu extent(s)", metaBlocks_,
             metaExtents_.size());
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::RelocateMetadata(uint32_t start, uint32_t count) {
  // The blocks in use, as they are now (read from the disc, or what waits to be
  // written), become pending writes of the same blocks at the new place.
  constexpr uint32_t kReadRun = 256;
  std::vector<uint8_t> buf;
  uint32_t copied = 0;
  auto movable = [&](uint32_t b) {
    return b < metaBitmap_.Size() && !metaBitmap_.IsFree(b) && !pendingMeta_.count(b);
  };
  for (uint32_t b = 0; b < metaBlocks_;) {
    if (!movable(b)) {
      ++b;
      continue;
    }
    uint32_t n = 1;
    while (b + n < metaBlocks_ && n < kReadRun && movable(b + n)) ++n;
    buf.resize(static_cast<size_t>(n) * kSectorSize);
    if (Err e = ReadBlocks(metaRef_, b, n, buf.data())) return e;
    for (uint32_t i = 0; i < n; ++i) {
      const auto from = buf.begin() + static_cast<ptrdiff_t>(i) * kSectorSize;
      pendingMeta_[b + i].assign(from, from + kSectorSize);
    }
    copied += n;
    b += n;
  }
  if (recordable_) {
    metaReserved_ = start + count;
  } else {
    physBitmap_.MarkUsed(start, count);
    // The old place is freed after the write-back that stops the disc naming it.
    for (const auto& x : metaExtents_) FreeData(x.block, x.count);
  }
  metaExtents_.assign(1, {start, count, physRef_, true});
  metaBlocks_ = count;
  metaBitmap_.Grow(metaBlocks_, true);
  // Nothing of the new place is on the disc yet: every block must be written.
  metaHash_.clear();
  metaFilesDirty_ = true;
  metaBitmapDirty_ = true;
  metaRelocated_ = true;
  KLOG_INFO("udf: metadata file moved to block %u, %u blocks (%u in use copied)", start, count,
            copied);
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
