// The metadata repair fed damaged write-once volumes: a small recordable volume
// holding folders and files, written by our file system to a drive with tracks,
// is patched with the fuzzer's bytes and then repaired (volume, then a few
// paths). The drive refuses, by aborting, any write a repair must never make:
// anything but a rewrite of one recorded sector of the partition or one whole
// 64 KiB unit appended at a track's next writable address. Shared by the
// libFuzzer target and its replay test.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/udf/bytes.h"
#include "platform/udf/tag.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/metadata_repair.h"
#include "service/udf/udf_format.h"

namespace kelva::udf::fuzzing {

// A write-once disc in memory: sparse sectors and tracks that follow writes.
class RecordableMemoryDrive : public IUdfDrive {
 public:
  static constexpr uint32_t kLast = 560000;

  uint32_t TestUnitReady() override { return 0; }
  uint32_t GetConfiguration(uint16_t feature, std::span<uint8_t> out) override {
    std::fill(out.begin(), out.end(), 0);
    if (feature != 0 || out.size() < 16) return 0x02052400;
    PutBe32(out.data(), 12);
    PutBe16(out.data() + 6, kProfileBdrSequential);
    out[10] = 0x03;
    out[11] = 4;
    PutBe16(out.data() + 12, kProfileBdrSequential);
    out[14] = 1;
    return 0;
  }
  uint32_t ReadCapacity(uint32_t* last, uint32_t* block) override {
    *last = kLast;
    *block = kSectorSize;
    return 0;
  }
  uint32_t FormatUnit(uint8_t) override { return 0; }
  uint32_t SynchronizeCache() override { return 0; }
  uint32_t VendorSynchronize() override { return 0; }
  uint32_t ReadDiscInformation(uint32_t* last_track) override {
    *last_track = static_cast<uint32_t>(tracks.size());
    return 0;
  }
  uint32_t ReadTrackInformation(uint32_t n, TrackInfo* info) override {
    if (n < 1 || n > tracks.size()) return 0x02052400;
    *info = tracks[n - 1];
    return 0;
  }
  uint32_t ReserveTrack(uint32_t address) override {
    for (size_t i = 0; i < tracks.size(); ++i) {
      TrackInfo& t = tracks[i];
      if (address <= t.start || address - t.start >= t.size) continue;
      const uint32_t end = t.start + t.size;
      TrackInfo added{address, end - address, address, end - address};
      t.size = address - t.start;
      t.freeBlocks = t.nextWritable == kNoAddress ? 0 : address - t.nextWritable;
      tracks.insert(tracks.begin() + static_cast<ptrdiff_t>(i + 1), added);
      return 0;
    }
    return 0x02052400;
  }
  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
    if (uint64_t{lba} + blocks > uint64_t{kLast} + 1) return 0x02052100;
    for (uint32_t i = 0; i < blocks; ++i) {
      auto it = sectors.find(lba + i);
      if (it == sectors.end()) std::memset(buffer + size_t{i} * kSectorSize, 0, kSectorSize);
      else std::memcpy(buffer + size_t{i} * kSectorSize, it->second.data(), kSectorSize);
    }
    return 0;
  }
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override {
    TrackInfo* t = TrackOf(lba);
    if (t == nullptr || uint64_t{lba} + blocks > uint64_t{t->start} + t->size) return 0x02052102;
    const bool overwrite = t->nextWritable == kNoAddress || lba + blocks <= t->nextWritable;
    if (policed) {
      const bool rewrite = blocks == 1 && overwrite && lba >= partitionStart && lba < partitionEnd;
      const bool append = blocks == 32 && lba == t->nextWritable && lba % 32 == 0;
      if (!rewrite && !append) std::abort();  // a write a repair must never make
      ++writes;
    }
    if (!overwrite && lba != t->nextWritable) return 0x02052102;
    for (uint32_t i = 0; i < blocks; ++i)
      sectors[lba + i].assign(buffer + size_t{i} * kSectorSize,
                              buffer + size_t{i + 1} * kSectorSize);
    if (!overwrite) {
      const uint32_t end = lba + blocks;
      t->nextWritable = end == t->start + t->size ? kNoAddress : end;
      t->freeBlocks = t->start + t->size - end;
    }
    return 0;
  }

