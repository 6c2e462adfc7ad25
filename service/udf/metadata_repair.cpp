#include "service/udf/metadata_repair.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/text.h"
#include "platform/udf/bytes.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/tag.h"
#include "platform/udf/timestamp.h"

namespace kelva::udf {

namespace {

constexpr uint32_t kPieceBlocks = 32;     // metadata is searched in 32-block pieces
constexpr uint32_t kFsdWindow = 8192;     // sectors per window of the FSD/root search
constexpr uint64_t kMaxFolderBytes = 64ull << 20;
constexpr size_t kFileTypeOffset = kTagSize + 11;
constexpr size_t kIcbFlagsOffset = kTagSize + 18;
constexpr size_t kInformationLengthOffset = 56;
constexpr size_t kFsdRootIcbOffset = 400;
constexpr size_t kFidHeaderSize = 38;

uint32_t Blocks(const ShortAd& a) { return (a.length + kSectorSize - 1) / kSectorSize; }
bool Recorded(const ShortAd& a) { return a.type == ExtentType::kRecordedAllocated; }

// The continuation an entry or allocation extent descriptor points to.
uint32_t NextOf(const std::vector<uint8_t>& sector, bool entry) {
  size_t offset = 24, span = 0;
  if (entry) {
    if (!EntryDescriptorArea(sector.data(), &offset, &span)) return kNoAddress;
  } else {
    span = std::min<size_t>(Get32(sector.data() + 20), kSectorSize - 24);
  }
  uint32_t next = kNoAddress;
  SectorDescriptors(sector, offset, span, &next);
  return next;
}

// Appends b to a when it continues a on the disc (both of one kind) and the sum
// stays a valid descriptor length.
bool Continues(const ShortAd& a, const ShortAd& b) {
  return a.type == b.type && a.length % kSectorSize == 0 &&
         uint64_t{a.position} + a.length / kSectorSize == b.position &&
         uint64_t{a.length} + b.length <= kMaxExtentBytes;
}

}  // namespace

int RepairVolume(IUdfDrive& drive, const RepairSink& sink, uint32_t* sectors_written) {
  MetadataRepair r(drive, sink);
  int result = 0;
  if (r.Open()) {
    result = r.ResolveMetadataMirror();
    if (r.LoadMap()) {
      if (r.map().SyncMirror(r.disc())) result = 1;
      result = (r.RecoverFsdAndRoot() || result || r.repaired()) ? 1 : 0;
    }
  }
  if (sectors_written != nullptr) *sectors_written = r.disc().sectorsWritten();
  return result;
}

int RepairFile(IUdfDrive& drive, std::u16string_view path, bool creating, const RepairSink& sink,
               uint32_t* sectors_written) {
  MetadataRepair r(drive, sink);
  int result = 0;
  if (r.Open() && r.LoadMap()) {
    const int merged = r.map().SyncMirror(r.disc()) | r.MergeOverlappedEntries();
    result = r.RepairPath(path, creating) || merged ? 1 : 0;
  }
  if (sectors_written != nullptr) *sectors_written = r.disc().sectorsWritten();
  return result;
}

bool MetadataRepair::Open() {
  return disc_.Open() && disc_.volume().udfRevision == kRepairableRevision;
}

// ---- main and mirror ----------------------------------------------------------

int MetadataRepair::ResolveMetadataMirror() {
  const VolumeStructure& vs = disc_.volume();
  const uint32_t main_at = vs.metadataFileLocation, mirror_at = vs.metadataMirrorFileLocation;
  if (main_at >= vs.partitionLength || mirror_at >= vs.partitionLength || main_at == mirror_at)
    return 0;
  std::vector<uint8_t> main(kSectorSize, 0), mirror(kSectorSize, 0);
  if (!disc_.Read(vs.partitionStart + main_at, 1, main.data()) ||
      !disc_.Read(vs.partitionStart + mirror_at, 1, mirror.data()))
    return 0;
  bool main_ok = ValidCopy(main, kTagExtendedFileEntry, main_at) &&
                 main[kFileTypeOffset] == kFileTypeMetadata;
  bool mirror_ok = ValidCopy(mirror, kTagExtendedFileEntry, mirror_at) &&
                   mirror[kFileTypeOffset] == kFileTypeMetadataMirror;
  bool entry_level = true;
  uint32_t main_block = main_at, mirror_block = mirror_at;
  std::set<uint32_t> seen{main_at, mirror_at};
  while (main_ok && mirror_ok) {
    // Both copies are good at this level: compare the next one of each chain.
    const uint32_t a = NextOf(main, entry_level), b = NextOf(mirror, entry_level);
    if (a == kNoAddress || b == kNoAddress || a == b || a >= vs.partitionLength ||
        b >= vs.partitionLength || seen.size() >= 2 * kMaxChainSectors ||
        !seen.insert(a).second || !seen.insert(b).second)
      return 0;
    if (!disc_.Read(vs.partitionStart + a, 1, main.data()) ||
        !disc_.Read(vs.partitionStart + b, 1, mirror.data()))
      return 0;
    entry_level = false;
    main_block = a;
    mirror_block = b;
    main_ok = ValidCopy(main, kTagAllocationExtent, a);
    mirror_ok = ValidCopy(mirror, kTagAllocationExtent, b);
  }
  if (main_ok == mirror_ok) return 0;  // neither copy is good
  std::vector<uint8_t> copy = main_ok ? main : mirror;
  const uint32_t to = main_ok ? mirror_block : main_block;
  const DescriptorTag tag = DecodeTag(copy.data());
  if (entry_level) copy[kFileTypeOffset] = main_ok ? kFileTypeMetadataMirror : kFileTypeMetadata;
  FinishTag(copy, tag.tagIdent, to, tag.descCRCLength, tag.tagSerialNum);
  if (!disc_.Overwrite(vs.partitionStart + to, copy.data())) return 0;
  disc_.Log("Recovered Metadata File %s\n", main_ok ? "Main -> Mirror" : "Mirror -> Main");
  return 1;
}

// ---- mapping and search -------------------------------------------------------

bool MetadataRepair::MapResolved(uint32_t n, uint32_t* block) {
  const uint32_t length = disc_.volume().partitionLength;
  if (map_.Map(n, block)) return *block < length;
  if (searching_ || n >= map_.sizeInBlocks()) return false;
  disc_.Log("Resolve Metadata Error at 0x%08X\n", n);
  searching_ = true;
  const bool found = SearchMetadataBlock(n);
  searching_ = false;
  if (!found) return false;
  repaired_ = true;
  return map_.Map(n, block) && *block < length;
}

bool MetadataRepair::SearchMetadataBlock(uint32_t n) {
  const VolumeStructure& vs = disc_.volume();
  const uint32_t ps = vs.partitionStart;
  std::vector<ShortAd>& ads = map_.ads();

  // 1. The not-recorded extent covering n and its recorded neighbours.
  size_t index = ads.size();
  uint32_t b0 = 0;
  for (size_t i = 0, at = 0; i < ads.size(); at += Blocks(ads[i]), ++i) {
    if (n < at + Blocks(ads[i])) {
      index = i;
      b0 = static_cast<uint32_t>(at);
      break;
    }
  }
  if (index == ads.size() || Recorded(ads[index])) return false;
  const uint32_t length = Blocks(ads[index]);
  const ShortAd* before = nullptr;
  const ShortAd* after = nullptr;
  for (size_t i = 0; i < index; ++i)
    if (Recorded(ads[i])) before = &ads[i];
  for (size_t i = index + 1; i < ads.size() && after == nullptr; ++i)
    if (Recorded(ads[i])) after = &ads[i];

  // 2. The range of sectors to search.
  uint64_t start = before ? uint64_t{ps} + before->position + Blocks(*before) : ps;
  start = std::max<uint64_t>(start, disc_.tracks()[disc_.metadataTrack()].start);
  uint64_t end;
  if (after != nullptr) {
    end = uint64_t{ps} + after->position + (after->length % 65536 ? kPieceBlocks : 0);
  } else {
    end = disc_.WritableEnd(static_cast<uint32_t>(std::min<uint64_t>(start, kNoAddress - 1)));
  }
  end = std::min<uint64_t>(end, disc_.partitionEnd());
  disc_.Log("Search Block 0x%08X Length 0x%08X in range 0x%08X - 0x%08X\n", b0, length,
            static_cast<uint32_t>(start), static_cast<uint32_t>(end));
  if (end <= start) return false;

  // 3. Pieces cut at multiples of 32 metadata blocks, located by the file
  // entries found in them.
  struct Piece {
    uint32_t first, count;
    uint64_t location = 0;  // absolute sector, when found
    bool found = false;
  };
  std::vector<Piece> pieces;
  for (uint32_t at = b0; at < b0 + length;) {
    const uint32_t stop = std::min(b0 + length, (at / kPieceBlocks + 1) * kPieceBlocks);
    pieces.push_back({at, stop - at});
    at = stop;
  }
  // Sectors a found piece may not cover: the recorded extents of the metadata file.
  auto taken = [&](uint64_t from, uint64_t count) {
    for (const ShortAd& a : ads) {
      const uint64_t s = uint64_t{ps} + a.position;
      if (Recorded(a) && from < s + Blocks(a) && s < from + count) return true;
    }
    for (const Piece& p : pieces)
      if (p.found && from < p.location + p.count && p.location < from + count) return true;
    return false;
  };
  size_t left = pieces.size(), found = 0;
  std::vector<uint8_t> buf(static_cast<size_t>(kPieceBlocks) * kSectorSize);
  for (uint64_t at = start; at < end && left > 0; at += kPieceBlocks) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kPieceBlocks, end - at));
    if (!disc_.Read(static_cast<uint32_t>(at), count, buf.data())) continue;
    for (uint32_t j = 0; j < count && left > 0; ++j) {
      const std::span<const uint8_t> s(buf.data() + static_cast<size_t>(j) * kSectorSize,
                                       kSectorSize);
      if (Get16(s.data()) != kTagExtendedFileEntry || !TagChecksumValid(s) ||
          CheckTag(s, kTagExtendedFileEntry) != TagStatus::kOk ||
          s[kFileTypeOffset] >= kFileTypeMetadata)
        continue;
      const uint32_t tag_at = DecodeTag(s.data()).tagLocation;
      if (tag_at < b0 || tag_at >= b0 + length) continue;
      Piece& p = pieces[tag_at / kPieceBlocks - b0 / kPieceBlocks];
      if (p.found || at + j < tag_at - p.first) continue;
      const uint64_t location = at + j - (tag_at - p.first);
      if (location < start || location + p.count > end || taken(location, p.count)) continue;
      p.location = location;
      p.found = true;
      --left;
      ++found;
      disc_.Log("Found Block 0x%08X at 0x%08X\n", tag_at, static_cast<uint32_t>(at + j));
    }
  }
  if (found == 0) return false;

  // 4. Found pieces become recorded extents, the rest stays not recorded;
  // neighbours that continue each other become one descriptor.
  const ShortAd old = ads[index];
  std::vector<ShortAd> replacement;
  bool partial = false;
  uint64_t bytes_left = old.length;
  for (const Piece& p : pieces) {
    const uint32_t piece_bytes =
        static_cast<uint32_t>(std::min<uint64_t>(bytes_left, uint64_t{p.count} * kSectorSize));
    bytes_left -= piece_bytes;
    if (p.count % kPieceBlocks) partial = true;
    ShortAd a{piece_bytes, p.found ? ExtentType::kRecordedAllocated : old.type,
              p.found ? static_cast<uint32_t>(p.location - ps) : old.position + (p.first - b0)};
    if (!replacement.empty() && Continues(replacement.back(), a))
      replacement.back().length += a.length;
    else
      replacement.push_back(a);
  }
  ads.erase(ads.begin() + static_cast<ptrdiff_t>(index));
  ads.insert(ads.begin() + static_cast<ptrdiff_t>(index), replacement.begin(), replacement.end());

  // 5. Pieces that are not whole units may now meet their neighbours.
  if (partial) MergeNeighbours(true);
  if (!map_.Store(disc_)) {
    map_.Load(disc_);
    return false;
  }
  return true;
}

