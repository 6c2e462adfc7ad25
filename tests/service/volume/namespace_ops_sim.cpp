// The volume's namespace operations on the simulated unit: creation rules,
// information and listings, deletion with and without tombstones, rename and
// move, the deleted-entry view and the volume's label and size.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/service/volume/volume_ops_fixture.h"

namespace kelva::volume {
namespace {

using testing::Bytes;
using testing::VolumeOpsTest;

constexpr uint32_t kReadAccess = 0x80000000;

class NamespaceTest : public VolumeOpsTest {
 protected:
  void SetUp() override {
    VolumeOpsTest::SetUp();
    Mount();
  }
  bool Contains(const std::vector<std::u16string>& names, std::u16string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  bool AnyStartsWith(const std::vector<std::u16string>& names, std::u16string_view prefix) {
    return std::any_of(names.begin(), names.end(), [&](const std::u16string& n) { return n.starts_with(prefix); });
  }
};

TEST_F(NamespaceTest, CreateFollowsTheNameRules) {
  ASSERT_EQ(MakeDirectory(u"\\dir"), 0u);
  ASSERT_EQ(PutFile(u"\\taken", {}), 0u);
  struct Row {
    std::u16string path;
    uint32_t attributes;
    platform::Win32Error result;
  };
  const std::u16string long_stream = u"\\s:" + std::u16string(249, u'x');  // ":" + 249 is 250
  const std::u16string ok_stream = u"\\s:" + std::u16string(248, u'x');
  const Row rows[] = {
      {u"\\plain", 0, 0},
      {u"\\dir\\inner", 0, 0},
      {u"\\dir\\sub", 0x10, 0},
      {u"\\taken", 0, 183},
      {u"\\TAKEN", 0, 183},                // names compare without case
      {u"\\dir", 0x10, 183},
      {u"\\missing\\x", 0, 3},
      {u"\\empty:", 0, 87},                // an empty stream name
      {u"\\two:colons:here", 0, 87},
      {u"\\stream:dir", 0x10, 87},         // a folder is never a stream
      {long_stream, 0, 3},
      {ok_stream, 0, 0},
      {u"\\base:s1", 0, 0},                // the base file is created first
      {u"\\base:s1", 0, 183},
      {u"\\", 0, 183},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path.begin(), r.path.end()));
    EntryRef* ctx = nullptr;
    EXPECT_EQ(volume_->CreateEntry(r.path, r.attributes, &ctx), r.result);
    if (r.result == 0) {
      ASSERT_NE(ctx, nullptr);
      EXPECT_EQ(ctx->kind, (r.attributes & 0x10) != 0 ? kRefDirectory : kRefFile);
      EXPECT_EQ(volume_->CloseEntry(ctx), 0u);
      EXPECT_TRUE(Info(r.path).exists);
    } else {
      EXPECT_EQ(ctx, nullptr);
    }
  }
  // The stream's base exists as an ordinary, empty file.
  const EntryInfo base = Info(u"\\base");
  EXPECT_TRUE(base.exists);
  EXPECT_EQ(base.end_of_file, 0);
  EXPECT_EQ(base.attributes & 0x10, 0u);
  EXPECT_TRUE(Contains(List(u"\\"), u"base"));
  EXPECT_FALSE(Contains(List(u"\\"), u"base:s1"));  // streams are not listed as entries
}

TEST_F(NamespaceTest, InformationOfMissingAndPresentEntries) {
  ASSERT_EQ(MakeDirectory(u"\\d"), 0u);
  ASSERT_EQ(PutFile(u"\\d\\f", Bytes(5000, 1), 0x20), 0u);
  struct Row {
    std::u16string path;
    bool exists;
    bool directory;
  };
  const Row rows[] = {
      {u"\\nothing", false, false}, {u"\\nodir\\x", false, false}, {u"\\d\\none", false, false},
      {u"\\d", true, true},         {u"\\d\\f", true, false},      {u"\\D\\F", true, false},
      {u"", true, true},            {u"\\", true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path.begin(), r.path.end()));
    const EntryInfo info = Info(r.path);
    EXPECT_EQ(info.exists, r.exists);
    if (!r.exists) continue;
    EXPECT_EQ((info.attributes & 0x10) != 0, r.directory);
    EXPECT_EQ((info.file_id & 0x40000000) != 0, r.directory);  // folders carry bit 30
    if (!r.directory) {
      EXPECT_EQ(info.end_of_file, 5000);
      EXPECT_EQ(info.attributes & 0x20, 0x20u);
    }
  }
}

