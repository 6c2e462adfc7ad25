// The volume's archive and resume paths on the simulated unit: a magazine is
// opened, written, closed and opened again with the real disc I/O engine, and
// each mount is checked for the path it took (live resume file, snapshot, the
// discs) and for the files it finds.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <zlib.h>

#include "platform/digest.h"
#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/resume_container.h"
#include "tests/eventually.h"
#include "tests/service/storage/disc_engine_fixture.h"
#include "tests/service/volume/volume_session.h"

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;
using testing::Content;
using testing::VolumeSession;

// "STRUCT\%04u\%07u.DB" of catalog n.
std::u16string CatalogName(uint32_t n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "STRUCT\\%04u\\%07u.DB", n / 1000, n);
  return platform::Utf8ToUtf16(buf);
}

class VolumeArchiveTest : public storage::testing::DiscEngineTest {
 protected:
  void SetUp() override {
    DiscEngineTest::SetUp();
    storage::testing::EngineSetup setup;
    setup.start_engine = false;
    Start(setup);
    clock_.SetScale(50);
  }
  fs::path Data() { return temp_ / "data"; }
  fs::path Magazine() { return Data() / "magazine" / "ENGINE-TEST"; }
  std::unique_ptr<VolumeSession> NewSession() {
    return std::make_unique<VolumeSession>(controller_.get(), clock_, Data());
  }
  // A first mount that writes `files` files into the root and one directory.
  void WriteMagazine(int files) {
    auto s = NewSession();
    ASSERT_TRUE(s->Open());
    DirRef* docs = s->MakeDirectory(u"docs");
    ASSERT_NE(docs, nullptr);
    for (int i = 0; i < files; ++i) {
      ASSERT_TRUE(s->WriteFile(i % 2 ? docs : nullptr, u"f" + std::u16string(1, char16_t(u'0' + i)), Content(i, 3000 + i)));
    }
    ASSERT_TRUE(test::Eventually([&] { return !s->volume->busy(); }, 60000));
    s->Close();
  }
  void ExpectFiles(VolumeSession& s, int files) {
    for (int i = 0; i < files; ++i) {
      SCOPED_TRACE(i);
      std::vector<uint8_t> got;
      ASSERT_TRUE(s.ReadFile(i % 2 ? u"docs" : u"", u"f" + std::u16string(1, char16_t(u'0' + i)), &got));
      EXPECT_TRUE(got == Content(i, 3000 + i));
    }
  }
  // Patches the live resume file's header and seals it again.
  void PatchResume(uint32_t number, platform::FileTime time) {
    std::string bytes;
    ASSERT_EQ(platform::ReadWholeFile(Magazine() / "cache" / "resume.bin", &bytes), 0u);
    auto put = [&](size_t at, uint64_t v, int n) {
      for (int i = 0; i < n; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
    };
    put(32 + 4, time & 0xFFFFFFFF, 4);
    put(32 + 8, time >> 32, 4);
    put(32 + 36, number, 4);
    platform::Md5Digest d;
    ASSERT_TRUE(platform::Md5(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()) + 32,
                                                       bytes.size() - 32),
                              &d));
    std::memcpy(bytes.data() + 16, d.data(), 16);
    ASSERT_EQ(platform::WriteWholeFile(Magazine() / "cache" / "resume.bin", bytes), 0u);
  }
};

