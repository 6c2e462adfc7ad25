// The data operations of CFsVolume: read, write, allocation and end of file,
// the per-file flush and the copy of a recorded file version.
#include "service/volume/fs_volume.h"

namespace kelva::volume {

Win32Error CFsVolume::ReadEntry(EntryRef*, int64_t, uint32_t, void*, uint32_t*) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::WriteEntry(EntryRef*, int64_t, uint32_t, const void*, uint32_t*) {
  return platform::ERROR_CALL_NOT_IMPLEMENTED;
}
Win32Error CFsVolume::SetEntryAllocation(EntryRef*, int64_t) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::SetEntryEnd(EntryRef*, int64_t) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
Win32Error CFsVolume::FlushEntry(EntryRef*) { return platform::ERROR_CALL_NOT_IMPLEMENTED; }
uint32_t CFsVolume::ExtractFileVersion(uint8_t, uint32_t, int64_t, const std::filesystem::path&) {
  return kExtractFailed;
}

}  // namespace kelva::volume
