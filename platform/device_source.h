// The two kinds of optical device behind the system device manager
// (platform/system_device_manager.h): simulated units published by
// kelva-unitsim (platform/sim_device_source.h) and real SCSI optical drives
// (platform/sr_device_source.h). A source finds its devices, watches for
// changes and reports them to the manager through a sink; the manager numbers
// and names them, keeps the volume files and delivers the notifications.
//
// A source is driven by one thread (the manager's watcher): Start, then
// Process whenever one of its descriptors is ready or its time-out passed.
// Open and MountPoints may be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/scsi_device.h"

namespace kelva::platform {

// What a source knows about one present device.
struct SourceDevice {
  // Unique among all sources and stable while the device is present; the
  // manager lists devices in the order of their keys.
  std::string key;
  std::string interface_path;
  uint32_t number = 0;      // the device number the device reports
  std::string volume_guid;  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case
  bool archive_unit = false;
  bool medium = false;      // a medium is present now
  // The files that stand for the device's volume (device nodes, or a
  // simulated unit's socket and the disc images of its magazine).
  std::vector<std::filesystem::path> files;
};

class DeviceSourceSink {
 public:
  virtual ~DeviceSourceSink() = default;
  virtual void DeviceArrived(const SourceDevice& device) = 0;
  virtual void DeviceRemoved(const std::string& key) = 0;
  // The medium of a present device came or went; files is the device's new
  // list of volume files.
  virtual void MediaChanged(const std::string& key, bool present, const std::vector<std::filesystem::path>& files) = 0;
};

class DeviceSource {
 public:
  DeviceSource() = default;
  DeviceSource(const DeviceSource&) = delete;
  DeviceSource& operator=(const DeviceSource&) = delete;
  virtual ~DeviceSource() = default;

  // Sets up the watch and reports every device present now as an arrival.
  virtual Win32Error Start(DeviceSourceSink* sink) = 0;
  // Descriptors the watcher polls for input (may change after Process).
  virtual std::vector<int> Descriptors() = 0;
  // How long the watcher may wait before calling Process again; -1: no limit.
  virtual int TimeoutMs() = 0;
  // Reads what is ready (never blocks) and reports the changes.
  virtual void Process() = 0;

  // Opens the device of key (a key this source reported).
  virtual Win32Error Open(const std::string& key, bool read_write, std::unique_ptr<ScsiDevice>* out) = 0;
  // The mount points of the device's volume.
  virtual Win32Error MountPoints(const std::string& key, std::vector<std::string>* out) = 0;
};

// Helpers shared by the sources.

// Vendor and product as they appear in an interface path: trailing blanks
// dropped, the other blanks and characters a path cannot hold as '_'.
std::string InterfacePathField(const std::string& text);
// "\\?\<bus>#CdRom&Ven_<vendor>&Prod_<product>#<instance>#{53f56308-...}".
std::string MakeInterfacePath(const std::string& bus, const std::string& vendor, const std::string& product,
                              const std::string& instance);
// A name-based GUID (MD5, version 3) of text, "{...}" in lower case.
std::string NameBasedGuid(const std::string& text);
// True when the descriptor names an archive unit ("KORRINDA QX V1A0" or
// "NORVE QX V1A0", vendor and product trimmed of trailing blanks, any case).
bool IsArchiveUnitIdentity(const std::string& vendor, const std::string& product);

}  // namespace kelva::platform
