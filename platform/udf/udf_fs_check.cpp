// The consistency check of a mounted UDF volume: every folder and file entry is
// read (tags and CRCs are verified on the way), every block in use is claimed
// once only, and the bitmaps and the integrity descriptor's counts agree with
// what the tree uses.
#include <algorithm>
#include <string>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/udf/bytes.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

namespace {

constexpr int kMaxDepth = 1024;

std::string Where(const LbAddr& a) {
  return "entry at block " + std::to_string(a.logicalBlockNum) + " (partition " +
         std::to_string(a.partitionReferenceNum) + ")";
}

// Marks [b, b + n) used in `map` (a set bit means not yet claimed); false when a
// block was claimed before or lies outside.
bool Claim(SpaceBitmap* map, uint32_t b, uint32_t n) {
  if (static_cast<uint64_t>(b) + n > map->Size()) return false;
  const bool fresh = map->RangeFree(b, n);
  map->MarkUsed(b, n);
  return fresh;
}

}  // namespace

void UdfFileSystem::CheckNode(const LbAddr& at, const LbAddr& parent, int depth,
                              std::vector<std::string>* problems,
                              std::unordered_map<uint64_t, int>* seen, SpaceBitmap* meta_used,
                              SpaceBitmap* phys_used, uint32_t* files, uint32_t* dirs) {
  if (depth > kMaxDepth) {
    problems->push_back(Where(at) + ": folders nested too deeply");
    return;
  }
  if ((*seen)[NodeKey(at)]++) {
    problems->push_back(Where(at) + ": referenced by more than one folder entry");
    return;
  }
  NodePtr node;
  if (Err e = LoadNode(at, &node)) {
    problems->push_back(Where(at) + ": cannot be read (error " + std::to_string(e) + ")");
    return;
  }
  auto claim = [&](uint16_t part, uint32_t b, uint32_t n, const char* what) {
    SpaceBitmap* map = part == metaRef_ ? meta_used : part == physRef_ ? phys_used : nullptr;
    if (!map || !Claim(map, b, n))
      problems->push_back(Where(at) + ": " + what + " at block " + std::to_string(b) +
                          " is outside its partition or used twice");
  };
  claim(at.partitionReferenceNum, at.logicalBlockNum, 1, "file entry");
  for (uint32_t b : node->aedBlocks) claim(metaRef_, b, 1, "allocation extent");
  uint64_t recorded = 0;
  for (const auto& x : node->extents) {
    if (x.recorded) recorded += x.count;
    if (x.partition != 0xFFFF) claim(x.partition, x.block, x.count, "data extent");
  }
  if (!node->embedded && node->fe.logicalBlocksRecorded != recorded)
    problems->push_back(Where(at) + ": records " + std::to_string(node->fe.logicalBlocksRecorded) +
                        " blocks but its extents hold " + std::to_string(recorded));
  if (walkForRebuild_) {
    walkMaxUniqueId_ = std::max(walkMaxUniqueId_, node->fe.uniqueId);
  } else if (node->fe.uniqueId >= lvid_.uniqueId && node->fe.uniqueId != 0) {
    problems->push_back(Where(at) + ": unique ID not below the volume's next unique ID");
  }
  if (!node->IsDirectory()) {
    ++*files;
    return;
  }
  ++*dirs;
  if (Err e = LoadDir(node.get())) {
    problems->push_back(Where(at) + ": folder cannot be read (error " + std::to_string(e) + ")");
    return;
  }
  if (!(node->parent == parent))
    problems->push_back(Where(at) + ": parent entry does not name the folder above it");
  if (!node->embedded) {
    // No file identifier's tag may cross a block boundary.
    std::vector<uint8_t> data(static_cast<size_t>(node->Size()));
    size_t crossing = 0;
    if (ReadNodeData(node.get(), 0, data.size(), data.data()) == platform::ERROR_SUCCESS) {
      for (size_t pos = 0; pos + 38 <= data.size();) {
        if (pos % kSectorSize > kSectorSize - kTagSize) ++crossing;
        const size_t length =
            (38 + size_t{Get16(&data[pos + 36])} + data[pos + 19] + 3) & ~size_t{3};
        pos += length;
      }
    }
    if (crossing)
      problems->push_back(Where(at) + ": " + std::to_string(crossing) +
                          " file identifier tag(s) cross a block boundary");
  }
  for (size_t i = 0; i < node->dir->entries.size(); ++i) {
    const UdfDirEntry entry = node->dir->entries[i];
    if (entry.deleted) continue;
    NodePtr child;
    if (LoadNode(entry.icb.location, &child) == platform::ERROR_SUCCESS &&
        child->IsDirectory() != ((entry.characteristics & kFidDirectory) != 0))
      problems->push_back(Where(at) + ": \"" + platform::Utf16ToUtf8(entry.name) +
                          "\" is marked as folder and file inconsistently");
    CheckNode(entry.icb.location, node->location, depth + 1, problems, seen, meta_used, phys_used,
              files, dirs);
  }
}