TEST_F(NamespaceTest, ExactNameListingReturnsTheEntryOnce) {
  ASSERT_EQ(PutFile(u"\\one", {}), 0u);
  ASSERT_EQ(PutFile(u"\\two", {}), 0u);
  EXPECT_EQ(List(u"\\", u"ONE"), std::vector<std::u16string>{u"one"});
  EXPECT_TRUE(List(u"\\", u"three").empty());
  EXPECT_EQ(List(u"\\", u"t*"), std::vector<std::u16string>{u"two"});
  // Restart gives the entry again.
  EntryRef* dir = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\", kReadAccess, 0x10, &dir), 0u);
  std::unique_ptr<CEntryListing> listing;
  bool found = false;
  ListedEntry entry;
  ASSERT_EQ(volume_->EnumerateEntries(dir, u"two", false, &listing, &found, &entry), 0u);
  EXPECT_TRUE(found);
  ASSERT_EQ(volume_->EnumerateEntries(dir, u"two", true, &listing, &found, &entry), 0u);
  EXPECT_TRUE(found);
  ASSERT_EQ(volume_->EnumerateEntries(dir, u"two", false, &listing, &found, &entry), 0u);
  EXPECT_FALSE(found);
  EXPECT_EQ(listing, nullptr);
  volume_->CloseEntry(dir);
}

