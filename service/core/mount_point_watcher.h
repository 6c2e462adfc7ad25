// Follows changes of the system's mount points (the values of the registry key
// HKEY_LOCAL_MACHINE\SYSTEM\MountedDevices) and reports each burst of changes
// once, 1000 ms after its last change.
#pragma once

#include <functional>
#include <memory>

#include "platform/registry.h"
#include "platform/sync.h"

namespace kelva::core {

inline constexpr const char* kMountedDevicesKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices";
inline constexpr uint32_t kMountPointQuietMs = 1000;

class MountPointWatcher {
 public:
  // notifier reports the key's changes; on_changed is called (on the watcher's
  // thread; it should hand the work on) once per burst. stop ends Run.
  MountPointWatcher(platform::Clock& clock, platform::Event& stop, std::unique_ptr<platform::KeyChangeNotifier> notifier,
                    std::function<void()> on_changed);
  MountPointWatcher(const MountPointWatcher&) = delete;
  MountPointWatcher& operator=(const MountPointWatcher&) = delete;

  // The thread body: returns when stop is set or the notification cannot be re-armed.
  void Run();

 private:
  platform::Clock& clock_;
  platform::Event& stop_;
  platform::Event change_;
  std::unique_ptr<platform::KeyChangeNotifier> notifier_;
  std::function<void()> on_changed_;
};

}  // namespace kelva::core
