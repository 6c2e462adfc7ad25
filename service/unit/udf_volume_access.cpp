#include "service/unit/udf_volume_access.h"

#include <atomic>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/udf/udf_file.h"

namespace kelva::unit {

using platform::Win32Error;

namespace {

// Cuts a sector device off once its disc has left the drive, so that a file
// system being dropped can no longer write to whatever disc came next.
class FencedDevice : public udf::SectorDeviceWrapper {
 public:
  explicit FencedDevice(std::unique_ptr<udf::ISectorDevice> target)
      : SectorDeviceWrapper(target.get()), owned_(std::move(target)) {}
  void Cut() { cut_.store(true); }
  Win32Error ReadSectors(uint32_t lba, uint32_t count, uint8_t* buffer) override {
    return cut_.load() ? platform::ERROR_NOT_READY : SectorDeviceWrapper::ReadSectors(lba, count, buffer);
  }
  Win32Error WriteSectors(uint32_t lba, uint32_t count, const uint8_t* buffer) override {
    return cut_.load() ? platform::ERROR_NOT_READY : SectorDeviceWrapper::WriteSectors(lba, count, buffer);
  }
  Win32Error Synchronize() override {
    return cut_.load() ? platform::ERROR_NOT_READY : SectorDeviceWrapper::Synchronize();
  }

 private:
  std::unique_ptr<udf::ISectorDevice> owned_;
  std::atomic<bool> cut_{false};
};

std::u16string WithoutSlash(std::u16string_view name) {
  std::u16string s(name);
  if (!s.empty() && s.back() == u'\\') s.pop_back();
  return platform::UpCase(s);
}

// An open file; keeps its file system alive.
class UdfVolumeFile : public VolumeFile {
 public:
  UdfVolumeFile(std::shared_ptr<udf::UdfFileSystem> fs, std::unique_ptr<udf::UdfFile> file)
      : fs_(std::move(fs)), file_(std::move(file)) {}
  ~UdfVolumeFile() override { file_.reset(); }
  Win32Error Read(void* buffer, uint32_t length, uint32_t* done) override {
    size_t n = 0;
    const Win32Error e = file_->Read(buffer, length, &n);
    *done = static_cast<uint32_t>(n);
    return e;
  }
  Win32Error Write(const void* buffer, uint32_t length, uint32_t* done) override {
    size_t n = 0;
    const Win32Error e = file_->Write(buffer, length, &n);
    *done = static_cast<uint32_t>(n);
    return e;
  }
  Win32Error Seek(uint64_t offset) override {
    file_->Seek(offset);
    return 0;
  }
  Win32Error SetEndOfFile(uint64_t size) override { return file_->SetEndOfFile(size); }

 private:
  std::shared_ptr<udf::UdfFileSystem> fs_;
  std::unique_ptr<udf::UdfFile> file_;
};

}  // namespace

struct UdfVolumeAccess::Volume {
  std::u16string name;  // with "\"
  DeviceFactory factory;
  std::mutex mu;
  FencedDevice* device = nullptr;  // owned by `owned_device`
  std::shared_ptr<udf::ISectorDevice> owned_device;
  std::shared_ptr<udf::UdfFileSystem> fs;
  uint32_t lock_depth = 0;
  uint32_t repairs = 0;  // repairs writing the disc now; mounts wait for 0
  std::condition_variable repaired;
};

class UdfVolumeAccess::Handle : public VolumeHandle {
 public:
  explicit Handle(std::shared_ptr<Volume> volume) : volume_(std::move(volume)) {}
  ~Handle() override {
    if (locked_) Unlock();
  }
  Win32Error Lock() override {
    std::lock_guard lock(volume_->mu);
    if (locked_) return 0;
    if (volume_->fs) {
      // Refused while files are open, as a volume lock is.
      if (Win32Error e = volume_->fs->Lock()) return e;
      volume_->fs->Unlock();
      volume_->fs->Flush();
    }
    ++volume_->lock_depth;
    locked_ = true;
    return 0;
  }
  Win32Error Unlock() override {
    std::lock_guard lock(volume_->mu);
    if (!locked_) return 158;  // not locked
    --volume_->lock_depth;
    locked_ = false;
    return 0;
  }
  Win32Error Dismount() override {
    std::lock_guard lock(volume_->mu);
    Drop(*volume_, true);
    return 0;
  }
  Win32Error Flush() override {
    std::lock_guard lock(volume_->mu);
    return volume_->fs ? volume_->fs->Flush() : 0;
  }