TEST_F(NamespaceTest, LongListingsArriveInBatches) {
  // More names than one 72 KiB batch holds.
  std::vector<std::u16string> want;
  for (int i = 0; i < 700; ++i) {
    std::string n = "entry_with_a_rather_long_name_for_batches_" + std::to_string(i);
    want.emplace_back(n.begin(), n.end());
    ASSERT_EQ(PutFile(u"\\" + want.back(), {}), 0u);
  }
  std::vector<std::u16string> got = List(u"\\");
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

// A listing shows an open file's size as its object holds it, also for a file
// made after the listing began (its row comes in a later batch), and finds a
// folder row's identity by the listed folder's path.
TEST_F(NamespaceTest, ListingsShowOpenFilesAsTheyStandNow) {
  ASSERT_EQ(MakeDirectory(u"\\box"), 0u);
  ASSERT_EQ(MakeDirectory(u"\\box\\sub"), 0u);
  ASSERT_EQ(PutFile(u"\\box\\early", {}), 0u);
  for (int i = 0; i < 700; ++i) {  // more than one batch
    ASSERT_EQ(PutFile(u"\\box\\filler_with_a_rather_long_name_" + std::u16string(1, u'a' + i % 26) +
                          std::u16string(i / 26 + 1, u'x'),
                      {}),
              0u);
  }
  auto open_and_write = [&](std::u16string_view path, size_t size) {
    EntryRef* ctx = nullptr;
    EXPECT_EQ(Info(path).exists ? volume_->OpenEntry(path, 0xC0000000, 0, &ctx) : volume_->CreateEntry(path, 0, &ctx),
              0u);
    const std::vector<uint8_t> data = Bytes(size, 9);
    uint32_t done = 0;
    EXPECT_EQ(volume_->WriteEntry(ctx, 0, static_cast<uint32_t>(size), data.data(), &done), 0u);
    return ctx;
  };
  EntryRef* early = open_and_write(u"\\box\\early", 3000);
  EntryRef* dir = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\box", kReadAccess, 0x10, &dir), 0u);
  std::unique_ptr<CEntryListing> listing;
  std::map<std::u16string, EntryInfo> seen;
  EntryRef* late = nullptr;
  for (int guard = 0; guard < 1000; ++guard) {
    bool found = false;
    ListedEntry entry;
    ASSERT_EQ(volume_->EnumerateEntries(dir, u"*", false, &listing, &found, &entry), 0u);
    if (!found) break;
    seen[entry.name] = entry.info;
    // Made after the first batch was read, so not open when it was.
    if (late == nullptr) late = open_and_write(u"\\box\\late", 4000);
  }
  volume_->CloseEntry(dir);
  ASSERT_EQ(seen.size(), 703u);
  EXPECT_EQ(seen[u"early"].end_of_file, 3000);
  EXPECT_EQ(seen[u"late"].end_of_file, 4000);
  EXPECT_EQ(seen[u"sub"].attributes & 0x10, 0x10u);
  EXPECT_EQ(seen[u"sub"].file_id, Info(u"\\box\\sub").file_id);
  volume_->CloseEntry(early);
  volume_->CloseEntry(late);
}

TEST_F(NamespaceTest, DeletionKeepsATombstoneUnlessTheRulesSayOtherwise) {
  struct Row {
    std::u16string name;
    size_t size;
    bool tombstone;
  };
  const Row rows[] = {
      {u"kept.doc", 10, true},
      {u"empty.doc", 0, false},  // the empty-file flag
      {u"~$lock.doc", 10, false},  // pattern list 1
  };
  for (const Row& r : rows) ASSERT_EQ(PutFile(u"\\" + r.name, Bytes(r.size, 3)), 0u);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.name.begin(), r.name.end()));
    EXPECT_EQ(volume_->DeleteEntry(u"\\" + r.name), 0u);
    EXPECT_FALSE(Info(u"\\" + r.name).exists);
    EXPECT_FALSE(Contains(List(u"\\"), r.name));
  }
  ASSERT_TRUE(volume_->SetDeletedView(true));
  const std::vector<std::u16string> shown = List(u"\\");
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.name.begin(), r.name.end()));
    EXPECT_EQ(Contains(shown, r.name), r.tombstone);
    if (r.tombstone) {
      const EntryInfo info = Info(u"\\" + r.name);
      EXPECT_TRUE(info.exists);
      EXPECT_EQ(info.attributes & 0x4000001u, 0x4000001u);
      EXPECT_EQ(info.attributes & 0x80u, 0u);
    }
  }
  ASSERT_TRUE(volume_->SetDeletedView(false));
}

TEST_F(NamespaceTest, CreatingOverATombstoneMovesItAside) {
  ASSERT_EQ(PutFile(u"\\report.txt", Bytes(100, 4)), 0u);
  ASSERT_EQ(volume_->DeleteEntry(u"\\report.txt"), 0u);
  ASSERT_EQ(PutFile(u"\\report.txt", Bytes(7, 5)), 0u);
  EXPECT_EQ(ReadFile(u"\\report.txt"), Bytes(7, 5));
  ASSERT_TRUE(volume_->SetDeletedView(true));
  const std::vector<std::u16string> shown = List(u"\\");
  EXPECT_TRUE(Contains(shown, u"report.txt"));
  EXPECT_TRUE(AnyStartsWith(shown, u"report_#"));  // the old one under a numbered name
  ASSERT_TRUE(volume_->SetDeletedView(false));
}

TEST_F(NamespaceTest, DeletingAHeldFileGivesUpAfterThirtySeconds) {
  ASSERT_EQ(PutFile(u"\\held", Bytes(10, 6)), 0u);
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\held", kReadAccess, 0, &ctx), 0u);
  clock_.SetAutoAdvanceOnSleep(true);
  const uint64_t start = clock_.NowMs();
  EXPECT_EQ(volume_->DeleteEntry(u"\\held"), 5u);
  EXPECT_GE(clock_.NowMs() - start, 30000u);
  EXPECT_TRUE(Info(u"\\held").exists);  // nothing was deleted
  volume_->CloseEntry(ctx);
  EXPECT_EQ(volume_->DeleteEntry(u"\\held"), 0u);
  EXPECT_FALSE(Info(u"\\held").exists);
}

