// File data of the UDF file system: reading through a node's extents, writing
// in place (rewritable) or at the data track's next writable address
// (recordable), cutting back.
#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"
#include "platform/udf/fs_util.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

namespace {

constexpr uint32_t kChunkBlocks = 4096;  // 8 MiB staging per step on recordable media

// The pieces of `extents` that cover file blocks [from, to).
std::vector<UdfExtent> Slice(const std::vector<UdfExtent>& extents, uint64_t from, uint64_t to) {
  std::vector<UdfExtent> out;
  uint64_t pos = 0;
  for (const auto& e : extents) {
    const uint64_t end = pos + e.count;
    const uint64_t a = std::max(pos, from), b = std::min(end, to);
    if (a < b) {
      UdfExtent piece = e;
      piece.block = e.block + static_cast<uint32_t>(a - pos);
      piece.count = static_cast<uint32_t>(b - a);
      out.push_back(piece);
    }
    pos = end;
  }
  return out;
}

void AppendMerged(std::vector<UdfExtent>* out, const UdfExtent& e) {
  if (!out->empty()) {
    UdfExtent& last = out->back();
    if (last.recorded && e.recorded && last.partition == e.partition &&
        last.block + last.count == e.block &&
        static_cast<uint64_t>(last.count) + e.count <= kMaxExtentBlocks) {
      last.count += e.count;
      return;
    }
  }
  out->push_back(e);
}

}  // namespace

Win32Error UdfFileSystem::ReadNodeData(UdfNode* node, uint64_t offset, size_t length,
                                       uint8_t* buf) {
  if (node->embedded) {
    if (offset + length > node->inlineData.size()) return pe::ERROR_FILE_CORRUPT;
    if (length) std::memcpy(buf, node->inlineData.data() + offset, length);
    return pe::ERROR_SUCCESS;
  }
  std::vector<uint8_t> tmp;
  size_t done = 0;
  size_t idx = 0;
  uint64_t first = 0;  // file block where extents[idx] starts
  while (done < length) {
    const uint64_t pos = offset + done;
    const uint64_t fb = pos / kSectorSize;
    const uint32_t inb = static_cast<uint32_t>(pos % kSectorSize);
    while (idx < node->extents.size() && first + node->extents[idx].count <= fb)
      first += node->extents[idx++].count;
    if (idx == node->extents.size()) return pe::ERROR_FILE_CORRUPT;
    const UdfExtent& e = node->extents[idx];
    const uint32_t within = static_cast<uint32_t>(fb - first);
    const uint32_t run = e.count - within;
    const size_t want = length - done;
    if (!e.recorded) {
      const size_t n = std::min<uint64_t>(want, static_cast<uint64_t>(run) * kSectorSize - inb);
      std::memset(buf + done, 0, n);
      done += n;
      continue;
    }
    if (inb == 0 && want >= kSectorSize) {
      const uint32_t nb = static_cast<uint32_t>(std::min<uint64_t>(run, want / kSectorSize));
      if (Err err = ReadBlocks(e.partition, e.block + within, nb, buf + done)) return err;
      done += static_cast<size_t>(nb) * kSectorSize;
      continue;
    }
    tmp.resize(kSectorSize);
    if (Err err = ReadBlocks(e.partition, e.block + within, 1, tmp.data())) return err;
    const size_t n = std::min<size_t>(want, kSectorSize - inb);
    std::memcpy(buf + done, tmp.data() + inb, n);
    done += n;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::ReadFile(UdfNode* node, uint64_t offset, void* buf, size_t length,
                                   size_t* done) {
  *done = 0;
  const uint64_t size = node->Size();
  if (offset >= size || length == 0) return pe::ERROR_SUCCESS;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - offset));
  if (Err e = ReadNodeData(node, offset, n, static_cast<uint8_t*>(buf))) return e;
  *done = n;
  return pe::ERROR_SUCCESS;
}

