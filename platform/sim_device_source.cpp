#include "platform/sim_device_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/unit_socket.h"

namespace kelva::platform {

namespace fs = std::filesystem;

fs::path UnitMediumMarkerPath(const fs::path& units_dir, const std::string& name) {
  return units_dir / (name + ".medium");
}

Win32Error WriteUnitMediumMarker(const fs::path& units_dir, const std::string& name, const fs::path& magazine) {
  if (Win32Error e = CreateDirectoryChain(units_dir)) return e;
  const fs::path temporary = units_dir / ("." + name + ".medium.new");
  if (Win32Error e = WriteWholeFile(temporary, magazine.string() + "\n")) return e;
  return MoveFile(temporary, UnitMediumMarkerPath(units_dir, name), true);
}

void RemoveUnitMediumMarker(const fs::path& units_dir, const std::string& name) {
  DeleteFile(UnitMediumMarkerPath(units_dir, name));
}

UnitPublishLock::UnitPublishLock(const fs::path& units_dir) {
  CreateDirectoryChain(units_dir);
  fd_ = ::open((units_dir / ".publish.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

UnitPublishLock::~UnitPublishLock() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

uint32_t FreeUnitDeviceNumber(const fs::path& units_dir, uint32_t first) {
  std::set<uint32_t> used;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(units_dir, ec)) {
    if (entry.path().extension() != ".sock" || !entry.is_socket(ec)) continue;
    std::unique_ptr<ScsiDevice> unit;
    uint32_t number = 0;
    if (OpenUnitSocket(entry.path(), &unit) == ERROR_SUCCESS && unit->GetDeviceNumber(&number) == ERROR_SUCCESS)
      used.insert(number);
  }
  uint32_t n = first;
  while (used.count(n)) ++n;
  return n;
}

namespace {

constexpr const char* kSocketSuffix = ".sock";
constexpr const char* kMarkerSuffix = ".medium";
// A socket that does not answer yet (bound, not yet listening) is asked again
// every kRetryMs for at most kPendingMs; a stale one is then left alone until
// it changes.
constexpr int kRetryMs = 100;
constexpr int64_t kPendingMs = 5000;

bool EndsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() > n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string Stem(const std::string& s, const char* suffix) { return s.substr(0, s.size() - std::strlen(suffix)); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A connection kept open to a unit: it reads end-of-file when the unit stops
// serving, even when its program ended without removing its socket.
int ConnectLiveness(const fs::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string s = path.string();
  if (s.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string UnitInstance(const std::string& name) {
  std::string instance = InterfacePathField(name);
  // Two names that only differ in characters a path cannot hold stay apart.
  if (instance != name || instance.empty()) {
    instance.push_back('&');
    instance.append(NameBasedGuid(name), 1, 8);
  }
  instance.append("&0");
  return instance;
}

class SimDeviceSource final : public DeviceSource {
 public:
  explicit SimDeviceSource(fs::path dir) : dir_(std::move(dir)) {}
  ~SimDeviceSource() override {
    for (auto& [name, unit] : units_)
      if (unit.liveness >= 0) ::close(unit.liveness);
    if (inotify_ >= 0) ::close(inotify_);
    // A folder this source made is taken away again when nothing is in it.
    std::error_code ec;
    if (created_dir_) fs::remove(dir_, ec);
  }

  Win32Error Start(DeviceSourceSink* sink) override {
    sink_ = sink;
    created_dir_ = !DirectoryExists(dir_);
    if (Win32Error e = CreateDirectoryChain(dir_)) return e;
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) return FromErrno(errno);
    if (::inotify_add_watch(inotify_, dir_.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_ONLYDIR) < 0) {
      return FromErrno(errno);
    }
    Rescan();
    return ERROR_SUCCESS;
  }

  std::vector<int> Descriptors() override {
    std::vector<int> fds{inotify_};
    for (auto& [name, unit] : units_)
      if (unit.liveness >= 0) fds.push_back(unit.liveness);
    return fds;
  }

  int TimeoutMs() override { return pending_.empty() ? -1 : kRetryMs; }

  void Process() override {
    ReadInotify();
    CheckLiveness();
    RetryPending();
  }

  Win32Error Open(const std::string& key, bool /*read_write*/, std::unique_ptr<ScsiDevice>* out) override {
    return OpenUnitSocket(dir_ / (NameOf(key) + kSocketSuffix), out);
  }

  Win32Error MountPoints(const std::string&, std::vector<std::string>* out) override {
    out->clear();  // a simulated unit's volume is never mounted by the system
    return ERROR_SUCCESS;
  }

 private:
  struct Unit {
    SourceDevice device;
    fs::path magazine;  // named by the medium marker
    int liveness = -1;
  };

  static std::string KeyOf(const std::string& name) { return "1/" + name; }
  static std::string NameOf(const std::string& key) { return key.substr(2); }

  fs::path SocketOf(const std::string& name) const { return dir_ / (name + kSocketSuffix); }

  // The medium marker of a unit: present, and the magazine folder it names.
  bool ReadMarker(const std::string& name, fs::path* magazine) const {
    std::string text;
    if (ReadWholeFile(UnitMediumMarkerPath(dir_, name), &text) != ERROR_SUCCESS) return false;
    const size_t end = text.find('\n');
    *magazine = text.substr(0, end);
    return true;
  }

  // The files that stand for a simulated unit: its socket only. Its disc
  // images are opened by the simulator itself, which is not a client of the
  // filter, so guarding them would lock the unit out of its own discs.
  std::vector<fs::path> FilesOf(const std::string& name) const { return {SocketOf(name)}; }

  void Rescan() {
    std::error_code ec;
    std::vector<std::string> present;
    for (const auto& entry : fs::directory_iterator(dir_, ec)) {
      const std::string file = entry.path().filename().string();
      if (EndsWith(file, kSocketSuffix) && entry.is_socket(ec)) present.push_back(Stem(file, kSocketSuffix));
    }
    for (auto it = units_.begin(); it != units_.end();) {
      if (std::find(present.begin(), present.end(), it->first) == present.end()) {
        const std::string name = it->first;
        ++it;
        Remove(name);
      } else {
        ++it;
      }
    }
    for (const std::string& name : present) {
      if (units_.count(name)) {
        MarkerChanged(name);
      } else {
        pending_[name] = NowMs() + kPendingMs;
      }
    }
    RetryPending();
  }

  void ReadInotify() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          Rescan();
          continue;
        }
        if (ev->len == 0) continue;
        const std::string file = ev->name;
        const bool gone = ev->mask & (IN_DELETE | IN_MOVED_FROM);
        if (EndsWith(file, kSocketSuffix)) {
          const std::string name = Stem(file, kSocketSuffix);
          if (gone) {
            pending_.erase(name);
            Remove(name);
          } else if (!units_.count(name)) {
            pending_[name] = NowMs() + kPendingMs;
          } else {
            // A new unit of the same name replaced a stale socket.
            Remove(name);
            pending_[name] = NowMs() + kPendingMs;
          }
        } else if (EndsWith(file, kMarkerSuffix)) {
          MarkerChanged(Stem(file, kMarkerSuffix));
        }
      }
    }
  }

  void CheckLiveness() {
    std::vector<std::string> ended;
    for (auto& [name, unit] : units_) {
      if (unit.liveness < 0) continue;
      pollfd p{unit.liveness, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) {
        char byte;
        const ssize_t n = ::recv(unit.liveness, &byte, 1, MSG_DONTWAIT);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) ended.push_back(name);
      }
    }
    for (const std::string& name : ended) Remove(name);
  }

  void RetryPending() {
    const int64_t now = NowMs();
    for (auto it = pending_.begin(); it != pending_.end();) {
      const std::string name = it->first;
      const Win32Error e = Probe(name);
      if (e == ERROR_SUCCESS || now >= it->second) {
        if (e != ERROR_SUCCESS) KLOG_WARN("simulated unit %s does not answer (%u); not added", name.c_str(), e);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }

  Win32Error Probe(const std::string& name) {
    const fs::path socket = SocketOf(name);
    std::unique_ptr<ScsiDevice> device;
    if (Win32Error e = OpenUnitSocket(socket, &device)) return e;
    StorageDeviceDescriptor d;
    if (Win32Error e = device->QueryDescriptor(&d)) return e;
    uint32_t number = 0;
    if (Win32Error e = device->GetDeviceNumber(&number)) return e;
    Unit unit;
    unit.liveness = ConnectLiveness(socket);
    if (unit.liveness < 0) return ERROR_DEVICE_NOT_CONNECTED;
    SourceDevice& dev = unit.device;
    dev.key = KeyOf(name);
    dev.interface_path = MakeInterfacePath("USBSTOR", d.vendor, d.product, UnitInstance(name));
    dev.number = number;
    dev.volume_guid = NameBasedGuid("simulated unit " + name);
    dev.archive_unit = IsArchiveUnitIdentity(d.vendor, d.product);
    fs::path magazine;
    dev.medium = ReadMarker(name, &magazine);
    dev.files = FilesOf(name);
    unit.magazine = magazine;
    const SourceDevice copy = dev;
    units_[name] = std::move(unit);
    sink_->DeviceArrived(copy);
    return ERROR_SUCCESS;
  }

  void MarkerChanged(const std::string& name) {
    auto it = units_.find(name);
    if (it == units_.end()) return;  // the arrival reads the marker itself
    fs::path magazine;
    const bool medium = ReadMarker(name, &magazine);
    SourceDevice& dev = it->second.device;
    if (medium == dev.medium && (!medium || magazine == it->second.magazine)) return;
    const bool changed = medium != dev.medium;
    const std::vector<fs::path> files = FilesOf(name);
    dev.medium = medium;
    dev.files = files;
    it->second.magazine = magazine;
    if (changed) {
      sink_->MediaChanged(dev.key, medium, files);
    } else {
      // Another magazine's marker replaced the last one without a gap: the
      // medium went and came.
      sink_->MediaChanged(dev.key, false, files);
      sink_->MediaChanged(dev.key, true, files);
    }
  }

  void Remove(const std::string& name) {
    auto it = units_.find(name);
    if (it == units_.end()) return;
    if (it->second.liveness >= 0) ::close(it->second.liveness);
    const std::string key = it->second.device.key;
    units_.erase(it);
    sink_->DeviceRemoved(key);
  }

  const fs::path dir_;
  DeviceSourceSink* sink_ = nullptr;
  int inotify_ = -1;
  bool created_dir_ = false;
  std::map<std::string, Unit> units_;
  std::map<std::string, int64_t> pending_;  // name -> deadline (ms)
};

}  // namespace

std::unique_ptr<DeviceSource> CreateSimDeviceSource(const fs::path& units_dir) {
  return std::make_unique<SimDeviceSource>(units_dir);
}

}  // namespace kelva::platform
