// Maps a registered volume name to the files that stand for that volume on this
// computer (the unit's device node, or the disc image files of a simulated
// unit). Only names of archive units resolve to anything, so only archive units
// are ever guarded.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "filter/filter_state.h"

namespace kelva::filter {

// "Volume{GUID}" from a registered name: characters 4 up to the first NUL
// (the "\\?\" prefix dropped, and a trailing backslash if one was sent).
std::string VolumeKey(const VolumeName& name);

class VolumeResolver {
 public:
  virtual ~VolumeResolver() = default;
  // The files of the volume; empty when the name is not an archive unit's.
  virtual std::vector<std::filesystem::path> Resolve(const VolumeName& name) = 0;
};

// Reads <folder>/<Volume{GUID}>: one path per line, written by the device
// manager for each archive unit it publishes.
class FolderVolumeResolver final : public VolumeResolver {
 public:
  explicit FolderVolumeResolver(std::filesystem::path folder) : folder_(std::move(folder)) {}
  std::vector<std::filesystem::path> Resolve(const VolumeName& name) override;

 private:
  std::filesystem::path folder_;
};

// A fixed table, for tests.
class StaticVolumeResolver final : public VolumeResolver {
 public:
  void Add(const std::string& key, std::vector<std::filesystem::path> paths);
  std::vector<std::filesystem::path> Resolve(const VolumeName& name) override;

 private:
  std::mutex mu_;
  std::map<std::string, std::vector<std::filesystem::path>> table_;
};

}  // namespace kelva::filter
