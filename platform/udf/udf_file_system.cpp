// Mounting, names and volume operations of the UDF file system. Space allocation,
// file data, write-back and the consistency check live in udf_fs_*.cpp.
#include "platform/udf/udf_file_system.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/udf/bytes.h"
#include "platform/udf/dstring.h"
#include "platform/udf/fs_util.h"
#include "platform/udf/tag.h"
#include "platform/udf/udf_file.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

namespace {

constexpr uint32_t kMaxVdsSectors = 64;
constexpr Win32Error kErrorNotLocked = 158;  // ERROR_NOT_LOCKED
constexpr uint64_t kMaxDirectoryBytes = 64ull << 20;
constexpr uint32_t kMaxAllocationExtents = 4096;
constexpr uint32_t kOwnerWrite = 1u << 11;
constexpr uint32_t kWriteBits = (1u << 1) | (1u << 6) | (1u << 11);
constexpr uint16_t kIcbArchive = 0x20;
constexpr uint16_t kIcbSystem = 0x400;

bool TagOk(std::span<const uint8_t> desc, uint16_t ident, uint32_t location) {
  return CheckTag(desc, ident, true, location) == TagStatus::kOk;
}

}  // namespace

UdfDirEntry* UdfDirContents::Find(std::u16string_view name) {
  auto it = index.find(platform::UpCase(name));
  if (it == index.end()) return nullptr;
  return &entries[it->second];
}

UdfFileSystem::UdfFileSystem(ISectorDevice* device, platform::Clock* clock)
    : device_(device), clock_(clock ? clock : &platform::RealClock()) {}

UdfFileSystem::~UdfFileSystem() {
  std::lock_guard lk(mu_);
  if (mounted_ && changed_) {
    const Err e = FlushLocked();
    if (e) KLOG_ERROR("udf: write-back at release failed: %u", e);
  }
  mounted_ = false;
}