bool MetadataRepair::MergeNeighbours(bool log) {
  std::vector<ShortAd>& ads = map_.ads();
  std::vector<ShortAd> out;
  bool merged = false;
  for (const ShortAd& a : ads) {
    if (!out.empty() && Recorded(a) && Continues(out.back(), a)) {
      if (log)
        disc_.Log("Overlapped Metadata Entry [0x%08X-0x%08X] [0x%08X-0x%08X]\n",
                  PackExtentLength(out.back().length, out.back().type), out.back().position,
                  PackExtentLength(a.length, a.type), a.position);
      out.back().length += a.length;
      merged = true;
      continue;
    }
    out.push_back(a);
  }
  ads = std::move(out);
  return merged;
}

int MetadataRepair::MergeOverlappedEntries() {
  if (!MergeNeighbours(true)) return 0;
  if (!map_.Store(disc_)) {
    map_.Load(disc_);
    return 0;
  }
  return 1;
}

// ---- file set descriptor and root ---------------------------------------------

int MetadataRepair::RecoverFsdAndRoot() {
  const VolumeStructure& vs = disc_.volume();
  uint32_t fsd_block = 0, root_block = 0;
  if (!MapResolved(0, &fsd_block) || !MapResolved(1, &root_block)) return 0;
  std::vector<uint8_t> fsd(kSectorSize, 0), root(kSectorSize, 0);
  if (!disc_.Read(vs.partitionStart + fsd_block, 1, fsd.data()) ||
      !disc_.Read(vs.partitionStart + root_block, 1, root.data()))
    return 0;
  if (Get16(fsd.data()) != 0 && Get16(root.data()) != 0) return 0;

  disc_.Log("FSD and/or Root Directory Corrupted\n");
  const uint32_t lo = std::max(disc_.tracks()[disc_.metadataTrack()].start & ~31u,
                               vs.partitionStart);
  const uint32_t hi = static_cast<uint32_t>(
      std::min<uint64_t>(disc_.WritableEnd(lo) & ~31u, disc_.partitionEnd()));
  disc_.Log("Search FSD/ROOT in range 0x%08X - 0x%08X\n", lo, hi);

  auto is_fsd = [&](const uint8_t* s) {
    const std::vector<uint8_t> v(s, s + kSectorSize);
    return ValidCopy(v, kTagFileSet, 0) && DecodeTimestamp(s + 16) == vs.recordingTime;
  };
  auto is_root = [&](const uint8_t* s) {
    return ValidCopy(std::vector<uint8_t>(s, s + kSectorSize), kTagExtendedFileEntry, 1);
  };
  std::vector<uint8_t> window;
  uint64_t found = 0;
  bool have = false;
  for (uint32_t top = hi; top > lo && !have;) {
    const uint32_t from = top - std::min(kFsdWindow, top - lo);
    // One sector past the window, so that a pair across its top edge is seen.
    const uint32_t to = std::min<uint32_t>(top + 1, disc_.partitionEnd());
    window.assign(static_cast<size_t>(to - from) * kSectorSize, 0);
    for (uint32_t at = from; at < to; at += kPieceBlocks) {
      const uint32_t count = std::min(kPieceBlocks, to - at);
      if (!disc_.Read(at, count, window.data() + static_cast<size_t>(at - from) * kSectorSize))
        std::fill_n(window.data() + static_cast<size_t>(at - from) * kSectorSize,
                    static_cast<size_t>(count) * kSectorSize, 0);
    }
    for (uint32_t at = from; at + 1 < to && at < top; ++at) {
      const uint8_t* s = window.data() + static_cast<size_t>(at - from) * kSectorSize;
      if (Get16(s) == kTagFileSet && is_fsd(s) && is_root(s + kSectorSize)) {
        found = at;
        have = true;
      }
    }
    top = from;
  }
  if (!have) return 0;
  disc_.Log("Found FSD/ROOT at 0x%08X\n", static_cast<uint32_t>(found));
  std::vector<uint8_t> two(2 * kSectorSize);
  if (!disc_.Read(static_cast<uint32_t>(found), 2, two.data())) return 0;
  if (!disc_.Overwrite(vs.partitionStart + fsd_block, two.data()) ||
      !disc_.Overwrite(vs.partitionStart + root_block, two.data() + kSectorSize))
    return 0;
  return 1;
}