  std::map<uint32_t, std::vector<uint8_t>> sectors;
  std::vector<TrackInfo> tracks{TrackInfo{0, kLast + 1, 0, kLast + 1}};
  bool policed = false;
  uint32_t partitionStart = 0, partitionEnd = 0;
  size_t writes = 0;

 private:
  TrackInfo* TrackOf(uint32_t lba) {
    for (TrackInfo& t : tracks)
      if (lba >= t.start && lba - t.start < t.size) return &t;
    return nullptr;
  }
};

inline const char16_t* const kRepairPaths[] = {u"STRUCT\\0000\\deep.bin", u"000\\fa", u"000\\new",
                                               u"000"};

// The formatted disc with its tree, made once. Its metadata file lies in two
// extents, as recorders that do not move it leave it.
inline const RecordableMemoryDrive& RepairBase() {
  static const RecordableMemoryDrive* base = [] {
    auto* drive = new RecordableMemoryDrive;
    platform::TestClock clock;
    if (!FormatDisc(*drive, clock)) return drive;
    DriveSectorDevice device(drive, true);
    std::unique_ptr<UdfFileSystem> fs;
    UdfMountOptions o;
    o.clock = &clock;
    o.moveMetadata = false;  // the metadata file continues in a further extent
    if (UdfFileSystem::Mount(&device, o, &fs)) return drive;
    fs->CreateFolder(u"STRUCT");
    fs->CreateFolder(u"STRUCT\\0000");
    fs->CreateFolder(u"000");
    auto put = [&](const std::u16string& name, size_t size) {
      std::unique_ptr<UdfFile> f;
      if (fs->Open(name, UdfCreate::kCreateNew, true, &f)) return;
      std::vector<uint8_t> data(size, static_cast<uint8_t>(size));
      f->WriteAt(0, data.data(), data.size());
    };
    for (int i = 0; i < 40; ++i) put(u"000\\f" + std::u16string(1, static_cast<char16_t>(u'a' + i)), 200);
    put(u"STRUCT\\0000\\deep.bin", 5000);
    fs->Dismount();
    VolumeStructure vs;
    if (ReadVolumeStructure(*drive, &vs)) {
      drive->partitionStart = vs.partitionStart;
      drive->partitionEnd = vs.partitionStart + vs.partitionLength;
    }
    return drive;
  }();
  return *base;
}

// The base disc with the fuzzer's patches applied to its recorded sectors in the
// partition: repeated {sector index (16-bit, modulo their number), offset in the
// sector (16-bit, modulo 2048), length byte, that many bytes}. A length byte with
// its top bit set (length: the low seven bits) also makes the patched sector's
// tag checksum and CRC right again, so that descriptors that are well formed but
// wrong in content reach the repair, not only broken ones.
inline std::unique_ptr<RecordableMemoryDrive> PatchedRepairDisc(const uint8_t* data, size_t size) {
  const RecordableMemoryDrive& base = RepairBase();
  auto drive = std::make_unique<RecordableMemoryDrive>();
  drive->sectors = base.sectors;
  drive->tracks = base.tracks;
  drive->partitionStart = base.partitionStart;
  drive->partitionEnd = base.partitionEnd;
  std::vector<uint32_t> lbas;
  for (const auto& [lba, s] : drive->sectors)
    if (lba >= drive->partitionStart && lba < drive->partitionEnd) lbas.push_back(lba);
  if (lbas.empty()) return drive;
  size_t at = 0;
  while (at + 5 <= size) {
    std::vector<uint8_t>& s = drive->sectors[lbas[Get16(data + at) % lbas.size()]];
    size_t offset = Get16(data + at + 2) % kSectorSize;
    const bool reseal = data[at + 4] & 0x80;
    const size_t length = data[at + 4] & 0x7F;
    at += 5;
    for (size_t i = 0; i < length && at < size; ++i, ++at) s[(offset + i) % kSectorSize] = data[at];
    if (reseal) RefreshTag(s);
  }
  return drive;
}

// Repairs the patched disc as the service would. Returns the number of writes.
inline size_t RepairPatched(const uint8_t* data, size_t size) {
  std::unique_ptr<RecordableMemoryDrive> drive = PatchedRepairDisc(data, size);
  drive->policed = true;
  RepairVolume(*drive, {});
  for (const char16_t* path : kRepairPaths)
    RepairFile(*drive, path, path == kRepairPaths[2], {});  // "000\new" does not exist
  return drive->writes;
}

}  // namespace kelva::udf::fuzzing