TEST_F(NamespaceTest, DeletionOfFoldersAndPathsThatCannotGo) {
  ASSERT_EQ(MakeDirectory(u"\\full"), 0u);
  ASSERT_EQ(PutFile(u"\\full\\f", {}), 0u);
  ASSERT_EQ(MakeDirectory(u"\\empty"), 0u);
  struct Row {
    std::u16string path;
    platform::Win32Error result;
  };
  const Row rows[] = {
      {u"\\", 3}, {u"", 3}, {u"\\nope", 2}, {u"\\nodir\\x", 3}, {u"\\full", 145}, {u"\\empty", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path.begin(), r.path.end()));
    EXPECT_EQ(volume_->DeleteEntry(r.path), r.result);
  }
  EXPECT_FALSE(Info(u"\\empty").exists);
  EXPECT_EQ(MakeDirectory(u"\\empty"), 0u);  // the tombstone moves aside
  bool empty = false;
  EXPECT_EQ(volume_->IsDirectoryEmpty(u"\\full", nullptr, &empty), 0u);
  EXPECT_FALSE(empty);
  EXPECT_EQ(volume_->DeleteEntry(u"\\full\\f"), 0u);
  EXPECT_EQ(volume_->IsDirectoryEmpty(u"\\full", nullptr, &empty), 0u);
  EXPECT_TRUE(empty);
  EXPECT_EQ(volume_->DeleteEntry(u"\\full"), 0u);
  EXPECT_EQ(volume_->IsDirectoryEmpty(u"\\full", nullptr, &empty), 3u);
}

TEST_F(NamespaceTest, RenameAndMove) {
  ASSERT_EQ(MakeDirectory(u"\\a"), 0u);
  ASSERT_EQ(MakeDirectory(u"\\b"), 0u);
  ASSERT_EQ(PutFile(u"\\a\\Foo", Bytes(300, 7)), 0u);
  ASSERT_EQ(PutFile(u"\\a\\other", Bytes(40, 8)), 0u);
  ASSERT_EQ(PutFile(u"\\a\\target", Bytes(50, 9)), 0u);
  struct Row {
    std::u16string from, to;
    platform::Win32Error result;
  };
  const Row rows[] = {
      {u"\\a\\Foo", u"\\a\\Foo", 0},        // onto itself
      {u"\\a\\Foo", u"\\a\\FOO", 0},        // letter case only: no collision
      {u"\\a\\FOO", u"\\b\\moved", 0},      // a move
      {u"\\a\\other", u"\\a\\target", 0},   // replaces the file
      {u"\\a\\missing", u"\\a\\x", 2},
      {u"\\a\\target", u"\\b", 5},          // onto a folder
      {u"\\a\\target:s", u"\\a\\t2", 87},
      {u"\\a\\target", u"\\a\\t:s", 87},
      {u"\\a\\target", u"\\nodir\\t", 3},
      {u"\\a", u"\\b\\a2", 0},              // a folder with its content
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.from.begin(), r.from.end()) + " -> " + std::string(r.to.begin(), r.to.end()));
    EXPECT_EQ(volume_->RenameEntry(r.from, r.to), r.result);
  }
  EXPECT_EQ(List(u"\\b\\a2"), std::vector<std::u16string>{u"target"});
  EXPECT_EQ(ReadFile(u"\\b\\a2\\target"), Bytes(40, 8));
  EXPECT_EQ(ReadFile(u"\\b\\moved"), Bytes(300, 7));
  EXPECT_FALSE(Info(u"\\a").exists);
  // The replaced file left no tombstone; the case-only rename kept one name.
  ASSERT_TRUE(volume_->SetDeletedView(true));
  EXPECT_EQ(List(u"\\b\\a2"), std::vector<std::u16string>{u"target"});
  ASSERT_TRUE(volume_->SetDeletedView(false));
  // Moving a folder below itself would cut it off from the root.
  EXPECT_EQ(volume_->RenameEntry(u"\\b", u"\\b\\a2\\inside"), 87u);
  EXPECT_EQ(volume_->RenameEntry(u"\\B", u"\\b\\inside"), 87u);
  EXPECT_TRUE(Info(u"\\b\\a2\\target").exists);
}

