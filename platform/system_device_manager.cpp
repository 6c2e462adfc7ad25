#include "platform/system_device_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/device_source.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/sim_device_source.h"
#include "platform/sr_device_source.h"

namespace kelva::platform {

namespace fs = std::filesystem;

namespace {

bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// "\\?\Volume{GUID}\", "\\?\Volume{GUID}" or "Volume{GUID}" -> "Volume{GUID}".
std::string VolumeKeyOf(std::string name) {
  if (name.rfind("\\\\?\\", 0) == 0) name.erase(0, 4);
  if (!name.empty() && name.back() == '\\') name.pop_back();
  return name;
}

// Which open device handles belong to which device. Shared with the devices
// handed out, which may outlive the manager.
struct HandleTable {
  std::mutex mu;
  std::map<DeviceHandle, std::string> keys;  // handle -> device key
};

// The device handed to callers: the source's device, with the number the
// manager gave it; its address is its handle for handle notifications.
class ManagedDevice final : public ScsiDeviceWrapper {
 public:
  ManagedDevice(std::unique_ptr<ScsiDevice> device, uint32_t number, std::shared_ptr<HandleTable> table,
                const std::string& key)
      : ScsiDeviceWrapper(device.get()), owned_(std::move(device)), number_(number), table_(std::move(table)) {
    std::lock_guard<std::mutex> g(table_->mu);
    table_->keys[Handle()] = key;
  }
  ~ManagedDevice() override {
    std::lock_guard<std::mutex> g(table_->mu);
    table_->keys.erase(Handle());
  }
  Win32Error GetDeviceNumber(uint32_t* out) override {
    uint32_t reported = 0;
    // Asking the device keeps its own answer to "is it still there".
    if (Win32Error e = owned_->GetDeviceNumber(&reported)) return e;
    *out = number_;
    return ERROR_SUCCESS;
  }

 private:
  DeviceHandle Handle() { return reinterpret_cast<DeviceHandle>(static_cast<ScsiDevice*>(this)); }
  std::unique_ptr<ScsiDevice> owned_;
  const uint32_t number_;
  std::shared_ptr<HandleTable> table_;
};

class SystemDeviceManager final : public DeviceManager, private DeviceSourceSink {
 public:
  explicit SystemDeviceManager(const SystemDeviceManagerOptions& options)
      : volumes_dir_(options.run_dir / "volumes") {
    if (options.real_drives) {
      SrDeviceSourceOptions o;
      o.sysfs_root = options.sysfs_root;
      o.dev_root = options.dev_root;
      o.mountinfo = options.mountinfo;
      o.use_udev = options.use_udev;
      sources_.push_back(std::make_unique<SrDeviceSource>(o));
    }
    if (options.simulated_units) sources_.push_back(CreateSimDeviceSource(options.run_dir / "units"));
  }

  ~SystemDeviceManager() override {
    if (thread_.joinable()) {
      stop_ = true;
      const uint64_t one = 1;
      (void)!::write(wake_fd_, &one, sizeof one);
      thread_.join();
    }
    if (wake_fd_ >= 0) ::close(wake_fd_);
    // The volume files stand for devices this manager published; without it
    // nothing keeps them true.
    std::lock_guard<std::mutex> g(mu_);
    for (const auto& [key, entry] : devices_)
      if (entry.device.archive_unit) RemoveVolumeFile(entry);
    std::error_code ec;
    if (created_volumes_dir_) fs::remove(volumes_dir_, ec);  // only when empty
  }

  Win32Error Start() {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return FromErrno(errno);
    created_volumes_dir_ = !DirectoryExists(volumes_dir_);
    if (Win32Error e = CreateDirectoryChain(volumes_dir_)) return e;
    for (auto& source : sources_) {
      current_source_ = source.get();
      if (Win32Error e = source->Start(this)) return e;
    }
    RemoveStaleVolumeFiles();
    events_.clear();  // nobody is registered yet
    thread_ = std::thread([this] { Watch(); });
    return ERROR_SUCCESS;
  }

  // ---- DeviceNotifications -------------------------------------------------

  Win32Error RegisterInterfaceNotification(const Guid& class_guid, Callback callback,
                                           NotificationToken* token) override {
    if (!callback) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(mu_);
    *token = next_token_++;
    interfaces_[*token] = {class_guid, std::move(callback)};
    return ERROR_SUCCESS;
  }

