#include "service/unit/unit_manager.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "platform/log.h"
#include "platform/text.h"

namespace kelva::unit {

using platform::Win32Error;

namespace {

constexpr char16_t kCdRomPrefix[] = u"\\Device\\CdRom";  // 13 characters
constexpr size_t kCdRomPrefixLength = 13;

std::string Narrow(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// Stands for a device that could not be opened for read and write: the
// controller is still created on it, and every command fails as on an
// invalid handle.
class UnopenedDevice final : public platform::ScsiDevice {
 public:
  Win32Error Execute(const platform::ScsiCommand&, platform::ScsiReply*) override {
    return platform::ERROR_INVALID_HANDLE;
  }
  Win32Error QueryDescriptor(platform::StorageDeviceDescriptor*) override {
    return platform::ERROR_INVALID_HANDLE;
  }
  Win32Error GetDeviceNumber(uint32_t*) override { return platform::ERROR_INVALID_HANDLE; }
  Win32Error CheckVerify() override { return platform::ERROR_INVALID_HANDLE; }
  Win32Error EjectMedia() override { return platform::ERROR_INVALID_HANDLE; }
};

// Folds a character for the arrival matching rule.
char16_t FoldPathChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
  if (c == u'\\') return u'#';
  return c;
}

}  // namespace

// ---- identity and names ------------------------------------------------------------

std::u16string BuildIdentity(const platform::StorageDeviceDescriptor& descriptor) {
  std::u16string identity;
  bool first = true;
  for (const std::string* part : {&descriptor.vendor, &descriptor.product}) {
    if (part->empty()) continue;  // no such string in the descriptor
    if (!first && identity.size() < kMaxIdentityLength) identity.push_back(u' ');
    first = false;
    for (const char c : *part) {
      if (c == '\0' || identity.size() >= kMaxIdentityLength) break;
      identity.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
    while (!identity.empty() && identity.back() <= u' ') identity.pop_back();
  }
  return identity;
}

bool IsUnitIdentity(std::u16string_view identity) {
  for (const char16_t* known : kUnitIdentities)
    if (platform::EqualNoCase(identity, known)) return true;
  return false;
}

bool ParseCdRomNumber(std::u16string_view device_name, uint32_t* number) {
  if (device_name.size() <= kCdRomPrefixLength ||
      !platform::EqualNoCase(device_name.substr(0, kCdRomPrefixLength), kCdRomPrefix))
    return false;
  uint64_t value = 0;
  for (const char16_t c : device_name.substr(kCdRomPrefixLength)) {
    if (c < u'0' || c > u'9') return false;
    value = value * 10 + (c - u'0');
    if (value > UINT32_MAX) return false;
  }
  *number = static_cast<uint32_t>(value);
  return true;
}

bool ArrivalPathMatches(std::u16string_view given, std::u16string_view stored) {
  if (StartsWith(given, u"\\\\?\\")) return platform::EqualNoCase(given, stored);
  if (given.empty() || stored.size() <= 4) return false;
  const std::u16string_view rest = stored.substr(4);
  size_t i = 0;
  for (; i < given.size(); ++i) {
    if (i >= kMaxCopiedPath || i >= rest.size()) return false;
    if (FoldPathChar(given[i]) != FoldPathChar(rest[i])) return false;
  }
  return i < rest.size() && rest[i] == u'#';
}

platform::DeviceHandle UnitEntry::device_handle() const {
  return device_ ? reinterpret_cast<platform::DeviceHandle>(device_.get())
                 : platform::kInvalidDeviceHandle;
}

// ---- construction -------------------------------------------------------------------

UnitManager::UnitManager(UnitManagerOptions options)
    : options_(std::move(options)),
      clock_(options_.clock != nullptr ? *options_.clock : platform::RealClock()) {
  if (options_.controller.clock == nullptr) options_.controller.clock = &clock_;
}

UnitManager::~UnitManager() {
  {
    std::lock_guard lock(lock_);
    stopping_ = true;
    device_events_.clear();
  }
  // The worker finishes the event it is running and then finds the queue empty.
  WaitForDeviceEvents();
  Teardown();
}

void UnitManager::SetVolumeNotificationCallback(VolumeNotificationCallback callback) {
  std::lock_guard lock(lock_);
  notify_ = std::move(callback);
}

// ---- discovery --------------------------------------------------------------------------

bool UnitManager::ProbeDevice(std::u16string_view device_path, uint32_t* device_number,
                              std::u16string* identity) {
  if (device_path.size() > kMaxInterfacePath) return false;
  std::unique_ptr<platform::ScsiDevice> probe;
  if (options_.devices->OpenDevice(Narrow(device_path), false, &probe) != 0 || !probe) return false;
  if (probe->GetDeviceNumber(device_number) != 0) return false;
  platform::StorageDeviceDescriptor descriptor;
  if (probe->QueryDescriptor(&descriptor) != 0) return false;
  *identity = BuildIdentity(descriptor);
  return IsUnitIdentity(*identity);
}

bool UnitManager::FindRawVolume(uint32_t device_number, std::u16string* raw_volume_name) {
  for (uint32_t attempt = 0; attempt < kRawVolumeAttempts; ++attempt) {
    if (attempt > 0) clock_.Sleep(kRawVolumeRetryMs);
    std::vector<std::string> volumes;
    if (options_.devices->EnumerateVolumes(&volumes) != 0) continue;
    for (const std::string& narrow : volumes) {
      const std::u16string name = platform::Utf8ToUtf16(narrow);
      if (name.size() != kRawVolumeNameLength || !StartsWith(name, u"\\\\?\\") || name.back() != u'\\')
        continue;
      std::string device_name;
      const std::u16string key = name.substr(4, kRawVolumeNameLength - 5);
      if (options_.devices->QueryVolumeDeviceName(Narrow(key), &device_name) != 0) continue;
      uint32_t number = 0;
      if (ParseCdRomNumber(platform::Utf8ToUtf16(device_name), &number) && number == device_number) {
        *raw_volume_name = name;
        return true;
      }
    }
  }
  return false;
}

Win32Error UnitManager::Scan() {
  std::vector<std::string> paths;
  if (Win32Error e = options_.devices->EnumerateOpticalDevices(&paths)) {
    KLOG_ERROR("unit scan: optical devices could not be enumerated: %u", e);
    return e;
  }
  std::lock_guard change(change_mu_);
  for (const std::string& path : paths) ProbeAndAdd(platform::Utf8ToUtf16(path), false);
  KLOG_INFO("unit scan: %zu optical device(s), %zu unit(s) attached", paths.size(), UnitCount());
  return 0;
}

bool UnitManager::IsListed(std::u16string_view device_path, bool arrival_rule) {
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    if (arrival_rule ? ArrivalPathMatches(device_path, e->device_path_)
                     : platform::EqualNoCase(device_path, e->device_path_))
      return true;
  }
  return false;
}

void UnitManager::ProbeAndAdd(std::u16string_view device_path, bool arrival) {
  // A unit found both by the scan and by an arrival is added once.
  if (IsListed(device_path, false)) return;
  uint32_t number = 0;
  std::u16string identity;
  if (!ProbeDevice(device_path, &number, &identity)) return;
  std::u16string raw;
  if (!FindRawVolume(number, &raw)) {
    KLOG_WARN("unit %s: no raw volume for cdrom%u, not attached", Narrow(device_path).c_str(), number);
    return;
  }
  Add(number, identity, device_path, raw, arrival);
}

bool UnitManager::Add(uint32_t device_number, std::u16string_view identity,
                      std::u16string_view device_path, std::u16string_view raw_volume_name,
                      bool arrival) {
  std::lock_guard change(change_mu_);
  if (IsListed(device_path, false)) return false;
  auto entry = std::make_unique<UnitEntry>();
  entry->device_number_ = device_number;
  entry->identity_ = identity;
  entry->device_path_ = device_path;
  entry->raw_volume_name_ = raw_volume_name;
  const std::string raw = Narrow(raw_volume_name);

  // The raw optical volume keeps no drive letter or folder mount.
  std::vector<std::string> mount_points;
  if (options_.devices->GetVolumeMountPoints(raw, &mount_points) == 0) {
    for (const std::string& mp : mount_points) {
      if (Win32Error e = options_.devices->DeleteMountPoint(mp))
        KLOG_WARN("unit %s: mount point %s could not be removed: %u", raw.c_str(), mp.c_str(), e);
    }
  }
  options_.host->SendFilterMessage(1, raw_volume_name);

  if (options_.devices->OpenDevice(Narrow(device_path), true, &entry->device_) == 0 && entry->device_) {
    entry->notification_ = options_.host->RegisterHandleNotification(entry->device_handle());
  } else {
    entry->device_.reset();
    entry->no_device_ = std::make_unique<UnopenedDevice>();
    KLOG_WARN("unit %s: device could not be opened for read and write", raw.c_str());
  }
  platform::ScsiDevice* commands = entry->device_ ? entry->device_.get() : entry->no_device_.get();
  entry->controller_ = UnitController::Create(raw_volume_name, commands, options_.controller);
  if (!entry->controller_) {
    KLOG_ERROR("unit %s: controller could not be created", raw.c_str());
    TearDownEntry(*entry, false);
    return false;
  }
  if (options_.attach_volume) {
    options_.attach_volume(raw_volume_name, *entry->controller_);
    entry->volume_attached_ = true;
  }

  if (arrival) clock_.Sleep(kArrivalSettleMs);

  if (options_.make_volume_worker) {
    VolumeNotificationCallback notify;
    {
      std::lock_guard lock(lock_);
      notify = notify_;
    }
    try {
      entry->volume_worker_ = options_.make_volume_worker(raw_volume_name, entry->controller_.get(), notify);
    } catch (const std::exception& e) {
      KLOG_ERROR("unit %s: volume worker could not be created: %s", raw.c_str(), e.what());
      entry->volume_worker_.reset();
    } catch (...) {
      KLOG_ERROR("unit %s: volume worker could not be created", raw.c_str());
      entry->volume_worker_.reset();
    }
  }

  UnitEntry* added = entry.get();
  std::string listed;
  {
    std::lock_guard lock(lock_);
    auto at = units_.begin();
    while (at != units_.end() && (*at)->device_number_ <= device_number) ++at;
    units_.insert(at, std::move(entry));
    listed = ListedUnits();
  }
  KLOG_INFO("unit %s: attached as cdrom%u (%s)%s", raw.c_str(), device_number, Narrow(identity).c_str(),
            added->volume_worker_ ? "" : ", without a volume worker");
  KLOG_INFO("units: %s", listed.c_str());

  if (added->device_ && added->volume_worker_ && added->device_->CheckVerify() == 0)
    MediaEvent(true, added->device_handle());
  return true;
}

// ---- device events --------------------------------------------------------------------

void UnitManager::DeviceEvent(bool arrival, std::u16string_view device_path) {
  std::lock_guard lock(lock_);
  if (stopping_) return;
  if (!arrival) {
    for (auto it = device_events_.begin(); it != device_events_.end(); ++it) {
      if (it->arrival && platform::EqualNoCase(it->path, device_path)) {
        device_events_.erase(it);  // the arrival and the removal cancel out
        return;
      }
    }
  }
  device_events_.push_back({arrival, std::u16string(device_path)});
  if (!device_running_) {
    if (device_thread_.joinable()) device_thread_.join();  // it has ended
    try {
      device_thread_ = std::thread([this] { DeviceWorker(); });
      device_running_ = true;
    } catch (const std::system_error& e) {
      // No thread to run it: the event is dropped.
      KLOG_ERROR("device event dropped: no worker thread (%s)", e.what());
      device_events_.pop_back();
    }
  }
}

void UnitManager::DeviceWorker() {
  for (;;) {
    QueuedDeviceEvent event;
    {
      std::lock_guard lock(lock_);
      if (device_events_.empty() || stopping_) {
        device_events_.clear();
        device_running_ = false;
        return;
      }
      event = std::move(device_events_.front());
      device_events_.pop_front();
    }
    try {
      if (event.arrival)
        DeviceArrival(event.path);
      else
        DeviceRemoval(event.path);
    } catch (const std::exception& e) {
      KLOG_ERROR("device %s: %s failed: %s", Narrow(event.path).c_str(),
                 event.arrival ? "arrival" : "removal", e.what());
    }
  }
}

void UnitManager::DeviceArrival(std::u16string_view device_path) {
  std::lock_guard change(change_mu_);
  if (IsListed(device_path, true)) return;
  ProbeAndAdd(device_path, true);
}

void UnitManager::DeviceRemoval(std::u16string_view device_path) {
  std::lock_guard change(change_mu_);
  EntryPtr entry;
  std::string listed;
  {
    std::lock_guard lock(lock_);
    for (auto it = units_.begin(); it != units_.end(); ++it) {
      if (platform::EqualNoCase((*it)->device_path_, device_path)) {
        entry = std::move(*it);
        units_.erase(it);
        break;
      }
    }
    listed = ListedUnits();
  }
  if (!entry) return;
  KLOG_INFO("unit %s: device removed", Narrow(entry->raw_volume_name_).c_str());
  TearDownEntry(*entry, true);
  KLOG_INFO("units: %s", listed.c_str());
}

std::string UnitManager::ListedUnits() const {
  std::string text;
  for (const auto& unit : units_) text += (text.empty() ? "cdrom" : " cdrom") + std::to_string(unit->device_number_);
  return text.empty() ? "none" : text;
}

void UnitManager::Teardown() {
  std::lock_guard change(change_mu_);
  for (;;) {
    EntryPtr entry;
    {
      std::lock_guard lock(lock_);
      if (units_.empty()) return;
      entry = std::move(units_.front());
      units_.pop_front();
    }
    KLOG_INFO("unit %s: stopping", Narrow(entry->raw_volume_name_).c_str());
    TearDownEntry(*entry, false);
  }
}

void UnitManager::TearDownEntry(UnitEntry& entry, bool device_removed) {
  // Nothing can queue work for the entry any more (it is out of the list, or
  // never was in it): wait for the mount or dismount in progress and for the
  // unit's short-lived threads, which use its controller and worker.
  std::thread media;
  {
    std::lock_guard lock(entry.lock_);
    media = std::move(entry.media_thread_);
  }
  if (media.joinable()) media.join();
  std::vector<UnitEntry::HelperThread> helpers;
  {
    std::lock_guard lock(lock_);
    helpers.swap(entry.helpers_);
  }
  for (auto& h : helpers)
    if (h.thread.joinable()) h.thread.join();

  // The controller's monitor and a release run call the worker: they end
  // before the worker goes (outside the unit's lock, which they may need).
  if (entry.controller_) entry.controller_->StopThreads();

  std::lock_guard lock(entry.lock_);
  if (entry.volume_worker_) {
    if (device_removed) entry.volume_worker_->DeviceRemoved();
    if (entry.controller_) entry.controller_->SetVolumeWorker(nullptr);
    entry.volume_worker_.reset();
  }
  if (entry.volume_attached_ && options_.detach_volume) options_.detach_volume(entry.raw_volume_name_);
  entry.volume_attached_ = false;
  if (entry.controller_) {
    entry.controller_->Destroy();
    entry.controller_.reset();
  }
  if (entry.notification_ != 0) {
    options_.host->UnregisterHandleNotification(entry.notification_);
    entry.notification_ = 0;
  }
  entry.device_.reset();
  entry.no_device_.reset();
  entry.media_events_.clear();
  options_.host->SendFilterMessage(0, entry.raw_volume_name_);
}

// ---- media events ---------------------------------------------------------------------

void UnitManager::MediaEvent(bool arrival, platform::DeviceHandle handle) {
  if (handle == platform::kInvalidDeviceHandle) return;
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    if (e->device_handle() != handle) continue;
    UnitEntry* entry = e.get();
    std::lock_guard unit_lock(entry->lock_);
    if (!arrival) {
      auto it = std::find(entry->media_events_.begin(), entry->media_events_.end(), true);
      if (it != entry->media_events_.end()) {
        entry->media_events_.erase(it);  // the arrival and the removal cancel out
        return;
      }
    }
    entry->media_events_.push_back(arrival);
    if (!entry->media_running_) {
      if (entry->media_thread_.joinable()) entry->media_thread_.join();  // it has ended
      try {
        entry->media_thread_ = std::thread([this, entry] { MediaWorker(entry); });
        entry->media_running_ = true;
      } catch (const std::system_error& e) {
        KLOG_ERROR("unit %s: media event dropped: no worker thread (%s)",
                   Narrow(entry->raw_volume_name_).c_str(), e.what());
        entry->media_events_.pop_back();
      }
    }
    return;
  }
}

