// The metadata file of a volume whose recording was interrupted or repaired: its
// allocation descriptors may continue in a chain of allocation extent
// descriptors, and extents may be allocated but not recorded (their blocks are
// unmapped: entries there cannot be read until the disc is repaired).
//
// On write-back, descriptors beyond the room of an entry continue in a chain of
// allocation extent descriptors, one chain for the main and one for the mirror
// entry. The layout is fixed by the number of descriptors (the entry holds all
// it can but one, then a continuation; each chain sector the same), so a file
// that only grows changes nothing but the tail of its chain. The chain's
// sectors are written before the entries that name them: a recording cut short
// in between leaves the old entries, whose blocks still map as before.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/log.h"
#include "platform/udf/bytes.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/tag.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

namespace {
constexpr size_t kMaxChain = 1024;
constexpr size_t kAedHeader = 24;
constexpr size_t kPerAed = (kSectorSize - kAedHeader) / kShortAdSize;
// Recordable media: chain sectors are taken from one 64 KiB unit at a time.
constexpr uint32_t kChainUnit = 32;

// Descriptor slots in the entry (0 when it has none).
size_t EntrySlots(const FileEntry& fe) {
  const size_t header = fe.extended ? kExtendedFileEntryHeaderSize : kFileEntryHeaderSize;
  const size_t used = header + fe.extendedAttributes.size();
  return used >= kSectorSize ? 0 : (kSectorSize - used) / kShortAdSize;
}

// Chain sectors needed for `count` descriptors: 0 when they fit in the entry
// with their terminator, SIZE_MAX when the entry has no room for a continuation.
size_t ChainLength(const FileEntry& fe, size_t count) {
  const size_t slots = EntrySlots(fe);
  if (count + 1 <= slots) return 0;
  if (slots < 1) return SIZE_MAX;
  size_t left = count - (slots - 1), need = 0;
  while (left > 0) {
    ++need;
    left = left > kPerAed ? left - (kPerAed - 1) : 0;
  }
  return need;
}

ShortAd Continuation(uint32_t block) {
  return {static_cast<uint32_t>(kSectorSize), ExtentType::kNextExtent, block};
}
}  // namespace

bool UdfFileSystem::LoadMetadataChain(uint32_t location, uint8_t type, FileEntry* fe,
                                      std::vector<UdfExtent>* extents,
                                      std::vector<uint32_t>* aeds, bool* broken) {
  std::vector<uint8_t> buf(kSectorSize);
  *broken = false;
  extents->clear();
  aeds->clear();
  if (location >= partLength_ || ReadPhys(partStart_ + location, 1, buf.data())) return false;
  if (CheckTag(buf, 0, true, location) != TagStatus::kOk || !Decode(buf, fe)) return false;
  if (fe->tag.tagIdent != kTagExtendedFileEntry && fe->tag.tagIdent != kTagFileEntry) return false;
  if (fe->icbTag.fileType != type || fe->icbTag.Allocation() != kIcbShortAds) return false;

  std::vector<uint8_t> ads = fe->allocationDescriptors;
  std::set<uint32_t> seen{location};
  uint64_t blocks = 0;
  for (;;) {
    uint32_t next = 0xFFFFFFFF;
    for (size_t at = 0; at + kShortAdSize <= ads.size(); at += kShortAdSize) {
      const ShortAd a = DecodeShortAd(ads.data() + at);
      if (a.length == 0) break;
      if (a.type == ExtentType::kNextExtent) {
        next = a.position;
        break;
      }
      if (a.length % kSectorSize) return false;
      const uint32_t count = a.length / kSectorSize;
      const bool recorded = a.type == ExtentType::kRecordedAllocated;
      if (recorded && static_cast<uint64_t>(a.position) + count > partLength_) return false;
      extents->push_back({a.position, count, physRef_, recorded});
      blocks += count;
    }
    if (next == 0xFFFFFFFF) break;
    // A chain that loops, runs on or reaches a damaged sector ends there.
    if (aeds->size() >= kMaxChain || !seen.insert(next).second || next >= partLength_ ||
        ReadPhys(partStart_ + next, 1, buf.data()) ||
        CheckTag(buf, kTagAllocationExtent, true, next) != TagStatus::kOk ||
        Get32(buf.data() + 20) > kSectorSize - kAedHeader) {
      *broken = true;
      break;
    }
    aeds->push_back(next);
    ads.assign(buf.begin() + kAedHeader, buf.begin() + kAedHeader + Get32(buf.data() + 20));
  }
  const uint64_t wanted = (fe->informationLength + kSectorSize - 1) / kSectorSize;
  if (*broken && blocks < wanted) {
    // The blocks the lost descriptors described stay unmapped.
    extents->push_back({0, static_cast<uint32_t>(wanted - blocks), physRef_, false});
    blocks = wanted;
  }
  return !extents->empty() && blocks >= wanted && blocks < (1u << 30);
}

void UdfFileSystem::MetadataChainProblems(bool main_ok, bool main_broken, bool mirror_broken,
                                          const std::vector<UdfExtent>& main_ext,
                                          const std::vector<UdfExtent>& mirror_ext) {
  metaProblems_.clear();
  if (!main_ok) metaProblems_.push_back("metadata file entry is damaged; its mirror is used");
  if (!mirrorUsable_) metaProblems_.push_back("metadata mirror entry is damaged");
  if (main_broken) metaProblems_.push_back("metadata file's allocation chain is broken");
  if (mirror_broken) metaProblems_.push_back("metadata mirror's allocation chain is broken");
  if (main_ok && mirrorUsable_ && main_ext != mirror_ext)
    metaProblems_.push_back("metadata file and its mirror describe different extents");
  for (size_t i = 0; i < metaExtents_.size(); ++i) {
    const UdfExtent& x = metaExtents_[i];
    if (x.recorded && i > 0 && metaExtents_[i - 1].recorded &&
             metaExtents_[i - 1].block + metaExtents_[i - 1].count == x.block)
      metaProblems_.push_back("metadata file extents " + std::to_string(i - 1) + " and " +
                              std::to_string(i) + " continue each other");
  }
}

