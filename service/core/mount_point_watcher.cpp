#include "service/core/mount_point_watcher.h"

#include "platform/log.h"

namespace kelva::core {

using namespace kelva::platform;

MountPointWatcher::MountPointWatcher(Clock& clock, Event& stop, std::unique_ptr<KeyChangeNotifier> notifier,
                                     std::function<void()> on_changed)
    : clock_(clock), stop_(stop), change_(true, false, clock), notifier_(std::move(notifier)),
      on_changed_(std::move(on_changed)) {}

void MountPointWatcher::Run() {
  if (!notifier_ || notifier_->Arm(&change_)) {
    KLOG_WARN("mount point watcher: cannot watch %s", kMountedDevicesKey);
    return;
  }
  KLOG_DEBUG("mount point watcher: started");
  for (;;) {
    // Step 1: wait for the first change of a burst.
    if (WaitForAny({&stop_, &change_}, kInfinite) == 0) break;
    // The quiet period counts from when the change was seen; it is fixed before
    // re-arming so that nothing after the re-arm can move it.
    uint64_t deadline = clock_.NowMs() + kMountPointQuietMs;
    change_.Reset();
    if (notifier_->Arm(&change_)) {
      KLOG_WARN("mount point watcher: cannot re-arm the notification");
      return;
    }
    // Step 2: every further change restarts the quiet period.
    bool stopped = false;
    for (;;) {
      const uint64_t now = clock_.NowMs();
      const uint32_t wait = deadline > now ? static_cast<uint32_t>(deadline - now) : 0;
      const int r = WaitForAny({&stop_, &change_}, wait);
      if (r == 0) {
        stopped = true;
        break;
      }
      if (r == 1) {
        deadline = clock_.NowMs() + kMountPointQuietMs;
        change_.Reset();
        if (notifier_->Arm(&change_)) {
          KLOG_WARN("mount point watcher: cannot re-arm the notification");
          return;
        }
        continue;
      }
      KLOG_INFO("mount points changed");
      on_changed_();
      break;
    }
    if (stopped) break;
  }
  KLOG_DEBUG("mount point watcher: ended");
}

}  // namespace kelva::core
