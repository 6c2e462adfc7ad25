#include "service/udf/image_drive.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"
#include "service/udf/udf_format.h"

namespace kelva::udf {

platform::Win32Error ImageDrive::Open(const std::filesystem::path& path, ImageMedia media,
                                      uint64_t size_bytes, bool create) {
  media_ = media;
  if (size_bytes == 0) size_bytes = media == ImageMedia::kBdRe ? kBdRe25Bytes : kBdR100Bytes;
  bool existed = false;
  platform::Win32Error err = platform::File::Open(
      path, platform::kAccessReadWrite,
      create ? platform::Disposition::kOpenAlways : platform::Disposition::kOpenExisting, &file_,
      &existed);
  if (err != 0) return err;
  uint64_t size = 0;
  if (!existed) {
    err = file_.Truncate(size_bytes);
    if (err != 0) return err;
  }
  err = file_.Size(&size);
  if (err != 0) return err;
  const uint64_t sectors = size / kSectorSize;
  if (sectors < 32 || sectors > 0xFFFFFFFFULL) return platform::ERROR_INVALID_PARAMETER;
  sectors_ = static_cast<uint32_t>(sectors);
  tracks_ = {TrackInfo{0, sectors_, 0, sectors_}};
  if (!create && media == ImageMedia::kBdR) TracksFromVolume();
  return 0;
}

void ImageDrive::TracksFromVolume() {
  VolumeStructure vs;
  if (!ReadVolumeStructure(*this, &vs) || vs.accessType != 0) return;
  // The tracks the formatter laid out: up to the metadata file, the metadata
  // track, the data track and the last track with the closing anchor.
  const uint32_t last = sectors_ - 1;
  std::vector<uint32_t> starts{0};
  auto add = [&](uint64_t at) {
    if (at > starts.back() && at <= last) starts.push_back(static_cast<uint32_t>(at));
  };
  add(uint64_t{vs.partitionStart} + vs.metadataFileLocation);
  add(kDataTrackStart);
  if (last > 287) add(last - 287);
  std::vector<TrackInfo> tracks;
  for (size_t i = 0; i < starts.size(); ++i) {
    const uint32_t start = starts[i];
    const uint32_t end = i + 1 < starts.size() ? starts[i + 1] : last + 1;
    uint64_t data_end = 0;
    if (file_.LastDataEnd(uint64_t{start} * kSectorSize, uint64_t{end} * kSectorSize, &data_end))
      return;
    // The next writable address follows the last 64 KiB unit holding data.
    const uint64_t sector = (data_end + kSectorSize - 1) / kSectorSize;
    const uint64_t nwa = (sector + kSectorsPerUnit - 1) / kSectorsPerUnit * kSectorsPerUnit;
    TrackInfo t{start, end - start, kNoAddress, 0};
    if (nwa < end) {
      t.nextWritable = static_cast<uint32_t>(std::max<uint64_t>(nwa, start));
      t.freeBlocks = end - t.nextWritable;
    }
    tracks.push_back(t);
  }
  tracks_ = std::move(tracks);
}

uint32_t ImageDrive::GetConfiguration(uint16_t starting_feature, std::span<uint8_t> out) {
  uint8_t reply[20] = {};
  size_t length = 0;
  PutBe16(reply + 6, profile());
  if (starting_feature == 0x0000) {
    // Profile list with the one profile this image is, marked current.
    PutBe16(reply + 8, 0x0000);
    reply[10] = 0x03;  // persistent, current
    reply[11] = 4;
    PutBe16(reply + 12, profile());
    reply[14] = 1;
    length = 16;
  } else if (starting_feature == 0x0023) {
    PutBe16(reply + 8, 0x0023);  // formattable, current
    reply[10] = 0x05;
    reply[11] = 8;
    length = 20;
  } else {
    length = 8;
  }
  PutBe32(reply, static_cast<uint32_t>(length - 4));
  std::fill(out.begin(), out.end(), 0);
  std::memcpy(out.data(), reply, std::min(out.size(), length));
  return 0;
}

uint32_t ImageDrive::ReadCapacity(uint32_t* last_lba, uint32_t* block_length) {
  *last_lba = sectors_ - 1;
  *block_length = kSectorSize;
  return 0;
}

uint32_t ImageDrive::SynchronizeCache() {
  return file_.Flush() == 0 ? 0 : 0x02040000;  // hardware error
}

uint32_t ImageDrive::ReadDiscInformation(uint32_t* last_track) {
  *last_track = static_cast<uint32_t>(tracks_.size());
  return 0;
}

uint32_t ImageDrive::ReadTrackInformation(uint32_t track, TrackInfo* info) {
  if (track < 1 || track > tracks_.size()) return 0x02052400;  // invalid field in CDB
  *info = tracks_[track - 1];
  return 0;
}

uint32_t ImageDrive::ReserveTrack(uint32_t address) {
  auto it = std::find_if(tracks_.begin(), tracks_.end(), [&](const TrackInfo& t) {
    return address > t.start && address - t.start < t.size;
  });
  if (it == tracks_.end()) return 0x02052400;
  const uint32_t end = it->start + it->size;
  TrackInfo added{address, end - address, address, end - address};
  it->size = address - it->start;
  if (it->nextWritable != kNoAddress && it->nextWritable >= address) it->nextWritable = kNoAddress;
  it->freeBlocks = it->nextWritable == kNoAddress ? 0 : address - it->nextWritable;
  tracks_.insert(it + 1, added);
  return 0;
}

uint32_t ImageDrive::Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) {
  if (!InRange(lba, blocks)) return kStatusLbaOutOfRange;
  uint32_t done = 0;
  const uint32_t bytes = blocks * static_cast<uint32_t>(kSectorSize);
  if (file_.ReadAt(uint64_t{lba} * kSectorSize, buffer, bytes, &done) != 0)
    return 0x02031100;  // medium error, unrecovered read error
  if (done < bytes) std::memset(buffer + done, 0, bytes - done);
  return 0;
}

uint32_t ImageDrive::Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) {
  if (!InRange(lba, blocks)) return kStatusLbaOutOfRange;
  if (file_.WriteAllAt(uint64_t{lba} * kSectorSize, buffer,
                       blocks * static_cast<uint32_t>(kSectorSize)) != 0)
    return 0x02030C00;  // medium error, write error
  // Follow the next writable address of the track written, as a drive does.
  for (TrackInfo& t : tracks_) {
    const uint32_t end = lba + blocks;
    if (lba >= t.start && lba - t.start < t.size && t.nextWritable != kNoAddress &&
        end > t.nextWritable) {
      const uint32_t track_end = t.start + t.size;
      t.nextWritable = end >= track_end ? kNoAddress : end;
      t.freeBlocks = end >= track_end ? 0 : track_end - end;
    }
  }
  return 0;
}

}  // namespace kelva::udf