std::vector<ShortAd> UdfFileSystem::MetadataAds() const {
  std::vector<ShortAd> ads;
  for (const auto& e : metaExtents_)
    ads.push_back({static_cast<uint32_t>(e.count * kSectorSize),
                   e.recorded ? ExtentType::kRecordedAllocated : ExtentType::kAllocatedNotRecorded,
                   e.block});
  return ads;
}

UdfFileSystem::Err UdfFileSystem::AllocChainBlock(uint32_t* block) {
  if (recordable_) {
    if (chainSpare_.empty()) {
      // A unit of its own at the metadata track's end, behind every extent.
      if (uint64_t{metaReserved_} + kChainUnit > metaTrackEnd_) return platform::ERROR_DISK_FULL;
      for (uint32_t i = 0; i < kChainUnit; ++i) chainSpare_.push_back(metaReserved_ + i);
      metaReserved_ += kChainUnit;
    }
    *block = chainSpare_.front();
    chainSpare_.erase(chainSpare_.begin());
    return platform::ERROR_SUCCESS;
  }
  uint32_t start = 0, got = 0;
  if (!havePhysBitmap_ || !physBitmap_.FindRun(metaZoneStart_, 1, 1, 1, &start, &got))
    return platform::ERROR_DISK_FULL;
  physBitmap_.MarkUsed(start, 1);
  *block = start;
  return platform::ERROR_SUCCESS;
}

UdfFileSystem::Err UdfFileSystem::ReserveMetadataChains() {
  const size_t count = metaExtents_.size();
  // A chain block read from the disc is kept only where nothing else lies.
  std::set<uint32_t> taken{metaMap_.metadataFileLocation, metaMap_.metadataMirrorFileLocation,
                           metaMap_.metadataBitmapFileLocation};
  auto inside_extent = [&](uint32_t b) {
    return std::any_of(metaExtents_.begin(), metaExtents_.end(), [&](const UdfExtent& x) {
      return b >= x.block && b - x.block < x.count;
    });
  };
  const bool have_mirror = metaMap_.metadataMirrorFileLocation < partLength_;
  for (int k = 0; k < 2; ++k) {
    const FileEntry& fe = k == 0 ? metaFe_ : mirrorFe_;
    std::vector<uint32_t>& chain = k == 0 ? metaAedBlocks_ : mirrorAedBlocks_;
    const size_t need = k == 1 && !have_mirror ? 0 : ChainLength(fe, count);
    if (need == SIZE_MAX) {
      KLOG_ERROR("udf: the metadata file's %zu descriptors find no room in its entry", count);
      return platform::ERROR_DISK_FULL;
    }
    std::vector<uint32_t> kept;
    for (uint32_t b : chain) {
      if (inside_extent(b) || !taken.insert(b).second) continue;
      if (kept.size() < need) kept.push_back(b);
      else FreeData(b, 1);  // no longer needed (rewritable media reuse it)
    }
    while (kept.size() < need) {
      uint32_t b = 0;
      if (Err e = AllocChainBlock(&b)) {
        KLOG_ERROR("udf: no room for the metadata file's allocation extent descriptors");
        chain = std::move(kept);
        return e;
      }
      taken.insert(b);
      kept.push_back(b);
    }
    chain = std::move(kept);
  }
  return platform::ERROR_SUCCESS;
}

UdfFileSystem::Err UdfFileSystem::LayOutMetadataChain(const std::vector<ShortAd>& ads,
                                                      FileEntry* fe,
                                                      const std::vector<uint32_t>& chain) {
  // The chain was reserved for this many descriptors; anything else is a fault.
  if (ChainLength(*fe, ads.size()) != chain.size()) return platform::ERROR_LOG_CORRUPTION_DETECTED;
  if (chain.empty()) {
    fe->allocationDescriptors = EncodeShortAds(ads, true);
    return platform::ERROR_SUCCESS;
  }
  const size_t in_entry = EntrySlots(*fe) - 1;
  std::vector<ShortAd> head(ads.begin(), ads.begin() + static_cast<ptrdiff_t>(in_entry));
  head.push_back(Continuation(chain[0]));
  fe->allocationDescriptors = EncodeShortAds(head, false);
  size_t at = in_entry;
  uint32_t prev = fe->tag.tagLocation;
  for (size_t i = 0; i < chain.size(); ++i) {
    const bool last = i + 1 == chain.size();
    std::vector<uint8_t> sector(kSectorSize, 0);
    size_t len = 0;
    const size_t n = last ? ads.size() - at : kPerAed - 1;
    for (size_t k = 0; k < n; ++k, ++at, len += kShortAdSize)
      EncodeShortAd(&sector[kAedHeader + len], ads[at]);
    if (!last) {
      EncodeShortAd(&sector[kAedHeader + len], Continuation(chain[i + 1]));
      len += kShortAdSize;
    }
    Put32(&sector[16], prev);
    Put32(&sector[20], static_cast<uint32_t>(len));
    FinishTag(sector, kTagAllocationExtent, chain[i], static_cast<uint16_t>(8 + len), serial_);
    PutPhys(partStart_ + chain[i], std::move(sector));
    prev = chain[i];
  }
  return platform::ERROR_SUCCESS;
}

}  // namespace kelva::udf
