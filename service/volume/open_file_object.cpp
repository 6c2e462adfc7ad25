#include "service/volume/open_file_object.h"

namespace kelva::volume {

platform::Win32Error COpenFileObject::WriteBack(bool) {
  // Recording is a run of engine requests on one disc file in progress; the
  // I/O lock keeps other threads' requests (which would close that file) out
  // until the run is over.
  if (recorder_ != nullptr) recorder_->LockIo();
  const platform::Win32Error e = file_->Record();
  if (recorder_ != nullptr) recorder_->UnlockIo();
  // Record answers 1237 both for "nothing to record" and for a segment that
  // stayed busy; only the second is worth another try.
  if (e == 1237 && !file_->content_changed()) return 0;
  return e;
}

}  // namespace kelva::volume
