// Replays the catalog fuzz target on damaged catalogs made here, so that the
// target keeps building and the damaged cases run under the sanitizers.
#include <sqlite3.h>

#include <random>
#include <string>
#include <vector>

#include "service/storage/catalog_directory.h"
#include "tests/service/storage/catalog_test_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kelva::storage::testing {
namespace {

using CatalogFuzzReplay = CatalogTest;

void Replay(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST_F(CatalogFuzzReplay, DamagedCatalogsNeitherCrashNorHang) {
  {
    CDirectoryDb db;
    ASSERT_EQ(db.Create(Path("seed.DIR")), SQLITE_OK);
    for (int i = 0; i < 40; ++i) {
      const std::u16string name = platform::Utf8ToUtf16("f" + std::to_string(i) + ".txt");
      ASSERT_EQ(db.InsertEntry(FileEntry(name, i)), 1);
      ASSERT_EQ(db.InsertEntry(StreamEntry(name + u":s", i)), 1);
      if (i % 3 == 0) {
        ASSERT_EQ(db.DeleteEntry(name, 0), 1);
      }
    }
  }
  std::string seed;
  ASSERT_EQ(platform::ReadWholeFile(FsPath("seed.DIR"), &seed), 0u);
  ASSERT_GT(seed.size(), 4096u);

  Replay(seed);
  Replay("");
  Replay("SQLite format 3");
  Replay(std::string(5000, '\0'));
  for (size_t cut = 100; cut < seed.size(); cut += 1500) Replay(seed.substr(0, cut));
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    std::string damaged = seed;
    for (int flips = 1 + rng() % 8; flips > 0; --flips) damaged[rng() % damaged.size()] ^= 1 << (rng() % 8);
    Replay(damaged);
  }
}

}  // namespace
}  // namespace kelva::storage::testing
