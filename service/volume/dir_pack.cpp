// CFsVolume: the directory pack ("STRUCT\DIRPACK.BIN"), every directory catalog
// of the volume in one compressed file on the current disc, written after each
// disc change and read back when a structure catalog is taken from the discs,
// so that one read fills the cache with all the directory catalogs at once.
//
// Layout: a 16-byte GUID in plain bytes naming the encoding of the rest, then
// per catalog a 16-byte record header (magic 0x4346 u16, version 2 u8, disc u8,
// file u32, length u64, little-endian) and the catalog's bytes; the stream's end
// ends the pack.
#include <set>
#include <vector>

#include "platform/file.h"
#include "platform/log.h"
#include "service/storage/dir_object.h"
#include "service/storage/dir_pack_stream.h"
#include "service/storage/resume_container.h"
#include "service/storage/disc_recorder.h"
#include "service/volume/fs_volume.h"

namespace kelva::volume {

namespace {

constexpr Win32Error kErrorAccessDenied = 5;
constexpr Win32Error kErrorShortWrite = 29;
constexpr Win32Error kErrorShortRead = 30;
constexpr uint16_t kPackMagic = 17222;
constexpr uint8_t kPackVersion = 2;
constexpr size_t kRecordHeaderSize = 16;

// {E93F950F-1C12-4108-981A-44792222B7C6}, {8B97F442-5F12-424C-A679-EAFF9855FE72},
// {5E50A9A1-1AEE-476B-9767-4F2C7D20FA75}: the plain, LZNT1 and zlib encodings.
constexpr storage::ResumeGuid kPlainGuid =
    storage::MakeGuid(0xE93F950F, 0x1C12, 0x4108, {0x98, 0x1A, 0x44, 0x79, 0x22, 0x22, 0xB7, 0xC6});
constexpr storage::ResumeGuid kLznt1Guid =
    storage::MakeGuid(0x8B97F442, 0x5F12, 0x424C, {0xA6, 0x79, 0xEA, 0xFF, 0x98, 0x55, 0xFE, 0x72});
constexpr storage::ResumeGuid kZlibGuid =
    storage::MakeGuid(0x5E50A9A1, 0x1AEE, 0x476B, {0x97, 0x67, 0x4F, 0x2C, 0x7D, 0x20, 0xFA, 0x75});

std::vector<storage::DirIdentity> ListDirectories(storage::CStructureDb& db) {
  std::vector<storage::DirIdentity> out;
  db.EnumDirectories(
      [](uint8_t disc, uint32_t file, void* context) {
        static_cast<std::vector<storage::DirIdentity>*>(context)->emplace_back(disc, file);
        return 1;
      },
      &out);
  return out;
}

void EncodeRecordHeader(uint8_t disc, uint32_t file, uint64_t length, uint8_t* out) {
  out[0] = static_cast<uint8_t>(kPackMagic);
  out[1] = static_cast<uint8_t>(kPackMagic >> 8);
  out[2] = kPackVersion;
  out[3] = disc;
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(file >> (8 * i));
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<uint8_t>(length >> (8 * i));
}

}  // namespace

Win32Error CFsVolume::WriteDirPack() {
  if (!structure_ || !cache_ || discs_ == nullptr || recorder_ == nullptr) return kErrorAccessDenied;
  const std::vector<storage::DirIdentity> dirs = ListDirectories(*structure_);
  recorder_->LockIo();
  std::unique_ptr<storage::IPackChannel> channel;
  Win32Error e = discs_->OpenPack(true, &channel);
  if (e != 0) {
    recorder_->UnlockIo();
    return e;
  }
  {
    storage::CDirPackStream pack(channel.get(), storage::CDirPackStream::Mode::kWrite);
    e = pack.Write(kZlibGuid.data(), 16) != 0 ? kErrorShortWrite : 0;
    if (e == 0) e = pack.SetEncoding(storage::CDirPackStream::kZlib);
    for (size_t i = 0; e == 0 && i < dirs.size(); ++i) {
      const auto [disc, file] = dirs[i];
      // An open directory's catalog is checkpointed and held still while it is copied.
      CDirectoryDb* open = nullptr;
      {
        storage::ReadGuard g(dir_lock_);
        for (auto& d : dirs_) {
          if (d->dir->current_disc() == disc && d->dir->current_file() == file && d->dir->catalog() != nullptr) {
            open = d->dir->catalog();
            d->refs.fetch_add(1);
          }
        }
      }
      const bool locked = open != nullptr && open->CheckpointAndLock() == 0;
      std::filesystem::path path;
      uint64_t size = 0;
      // A catalog whose log could not all be moved into its file would go in
      // without its latest changes: it is left out, and a reader fetches it
      // from the discs instead.
      if ((open == nullptr || locked) && cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &path) && cache_->FileSize(path, &size) == 0 &&
          size != 0) {
        platform::File source;
        e = platform::File::Open(path, platform::kAccessRead, platform::Disposition::kOpenExisting, &source);
        if (e == 0) {
          uint8_t header[kRecordHeaderSize];
          EncodeRecordHeader(disc, file, size, header);
          e = pack.Write(header, sizeof header);
          uint64_t copied = 0;
          if (e == 0) e = pack.Pack(source, &copied);
          if (e == 0 && copied != size) e = kErrorShortWrite;
        }
      }
      if (locked) open->Unlock();
      if (open != nullptr) {
        storage::ReadGuard g(dir_lock_);
        for (auto& d : dirs_) {
          if (d->dir->catalog() == open) ReleaseDirectory(d.get());
        }
      }
    }
    const Win32Error closed = pack.Close();
    if (e == 0) e = closed;
  }
  const Win32Error closed = discs_->ClosePack();
  if (e == 0) e = closed;
  if (e != 0) {
    KLOG_WARN("volume: writing the directory pack failed (%u)", e);
    discs_->DeletePack();
  }
  recorder_->UnlockIo();
  return e;
}

