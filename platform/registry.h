// The registry: a small file-backed tree standing in for the Windows registry.
// Keys are folders below the registry root (KELVA_REGISTRY_ROOT); each value is
// one file in its key's folder holding a 4-byte little-endian type followed by
// the data. Key and value names are matched without regard to case; key paths
// use "\" ("HKEY_LOCAL_MACHINE\SYSTEM\MountedDevices"; "HKLM" and "HKU" are
// accepted for the two roots). Values are replaced atomically (write + rename),
// so readers in other processes never see half a value.
//
// Thread safe: every call works on the file system only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/sync.h"

namespace kelva::platform {

enum RegType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

class Registry {
 public:
  explicit Registry(std::filesystem::path root = {} /* RegistryRoot() */);

  // Creates the key and every missing key above it; success when it exists.
  Win32Error CreateKey(std::string_view key);
  // ERROR_FILE_NOT_FOUND when the key does not exist.
  Win32Error OpenKey(std::string_view key, std::filesystem::path* folder = nullptr) const;
  // Deletes the key with its values and subkeys. ERROR_FILE_NOT_FOUND when missing.
  Win32Error DeleteKeyTree(std::string_view key);

  // Writes a value (creating or replacing it). The key must exist.
  Win32Error SetValue(std::string_view key, std::string_view name, uint32_t type, std::string_view data);
  // ERROR_FILE_NOT_FOUND when the key or the value is missing.
  Win32Error QueryValue(std::string_view key, std::string_view name, uint32_t* type, std::string* data) const;
  Win32Error DeleteValue(std::string_view key, std::string_view name);
  // Names of the values and of the subkeys, sorted.
  Win32Error EnumValues(std::string_view key, std::vector<std::string>* names) const;
  Win32Error EnumKeys(std::string_view key, std::vector<std::string>* names) const;

  // REG_DWORD helpers; QueryDword gives ERROR_INVALID_DATA when the value has another type or size.
  Win32Error SetDword(std::string_view key, std::string_view name, uint32_t value);
  Win32Error QueryDword(std::string_view key, std::string_view name, uint32_t* value) const;
  // REG_SZ helpers; the data is UTF-16LE with a terminating NUL, as Windows stores it.
  Win32Error SetString(std::string_view key, std::string_view name, std::u16string_view value);
  Win32Error QueryString(std::string_view key, std::string_view name, std::u16string* value) const;

  const std::filesystem::path& root() const { return root_; }

 private:
  // Resolves the key's folder, matching each part without regard to case.
  Win32Error Resolve(std::string_view key, bool create, std::filesystem::path* folder) const;
  std::filesystem::path root_;
};

// Tells a waiter when the values of one key change (set, added or deleted, by
// this or any other process), the way a change notification on a registry key
// does. Changes of subkeys are not reported.
class KeyChangeNotifier {
 public:
  KeyChangeNotifier() = default;
  KeyChangeNotifier(const KeyChangeNotifier&) = delete;
  KeyChangeNotifier& operator=(const KeyChangeNotifier&) = delete;
  virtual ~KeyChangeNotifier() = default;

  // From now on every change sets *event (until Arm is called with another
  // event or the notifier is destroyed). Calling it again re-arms. Errors:
  // ERROR_INVALID_HANDLE when the key has gone.
  virtual Win32Error Arm(Event* event) = 0;
};

// Watches key (which must exist) with inotify on its folder.
Win32Error OpenKeyChangeNotifier(const Registry& registry, std::string_view key,
                                 std::unique_ptr<KeyChangeNotifier>* out);

}  // namespace kelva::platform
