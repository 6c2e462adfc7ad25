// Files and folders on the computer's own disk, with the Win32 semantics the
// system relies on: creation dispositions, Win32 error results, wildcard search
// without regard to case, hard links and unique temporary names.
//
// Linux has no sharing modes: any number of File objects may have the same file
// open for reading and writing at once, so ERROR_SHARING_VIOLATION never occurs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"

namespace kelva::platform {

namespace fs = std::filesystem;

enum class Disposition {
  kCreateNew,         // fails with ERROR_FILE_EXISTS when the file exists
  kCreateAlways,      // creates or truncates
  kOpenExisting,      // fails with ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND
  kOpenAlways,        // opens or creates
  kTruncateExisting,  // opens and truncates; fails when missing
};

enum FileAccess : uint32_t { kAccessRead = 1, kAccessWrite = 2, kAccessReadWrite = 3 };

// An open file. Movable, not copyable; closes itself.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens or creates path. *existed (optional) tells whether the file was there
  // before, as ERROR_ALREADY_EXISTS does for CREATE_ALWAYS / OPEN_ALWAYS.
  static Win32Error Open(const fs::path& path, uint32_t access, Disposition disposition, File* out,
                         bool* existed = nullptr);

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close();

  // Reads or writes at the current position, which moves. *done is what was
  // transferred; a read at the end gives 0 with *done = 0.
  Win32Error Read(void* buffer, uint32_t length, uint32_t* done);
  Win32Error Write(const void* buffer, uint32_t length, uint32_t* done);
  // Positional forms; the current position does not move.
  Win32Error ReadAt(uint64_t offset, void* buffer, uint32_t length, uint32_t* done);
  Win32Error WriteAt(uint64_t offset, const void* buffer, uint32_t length, uint32_t* done);
  // Reads exactly length bytes or fails with ERROR_HANDLE_EOF.
  Win32Error ReadExactAt(uint64_t offset, void* buffer, uint32_t length);
  Win32Error WriteAllAt(uint64_t offset, const void* buffer, uint32_t length);

  Win32Error Seek(uint64_t offset);
  Win32Error Position(uint64_t* offset);
  Win32Error Size(uint64_t* size);
  // The end of the last written (not hole) byte range of a sparse file inside
  // [from, to); *end = from when the range holds only holes.
  Win32Error LastDataEnd(uint64_t from, uint64_t to, uint64_t* end);
  // Sets the size to the current position (SetEndOfFile) or to size.
  Win32Error SetEndOfFile();
  Win32Error Truncate(uint64_t size);
  Win32Error Flush();
  Win32Error LastWriteTime(FileTime* time);
  Win32Error SetLastWriteTime(FileTime time);

 private:
  int fd_ = -1;
};

// One entry of a folder search.
struct FindData {
  std::string name;  // the name on disk (UTF-8)
  bool is_directory = false;
  uint64_t size = 0;
  FileTime last_write = 0;
};

// Lists the entries of folder whose names match pattern ("*", "?", case-insensitive),
// without "." and "..", sorted by name. ERROR_PATH_NOT_FOUND when the folder is
// missing; ERROR_FILE_NOT_FOUND when nothing matches (as FindFirstFile does).
Win32Error FindFiles(const fs::path& folder, std::u16string_view pattern, std::vector<FindData>* out);

Win32Error DeleteFile(const fs::path& path);
// Removes an empty folder (ERROR_DIR_NOT_EMPTY otherwise).
Win32Error RemoveDirectory(const fs::path& path);
// ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND when the parent is missing.
Win32Error CreateDirectory(const fs::path& path);
// Creates path and every missing folder above it; success when it already exists.
Win32Error CreateDirectoryChain(const fs::path& path);
// Renames; replace_existing as MOVEFILE_REPLACE_EXISTING (else ERROR_ALREADY_EXISTS).
Win32Error MoveFile(const fs::path& from, const fs::path& to, bool replace_existing);
Win32Error CopyFile(const fs::path& from, const fs::path& to, bool fail_if_exists);
// Makes new_path a second name of existing.
Win32Error CreateHardLink(const fs::path& new_path, const fs::path& existing);
bool FileExists(const fs::path& path);
bool DirectoryExists(const fs::path& path);
Win32Error GetFileSize(const fs::path& path, uint64_t* size);
Win32Error GetLastWriteTime(const fs::path& path, FileTime* time);
Win32Error SetLastWriteTime(const fs::path& path, FileTime time);
// Reads or replaces a whole small file.
Win32Error ReadWholeFile(const fs::path& path, std::string* contents);
Win32Error WriteWholeFile(const fs::path& path, std::string_view contents);

// Creates a new empty file folder/<prefix up to 3 chars><hex>.tmp with a name not
// used before and returns its path (GetTempFileName with unique number 0).
Win32Error GetTempFileName(const fs::path& folder, std::string_view prefix, fs::path* out);

}  // namespace kelva::platform
