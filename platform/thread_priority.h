// Thread priority: a thread that serialises slow device work (the disc engine's
// worker) runs ahead of the rest of the process where the system allows it.
#pragma once

namespace kelva::platform {

// Raises the calling thread to the highest priority an unprivileged program
// may not take (nice -10 under Linux; the service runs as root). False, with
// the priority unchanged, when the system refuses.
bool RaiseThreadPriority();

}  // namespace kelva::platform
