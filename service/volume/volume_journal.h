// CVolumeJournal: the append-only record of what a killed service would
// otherwise lose, kept as "journal.bin" in the magazine's live cache.
//
// The catalogs in the cache commit every change and the data pieces are plain
// files, so after a kill they still hold everything written. What only memory
// held is which pieces make up each file object that is not yet safe on the
// discs. Every time such an object settles (its last handle closed, a sync, a
// step of the background writer) its resume record is appended here; once it
// has nothing left to record, a "gone" record follows. The structure
// catalog's number is appended whenever it changes. The next mount after a
// kill replays the newest record of every object (CFsVolume::RecoverFromJournal).
//
// Frame, little-endian: length (4, of what follows the checksum), CRC-32 of
// those bytes (4), type (1), object number (8), payload. A frame cut short by
// the kill, or one whose checksum fails, ends the journal.
//
// Appends take the journal's own lock; a caller may hold the volume's table
// locks (they come first), never the other way round.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/file.h"
#include "service/storage/cache_map.h"

namespace kelva::volume {

struct JournalRecord {
  static constexpr uint8_t kCatalog = 1;  // payload: the structure catalog's number (4)
  static constexpr uint8_t kFile = 2;     // payload: parent folder id (8), the file's resume record
  static constexpr uint8_t kGone = 3;     // no payload: the object needs nothing replayed
  // A change to a cache map since the maps were last saved; payload: kind (1),
  // operation (1), key disc (1), key file (4), disc (1), file (4), value disc
  // (1), value file (4) (see storage::CacheMapChange).
  static constexpr uint8_t kMap = 4;

  uint8_t type = 0;
  uint64_t object = 0;
  std::vector<uint8_t> payload;
};

class CVolumeJournal {
 public:
  static constexpr const char* kFileName = "journal.bin";

  // Starts appending to the journal at path, which is created when missing.
  bool Start(const std::filesystem::path& path);
  // Appends one record; false when the journal is not started or the write failed.
  bool Append(const JournalRecord& record);
  // Replaces the journal's content by those of its records that keep accepts,
  // then records (written beside it and renamed over it), as one step against
  // appends.
  bool Rewrite(const std::function<bool(const JournalRecord&)>& keep, const std::vector<JournalRecord>& records);
  // Rewrites the journal with only what a replay needs: the newest catalog
  // number, every map change in order except those of the map kind
  // saved_map_kind (-1: none), whose file now holds them, and the newest file
  // record of every object not gone since.
  bool Compact(int saved_map_kind);
  // The bytes appended so far (0 when not started).
  uint64_t size();
  // Flushes what was appended to the disk.
  bool Sync();
  // Stops appending; remove deletes the file.
  void Stop(bool remove);
  bool started();

  // The records of the journal at path up to its first damaged frame; an
  // absent file gives none.
  static std::vector<JournalRecord> Read(const std::filesystem::path& path);
  // One record as a frame.
  static std::vector<uint8_t> Frame(const JournalRecord& record);
  // A map change as a record, and back (false: not a map record, or a damaged one).
  static JournalRecord MapRecord(uint8_t kind, const storage::CacheMapChange& change);
  static bool ReadMapRecord(const JournalRecord& record, uint8_t* kind, storage::CacheMapChange* change);
  static constexpr size_t kMapBytes = 17;

 private:
  // Writes records as the whole journal, beside it and renamed over it.
  bool ReplaceLocked(const std::vector<JournalRecord>& records);

  std::mutex mu_;
  std::filesystem::path path_;
  platform::File file_;
  uint64_t end_ = 0;
  bool started_ = false;
};

}  // namespace kelva::volume
