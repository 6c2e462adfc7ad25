#include "service/storage/cache_store.h"

#include <cstdio>
#include <vector>

#include "platform/log.h"
#include "platform/text.h"
#include "service/storage/cache_file_ops.h"
#include "service/storage/catalog_db.h"

namespace kelva::storage {

using namespace platform;

namespace {

constexpr size_t kMaxMagazineName = 255;
constexpr uint32_t kCopyChunk = 65536;
// How often CreateCacheFile asks for another number before it gives up; only an
// owner that keeps answering taken numbers gets this far.
constexpr uint32_t kMaxNumberAttempts = 1u << 20;

// (d << 30) | f as 32 bits: the low part of the nine-digit name.
uint32_t NameLow(uint8_t disc, uint32_t file) { return (static_cast<uint32_t>(disc) << 30) | file; }

std::string Format(const char* format, auto... args) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

CCacheStore::CCacheStore(ICacheStoreOwner* owner, fs::path data_folder, Clock& clock)
    : owner_(owner), data_folder_(std::move(data_folder)), clock_(clock) {
  for (auto& map : maps_) map = std::make_unique<CCacheMap>(clock_);
}

CCacheStore::~CCacheStore() {
  for (auto& map : maps_) Report(map->Save());
}

std::string_view CCacheStore::Extension(CacheKind kind) {
  switch (kind) {
    case CK_DAT: return ".DAT";
    case CK_DB: return ".DB";
    case CK_DIR: return ".DIR";
    case CK_IND: return ".IND";
    case CK_LOG: return ".LOG";
  }
  return "";
}

std::string_view CCacheStore::MapFileName(CacheKind kind) {
  switch (kind) {
    case CK_DAT: return "mapdat.bin";
    case CK_DB: return "mapdb.bin";
    case CK_DIR: return "mapdir.bin";
    case CK_IND: return "mapind.bin";
    case CK_LOG: return "maplog.bin";
  }
  return "";
}

std::string CCacheStore::CacheFileName(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece) {
  if (kind == CK_DB) return Format("STRUCT/%04u/%07u.DB", file / 1000, file);
  std::string name = Format("%03X/%03X/%X%08X", (file >> 20) & 0x3FF, (file >> 10) & 0x3FF, (disc >> 2) & 0xF,
                            NameLow(disc, file));
  if (kind == CK_DAT) name += Format("%08X", piece);
  name += Extension(kind);
  return name;
}

std::string CCacheStore::SnapshotFileName(CacheKind kind, uint8_t disc, uint32_t file) {
  if (kind == CK_DB) return Format("%07u.DB", file);
  return Format("%X%08X", (disc >> 2) & 0xF, NameLow(disc, file)) + std::string(Extension(kind));
}

fs::path CCacheStore::MagazineFolder() const { return data_folder_ / "magazine" / Utf16ToUtf8(magazine_); }
fs::path CCacheStore::CacheFolder() const { return MagazineFolder() / "cache"; }
fs::path CCacheStore::TempFolder() const { return MagazineFolder() / "cache-temp"; }
fs::path CCacheStore::SaveFolder() const { return MagazineFolder() / "cache-save"; }
fs::path CCacheStore::PrevFolder() const { return MagazineFolder() / "cache-prev"; }

Win32Error CCacheStore::Report(Win32Error e) {
  if (e == ERROR_DISK_FULL && owner_) owner_->ReportCacheShortage();
  return e;
}

CCacheMap* CCacheStore::MapFor(CacheKind kind, Win32Error* error) {
  if (kind >= kCacheKindCount) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (!open_ || !maps_[kind]->IsLoaded()) {
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return maps_[kind].get();
}

// ---- lifetime ----

bool CCacheStore::LoadMaps() {
  static constexpr CacheKind kOrder[] = {CK_DB, CK_DIR, CK_DAT, CK_IND, CK_LOG};
  for (CacheKind kind : kOrder) {
    const fs::path path = CacheFolder() / MapFileName(kind);
    const Win32Error e = Report(maps_[kind]->Load(path));
    if (e != ERROR_SUCCESS) {
      KLOG_ERROR("cache map %s of magazine %s not loaded: %u (%s)", path.c_str(), Utf16ToUtf8(magazine_).c_str(),
                 e, ErrorText(e).c_str());
      return false;
    }
  }
  open_ = true;
  return true;
}

bool CCacheStore::Open(std::u16string_view magazine) {
  open_ = false;
  // Maps still loaded are dropped, not saved: only Close and Destroy write
  // them back, so the map files keep describing the cache as of its last close.
  for (auto& map : maps_) map->Unload();
  const std::u16string name(magazine.substr(0, kMaxMagazineName));
  const std::string utf8 = Utf16ToUtf8(name);
  if (!IsPlainName(utf8)) {
    KLOG_ERROR("cache store: magazine name \"%s\" cannot name a folder", utf8.c_str());
    return false;
  }
  magazine_ = name;
  const Win32Error e = Report(CreateDirectoryChain(CacheFolder()));
  if (e != ERROR_SUCCESS) {
    KLOG_ERROR("cache folder %s not created: %u (%s)", CacheFolder().c_str(), e, ErrorText(e).c_str());
    return false;
  }
  return LoadMaps();
}

bool CCacheStore::OpenFresh() {
  for (auto& map : maps_) map->Unload();
  open_ = false;
  if (magazine_.empty()) return false;
  const Win32Error e = Report(EmptyFolder(clock_, CacheFolder()));
  if (e != ERROR_SUCCESS && e != ERROR_PATH_NOT_FOUND) {
    KLOG_WARN("cache folder %s not fully emptied: %u (%s)", CacheFolder().c_str(), e, ErrorText(e).c_str());
  }
  if (Report(CreateDirectoryChain(CacheFolder())) != ERROR_SUCCESS) return false;
  return LoadMaps();
}

Win32Error CCacheStore::Close() {
  std::array<bool, kCacheKindCount> empty{};
  for (uint32_t k = 0; k < kCacheKindCount; ++k) empty[k] = maps_[k]->IsLoaded() && maps_[k]->IsEmpty();
  Win32Error first = ERROR_SUCCESS;
  for (auto& map : maps_) {
    const Win32Error e = Report(map->Save());
    if (first == ERROR_SUCCESS) first = e;
  }
  open_ = false;
  for (uint32_t k = 0; k < kCacheKindCount; ++k) {
    if (!empty[k]) continue;
    const fs::path& path = maps_[k]->path();
    DeleteFileWithRetry(clock_, path);
    RemoveEmptyFoldersAbove(clock_, path);
  }
  return first;
}

// ---- cache files ----

Win32Error CCacheStore::CreateCacheFile(CacheKind kind, uint8_t disc, uint32_t* file, uint32_t piece, File* out,
                                        bool fail_if_taken) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  if (kind == CK_DB) disc = kStructDisc;
  uint32_t number = *file;
  fs::path path;
  bool inserted = false;
  for (uint32_t attempt = 0;; ++attempt) {
    e = map->Insert(disc, number, disc, number);
    if (e == ERROR_SUCCESS) {
      inserted = true;
      path = CacheFolder() / CacheFileName(kind, disc, number, piece);
      break;
    }
    if (e != ERROR_FILE_EXISTS) return Report(e);
    if (fail_if_taken) return ERROR_FILE_EXISTS;
    if (piece != 0) {
      // A further piece of an existing data set: named after the entry's value.
      uint8_t value_disc;
      uint32_t value_file;
      e = map->Lookup(disc, number, &value_disc, &value_file);
      if (e != ERROR_SUCCESS) return e;
      path = CacheFolder() / CacheFileName(kind, value_disc, value_file, piece);
      break;
    }
    if (attempt >= kMaxNumberAttempts) return ERROR_FILE_EXISTS;
    if (kind == CK_DB) {
      ++number;
    } else {
      if (!owner_) return ERROR_FILE_EXISTS;
      number = owner_->NewFileNumber(kind, disc);
    }
  }
  e = OpenFileWithRetry(clock_, path, kAccessReadWrite, Disposition::kCreateNew, out);
  if (e == ERROR_PATH_NOT_FOUND) {
    e = CreateDirectoryChain(path.parent_path());
    if (e == ERROR_SUCCESS) e = OpenFileWithRetry(clock_, path, kAccessReadWrite, Disposition::kCreateNew, out);
  }
  if (e != ERROR_SUCCESS) {
    if (inserted) map->Remove(disc, number);
    return Report(e);
  }
  *file = number;
  return ERROR_SUCCESS;
}

bool CCacheStore::CacheFilePath(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece, fs::path* out) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return false;
  if (kind == CK_DB) disc = kStructDisc;
  uint8_t value_disc;
  uint32_t value_file;
  if (map->Lookup(disc, file, &value_disc, &value_file) != ERROR_SUCCESS) return false;
  *out = CacheFolder() / CacheFileName(kind, value_disc, value_file, piece);
  return true;
}

Win32Error CCacheStore::OpenCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece, File* out) {
  Win32Error e = ERROR_SUCCESS;
  if (!MapFor(kind, &e)) return e;
  fs::path path;
  if (!CacheFilePath(kind, disc, file, piece, &path)) return ERROR_FILE_NOT_FOUND;
  return Report(OpenFileWithRetry(clock_, path, kAccessReadWrite, Disposition::kOpenExisting, out));
}

