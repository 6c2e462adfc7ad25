#include "service/udf/volume_layout.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/log.h"
#include "platform/udf/bytes.h"

namespace kelva::udf {

VolumeTime TakeVolumeTime(platform::FileTime utc) {
  VolumeTime t;
  t.utc = utc;
  t.biasMinutes = platform::TimeZoneBiasMinutes(utc);
  t.local = platform::FileTimeToLocalSystemTime(utc);
  return t;
}

std::string VolumeSetIdentifier(platform::FileTime utc) {
  const uint32_t seconds = static_cast<uint32_t>(utc / platform::kFileTimePerSecond);
  char text[32];
  std::snprintf(text, sizeof(text), "%08X UDF Volume Set", seconds - 943548480u);
  return text;
}

uint16_t RevisionForProfile(uint16_t profile) {
  switch (profile) {
    case kProfileBdrSequential:
      return kUdfRevision260;
    case kProfileBdRe:
      return kUdfRevision250;
    default:
      return 0;
  }
}

uint16_t CurrentProfileFromConfiguration(std::span<const uint8_t> reply) {
  if (reply.size() < 8) return 0;
  // The data length counts the bytes after itself.
  const size_t end = std::min<uint64_t>(reply.size(), 4ULL + GetBe32(reply.data()));
  size_t at = 8;
  while (at + 4 <= end) {
    const uint16_t feature = GetBe16(&reply[at]);
    const size_t length = reply[at + 3];
    const size_t data_end = std::min(end, at + 4 + length);
    if (feature == 0x0000) {
      for (size_t p = at + 4; p + 4 <= data_end; p += 4)
        if (reply[p + 2] & 1) return GetBe16(&reply[p]);
      return 0;
    }
    at += 4 + length;
  }
  return 0;
}

uint16_t DetectRevision(IUdfDrive& drive) {
  if (drive.TestUnitReady() == 0) drive.TestUnitReady();
  std::array<uint8_t, 512> reply{};
  const uint32_t status = drive.GetConfiguration(0x0000, reply);
  if (status != 0) {
    KLOG_ERROR("udf: GET CONFIGURATION failed, status 0x%08X", status);
    return 0;
  }
  const uint16_t profile = CurrentProfileFromConfiguration(reply);
  const uint16_t revision = RevisionForProfile(profile);
  if (revision == 0) KLOG_ERROR("udf: medium with profile 0x%04X is not formatted", profile);
  return revision;
}

bool SplitTrackAt(std::vector<TrackInfo>* tracks, uint32_t address,
                  std::vector<uint32_t>* new_starts) {
  auto it = std::find_if(tracks->begin(), tracks->end(), [&](const TrackInfo& t) {
    return address >= t.start && address - t.start < t.size;
  });
  if (it == tracks->end()) return false;
  if (address == it->start) return true;
  if (address < it->nextWritable && it->nextWritable != kNoAddress) return false;
  if (it->nextWritable == kNoAddress) return false;  // a full track cannot be split
  if (tracks->size() >= kMaxTracks) return false;
  const uint32_t end = it->start + it->size;
  TrackInfo added;
  added.start = address;
  added.size = end - address;
  added.nextWritable = address;
  added.freeBlocks = added.size;
  it->size = address - it->start;
  it->freeBlocks = it->freeBlocks > added.size ? it->freeBlocks - added.size : 0;
  if (it->nextWritable == address) it->nextWritable = kNoAddress;
  tracks->insert(it + 1, added);
  new_starts->push_back(address);
  return true;
}

bool ComputeRewritableLayout(uint32_t last, VolumeLayout* l) {
  // Below this the partition cannot hold the bitmap, the metadata area and its
  // mirror (and the arithmetic below would wrap).
  if (last < 2048) return false;
  l->last = last;
  l->volumeStart = 0;
  l->mainVds = 32;
  l->lvid = 64;
  l->reserveVds = last - 31;
  l->partitionStart = 288;
  l->partitionLength = last - 575;
  l->accessType = 4;
  const uint32_t c = ((l->partitionLength >> 3) + 2071) >> 11;
  l->spaceBitmapBlocks = c;
  l->metadataFile = c;
  l->metadataBitmapFile = c + 1;
  l->metadataDataStart = (c + 34) & ~31u;
  l->metadataSize = kBdReMetadataSize;
  l->metadataMirrorFile = l->metadataDataStart + kBdReMetadataSize;
  return l->metadataMirrorFile + kSectorsPerUnit <= l->partitionLength;
}

bool ComputeWriteOnceLayout(uint32_t last, const std::vector<TrackInfo>& tracks,
                            VolumeLayout* l) {
  if (tracks.size() != kMaxTracks || last < kDataTrackStart) return false;
  l->last = last;
  l->firstWritable = tracks[0].nextWritable;
  l->lastTrackNextWritable = tracks[3].nextWritable;
  uint32_t start = tracks[0].nextWritable;
  if (start >= 192 && start <= 287) start = 288;
  if (start > last) return false;
  l->volumeStart = start;
  l->mainVds = start + 32;
  l->lvid = start + 64;
  l->reserveVds = last - 31;
  l->partitionStart = start + 288;
  l->accessType = 0;
  const uint64_t end = tracks[3].freeBlocks >= 64 ? uint64_t{last} + 1 : tracks[3].start;
  if (end < uint64_t{start} + 576) return false;
  l->partitionLength = static_cast<uint32_t>(end - start - 576);
  if (tracks[1].nextWritable == kNoAddress || tracks[1].nextWritable < l->partitionStart)
    return false;
  l->metadataFile = tracks[1].nextWritable - l->partitionStart;
  l->metadataDataStart = l->metadataFile + 32;
  l->metadataMirrorFile = l->metadataFile + 64;
  l->metadataSize = kBdrMetadataSize;
  l->metadataBitmapFile = kNoAddress;
  return uint64_t{l->metadataMirrorFile} + kSectorsPerUnit <= l->partitionLength;
}

namespace {

// Formats a medium that reports no capacity yet. Returns the new last block, or 0.
uint32_t FormatBlankMedium(IUdfDrive& drive, uint16_t revision) {
  std::array<uint8_t, 20> reply{};
  uint32_t status = drive.GetConfiguration(0x0023, reply);
  if (status != 0 || GetBe32(reply.data()) < 16 || GetBe16(&reply[8]) != 0x0023 ||
      (reply[10] & 1) == 0) {
    KLOG_ERROR("udf: medium is not formattable (status 0x%08X)", status);
    return 0;
  }
  const uint8_t type_code = revision == kUdfRevision260 ? 0x22 : 0x21;
  KLOG_INFO("udf: formatting blank medium (type code 0x%02X)", type_code);
  status = drive.FormatUnit(type_code);
  if (status != 0) {
    KLOG_ERROR("udf: FORMAT UNIT failed, status 0x%08X", status);
    return 0;
  }
  uint32_t last = 0, block_length = 0;
  if (drive.ReadCapacity(&last, &block_length) != 0) return 0;
  return last;
}

bool ComputeWriteOnceLayoutOnDrive(IUdfDrive& drive, uint32_t last, VolumeLayout* l) {
  uint32_t status = drive.SynchronizeCache();
  if (status != 0) {
    KLOG_ERROR("udf: SYNCHRONIZE CACHE failed, status 0x%08X", status);
    return false;
  }
  uint32_t track_count = 0;
  status = drive.ReadDiscInformation(&track_count);
  if (status != 0 || track_count < 1 || track_count > kMaxTracks) {
    KLOG_ERROR("udf: disc information unusable (status 0x%08X, %u tracks)", status, track_count);
    return false;
  }
  std::vector<TrackInfo> tracks;
  for (uint32_t n = 1; n <= track_count; ++n) {
    TrackInfo info;
    status = drive.ReadTrackInformation(n, &info);
    if (status != 0) {
      KLOG_ERROR("udf: READ TRACK INFORMATION %u failed, status 0x%08X", n, status);
      return false;
    }
    tracks.push_back(info);
  }
  if (uint64_t{tracks.back().start} + tracks.back().size != uint64_t{last} + 1) {
    KLOG_ERROR("udf: last track ends at %u, medium at %u", tracks.back().start + tracks.back().size,
               last + 1);
    return false;
  }
  std::vector<uint32_t> new_starts;
  for (uint32_t address : {kMetadataTrackStart, kDataTrackStart, last - 287}) {
    if (!SplitTrackAt(&tracks, address, &new_starts)) {
      KLOG_ERROR("udf: cannot split the tracks at %u", address);
      return false;
    }
  }
  for (size_t i = 0; i < 3 && i < tracks.size(); ++i) {
    if (tracks[i].freeBlocks < kMinTrackFreeBlocks) {
      KLOG_ERROR("udf: track %zu has only %u free blocks", i + 1, tracks[i].freeBlocks);
      return false;
    }
  }
  if (!ComputeWriteOnceLayout(last, tracks, l)) {
    KLOG_ERROR("udf: the tracks leave no room for the volume");
    return false;
  }
  for (uint32_t address : new_starts) {
    status = drive.ReserveTrack(address);
    if (status != 0) {
      KLOG_ERROR("udf: RESERVE TRACK at %u failed, status 0x%08X", address, status);
      return false;
    }
  }
  l->reservedTrackStarts = new_starts;
  return true;
}

}  // namespace

bool ComputeLayout(IUdfDrive& drive, uint16_t revision, const VolumeTime& time,
                   VolumeLayout* layout) {
  VolumeLayout l;
  l.udfRevision = revision;
  l.time = time;
  uint32_t last = 0, block_length = 0;
  if (drive.ReadCapacity(&last, &block_length) != 0) last = 0;
  if (last == 0) {
    last = FormatBlankMedium(drive, revision);
    if (last == 0) return false;
  }
  if (revision == kUdfRevision250) {
    if (!ComputeRewritableLayout(last, &l)) {
      KLOG_ERROR("udf: medium of %u blocks is too small for a volume", last + 1);
      return false;
    }
  } else if (revision == kUdfRevision260) {
    if (!ComputeWriteOnceLayoutOnDrive(drive, last, &l)) return false;
  } else {
    return false;
  }
  l.volumeSetIdentifier = VolumeSetIdentifier(time.utc);
  *layout = std::move(l);
  return true;
}

}  // namespace kelva::udf