  Win32Error RegisterHandleNotification(DeviceHandle handle, NotificationToken* token) override {
    {
      std::lock_guard<std::mutex> g(table_->mu);
      if (!table_->keys.count(handle)) return ERROR_INVALID_HANDLE;
    }
    std::lock_guard<std::mutex> g(mu_);
    *token = next_token_++;
    handles_[*token] = handle;
    return ERROR_SUCCESS;
  }

  void Unregister(NotificationToken token) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      interfaces_.erase(token);
      handles_.erase(token);
    }
    // A delivery in progress may still hold the callback: once Unregister
    // returns, it has finished, so the caller may destroy what it calls.
    // (From inside a callback, on the watcher thread, there is nothing to wait for.)
    if (std::this_thread::get_id() != thread_.get_id()) std::lock_guard<std::mutex> d(deliver_mu_);
  }

  // ---- DeviceManager -------------------------------------------------------

  Win32Error EnumerateOpticalDevices(std::vector<std::string>* interface_paths) override {
    std::lock_guard<std::mutex> g(mu_);
    interface_paths->clear();
    for (const auto& [key, entry] : devices_) interface_paths->push_back(entry.device.interface_path);
    return ERROR_SUCCESS;
  }

  Win32Error OpenDevice(const std::string& interface_path, bool read_write,
                        std::unique_ptr<ScsiDevice>* out) override {
    std::string key;
    DeviceSource* source = nullptr;
    uint32_t number = 0;
    {
      std::lock_guard<std::mutex> g(mu_);
      const Entry* entry = FindByPath(interface_path);
      if (entry == nullptr) return ERROR_FILE_NOT_FOUND;
      key = entry->device.key;
      source = entry->source;
      number = entry->number;
    }
    std::unique_ptr<ScsiDevice> device;
    if (Win32Error e = source->Open(key, read_write, &device)) return e;
    *out = std::make_unique<ManagedDevice>(std::move(device), number, table_, key);
    return ERROR_SUCCESS;
  }

  Win32Error EnumerateVolumes(std::vector<std::string>* volume_names) override {
    std::lock_guard<std::mutex> g(mu_);
    volume_names->clear();
    for (const auto& [key, entry] : devices_) volume_names->push_back(entry.volume_name);
    return ERROR_SUCCESS;
  }

  Win32Error QueryVolumeDeviceName(const std::string& volume_key, std::string* device_name) override {
    std::lock_guard<std::mutex> g(mu_);
    const Entry* entry = FindByVolume(volume_key);
    if (entry == nullptr) return ERROR_FILE_NOT_FOUND;
    *device_name = "\\Device\\CdRom" + std::to_string(entry->number);
    return ERROR_SUCCESS;
  }

  Win32Error GetVolumeMountPoints(const std::string& volume_name, std::vector<std::string>* mount_points) override {
    std::string key;
    DeviceSource* source = nullptr;
    {
      std::lock_guard<std::mutex> g(mu_);
      const Entry* entry = FindByVolume(volume_name);
      if (entry == nullptr) return ERROR_FILE_NOT_FOUND;
      key = entry->device.key;
      source = entry->source;
    }
    return source->MountPoints(key, mount_points);
  }