TEST_F(NamespaceTest, CaseOnlyRenameOfAFolder) {
  ASSERT_EQ(MakeDirectory(u"\\docs"), 0u);
  ASSERT_EQ(PutFile(u"\\docs\\x", Bytes(10, 10)), 0u);
  EXPECT_EQ(volume_->RenameEntry(u"\\docs", u"\\DOCS"), 0u);
  EXPECT_EQ(List(u"\\"), std::vector<std::u16string>{u"DOCS"});
  EXPECT_EQ(ReadFile(u"\\DOCS\\x"), Bytes(10, 10));
}

TEST_F(NamespaceTest, DeletedViewIsRefusedWhileAFileIsOpenAndAnnouncesTombstones) {
  ASSERT_EQ(PutFile(u"\\gone", Bytes(10, 11)), 0u);
  ASSERT_EQ(volume_->DeleteEntry(u"\\gone"), 0u);
  ASSERT_EQ(PutFile(u"\\open", Bytes(10, 12)), 0u);
  EntryRef* file = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\open", kReadAccess, 0, &file), 0u);
  EXPECT_FALSE(volume_->SetDeletedView(true));
  EXPECT_FALSE(volume_->deleted_view());
  volume_->CloseEntry(file);

  EntryRef* root = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\", kReadAccess, 0x10, &root), 0u);
  EXPECT_TRUE(volume_->SetDeletedView(true));
  EXPECT_TRUE(volume_->SetDeletedView(true));  // already on
  // The view refuses changes; reads go on.
  EXPECT_EQ(PutFile(u"\\new", {}), 19u);
  EXPECT_EQ(volume_->DeleteEntry(u"\\open"), 19u);
  EXPECT_EQ(ReadFile(u"\\open"), Bytes(10, 12));
  EXPECT_EQ(Info(u"\\open").attributes & 0x81u, 0x1u);
  EXPECT_TRUE(volume_->SetDeletedView(false));
  volume_->CloseEntry(root);
  const auto changes = Changes();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0], std::make_pair(std::u16string(u"\\gone"), 1u));
  EXPECT_EQ(changes[1], std::make_pair(std::u16string(u"\\gone"), 2u));
}

TEST_F(NamespaceTest, OpeningForDeletionInTheDeletedView) {
  ASSERT_EQ(PutFile(u"\\scratch.tmp", Bytes(10, 13)), 0u);
  ASSERT_EQ(PutFile(u"\\~$owner", Bytes(10, 14)), 0u);
  ASSERT_EQ(PutFile(u"\\keep.bin", Bytes(10, 15)), 0u);
  ASSERT_EQ(PutFile(u"\\empty.bin", {}), 0u);
  ASSERT_TRUE(volume_->SetDeletedView(true));
  struct Row {
    std::u16string path;
    platform::Win32Error result;
  };
  const Row rows[] = {{u"\\scratch.tmp", 0}, {u"\\~$owner", 0}, {u"\\keep.bin", 19}, {u"\\empty.bin", 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.path.begin(), r.path.end()));
    EntryRef* ctx = nullptr;
    EXPECT_EQ(volume_->OpenEntry(r.path, kAccessDelete, 0, &ctx), r.result);
    if (ctx != nullptr) volume_->CloseEntry(ctx);
    // Any other access opens every file.
    ASSERT_EQ(volume_->OpenEntry(r.path, kReadAccess, 0, &ctx), 0u);
    volume_->CloseEntry(ctx);
  }
  ASSERT_TRUE(volume_->SetDeletedView(false));
  bool may = false;
  EXPECT_EQ(volume_->CanDeleteEntry(u"\\keep.bin", &may), 0u);
  EXPECT_TRUE(may);
  EXPECT_EQ(volume_->CanDeleteEntry(u"\\", &may), 3u);
}

