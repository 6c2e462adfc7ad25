// The namespace operations of CFsVolume: volume size, label and id; create,
// open and close of files and folders; information, listings, attribute
// changes, deletion, rename and move; the deleted-entry view.
#include "service/volume/fs_volume.h"

namespace kelva::volume {

Win32Error CFsVolume::GetVolumeSize(uint64_t*, uint64_t*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::GetVolumeLabel(std::u16string*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::SetVolumeLabel(std::u16string_view) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::GetVolumeId(uint32_t*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::CreateEntry(std::u16string_view, uint32_t, EntryRef**) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::OpenEntry(std::u16string_view, uint32_t, uint32_t, EntryRef**) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::CloseEntry(EntryRef*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::GetEntryInfo(std::u16string_view, EntryInfo*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::EnumerateEntries(EntryRef*, std::u16string_view, bool, std::unique_ptr<CEntryListing>*, bool*,
                                       ListedEntry*) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::SetEntryInfo(EntryRef*, int64_t, int64_t, int64_t, uint32_t) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::CanDeleteEntry(std::u16string_view, bool*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::DeleteEntry(std::u16string_view) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::RenameEntry(std::u16string_view, std::u16string_view) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::IsDirectoryEmpty(std::u16string_view, EntryRef*, bool*) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::EnumerateStreams(EntryRef*, std::unique_ptr<CEntryListing>*, bool*, ListedStream*) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
bool CFsVolume::SetDeletedView(bool) { return false; }

}  // namespace kelva::volume