// ---- path ---------------------------------------------------------------------

bool MetadataRepair::MapIcb(const LbAddr& at, Located* out) {
  out->tagLocation = at.logicalBlockNum;
  if (at.partitionReferenceNum == 0) {
    out->block = at.logicalBlockNum;
    return out->block < disc_.volume().partitionLength;
  }
  return MapResolved(at.logicalBlockNum, &out->block);
}

int MetadataRepair::CheckEntry(const Located& at, uint8_t* type, std::vector<uint8_t>* sector) {
  const VolumeStructure& vs = disc_.volume();
  const uint32_t block = at.block;
  std::vector<uint8_t>& s = *sector;
  s.assign(kSectorSize, 0);
  if (!disc_.Read(vs.partitionStart + block, 1, s.data()) ||
      Get16(s.data()) != kTagExtendedFileEntry)
    return -1;
  const DescriptorTag tag = DecodeTag(s.data());
  // A sector recorded for another block is not this entry.
  if (tag.tagLocation != at.tagLocation) return -1;
  size_t offset = 0, span = 0;
  // Only an entry whose lengths fit its sector gets a new CRC: anything else is
  // not an entry that a checksum can make whole.
  if (!EntryDescriptorArea(s.data(), &offset, &span) ||
      size_t{tag.descCRCLength} + kTagSize > kSectorSize ||
      tag.descCRCLength != offset + span - kTagSize)
    return -1;
  *type = s[kFileTypeOffset];
  const uint16_t crc = Crc16(std::span(s).subspan(kTagSize, tag.descCRCLength));
  const uint32_t logged = tag.tagLocation;
  if (crc != tag.descCRC) {
    disc_.Log("Descriptor CRC 0x%04X Error at 0x%08X\n", tag.descCRC, logged);
    if (!RefreshTag(s) || !disc_.Overwrite(vs.partitionStart + block, s.data())) return -1;
    repaired_ = true;
    return 1;
  }
  if (s[4] != TagChecksum(s.data())) {
    disc_.Log("Check Sum 0x%02X Error at 0x%08X\n", s[4], logged);
    s[4] = TagChecksum(s.data());
    if (!disc_.Overwrite(vs.partitionStart + block, s.data())) return -1;
    repaired_ = true;
    return 1;
  }
  return 0;
}