TEST_F(NamespaceTest, NamedStreamsAreListedWithTheirSizes) {
  ASSERT_EQ(PutFile(u"\\f", Bytes(10, 16)), 0u);
  ASSERT_EQ(PutFile(u"\\f:alpha", Bytes(33, 17)), 0u);
  ASSERT_EQ(PutFile(u"\\f:beta", {}), 0u);
  EXPECT_EQ(ReadFile(u"\\f:alpha"), Bytes(33, 17));
  EXPECT_EQ(ReadFile(u"\\f"), Bytes(10, 16));
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0, &ctx), 0u);
  std::unique_ptr<CEntryListing> listing;
  std::vector<std::pair<std::u16string, int64_t>> got;
  for (;;) {
    bool found = false;
    ListedStream s;
    ASSERT_EQ(volume_->EnumerateStreams(ctx, &listing, &found, &s), 0u);
    if (!found) break;
    EXPECT_EQ(s.name_bytes, s.name.size() * 2);
    got.emplace_back(s.name, s.end_of_file);
  }
  volume_->CloseEntry(ctx);
  std::sort(got.begin(), got.end());
  const std::vector<std::pair<std::u16string, int64_t>> want = {{u":alpha:$DATA", 33}, {u":beta:$DATA", 0}};
  EXPECT_EQ(got, want);
  // Deleting a stream leaves the file and the other stream.
  EXPECT_EQ(volume_->DeleteEntry(u"\\f:alpha"), 0u);
  EXPECT_FALSE(Info(u"\\f:alpha").exists);
  EXPECT_TRUE(Info(u"\\f:beta").exists);
  EXPECT_EQ(ReadFile(u"\\f"), Bytes(10, 16));
}

TEST_F(NamespaceTest, UnknownContextsAreRefused) {
  struct Other : EntryRef {
    Other() : EntryRef(7) {}
  } other;
  EXPECT_EQ(volume_->CloseEntry(&other), 87u);
  EXPECT_EQ(volume_->SetEntryInfo(&other, 0, 0, 0, 0x20), 87u);
  bool found = true;
  ListedEntry e;
  std::unique_ptr<CEntryListing> listing;
  EXPECT_EQ(volume_->EnumerateEntries(&other, u"*", false, &listing, &found, &e), 87u);
  EXPECT_EQ(volume_->EnumerateEntries(nullptr, u"*", false, &listing, &found, &e), 0u);
  EXPECT_FALSE(found);
  ListedStream s;
  EXPECT_EQ(volume_->EnumerateStreams(&other, &listing, &found, &s), 87u);
}

TEST_F(NamespaceTest, AttributesAndTimesAreSetAndOfflineIsNeverStored) {
  ASSERT_EQ(PutFile(u"\\f", Bytes(10, 18)), 0u);
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0, &ctx), 0u);
  const int64_t t = 132000000000000000LL;
  EXPECT_EQ(volume_->SetEntryInfo(ctx, t, t + 1, t + 2, 0x1000 | 0x2), 0u);
  volume_->CloseEntry(ctx);
  EntryInfo info = Info(u"\\f");
  EXPECT_EQ(info.creation_time, t);
  EXPECT_EQ(info.write_time, t + 2);
  EXPECT_EQ(info.attributes & 0x2, 0x2u);
  ASSERT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0, &ctx), 0u);
  EXPECT_EQ(volume_->SetEntryInfo(ctx, 0, 0, 0, 0x1000), 0u);  // offline alone becomes normal
  volume_->CloseEntry(ctx);
  info = Info(u"\\f");
  EXPECT_EQ(info.attributes & 0x82u, 0x80u);
  EXPECT_EQ(info.creation_time, t);  // 0 left the times alone
}