Win32Error UdfFileSystem::Mount(ISectorDevice* device, const UdfMountOptions& options,
                                std::unique_ptr<UdfFileSystem>* out) {
  std::unique_ptr<UdfFileSystem> fs(new UdfFileSystem(device, options.clock));
  std::lock_guard lk(fs->mu_);
  fs->moveMetadata_ = options.moveMetadata;
  fs->rebuildOpen_ = options.rebuildOpenIntegrity;
  const Err e = fs->MountLocked(options.readOnly);
  if (e) return e;
  *out = std::move(fs);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::MountLocked(bool read_only) {
  readOnly_ = read_only;
  if (Err e = ReadVolumeDescriptors()) return e;
  if (Err e = LoadMetadataFile()) return e;
  // The file set descriptor must be there and name a root folder.
  {
    std::vector<uint8_t> buf(kSectorSize);
    if (fsdLocation_.partitionReferenceNum != metaRef_ &&
        fsdLocation_.partitionReferenceNum != physRef_)
      return pe::ERROR_UNRECOGNIZED_VOLUME;
    if (Err e = ReadBlocks(fsdLocation_.partitionReferenceNum, fsdLocation_.logicalBlockNum, 1,
                           buf.data()))
      return e == pe::ERROR_CRC ? e : pe::ERROR_UNRECOGNIZED_VOLUME;
    FileSetDescriptor fsd;
    if (!TagOk(buf, kTagFileSet, fsdLocation_.logicalBlockNum) || !Decode(buf, &fsd))
      return pe::ERROR_UNRECOGNIZED_VOLUME;
    rootIcb_ = fsd.rootDirectoryIcb;
  }
  const bool rebuild = integrityOpenAtMount_ && rebuildOpen_ && !readOnly_;
  if (integrityOpenAtMount_ && !rebuild) readOnly_ = true;
  if (pd_.accessType == kAccessReadOnly) readOnly_ = true;
  if (lvid_.minimumUdfReadRevision > 0x0260) return pe::ERROR_UNRECOGNIZED_VOLUME;
  if (lvid_.minimumUdfWriteRevision > 0x0260) readOnly_ = true;
  if (!readOnly_) {
    if (Err e = LoadBitmaps()) return e;
    SetMetadataZone();
  }
  if (!readOnly_ && recordable_) {
    if (Err e = LoadTracks()) return e;
  }
  fileCount_ = lvid_.numberOfFiles;
  dirCount_ = lvid_.numberOfDirectories;
  mounted_ = true;
  if (rebuild && !readOnly_) {
    if (recordable_ || RebuildAccounting() != pe::ERROR_SUCCESS) {
      // Write-once media keep their own accounting; a damaged tree is left alone.
      readOnly_ = true;
    }
  }
  KLOG_INFO("udf: volume mounted: revision %04X, %s, %s%s", revision_,
             recordable_ ? "recordable" : "rewritable", readOnly_ ? "read-only" : "writable",
             integrityOpenAtMount_ ? ", integrity open" : "");
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::ReadVolumeDescriptors() {
  sectors_ = device_->SectorCount();
  if (sectors_ < 512) return pe::ERROR_UNRECOGNIZED_VOLUME;
  std::vector<uint8_t> buf(kSectorSize);
  AnchorVolumeDescriptorPointer avdp;
  bool found = false;
  for (uint32_t at : {256u, sectors_ - 1 - 256, sectors_ - 1}) {
    if (ReadPhys(at, 1, buf.data())) continue;
    if (TagOk(buf, kTagAnchorPointer, at) && Decode(buf, &avdp)) {
      found = true;
      serial_ = avdp.tag.tagSerialNum;
      break;
    }
  }
  if (!found) return pe::ERROR_UNRECOGNIZED_VOLUME;

  bool have_pvd = false, have_pd = false, have_lvd = false;
  for (const ExtentAd& ext : {avdp.mainVolumeDescriptorSequenceExtent,
                              avdp.reserveVolumeDescriptorSequenceExtent}) {
    have_pvd = have_pd = have_lvd = false;
    const uint32_t count = std::min(ext.extentLength / kSectorSize, size_t{kMaxVdsSectors});
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t at = ext.extentLocation + i;
      if (at >= sectors_ || ReadPhys(at, 1, buf.data())) break;
      if (CheckTag(buf, 0, true, at) != TagStatus::kOk) break;
      const uint16_t ident = DecodeTag(buf.data()).tagIdent;
      if (ident == kTagTerminating) break;
      if (ident == kTagPrimaryVolume && !have_pvd) have_pvd = Decode(buf, &pvd_);
      if (ident == kTagPartition && !have_pd) have_pd = Decode(buf, &pd_);
      if (ident == kTagLogicalVolume && !have_lvd) have_lvd = Decode(buf, &lvd_);
    }
    if (have_pd && have_lvd) break;
  }
  if (!have_pd || !have_lvd || lvd_.logicalBlockSize != kSectorSize)
    return pe::ERROR_UNRECOGNIZED_VOLUME;

  // One physical partition and the metadata partition over it.
  bool have_phys = false, have_meta = false;
  for (size_t i = 0; i < lvd_.partitionMaps.size(); ++i) {
    const PartitionMap& m = lvd_.partitionMaps[i];
    if (m.partitionNumber != pd_.partitionNumber) continue;
    if (m.partitionMapType == 1 && !have_phys) {
      physRef_ = static_cast<uint16_t>(i);
      have_phys = true;
    } else if (m.IsMetadata() && !have_meta) {
      metaRef_ = static_cast<uint16_t>(i);
      metaMap_ = m;
      have_meta = true;
    }
  }
  if (!have_phys || !have_meta) return pe::ERROR_UNRECOGNIZED_VOLUME;
  partStart_ = pd_.partitionStartingLocation;
  partLength_ = pd_.partitionLength;
  if (partLength_ == 0 || partStart_ >= sectors_ ||
      static_cast<uint64_t>(partStart_) + partLength_ > sectors_)
    return pe::ERROR_UNRECOGNIZED_VOLUME;
  recordable_ = pd_.accessType == kAccessPseudoOverwritable || pd_.accessType == kAccessWriteOnce;
  fsdLocation_ = lvd_.fileSetDescriptorLocation.location;

  // The integrity sequence: the last valid descriptor in its extent is current.
  const ExtentAd& seq = lvd_.integritySequenceExtent;
  const uint32_t seq_len = std::min<uint32_t>(seq.extentLength / kSectorSize, 64);
  bool have_lvid = false;
  for (uint32_t i = 0; i < std::max<uint32_t>(seq_len, 1); ++i) {
    const uint32_t at = seq.extentLocation + i;
    if (at >= sectors_ || ReadPhys(at, 1, buf.data())) break;
    LogicalVolumeIntegrityDescriptor d;
    if (!TagOk(buf, kTagLogicalVolumeIntegrity, at) || !Decode(buf, &d)) break;
    lvid_ = d;
    lvidLocation_ = at;
    have_lvid = true;
    if (d.integrityType == kIntegrityClose) break;
  }
  if (!have_lvid || lvid_.freeSpaceTable.size() < lvd_.partitionMaps.size())
    return pe::ERROR_UNRECOGNIZED_VOLUME;
  integrityOpenAtMount_ = lvid_.integrityType != kIntegrityClose;
  revision_ = lvid_.maximumUdfWriteRevision;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::LoadMetadataFile() {
  std::vector<UdfExtent> main_ext, mirror_ext;
  std::vector<uint32_t> main_aeds, mirror_aeds;
  bool main_broken = false, mirror_broken = false;
  const bool main_ok = LoadMetadataChain(metaMap_.metadataFileLocation, kFileTypeMetadata,
                                         &metaFe_, &main_ext, &main_aeds, &main_broken);
  mirrorUsable_ = LoadMetadataChain(metaMap_.metadataMirrorFileLocation, kFileTypeMetadataMirror,
                                    &mirrorFe_, &mirror_ext, &mirror_aeds, &mirror_broken);
  if (!main_ok && !mirrorUsable_) return pe::ERROR_LOG_CORRUPTION_DETECTED;
  if (!main_ok) {
    // Rebuild the metadata file's entry from its mirror at the next write-back.
    metaFe_ = mirrorFe_;
    metaFe_.icbTag.fileType = kFileTypeMetadata;
    metaFilesDirty_ = true;
  }
  // A whole chain is preferred to one cut short by a damaged sector.
  const bool use_main = main_ok && (!main_broken || !mirrorUsable_ || mirror_broken);
  metaExtents_ = use_main ? main_ext : mirror_ext;
  // Each entry keeps its own chain's blocks for the write-back.
  metaAedBlocks_ = main_ok ? main_aeds : std::vector<uint32_t>{};
  mirrorAedBlocks_ = mirrorUsable_ ? mirror_aeds : std::vector<uint32_t>{};
  chainSpare_.clear();
  metaBlocks_ = 0;
  for (const auto& e : metaExtents_) metaBlocks_ += e.count;
  if (!mirrorUsable_) {
    mirrorFe_ = metaFe_;
    mirrorFe_.icbTag.fileType = kFileTypeMetadataMirror;
    metaFilesDirty_ = true;
  }
  MetadataChainProblems(main_ok, main_broken, mirror_broken, main_ext, mirror_ext);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::LoadBitmaps() {
  std::vector<uint8_t> buf;
  if (!recordable_) {
    const ShortAd& ext = pd_.partitionHeader.unallocatedSpaceBitmap;
    const uint32_t sectors = (ext.length + kSectorSize - 1) / kSectorSize;
    SpaceBitmapDescriptor sbd;
    buf.assign(static_cast<size_t>(sectors) * kSectorSize, 0);
    if (ext.length < kSpaceBitmapHeaderSize || static_cast<uint64_t>(ext.position) + sectors >
                                                   partLength_ ||
        ReadPhys(partStart_ + ext.position, sectors, buf.data()) ||
        !TagOk(std::span(buf).first(kSpaceBitmapHeaderSize), kTagSpaceBitmap, ext.position) ||
        !Decode(buf, &sbd) || sbd.numberOfBits < partLength_ ||
        sbd.numberOfBytes > ext.length - kSpaceBitmapHeaderSize) {
      KLOG_WARN("udf: the space bitmap cannot be used; mounting read-only");
      readOnly_ = true;
      return pe::ERROR_SUCCESS;
    }
    physBitmap_.Load(std::span(buf).subspan(kSpaceBitmapHeaderSize, sbd.numberOfBytes),
                     partLength_);
    physBitmap_.set_header_bytes(kSpaceBitmapHeaderSize);
    physBitmapBlock_ = ext.position;
    physSbd_ = sbd;
    havePhysBitmap_ = true;
  }
  const uint32_t loc = metaMap_.metadataBitmapFileLocation;
  if (loc == 0xFFFFFFFF) {
    if (!recordable_) readOnly_ = true;  // no way to know the free metadata blocks
    return pe::ERROR_SUCCESS;
  }
  buf.assign(kSectorSize, 0);
  FileEntry fe;
  if (loc >= partLength_ || ReadPhys(partStart_ + loc, 1, buf.data()) || !TagOk(buf, 0, loc) ||
      !Decode(buf, &fe) || fe.icbTag.fileType != kFileTypeMetadataBitmap) {
    KLOG_WARN("udf: the metadata bitmap cannot be used; mounting read-only");
    readOnly_ = true;
    return pe::ERROR_SUCCESS;
  }
  std::vector<uint8_t> data;
  if (fe.icbTag.Allocation() == kIcbEmbedded) {
    data = fe.allocationDescriptors;
  } else if (fe.icbTag.Allocation() == kIcbShortAds) {
    for (const ShortAd& a : DecodeShortAds(fe.allocationDescriptors)) {
      const uint32_t count = (a.length + kSectorSize - 1) / kSectorSize;
      if (a.type != ExtentType::kRecordedAllocated ||
          static_cast<uint64_t>(a.position) + count > partLength_ || data.size() > (64u << 20)) {
        readOnly_ = true;
        return pe::ERROR_SUCCESS;
      }
      std::vector<uint8_t> part(static_cast<size_t>(count) * kSectorSize);
      if (ReadPhys(partStart_ + a.position, count, part.data())) {
        readOnly_ = true;
        return pe::ERROR_SUCCESS;
      }
      data.insert(data.end(), part.begin(), part.end());
      metaBitmapExtents_.push_back({a.position, count, physRef_, true});
    }
  }
  SpaceBitmapDescriptor sbd;
  if (data.size() < kSpaceBitmapHeaderSize ||
      CheckTag(std::span(data).first(kSpaceBitmapHeaderSize), kTagSpaceBitmap) !=
          TagStatus::kOk ||
      !Decode(data, &sbd) || sbd.numberOfBytes > data.size() - kSpaceBitmapHeaderSize) {
    KLOG_WARN("udf: the metadata bitmap is damaged; mounting read-only");
    readOnly_ = true;
    return pe::ERROR_SUCCESS;
  }
  metaBitmapFe_ = fe;
  metaBitmap_.Load(std::span(data).subspan(kSpaceBitmapHeaderSize, sbd.numberOfBytes),
                   std::min(sbd.numberOfBits, metaBlocks_));
  if (metaBitmap_.Size() < metaBlocks_) metaBitmap_.Grow(metaBlocks_, false);
  haveMetaBitmap_ = true;
  metaUsageKnown_ = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::LoadTracks() {
  std::vector<SectorTrack> tracks;
  const uint32_t meta_phys = partStart_ + metaMap_.metadataFileLocation;
  const uint64_t part_end = static_cast<uint64_t>(partStart_) + partLength_;
  if (device_->ReadTracks(&tracks) == pe::ERROR_SUCCESS) {
    for (size_t i = 0; i < tracks.size(); ++i) {
      const SectorTrack& t = tracks[i];
      if (meta_phys < t.start || meta_phys >= t.start + t.size) continue;
      if (i + 1 >= tracks.size()) break;
      const SectorTrack& d = tracks[i + 1];
      auto nwa = [](const SectorTrack& tr) {
        return tr.nextWritable == kNoWritableAddress ? tr.start + tr.size : tr.nextWritable;
      };
      metaNwa_ = nwa(t) - partStart_;
      metaTrackEnd_ = t.start + t.size - partStart_;
      dataNwa_ = nwa(d) - partStart_;
      dataEnd_ = static_cast<uint32_t>(std::min<uint64_t>(d.start + d.size, part_end) - partStart_);
      // Blocks the metadata file already claims stay its own, recorded or not.
      metaReserved_ = metaNwa_;
      for (const auto& x : metaExtents_)
        if (x.block >= metaNwa_ && x.block < metaTrackEnd_)
          metaReserved_ = std::max(metaReserved_, std::min(x.block + x.count, metaTrackEnd_));
      return pe::ERROR_SUCCESS;
    }
    KLOG_WARN("udf: the tracks of the recordable disc do not match its volume; read-only");
    readOnly_ = true;
    return pe::ERROR_SUCCESS;
  }
  // No tracks (an image file): the metadata track ends where the data track
  // starts, and the next writable addresses follow the last recorded blocks,
  // found by walking the tree on the first allocation.
  constexpr uint32_t kDataTrackStart = 550912;
  if (kDataTrackStart <= meta_phys || kDataTrackStart >= part_end) {
    readOnly_ = true;
    return pe::ERROR_SUCCESS;
  }
  metaTrackEnd_ = kDataTrackStart - partStart_;
  dataNwa_ = metaTrackEnd_;
  dataEnd_ = static_cast<uint32_t>(
      std::min<uint64_t>(part_end, sectors_ > 288 ? sectors_ - 288 : 0) - partStart_);
  metaNwa_ = 0;  // computed by EnsureMetaUsage
  metaReserved_ = 0;
  return pe::ERROR_SUCCESS;
}

// ---- device access ----

Win32Error UdfFileSystem::ReadPhys(uint32_t lba, uint32_t count, uint8_t* buf) {
  if (static_cast<uint64_t>(lba) + count > sectors_) return pe::ERROR_CRC;
  const Err e = device_->ReadSectors(lba, count, buf);
  if (e == pe::ERROR_SUCCESS) return e;
  if (e == pe::ERROR_NOT_READY || e == pe::ERROR_DEVICE_NOT_CONNECTED ||
      e == pe::ERROR_NO_MEDIA_IN_DRIVE)
    return e;
  return pe::ERROR_CRC;
}

Win32Error UdfFileSystem::WritePhys(uint32_t lba, uint32_t count, const uint8_t* buf) {
  if (static_cast<uint64_t>(lba) + count > sectors_) return pe::ERROR_WRITE_FAULT;
  return device_->WriteSectors(lba, count, buf);
}

bool UdfFileSystem::MetaToPhys(uint32_t block, uint32_t* lba, uint32_t* run) const {
  uint32_t at = 0;
  for (const auto& e : metaExtents_) {
    if (block < at + e.count) {
      if (!e.recorded) return false;  // allocated, not recorded: unmapped
      *lba = partStart_ + e.block + (block - at);
      *run = e.count - (block - at);
      return true;
    }
    at += e.count;
  }
  return false;
}

uint32_t UdfFileSystem::PhysOf(uint16_t partition, uint32_t block) const {
  if (partition == physRef_) return partStart_ + block;
  uint32_t lba = 0, run = 0;
  return MetaToPhys(block, &lba, &run) ? lba : 0xFFFFFFFF;
}

Win32Error UdfFileSystem::ReadBlocks(uint16_t partition, uint32_t block, uint32_t count,
                                     uint8_t* buf) {
  if (partition == physRef_) {
    if (static_cast<uint64_t>(block) + count > partLength_) return pe::ERROR_FILE_CORRUPT;
    return ReadPhys(partStart_ + block, count, buf);
  }
  if (partition != metaRef_) return pe::ERROR_FILE_CORRUPT;
  while (count > 0) {
    // Blocks waiting to be written are read from memory: after a move of the
    // metadata file, its new place holds nothing yet.
    auto pending = pendingMeta_.lower_bound(block);
    if (pending != pendingMeta_.end() && pending->first == block) {
      std::memcpy(buf, pending->second.data(), kSectorSize);
      buf += kSectorSize;
      ++block;
      --count;
      continue;
    }
    uint32_t lba = 0, run = 0;
    if (!MetaToPhys(block, &lba, &run)) return pe::ERROR_FILE_CORRUPT;
    run = std::min(run, count);
    if (pending != pendingMeta_.end() && pending->first - block < run) run = pending->first - block;
    if (Err e = ReadPhys(lba, run, buf)) return e;
    buf += static_cast<size_t>(run) * kSectorSize;
    block += run;
    count -= run;
  }
  return pe::ERROR_SUCCESS;
}

// ---- nodes and folders ----

Win32Error UdfFileSystem::LoadNode(const LbAddr& at, NodePtr* out) {
  const uint64_t key = NodeKey(at);
  if (auto it = nodes_.find(key); it != nodes_.end()) {
    *out = it->second;
    return pe::ERROR_SUCCESS;
  }
  std::vector<uint8_t> buf(kSectorSize);
  if (Err e = ReadBlocks(at.partitionReferenceNum, at.logicalBlockNum, 1, buf.data()))
    return e == pe::ERROR_CRC ? e : pe::ERROR_FILE_CORRUPT;
  auto node = std::make_shared<UdfNode>();
  node->location = at;
  if (!TagOk(buf, 0, at.logicalBlockNum) || !Decode(buf, &node->fe))
    return pe::ERROR_FILE_CORRUPT;
  if (node->fe.tag.tagIdent != kTagExtendedFileEntry && node->fe.tag.tagIdent != kTagFileEntry)
    return pe::ERROR_FILE_CORRUPT;
  if (node->fe.icbTag.strategyType != 4) return pe::ERROR_FILE_CORRUPT;
  if (Err e = LoadExtents(node.get())) return e;
  if (at.partitionReferenceNum == metaRef_ && !pendingMeta_.count(at.logicalBlockNum))
    metaHash_[at.logicalBlockNum] =
        std::hash<std::string_view>{}(std::string_view(reinterpret_cast<char*>(buf.data()),
                                                       buf.size()));
  nodes_[key] = node;
  *out = std::move(node);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::LoadExtents(UdfNode* node) {
  FileEntry& fe = node->fe;
  std::vector<uint8_t> ads = std::move(fe.allocationDescriptors);
  fe.allocationDescriptors.clear();
  const uint16_t alloc = fe.icbTag.Allocation();
  if (alloc == kIcbEmbedded) {
    if (fe.informationLength > ads.size()) return pe::ERROR_FILE_CORRUPT;
    node->embedded = true;
    node->inlineData.assign(ads.begin(), ads.begin() + static_cast<ptrdiff_t>(fe.informationLength));
    return pe::ERROR_SUCCESS;
  }
  if (alloc != kIcbShortAds && alloc != kIcbLongAds) return pe::ERROR_FILE_CORRUPT;
  const size_t ad_size = alloc == kIcbShortAds ? kShortAdSize : kLongAdSize;
  uint64_t bytes = 0;
  bool partial_seen = false;
  uint32_t hops = 0;
  std::vector<uint8_t> aed(kSectorSize);
  while (true) {
    bool next = false;
    LbAddr next_at;
    for (size_t at = 0; at + ad_size <= ads.size(); at += ad_size) {
      uint32_t length;
      ExtentType type;
      LbAddr loc;
      if (alloc == kIcbShortAds) {
        const ShortAd a = DecodeShortAd(&ads[at]);
        length = a.length;
        type = a.type;
        loc = {a.position, node->location.partitionReferenceNum};
      } else {
        const LongAd a = DecodeLongAd(&ads[at]);
        length = a.length;
        type = a.type;
        loc = a.location;
      }
      if (length == 0) break;
      if (type == ExtentType::kNextExtent) {
        next = true;
        next_at = loc;
        break;
      }
      if (partial_seen) return pe::ERROR_FILE_CORRUPT;  // only the last extent may be partial
      if (length % kSectorSize) partial_seen = true;
      const uint32_t count = static_cast<uint32_t>((length + kSectorSize - 1) / kSectorSize);
      const uint64_t limit = loc.partitionReferenceNum == physRef_ ? partLength_
                             : loc.partitionReferenceNum == metaRef_ ? metaBlocks_
                                                                     : 0;
      const bool recorded = type == ExtentType::kRecordedAllocated;
      if (recorded && static_cast<uint64_t>(loc.logicalBlockNum) + count > limit)
        return pe::ERROR_FILE_CORRUPT;
      if (node->extents.size() >= (1u << 20)) return pe::ERROR_FILE_CORRUPT;
      UdfExtent e{recorded || type == ExtentType::kAllocatedNotRecorded ? loc.logicalBlockNum : 0,
                  count, loc.partitionReferenceNum, recorded};
      if (!recorded && type == ExtentType::kNotRecordedNotAllocated) e.partition = 0xFFFF;
      if (!node->extents.empty()) {
        UdfExtent& last = node->extents.back();
        if (last.recorded && e.recorded && last.partition == e.partition &&
            last.block + last.count == e.block &&
            static_cast<uint64_t>(last.count) + e.count <= kMaxExtentBlocks) {
          last.count += e.count;
          bytes += length;
          continue;
        }
      }
      node->extents.push_back(e);
      bytes += length;
    }
    if (!next) break;
    if (++hops > kMaxAllocationExtents) return pe::ERROR_FILE_CORRUPT;
    if (Err e = ReadBlocks(next_at.partitionReferenceNum, next_at.logicalBlockNum, 1, aed.data()))
      return e == pe::ERROR_CRC ? e : pe::ERROR_FILE_CORRUPT;
    if (!TagOk(aed, kTagAllocationExtent, next_at.logicalBlockNum)) return pe::ERROR_FILE_CORRUPT;
    const uint32_t len = Get32(&aed[20]);
    if (len > kSectorSize - 24) return pe::ERROR_FILE_CORRUPT;
    if (next_at.partitionReferenceNum != metaRef_) return pe::ERROR_FILE_CORRUPT;
    if (std::find(node->aedBlocks.begin(), node->aedBlocks.end(), next_at.logicalBlockNum) !=
        node->aedBlocks.end())
      return pe::ERROR_FILE_CORRUPT;
    node->aedBlocks.push_back(next_at.logicalBlockNum);
    ads.assign(aed.begin() + 24, aed.begin() + 24 + len);
  }
  if (bytes < fe.informationLength) return pe::ERROR_FILE_CORRUPT;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::LoadDir(UdfNode* node) {
  if (node->dir) return pe::ERROR_SUCCESS;
  if (!node->IsDirectory()) return pe::ERROR_DIRECTORY;
  const uint64_t size = node->Size();
  if (size > kMaxDirectoryBytes) return pe::ERROR_FILE_CORRUPT;
  std::vector<uint8_t> data(static_cast<size_t>(size));
  if (Err e = ReadNodeData(node, 0, data.size(), data.data()))
    return e == pe::ERROR_CRC ? e : pe::ERROR_FILE_CORRUPT;
  auto dir = std::make_unique<UdfDirContents>();
  bool have_parent = false;
  size_t pos = 0;
  while (pos + 38 <= data.size()) {
    const std::span<const uint8_t> rest = std::span<const uint8_t>(data).subspan(pos);
    if (CheckTag(rest, kTagFileIdentifier) != TagStatus::kOk) return pe::ERROR_FILE_CORRUPT;
    FileIdentifierDescriptor fid;
    size_t used = 0;
    if (!Decode(rest, &fid, &used) || used == 0) return pe::ERROR_FILE_CORRUPT;
    pos += used;
    if (fid.fileCharacteristics & kFidDeleted) continue;
    if (fid.fileCharacteristics & kFidParent) {
      node->parent = fid.icb.location;
      have_parent = true;
      continue;
    }
    UdfDirEntry e;
    if (!DecodeDChars(fid.fileIdentifier, &e.name) || e.name.empty())
      return pe::ERROR_FILE_CORRUPT;
    e.characteristics = fid.fileCharacteristics;
    e.icb = fid.icb;
    e.implementationUse = std::move(fid.implementationUse);
    const std::u16string key = platform::UpCase(e.name);
    if (dir->index.count(key)) continue;  // a second entry of the same name stays hidden
    dir->index.emplace(key, dir->entries.size());
    dir->entries.push_back(std::move(e));
    ++dir->live;
  }
  if (!have_parent) node->parent = node->location;
  // Remember what the folder's blocks hold, so that write-back skips unchanged ones.
  if (!node->embedded) {
    uint64_t at = 0;
    std::vector<uint8_t> block(kSectorSize);
    for (const auto& e : node->extents) {
      for (uint32_t i = 0; i < e.count; ++i, at += kSectorSize) {
        if (e.partition != metaRef_ || !e.recorded || pendingMeta_.count(e.block + i)) continue;
        std::fill(block.begin(), block.end(), 0);
        if (at < data.size())
          std::memcpy(block.data(), data.data() + at,
                      std::min<size_t>(kSectorSize, data.size() - static_cast<size_t>(at)));
        metaHash_[e.block + i] = std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<char*>(block.data()), block.size()));
      }
    }
  }
  node->dir = std::move(dir);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Root(NodePtr* out) {
  if (rootIcb_.location.partitionReferenceNum != metaRef_ &&
      rootIcb_.location.partitionReferenceNum != physRef_)
    return pe::ERROR_FILE_CORRUPT;
  if (Err e = LoadNode(rootIcb_.location, out)) return e;
  if (!(*out)->IsDirectory()) return pe::ERROR_FILE_CORRUPT;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WalkFolder(const std::vector<std::u16string>& parts, size_t count,
                                     NodePtr* out) {
  NodePtr cur;
  if (Err e = Root(&cur)) return e;
  for (size_t i = 0; i < count; ++i) {
    if (Err e = LoadDir(cur.get())) return e;
    UdfDirEntry* entry = cur->dir->Find(parts[i]);
    if (!entry || !(entry->characteristics & kFidDirectory)) return pe::ERROR_PATH_NOT_FOUND;
    NodePtr next;
    if (Err e = LoadNode(entry->icb.location, &next)) return e;
    if (!next->IsDirectory()) return pe::ERROR_FILE_CORRUPT;
    cur = std::move(next);
  }
  *out = std::move(cur);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::ResolveParent(std::u16string_view path, NodePtr* parent,
                                        std::u16string* leaf) {
  const std::vector<std::u16string> parts = SplitVolumePath(path);
  leaf->clear();
  if (parts.empty()) return WalkFolder(parts, 0, parent);
  *leaf = parts.back();
  if (Err e = WalkFolder(parts, parts.size() - 1, parent)) return e;
  return LoadDir(parent->get());
}

void UdfFileSystem::FillInfo(const UdfNode& node, uint8_t characteristics,
                             UdfFileInfo* info) const {
  uint32_t attr = 0;
  if (node.IsDirectory()) attr |= kAttrDirectory;
  if (characteristics & kFidHidden) attr |= kAttrHidden;
  if (!(node.fe.permissions & kOwnerWrite)) attr |= kAttrReadOnly;
  if (node.fe.icbTag.flags & kIcbArchive) attr |= kAttrArchive;
  if (node.fe.icbTag.flags & kIcbSystem) attr |= kAttrSystem;
  info->attributes = attr ? attr : kAttrNormal;
  info->lastAccessTime = FileTimeFromTimestamp(node.fe.accessTime);
  info->lastWriteTime = FileTimeFromTimestamp(node.fe.modificationTime);
  info->changeTime = FileTimeFromTimestamp(node.fe.attributeTime);
  info->creationTime = node.fe.extended ? FileTimeFromTimestamp(node.fe.creationTime)
                                        : info->lastWriteTime;
  info->size = node.IsDirectory() ? 0 : node.Size();
  info->uniqueId = node.fe.uniqueId;
}

Win32Error UdfFileSystem::InfoOf(const UdfDirEntry& entry, UdfFileInfo* info) {
  NodePtr node;
  if (Err e = LoadNode(entry.icb.location, &node)) return e;
  info->name = entry.name;
  FillInfo(*node, entry.characteristics, info);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Usable() const {
  return mounted_ ? pe::ERROR_SUCCESS : pe::ERROR_NOT_READY;
}

Win32Error UdfFileSystem::Writable() const {
  if (!mounted_) return pe::ERROR_NOT_READY;
  return readOnly_ ? pe::ERROR_WRITE_PROTECT : pe::ERROR_SUCCESS;
}

// ---- volume ----

Win32Error UdfFileSystem::GetVolumeInformation(UdfVolumeInfo* info) {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  info->fileSystemName = "UDF";
  std::string label = lvd_.logicalVolumeIdentifier;
  if (label.empty()) label = pvd_.volumeIdentifier;
  info->label = platform::Utf8ToUtf16(label);
  uint32_t h = 2166136261u;
  for (char c : pvd_.volumeSetIdentifier) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
  info->serialNumber = h;
  info->readOnly = readOnly_;
  info->integrityOpen = integrityOpenAtMount_;
  info->recordable = recordable_;
  info->udfRevision = revision_;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::GetFreeSpace(uint64_t* free_bytes, uint64_t* total_bytes) {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  uint64_t free_blocks = 0;
  if (readOnly_) {
    // Without the bitmaps in memory, the count recorded at the last write-back.
    const uint32_t recorded =
        physRef_ < lvid_.freeSpaceTable.size() ? lvid_.freeSpaceTable[physRef_] : 0xFFFFFFFF;
    free_blocks = recorded == 0xFFFFFFFF ? 0 : std::min(recorded, partLength_);
  } else {
    if (recordable_ && metaNwa_ == 0) {
      if (Err e = EnsureMetaUsage()) return e;
    }
    free_blocks = FreeDataBlocks();
  }
  if (free_bytes) *free_bytes = free_blocks * kSectorSize;
  if (total_bytes) *total_bytes = static_cast<uint64_t>(partLength_) * kSectorSize;
  return pe::ERROR_SUCCESS;
}

bool UdfFileSystem::IsReadOnly() {
  std::lock_guard lk(mu_);
  return readOnly_;
}

Win32Error UdfFileSystem::Flush() {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  return FlushLocked();
}

Win32Error UdfFileSystem::Dismount() {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  const Err e = FlushLocked();
  mounted_ = false;
  if (e) KLOG_ERROR("udf: dismount: writing the volume back failed: %u", e);
  else KLOG_INFO("udf: volume dismounted");
  return e;
}

Win32Error UdfFileSystem::Lock() {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  if (lockDepth_ == 0 && openFiles_ > 0) return pe::ERROR_ACCESS_DENIED;
  ++lockDepth_;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Unlock() {
  std::lock_guard lk(mu_);
  if (lockDepth_ == 0) return kErrorNotLocked;
  --lockDepth_;
  return pe::ERROR_SUCCESS;
}

// ---- names ----

bool UdfFileSystem::Exists(std::u16string_view path) {
  bool found = false;
  Find(path, [&](const UdfFileInfo&) {
    found = true;
    return false;
  });
  return found;
}

Win32Error UdfFileSystem::GetInfo(std::u16string_view path, UdfFileInfo* info) {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  if (leaf.empty()) {
    info->name.clear();
    FillInfo(*parent, 0, info);
    return pe::ERROR_SUCCESS;
  }
  const UdfDirEntry* entry = parent->dir->Find(leaf);
  if (!entry) return pe::ERROR_FILE_NOT_FOUND;
  return InfoOf(*entry, info);
}

Win32Error UdfFileSystem::Find(std::u16string_view path,
                               const std::function<bool(const UdfFileInfo&)>& visit) {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  NodePtr parent;
  std::u16string pattern;
  if (Err e = ResolveParent(path, &parent, &pattern)) return e;
  if (pattern.empty()) return pe::ERROR_FILE_NOT_FOUND;
  UdfFileInfo info;
  if (!platform::HasWildcards(pattern)) {
    const UdfDirEntry* entry = parent->dir->Find(pattern);
    if (!entry) return pe::ERROR_FILE_NOT_FOUND;
    if (Err e = InfoOf(*entry, &info)) return e;
    visit(info);
    return pe::ERROR_SUCCESS;
  }
  bool any = false;
  // Entries may be added by the visitor's own calls; walk by index.
  for (size_t i = 0; i < parent->dir->entries.size(); ++i) {
    const UdfDirEntry entry = parent->dir->entries[i];
    if (entry.deleted) continue;
    const bool match = pattern == u"*.*" || platform::WildcardMatch(pattern, entry.name);
    if (!match) continue;
    if (Err e = InfoOf(entry, &info)) return e;
    any = true;
    if (!visit(info)) break;
  }
  return any ? pe::ERROR_SUCCESS : pe::ERROR_FILE_NOT_FOUND;
}

Win32Error UdfFileSystem::Enumerate(std::u16string_view folder, std::vector<UdfFileInfo>* out) {
  std::u16string pattern(folder);
  if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u'/') pattern += u'\\';
  pattern += u'*';
  out->clear();
  const Err e = Find(pattern, [&](const UdfFileInfo& info) {
    out->push_back(info);
    return true;
  });
  return e == pe::ERROR_FILE_NOT_FOUND ? pe::ERROR_SUCCESS : e;
}

uint64_t UdfFileSystem::NextUniqueId() {
  uint64_t id = lvid_.uniqueId;
  if ((id & 0xFFFFFFFFull) < 16) id = (id & ~0xFFFFFFFFull) | 16;
  lvid_.uniqueId = id + 1;
  return id;
}

void UdfFileSystem::Touch(UdfNode* node, bool modified) {
  const Timestamp now = TimestampFromFileTime(clock_->Now());
  if (modified) node->fe.modificationTime = now;
  node->fe.attributeTime = now;
  node->dirty = true;
}

Win32Error UdfFileSystem::NewNode(bool directory, const LbAddr& parent, NodePtr* out) {
  uint32_t block = 0;
  if (Err e = AllocMeta(1, &block)) return e;
  auto node = std::make_shared<UdfNode>();
  node->location = {block, metaRef_};
  FileEntry& fe = node->fe;
  fe.extended = true;
  fe.icbTag.strategyType = 4;
  fe.icbTag.maximumNumberOfEntries = 1;
  fe.icbTag.fileType = directory ? kFileTypeDirectory : kFileTypeRegular;
  fe.icbTag.flags = directory ? static_cast<uint16_t>(kIcbEmbedded)
                              : static_cast<uint16_t>(kIcbLongAds | kIcbArchive);
  fe.uid = fe.gid = 0xFFFFFFFF;
  fe.permissions = directory ? 0x3DEF : 0x39CE;
  fe.fileLinkCount = 1;
  const Timestamp now = TimestampFromFileTime(clock_->Now());
  fe.accessTime = fe.modificationTime = fe.creationTime = fe.attributeTime = now;
  fe.checkpoint = 1;
  fe.implementationIdentifier =
      MakeImplementationId(kFsImplementationId, kFsOsClass, kFsOsIdentifier);
  fe.uniqueId = NextUniqueId();
  node->embedded = directory;
  node->dirty = true;
  if (directory) {
    node->dir = std::make_unique<UdfDirContents>();
    node->parent = parent;
    node->dirDirty = true;
  }
  nodes_[NodeKey(node->location)] = node;
  *out = std::move(node);
  return pe::ERROR_SUCCESS;
}

void UdfFileSystem::AddEntry(UdfNode* parent, const std::u16string& name, const NodePtr& child) {
  UdfDirEntry e;
  e.name = name;
  e.characteristics = child->IsDirectory() ? kFidDirectory : 0;
  e.icb.length = kSectorSize;
  e.icb.location = child->location;
  // The low 32 bits of the unique ID go into the identifier's ICB (UDF 2.3.4.3).
  Put32(&e.icb.implementationUse[2], static_cast<uint32_t>(child->fe.uniqueId));
  parent->dir->index[platform::UpCase(name)] = parent->dir->entries.size();
  parent->dir->entries.push_back(std::move(e));
  ++parent->dir->live;
  parent->dirDirty = true;
  Touch(parent, true);
}

Win32Error UdfFileSystem::CreateFolder(std::u16string_view path) {
  std::lock_guard lk(mu_);
  if (Err e = Writable()) return e;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  if (leaf.empty()) return pe::ERROR_ALREADY_EXISTS;
  if (parent->dir->Find(leaf)) return pe::ERROR_ALREADY_EXISTS;
  if (Err e = CheckName(leaf)) return e;
  if (Err e = BeginChange()) return e;
  NodePtr child;
  if (Err e = NewNode(true, parent->location, &child)) return e;
  AddEntry(parent.get(), leaf, child);
  ++parent->fe.fileLinkCount;
  ++dirCount_;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Delete(std::u16string_view path) {
  std::lock_guard lk(mu_);
  if (Err e = Writable()) return e;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  if (leaf.empty()) return pe::ERROR_ACCESS_DENIED;
  UdfDirEntry* entry = parent->dir->Find(leaf);
  if (!entry) return pe::ERROR_FILE_NOT_FOUND;
  if (entry->characteristics & kFidDirectory) return pe::ERROR_ACCESS_DENIED;
  NodePtr node;
  const Err load = LoadNode(entry->icb.location, &node);
  if (load && load != pe::ERROR_FILE_CORRUPT) return load;
  if (node && node->openCount > 0) return pe::ERROR_SHARING_VIOLATION;
  if (node && !(node->fe.permissions & kOwnerWrite)) return pe::ERROR_ACCESS_DENIED;
  if (Err e = BeginChange()) return e;
  if (node) {
    // A damaged entry is only unlinked; its blocks stay allocated.
    for (const auto& x : node->extents) {
      if (!x.recorded && x.partition == 0xFFFF) continue;
      if (x.partition == physRef_) FreeData(x.block, x.count);
      else if (x.partition == metaRef_) FreeMeta(x.block, x.count);
    }
    for (uint32_t b : node->aedBlocks) FreeMeta(b, 1);
    if (node->location.partitionReferenceNum == metaRef_) FreeMeta(node->location.logicalBlockNum, 1);
    node->deleted = true;
    nodes_.erase(NodeKey(node->location));
  }
  parent->dir->index.erase(platform::UpCase(entry->name));
  entry->deleted = true;
  --parent->dir->live;
  parent->dirDirty = true;
  Touch(parent.get(), true);
  if (fileCount_ > 0) --fileCount_;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::RemoveFolder(std::u16string_view path) {
  std::lock_guard lk(mu_);
  if (Err e = Writable()) return e;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  if (leaf.empty()) return pe::ERROR_ACCESS_DENIED;
  UdfDirEntry* entry = parent->dir->Find(leaf);
  if (!entry) return pe::ERROR_FILE_NOT_FOUND;
  if (!(entry->characteristics & kFidDirectory)) return pe::ERROR_DIRECTORY;
  NodePtr node;
  if (Err e = LoadNode(entry->icb.location, &node)) return e;
  if (Err e = LoadDir(node.get())) return e;
  if (node->dir->live > 0) return pe::ERROR_DIR_NOT_EMPTY;
  if (Err e = BeginChange()) return e;
  for (const auto& x : node->extents)
    if (x.partition == metaRef_) FreeMeta(x.block, x.count);
  for (uint32_t b : node->aedBlocks) FreeMeta(b, 1);
  FreeMeta(node->location.logicalBlockNum, 1);
  node->deleted = true;
  nodes_.erase(NodeKey(node->location));
  parent->dir->index.erase(platform::UpCase(entry->name));
  entry->deleted = true;
  --parent->dir->live;
  parent->dirDirty = true;
  if (parent->fe.fileLinkCount > 1) --parent->fe.fileLinkCount;
  Touch(parent.get(), true);
  if (dirCount_ > 0) --dirCount_;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::SetAttributes(std::u16string_view path, uint32_t attributes) {
  std::lock_guard lk(mu_);
  if (Err e = Writable()) return e;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  NodePtr node;
  UdfDirEntry* entry = nullptr;
  if (leaf.empty()) {
    node = parent;
  } else {
    entry = parent->dir->Find(leaf);
    if (!entry) return pe::ERROR_FILE_NOT_FOUND;
    if (Err e = LoadNode(entry->icb.location, &node)) return e;
  }
  if (Err e = BeginChange()) return e;
  FileEntry& fe = node->fe;
  if (attributes & kAttrReadOnly) fe.permissions &= ~kWriteBits;
  else fe.permissions |= kWriteBits;
  fe.icbTag.flags = static_cast<uint16_t>(fe.icbTag.flags & ~(kIcbArchive | kIcbSystem));
  if (attributes & kAttrArchive) fe.icbTag.flags |= kIcbArchive;
  if (attributes & kAttrSystem) fe.icbTag.flags |= kIcbSystem;
  if (entry) {
    const uint8_t hidden = (attributes & kAttrHidden) ? kFidHidden : 0;
    if ((entry->characteristics & kFidHidden) != hidden) {
      entry->characteristics = static_cast<uint8_t>((entry->characteristics & ~kFidHidden) | hidden);
      parent->dirDirty = true;
      parent->dirty = true;
    }
  }
  Touch(node.get(), false);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Open(std::u16string_view path, UdfCreate disposition, bool for_writing,
                               std::unique_ptr<UdfFile>* out) {
  std::lock_guard lk(mu_);
  if (Err e = Usable()) return e;
  if (lockDepth_ > 0) return pe::ERROR_ACCESS_DENIED;
  if ((for_writing || disposition == UdfCreate::kCreateNew) && readOnly_)
    return pe::ERROR_WRITE_PROTECT;
  NodePtr parent;
  std::u16string leaf;
  if (Err e = ResolveParent(path, &parent, &leaf)) return e;
  if (leaf.empty()) return pe::ERROR_ACCESS_DENIED;
  NodePtr node;
  if (UdfDirEntry* entry = parent->dir->Find(leaf)) {
    if (disposition == UdfCreate::kCreateNew) return pe::ERROR_FILE_EXISTS;
    if (entry->characteristics & kFidDirectory) return pe::ERROR_ACCESS_DENIED;
    if (Err e = LoadNode(entry->icb.location, &node)) return e;
    if (node->IsDirectory()) return pe::ERROR_FILE_CORRUPT;
    if (for_writing && !(node->fe.permissions & kOwnerWrite)) return pe::ERROR_ACCESS_DENIED;
  } else {
    if (disposition == UdfCreate::kOpenExisting) return pe::ERROR_FILE_NOT_FOUND;
    if (Err e = CheckName(leaf)) return e;
    if (Err e = BeginChange()) return e;
    if (Err e = NewNode(false, parent->location, &node)) return e;
    AddEntry(parent.get(), leaf, node);
    ++fileCount_;
  }
  ++node->openCount;
  ++openFiles_;
  out->reset(new UdfFile(this, std::move(node), for_writing));
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
