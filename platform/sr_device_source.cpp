#include "platform/sr_device_source.h"

#include <fcntl.h>
#include <libudev.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "platform/file.h"
#include "platform/log.h"

namespace kelva::platform {

namespace fs = std::filesystem;

namespace {

// "srN" -> N; false for any other name.
bool ParseSrName(const std::string& name, uint32_t* index) {
  if (name.size() < 3 || name.size() > 9 || name.compare(0, 2, "sr") != 0) return false;
  uint32_t v = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    v = v * 10 + static_cast<uint32_t>(name[i] - '0');
  }
  *index = v;
  return true;
}

std::string Attribute(const fs::path& path) {
  std::string text;
  if (ReadWholeFile(path, &text) != ERROR_SUCCESS) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

std::string Trim(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  size_t b = 0;
  while (b < s.size() && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  return s.substr(b);
}

// The unit serial number page (VPD 0x80) as the kernel exposes it.
std::string SerialFromVpd(const fs::path& path) {
  std::string page;
  if (ReadWholeFile(path, &page) != ERROR_SUCCESS || page.size() < 4 ||
      static_cast<uint8_t>(page[1]) != 0x80) {
    return {};
  }
  const size_t length = std::min<size_t>(static_cast<uint8_t>(page[3]), page.size() - 4);
  std::string serial = Trim(page.substr(4, length));
  for (char c : serial)
    if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7F) return {};
  return serial;
}

// Opens SCSI generic nodes for queries only.
struct ReadOnlySgSystem final : SgSystem {
  int Open(const char* path, int flags) override {
    return SgSystem::Open(path, (flags & ~O_ACCMODE) | O_RDONLY);
  }
};

}  // namespace

bool ParseMountInfoLine(const std::string& line, std::string* mount_point, std::string* source) {
  // id parent major:minor root mount-point options [optional fields] - type source super-options
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string f; in >> f;) fields.push_back(f);
  if (fields.size() < 10) return false;
  auto dash = std::find(fields.begin() + 6, fields.end(), "-");
  if (dash == fields.end() || fields.end() - dash < 3) return false;
  auto decode = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
          s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
        out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
        i += 3;
      } else {
        out += s[i];
      }
    }
    return out;
  };
  *mount_point = decode(fields[4]);
  *source = decode(*(dash + 2));
  return true;
}

struct SrDeviceSource::Udev {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  ~Udev() {
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
  }
};

SrDeviceSource::SrDeviceSource(SrDeviceSourceOptions options) : options_(std::move(options)) {}
SrDeviceSource::~SrDeviceSource() = default;

Win32Error SrDeviceSource::Start(DeviceSourceSink* sink) {
  sink_ = sink;
  if (options_.use_udev) {
    // The monitor is set up before the enumeration so that nothing that
    // happens in between is lost (a drive seen twice is added once).
    auto u = std::make_unique<Udev>();
    u->context = udev_new();
    if (u->context) u->monitor = udev_monitor_new_from_netlink(u->context, "udev");
    if (!u->monitor || udev_monitor_filter_add_match_subsystem_devtype(u->monitor, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(u->monitor) < 0) {
      KLOG_WARN("udev monitor unavailable: optical drives attached later are not seen");
    } else {
      udev_ = std::move(u);
    }
  }
  std::vector<uint32_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(options_.sysfs_root / "class" / "block", ec)) {
    uint32_t index = 0;
    if (ParseSrName(entry.path().filename().string(), &index)) found.push_back(index);
  }
  std::sort(found.begin(), found.end());
  for (uint32_t index : found) HandleUevent("add", "sr" + std::to_string(index), {});
  return ERROR_SUCCESS;
}

std::vector<int> SrDeviceSource::Descriptors() {
  if (!udev_) return {};
  return {udev_monitor_get_fd(udev_->monitor)};
}

void SrDeviceSource::Process() {
  if (!udev_) return;
  // The monitor's socket does not block: each call takes one waiting event.
  while (udev_device* dev = udev_monitor_receive_device(udev_->monitor)) {
    std::map<std::string, std::string> properties;
    for (udev_list_entry* e = udev_device_get_properties_list_entry(dev); e; e = udev_list_entry_get_next(e)) {
      const char* value = udev_list_entry_get_value(e);
      properties[udev_list_entry_get_name(e)] = value ? value : "";
    }
    const char* action = udev_device_get_action(dev);
    const char* sysname = udev_device_get_sysname(dev);
    if (action && sysname) HandleUevent(action, sysname, properties);
    udev_device_unref(dev);
  }
}

bool SrDeviceSource::MediumFromUdev(const std::string& sysname) {
  if (!udev_) return false;
  udev_device* dev = udev_device_new_from_subsystem_sysname(udev_->context, "block", sysname.c_str());
  if (!dev) return false;
  const char* media = udev_device_get_property_value(dev, "ID_CDROM_MEDIA");
  const bool present = media && std::strcmp(media, "1") == 0;
  udev_device_unref(dev);
  return present;
}

