// CFsVolume: the journal of file objects not yet safe on the discs, and the
// mount after a kill that replays it over the live cache.
#include <cstring>
#include <map>

#include "platform/log.h"
#include "service/storage/dir_object.h"
#include "service/storage/file_object.h"
#include "service/volume/fs_volume.h"
#include "service/volume/open_file_object.h"

namespace kelva::volume {

namespace {

constexpr size_t kParentBytes = 8;

}  // namespace

// ---- writing ----

std::filesystem::path CFsVolume::JournalPath() { return cache_->CacheFolder() / CVolumeJournal::kFileName; }

// The record of a file that still needs replaying; false when it needs none.
bool CFsVolume::JournalRecordOf(FileRef* ref, JournalRecord* out) {
  out->object = ref->journal_number;
  out->payload.clear();
  if (!ref->file->HasUnwrittenData() && !ref->file->AwaitsDiscClose()) {
    out->type = JournalRecord::kGone;
    return false;
  }
  int64_t parent = -1;
  if (ref->parent != nullptr && structure_) {
    parent = structure_->GetDirectoryId(ref->parent->dir->current_disc(), ref->parent->dir->current_file());
  }
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(static_cast<uint64_t>(parent) >> (8 * i)));
  storage::CMemoryDataStream stream(std::move(bytes));
  if (parent < 0 || ref->file->SaveState(stream) != 0) {
    out->type = JournalRecord::kGone;
    return false;
  }
  out->type = JournalRecord::kFile;
  out->payload.assign(stream.bytes().begin(), stream.bytes().end());
  return true;
}

void CFsVolume::JournalFile(FileRef* ref) {
  if (ref == nullptr || !journal_.started()) return;
  JournalRecord r;
  if (JournalRecordOf(ref, &r)) {
    if (journal_.Append(r)) ref->journaled = true;
  } else if (ref->journaled.exchange(false)) {
    journal_.Append(r);
  }
}

void CFsVolume::JournalCatalog() {
  JournalRecord r;
  r.type = JournalRecord::kCatalog;
  for (int i = 0; i < 4; ++i) r.payload.push_back(static_cast<uint8_t>(structure_file_ >> (8 * i)));
  journal_.Append(r);
}

bool CFsVolume::RestartJournal() {
  if (!cache_ || !structure_) return false;
  if (!journal_.started() && !journal_.Start(JournalPath())) return false;
  cache_->SetMapLog([this](storage::CacheKind kind, const storage::CacheMapChange& change) {
    journal_.Append(CVolumeJournal::MapRecord(kind, change));
  });
  // The maps' files are written now and the journal keeps only the changes
  // made since: what the open did to the maps before they were logged (a new
  // volume's catalogs, a cache started afresh, a replay) is in the files.
  const bool maps_written = CheckpointMaps();
  // The table lock first, as for every append: no file changes its record meanwhile.
  storage::ReadGuard g(file_lock_);
  std::vector<JournalRecord> records(1);
  records[0].type = JournalRecord::kCatalog;
  for (int i = 0; i < 4; ++i) records[0].payload.push_back(static_cast<uint8_t>(structure_file_ >> (8 * i)));
  for (auto& f : files_) {
    JournalRecord r;
    f->journaled = JournalRecordOf(f.get(), &r);
    if (f->journaled) records.push_back(std::move(r));
  }
  return journal_.Rewrite([](const JournalRecord& r) { return r.type == JournalRecord::kMap; }, records) &&
         maps_written;
}

bool CFsVolume::CheckpointMaps() {
  // Each map's changes leave the journal once its file holds them.
  return cache_->CheckpointMaps([this](storage::CacheKind kind) { journal_.Compact(kind); }) == 0;
}

void CFsVolume::CompactJournal() {
  if (!cache_ || journal_.size() < journal_compact_bytes_) return;
  const uint64_t before = journal_.size();
  const uint64_t start = clock_.NowMs();
  if (!CheckpointMaps()) journal_.Compact(-1);
  KLOG_INFO("volume: journal compacted from %llu to %llu bytes in %llu ms", static_cast<unsigned long long>(before),
            static_cast<unsigned long long>(journal_.size()),
            static_cast<unsigned long long>(clock_.NowMs() - start));
}

// ---- the mount after a kill ----