void UdfFileSystem::ReplaceBlocks(UdfNode* node, uint64_t first, const UdfExtent& with) {
  const uint64_t total = std::max<uint64_t>(node->AllocatedBlocks(), first + with.count);
  std::vector<UdfExtent> out;
  for (const auto& e : Slice(node->extents, 0, first)) AppendMerged(&out, e);
  AppendMerged(&out, with);
  for (const auto& e : Slice(node->extents, first + with.count, total)) AppendMerged(&out, e);
  node->extents = std::move(out);
}

Win32Error UdfFileSystem::Unembed(UdfNode* node) {
  std::vector<uint8_t> data = std::move(node->inlineData);
  node->inlineData.clear();
  node->embedded = false;
  node->fe.icbTag.flags = static_cast<uint16_t>((node->fe.icbTag.flags & ~7) | kIcbLongAds);
  node->fe.informationLength = node->fe.objectSize = 0;
  node->dirty = true;
  if (data.empty()) return pe::ERROR_SUCCESS;
  const Err e = WriteRange(node, 0, data.data(), data.size());
  if (e) {  // keep the data where it was
    node->embedded = true;
    node->inlineData = std::move(data);
    node->fe.informationLength = node->fe.objectSize = node->inlineData.size();
    node->fe.icbTag.flags = static_cast<uint16_t>((node->fe.icbTag.flags & ~7) | kIcbEmbedded);
  }
  return e;
}