void UnitManager::MediaWorker(UnitEntry* entry) {
  const VolumeWorker::CancelTest removal_queued = [entry] {
    std::lock_guard lock(entry->lock_);
    return std::find(entry->media_events_.begin(), entry->media_events_.end(), false) !=
           entry->media_events_.end();
  };
  for (;;) {
    bool arrival;
    {
      std::lock_guard lock(entry->lock_);
      if (entry->media_events_.empty()) {
        entry->media_running_ = false;
        return;
      }
      arrival = entry->media_events_.front();
      entry->media_events_.pop_front();
    }
    // The worker lives until the entry is torn down, which waits for this thread.
    VolumeWorker* worker = entry->volume_worker_.get();
    if (worker == nullptr) continue;
    try {
      if (arrival)
        worker->Mount(removal_queued);
      else
        worker->Dismount();
    } catch (const std::exception& e) {
      KLOG_ERROR("unit %s: %s failed: %s", Narrow(entry->raw_volume_name_).c_str(),
                 arrival ? "mount" : "dismount", e.what());
    } catch (...) {
      KLOG_ERROR("unit %s: %s failed", Narrow(entry->raw_volume_name_).c_str(),
                 arrival ? "mount" : "dismount");
    }
  }
}

// ---- power and drive letters --------------------------------------------------------------

