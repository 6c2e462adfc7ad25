// CVolumeEvents: the host's file system requests on a unit's drive, passed to
// the mounted volume. Each handler borrows the volume for the call (error 21,
// ERROR_NOT_READY, when none is mounted), translates its arguments, calls the
// volume's operation and returns its Win32 result unchanged, except that a
// full magazine (112) is "cannot make" (82) for the file managers, so that
// they show a plain refusal instead of offering to free space.
//
// The open context the host keeps for an open file or folder is the volume's
// EntryRef. Thread safe: the volume serialises what needs it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/fshost/fs_event_handler.h"
#include "service/volume/volume_slot.h"

namespace kelva::volume {

using platform::Win32Error;

class CVolumeEvents : public platform::IFsEventHandler {
 public:
  // file_managers: image names that get 82 for 112 on create; on_ejected:
  // called (on a host thread) when the mount was removed from outside.
  CVolumeEvents(VolumeSlot* slot, std::vector<std::string> file_managers, std::function<void()> on_ejected)
      : slot_(slot), file_managers_(std::move(file_managers)), on_ejected_(std::move(on_ejected)) {}

  // The error a create that failed with code gives the process whose
  // executable is image_path.
  Win32Error CreateErrorFor(Win32Error code, std::string_view image_path) const;

  Win32Error OnCreateFile(std::u16string_view path, uint32_t attributes, platform::FsContext* context) override;
  Win32Error OnCreateDirectory(std::u16string_view path) override;
  Win32Error OnOpenFile(std::u16string_view path, bool write, platform::FsContext* context) override;
  Win32Error OnOpenDirectory(std::u16string_view path, platform::FsContext* context) override;
  void OnCloseFile(platform::FsContext context) override;
  void OnCloseDirectory(platform::FsContext context) override;
  Win32Error OnGetFileInfo(std::u16string_view path, platform::FsContext context,
                           platform::FsFileInfo* info) override;
  Win32Error OnEnumerateDirectory(std::u16string_view path, platform::FsContext context,
                                  const std::function<bool(const platform::FsDirEntry&)>& add) override;
  Win32Error OnReadFile(platform::FsContext context, uint64_t offset, void* buffer, size_t length,
                        size_t* done) override;
  Win32Error OnWriteFile(platform::FsContext context, uint64_t offset, const void* data, size_t length,
                         size_t* done) override;
  Win32Error OnSetEndOfFile(std::u16string_view path, platform::FsContext context, uint64_t size) override;
  Win32Error OnSetAllocationSize(platform::FsContext context, uint64_t size) override;
  Win32Error OnSetTimes(std::u16string_view path, platform::FsContext context, const platform::FsTimes& times) override;
  Win32Error OnSetAttributes(std::u16string_view path, uint32_t attributes) override;
  Win32Error OnDeleteFile(std::u16string_view path) override;
  Win32Error OnDeleteDirectory(std::u16string_view path) override;
  Win32Error OnRename(std::u16string_view old_path, std::u16string_view new_path, bool replace) override;
  Win32Error OnGetVolumeSize(uint64_t* total_bytes, uint64_t* free_bytes) override;
  Win32Error OnFlushFile(platform::FsContext context) override;
  Win32Error OnSyncFile(platform::FsContext context, bool data_only) override;
  Win32Error OnSyncDirectory(platform::FsContext context) override;
  Win32Error OnEnumerateStreams(std::u16string_view path, std::vector<std::u16string>* names) override;
  Win32Error OnReadStream(std::u16string_view path, std::u16string_view name, std::string* data) override;
  Win32Error OnWriteStream(std::u16string_view path, std::u16string_view name, std::string_view data,
                           bool create_only, bool replace_only) override;
  Win32Error OnDeleteStream(std::u16string_view path, std::u16string_view name) override;
  void OnStorageEjected() override;

 private:
  VolumeSlot* const slot_;
  const std::vector<std::string> file_managers_;
  const std::function<void()> on_ejected_;
};

}  // namespace kelva::volume