Win32Error CCacheStore::DeleteCacheFile(CacheKind kind, uint8_t disc, uint32_t file, uint32_t piece) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  if (kind == CK_DB) disc = kStructDisc;
  uint8_t value_disc;
  uint32_t value_file;
  if ((e = map->Lookup(disc, file, &value_disc, &value_file)) != ERROR_SUCCESS) return e;
  const fs::path path = CacheFolder() / CacheFileName(kind, value_disc, value_file, piece);
  // The catalog changes that made the file unnecessary reach the disk first;
  // when they cannot, the file stays (a file too many costs only room).
  if (CCatalogDb::SyncPendingCommits() != 0) return ERROR_WRITE_FAULT;
  e = DeleteFileWithRetry(clock_, path);
  if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) return Report(e);
  if (kind == CK_DAT) {
    // Other pieces of the same data set keep the entry alive.
    const std::string base = Format("%X%08X*.DAT", (value_disc >> 2) & 0xF, NameLow(value_disc, value_file));
    std::vector<FindData> found;
    if (FindFiles(path.parent_path(), Utf8ToUtf16(base), &found) == ERROR_SUCCESS) return ERROR_SUCCESS;
  }
  map->Remove(disc, file);
  RemoveEmptyFoldersAbove(clock_, path);
  return ERROR_SUCCESS;
}