void UnitManager::Suspend() {
  std::lock_guard lock(lock_);
  std::vector<std::thread> threads;
  threads.reserve(units_.size());
  for (const EntryPtr& e : units_) {
    UnitController* c = e->controller_.get();
    if (c == nullptr) continue;
    try {
      threads.emplace_back([c] { c->Suspend(); });
    } catch (const std::system_error&) {
      c->Suspend();  // the unit must be quiet before the computer sleeps
    }
  }
  for (std::thread& t : threads) t.join();
}

void UnitManager::StartHelper(UnitEntry& entry, std::function<void()> work) {
  // Reap the unit's helpers that have finished.
  auto& helpers = entry.helpers_;
  for (auto it = helpers.begin(); it != helpers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = helpers.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  helpers.reserve(helpers.size() + 1);  // the push below then cannot fail
  try {
    helpers.push_back({std::thread([work, done] {
                         work();
                         done->store(true);
                       }),
                       done});
  } catch (const std::system_error&) {
    work();  // no thread for it: run it here rather than not at all
  }
}

void UnitManager::Resume() {
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    UnitController* c = e->controller_.get();
    if (c != nullptr) StartHelper(*e, [c] { c->Resume(); });
  }
}

void UnitManager::RefreshDriveLetters() {
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    VolumeWorker* w = e->volume_worker_.get();
    if (w != nullptr) StartHelper(*e, [w] { w->RefreshDriveLetter(); });
  }
}

