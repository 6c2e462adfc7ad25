#include "platform/udf/udf_file.h"

#include "platform/udf/fs_util.h"
#include "platform/udf/udf_file_system.h"

namespace kelva::udf {

using platform::Win32Error;
namespace pe = platform;

UdfFile::~UdfFile() { Close(); }

Win32Error UdfFile::Close() {
  if (!fs_) return pe::ERROR_SUCCESS;
  std::lock_guard lk(fs_->mu_);
  --node_->openCount;
  --fs_->openFiles_;
  fs_ = nullptr;
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFile::ReadAt(uint64_t offset, void* buf, size_t length, size_t* done) {
  *done = 0;
  if (!fs_) return pe::ERROR_INVALID_HANDLE;
  std::lock_guard lk(fs_->mu_);
  if (Win32Error e = fs_->Usable()) return e;
  return fs_->ReadFile(node_.get(), offset, buf, length, done);
}

Win32Error UdfFile::WriteAt(uint64_t offset, const void* buf, size_t length) {
  if (!fs_) return pe::ERROR_INVALID_HANDLE;
  if (!writable_) return pe::ERROR_ACCESS_DENIED;
  std::lock_guard lk(fs_->mu_);
  if (node_->deleted) return pe::ERROR_FILE_NOT_FOUND;
  return fs_->WriteFile(node_.get(), offset, buf, length);
}

Win32Error UdfFile::Read(void* buf, size_t length, size_t* done) {
  const Win32Error e = ReadAt(position_, buf, length, done);
  position_ += *done;
  return e;
}

Win32Error UdfFile::Write(const void* buf, size_t length, size_t* done) {
  *done = 0;
  const Win32Error e = WriteAt(position_, buf, length);
  if (e == pe::ERROR_SUCCESS) {
    *done = length;
    position_ += length;
  }
  return e;
}

Win32Error UdfFile::SetEndOfFile(uint64_t size) {
  if (!fs_) return pe::ERROR_INVALID_HANDLE;
  if (!writable_) return pe::ERROR_ACCESS_DENIED;
  std::lock_guard lk(fs_->mu_);
  if (node_->deleted) return pe::ERROR_FILE_NOT_FOUND;
  return fs_->Truncate(node_.get(), size);
}

uint64_t UdfFile::Size() {
  if (!fs_) return 0;
  std::lock_guard lk(fs_->mu_);
  return node_->Size();
}

Win32Error UdfFile::GetInfo(UdfFileInfo* info) {
  if (!fs_) return pe::ERROR_INVALID_HANDLE;
  std::lock_guard lk(fs_->mu_);
  if (Win32Error e = fs_->Usable()) return e;
  fs_->FillInfo(*node_, 0, info);
  return pe::ERROR_SUCCESS;
}

Win32Error UdfFile::SetTimes(platform::FileTime creation, platform::FileTime last_access,
                             platform::FileTime last_write) {
  if (!fs_) return pe::ERROR_INVALID_HANDLE;
  if (!writable_) return pe::ERROR_ACCESS_DENIED;
  std::lock_guard lk(fs_->mu_);
  if (Win32Error e = fs_->BeginChange()) return e;
  FileEntry& fe = node_->fe;
  if (creation) fe.creationTime = TimestampFromFileTime(creation);
  if (last_access) fe.accessTime = TimestampFromFileTime(last_access);
  if (last_write) fe.modificationTime = TimestampFromFileTime(last_write);
  fe.attributeTime = TimestampFromFileTime(fs_->clock_->Now());
  node_->dirty = true;
  return pe::ERROR_SUCCESS;
}

}  // namespace kelva::udf