Win32Error CCacheStore::MarkForDeletion(CacheKind kind, uint8_t disc, uint32_t file) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  if (kind == CK_DB) disc = kStructDisc;
  return map->SetMark(disc, file, true);
}

bool CCacheStore::IsMarked(uint8_t disc, uint32_t file) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(CK_DIR, &e);
  bool marked = false;
  return map && map->GetMark(disc, file, &marked) == ERROR_SUCCESS && marked;
}

Win32Error CCacheStore::DeletePieces(uint8_t value_disc, uint32_t value_file) {
  const fs::path first = CacheFolder() / CacheFileName(CK_DAT, value_disc, value_file, 0);
  const fs::path folder = first.parent_path();
  const std::string base = Format("%X%08X*.DAT", (value_disc >> 2) & 0xF, NameLow(value_disc, value_file));
  std::vector<FindData> found;
  FindFiles(folder, Utf8ToUtf16(base), &found);
  Win32Error result = ERROR_SUCCESS;
  for (const FindData& piece : found) {
    const Win32Error e = DeleteFileWithRetry(clock_, folder / piece.name);
    if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS) result = e;
  }
  if (result == ERROR_SUCCESS) RemoveEmptyFoldersAbove(clock_, first);
  return result;
}

Win32Error CCacheStore::PurgeMarked(CacheKind kind) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  Win32Error result = ERROR_SUCCESS;
  CacheMapEntry entry;
  // The catalog changes that made the files unnecessary reach the disk first;
  // when they cannot, the files stay marked for a later purge.
  if (CCatalogDb::SyncPendingCommits() != 0) return ERROR_WRITE_FAULT;
  // FirstMarked releases the map's read lock before Remove takes the write lock.
  while (map->FirstMarked(&entry)) {
    if (map->Remove(entry.key_disc, entry.key_file) != ERROR_SUCCESS) continue;
    if (kind == CK_DAT) {
      // Every piece of the data set goes, not only the first.
      e = DeletePieces(entry.value_disc, entry.value_file);
    } else {
      const fs::path path = CacheFolder() / CacheFileName(kind, entry.value_disc, entry.value_file, 0);
      e = DeleteFileWithRetry(clock_, path);
      if (e == ERROR_SUCCESS) RemoveEmptyFoldersAbove(clock_, path);
    }
    if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS) result = Report(e);
  }
  return result;
}

Win32Error CCacheStore::ReKey(CacheKind kind, uint8_t old_disc, uint32_t old_file, uint8_t new_disc,
                              uint32_t new_file) {
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  if (kind == CK_DB) old_disc = new_disc = kStructDisc;
  return map->ReKey(old_disc, old_file, new_disc, new_file);
}

void CCacheStore::SetMapLog(std::function<void(CacheKind, const CacheMapChange&)> log) {
  for (uint32_t k = 0; k < kCacheKindCount; ++k) {
    if (!log) {
      maps_[k]->SetLog(nullptr);
      continue;
    }
    maps_[k]->SetLog([log, k](const CacheMapChange& change) { log(static_cast<CacheKind>(k), change); });
  }
}