void UdfFileSystem::WalkUsage(std::vector<std::string>* problems, SpaceBitmap* meta_used,
                              SpaceBitmap* phys_used, uint32_t* files, uint32_t* dirs) {
  meta_used->MarkFree(0, metaBlocks_);
  phys_used->MarkFree(0, partLength_);
  auto claim_phys = [&](uint32_t b, uint32_t n, const std::string& what) {
    if (!Claim(phys_used, b, n))
      problems->push_back(what + " at block " + std::to_string(b) + " overlaps other data");
  };
  // The volume's own structures inside the partition.
  if (!recordable_) {
    const ShortAd& bm = pd_.partitionHeader.unallocatedSpaceBitmap;
    if (bm.length)
      claim_phys(bm.position, static_cast<uint32_t>((bm.length + kSectorSize - 1) / kSectorSize),
                 "space bitmap");
  }
  claim_phys(metaMap_.metadataFileLocation, 1, "metadata file entry");
  if (metaMap_.metadataMirrorFileLocation != metaMap_.metadataFileLocation)
    claim_phys(metaMap_.metadataMirrorFileLocation, 1, "metadata mirror entry");
  if (metaMap_.metadataBitmapFileLocation != 0xFFFFFFFF) {
    claim_phys(metaMap_.metadataBitmapFileLocation, 1, "metadata bitmap entry");
    for (const auto& x : metaBitmapExtents_) claim_phys(x.block, x.count, "metadata bitmap");
  }
  problems->insert(problems->end(), metaProblems_.begin(), metaProblems_.end());
  for (const auto& x : metaExtents_)
    if (x.recorded) claim_phys(x.block, x.count, "metadata file extent");
  for (uint32_t b : metaAedBlocks_) claim_phys(b, 1, "metadata allocation extent");
  for (uint32_t b : mirrorAedBlocks_)
    if (std::find(metaAedBlocks_.begin(), metaAedBlocks_.end(), b) == metaAedBlocks_.end())
      claim_phys(b, 1, "metadata mirror allocation extent");
  if (fsdLocation_.partitionReferenceNum == metaRef_)
    Claim(meta_used, fsdLocation_.logicalBlockNum, 1);

  std::unordered_map<uint64_t, int> seen;
  *files = *dirs = 0;
  CheckNode(rootIcb_.location, rootIcb_.location, 0, problems, &seen, meta_used, phys_used, files,
            dirs);
}