bool CFsVolume::RecoverFromJournal(bool found, uint32_t number) {
  if (!cache_) return false;
  const std::vector<JournalRecord> records = CVolumeJournal::Read(JournalPath());
  // First the maps learn what changed since they were saved: without that the
  // cache would not find the files made since.
  for (const JournalRecord& r : records) {
    uint8_t kind = 0;
    storage::CacheMapChange change;
    if (!CVolumeJournal::ReadMapRecord(r, &kind, &change) || kind >= storage::kCacheKindCount) continue;
    cache_->ApplyMapChange(static_cast<storage::CacheKind>(kind), change);
  }
  uint32_t catalog = 0;
  bool have_catalog = false;
  std::map<uint64_t, const JournalRecord*> files;
  for (const JournalRecord& r : records) {
    if (r.type == JournalRecord::kCatalog && r.payload.size() == 4) {
      catalog = static_cast<uint32_t>(r.payload[0]) | static_cast<uint32_t>(r.payload[1]) << 8 |
                static_cast<uint32_t>(r.payload[2]) << 16 | static_cast<uint32_t>(r.payload[3]) << 24;
      have_catalog = true;
    } else if (r.type == JournalRecord::kFile && r.payload.size() > kParentBytes) {
      files[r.object] = &r;
    } else if (r.type == JournalRecord::kGone) {
      files.erase(r.object);
    }
  }
  if (!have_catalog) {
    if (!records.empty()) KLOG_WARN("volume: the journal names no catalog; it is not used");
    return false;
  }
  std::filesystem::path present;
  auto cached = [&](uint32_t n) {
    std::error_code ec;
    return cache_->CacheFilePath(storage::CK_DB, storage::kStructDisc, n, 0, &present) &&
           std::filesystem::exists(present, ec);
  };
  // A newer catalog on the discs is this volume's own only when the cache
  // holds it under that number (renamed after it was recorded); otherwise
  // another computer changed the magazine and the cache is stale.
  if (found && number > catalog) {
    if (!cached(number)) {
      KLOG_INFO("volume: the discs hold a newer catalog (%u) than the journal's (%u); the journal is not used",
                number, catalog);
      return false;
    }
    catalog = number;
  }
  if (!cached(catalog) || OpenStructureFile(catalog) != 0) {
    KLOG_WARN("volume: the journal's catalog %u is not in the cache; the journal is not used", catalog);
    return false;
  }
  existing_catalog_ = found;
  bool ok = LoadRoot() == 0;

  // Every folder catalog the cache holds is recorded again: which of them
  // changed since they were last recorded is not known after a kill.
  std::vector<std::pair<uint8_t, uint32_t>> folders;
  if (ok) {
    structure_->EnumDirectories(
        [](uint8_t disc, uint32_t file, void* context) {
          static_cast<std::vector<std::pair<uint8_t, uint32_t>>*>(context)->emplace_back(disc, file);
          return 1;
        },
        &folders);
  }
  auto path_of = [&](uint8_t disc, uint32_t file) {
    std::vector<char16_t> buffer(storage::CStructureDb::kMaxPathUnits + 1);
    const size_t n = structure_->BuildPath(buffer.size(), disc, file, buffer.data());
    return std::u16string(buffer.data() + buffer.size() - n, n);
  };
  for (const auto& [disc, file] : folders) {
    std::error_code ec;
    if (!ok || !cache_->CacheFilePath(storage::CK_DIR, disc, file, 0, &present) ||
        !std::filesystem::exists(present, ec)) {
      continue;
    }
    DirRef* ref = nullptr;
    if (OpenDirectoryByPath(path_of(disc, file), &ref) != 0) continue;
    if (CDirectoryDb* c = ref->dir->catalog(); c != nullptr) c->SetChangeState(1);
    ReleaseDirectory(ref);
  }

  // The files, each in the folder its record names.
  size_t restored = 0;
  for (const auto& [object, record] : files) {
    if (!ok) break;
    int64_t parent_id = 0;
    for (int i = 7; i >= 0; --i) parent_id = (parent_id << 8) | record->payload[static_cast<size_t>(i)];
    uint8_t disc = 0;
    uint32_t file = 0;
    DirRef* parent = nullptr;
    if (structure_->IdentityOfId(parent_id, &disc, &file) != 1 ||
        OpenDirectoryByPath(path_of(disc, file), &parent) != 0) {
      KLOG_WARN("volume: a file of the journal names a folder that is gone");
      continue;
    }
    auto open = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(this), recorder_);
    storage::CMemoryDataStream stream(std::string(record->payload.begin() + kParentBytes, record->payload.end()));
    if (open->LoadState(stream) != 0) {
      ReleaseDirectory(parent);
      KLOG_WARN("volume: a file record of the journal could not be read");
      continue;
    }
    open->file()->AttachParent(parent->dir->catalog());
    open->file()->ResumeAfterInterruption();
    COpenFileObject* raw = open.release();
    FileRef* ref = AddFile(raw, raw->key(), parent);
    ReleaseDirectory(parent);  // AddFile holds the parent for the file
    ref->restored = true;
    ref->object = raw;  // found again by identity when the file is opened
    ref->refs.fetch_sub(1);
    ++restored;
  }
  if (!ok) {
    DropRestoredState();
    return false;
  }
  // Whatever is still to be written goes into the queues.
  RequeueChangedDirectories();
  RequeueUnwrittenFiles();
  structure_->SetChangeState(1);
  deferred_save_ = true;
  // What the resume file or a snapshot held is older than the live cache.
  DropLiveResumeFile();
  cache_->DropSnapshots();
  KLOG_INFO("volume: resumed from the live cache after an interruption: %zu file(s) still to record", restored);
  Report(kNoticeResumed, false);
  EnterBusy();
  work_.Set();
  return true;
}

}  // namespace kelva::volume