Win32Error UdfFileSystem::ZeroFill(UdfNode* node, uint64_t from, uint64_t to) {
  static const std::vector<uint8_t> zeros(256 * 1024, 0);
  // Check the whole gap's space first, so that a full disc changes nothing.
  const uint64_t need = (to + kSectorSize - 1) / kSectorSize;
  const uint64_t have = node->AllocatedBlocks();
  if (need > have && need - have > FreeDataBlocks()) {
    if (!pendingFree_.empty()) {
      if (Err e = FlushLocked()) return e;
      if (Err e = BeginChange()) return e;
    }
    if (need - have > FreeDataBlocks()) return pe::ERROR_DISK_FULL;
  }
  while (from < to) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(zeros.size(), to - from));
    if (Err e = WriteRange(node, from, zeros.data(), n)) return e;
    from += n;
  }
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WriteFile(UdfNode* node, uint64_t offset, const void* buf,
                                    size_t length) {
  if (Err e = Writable()) return e;
  if (length == 0) return pe::ERROR_SUCCESS;
  if (offset + length < offset || offset + length > (1ull << 50)) return pe::ERROR_INVALID_PARAMETER;
  if (Err e = BeginChange()) return e;
  if (node->embedded) {
    if (Err e = Unembed(node)) return e;
  }
  if (offset > node->Size()) {
    if (Err e = ZeroFill(node, node->Size(), offset)) return e;
  }
  if (Err e = WriteRange(node, offset, static_cast<const uint8_t*>(buf), length)) return e;
  node->fe.icbTag.flags |= 0x20;  // archive, as a write sets it
  Touch(node, true);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WriteRange(UdfNode* node, uint64_t off, const uint8_t* src,
                                     size_t len) {
  if (len == 0) return pe::ERROR_SUCCESS;
  if (recordable_) return WriteRangeRecordable(node, off, src, len);
  const uint64_t end = off + len;
  const uint64_t fb = off / kSectorSize;
  const uint64_t lb = (end - 1) / kSectorSize;
  const uint64_t allocated = node->AllocatedBlocks();

  // Space for the blocks past the allocation and for blocks of the range that are
  // allocated but hold no data (written by other systems as holes).
  uint64_t need = lb + 1 > allocated ? lb + 1 - allocated : 0;
  for (const auto& e : Slice(node->extents, fb, std::min(lb + 1, allocated)))
    if (!e.recorded) need += e.count;
  if (need > FreeDataBlocks()) {
    if (!pendingFree_.empty()) {
      if (Err e = FlushLocked()) return e;
      if (Err e = BeginChange()) return e;
    }
    if (need > FreeDataBlocks()) return pe::ERROR_DISK_FULL;
  }

  // Holes inside the range become zero-filled blocks of their own.
  for (const auto& hole : Slice(node->extents, fb, std::min(lb + 1, allocated))) {
    if (hole.recorded) continue;
    // Find the hole's file block again (Slice keeps order, but extents change).
    uint64_t pos = 0, hole_first = 0;
    bool found = false;
    for (const auto& e : node->extents) {
      if (!e.recorded && e.partition == hole.partition && e.count >= hole.count) {
        const uint64_t a = std::max(pos, fb);
        if (a < pos + e.count && a <= lb) {
          hole_first = a;
          found = true;
          break;
        }
      }
      pos += e.count;
    }
    if (!found) continue;
    uint32_t left = hole.count;
    uint64_t at = hole_first;
    std::vector<uint8_t> zeros;
    while (left > 0) {
      uint32_t b = 0, n = 0;
      if (Err e = AllocData(dataRover_, left, &b, &n)) return e;
      zeros.assign(static_cast<size_t>(n) * kSectorSize, 0);
      if (Err e = WritePhys(partStart_ + b, n, zeros.data())) return e;
      ReplaceBlocks(node, at, {b, n, physRef_, true});
      at += n;
      left -= n;
    }
  }

  // Blocks past the allocation, as close to the file's last block as possible.
  if (lb + 1 > allocated) {
    uint64_t missing = lb + 1 - allocated;
    uint32_t goal = dataRover_;
    if (!node->extents.empty() && node->extents.back().recorded &&
        node->extents.back().partition == physRef_)
      goal = node->extents.back().block + node->extents.back().count;
    while (missing > 0) {
      uint32_t b = 0, n = 0;
      if (Err e = AllocData(goal, static_cast<uint32_t>(std::min<uint64_t>(missing, kMaxExtentBlocks)),
                            &b, &n))
        return e;
      AppendMerged(&node->extents, {b, n, physRef_, true});
      goal = b + n;
      missing -= n;
    }
  }

  const uint64_t size = node->Size();
  std::vector<uint8_t> tmp;
  size_t done = 0, idx = 0;
  uint64_t first = 0;
  while (done < len) {
    const uint64_t pos = off + done;
    const uint64_t fbk = pos / kSectorSize;
    const uint32_t inb = static_cast<uint32_t>(pos % kSectorSize);
    while (idx < node->extents.size() && first + node->extents[idx].count <= fbk)
      first += node->extents[idx++].count;
    if (idx == node->extents.size()) return pe::ERROR_FILE_CORRUPT;
    const UdfExtent& e = node->extents[idx];
    if (!e.recorded || e.partition != physRef_) return pe::ERROR_FILE_CORRUPT;
    const uint32_t within = static_cast<uint32_t>(fbk - first);
    const uint32_t lba = partStart_ + e.block + within;
    const size_t want = len - done;
    if (inb == 0 && want >= kSectorSize) {
      const uint32_t nb =
          static_cast<uint32_t>(std::min<uint64_t>(e.count - within, want / kSectorSize));
      if (Err err = WritePhys(lba, nb, src + done)) return err;
      done += static_cast<size_t>(nb) * kSectorSize;
      continue;
    }
    tmp.assign(kSectorSize, 0);
    if (fbk * kSectorSize < size) {
      if (Err err = ReadPhys(lba, 1, tmp.data())) return err;
    }
    const size_t n = std::min<size_t>(want, kSectorSize - inb);
    std::memcpy(tmp.data() + inb, src + done, n);
    if (Err err = WritePhys(lba, 1, tmp.data())) return err;
    done += n;
  }
  if (end > size) node->fe.informationLength = node->fe.objectSize = end;
  node->dirty = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::WriteRangeRecordable(UdfNode* node, uint64_t off, const uint8_t* src,
                                               size_t len) {
  // Every block the write touches is recorded anew at the data track's next
  // writable address; a partly written first or last block takes the data it
  // already held along. Data is never written twice to the same sector.
  if (Err e = EnsureMetaUsage()) return e;
  const uint64_t end = off + len;
  const uint64_t fb = off / kSectorSize;
  const uint64_t lb = (end - 1) / kSectorSize;
  if (lb - fb + 1 > FreeDataBlocks()) return pe::ERROR_DISK_FULL;
  const uint64_t size = node->Size();
  std::vector<uint8_t> buf;
  for (uint64_t cb = fb; cb <= lb;) {
    const uint32_t nb = static_cast<uint32_t>(std::min<uint64_t>(kChunkBlocks, lb - cb + 1));
    const uint64_t chunk_start = cb * kSectorSize;
    const uint64_t chunk_end = chunk_start + static_cast<uint64_t>(nb) * kSectorSize;
    const uint8_t* data = nullptr;
    if (off <= chunk_start && end >= chunk_end) {
      data = src + (chunk_start - off);
    } else {
      buf.assign(static_cast<size_t>(nb) * kSectorSize, 0);
      auto keep_block = [&](uint64_t block) -> Err {
        const uint64_t at = block * kSectorSize;
        if (at >= size) return pe::ERROR_SUCCESS;
        size_t got = 0;
        return ReadFile(node, at, buf.data() + (at - chunk_start),
                        static_cast<size_t>(std::min<uint64_t>(kSectorSize, size - at)), &got);
      };
      if (off > chunk_start) {
        if (Err e = keep_block(cb)) return e;
      }
      if (end < chunk_end && (cb + nb - 1 != cb || off <= chunk_start)) {
        if (Err e = keep_block(cb + nb - 1)) return e;
      }
      const uint64_t a = std::max(off, chunk_start), b = std::min(end, chunk_end);
      std::memcpy(buf.data() + (a - chunk_start), src + (a - off), static_cast<size_t>(b - a));
      data = buf.data();
    }
    uint32_t written = 0;
    while (written < nb) {
      uint32_t b = 0, n = 0;
      if (Err e = AllocData(0, nb - written, &b, &n)) return e;
      if (Err e = WritePhys(partStart_ + b, n, data + static_cast<size_t>(written) * kSectorSize)) {
        // The drive's next writable address may now differ from ours.
        std::vector<SectorTrack> tracks;
        if (device_->ReadTracks(&tracks) == pe::ERROR_SUCCESS) {
          for (const auto& t : tracks) {
            if (partStart_ + b >= t.start && partStart_ + b < t.start + t.size &&
                t.nextWritable != kNoWritableAddress)
              dataNwa_ = t.nextWritable - partStart_;
          }
        }
        return e;
      }
      ReplaceBlocks(node, cb + written, {b, n, physRef_, true});
      written += n;
    }
    cb += nb;
  }
  if (end > size) node->fe.informationLength = node->fe.objectSize = end;
  node->dirty = true;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFileSystem::Truncate(UdfNode* node, uint64_t size) {
  if (Err e = Writable()) return e;
  const uint64_t cur = node->Size();
  if (size == cur) return pe::ERROR_SUCCESS;
  if (size > (1ull << 50)) return pe::ERROR_INVALID_PARAMETER;
  if (Err e = BeginChange()) return e;
  if (size > cur) {
    if (node->embedded) {
      if (Err e = Unembed(node)) return e;
    }
    if (Err e = ZeroFill(node, cur, size)) return e;
    Touch(node, true);
    return pe::ERROR_SUCCESS;
  }
  if (node->embedded) {
    node->inlineData.resize(static_cast<size_t>(size));
  } else {
    const uint64_t keep = (size + kSectorSize - 1) / kSectorSize;
    const uint64_t total = node->AllocatedBlocks();
    for (const auto& e : Slice(node->extents, keep, total)) {
      if (e.partition == physRef_) FreeData(e.block, e.count);
      else if (e.partition == metaRef_) FreeMeta(e.block, e.count);
    }
    node->extents = Slice(node->extents, 0, keep);
  }
  node->fe.informationLength = node->fe.objectSize = size;
  Touch(node, true);
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