Win32Error CFsVolume::ReadDirPack() {
  if (!structure_ || discs_ == nullptr || recorder_ == nullptr) return kErrorAccessDenied;
  const std::vector<storage::DirIdentity> listed = ListDirectories(*structure_);
  const std::set<storage::DirIdentity> wanted(listed.begin(), listed.end());
  recorder_->LockIo();
  std::unique_ptr<storage::IPackChannel> channel;
  Win32Error e = discs_->OpenPack(false, &channel);
  if (e != 0) {
    recorder_->UnlockIo();
    return e;
  }
  {
    storage::CDirPackStream pack(channel.get(), storage::CDirPackStream::Mode::kRead);
    uint8_t guid[16];
    uint32_t done = 0;
    e = pack.Read(guid, sizeof guid, &done);
    if (e == 0 && done != sizeof guid) e = kErrorShortRead;
    if (e == 0) {
      if (std::equal(guid, guid + 16, kLznt1Guid.begin())) {
        e = pack.SetEncoding(storage::CDirPackStream::kLznt1);
      } else if (std::equal(guid, guid + 16, kZlibGuid.begin())) {
        e = pack.SetEncoding(storage::CDirPackStream::kZlib);
      } else if (!std::equal(guid, guid + 16, kPlainGuid.begin())) {
        e = kErrorShortRead;
      }
    }
    while (e == 0) {
      uint8_t h[kRecordHeaderSize];
      e = pack.Read(h, sizeof h, &done);
      if (e != 0 || done == 0) break;
      if (done != sizeof h || (h[0] | h[1] << 8) != kPackMagic || h[2] != kPackVersion) {
        e = kErrorShortRead;
        break;
      }
      const uint8_t disc = h[3];
      uint32_t file = 0;
      uint64_t length = 0;
      for (int i = 0; i < 4; ++i) file |= static_cast<uint32_t>(h[4 + i]) << (8 * i);
      for (int i = 0; i < 8; ++i) length |= static_cast<uint64_t>(h[8 + i]) << (8 * i);
      bool open = false;
      {
        storage::ReadGuard g(dir_lock_);
        for (auto& d : dirs_) open |= d->dir->current_disc() == disc && d->dir->current_file() == file;
      }
      std::filesystem::path present;
      const bool known = cache_ && cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &present);
      if (!known && !open && wanted.count({disc, file}) != 0) {
        if (!cache_ || !cache_->IsOpen()) {
          e = kErrorAccessDenied;
          break;
        }
        platform::File target;
        uint32_t number = file;
        e = cache_->CreateCacheFile(storage::CK_DIR, disc, &number, 0, &target, true);
        if (e == 0) {
          e = pack.Unpack(length, target);
          target.Close();
          if (e != 0) cache_->DeleteCacheFile(storage::CK_DIR, disc, number, 0);
        }
      } else if (cache_) {
        // Not needed: the bytes are passed over through a scratch file.
        std::filesystem::path temp;
        e = cache_->NewTempCatalogName(&temp);
        if (e == 0) {
          platform::File scratch;
          e = platform::File::Open(temp, platform::kAccessReadWrite, platform::Disposition::kCreateAlways, &scratch);
          if (e == 0) e = pack.Unpack(length, scratch);
          scratch.Close();
          cache_->DeleteNamedFile(temp.filename().string());
        }
      } else {
        e = kErrorAccessDenied;
      }
    }
  }
  const Win32Error closed = discs_->ClosePack();
  if (e == 0) e = closed;
  recorder_->UnlockIo();
  return e;
}

}  // namespace kelva::volume
