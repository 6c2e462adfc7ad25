// UdfFile: an open file of a mounted UdfFileSystem. Reads and writes work at an
// explicit offset (ReadAt / WriteAt) or at the handle's own position (Read /
// Write, which advance it; Seek moves it). Data written goes to the disc at once;
// the file entry is written back when the file system flushes.
//
// A handle must not outlive its file system. Calls on one handle may come from
// several threads; the file system's lock serialises them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/errors.h"
#include "platform/filetime.h"
#include "platform/udf/udf_node.h"

namespace kelva::udf {

class UdfFileSystem;
struct UdfFileInfo;

class UdfFile {
 public:
  UdfFile(const UdfFile&) = delete;
  UdfFile& operator=(const UdfFile&) = delete;
  ~UdfFile();  // closes

  // Reads up to `length` bytes at `offset`; *done is less than length only at the
  // end of the file (0 at or past it).
  platform::Win32Error ReadAt(uint64_t offset, void* buf, size_t length, size_t* done);
  // Writes `length` bytes at `offset`, growing the file as needed (a gap before
  // offset reads as zeros). 19 for a handle opened for reading; 112 when the disc
  // is full (nothing of this call is written then).
  platform::Win32Error WriteAt(uint64_t offset, const void* buf, size_t length);
  platform::Win32Error Read(void* buf, size_t length, size_t* done);
  platform::Win32Error Write(const void* buf, size_t length, size_t* done);
  void Seek(uint64_t position) { position_ = position; }
  uint64_t Position() const { return position_; }

  // Cuts the file back (or extends it with zeros) to `size` bytes.
  platform::Win32Error SetEndOfFile(uint64_t size);
  uint64_t Size();
  platform::Win32Error GetInfo(UdfFileInfo* info);
  // Sets the times that are not 0.
  platform::Win32Error SetTimes(platform::FileTime creation, platform::FileTime last_access,
                                platform::FileTime last_write);
  platform::Win32Error Close();

 private:
  friend class UdfFileSystem;
  UdfFile(UdfFileSystem* fs, std::shared_ptr<UdfNode> node, bool writable)
      : fs_(fs), node_(std::move(node)), writable_(writable) {}

  UdfFileSystem* fs_;
  std::shared_ptr<UdfNode> node_;
  bool writable_;
  bool modified_ = false;
  uint64_t position_ = 0;
};

}  // namespace kelva::udf