 private:
  std::shared_ptr<Volume> volume_;
  bool locked_ = false;
};

UdfVolumeAccess::~UdfVolumeAccess() {
  std::lock_guard lock(mu_);
  for (auto& [name, v] : volumes_) {
    std::lock_guard vlock(v->mu);
    Drop(*v, true);
  }
}

void UdfVolumeAccess::Attach(std::u16string_view raw_volume_name, DeviceFactory factory) {
  auto v = std::make_shared<Volume>();
  v->name = raw_volume_name;
  if (v->name.empty() || v->name.back() != u'\\') v->name.push_back(u'\\');
  v->factory = std::move(factory);
  std::lock_guard lock(mu_);
  volumes_[WithoutSlash(raw_volume_name)] = std::move(v);
}

void UdfVolumeAccess::Detach(std::u16string_view raw_volume_name) {
  std::shared_ptr<Volume> v;
  {
    std::lock_guard lock(mu_);
    auto it = volumes_.find(WithoutSlash(raw_volume_name));
    if (it == volumes_.end()) return;
    v = it->second;
    volumes_.erase(it);
  }
  std::lock_guard vlock(v->mu);
  Drop(*v, false);
}

void UdfVolumeAccess::Drop(Volume& v, bool write_back) {
  if (!v.fs) return;
  if (write_back) {
    if (Win32Error e = v.fs->Dismount())
      KLOG_WARN("volume %s: writing back on dismount failed (%u)",
                platform::Utf16ToUtf8(v.name).c_str(), e);
  } else if (v.device != nullptr) {
    v.device->Cut();
    v.fs->Dismount();  // fails against the cut device; only the state is dropped
  }
  v.fs.reset();
  v.device = nullptr;
  v.owned_device.reset();
}

void UdfVolumeAccess::MediaChanged(std::u16string_view volume_path) {
  std::shared_ptr<Volume> v;
  std::u16string rel;
  if (Resolve(volume_path, &v, &rel) != 0) return;
  std::lock_guard vlock(v->mu);
  Drop(*v, false);
}

Win32Error UdfVolumeAccess::Resolve(std::u16string_view path, std::shared_ptr<Volume>* volume,
                                    std::u16string* relative) {
  std::lock_guard lock(mu_);
  const std::u16string up = platform::UpCase(path);
  for (const auto& [key, v] : volumes_) {
    if (up.compare(0, key.size(), key) != 0) continue;
    if (up.size() == key.size()) {
      relative->clear();
    } else if (up[key.size()] == u'\\') {
      *relative = std::u16string(path.substr(key.size() + 1));
    } else {
      continue;
    }
    *volume = v;
    return 0;
  }
  return platform::ERROR_PATH_NOT_FOUND;
}

Win32Error UdfVolumeAccess::Mounted(Volume& v, std::shared_ptr<udf::UdfFileSystem>* fs) {
  if (!v.fs) {
    auto device = std::make_shared<FencedDevice>(v.factory());
    std::unique_ptr<udf::UdfFileSystem> mounted;
    udf::UdfMountOptions options;
    options.clock = clock_;
    if (Win32Error e = udf::UdfFileSystem::Mount(device.get(), options, &mounted)) return e;
    v.device = device.get();
    v.owned_device = device;
    v.fs = std::shared_ptr<udf::UdfFileSystem>(mounted.release());
    KLOG_DEBUG("volume %s: mounted", platform::Utf16ToUtf8(v.name).c_str());
  }
  *fs = v.fs;
  return 0;
}

Win32Error UdfVolumeAccess::ResolveMounted(std::u16string_view path,
                                           std::shared_ptr<udf::UdfFileSystem>* fs,
                                           std::u16string* relative, bool* locked) {
  std::shared_ptr<Volume> v;
  if (Win32Error e = Resolve(path, &v, relative)) return e;
  std::unique_lock vlock(v->mu);
  v->repaired.wait(vlock, [&] { return v->repairs == 0; });
  if (locked != nullptr) *locked = v->lock_depth > 0;
  return Mounted(*v, fs);
}

void UdfVolumeAccess::BeginRepair(std::u16string_view raw_volume_name) {
  std::shared_ptr<Volume> v;
  std::u16string rel;
  if (Resolve(WithoutSlash(raw_volume_name), &v, &rel) != 0) return;
  std::lock_guard vlock(v->mu);
  Drop(*v, true);
  ++v->repairs;
}

void UdfVolumeAccess::EndRepair(std::u16string_view raw_volume_name) {
  std::shared_ptr<Volume> v;
  std::u16string rel;
  if (Resolve(WithoutSlash(raw_volume_name), &v, &rel) != 0) return;
  {
    std::lock_guard vlock(v->mu);
    if (v->repairs > 0) --v->repairs;
    // Whatever was mounted meanwhile (nothing: mounts waited) is dropped so that
    // the next access reads the repaired disc.
    Drop(*v, false);
  }
  v->repaired.notify_all();
}

Win32Error UdfVolumeAccess::OpenVolume(std::u16string_view volume_path, bool,
                                       std::unique_ptr<VolumeHandle>* out) {
  std::shared_ptr<Volume> v;
  std::u16string rel;
  if (Resolve(volume_path, &v, &rel) != 0 || !rel.empty()) return platform::ERROR_FILE_NOT_FOUND;
  *out = std::make_unique<Handle>(std::move(v));
  return 0;
}

Win32Error UdfVolumeAccess::GetVolumeInformation(std::u16string_view root, VolumeInformation* out) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  if (Win32Error e = ResolveMounted(root, &fs, &rel)) return e;
  udf::UdfVolumeInfo info;
  if (Win32Error e = fs->GetVolumeInformation(&info)) return e;
  out->file_system = platform::Utf8ToUtf16(info.fileSystemName);
  out->flags = info.readOnly ? kVolumeReadOnly : 0;
  return 0;
}

