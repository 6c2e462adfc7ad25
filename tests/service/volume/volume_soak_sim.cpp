// The volume on the simulated unit: threads create, rename and delete
// directories through the volume while its writer records them onto the discs
// with the real disc I/O engine; afterwards the structure catalog, the parent
// catalog, the cache and the disc agree, and the queues are empty.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "service/storage/dir_object.h"
#include "service/volume/catalog_restore.h"
#include "service/volume/engine_discs.h"
#include "service/volume/fs_volume.h"
#include "service/volume/open_file_object.h"
#include "tests/eventually.h"
#include "tests/service/storage/disc_engine_fixture.h"

namespace kelva::volume {
namespace {

using storage::CDirObject;

class SilentUnit : public IVolumeUnit {
 public:
  void Report(uint32_t, bool) override {}
  bool IsVolumeReadOnly() override { return false; }
  void SetWriteHeld(bool) override {}
};

class VolumeSoakTest : public storage::testing::DiscEngineTest {};

std::u16string Name(int thread, int round, bool renamed, const char* kind = "d") {
  const std::string s = (renamed ? "r" : "") + std::string(kind) + std::to_string(thread) + "_" + std::to_string(round);
  return std::u16string(s.begin(), s.end());
}

std::vector<uint8_t> Content(int thread, int round) {
  std::vector<uint8_t> v(65536 + static_cast<size_t>(round) * 1000);
  uint32_t x = 0x9E3779B9u * static_cast<uint32_t>(thread * 100 + round + 1);
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

TEST_F(VolumeSoakTest, DirectoriesAndFilesRecordedWhileThreadsChangeThem) {
  Start();
  CEngineDiscs discs(engine_.get());
  SilentUnit unit;
  MachineIdentity identity;
  identity.fill(0x33);
  auto volume = std::make_unique<CFsVolume>(controller_.get(), clock_, 0x0001000000000000ULL, identity);
  CCatalogRestore fresh(std::nullopt);
  VolumeOpenParts parts;
  parts.unit = &unit;
  parts.discs = &discs;
  parts.recorder = &discs;
  parts.cache = std::move(cache_);
  parts.restore = &fresh;
  ASSERT_TRUE(volume->Open(std::move(parts)));
  volume->set_free_file([](IOpenFile* f) { delete f; });
  clock_.SetScale(50);
  std::thread writer([&] { volume->RunWriter(); });

  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  DirRef* root = volume->root();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        volume->BeginOperation();
        auto dir = std::make_unique<CDirObject>(volume.get());
        CDirObject* raw = dir.get();
        DirRef* ref = volume->AddDirectory(std::move(dir), root);
        if (raw->Create(root->dir->catalog(), Name(t, r, false), 0, 133000000000000000LL) != 0) {
          failures.fetch_add(1);
        } else {
          volume->MarkDirectoryDirty(raw, 1, 0);
          if (r % 3 == 1 && raw->Rename(nullptr, Name(t, r, true)) != 0) failures.fetch_add(1);
          if (r % 5 == 4 && raw->Delete() != 0) failures.fetch_add(1);
          volume->MarkDirectoryDirty(raw, 1, 0);
        }
        volume->ReleaseDirectory(ref);

        // A file: created, written, perhaps renamed or deleted, closed.
        auto open = std::make_unique<COpenFileObject>(std::make_unique<storage::CFileObject>(volume.get()), &discs);
        COpenFileObject* of = open.get();
        storage::CFileObject* f = of->file();
        of->SetOpenInHost(true);
        FileRef* fref = volume->AddFile(open.release(), of->key(), root);
        const std::vector<uint8_t> data = Content(t, r);
        uint32_t written = 0;
        if (f->Create(root->dir->catalog(), Name(t, r, false, "f"), 0, 133000000000000000LL, false) != 0 ||
            f->Write(0, static_cast<uint32_t>(data.size()), data.data(), &written) != 0 || written != data.size()) {
          failures.fetch_add(1);
        } else {
          if (r % 3 == 1 && f->Rename(nullptr, Name(t, r, true, "f")) != 0) failures.fetch_add(1);
          if (r % 5 == 4 && f->Delete() != 0) failures.fetch_add(1);
        }
        f->Close();
        of->SetOpenInHost(false);
        volume->ReleaseFile(fref);
        volume->EndOperation();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);

  // The writer drains every queue and goes idle.
  ASSERT_TRUE(test::Eventually([&] { return !volume->busy(); }, 60000));
  volume->StopWriter();
  writer.join();

  // The structure catalog, the root's catalog, the cache and the disc agree.
  storage::CStructureDb* db = volume->structure();
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      SCOPED_TRACE(std::to_string(t) + "_" + std::to_string(r));
      const bool deleted = r % 5 == 4;
      const std::u16string name = Name(t, r, r % 3 == 1);
      uint8_t disc = 0;
      uint32_t file = 0;
      ASSERT_EQ(db->LookupPath(name, -1, &disc, &file, deleted ? 1 : 0), 1);
      storage::DirEntryRecord entry;
      ASSERT_EQ(root->dir->GetEntry(name, &entry), 0u);
      EXPECT_EQ((entry.type & storage::ENTRY_DELETED) != 0, deleted);  // a deleted one stays as a tombstone
      if (deleted) continue;
      EXPECT_EQ(entry.disk, disc);
      EXPECT_EQ(entry.file, file);
      std::filesystem::path cached;
      EXPECT_TRUE(volume->GetCacheStore()->CacheFilePath(storage::CK_DIR, disc, file, 0, &cached));
      storage::DiscFileInfo info;
      EXPECT_EQ(engine_->LookupDiscFile(storage::CK_DIR, disc, file, &info), 0u);
    }
  }
  // Every file that was not deleted reads back with its content.
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      if (r % 5 == 4) continue;
      SCOPED_TRACE("file " + std::to_string(t) + "_" + std::to_string(r));
      storage::DirEntryRecord entry;
      ASSERT_EQ(root->dir->GetEntry(Name(t, r, r % 3 == 1, "f"), &entry), 0u);
      const std::vector<uint8_t> want = Content(t, r);
      EXPECT_EQ(entry.size, static_cast<int64_t>(want.size()));
      storage::CFileObject reader(volume.get());
      ASSERT_EQ(reader.Open(entry, root->dir->catalog()), 0u);
      std::vector<uint8_t> got(want.size());
      uint32_t done = 0;
      EXPECT_EQ(reader.Read(0, static_cast<uint32_t>(got.size()), got.data(), &done), 0u);
      EXPECT_EQ(done, want.size());
      EXPECT_TRUE(got == want);
      reader.Close();
    }
  }
  EXPECT_EQ(volume->DirectoryState(root->dir.get()), kQueueNone);
  EXPECT_EQ(volume->pending_bytes(), 0);
  EXPECT_EQ(volume->FilesToWrite(), 0u);
  volume->settings().retention_mode = 2;
  volume->Close();
  volume.reset();
}

}  // namespace
}  // namespace kelva::volume