bool MetadataRepair::FolderData(const std::vector<uint8_t>& entry, std::vector<uint8_t>* data) {
  const VolumeStructure& vs = disc_.volume();
  size_t offset = 0, span = 0;
  if (!EntryDescriptorArea(entry.data(), &offset, &span)) return false;
  const uint64_t size = Get64(entry.data() + kInformationLengthOffset);
  if (size > kMaxFolderBytes) return false;
  const uint16_t allocation = Get16(entry.data() + kIcbFlagsOffset) & 7;
  data->clear();
  if (allocation == kIcbEmbedded) {
    data->assign(entry.begin() + static_cast<ptrdiff_t>(offset),
                 entry.begin() + static_cast<ptrdiff_t>(offset + std::min<uint64_t>(span, size)));
    return true;
  }
  if (allocation != kIcbShortAds) return false;
  std::vector<uint8_t> sector = entry, buf(kSectorSize);
  std::set<uint32_t> seen;
  for (;;) {
    uint32_t next = kNoAddress;
    for (const ShortAd& a : SectorDescriptors(sector, offset, span, &next)) {
      for (uint32_t b = 0; b < Blocks(a) && data->size() < size; ++b) {
        uint32_t at = 0;
        if (!Recorded(a)) {
          std::fill(buf.begin(), buf.end(), 0);
        } else if (!MapResolved(a.position + b, &at) ||
                   !disc_.Read(vs.partitionStart + at, 1, buf.data())) {
          return false;
        }
        data->insert(data->end(), buf.begin(), buf.end());
      }
    }
    if (next == kNoAddress || data->size() >= size) break;
    uint32_t at = 0;
    if (seen.size() >= kMaxChainSectors || !seen.insert(next).second || !MapResolved(next, &at) ||
        !disc_.Read(vs.partitionStart + at, 1, sector.data()) ||
        !ValidCopy(sector, kTagAllocationExtent, next))
      return false;
    offset = 24;
    span = std::min<size_t>(Get32(sector.data() + 20), kSectorSize - 24);
  }
  data->resize(std::min<uint64_t>(data->size(), size));
  return true;
}