// A blank magazine becomes a new volume; the next mount finds its catalog on
// disc 0 and takes the live resume file written at close; with the cache gone
// the mount after that reads everything back from the discs.
TEST_F(VolumeArchiveTest, NewVolumeReopensFromResumeFileAndFromTheDiscs) {
  WriteMagazine(6);
  // The live resume file of the close: its GUID, header and records as laid out.
  std::string r;
  ASSERT_EQ(platform::ReadWholeFile(Magazine() / "cache" / "resume.bin", &r), 0u);
  ASSERT_GT(r.size(), 86u);
  // {5BE26D0C-6750-46F9-9379-136FE225081A}
  EXPECT_EQ(r.substr(0, 16), std::string("\x0C\x6D\xE2\x5B\x50\x67\xF9\x46\x93\x79\x13\x6F\xE2\x25\x08\x1A", 16));
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(r[at])) | static_cast<uint32_t>(static_cast<uint8_t>(r[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(r[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(r[at + 3])) << 24;
  };
  EXPECT_EQ(u32(32), 1u);                   // version
  EXPECT_NE(u32(36) & u32(40), 0xFFFFFFFFu);  // the catalog's time stamp is known
  EXPECT_EQ(static_cast<uint8_t>(r[72]) & 0x01, 0x01);  // existing catalog
  EXPECT_EQ(static_cast<uint8_t>(r[81]), 1);  // the first record: a directory,
  EXPECT_EQ(u32(82), 0u);                   // the root, without parent
  EXPECT_EQ(static_cast<uint8_t>(r.back()), 0xFF);
  platform::Md5Digest digest;
  ASSERT_TRUE(platform::Md5(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(r.data()) + 32, r.size() - 32),
                            &digest));
  EXPECT_EQ(r.substr(16, 16), std::string(reinterpret_cast<const char*>(digest.data()), 16));
  const uint32_t saved_number = u32(68);
  EXPECT_FALSE(fs::exists(Magazine() / "cache-save"));  // the flush dropped the snapshot

  auto s = NewSession();
  ASSERT_TRUE(s->Open());
  EXPECT_TRUE(s->location().found);
  EXPECT_EQ(s->location().disc, 0);
  EXPECT_EQ(s->volume->structure_file(), s->location().number);
  EXPECT_EQ(s->location().number, saved_number);
  EXPECT_FALSE(fs::exists(Magazine() / "cache" / "resume.bin"));  // read and removed
  ExpectFiles(*s, 6);
  const uint32_t number = s->volume->structure_file();
  s->Close();

  fs::remove_all(Magazine());
  s = NewSession();
  ASSERT_TRUE(s->Open());
  EXPECT_GE(s->location().number, number);
  EXPECT_TRUE(s->volume->existing_catalog());
  ExpectFiles(*s, 6);
  s->Close();
}

// The live resume file counts only for the catalog it was written against:
// the same number with the same time stamp, or a higher number with a time
// stamp not earlier than the one on the discs.
TEST_F(VolumeArchiveTest, LiveResumeAcceptedByCatalogNumberAndTime) {
  WriteMagazine(2);
  // The catalog the resume file names, and its time on the discs.
  auto probe = NewSession();
  ASSERT_TRUE(probe->Open(1, false));
  const uint32_t n = probe->location().number;
  const platform::FileTime t = probe->location().time;
  ASSERT_GT(n, 0u);
  probe->Close();
  ASSERT_TRUE(fs::exists(Magazine() / "cache" / "resume.bin"));
  const fs::path resume = Magazine() / "cache" / "resume.bin";
  const fs::path keep = temp_ / "resume.keep";
  fs::copy_file(resume, keep);

  struct Row {
    const char* what;
    int64_t number_delta;
    int64_t time_delta;
    bool drop_newest_on_disc;  // the discs then show catalog n - 1
    bool accepted;
  };
  const Row rows[] = {
      {"same number, same time", 0, 0, false, true},
      {"same number, other time", 0, 1, false, false},
      {"higher number, later time", 0, 1, true, true},
      {"higher number, earlier time", 0, -1, true, false},
      {"lower number", -1, 0, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    fs::copy_file(keep, resume, fs::copy_options::overwrite_existing);
    fs::remove_all(Magazine() / "cache-save");  // left by the quick close of the row before
    platform::FileTime disc_time = t;
    if (r.drop_newest_on_disc) {
      // Hide catalog n on the disc: the search then finds n - 1.
      const std::u16string name = CatalogName(n);
      ASSERT_TRUE(controller_->Exists(name));
      ASSERT_EQ(controller_->Delete(name), 0u);
      storage::DiscFileInfo info;
      ASSERT_TRUE(controller_->GetInfo(CatalogName(n - 1), nullptr, nullptr, nullptr, &disc_time, nullptr));
      (void)info;
    }
    PatchResume(static_cast<uint32_t>(n + r.number_delta), disc_time + r.time_delta);
    auto s = NewSession();
    ASSERT_TRUE(s->Open(1, false));
    EXPECT_FALSE(fs::exists(resume));  // read or refused, it is gone
    EXPECT_EQ(s->volume->structure_file() == static_cast<uint32_t>(n + r.number_delta) &&
                  s->location().number != static_cast<uint32_t>(n + r.number_delta),
              r.accepted && r.drop_newest_on_disc);
    if (!r.drop_newest_on_disc) {
      // Accepted or not, the catalog is the one the discs name; a refused file
      // leaves a cache started afresh.
      EXPECT_EQ(s->volume->structure_file(), n);
    }
    ExpectFiles(*s, 2);
    s->Close(true);  // quick: nothing is written to the discs
    if (r.drop_newest_on_disc) break;  // the discs changed: later rows do not apply
  }
}

// A snapshot left in "cache-save" is not used on a magazine that carries the
// clean-close marker: the snapshot folders go and the cache starts afresh.
TEST_F(VolumeArchiveTest, SnapshotIgnoredOnACleanClosedMagazine) {
  WriteMagazine(2);
  {
    unit::DiscFile marker;
    ASSERT_EQ(controller_->CreateNew(u"CLEAN", true, false, &marker), 0u);
    controller_->Close(&marker);
  }
  // Any snapshot, intact: one from an archive run of a session that is then abandoned.
  auto s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  ASSERT_EQ(s->volume->RunArchive(), 0);
  fs::copy(Magazine() / "cache-save", temp_ / "saved", fs::copy_options::recursive);
  s->Close();
  fs::copy(temp_ / "saved", Magazine() / "cache-save", fs::copy_options::recursive);
  ASSERT_TRUE(fs::exists(Magazine() / "cache" / "resume.bin"));

  s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  EXPECT_TRUE(s->volume->GetDiscEngine() != nullptr);
  EXPECT_FALSE(fs::exists(Magazine() / "cache" / "resume.bin"));  // dropped with the fresh start
  EXPECT_EQ(std::count(s->unit.notices.begin(), s->unit.notices.end(), kNoticeResumed), 0);
  ExpectFiles(*s, 2);
  s->Close();
}

// A snapshot of an older catalog than the newest on the discs is taken over
// under the discs' number and saved again.
TEST_F(VolumeArchiveTest, SnapshotWithAnotherCatalogNumberIsRenamedAndSaved) {
  WriteMagazine(2);
  auto s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  const uint32_t old_number = s->volume->structure_file();
  ASSERT_EQ(s->volume->RunArchive(), 0);
  fs::copy(Magazine() / "cache-save", temp_ / "saved", fs::copy_options::recursive);
  // The catalog changes and goes to the discs under a new number.
  s->volume->structure()->SetProperty("VolumeLabel", "X", 1);
  ASSERT_EQ(s->volume->SaveCatalog(), 0u);
  const uint32_t new_number = s->volume->structure_file();
  ASSERT_NE(new_number, old_number);
  s->Close(true);
  fs::remove_all(Magazine() / "cache-save");
  fs::copy(temp_ / "saved", Magazine() / "cache-save", fs::copy_options::recursive);

  s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  EXPECT_EQ(s->location().number, new_number);
  EXPECT_EQ(s->volume->structure_file(), new_number);
  EXPECT_TRUE(s->volume->deferred_save());
  EXPECT_EQ(s->volume->structure()->ChangeState(), 1);
  EXPECT_EQ(std::count(s->unit.notices.begin(), s->unit.notices.end(), kNoticeResumed), 1);
  ExpectFiles(*s, 2);
  s->Close();
}

// Saving an unchanged catalog touches no disc; a changed one is recorded under
// the next number with its time stamp read back and notification 0x50.
TEST_F(VolumeArchiveTest, SaveCatalogRecordsOnlyChanges) {
  WriteMagazine(1);
  auto s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  std::vector<uint8_t> codes;
  s->volume->set_notify_callback([&](const uint8_t* m, size_t n) {
    if (n >= 2) codes.push_back(m[1]);
  });
  const uint32_t number = s->volume->structure_file();
  s->volume->structure()->SetChangeState(0);
  ASSERT_EQ(s->volume->SaveCatalog(), 0u);
  EXPECT_EQ(s->volume->structure_file(), number);
  EXPECT_TRUE(codes.empty());

  s->volume->structure()->SetProperty("VolumeLabel", "LABEL", 5);
  ASSERT_EQ(s->volume->SaveCatalog(), 0u);
  EXPECT_GT(s->volume->structure_file(), number);
  EXPECT_EQ(s->volume->structure()->ChangeState(), 2);
  ASSERT_EQ(codes, std::vector<uint8_t>{kNotifyCatalogSaved});
  storage::DiscFileInfo info;
  ASSERT_EQ(s->engine->LookupDiscFile(storage::CK_DB, 0, s->volume->structure_file(), &info), 0u);
  EXPECT_EQ(s->volume->catalog_time(), info.last_write);
  s->Close();
}

// The directory pack: written with zlib and read back into a cache that lost a
// catalog; hand-made packs in plain encoding are read without decompression,
// and records of another version or magic stop the reading with 30.
TEST_F(VolumeArchiveTest, DirectoryPackWrittenAndRead) {
  WriteMagazine(4);
  fs::remove_all(Magazine());  // everything comes from the discs
  auto s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  ExpectFiles(*s, 4);  // brings the "docs" catalog into the cache
  storage::CCacheStore* cache = s->volume->GetCacheStore();
  uint8_t disc = 0;
  uint32_t file = 0;
  ASSERT_EQ(s->volume->structure()->LookupPath(u"docs", -1, &disc, &file, 0), 1);
  fs::path path;
  ASSERT_TRUE(cache->CacheFilePath(storage::CK_DIR, disc, file, 0, &path));
  std::string catalog;
  ASSERT_EQ(platform::ReadWholeFile(path, &catalog), 0u);
  ASSERT_FALSE(catalog.empty());
  auto cached_catalog = [&]() -> std::string {
    fs::path p;
    std::string bytes;
    if (!cache->CacheFilePath(storage::CK_DIR, disc, file, 0, &p)) return "(absent)";
    EXPECT_EQ(platform::ReadWholeFile(p, &bytes), 0u);
    return bytes;
  };

  ASSERT_EQ(s->volume->WriteDirPack(), 0u);
  {
    // On the disc: the zlib GUID, then a zlib stream of records, here inflated
    // with zlib itself.
    unit::DiscFile f;
    ASSERT_EQ(controller_->OpenExisting(u"STRUCT\\DIRPACK.BIN", false, false, &f), 0u);
    std::string pack(4 << 20, '\0');
    uint32_t got = 0;
    ASSERT_EQ(controller_->Read(f.get(), pack.data(), static_cast<uint32_t>(pack.size()), &got), 0u);
    controller_->Close(&f);
    pack.resize(got);
    // {5E50A9A1-1AEE-476B-9767-4F2C7D20FA75}
    ASSERT_EQ(pack.substr(0, 16), std::string("\xA1\xA9\x50\x5E\xEE\x1A\x6B\x47\x97\x67\x4F\x2C\x7D\x20\xFA\x75", 16));
    std::string plain(1 << 22, '\0');
    uLongf plain_size = plain.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plain_size,
                         reinterpret_cast<const Bytef*>(pack.data() + 16), pack.size() - 16),
              Z_OK);
    plain.resize(plain_size);
    // Records in the structure catalog's order (disc, then file): the root's and docs'.
    size_t at = 0;
    int records = 0;
    bool docs_seen = false;
    while (at + 16 <= plain.size()) {
      EXPECT_EQ(plain.substr(at, 3), std::string("\x46\x43\x02", 3));
      uint32_t f_number = 0;
      uint64_t length = 0;
      std::memcpy(&f_number, plain.data() + at + 4, 4);
      std::memcpy(&length, plain.data() + at + 8, 8);
      if (static_cast<uint8_t>(plain[at + 3]) == disc && f_number == file) {
        docs_seen = true;
        EXPECT_EQ(plain.substr(at + 16, length), catalog);
      }
      at += 16 + length;
      ++records;
    }
    EXPECT_EQ(at, plain.size());
    EXPECT_EQ(records, 2);
    EXPECT_TRUE(docs_seen);
  }
  ASSERT_EQ(cache->DeleteCacheFile(storage::CK_DIR, disc, file, 0), 0u);
  ASSERT_EQ(s->volume->ReadDirPack(), 0u);
  EXPECT_EQ(cached_catalog(), catalog);

  // {E93F950F-1C12-4108-981A-44792222B7C6} as stored, then one record.
  const std::string plain_guid("\x0F\x95\x3F\xE9\x12\x1C\x08\x41\x98\x1A\x44\x79\x22\x22\xB7\xC6", 16);
  auto record = [&](uint16_t magic, uint8_t version) {
    std::string h;
    h += static_cast<char>(magic & 0xFF);
    h += static_cast<char>(magic >> 8);
    h += static_cast<char>(version);
    h += static_cast<char>(disc);
    for (int i = 0; i < 4; ++i) h += static_cast<char>(file >> (8 * i));
    for (int i = 0; i < 8; ++i) h += static_cast<char>(static_cast<uint64_t>(catalog.size()) >> (8 * i));
    return h + catalog;
  };
  struct Row {
    const char* what;
    std::string pack;
    platform::Win32Error result;
    bool restored;
  };
  const Row rows[] = {
      {"plain encoding", plain_guid + record(17222, 2), 0, true},
      {"version 1", plain_guid + record(17222, 1), 30, false},
      {"another magic", plain_guid + record(17223, 2), 30, false},
      {"an unknown encoding", std::string(16, '\x11') + record(17222, 2), 30, false},
      {"a cut record header", plain_guid + record(17222, 2).substr(0, 9), 30, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(controller_->Delete(u"STRUCT\\DIRPACK.BIN"), 0u);
    unit::DiscFile f;
    ASSERT_EQ(controller_->CreateNew(u"STRUCT\\DIRPACK.BIN", true, false, &f), 0u);
    uint32_t done = 0;
    ASSERT_EQ(controller_->Write(f.get(), r.pack.data(), static_cast<uint32_t>(r.pack.size()), &done), 0u);
    ASSERT_EQ(controller_->Close(&f), 0u);
    cache->DeleteCacheFile(storage::CK_DIR, disc, file, 0);
    EXPECT_EQ(s->volume->ReadDirPack(), r.result);
    EXPECT_EQ(cached_catalog(), r.restored ? catalog : "(absent)");
  }
  s->Close(true);
}

// A quick close keeps what was not recorded yet: the file's object goes into
// the live resume file, comes back at the next mount, is queued and recorded.
TEST_F(VolumeArchiveTest, UnrecordedFileSurvivesAQuickCloseInTheResumeFile) {
  WriteMagazine(1);
  auto s = NewSession();
  ASSERT_TRUE(s->Open(1, false));  // no writer: the file stays in the cache
  const std::vector<uint8_t> data = Content(77, 200000);
  ASSERT_TRUE(s->WriteFile(nullptr, u"late", data));
  ASSERT_GT(s->volume->FilesToWrite(), 0u);
  s->Close(true);
  std::string r;
  ASSERT_EQ(platform::ReadWholeFile(Magazine() / "cache" / "resume.bin", &r), 0u);
  EXPECT_NE(r.find('\x02', 81), std::string::npos);

  s = NewSession();
  ASSERT_TRUE(s->Open());
  EXPECT_EQ(std::count(s->unit.notices.begin(), s->unit.notices.end(), kNoticeResumed), 1);
  ASSERT_TRUE(test::Eventually([&] { return !s->volume->busy() && s->volume->FilesToWrite() == 0; }, 60000));
  EXPECT_EQ(s->volume->pending_bytes(), 0);  // counted once, from the restored object
  std::vector<uint8_t> got;
  ASSERT_TRUE(s->ReadFile(u"", u"late", &got));
  EXPECT_TRUE(got == data);
  s->Close();
  // Recorded now: with the cache gone it comes from the discs.
  fs::remove_all(Magazine());
  s = NewSession();
  ASSERT_TRUE(s->Open(1, false));
  got.clear();
  ASSERT_TRUE(s->ReadFile(u"", u"late", &got));
  EXPECT_TRUE(got == data);
  s->Close();
}

// A magazine last changed on another computer and closed cleanly opens
// writable; the first recording of this session is preceded by a catalog that
// names this computer.
TEST_F(VolumeArchiveTest, TakingOverAMagazineStampsTheCatalogFirst) {
  WriteMagazine(1);  // by computer 0x33
  {
    unit::DiscFile marker;
    ASSERT_EQ(controller_->CreateNew(u"CLEAN", true, false, &marker), 0u);
    controller_->Close(&marker);
  }
  auto last_system = [](VolumeSession& s) {
    uint8_t raw[32] = {};
    size_t n = 0;
    EXPECT_EQ(s.volume->structure()->GetProperty("LastSystem", raw, sizeof raw, &n), 1);
    return raw[0];
  };
  auto s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data(), 0x44);
  ASSERT_TRUE(s->Open());
  EXPECT_EQ(s->volume->read_only(), 0);
  EXPECT_EQ(last_system(*s), 0x33);
  EXPECT_TRUE(s->discs->other_system());
  ASSERT_TRUE(s->WriteFile(nullptr, u"mine", Content(5, 5000)));
  ASSERT_TRUE(test::Eventually([&] { return !s->volume->busy(); }, 60000));
  EXPECT_FALSE(s->discs->other_system());
  EXPECT_EQ(last_system(*s), 0x44);
  s->Close(true);
  // The catalog on the discs says so too.
  fs::remove_all(Magazine());
  s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data(), 0x44);
  ASSERT_TRUE(s->Open(1, false));
  EXPECT_EQ(last_system(*s), 0x44);
  s->Close(true);
}

}  // namespace
}  // namespace kelva::volume
