// The volume's archive and resume paths on the simulated unit: a magazine is
// opened, written, closed and opened again with the real disc I/O engine, and
// each mount is checked for the path it took (live resume file, snapshot, the
// discs) and for the files it finds.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

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
  EXPECT_TRUE(fs::exists(Magazine() / "cache" / "resume.bin"));
  EXPECT_FALSE(fs::exists(Magazine() / "cache-save"));  // the flush dropped the snapshot

  auto s = NewSession();
  ASSERT_TRUE(s->Open());
  EXPECT_TRUE(s->location().found);
  EXPECT_EQ(s->location().disc, 0);
  EXPECT_EQ(s->volume->structure_file(), s->location().number);
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

}  // namespace
}  // namespace kelva::volume