void SrDeviceSource::HandleUevent(const std::string& action, const std::string& sysname,
                                  const std::map<std::string, std::string>& properties) {
  uint32_t index = 0;
  if (!ParseSrName(sysname, &index)) return;
  auto property = [&](const char* name) {
    auto it = properties.find(name);
    return it == properties.end() ? std::string() : it->second;
  };
  if (action == "add") {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (drives_.count(index)) return;
    }
    Drive drive;
    if (!Describe(index, &drive)) return;
    drive.device.medium = properties.empty() ? MediumFromUdev(sysname) : property("ID_CDROM_MEDIA") == "1";
    const SourceDevice copy = drive.device;
    {
      std::lock_guard<std::mutex> g(mu_);
      drives_[index] = std::move(drive);
    }
    sink_->DeviceArrived(copy);
  } else if (action == "remove") {
    std::string key;
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = drives_.find(index);
      if (it == drives_.end()) return;
      key = it->second.device.key;
      drives_.erase(it);
    }
    sink_->DeviceRemoved(key);
  } else if (action == "change") {
    if (property("DISK_MEDIA_CHANGE") != "1") return;
    const bool present = property("ID_CDROM_MEDIA") == "1";
    std::string key;
    std::vector<fs::path> files;
    {
      std::lock_guard<std::mutex> g(mu_);
      auto it = drives_.find(index);
      if (it == drives_.end() || it->second.device.medium == present) return;
      it->second.device.medium = present;
      key = it->second.device.key;
      files = it->second.device.files;
    }
    sink_->MediaChanged(key, present, files);
  }
}

bool SrDeviceSource::Describe(uint32_t index, Drive* out) {
  const std::string name = "sr" + std::to_string(index);
  const fs::path block = options_.sysfs_root / "class" / "block" / name;
  const fs::path device = block / "device";
  std::error_code ec;
  if (!fs::exists(device, ec)) return false;
  const std::string vendor = Attribute(device / "vendor");
  const std::string model = Attribute(device / "model");
  const std::string serial = SerialFromVpd(device / "vpd_pg80");
  for (const auto& entry : fs::directory_iterator(device / "scsi_generic", ec)) {
    const std::string sg = entry.path().filename().string();
    if (sg.rfind("sg", 0) == 0) {
      out->sg = sg;
      break;
    }
  }
  // Where the device sits, relative to the sysfs root: ".../usb1/1-2/.../2:0:0:0".
  fs::path place = fs::weakly_canonical(device, ec);
  if (ec) place = device;
  const fs::path root = fs::weakly_canonical(options_.sysfs_root, ec);
  const std::string relative = place.lexically_relative(ec ? options_.sysfs_root : root).generic_string();
  const bool usb = relative.find("/usb") != std::string::npos;
  std::string instance = InterfacePathField(serial);
  if (instance.empty()) {
    // The SCSI address "host:channel:target:lun", as "host&channel&target&lun".
    instance = InterfacePathField(place.filename().string());
    std::replace(instance.begin(), instance.end(), ':', '&');
  }
  SourceDevice& d = out->device;
  char key[32];
  std::snprintf(key, sizeof key, "0/sr%010u", index);
  d.key = key;
  d.interface_path = MakeInterfacePath(usb ? "USBSTOR" : "SCSI", vendor, model, instance);
  d.number = index;
  d.volume_guid = NameBasedGuid(serial.empty() ? "optical drive at " + relative
                                               : "optical drive " + Trim(vendor) + "|" + Trim(model) + "|" + serial);
  d.archive_unit = IsArchiveUnitIdentity(vendor, model);
  d.files = {options_.dev_root / name};
  if (!out->sg.empty()) d.files.push_back(options_.dev_root / out->sg);
  out->index = index;
  return true;
}

Win32Error SrDeviceSource::Open(const std::string& key, bool read_write, std::unique_ptr<ScsiDevice>* out) {
  fs::path node;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = std::find_if(drives_.begin(), drives_.end(), [&](const auto& d) { return d.second.device.key == key; });
    if (it == drives_.end()) return ERROR_FILE_NOT_FOUND;
    // SG_IO works on the block node too, for a drive without a generic node.
    node = options_.dev_root / (it->second.sg.empty() ? "sr" + std::to_string(it->first) : it->second.sg);
  }
  static ReadOnlySgSystem read_only;
  return OpenSgDevice(node, out, read_write ? nullptr : &read_only);
}

Win32Error SrDeviceSource::MountPoints(const std::string& key, std::vector<std::string>* out) {
  out->clear();
  std::string source;
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = std::find_if(drives_.begin(), drives_.end(), [&](const auto& d) { return d.second.device.key == key; });
    if (it == drives_.end()) return ERROR_FILE_NOT_FOUND;
    source = (options_.dev_root / ("sr" + std::to_string(it->first))).string();
  }
  std::string text;
  if (Win32Error e = ReadWholeFile(options_.mountinfo, &text)) return e;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::string mount_point, from;
    if (ParseMountInfoLine(line, &mount_point, &from) && from == source) out->push_back(mount_point);
  }
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