void CCacheStore::ApplyMapChange(CacheKind kind, const CacheMapChange& change) {
  Win32Error e = ERROR_SUCCESS;
  if (CCacheMap* map = MapFor(kind, &e)) map->Apply(change);
}

Win32Error CCacheStore::CheckpointMaps(const std::function<void(CacheKind)>& then) {
  if (!open_) return ERROR_ACCESS_DENIED;
  Win32Error first = ERROR_SUCCESS;
  for (uint32_t k = 0; k < kCacheKindCount; ++k) {
    const auto kind = static_cast<CacheKind>(k);
    const Win32Error e = Report(maps_[k]->Checkpoint([&] { then(kind); }));
    if (first == ERROR_SUCCESS) first = e;
  }
  return first;
}

uint64_t CCacheStore::DirCatalogSize(uint8_t disc, uint32_t file) {
  fs::path path;
  uint64_t size = 0;
  if (!CacheFilePath(CK_DIR, disc, file, 0, &path)) return 0;
  return GetFileSize(path, &size) == ERROR_SUCCESS ? size : 0;
}

Win32Error CCacheStore::FileSize(const fs::path& path, uint64_t* size) { return GetFileSize(path, size); }

Win32Error CCacheStore::NewTempCatalogName(fs::path* out) {
  if (!open_) return ERROR_ACCESS_DENIED;
  Win32Error e = CreateDirectoryChain(CacheFolder());
  if (e == ERROR_SUCCESS) e = GetTempFileName(CacheFolder(), kTempCatalogPrefix, out);
  return Report(e);
}

Win32Error CCacheStore::DeleteNamedFile(std::string_view name) {
  if (!open_) return ERROR_ACCESS_DENIED;
  if (!IsPlainName(name)) return ERROR_INVALID_PARAMETER;
  const fs::path path = CacheFolder() / name;
  const Win32Error e = DeleteFileWithRetry(clock_, path);
  RemoveEmptyFoldersAbove(clock_, path);
  return Report(e);
}

Win32Error CCacheStore::CreateResumeFile(File* out) {
  if (!open_) return ERROR_ACCESS_DENIED;
  return Report(OpenFileWithRetry(clock_, CacheFolder() / kNewResumeFileName, kAccessReadWrite,
                                  Disposition::kCreateAlways, out, true));
}

Win32Error CCacheStore::CommitResumeFile() {
  if (!open_) return ERROR_ACCESS_DENIED;
  return Report(MoveFile(CacheFolder() / kNewResumeFileName, LiveResumePath(), true));
}

Win32Error CCacheStore::DiscardResumeFile() {
  if (!open_) return ERROR_ACCESS_DENIED;
  const Win32Error e = DeleteFileWithRetry(clock_, CacheFolder() / kNewResumeFileName);
  return Report(e == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : e);
}

// ---- snapshots ----

Win32Error CCacheStore::BeginSnapshot(File* out) {
  if (!open_) return ERROR_ACCESS_DENIED;
  const fs::path temp = TempFolder();
  Win32Error e = EmptyFolder(clock_, temp);
  if (e == ERROR_PATH_NOT_FOUND) e = ERROR_SUCCESS;
  if (e == ERROR_SUCCESS) e = CreateDirectoryChain(temp);
  if (e == ERROR_SUCCESS) {
    e = OpenFileWithRetry(clock_, temp / kResumeFileName, kAccessReadWrite, Disposition::kCreateNew, out, true);
  }
  return Report(e);
}

Win32Error CCacheStore::CopyToSnapshot(const fs::path& from, const fs::path& to) {
  File source;
  Win32Error e = OpenFileWithRetry(clock_, from, kAccessRead, Disposition::kOpenExisting, &source);
  if (e != ERROR_SUCCESS) return e;
  File target;
  e = OpenFileWithRetry(clock_, to, kAccessWrite, Disposition::kCreateAlways, &target);
  if (e != ERROR_SUCCESS) return e;
  std::vector<uint8_t> buffer(kCopyChunk);
  for (;;) {
    uint32_t got = 0;
    if ((e = source.Read(buffer.data(), kCopyChunk, &got)) != ERROR_SUCCESS) break;
    if (got == 0) break;
    uint32_t put = 0;
    if ((e = target.Write(buffer.data(), got, &put)) != ERROR_SUCCESS) break;
    if (put != got) {
      e = ERROR_WRITE_FAULT;
      break;
    }
  }
  if (e == ERROR_SUCCESS) {
    FileTime time = 0;
    e = source.LastWriteTime(&time);
    if (e == ERROR_SUCCESS) e = target.SetLastWriteTime(time);
  }
  target.Close();
  if (e != ERROR_SUCCESS) DeleteFileWithRetry(clock_, to);
  return e;
}

