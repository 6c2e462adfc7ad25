#include "platform/machine_sources.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace kelva::platform {
namespace fs = std::filesystem;
namespace {

// Reads a small file whole; empty when it cannot be read.
std::string ReadSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string data;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return data;
}

// A sysfs attribute: the file's text without the line end sysfs appends.
std::string ReadAttribute(const fs::path& path) {
  std::string value = ReadSmallFile(path);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\0')) value.pop_back();
  return value;
}

std::string FirstAttribute(std::initializer_list<fs::path> paths) {
  for (const auto& p : paths) {
    std::string value = ReadAttribute(p);
    if (!value.empty()) return value;
  }
  return {};
}

// The unit serial number page (0x80) of a SCSI disk: a 4-byte header whose
// last byte is the length of the serial that follows.
std::string SerialFromVpdPage(const fs::path& path) {
  const std::string page = ReadSmallFile(path);
  if (page.size() < 4 || static_cast<uint8_t>(page[1]) != 0x80) return {};
  const size_t length = std::min<size_t>(static_cast<uint8_t>(page[3]), page.size() - 4);
  return page.substr(4, length);
}

// The sysfs folder of the block device behind st_dev of the system folder;
// empty when there is none (an overlay or another virtual file system).
fs::path BlockDeviceFolder(const MachineSourcePaths& paths) {
  struct stat st {};
  if (::stat(paths.system_folder.c_str(), &st) != 0) return {};
  const fs::path link = paths.sysfs_root / "dev" / "block" /
                        (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)));
  std::error_code ec;
  fs::path folder = fs::canonical(link, ec);
  return ec ? fs::path() : folder;
}

// Follows a mapped device (device-mapper, software RAID) down to the first of
// the devices it is built on, as the first extent of the volume would be.
fs::path FirstUnderlyingDevice(fs::path folder) {
  for (int depth = 0; depth < 8; ++depth) {
    std::error_code ec;
    std::vector<fs::path> slaves;
    for (const auto& entry : fs::directory_iterator(folder / "slaves", ec)) slaves.push_back(entry.path());
    if (slaves.empty()) break;
    std::sort(slaves.begin(), slaves.end());
    fs::path next = fs::canonical(slaves.front(), ec);
    if (ec) return {};
    folder = next;
  }
  return folder;
}

SystemDiskInfo ReadSystemDisk(const MachineSourcePaths& paths) {
  SystemDiskInfo info;
  fs::path folder = BlockDeviceFolder(paths);
  if (folder.empty()) return info;
  folder = FirstUnderlyingDevice(folder);
  if (folder.empty()) return info;

  fs::path disk = folder;
  std::error_code ec;
  if (fs::exists(folder / "partition", ec)) {
    const std::string start = ReadAttribute(folder / "start");
    char* end = nullptr;
    const unsigned long long sectors = std::strtoull(start.c_str(), &end, 10);
    if (!start.empty() && end && *end == '\0') info.start_offset = static_cast<uint64_t>(sectors) * 512;
    disk = folder.parent_path();
  } else {
    info.start_offset = 0;  // a file system on the whole disk starts at its beginning
  }

  const fs::path device = disk / "device";
  info.vendor = ReadAttribute(device / "vendor");
  info.product = ReadAttribute(device / "model");
  info.revision = FirstAttribute({device / "rev", device / "firmware_rev"});
  info.serial = FirstAttribute({device / "serial", disk / "serial"});
  if (info.serial.empty()) info.serial = SerialFromVpdPage(device / "vpd_pg80");
  return info;
}

}  // namespace

MachineSources ReadMachineSources(const MachineSourcePaths& paths) {
  MachineSources sources;
  const fs::path dmi = paths.sysfs_root / "class" / "dmi" / "id";
  sources.board_serial = ReadAttribute(dmi / "board_serial");
  sources.bios_serial = ReadAttribute(dmi / "product_serial");
  sources.enclosure_serial = ReadAttribute(dmi / "chassis_serial");
  sources.product_id = ReadAttribute(paths.machine_id);
  sources.disk = ReadSystemDisk(paths);
  return sources;
}

}  // namespace kelva::platform
