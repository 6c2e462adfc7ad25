// File and volume access to the disc in the unit's drive: the raw volume's
// lock, dismount and flush controls, and the file operations the archive
// storage uses, with the free-space reserve, the write preparation of the unit
// and one repair-and-retry when the file system reports damaged metadata.
#include "platform/log.h"
#include "platform/text.h"
#include "service/unit/repair_log.h"
#include "service/unit/unit_controller.h"

namespace kelva::unit {

using platform::Win32Error;

namespace {

constexpr uint32_t kOpenAttempts = 100;
constexpr uint32_t kOpenRetryMs = 50;
constexpr uint32_t kLockAttempts = 10;
constexpr uint32_t kLockRetryMs = 10;
constexpr uint32_t kDismountAttempts = 100;
constexpr uint32_t kDismountRetryMs = 50;
constexpr uint32_t kClosingDelayMs = 10;
constexpr int kDismountRounds = 2;

std::string Narrow(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

bool IsRepairableVolumeError(Win32Error e) {
  return e == platform::ERROR_UNRECOGNIZED_VOLUME || e == platform::ERROR_FILE_CORRUPT ||
         e == platform::ERROR_LOG_CORRUPTION_DETECTED;
}

// Calls op up to attempts times, sleeping between failures.
template <typename Op>
Win32Error Retry(platform::Clock& clock, uint32_t attempts, uint32_t sleep_ms, Op op) {
  Win32Error e = platform::ERROR_GEN_FAILURE;
  for (uint32_t i = 0; i < attempts; ++i) {
    e = op();
    if (e == 0) return 0;
    if (i + 1 < attempts) clock.Sleep(sleep_ms);
  }
  return e;
}

}  // namespace

std::u16string UnitController::FullPath(std::u16string_view relative) const {
  std::u16string path = raw_volume_name_;
  path += relative;
  return path;
}

std::u16string UnitController::VolumePath() const {
  std::u16string path = raw_volume_name_;
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

Win32Error UnitController::OpenVolumeRetrying(bool write, std::unique_ptr<VolumeHandle>* out) {
  return Retry(clock_, kOpenAttempts, kOpenRetryMs,
               [&] { return volumes_->OpenVolume(VolumePath(), write, out); });
}

Win32Error UnitController::LockVolume() {
  Operation op(this);
  std::lock_guard lock(volume_lock_);
  if (++volume_lock_depth_ > 1) return 0;
  std::unique_ptr<VolumeHandle> handle;
  Win32Error e = OpenVolumeRetrying(false, &handle);
  if (e == 0) e = Retry(clock_, kLockAttempts, kLockRetryMs, [&] { return handle->Lock(); });
  if (e != 0) {
    // The failed first locker leaves no depth behind, so that a later lock
    // opens the volume again and an unbalanced unlock cannot underflow.
    --volume_lock_depth_;
    KLOG_WARN("volume %s: lock failed (%u)", Narrow(raw_volume_name_).c_str(), e);
    return e;
  }
  volume_handle_ = std::move(handle);
  return 0;
}

Win32Error UnitController::UnlockVolume() {
  Operation op(this);
  std::lock_guard lock(volume_lock_);
  if (volume_lock_depth_ == 0) return 0;
  if (--volume_lock_depth_ > 0 || !volume_handle_) return 0;
  const Win32Error e = volume_handle_->Unlock();
  volume_handle_.reset();
  return e;
}

Win32Error UnitController::DismountOnce() {
  dismount_in_progress_.store(true);
  std::lock_guard lock(volume_lock_);
  std::unique_ptr<VolumeHandle> own;
  VolumeHandle* handle = volume_handle_.get();
  Win32Error e = 0;
  if (handle == nullptr) {
    e = OpenVolumeRetrying(false, &own);
    if (e == 0) {
      Retry(clock_, kLockAttempts, kLockRetryMs, [&] { return own->Lock(); });
      handle = own.get();
    }
  }
  if (e == 0) e = Retry(clock_, kDismountAttempts, kDismountRetryMs, [&] { return handle->Dismount(); });
  dismount_in_progress_.store(false);
  if (e != 0) return e;
  if (sync_hold_.load()) return 0;
  const uint32_t status =
      type_code_ == kMagazineRecordable ? VendorSynchronize(device_) : SynchronizeCache(device_);
  if (own) own->Unlock();
  own.reset();
  if (status != 0) {
    KLOG_WARN("volume %s: drive cache synchronisation failed (0x%08X)",
              Narrow(raw_volume_name_).c_str(), status);
    return platform::ERROR_IO_DEVICE;
  }
  return 0;
}

Win32Error UnitController::DismountVolume() {
  Operation op(this);
  Win32Error result = 0;
  for (int round = 0; round < kDismountRounds; ++round) {
    result = DismountOnce();
    if (result != 0 && result != platform::ERROR_IO_DEVICE) return result;
    if (sync_hold_.load()) return result;
    VolumeInformation info;
    const Win32Error e = volumes_->GetVolumeInformation(RootPath(), &info);
    if (e == 0 || !IsRepairableVolumeError(e) || !IsWritable()) return result;
    if (RepairLoggingOn()) WriteRepairLog("GetVolumeInformation Error (0x%08X)\n", e);
    if (!maintenance_->RepairVolume(device_)) {
      if (RepairLoggingOn()) WriteRepairLog("Repair Volume Fail\n");
      return result;
    }
    if (RepairLoggingOn()) WriteRepairLog("Repair Volume Success\n");
  }
  return result;
}

Win32Error UnitController::FlushVolume() {
  Operation op(this);
  if (sync_hold_.load()) return 0;
  std::lock_guard lock(volume_lock_);
  std::unique_ptr<VolumeHandle> own;
  VolumeHandle* handle = volume_handle_.get();
  uint32_t attempt = 0;
  Win32Error e = 0;
  if (handle == nullptr) {
    for (; attempt < kOpenAttempts; ++attempt) {
      e = volumes_->OpenVolume(VolumePath(), true, &own);
      if (e == 0) break;
      clock_.Sleep(kOpenRetryMs);
    }
    if (e != 0) return e;
    handle = own.get();
  }
  for (; attempt < kOpenAttempts; ++attempt) {
    e = handle->Flush();
    if (e == 0) break;
    clock_.Sleep(kOpenRetryMs);
  }
  return e;
}

bool UnitController::Exists(std::u16string_view path) {
  Operation op(this);
  std::vector<VolumeFindData> found;
  return volumes_->FindFiles(FullPath(path), &found) == 0 && !found.empty();
}

bool UnitController::GetInfo(std::u16string_view path, uint32_t* attributes,
                             platform::FileTime* creation, platform::FileTime* last_access,
                             platform::FileTime* last_write, uint64_t* size) {
  Operation op(this);
  std::vector<VolumeFindData> found;
  if (volumes_->FindFiles(FullPath(path), &found) != 0 || found.empty()) return false;
  const VolumeFindData& f = found.front();
  if (attributes) *attributes = f.attributes;
  if (creation) *creation = f.creation;
  if (last_access) *last_access = f.last_access;
  if (last_write) *last_write = f.last_write;
  if (size) *size = f.size;
  return true;
}

namespace {

bool RunEnumeration(VolumeAccess* volumes, const std::u16string& pattern_path,
                    EnumerateCallback callback, void* context) {
  std::vector<VolumeFindData> found;
  if (volumes->FindFiles(pattern_path, &found) != 0) return false;
  for (const VolumeFindData& f : found) {
    if (f.name == u"." || f.name == u"..") continue;
    if (callback(f.name, f.attributes, context) == 0) break;
  }
  return true;
}

}  // namespace

// "*.*" matches every name on the original file systems, also names without a
// dot; our matcher takes patterns literally, so it is asked for "*".
std::u16string_view NormalisePattern(std::u16string_view pattern) {
  return pattern == u"*.*" ? std::u16string_view(u"*") : pattern;
}

bool UnitController::EnumerateRoot(EnumerateCallback callback, void* context) {
  Operation op(this);
  return RunEnumeration(volumes_, FullPath(u"*"), callback, context);
}

bool UnitController::Enumerate(std::u16string_view folder, std::u16string_view pattern,
                               EnumerateCallback callback, void* context) {
  Operation op(this);
  std::u16string path = FullPath(folder);
  path += u'\\';
  path += NormalisePattern(pattern);
  return RunEnumeration(volumes_, path, callback, context);
}

bool UnitController::RepairableFileError(Win32Error e) const {
  return e == platform::ERROR_CRC || e == platform::ERROR_FILE_CORRUPT;
}

Win32Error UnitController::RepairAndReopen(std::u16string_view path, Win32Error first,
                                           bool creating,
                                           const std::function<Win32Error()>& retry) {
  DismountVolume();
  bool repaired;
  if (first == platform::ERROR_LOG_CORRUPTION_DETECTED)
    repaired = maintenance_->CloseIntegrity(device_);
  else
    repaired = maintenance_->RepairFile(device_, path, creating) != 0;
  if (!repaired) {
    if (RepairLoggingOn()) WriteRepairLog("Repair File '%s' Fail\n", Narrow(path).c_str());
    return first;
  }
  if (RepairLoggingOn()) WriteRepairLog("Repair File '%s' Success\n", Narrow(path).c_str());
  DismountVolume();
  return retry();
}

Win32Error UnitController::CreateNew(std::u16string_view path, bool for_writing, bool unbuffered,
                                     DiscFile* out) {
  Operation op(this);
  uint64_t free = 0;
  const Win32Error fe = volumes_->GetFreeSpace(RootPath(), &free);
  if (fe != 0) return fe == platform::ERROR_NOT_READY ? platform::ERROR_NOT_READY : platform::ERROR_DISK_FULL;
  if (free <= kFreeSpaceReserve) return platform::ERROR_DISK_FULL;
  if (closing_.load()) {
    clock_.Sleep(kClosingDelayMs);
    return kErrorClosing;
  }
  if (for_writing) PrepareForWrite();
  const std::u16string full = FullPath(path);
  auto create = [&] { return volumes_->CreateFile(full, for_writing, unbuffered, true, out); };
  Win32Error e = create();
  if ((RepairableFileError(e) || e == platform::ERROR_LOG_CORRUPTION_DETECTED) && IsWritable()) {
    if (RepairLoggingOn()) WriteRepairLog("CreateFile '%s' Error (0x%08X)\n", Narrow(path).c_str(), e);
    return RepairAndReopen(path, e, true, create);
  }
  if (e == platform::ERROR_PATH_NOT_FOUND) {
    CreateFolderChain(path);
    e = create();
  }
  return e;
}

Win32Error UnitController::OpenExisting(std::u16string_view path, bool for_writing, bool unbuffered,
                                        DiscFile* out) {
  Operation op(this);
  if (for_writing) PrepareForWrite();
  const std::u16string full = FullPath(path);
  auto open = [&] { return volumes_->CreateFile(full, for_writing, unbuffered, false, out); };
  const Win32Error e = open();
  if (!RepairableFileError(e) || !IsWritable()) return e;
  if (RepairLoggingOn()) WriteRepairLog("CreateFile '%s' Error (0x%08X)\n", Narrow(path).c_str(), e);
  return RepairAndReopen(path, e, false, open);
}

Win32Error UnitController::Close(DiscFile* file) {
  if (file != nullptr) file->reset();
  return 0;
}

Win32Error UnitController::Seek(VolumeFile* file, uint64_t offset) {
  Operation op(this);
  if (file == nullptr) return platform::ERROR_INVALID_HANDLE;
  return file->Seek(offset);
}

Win32Error UnitController::Read(VolumeFile* file, void* buffer, uint32_t length, uint32_t* done) {
  Operation op(this);
  if (file == nullptr) return platform::ERROR_INVALID_HANDLE;
  const Win32Error e = file->Read(buffer, length, done);
  if (e != 0) {
    KLOG_ERROR("volume %s: read failed (%u)", Narrow(raw_volume_name_).c_str(), e);
    RetrieveUnitLog();
  }
  return e;
}

Win32Error UnitController::Write(VolumeFile* file, const void* buffer, uint32_t length,
                                 uint32_t* done) {
  Operation op(this);
  if (file == nullptr) return platform::ERROR_INVALID_HANDLE;
  uint64_t free = 0;
  const Win32Error fe = volumes_->GetFreeSpace(RootPath(), &free);
  if (fe != 0) return fe;
  if (free <= kFreeSpaceReserve) return platform::ERROR_DISK_FULL;
  PrepareForWrite();
  const Win32Error e = file->Write(buffer, length, done);
  if (e != 0) {
    KLOG_ERROR("volume %s: write failed (%u)", Narrow(raw_volume_name_).c_str(), e);
    RetrieveUnitLog();
  }
  return e;
}

Win32Error UnitController::SetEndOfFile(VolumeFile* file, uint64_t size) {
  Operation op(this);
  if (file == nullptr) return platform::ERROR_INVALID_HANDLE;
  return file->SetEndOfFile(size);
}

Win32Error UnitController::Delete(std::u16string_view path) {
  Operation op(this);
  PrepareForWrite();
  return volumes_->DeleteFile(FullPath(path));
}

Win32Error UnitController::GetAttributes(std::u16string_view path, uint32_t* attributes) {
  Operation op(this);
  const std::u16string full = FullPath(path);
  auto query = [&] { return volumes_->GetFileAttributes(full, attributes); };
  const Win32Error e = query();
  if (!RepairableFileError(e) || !IsWritable()) return e;
  if (RepairLoggingOn())
    WriteRepairLog("GetFileAttributes '%s' Error (0x%08X)\n", Narrow(path).c_str(), e);
  return RepairAndReopen(path, e, false, query);
}

Win32Error UnitController::CreateFolder(std::u16string_view path) {
  Operation op(this);
  return volumes_->CreateDirectory(FullPath(path));
}

Win32Error UnitController::CreateFolderChain(std::u16string_view path) {
  Operation op(this);
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != u'\\' || i == 0) continue;
    const Win32Error e = volumes_->CreateDirectory(FullPath(path.substr(0, i)));
    if (e != 0 && e != platform::ERROR_ALREADY_EXISTS) return e;
  }
  return 0;
}

}  // namespace kelva::unit