// The accounting of a volume whose last write-back was cut off: the bitmaps,
// counts and next unique ID may predate entries already on the disc, and new
// writes would hand out blocks those entries use. They are made again from the
// tree; a tree with problems of its own is not trusted for that.
platform::Win32Error UdfFileSystem::RebuildAccounting() {
  std::vector<std::string> problems;
  SpaceBitmap meta_used(metaBlocks_);
  SpaceBitmap phys_used(partLength_);
  uint32_t files = 0, dirs = 0;
  walkForRebuild_ = true;
  walkMaxUniqueId_ = 0;
  WalkUsage(&problems, &meta_used, &phys_used, &files, &dirs);
  walkForRebuild_ = false;
  if (!problems.empty()) {
    KLOG_WARN("udf: the open volume's tree has %zu problem(s); its accounting is not rebuilt (%s)",
              problems.size(), problems.front().c_str());
    return platform::ERROR_DISK_CORRUPT;
  }
  if (Err e = BeginChange()) return e;
  auto adopt = [](const SpaceBitmap& used, SpaceBitmap* recorded) {
    uint32_t changed = 0;
    for (uint32_t b = 0; b < used.Size() && b < recorded->Size(); ++b) {
      if (used.IsFree(b) == recorded->IsFree(b)) continue;
      if (used.IsFree(b)) {
        recorded->MarkFree(b, 1);
      } else {
        recorded->MarkUsed(b, 1);
      }
      ++changed;
    }
    return changed;
  };
  uint32_t fixed = 0;
  if (havePhysBitmap_) fixed += adopt(phys_used, &physBitmap_);
  if (haveMetaBitmap_) {
    const uint32_t n = adopt(meta_used, &metaBitmap_);
    if (n) metaBitmapDirty_ = true;
    fixed += n;
  }
  fileCount_ = files;
  dirCount_ = dirs;
  if (walkMaxUniqueId_ >= lvid_.uniqueId) lvid_.uniqueId = walkMaxUniqueId_ + 1;
  KLOG_INFO("udf: accounting of the open volume rebuilt: %u block(s) corrected, %u files, %u folders", fixed,
            files, dirs);
  return platform::ERROR_SUCCESS;
}

size_t UdfFileSystem::Check(std::vector<std::string>* problems) {
  std::lock_guard lk(mu_);
  const size_t before = problems->size();
  if (!mounted_) {
    problems->push_back("volume not mounted");
    return 1;
  }
  SpaceBitmap meta_used(metaBlocks_);
  SpaceBitmap phys_used(partLength_);
  uint32_t files = 0, dirs = 0;
  WalkUsage(problems, &meta_used, &phys_used, &files, &dirs);

  if (files != fileCount_ || dirs != dirCount_)
    problems->push_back("the volume counts " + std::to_string(fileCount_) + " files and " +
                        std::to_string(dirCount_) + " folders; the tree holds " +
                        std::to_string(files) + " and " + std::to_string(dirs));
  // Space accounting against the recorded bitmaps (rewritable media).
  auto compare = [&](const SpaceBitmap& used, const SpaceBitmap& recorded_map, const char* what,
                     bool pending_ok) {
    uint64_t lost = 0, clash = 0;
    for (uint32_t b = 0; b < used.Size(); ++b) {
      const bool in_use = !used.IsFree(b);
      const bool marked_free = recorded_map.IsFree(b);
      if (in_use && marked_free) ++clash;
      if (!in_use && !marked_free) ++lost;
    }
    if (pending_ok) {
      for (const auto& [b, n] : pendingFree_) lost = lost >= n ? lost - n : 0;
    }
    if (clash)
      problems->push_back(std::to_string(clash) + " " + what + " blocks in use are marked free");
    if (lost)
      problems->push_back(std::to_string(lost) + " " + what +
                          " blocks are marked used but belong to nothing");
  };
  if (havePhysBitmap_) compare(phys_used, physBitmap_, "data", true);
  if (haveMetaBitmap_) compare(meta_used, metaBitmap_, "metadata", false);
  if (havePhysBitmap_ && !changed_ && physRef_ < lvid_.freeSpaceTable.size() &&
      lvid_.freeSpaceTable[physRef_] != physBitmap_.FreeCount())
    problems->push_back("the integrity descriptor records " +
                        std::to_string(lvid_.freeSpaceTable[physRef_]) + " free blocks; the bitmap has " +
                        std::to_string(physBitmap_.FreeCount()));
  return problems->size() - before;
}

}  // namespace kelva::udf
