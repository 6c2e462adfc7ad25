// IOpenFile: what the volume's tables and background writer ask of an open file
// object. The file object of a volume implements it; the volume keeps one
// FileRef per open file and calls these from the writer and at close.
#pragma once

#include "platform/errors.h"
#include "service/storage/data_stream.h"

namespace kelva::volume {

class IOpenFile {
 public:
  virtual ~IOpenFile() = default;
  // Writes the object's changes into the cache (and, in close mode, releases
  // what only an open file needs). 0, 1237 to be retried later, or an error.
  virtual platform::Win32Error WriteBack(bool close_mode) = 0;
  // True when the object may be evicted now (no open handle in the host).
  virtual bool AgreesToEvict() = 0;
  // Finishes work queued for when the file closes.
  virtual void FinishPendingClose() = 0;
  // True while the object holds data not yet written to the discs.
  virtual bool HasUnwrittenData() = 0;
  // True while the host has the file open.
  virtual bool IsOpenInHost() = 0;
  // At close, cut the entry's size and allocation back to its end of file.
  virtual void SetTrimAtClose() = 0;
  // closes discs have been closed so far (IFsVolume::DiscCloses).
  virtual void DiscClosed(uint64_t /*closes*/) {}
  // True while what the object recorded waits for its disc to be closed.
  virtual bool AwaitsDiscClose() { return false; }
  // What the object recorded since the last disc close may be lost (the
  // disc was not closed): it is to be recorded again.
  virtual void RecordAgain() {}
  // The object's resume records (the live resume file). Objects that cannot be
  // resumed answer ERROR_NOT_SUPPORTED.
  virtual platform::Win32Error SaveState(storage::IDataStream& /*stream*/) { return platform::ERROR_NOT_SUPPORTED; }
  virtual platform::Win32Error LoadState(storage::IDataStream& /*stream*/) { return platform::ERROR_NOT_SUPPORTED; }
};

}  // namespace kelva::volume