  Win32Error DeleteMountPoint(const std::string& mount_point) override {
    // Only a place where one of our optical volumes is mounted is unmounted:
    // the caller must not be able to take any other file system away.
    std::vector<std::pair<std::string, DeviceSource*>> devices;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (const auto& [key, entry] : devices_) devices.emplace_back(key, entry.source);
    }
    bool ours = false;
    for (const auto& [key, source] : devices) {
      std::vector<std::string> points;
      if (source->MountPoints(key, &points) == ERROR_SUCCESS &&
          std::find(points.begin(), points.end(), mount_point) != points.end()) {
        ours = true;
        break;
      }
    }
    if (!ours) return ERROR_FILE_NOT_FOUND;
    if (::umount2(mount_point.c_str(), MNT_DETACH) != 0) {
      const Win32Error e = FromErrno(errno);
      KLOG_WARN("cannot unmount %s: %u (%s)", mount_point.c_str(), e, ErrorText(e).c_str());
      return e;
    }
    KLOG_INFO("unmounted the optical volume at %s", mount_point.c_str());
    return ERROR_SUCCESS;
  }

 private:
  struct Entry {
    SourceDevice device;
    DeviceSource* source = nullptr;
    uint32_t number = 0;
    std::string volume_name;  // "\\?\Volume{GUID}\"
  };
  struct PendingEvent {
    uint32_t type = 0;
    DeviceBroadcast data;
  };

  const Entry* FindByPath(const std::string& path) const {
    for (const auto& [key, entry] : devices_)
      if (EqualAsciiNoCase(entry.device.interface_path, path)) return &entry;
    return nullptr;
  }
  const Entry* FindByVolume(const std::string& name) const {
    const std::string wanted = VolumeKeyOf(name);
    for (const auto& [key, entry] : devices_)
      if (EqualAsciiNoCase(VolumeKeyOf(entry.volume_name), wanted)) return &entry;
    return nullptr;
  }
  // ---- DeviceSourceSink (watcher thread, or Start) -------------------------

  void DeviceArrived(const SourceDevice& device) override {
    std::lock_guard<std::mutex> g(mu_);
    if (devices_.count(device.key)) return;
    Entry entry;
    entry.device = device;
    entry.source = current_source_;
    std::set<uint32_t> numbers;
    std::set<std::string> guids;
    for (const auto& [key, other] : devices_) {
      numbers.insert(other.number);
      guids.insert(other.device.volume_guid);
    }
    entry.number = device.number;
    while (numbers.count(entry.number)) ++entry.number;
    if (entry.number != device.number) {
      KLOG_WARN("optical device %s reports number %u, which another device has; it is number %u",
                device.interface_path.c_str(), device.number, entry.number);
    }
    // Two drives with the same identity (some report no real serial) must
    // still get two volumes.
    for (int n = 2; guids.count(entry.device.volume_guid); ++n)
      entry.device.volume_guid = NameBasedGuid(device.volume_guid + "#" + std::to_string(n));
    entry.volume_name = "\\\\?\\Volume" + entry.device.volume_guid + "\\";
    if (entry.device.archive_unit) WriteVolumeFile(entry);
    KLOG_INFO("optical device arrived: %s, \\Device\\CdRom%u, %s%s%s", device.interface_path.c_str(), entry.number,
              entry.volume_name.c_str(), entry.device.archive_unit ? ", archive unit" : "",
              entry.device.medium ? ", medium present" : "");
    PendingEvent ev;
    ev.type = DBT_DEVICEARRIVAL;
    ev.data.device_type = DBT_DEVTYP_DEVICEINTERFACE;
    ev.data.class_guid = kCdromInterfaceClass;
    ev.data.name = device.interface_path;
    events_.push_back(ev);
    devices_[device.key] = std::move(entry);
  }

  void DeviceRemoved(const std::string& key) override {
    std::lock_guard<std::mutex> g(mu_);
    auto it = devices_.find(key);
    if (it == devices_.end()) return;
    if (it->second.device.archive_unit) RemoveVolumeFile(it->second);
    KLOG_INFO("optical device removed: %s (\\Device\\CdRom%u)", it->second.device.interface_path.c_str(),
              it->second.number);
    PendingEvent ev;
    ev.type = DBT_DEVICEREMOVECOMPLETE;
    ev.data.device_type = DBT_DEVTYP_DEVICEINTERFACE;
    ev.data.class_guid = kCdromInterfaceClass;
    ev.data.name = it->second.device.interface_path;
    events_.push_back(ev);
    devices_.erase(it);
  }

  void MediaChanged(const std::string& key, bool present, const std::vector<fs::path>& files) override {
    std::lock_guard<std::mutex> g(mu_);
    auto it = devices_.find(key);
    if (it == devices_.end()) return;
    Entry& entry = it->second;
    entry.device.medium = present;
    entry.device.files = files;
    if (entry.device.archive_unit) WriteVolumeFile(entry);
    KLOG_INFO("medium %s: %s (\\Device\\CdRom%u)", present ? "arrived" : "removed",
              entry.device.interface_path.c_str(), entry.number);
    std::set<DeviceHandle> handles;
    {
      std::lock_guard<std::mutex> t(table_->mu);
      for (const auto& [token, handle] : handles_) {
        auto h = table_->keys.find(handle);
        if (h != table_->keys.end() && h->second == key) handles.insert(handle);
      }
    }
    for (DeviceHandle handle : handles) {
      PendingEvent ev;
      ev.type = DBT_CUSTOMEVENT;
      ev.data.device_type = DBT_DEVTYP_HANDLE;
      ev.data.handle = handle;
      ev.data.event_guid = present ? kMediaArrivalEvent : kMediaRemovalEvent;
      events_.push_back(ev);
    }
  }

  // ---- watcher ---------------------------------------------------------------

  void Watch() {
    while (!stop_) {
      std::vector<pollfd> fds{{wake_fd_, POLLIN, 0}};
      int timeout = -1;
      for (auto& source : sources_) {
        for (int fd : source->Descriptors()) fds.push_back({fd, POLLIN, 0});
        const int t = source->TimeoutMs();
        if (t >= 0 && (timeout < 0 || t < timeout)) timeout = t;
      }
      const int n = ::poll(fds.data(), fds.size(), timeout);
      if (n < 0 && errno != EINTR) {
        KLOG_ERROR("device watch failed: %u", FromErrno(errno));
        return;
      }
      if (fds[0].revents & POLLIN) {
        uint64_t value = 0;
        (void)!::read(wake_fd_, &value, sizeof value);
      }
      if (stop_) break;
      for (auto& source : sources_) {
        current_source_ = source.get();
        source->Process();
      }
      Deliver();
    }
  }

  // Calls the registered callbacks for the queued events, without the lock.
  void Deliver() {
    std::vector<PendingEvent> events;
    {
      std::lock_guard<std::mutex> g(mu_);
      events.swap(events_);
    }
    for (const PendingEvent& ev : events) {
      std::vector<Callback> targets;
      std::unique_lock<std::mutex> d(deliver_mu_);
      {
        std::lock_guard<std::mutex> g(mu_);
        for (const auto& [token, reg] : interfaces_) {
          if (ev.data.device_type != DBT_DEVTYP_DEVICEINTERFACE || reg.first == ev.data.class_guid)
            targets.push_back(reg.second);
        }
      }
      for (const Callback& callback : targets) callback(ev.type, ev.data);
    }
  }

  // ---- volume files ----------------------------------------------------------

  fs::path VolumeFilePath(const Entry& entry) const {
    return volumes_dir_ / VolumeKeyOf(entry.volume_name);
  }

  void WriteVolumeFile(const Entry& entry) {
    std::string text;
    for (const fs::path& p : entry.device.files) {
      text += p.string();
      text += '\n';
    }
    const fs::path path = VolumeFilePath(entry);
    // Written aside and renamed, so that a reader never sees half a list.
    std::string aside = ".";
    aside += path.filename().string();
    aside += ".new";
    const fs::path temporary = volumes_dir_ / aside;
    Win32Error e = WriteWholeFile(temporary, text);
    if (e == ERROR_SUCCESS) e = MoveFile(temporary, path, true);
    if (e != ERROR_SUCCESS) KLOG_ERROR("cannot write %s: %u (%s)", path.c_str(), e, ErrorText(e).c_str());
  }

  void RemoveVolumeFile(const Entry& entry) {
    const fs::path path = VolumeFilePath(entry);
    const Win32Error e = DeleteFile(path);
    if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) KLOG_WARN("cannot remove %s: %u", path.c_str(), e);
  }

  // Files left by an earlier run for devices that are no longer here.
  void RemoveStaleVolumeFiles() {
    std::set<std::string> current;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (const auto& [key, entry] : devices_)
        if (entry.device.archive_unit) current.insert(VolumeKeyOf(entry.volume_name));
    }
    std::error_code ec;
    for (const auto& file : fs::directory_iterator(volumes_dir_, ec)) {
      const std::string name = file.path().filename().string();
      if (name.rfind("Volume{", 0) == 0 && !current.count(name)) DeleteFile(file.path());
    }
  }

  const fs::path volumes_dir_;
  bool created_volumes_dir_ = false;
  std::vector<std::unique_ptr<DeviceSource>> sources_;
  DeviceSource* current_source_ = nullptr;  // the source whose reports are being taken
  std::shared_ptr<HandleTable> table_ = std::make_shared<HandleTable>();

  std::mutex mu_;
  std::map<std::string, Entry> devices_;  // by key: enumeration order
  std::map<NotificationToken, std::pair<Guid, Callback>> interfaces_;
  std::map<NotificationToken, DeviceHandle> handles_;
  NotificationToken next_token_ = 1;
  std::vector<PendingEvent> events_;
  std::mutex deliver_mu_;  // held by the watcher while it calls callbacks

  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

SystemDeviceManagerOptions DefaultDeviceManagerOptions() {
  SystemDeviceManagerOptions options;
  options.run_dir = RunDir();
  return options;
}

Win32Error CreateSystemDeviceManager(const SystemDeviceManagerOptions& options, std::unique_ptr<DeviceManager>* out) {
  auto manager = std::make_unique<SystemDeviceManager>(options);
  if (Win32Error e = manager->Start()) return e;
  *out = std::move(manager);
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
