#include "service/storage/cache_file_ops.h"

#include <system_error>
#include <vector>

#include "platform/text.h"

namespace kelva::storage {

using namespace platform;

Win32Error OpenFileWithRetry(Clock& clock, const fs::path& path, uint32_t access, Disposition disposition,
                             File* out, bool create_folders) {
  return RetryOpen(clock, [&]() -> Win32Error {
    if (create_folders) {
      const Win32Error e = CreateDirectoryChain(path.parent_path());
      if (e != ERROR_SUCCESS) return e;
    }
    return File::Open(path, access, disposition, out);
  });
}

Win32Error DeleteFileWithRetry(Clock& clock, const fs::path& path) {
  return RetryDelete(clock, [&] { return DeleteFile(path); });
}

Win32Error RemoveDirectoryWithRetry(Clock& clock, const fs::path& path) {
  return RetryDelete(clock, [&] { return RemoveDirectory(path); });
}

void RemoveEmptyFoldersAbove(Clock& clock, const fs::path& file) {
  fs::path folder = file.parent_path();
  while (!folder.empty() && folder.has_relative_path()) {
    const fs::path name = folder.filename();
    if (name.empty()) break;
    if (EqualNoCase(Utf8ToUtf16(name.string()), u"magazine")) break;
    const Win32Error e = RemoveDirectoryWithRetry(clock, folder);
    // A folder that is already gone lets the walk go on to the one above.
    if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) break;
    folder = folder.parent_path();
  }
}

Win32Error EmptyFolder(Clock& clock, const fs::path& folder) {
  std::vector<FindData> entries;
  const Win32Error found = FindFiles(folder, u"*", &entries);
  if (found == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;  // already empty
  if (found != ERROR_SUCCESS) return found;
  Win32Error first = ERROR_SUCCESS;
  for (const FindData& entry : entries) {
    const fs::path child = folder / entry.name;
    std::error_code ec;
    const bool is_link = fs::is_symlink(child, ec);
    Win32Error e;
    if (entry.is_directory && !is_link) {
      e = EmptyFolder(clock, child);
      const Win32Error r = RemoveDirectoryWithRetry(clock, child);
      if (e == ERROR_SUCCESS) e = r;
    } else {
      e = DeleteFileWithRetry(clock, child);
    }
    if (e == ERROR_FILE_NOT_FOUND) e = ERROR_SUCCESS;  // vanished meanwhile
    if (first == ERROR_SUCCESS) first = e;
  }
  return first;
}

Win32Error EmptyAndRemoveFolder(Clock& clock, const fs::path& folder) {
  if (!DirectoryExists(folder)) return ERROR_SUCCESS;
  const Win32Error e = EmptyFolder(clock, folder);
  const Win32Error r = RemoveDirectoryWithRetry(clock, folder);
  if (e != ERROR_SUCCESS) return e;
  return r == ERROR_FILE_NOT_FOUND || r == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : r;
}

}  // namespace kelva::storage
