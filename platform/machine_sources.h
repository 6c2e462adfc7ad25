// Identifiers of this computer's hardware and installation, from which the
// volume derives the computer's identity: the serial numbers that the firmware
// reports (DMI), the installation's machine id, and the disk that holds the
// root file system.
//
// Every source is optional: a value that cannot be read (no DMI table, a
// serial readable only by root, a root file system on an overlay with no
// block device behind it) is simply absent. Reading never fails as a whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kelva::platform {

// The disk that holds the root file system, as the disk itself reports it:
// SCSI-style vendor, product and revision strings (with any padding blanks
// they carry) and the serial number; empty strings where nothing was found.
struct SystemDiskInfo {
  std::string vendor;
  std::string product;
  std::string revision;
  std::string serial;
  // Byte offset of the root file system's partition on that disk; absent
  // when the partition could not be found.
  std::optional<uint64_t> start_offset;
};

struct MachineSources {
  std::string board_serial;      // base board serial number
  std::string bios_serial;       // system serial number of the firmware tables
  std::string enclosure_serial;  // chassis serial number
  std::string product_id;        // the installation's machine id, as stored
  SystemDiskInfo disk;
};

// Where the sources are read from; tests point these at a fake tree.
struct MachineSourcePaths {
  std::filesystem::path sysfs_root = "/sys";
  std::filesystem::path machine_id = "/etc/machine-id";
  // The folder whose file system counts as the system's.
  std::filesystem::path system_folder = "/";
};

// Reads every source it can. Values come without the line end sysfs adds.
MachineSources ReadMachineSources(const MachineSourcePaths& paths = {});

}  // namespace kelva::platform