Win32Error UdfVolumeAccess::GetFreeSpace(std::u16string_view root, uint64_t* free_bytes) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  if (Win32Error e = ResolveMounted(root, &fs, &rel)) return e;
  uint64_t total = 0;
  return fs->GetFreeSpace(free_bytes, &total);
}

Win32Error UdfVolumeAccess::FindFiles(std::u16string_view pattern_path,
                                      std::vector<VolumeFindData>* out) {
  out->clear();
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  if (Win32Error e = ResolveMounted(pattern_path, &fs, &rel)) return e;
  return fs->Find(rel, [out](const udf::UdfFileInfo& info) {
    VolumeFindData f;
    f.name = info.name;
    f.attributes = info.attributes;
    f.creation = info.creationTime;
    f.last_access = info.lastAccessTime;
    f.last_write = info.lastWriteTime;
    f.size = info.size;
    out->push_back(std::move(f));
    return true;
  });
}

Win32Error UdfVolumeAccess::CreateFile(std::u16string_view path, bool write, bool, bool create_new,
                                       std::unique_ptr<VolumeFile>* out) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  bool locked = false;
  if (Win32Error e = ResolveMounted(path, &fs, &rel, &locked)) return e;
  if (locked) return platform::ERROR_ACCESS_DENIED;
  std::unique_ptr<udf::UdfFile> file;
  if (Win32Error e = fs->Open(rel, create_new ? udf::UdfCreate::kCreateNew : udf::UdfCreate::kOpenExisting,
                              write, &file))
    return e;
  *out = std::make_unique<UdfVolumeFile>(std::move(fs), std::move(file));
  return 0;
}

Win32Error UdfVolumeAccess::DeleteFile(std::u16string_view path) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  bool locked = false;
  if (Win32Error e = ResolveMounted(path, &fs, &rel, &locked)) return e;
  if (locked) return platform::ERROR_ACCESS_DENIED;
  return fs->Delete(rel);
}

Win32Error UdfVolumeAccess::GetFileAttributes(std::u16string_view path, uint32_t* out) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  if (Win32Error e = ResolveMounted(path, &fs, &rel)) return e;
  udf::UdfFileInfo info;
  if (Win32Error e = fs->GetInfo(rel, &info)) return e;
  *out = info.attributes;
  return 0;
}

Win32Error UdfVolumeAccess::CreateDirectory(std::u16string_view path) {
  std::shared_ptr<udf::UdfFileSystem> fs;
  std::u16string rel;
  bool locked = false;
  if (Win32Error e = ResolveMounted(path, &fs, &rel, &locked)) return e;
  if (locked) return platform::ERROR_ACCESS_DENIED;
  return fs->CreateFolder(rel);
}

}  // namespace kelva::unit
