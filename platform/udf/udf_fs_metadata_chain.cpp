// The metadata file of a volume whose recording was interrupted or repaired: its
// allocation descriptors may continue in a chain of allocation extent
// descriptors, and extents may be allocated but not recorded (their blocks are
// unmapped: entries there cannot be read until the disc is repaired).
#include <set>
#include <string>

#include "platform/udf/bytes.h"
#include "platform/udf/tag.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

namespace {
constexpr size_t kMaxChain = 1024;
constexpr size_t kAedHeader = 24;
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

}  // namespace kelva::udf
