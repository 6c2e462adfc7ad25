// Opens arbitrary bytes as a directory catalog and uses it the way a directory
// object does: enumerate every entry, look each one up, list its streams, add an
// entry (which may move a tombstone) and delete it again. Nothing may crash,
// hang or leak whatever the file holds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/catalog_directory.h"

namespace {

namespace fs = std::filesystem;
using kelva::storage::CDirectoryDb;
using kelva::storage::DirEntryRecord;

void RemoveCatalogFiles(const fs::path& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ec;
    fs::remove(path.string() + suffix, ec);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path path =
      fs::temp_directory_path() / ("kelva_catalog_fuzz_" + std::to_string(::getpid()) + ".DIR");
  RemoveCatalogFiles(path);
  if (kelva::platform::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(data), size)) != 0) {
    return 0;
  }
  {
    CDirectoryDb db;
    if (db.Open(kelva::platform::Utf8ToUtf16(path.string())) == 0) {
      std::vector<std::u16string> names;
      DirEntryRecord rec;
      for (int ok = db.EnumEntries(1, 0, &rec); ok; ok = db.EnumEntries(0, 0, &rec)) {
        if (names.size() < 32) names.push_back(rec.name);
      }
      for (const std::u16string& name : names) {
        DirEntryRecord found;
        found.name = name;
        db.GetEntry(&found);
        int streams = 0;
        for (int ok = db.EnumStreams(&name, 0, &rec); ok; ok = db.EnumStreams(nullptr, 0, &rec)) {
          if (++streams == 64) db.EndEnumeration();
        }
      }
      if (!names.empty()) {
        DirEntryRecord entry;
        entry.name = names.front();
        if (db.InsertEntry(entry)) db.DeleteEntry(entry.name, 1);
        db.RenameEntry(names.front(), names.back() + u"~");
      }
      db.IsEmpty(0);
      db.IsEmpty(1);
    }
    db.Close();
  }
  RemoveCatalogFiles(path);
  return 0;
}
