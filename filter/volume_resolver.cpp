#include "filter/volume_resolver.h"

#include "platform/file.h"
#include "platform/text.h"

namespace kelva::filter {

std::string VolumeKey(const VolumeName& name) {
  std::u16string chars;
  for (size_t i = 4; i < kVolumeNameBytes / 2; ++i) {
    const char16_t c = static_cast<char16_t>(name[2 * i] | name[2 * i + 1] << 8);
    if (c == 0) break;
    chars.push_back(c);
  }
  if (!chars.empty() && chars.back() == u'\\') chars.pop_back();
  return platform::Utf16ToUtf8(chars);
}

std::vector<std::filesystem::path> FolderVolumeResolver::Resolve(const VolumeName& name) {
  const std::string key = VolumeKey(name);
  // A key that is not a plain file name never names a published unit.
  if (key.empty() || key.find('/') != std::string::npos || key == "." || key == "..") return {};
  std::string text;
  if (platform::ReadWholeFile(folder_ / key, &text)) return {};
  std::vector<std::filesystem::path> paths;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '/') paths.emplace_back(line);
    pos = end + 1;
  }
  return paths;
}

void StaticVolumeResolver::Add(const std::string& key, std::vector<std::filesystem::path> paths) {
  std::lock_guard<std::mutex> g(mu_);
  table_[key] = std::move(paths);
}

std::vector<std::filesystem::path> StaticVolumeResolver::Resolve(const VolumeName& name) {
  std::lock_guard<std::mutex> g(mu_);
  auto it = table_.find(VolumeKey(name));
  return it == table_.end() ? std::vector<std::filesystem::path>{} : it->second;
}

}  // namespace kelva::filter
