// Space of the UDF file system: data blocks of the physical partition and blocks
// of the metadata partition, on rewritable and on recordable media.
#include <algorithm>

#include "platform/log.h"
#include "platform/udf/bytes.h"
#include "platform/udf/fs_util.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

Win32Error UdfFileSystem::BeginChange() {
  if (Err e = Writable()) return e;
  if (changed_) return pe::ERROR_SUCCESS;
  // Mark the volume open on the disc before the first change reaches it, so that
  // an interruption is seen at the next mount.
  if (Err e = WriteIntegrity(kIntegrityOpen)) return e;
  changed_ = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::EnsureMetaUsage() {
  if (metaUsageKnown_) return pe::ERROR_SUCCESS;
  if (!recordable_) return pe::ERROR_LOG_CORRUPTION_DETECTED;
  // A recordable volume has no metadata bitmap: walk the tree once and mark every
  // block it uses. Without tracks from the device, the walk also finds the next
  // writable addresses.
  SpaceBitmap used(metaBlocks_);
  used.MarkFree(0, metaBlocks_);
  uint32_t data_end = dataNwa_;
  auto mark_meta = [&](uint32_t b, uint32_t n) {
    if (static_cast<uint64_t>(b) + n <= metaBlocks_) used.MarkUsed(b, n);
  };
  // Blocks of extents that are not recorded are never handed out: they may hold
  // entries a repair finds on the disc.
  for (uint32_t at = 0; const auto& x : metaExtents_) {
    if (!x.recorded) mark_meta(at, x.count);
    at += x.count;
  }
  if (fsdLocation_.partitionReferenceNum == metaRef_) mark_meta(fsdLocation_.logicalBlockNum, 1);
  std::vector<LbAddr> todo{rootIcb_.location};
  std::unordered_map<uint64_t, bool> seen;
  while (!todo.empty()) {
    const LbAddr at = todo.back();
    todo.pop_back();
    if (seen.count(NodeKey(at))) continue;
    seen[NodeKey(at)] = true;
    NodePtr node;
    if (Err e = LoadNode(at, &node)) return e;
    if (at.partitionReferenceNum == metaRef_) mark_meta(at.logicalBlockNum, 1);
    for (uint32_t b : node->aedBlocks) mark_meta(b, 1);
    for (const auto& x : node->extents) {
      if (x.partition == metaRef_ && x.recorded) mark_meta(x.block, x.count);
      if (x.partition == physRef_ && x.recorded && x.block >= dataNwa_ && x.block < dataEnd_)
        data_end = std::max(data_end, x.block + x.count);
    }
    if (node->IsDirectory()) {
      if (Err e = LoadDir(node.get())) return e;
      for (const auto& entry : node->dir->entries)
        if (!entry.deleted) todo.push_back(entry.icb.location);
    }
  }
  metaBitmap_ = std::move(used);
  if (metaNwa_ == 0) {  // no tracks: follow the recorded metadata
    uint32_t end = std::max(metaMap_.metadataFileLocation, metaMap_.metadataMirrorFileLocation) + 1;
    for (const auto& x : metaExtents_)
      if (x.recorded) end = std::max(end, x.block + x.count);
    for (const auto* chain : {&metaAedBlocks_, &mirrorAedBlocks_})
      for (uint32_t b : *chain) end = std::max(end, b + 1);
    metaNwa_ = metaReserved_ = (end + 31) & ~31u;
    dataNwa_ = std::min(data_end, dataEnd_);
  }
  metaUsageKnown_ = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::AllocMeta(uint32_t count, uint32_t* block) {
  if (Err e = EnsureMetaUsage()) return e;
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint32_t start = 0, got = 0;
    if (metaBitmap_.FindRun(0, count, count, 1, &start, &got)) {
      metaBitmap_.MarkUsed(start, count);
      metaBitmapDirty_ = true;
      *block = start;
      return pe::ERROR_SUCCESS;
    }
    if (Err e = GrowMetadata()) return e;
  }
  return pe::ERROR_DISK_FULL;
}

void UdfFileSystem::FreeMeta(uint32_t block, uint32_t count) {
  if (static_cast<uint64_t>(block) + count > metaBitmap_.Size()) return;
  metaBitmap_.MarkFree(block, count);
  metaBitmapDirty_ = true;
}

uint64_t UdfFileSystem::FreeDataBlocks() const {
  if (recordable_) return dataEnd_ > dataNwa_ ? dataEnd_ - dataNwa_ : 0;
  return physBitmap_.FreeCount();
}

Win32Error UdfFileSystem::AllocData(uint32_t goal, uint32_t want, uint32_t* block,
                                    uint32_t* count) {
  want = std::min(want, kMaxExtentBlocks);
  if (recordable_) {
    if (Err e = EnsureMetaUsage()) return e;
    if (dataNwa_ >= dataEnd_) return pe::ERROR_DISK_FULL;
    *block = dataNwa_;
    *count = std::min(want, dataEnd_ - dataNwa_);
    dataNwa_ += *count;
    return pe::ERROR_SUCCESS;
  }
  uint32_t run = goal < physBitmap_.Size() ? physBitmap_.FreeRunAt(goal, want) : 0;
  uint32_t start = goal;
  if (run == 0 && !physBitmap_.FindRun(dataRover_, 1, want, 1, &start, &run))
    return pe::ERROR_DISK_FULL;
  physBitmap_.MarkUsed(start, run);
  dataRover_ = start + run;
  *block = start;
  *count = run;
  return pe::ERROR_SUCCESS;
}

void UdfFileSystem::FreeData(uint32_t block, uint32_t count) {
  // Freed data blocks are reused only after the write-back that stops the disc's
  // metadata from referring to them: a deleted file stays intact on the disc
  // until its deletion is recorded.
  if (!recordable_ && count > 0) pendingFree_.emplace_back(block, count);
}

}  // namespace kelva::udf