// ---- lookups ----------------------------------------------------------------------------

namespace {

int DriveIndexOf(char16_t letter) {
  if (letter >= u'A' && letter <= u'Z') return letter - u'A';
  if (letter >= u'a' && letter <= u'z') return letter - u'a';
  return -1;
}

}  // namespace

VolumeWorker* UnitManager::FindVolumeWorkerByDriveLetter(char16_t letter) {
  const int index = DriveIndexOf(letter);
  if (index < 0) return nullptr;
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    VolumeWorker* w = e->volume_worker_.get();
    if (w != nullptr && w->DriveIndex() == index) return w;
  }
  return nullptr;
}

uint8_t UnitManager::FindUnitByDriveLetter(char16_t letter, std::u16string* device_path,
                                           std::u16string* raw_volume_name) {
  const int index = DriveIndexOf(letter);
  if (index < 0) return kUnitNotFound;
  std::lock_guard lock(lock_);
  for (const EntryPtr& e : units_) {
    VolumeWorker* w = e->volume_worker_.get();
    if (w == nullptr || w->DriveIndex() != index) continue;
    if (device_path != nullptr) *device_path = e->device_path_.substr(0, kMaxCopiedPath);
    if (raw_volume_name != nullptr) *raw_volume_name = e->raw_volume_name_.substr(0, kMaxCopiedPath);
    return kUnitFound;
  }
  return kUnitNotFound;
}

// ---- diagnostics ------------------------------------------------------------------------

size_t UnitManager::UnitCount() {
  std::lock_guard lock(lock_);
  return units_.size();
}

std::vector<uint32_t> UnitManager::DeviceNumbers() {
  std::lock_guard lock(lock_);
  std::vector<uint32_t> numbers;
  for (const EntryPtr& e : units_) numbers.push_back(e->device_number_);
  return numbers;
}

void UnitManager::WaitForDeviceEvents() {
  for (;;) {
    std::thread finished;
    bool running;
    {
      std::lock_guard lock(lock_);
      running = device_running_;
      if (!running) finished = std::move(device_thread_);
    }
    if (!running) {
      if (finished.joinable()) finished.join();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void UnitManager::WaitForMediaEvents() {
  for (;;) {
    bool running = false;
    {
      std::lock_guard lock(lock_);
      for (const EntryPtr& e : units_) {
        std::lock_guard unit_lock(e->lock_);
        running = running || e->media_running_;
      }
    }
    if (!running) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace kelva::unit