int MetadataRepair::RepairPath(std::u16string_view path, bool creating) {
  const VolumeStructure& vs = disc_.volume();
  // 1. The file set descriptor and the root folder's entry.
  Located fsd_at;
  if (!MapIcb(vs.fileSetLocation.location, &fsd_at)) return 0;
  std::vector<uint8_t> fsd(kSectorSize, 0);
  if (!disc_.Read(vs.partitionStart + fsd_at.block, 1, fsd.data()) ||
      !ValidCopy(fsd, kTagFileSet, fsd_at.tagLocation))
    return 0;
  Located current;
  if (!MapIcb(DecodeLongAd(fsd.data() + kFsdRootIcbOffset).location, &current)) return 0;

  std::vector<std::u16string> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t stop = path.find_first_of(u"\\/", at);
    if (stop == std::u16string_view::npos) stop = path.size();
    if (stop > at) parts.emplace_back(path.substr(at, stop - at));
    at = stop + 1;
  }

  std::vector<uint8_t> entry, data;
  uint8_t type = 0;
  for (const std::u16string& part : parts) {
    // 2.-3. The folder's entry, made whole, and its contents.
    if (CheckEntry(current, &type, &entry) < 0 || type != kFileTypeDirectory ||
        !FolderData(entry, &data))
      return 0;
    // 4. Its file identifiers.
    const std::u16string wanted = platform::UpCase(part);
    bool matched = false, stop = false;
    for (size_t at = 0; at + kFidHeaderSize <= data.size() && !matched && !stop;) {
      const uint8_t* f = data.data() + at;
      if (Get16(f) != kTagFileIdentifier || !TagChecksumValid(std::span(f, kTagSize))) break;
      const size_t iu = Get16(f + 36), fi = f[19];
      const size_t length = (kFidHeaderSize + iu + fi + 3) & ~size_t{3};
      if (at + length > data.size()) break;
      const uint8_t characteristics = f[18];
      const uint8_t* name = f + kFidHeaderSize + iu;
      at += length;
      if (fi == 0 || (characteristics & (kFidParent | kFidDeleted))) continue;
      std::u16string decoded;
      if (name[0] == 8) {
        for (size_t i = 1; i < fi; ++i) decoded.push_back(name[i]);
      } else if (name[0] == 16) {
        for (size_t i = 1; i + 1 < fi; i += 2)
          decoded.push_back(static_cast<char16_t>((name[i] << 8) | name[i + 1]));
      } else if (name[0] == 254 || name[0] == 255) {
        continue;
      } else {
        stop = true;
        continue;
      }
      if (platform::UpCase(decoded) != wanted) continue;
      if (!MapIcb(DecodeLongAd(f + 20).location, &current)) return 0;
      matched = true;
    }
    // 6. A missing component ends the walk.
    if (!matched) return creating && repaired_ ? 1 : 0;
  }
  // 5. The entry the path names; a folder's contents too, so that the blocks
  // listing it are mapped (found on the disc when they were not).
  if (CheckEntry(current, &type, &entry) < 0) return 0;
  if (type == kFileTypeDirectory) FolderData(entry, &data);
  return repaired_ ? 1 : 0;
}

}  // namespace kelva::udf
