// CCacheStore: the cache of one magazine on the computer's disk. It owns the
// folder tree "<data folder>/magazine/<magazine name>/cache" with the magazine's
// catalogs, history logs and file data, decides where each cache file lives and
// what it is called, creates, opens and deletes cache files with the retries the
// file system needs, keeps the five maps (one per kind) that translate a file's
// current identity into the identity its name was made of, and keeps snapshot
// copies of the structural files in "cache-temp", "cache-save" and "cache-prev"
// for resuming after an interruption.
//
// Results are 0 or a Win32 error code. A store that is not open (or whose map of
// the kind is not loaded) answers ERROR_ACCESS_DENIED; a kind above CK_LOG
// answers ERROR_INVALID_PARAMETER. For CK_DB the disc number is forced to 255.
// Every operation that meets ERROR_DISK_FULL tells the owner before it returns.
//
// Thread safety: cache file operations and snapshot operations may run on any
// thread at once (each map has its own lock). Open, OpenFresh and Close must be
// called while no other operation on the store is in progress.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/file.h"
#include "service/storage/cache_map.h"

namespace kelva::storage {

namespace fs = std::filesystem;
using platform::Win32Error;

// The kinds of cache file, with the values stored wherever a kind is recorded.
enum CacheKind : uint8_t {
  CK_DAT = 0,  // pieces of file content (".DAT")
  CK_DB = 1,   // the structure catalog (".DB"); its disc number is always 255
  CK_DIR = 2,  // a directory catalog (".DIR")
  CK_IND = 3,  // an extent index (".IND")
  CK_LOG = 4,  // a history log (".LOG")
};
inline constexpr uint32_t kCacheKindCount = 5;
// The disc number of the structure catalog.
inline constexpr uint8_t kStructDisc = 255;

// What the store needs from the volume that owns it.
class ICacheStoreOwner {
 public:
  virtual ~ICacheStoreOwner() = default;
  // A file operation of the store met ERROR_DISK_FULL on the computer's disk.
  virtual void ReportCacheShortage() = 0;
  // A new file number for a cache file of kind on disc, when the wanted number is
  // taken (every kind but CK_DB, which counts upward by itself).
  virtual uint32_t NewFileNumber(CacheKind kind, uint8_t disc) = 0;
};

class CCacheStore {
 public:
  // Names of the files and folders the store keeps.
  static constexpr std::string_view kResumeFileName = "resume.bin";
  static constexpr std::string_view kNewResumeFileName = "resume.new";
  static constexpr std::string_view kTempCatalogPrefix = "~db";

  // data_folder is the service's data folder (normally platform::DataFolder()).
  // owner may be null (nothing is told; no new numbers are given).
  CCacheStore(ICacheStoreOwner* owner, fs::path data_folder, platform::Clock& clock = platform::RealClock());
  // Saves and unloads any loaded map.
  ~CCacheStore();
  CCacheStore(const CCacheStore&) = delete;
  CCacheStore& operator=(const CCacheStore&) = delete;

  // ---- lifetime ----
  // Saves and unloads any loaded maps, takes the magazine name (at most 255
  // characters; a name that is empty, ".", ".." or holds "/" or NUL is refused),
  // creates the live cache folder with every missing folder above it and loads
  // the maps in the order mapdb, mapdir, mapdat, mapind, maplog, stopping at the
  // first failure. True (open) when all five loaded.
  bool Open(std::u16string_view magazine);
  // Drops the maps, deletes everything inside the live cache folder and loads the
  // maps again (they start empty). REQUIRES: a magazine name from Open.
  bool OpenFresh();
  // Saves and unloads the maps, clears the open flag, then deletes the map file
  // of each map that was empty and removes the folders left empty above it.
  // Returns the first save error.
  Win32Error Close();
  bool IsOpen() const { return open_; }