Win32Error CCacheStore::AddToSnapshot(CacheKind kind, uint8_t disc, uint32_t file) {
  if (kind != CK_DB && kind != CK_DIR) return ERROR_INVALID_PARAMETER;
  Win32Error e = ERROR_SUCCESS;
  if (!MapFor(kind, &e)) return e;
  if (kind == CK_DB) disc = kStructDisc;
  fs::path live;
  if (!CacheFilePath(kind, disc, file, 0, &live)) return ERROR_FILE_NOT_FOUND;
  uint64_t live_size = 0;
  FileTime live_time = 0;
  if ((e = GetFileSize(live, &live_size)) != ERROR_SUCCESS) return e;
  if ((e = GetLastWriteTime(live, &live_time)) != ERROR_SUCCESS) return e;
  const std::string name = SnapshotFileName(kind, disc, file);
  const fs::path saved = SaveFolder() / name;
  const fs::path target = TempFolder() / name;
  // A target left from an earlier call may be a link to the saved copy: it is
  // unlinked rather than overwritten, so that the saved copy stays intact.
  DeleteFileWithRetry(clock_, target);
  uint64_t saved_size = 0;
  FileTime saved_time = 0;
  if (GetFileSize(saved, &saved_size) == ERROR_SUCCESS && GetLastWriteTime(saved, &saved_time) == ERROR_SUCCESS &&
      saved_size == live_size && saved_time == live_time) {
    if (CreateHardLink(target, saved) == ERROR_SUCCESS) return ERROR_SUCCESS;
  }
  return Report(CopyToSnapshot(live, target));
}

Win32Error CCacheStore::CommitSnapshot() {
  if (!open_) return ERROR_ACCESS_DENIED;
  Report(EmptyAndRemoveFolder(clock_, PrevFolder()));
  MoveFile(SaveFolder(), PrevFolder(), false);  // there may be no saved snapshot yet
  const Win32Error e = MoveFile(TempFolder(), SaveFolder(), false);
  if (e != ERROR_SUCCESS) return Report(e);
  Report(EmptyAndRemoveFolder(clock_, PrevFolder()));
  return ERROR_SUCCESS;
}

Win32Error CCacheStore::AbortSnapshot() {
  if (!open_) return ERROR_ACCESS_DENIED;
  return Report(EmptyAndRemoveFolder(clock_, TempFolder()));
}

Win32Error CCacheStore::RestoreFromSnapshot(CacheKind kind, uint8_t disc, uint32_t file) {
  if (kind != CK_DB && kind != CK_DIR) return ERROR_INVALID_PARAMETER;
  Win32Error e = ERROR_SUCCESS;
  CCacheMap* map = MapFor(kind, &e);
  if (!map) return e;
  if (kind == CK_DB) disc = kStructDisc;
  const fs::path saved = SaveFolder() / SnapshotFileName(kind, disc, file);
  const fs::path live = CacheFolder() / CacheFileName(kind, disc, file, 0);
  if ((e = CreateDirectoryChain(live.parent_path())) != ERROR_SUCCESS) return Report(e);
  if (MoveFile(saved, live, true) != ERROR_SUCCESS) {
    if ((e = CopyToSnapshot(saved, live)) != ERROR_SUCCESS) return Report(e);
  }
  e = map->Insert(disc, file, disc, file);
  if (e == ERROR_FILE_EXISTS) {
    // The identity must name the restored file, whatever the entry said before.
    uint8_t value_disc;
    uint32_t value_file;
    if (map->Lookup(disc, file, &value_disc, &value_file) == ERROR_SUCCESS && value_disc == disc &&
        value_file == file) {
      return ERROR_SUCCESS;
    }
    map->Remove(disc, file);
    e = map->Insert(disc, file, disc, file);
  }
  return Report(e);
}

Win32Error CCacheStore::DropSnapshots() {
  if (!open_) return ERROR_ACCESS_DENIED;
  Win32Error first = ERROR_SUCCESS;
  for (const fs::path& folder : {SaveFolder(), TempFolder(), PrevFolder()}) {
    const Win32Error e = Report(EmptyAndRemoveFolder(clock_, folder));
    if (first == ERROR_SUCCESS) first = e;
  }
  return first;
}

}  // namespace kelva::storage