TEST_F(NamespaceTest, AForeignMagazineRefusesEveryChange) {
  ASSERT_EQ(PutFile(u"\\f", Bytes(10, 19)), 0u);
  ASSERT_EQ(MakeDirectory(u"\\d"), 0u);
  EntryRef* ctx = nullptr;
  ASSERT_EQ(volume_->OpenEntry(u"\\f", kReadAccess, 0, &ctx), 0u);
  volume_->set_read_only_bits(kReadOnlyOtherSystem);
  uint32_t written = 0;
  bool may = false;
  EXPECT_EQ(volume_->WriteEntry(ctx, 0, 1, "x", &written), 19u);
  EXPECT_EQ(volume_->SetEntryEnd(ctx, 0), 19u);
  EXPECT_EQ(volume_->SetEntryAllocation(ctx, 0), 19u);
  EXPECT_EQ(volume_->SetEntryInfo(ctx, 0, 0, 0, 0x2), 19u);
  EXPECT_EQ(PutFile(u"\\g", {}), 19u);
  EXPECT_EQ(volume_->DeleteEntry(u"\\f"), 19u);
  EXPECT_EQ(volume_->CanDeleteEntry(u"\\f", &may), 19u);
  EXPECT_EQ(volume_->RenameEntry(u"\\f", u"\\h"), 19u);
  volume_->CloseEntry(ctx);
  EXPECT_EQ(ReadFile(u"\\f"), Bytes(10, 19));
  EXPECT_EQ(Info(u"\\f").attributes & 0x81u, 0x1u);
  EXPECT_EQ(Info(u"\\d").attributes & 0x11u, 0x11u);
}

TEST_F(NamespaceTest, VolumeLabelIdAndSize) {
  std::u16string label = u"x";
  EXPECT_EQ(volume_->GetVolumeLabel(&label), 0u);
  EXPECT_EQ(label, u"");
  EXPECT_EQ(volume_->SetVolumeLabel(u"Archive 2026"), 0u);
  EXPECT_EQ(volume_->GetVolumeLabel(&label), 0u);
  EXPECT_EQ(label, u"Archive 2026");
  // 27 three-byte characters are 81 bytes of UTF-8.
  EXPECT_EQ(volume_->SetVolumeLabel(std::u16string(27, u'\u65e5')), 87u);
  EXPECT_EQ(volume_->SetVolumeLabel(std::u16string(26, u'\u65e5')), 0u);
  EXPECT_EQ(volume_->GetVolumeLabel(&label), 0u);
  EXPECT_EQ(label, std::u16string(26, u'\u65e5'));
  EXPECT_EQ(volume_->SetVolumeLabel(u""), 0u);
  EXPECT_EQ(volume_->GetVolumeLabel(&label), 0u);
  EXPECT_EQ(label, u"");
  uint32_t id = 1;
  EXPECT_EQ(volume_->GetVolumeId(&id), 0u);
  EXPECT_EQ(id, 0u);
  const uint8_t raw[4] = {0x78, 0x56, 0x34, 0x12};
  volume_->structure()->SetProperty("VolumeID", raw, 4);
  EXPECT_EQ(volume_->GetVolumeId(&id), 0u);
  EXPECT_EQ(id, 0x12345678u);

  uint64_t total = 0, free_sectors = 0;
  EXPECT_EQ(volume_->GetVolumeSize(&total, &free_sectors), 0u);
  const int64_t capacity = static_cast<int64_t>(discs_->DiscCapacity());
  EXPECT_EQ(total, static_cast<uint64_t>((12 * capacity - 0x4000000) / 512));
  const int64_t free_bytes = volume_->FreeCapacity() - volume_->pending_bytes() - volume_->metadata_bytes() - 0x4000000;
  EXPECT_EQ(free_sectors, free_bytes > 0 ? static_cast<uint64_t>(free_bytes / 512) : 0u);
}

