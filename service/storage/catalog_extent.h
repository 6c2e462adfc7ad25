// CExtentIndexDb: the extent index of one file (table ident), mapping byte ranges
// of the file's content to the data pieces that hold them. Extents never overlap:
// every insertion first clears the range it covers. Operations return 1 (done)
// or 0 (not done).
#pragma once

#include <cstdint>
#include <string_view>

#include "service/storage/catalog_db.h"
#include "service/storage/catalog_records.h"

namespace kelva::storage {

class CExtentIndexDb : public CCatalogDb {
 public:
  explicit CExtentIndexDb(platform::Clock& clock = platform::RealClock()) : CCatalogDb(clock) {}

  // Creates a new index file (write-ahead-log mode, table ident) / opens an
  // existing one. SQLITE_OK, 7 for a path too long, or the failing SQLite result.
  int Create(std::u16string_view path);
  int Open(std::u16string_view path);

  // Clears [extent.start, extent.start + extent.len) and inserts the extent.
  // A length of 0 or less is refused.
  int InsertExtent(const ExtentRecord& extent);
  // The extent holding position, else the first extent after it; 0 when neither exists.
  int FindExtent(int64_t position, ExtentRecord* out);
  // Removes [start, start + length): extents inside it go, an extent reaching
  // into it from either side is trimmed, one spanning it is split in two.
  // Length 0 succeeds without change; a negative length or a range past the
  // largest offset is refused.
  int RemoveRange(int64_t start, int64_t length);
  // 1 when the index is empty or holds exactly one extent, starting at 0.
  int IsSingleExtent();

 private:
  int RemoveRangeLocked(int64_t start, int64_t length);
};

}  // namespace kelva::storage