  // ---- cache files ----
  // Creates a new cache file of identity (kind, disc, *file) and piece, opened for
  // reading and writing, and enters it in the kind's map. When the identity is
  // taken: ERROR_FILE_EXISTS with fail_if_taken; a further data piece (piece != 0)
  // of the existing entry; else another number (CK_DB: the next one up; other
  // kinds: a number from the owner). *file receives the number used.
  Win32Error CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, uint32_t piece, platform::File* out,
                             bool fail_if_taken);
  // Opens the existing cache file of that identity for reading and writing;
  // ERROR_FILE_NOT_FOUND when the identity is not in the map.
  Win32Error OpenCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece, platform::File* out);
  // Deletes the file and, unless other pieces of the same data set remain, its
  // map entry; ERROR_FILE_NOT_FOUND when not in the map. A file that is already
  // gone counts as deleted.
  Win32Error DeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece);
  // Marks the entry for deferred deletion: ERROR_ALREADY_EXISTS when marked
  // already, ERROR_FILE_NOT_FOUND when absent.
  Win32Error MarkForDeletion(CacheKind kind, uint8_t disc, uint32_t file);
  // True when the directory catalog's entry (CK_DIR) is marked; false otherwise,
  // also when the store is not open.
  bool IsMarked(uint8_t disc, uint32_t file);
  // Removes every marked entry of the kind and deletes its file (for CK_DAT every
  // piece of the data set). Returns the first deletion error; goes on past it.
  Win32Error PurgeMarked(CacheKind kind);
  // Moves a map entry to a new key, keeping its value: the file keeps its name.
  // ERROR_FILE_EXISTS when the new key is taken, ERROR_FILE_NOT_FOUND when the old
  // one is absent; the map is unchanged then.
  Win32Error ReKey(CacheKind kind, uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file);
  // Every map's changes are told to log (see CCacheMap::SetLog); an empty log stops it.
  void SetMapLog(std::function<void(CacheKind, const CacheMapChange&)> log);
  // Makes a logged change again (see CCacheMap::Apply).
  void ApplyMapChange(CacheKind kind, const CacheMapChange& change);
  // Writes every map's file while the cache stays in use (see
  // CCacheMap::Checkpoint); then(kind) runs under that map's lock once its file
  // is written. The first error, after trying every map.
  Win32Error CheckpointMaps(const std::function<void(CacheKind)>& then);
  // The full path of the cache file of that identity; false when not in the map.
  bool CacheFilePath(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece, fs::path* out);
  // Size of the directory catalog's file; 0 when absent.
  uint64_t DirCatalogSize(uint8_t disc, uint32_t file);
  // Size of any file.
  Win32Error FileSize(const fs::path& path, uint64_t* size);
  // Creates a new empty file named "~db<hex>.tmp" in the live cache; *out gets its
  // full path. Pass out->filename() to DeleteNamedFile.
  Win32Error NewTempCatalogName(fs::path* out);
  // Deletes the file of that name in the live cache folder and removes the folders
  // left empty above it. ERROR_INVALID_PARAMETER for a name that is not a plain
  // file name.
  Win32Error DeleteNamedFile(std::string_view name);
  // Creates "resume.new" in the live cache, open for reading and writing (an
  // unfinished one left by a crash is replaced). CommitResumeFile puts it in
  // place of "resume.bin" with one rename, so that a crash while it is being
  // written leaves the previous resume file whole; DiscardResumeFile deletes
  // an unfinished one.
  Win32Error CreateResumeFile(platform::File* out);
  Win32Error CommitResumeFile();
  Win32Error DiscardResumeFile();

  // ---- snapshots ----
  // Empties "cache-temp" (creating it as needed) and creates "resume.bin" in it,
  // returned open for reading and writing.
  Win32Error BeginSnapshot(platform::File* out);
  // Places a copy of the live file of (kind, disc, file) in "cache-temp", under the
  // flat name of that identity: a hard link to the copy in "cache-save" when that
  // has the same last-write time and size, else a copy in 64 KiB chunks keeping
  // the last-write time. Only CK_DB and CK_DIR (else ERROR_INVALID_PARAMETER).
  Win32Error AddToSnapshot(CacheKind kind, uint8_t disc, uint32_t file);
  // Rotates "cache-temp" into "cache-save" (the old one passes through
  // "cache-prev" and is removed). Succeeds with no previous "cache-save".
  Win32Error CommitSnapshot();
  // Empties and removes "cache-temp".
  Win32Error AbortSnapshot();
  // Moves the file of (kind, disc, file) from "cache-save" into the live cache
  // under the name built from that identity and enters the identity map entry.
  // Only CK_DB and CK_DIR.
  Win32Error RestoreFromSnapshot(CacheKind kind, uint8_t disc, uint32_t file);
  // Empties and removes "cache-save", "cache-temp" and "cache-prev".
  Win32Error DropSnapshots();

  // ---- names and paths ----
  // The name of a cache file relative to the live cache folder ("/" separated).
  static std::string CacheFileName(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece);
  // The flat name of a catalog in the snapshot folders.
  static std::string SnapshotFileName(CacheKind kind, uint8_t disc, uint32_t file);
  static std::string_view Extension(CacheKind kind);
  static std::string_view MapFileName(CacheKind kind);

  fs::path MagazineFolder() const;  // <data>/magazine/<name>
  fs::path CacheFolder() const;     // .../cache
  fs::path TempFolder() const;      // .../cache-temp
  fs::path SaveFolder() const;      // .../cache-save
  fs::path PrevFolder() const;      // .../cache-prev
  fs::path LiveResumePath() const { return CacheFolder() / kResumeFileName; }
  fs::path SnapshotResumePath() const { return SaveFolder() / kResumeFileName; }

  // The map of a kind (for the volume's diagnostics and for tests).
  CCacheMap& Map(CacheKind kind) { return *maps_[kind]; }
  platform::Clock& clock() { return clock_; }

 private:
  // The kind's map, or null with *error set.
  CCacheMap* MapFor(CacheKind kind, Win32Error* error);
  Win32Error Report(Win32Error e);
  bool LoadMaps();
  Win32Error CopyToSnapshot(const fs::path& from, const fs::path& to);
  Win32Error DeletePieces(uint8_t value_disc, uint32_t value_file);

  ICacheStoreOwner* owner_;
  fs::path data_folder_;
  platform::Clock& clock_;
  std::atomic<bool> open_{false};
  std::array<std::unique_ptr<CCacheMap>, kCacheKindCount> maps_;
  std::u16string magazine_;
};

}  // namespace kelva::storage