// Threads create, write, read, list and delete the same few names at once
// while the writer records; each result is one the operation may give, and
// afterwards every listed file reads back with the size its information gives.
TEST_F(NamespaceTest, ConcurrentOperationsOnTheSameNamesStayConsistent) {
  ASSERT_EQ(MakeDirectory(u"\\c"), 0u);
  clock_.SetScale(10);  // the writer's quiet time passes; the engine's time limits do not
  StartWriter();
  std::mutex bad_mu;
  std::vector<std::string> bad_results;
  struct Bad {
    std::mutex* mu;
    std::vector<std::string>* out;
    void fetch_add(int, const char* what = "", platform::Win32Error e = 0) {
      std::lock_guard l(*mu);
      out->push_back(std::string(what) + " " + std::to_string(e));
    }
  } bad{&bad_mu, &bad_results};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      for (int i = 0; i < 40; ++i) {
        const std::string n = "n" + std::to_string(rng() % 6);
        const std::u16string path = u"\\c\\" + std::u16string(n.begin(), n.end());
        EntryRef* ctx = nullptr;
        platform::Win32Error e = 0;
        switch (rng() % 5) {
          case 0:
            e = volume_->CreateEntry(path, 0, &ctx);
            if (e == 0) volume_->CloseEntry(ctx);
            if (e != 0 && e != 183) bad.fetch_add(1, "create", e);
            break;
          case 1: {
            e = volume_->OpenEntry(path, kReadAccess, 0, &ctx);
            if (e == 0) {
              const std::vector<uint8_t> data = Bytes(rng() % 100000 + 1, t * 1000 + i);
              uint32_t written = 0;
              const platform::Win32Error w = volume_->WriteEntry(ctx, rng() % 50000, static_cast<uint32_t>(data.size()),
                                                                 data.data(), &written);
              if (w != 0) bad.fetch_add(1, "write", w);
              volume_->CloseEntry(ctx);
            } else if (e != 2) {
              bad.fetch_add(1, "open", e);
            }
            break;
          }
          case 2:
            e = volume_->DeleteEntry(path);
            if (e != 0 && e != 2 && e != 5) bad.fetch_add(1, "delete", e);
            break;
          case 3:
            List(u"\\c");
            break;
          default: {
            EntryInfo info;
            if (const platform::Win32Error g = volume_->GetEntryInfo(path, &info); g != 0) bad.fetch_add(1, "info", g);
            break;
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad_results, std::vector<std::string>{});
  StopWriter();
  clock_.SetScale(0);
  for (const std::u16string& name : List(u"\\c")) {
    const EntryInfo info = Info(u"\\c\\" + name);
    ASSERT_TRUE(info.exists);
    const auto data = ReadFile(u"\\c\\" + name);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(static_cast<int64_t>(data->size()), info.end_of_file);
  }
}

// A file replaced by a rename while the writer records both files: the new
// content survives a remount, whatever moment the writer was at (the delays
// move the rename across the writer's passes). Before, the writer could free
// the replaced file under its own write-back, or update the renamed file's row
// by its old name.
TEST_F(NamespaceTest, ReplacingAFileByRenameWhileTheWriterRecordsKeepsTheNewContent) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    clock_.SetScale(20);
    StartWriter();
    const std::u16string suffix(1, static_cast<char16_t>(u'a' + round));
    const std::u16string a = u"\\a" + suffix, b = u"\\b" + suffix, c = u"\\c" + suffix;
    ASSERT_EQ(PutFile(a, Bytes(5, 1)), 0u);
    ASSERT_EQ(volume_->RenameEntry(a, b), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 15));
    ASSERT_EQ(PutFile(c, Bytes(7, 2)), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds((round % 4) * 40));
    ASSERT_EQ(volume_->RenameEntry(c, b), 0u);
    EXPECT_EQ(ReadFile(b), Bytes(7, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Unmount();
    clock_.SetScale(0);
    Mount();
    EXPECT_EQ(ReadFile(b), Bytes(7, 2));
    EXPECT_FALSE(Info(c).exists);
  }
}

}  // namespace
}  // namespace kelva::volume
