#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelva::platform {

bool RaiseThreadPriority() {
  // Under Linux the nice value belongs to the thread named by its id.
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  return ::setpriority(PRIO_PROCESS, tid, -10) == 0;
}

}  // namespace kelva::platform
