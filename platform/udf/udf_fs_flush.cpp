// Write-back of the UDF file system: folders and file entries serialised into
// metadata blocks, the metadata file's own entries and bitmaps, then the blocks
// written in address order and the integrity closed.
#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"
#include "platform/udf/fs_util.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

namespace {

constexpr size_t kAedHeaderSize = 24;
constexpr uint32_t kMaxWriteRun = 256;

size_t HashBlock(const std::vector<uint8_t>& data) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

uint16_t SetAllocation(uint16_t flags, uint16_t alloc) {
  return static_cast<uint16_t>((flags & ~7) | alloc);
}

}  // namespace

void UdfFileSystem::PutMeta(uint32_t block, std::vector<uint8_t> data) {
  data.resize(kSectorSize, 0);
  const size_t h = HashBlock(data);
  auto it = metaHash_.find(block);
  if (it != metaHash_.end() && it->second == h) {
    pendingMeta_.erase(block);
    return;
  }
  metaHash_[block] = h;
  pendingMeta_[block] = std::move(data);
}

void UdfFileSystem::PutPhys(uint32_t lba, std::vector<uint8_t> data) {
  data.resize(kSectorSize, 0);
  pendingPhys_[lba] = std::move(data);
}

Win32Error UdfFileSystem::SerializeDir(UdfNode* node) {
  UdfDirContents* dir = node->dir.get();
  if (!dir) return pe::ERROR_SUCCESS;
  // Drop the deleted entries for good.
  std::vector<UdfDirEntry> live;
  live.reserve(dir->live);
  for (auto& e : dir->entries)
    if (!e.deleted) live.push_back(std::move(e));
  dir->entries = std::move(live);
  dir->index.clear();
  for (size_t i = 0; i < dir->entries.size(); ++i)
    dir->index.emplace(platform::UpCase(dir->entries[i].name), i);
  dir->live = dir->entries.size();

  std::vector<FileIdentifierDescriptor> fids(dir->entries.size() + 1);
  fids[0].fileCharacteristics = kFidDirectory | kFidParent;
  fids[0].icb.length = kSectorSize;
  fids[0].icb.location = node->parent;
  size_t total = FidLength(fids[0]);
  for (size_t i = 0; i < dir->entries.size(); ++i) {
    const UdfDirEntry& e = dir->entries[i];
    FileIdentifierDescriptor& f = fids[i + 1];
    f.fileCharacteristics = e.characteristics;
    f.icb = e.icb;
    if (!IsOwnFidPadding(e.implementationUse)) f.implementationUse = e.implementationUse;
    f.fileIdentifier = EncodeDChars(e.name);
    f.tag.tagSerialNum = serial_;
    total += FidLength(f);
  }
  fids[0].tag.tagSerialNum = serial_;

  const size_t header = node->fe.extended ? kExtendedFileEntryHeaderSize : kFileEntryHeaderSize;
  const size_t cap = kSectorSize - header - node->fe.extendedAttributes.size();
  // The folder's current blocks, in order.
  std::vector<uint32_t> blocks;
  for (const auto& e : node->extents)
    for (uint32_t i = 0; i < e.count; ++i)
      if (e.partition == metaRef_ && e.recorded) blocks.push_back(e.block + i);
  if (total <= cap) {
    for (uint32_t b : blocks) FreeMeta(b, 1);
    node->extents.clear();
    std::vector<uint8_t> data(total);
    size_t at = 0;
    for (auto& f : fids) {
      f.tag.tagLocation = node->location.logicalBlockNum;
      at += Encode(f, std::span(data).subspan(at));
    }
    node->embedded = true;
    node->inlineData = std::move(data);
    node->fe.icbTag.flags = SetAllocation(node->fe.icbTag.flags, kIcbEmbedded);
  } else {
    total = PadFileIdentifiers(&fids);
    const size_t nb = (total + kSectorSize - 1) / kSectorSize;
    while (blocks.size() > nb) {
      FreeMeta(blocks.back(), 1);
      blocks.pop_back();
    }
    while (blocks.size() < nb) {
      const uint32_t want = static_cast<uint32_t>(std::min<size_t>(nb - blocks.size(), 32));
      uint32_t b = 0;
      if (AllocMeta(want, &b) == pe::ERROR_SUCCESS) {
        for (uint32_t i = 0; i < want; ++i) blocks.push_back(b + i);
      } else {
        if (Err e = AllocMeta(1, &b)) return e;
        blocks.push_back(b);
      }
    }
    std::vector<uint8_t> data(nb * kSectorSize, 0);
    size_t at = 0;
    for (auto& f : fids) {
      f.tag.tagLocation = blocks[at / kSectorSize];
      at += Encode(f, std::span(data).subspan(at));
    }
    node->extents.clear();
    for (size_t i = 0; i < nb; ++i) {
      const UdfExtent e{blocks[i], 1, metaRef_, true};
      if (!node->extents.empty() && node->extents.back().block + node->extents.back().count ==
                                        e.block &&
          node->extents.back().count < kMaxExtentBlocks)
        ++node->extents.back().count;
      else
        node->extents.push_back(e);
      PutMeta(blocks[i], std::vector<uint8_t>(data.begin() + static_cast<ptrdiff_t>(i * kSectorSize),
                                              data.begin() + static_cast<ptrdiff_t>((i + 1) * kSectorSize)));
    }
    node->embedded = false;
    node->inlineData.clear();
    node->fe.icbTag.flags = SetAllocation(node->fe.icbTag.flags, kIcbShortAds);
  }
  node->fe.informationLength = node->fe.objectSize = total;
  node->dirDirty = false;
  node->dirty = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::SerializeNode(UdfNode* node) {
  FileEntry fe = node->fe;
  fe.tag.tagLocation = node->location.logicalBlockNum;
  fe.tag.tagSerialNum = serial_;
  const size_t header = fe.extended ? kExtendedFileEntryHeaderSize : kFileEntryHeaderSize;
  const size_t room = kSectorSize - header - fe.extendedAttributes.size();
  std::vector<uint32_t> aeds;
  if (node->embedded) {
    fe.allocationDescriptors = node->inlineData;
    fe.icbTag.flags = SetAllocation(fe.icbTag.flags, kIcbEmbedded);
    fe.logicalBlocksRecorded = 0;
  } else {
    // Folders keep short descriptors inside the metadata partition; files use
    // long descriptors into the physical partition.
    const bool use_short =
        std::all_of(node->extents.begin(), node->extents.end(),
                    [&](const UdfExtent& e) { return e.partition == node->location.partitionReferenceNum; }) &&
        node->IsDirectory();
    const size_t ad = use_short ? kShortAdSize : kLongAdSize;
    std::vector<std::vector<uint8_t>> list;
    uint64_t remaining = node->Size();
    uint64_t recorded = 0;
    for (const auto& e : node->extents) {
      const uint64_t cap = static_cast<uint64_t>(e.count) * kSectorSize;
      uint32_t len = static_cast<uint32_t>(cap);
      ExtentType type = e.recorded ? ExtentType::kRecordedAllocated
                        : e.partition == 0xFFFF ? ExtentType::kNotRecordedNotAllocated
                                                : ExtentType::kAllocatedNotRecorded;
      if (remaining >= cap) {
        remaining -= cap;
      } else if (remaining > 0) {
        len = static_cast<uint32_t>(remaining);
        remaining = 0;
      } else if (type == ExtentType::kRecordedAllocated) {
        type = ExtentType::kAllocatedNotRecorded;  // allocated past the end of the file
      }
      if (e.recorded) recorded += e.count;
      std::vector<uint8_t> bytes(ad, 0);
      const uint16_t part = e.partition == 0xFFFF ? physRef_ : e.partition;
      if (use_short) EncodeShortAd(bytes.data(), {len, type, e.block});
      else EncodeLongAd(bytes.data(), {len, type, {e.block, part}, {}});
      list.push_back(std::move(bytes));
    }
    fe.logicalBlocksRecorded = recorded;
    fe.icbTag.flags = SetAllocation(fe.icbTag.flags, use_short ? kIcbShortAds : kIcbLongAds);
    const size_t inline_cap = room / ad;
    auto continuation = [&](uint32_t block) {
      std::vector<uint8_t> bytes(ad, 0);
      if (use_short) EncodeShortAd(bytes.data(), {static_cast<uint32_t>(kSectorSize), ExtentType::kNextExtent, block});
      else EncodeLongAd(bytes.data(), {static_cast<uint32_t>(kSectorSize), ExtentType::kNextExtent, {block, metaRef_}, {}});
      return bytes;
    };
    if (list.size() <= inline_cap) {
      for (const auto& b : list) fe.allocationDescriptors.insert(fe.allocationDescriptors.end(), b.begin(), b.end());
    } else {
      // Descriptors beyond the entry continue in allocation extent descriptors.
      const size_t per_aed = (kSectorSize - kAedHeaderSize) / ad;
      size_t left = list.size() - (inline_cap - 1);
      size_t need = 0;
      while (left > 0) {
        ++need;
        left = left > per_aed ? left - (per_aed - 1) : 0;
      }
      while (node->aedBlocks.size() > need) {
        FreeMeta(node->aedBlocks.back(), 1);
        node->aedBlocks.pop_back();
      }
      while (node->aedBlocks.size() < need) {
        uint32_t b = 0;
        if (Err e = AllocMeta(1, &b)) return e;
        node->aedBlocks.push_back(b);
      }
      size_t at = 0;
      for (; at < inline_cap - 1; ++at)
        fe.allocationDescriptors.insert(fe.allocationDescriptors.end(), list[at].begin(), list[at].end());
      auto c = continuation(node->aedBlocks[0]);
      fe.allocationDescriptors.insert(fe.allocationDescriptors.end(), c.begin(), c.end());
      uint32_t prev = node->location.logicalBlockNum;
      for (size_t i = 0; i < need; ++i) {
        std::vector<uint8_t> blk(kSectorSize, 0);
        const bool last = i + 1 == need;
        const size_t count = last ? list.size() - at : per_aed - 1;
        size_t len = 0;
        for (size_t k = 0; k < count; ++k, ++at) {
          std::memcpy(&blk[kAedHeaderSize + len], list[at].data(), ad);
          len += ad;
        }
        if (!last) {
          auto cc = continuation(node->aedBlocks[i + 1]);
          std::memcpy(&blk[kAedHeaderSize + len], cc.data(), ad);
          len += ad;
        }
        Put32(&blk[16], prev);
        Put32(&blk[20], static_cast<uint32_t>(len));
        FinishTag(blk, kTagAllocationExtent, node->aedBlocks[i], static_cast<uint16_t>(8 + len),
                  serial_);
        PutMeta(node->aedBlocks[i], std::move(blk));
        prev = node->aedBlocks[i];
      }
      aeds = node->aedBlocks;
    }
  }
  if (aeds.empty()) {
    for (uint32_t b : node->aedBlocks) FreeMeta(b, 1);
    node->aedBlocks.clear();
  }
  fe.objectSize = fe.informationLength;
  std::vector<uint8_t> buf(kSectorSize, 0);
  if (Encode(fe, buf) == 0) return pe::ERROR_FILE_CORRUPT;
  if (node->location.partitionReferenceNum == metaRef_)
    PutMeta(node->location.logicalBlockNum, std::move(buf));
  else
    PutPhys(partStart_ + node->location.logicalBlockNum, std::move(buf));
  node->dirty = false;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::SerializeMetadataFiles() {
  if (metaFilesDirty_) {
    const std::vector<ShortAd> ads = MetadataAds();
    metaFe_.tag.tagLocation = metaMap_.metadataFileLocation;
    mirrorFe_.tag.tagLocation = metaMap_.metadataMirrorFileLocation;
    const bool have_mirror = metaMap_.metadataMirrorFileLocation < partLength_;
    for (FileEntry* fe : {&metaFe_, &mirrorFe_}) {
      if (fe == &mirrorFe_ && !have_mirror) break;
      if (Err e = LayOutMetadataChain(ads, fe, fe == &metaFe_ ? metaAedBlocks_ : mirrorAedBlocks_))
        return e;
      fe->informationLength = fe->objectSize = static_cast<uint64_t>(metaBlocks_) * kSectorSize;
      fe->logicalBlocksRecorded = metaBlocks_;
      fe->icbTag.flags = SetAllocation(fe->icbTag.flags, kIcbShortAds);
      fe->tag.tagSerialNum = serial_;
    }
    // The chains reach the disc before the entries that name them.
    if (Err e = WritePending()) return e;
    std::vector<uint8_t> buf(kSectorSize, 0);
    if (Encode(metaFe_, buf) == 0) return pe::ERROR_LOG_CORRUPTION_DETECTED;
    PutPhys(partStart_ + metaMap_.metadataFileLocation, buf);
    if (metaMap_.metadataMirrorFileLocation < partLength_) {
      std::fill(buf.begin(), buf.end(), 0);
      if (Encode(mirrorFe_, buf) == 0) return pe::ERROR_LOG_CORRUPTION_DETECTED;
      PutPhys(partStart_ + metaMap_.metadataMirrorFileLocation, buf);
    }
    metaFilesDirty_ = false;
  }
  if (haveMetaBitmap_ && metaBitmapDirty_) {
    const uint32_t loc = metaMap_.metadataBitmapFileLocation;
    std::vector<uint8_t> bits = metaBitmap_.Bytes();
    std::vector<uint8_t> data(kSpaceBitmapHeaderSize + bits.size(), 0);
    SpaceBitmapDescriptor sbd;
    sbd.numberOfBits = metaBitmap_.Size();
    sbd.numberOfBytes = static_cast<uint32_t>(bits.size());
    FileEntry& fe = metaBitmapFe_;
    const size_t room = kSectorSize - kExtendedFileEntryHeaderSize - fe.extendedAttributes.size();
    if (data.size() <= room) {
      sbd.tag.tagLocation = loc;
      sbd.tag.tagSerialNum = serial_;
      Encode(sbd, data);
      std::memcpy(data.data() + kSpaceBitmapHeaderSize, bits.data(), bits.size());
      for (const auto& x : metaBitmapExtents_) FreeData(x.block, x.count);
      metaBitmapExtents_.clear();
      fe.allocationDescriptors = data;
      fe.icbTag.flags = SetAllocation(fe.icbTag.flags, kIcbEmbedded);
      fe.logicalBlocksRecorded = 0;
    } else {
      // A bitmap too large for its entry moves into blocks of its own.
      const uint32_t nb = static_cast<uint32_t>((data.size() + kSectorSize - 1) / kSectorSize);
      uint32_t have = 0;
      for (const auto& x : metaBitmapExtents_) have += x.count;
      if (have != nb) {
        for (const auto& x : metaBitmapExtents_) FreeData(x.block, x.count);
        metaBitmapExtents_.clear();
        uint32_t start = 0, got = 0;
        if (!physBitmap_.FindRun(dataRover_, nb, nb, 1, &start, &got)) return pe::ERROR_DISK_FULL;
        physBitmap_.MarkUsed(start, nb);
        metaBitmapExtents_.push_back({start, nb, physRef_, true});
      }
      const uint32_t start = metaBitmapExtents_[0].block;
      sbd.tag.tagLocation = start;
      sbd.tag.tagSerialNum = serial_;
      Encode(sbd, data);
      std::memcpy(data.data() + kSpaceBitmapHeaderSize, bits.data(), bits.size());
      data.resize(static_cast<size_t>(nb) * kSectorSize, 0);
      for (uint32_t i = 0; i < nb; ++i)
        PutPhys(partStart_ + start + i,
                std::vector<uint8_t>(data.begin() + static_cast<ptrdiff_t>(i * kSectorSize),
                                     data.begin() + static_cast<ptrdiff_t>((i + 1) * kSectorSize)));
      std::vector<ShortAd> ads{{static_cast<uint32_t>(kSpaceBitmapHeaderSize + bits.size()),
                                ExtentType::kRecordedAllocated, start}};
      fe.allocationDescriptors = EncodeShortAds(ads, false);
      fe.icbTag.flags = SetAllocation(fe.icbTag.flags, kIcbShortAds);
      fe.logicalBlocksRecorded = nb;
    }
    fe.informationLength = fe.objectSize = kSpaceBitmapHeaderSize + bits.size();
    fe.tag.tagLocation = loc;
    fe.tag.tagSerialNum = serial_;
    std::vector<uint8_t> buf(kSectorSize, 0);
    if (Encode(fe, buf) == 0) return pe::ERROR_LOG_CORRUPTION_DETECTED;
    PutPhys(partStart_ + loc, std::move(buf));
    metaBitmapDirty_ = false;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WriteMetaBlocks() {
  for (auto& [block, data] : pendingMeta_) {
    uint32_t lba = 0, run = 0;
    if (!MetaToPhys(block, &lba, &run)) return pe::ERROR_LOG_CORRUPTION_DETECTED;
    pendingPhys_[lba] = std::move(data);
  }
  pendingMeta_.clear();
  return WritePending();
}

Win32Error UdfFileSystem::WritePending() {
  // Recordable media: sectors at or past the metadata track's next writable
  // address are appended in order, gaps and the rest of the last 64 KiB unit
  // filled with zeros; sectors before it are rewritten in place (pseudo-overwrite).
  if (recordable_ && !metaUsageKnown_) return pe::ERROR_LOG_CORRUPTION_DETECTED;
  const uint32_t nwa_base = partStart_;
  uint32_t nwa = recordable_ ? nwa_base + metaNwa_ : 0xFFFFFFFF;
  const uint32_t track_end = recordable_ ? nwa_base + metaTrackEnd_ : 0xFFFFFFFF;
  std::vector<uint8_t> run;
  auto write_zeros = [&](uint32_t from, uint32_t to) -> Err {
    std::vector<uint8_t> z(static_cast<size_t>(std::min<uint32_t>(to - from, kMaxWriteRun)) * kSectorSize, 0);
    while (from < to) {
      const uint32_t n = std::min<uint32_t>(to - from, kMaxWriteRun);
      if (Err e = WritePhys(from, n, z.data())) return e;
      from += n;
    }
    return pe::ERROR_SUCCESS;
  };
  auto it = pendingPhys_.begin();
  while (it != pendingPhys_.end()) {
    const uint32_t start = it->first;
    run.clear();
    uint32_t count = 0;
    while (it != pendingPhys_.end() && it->first == start + count && count < kMaxWriteRun &&
           !(start < nwa && start + count == nwa)) {
      run.insert(run.end(), it->second.begin(), it->second.end());
      ++count;
      ++it;
    }
    if (recordable_ && start + count > nwa && start < track_end) {
      if (start < nwa) return pe::ERROR_WRITE_FAULT;  // never straddles: runs split below
      if (start > nwa) {
        if (Err e = write_zeros(nwa, start)) return e;
      }
      if (Err e = WritePhys(start, count, run.data())) return e;
      nwa = start + count;
      continue;
    }
    if (recordable_ && start < nwa && start + count > nwa) return pe::ERROR_WRITE_FAULT;
    if (Err e = WritePhys(start, count, run.data())) return e;
  }
  pendingPhys_.clear();
  if (recordable_ && nwa != nwa_base + metaNwa_) {
    const uint32_t aligned = std::min<uint32_t>((nwa + 31) & ~31u, track_end);
    if (aligned > nwa) {
      if (Err e = write_zeros(nwa, aligned)) return e;
    }
    metaNwa_ = aligned - nwa_base;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WriteIntegrity(uint32_t type) {
  lvid_.recordingDateAndTime = TimestampFromFileTime(clock_->Now());
  lvid_.integrityType = type;
  const size_t maps = lvd_.partitionMaps.size();
  lvid_.freeSpaceTable.resize(std::max(lvid_.freeSpaceTable.size(), maps), 0xFFFFFFFF);
  lvid_.sizeTable.resize(std::max(lvid_.sizeTable.size(), maps), 0xFFFFFFFF);
  if (havePhysBitmap_) lvid_.freeSpaceTable[physRef_] = physBitmap_.FreeCount();
  if (haveMetaBitmap_) lvid_.freeSpaceTable[metaRef_] = metaBitmap_.FreeCount();
  lvid_.sizeTable[physRef_] = partLength_;
  lvid_.sizeTable[metaRef_] = metaBlocks_;
  lvid_.numberOfFiles = fileCount_;
  lvid_.numberOfDirectories = dirCount_;
  lvid_.implementationId = MakeImplementationId(kFsImplementationId, kFsOsClass, kFsOsIdentifier);
  lvid_.tag.tagLocation = lvidLocation_;
  lvid_.tag.tagSerialNum = serial_;
  std::vector<uint8_t> buf(kSectorSize, 0);
  if (Encode(lvid_, buf) == 0) return pe::ERROR_LOG_CORRUPTION_DETECTED;
  if (Err e = WritePhys(lvidLocation_, 1, buf.data())) return e;
  return device_->Synchronize();
}

Win32Error UdfFileSystem::FlushLocked() {
  if (!mounted_ || readOnly_ || !changed_) return pe::ERROR_SUCCESS;
  // Recordable media: the metadata track's next writable address must be known
  // before anything is appended there.
  if (recordable_) {
    if (Err e = EnsureMetaUsage()) return e;
  }
  // Folders first: writing them may allocate blocks and change file entries.
  for (auto& [key, node] : nodes_)
    if (node->dirDirty) {
      if (Err e = SerializeDir(node.get())) return e;
    }
  for (auto& [key, node] : nodes_)
    if (node->dirty) {
      if (Err e = SerializeNode(node.get())) return e;
    }
  // Room for the metadata files' chains is found before anything is written.
  if (metaFilesDirty_) {
    if (Err e = ReserveMetadataChains()) return e;
  }
  // Folders and file entries reach the disc before the metadata files' entries,
  // which may name a new place of the metadata file.
  if (Err e = WriteMetaBlocks()) return e;
  if (metaRelocated_) {
    if (Err e = device_->Synchronize()) return e;
  }
  if (Err e = SerializeMetadataFiles()) return e;
  if (Err e = WritePending()) return e;
  metaRelocated_ = false;
  if (Err e = device_->Synchronize()) return e;
  // The disc no longer refers to freed data blocks: they become free now.
  if (havePhysBitmap_) {
    for (const auto& [b, n] : pendingFree_) physBitmap_.MarkFree(b, n);
    pendingFree_.clear();
    if (!physBitmap_.DirtySectors().empty()) {
      std::vector<uint8_t> bytes = physBitmap_.Bytes();
      bytes.resize(physSbd_.numberOfBytes, 0);
      const uint32_t first_lba = partStart_ + physBitmapBlock_;
      for (uint32_t s : physBitmap_.DirtySectors()) {
        std::vector<uint8_t> sector(kSectorSize, 0);
        const size_t begin = static_cast<size_t>(s) * kSectorSize;
        if (s == 0) {
          SpaceBitmapDescriptor sbd = physSbd_;
          sbd.tag.tagLocation = physBitmapBlock_;
          Encode(sbd, sector);
        }
        for (size_t i = std::max(begin, kSpaceBitmapHeaderSize); i < begin + kSectorSize; ++i) {
          const size_t at = i - kSpaceBitmapHeaderSize;
          if (at >= bytes.size()) break;
          sector[i - begin] = bytes[at];
        }
        PutPhys(first_lba + s, std::move(sector));
      }
      physBitmap_.ClearDirty();
      if (Err e = WritePending()) return e;
    }
  }
  if (Err e = WriteIntegrity(kIntegrityClose)) return e;
  changed_ = false;
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
