// The searches of a volume's Open against discs made of name lists: highest
// file numbers on a disc and in the cache, the newest structure catalog, the
// catalog search across discs, and the time-made volume identifier.
#include "service/volume/catalog_search.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/text.h"

namespace kelva::volume {
namespace {

std::vector<std::u16string> Split(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  for (;;) {
    const size_t sep = path.find(u'\\', start);
    parts.emplace_back(path.substr(start, sep == std::u16string_view::npos ? std::u16string_view::npos : sep - start));
    if (sep == std::u16string_view::npos) return parts;
    start = sep + 1;
  }
}

// A tree of names: every listed path and every folder above it exists.
class NameTree {
 public:
  NameTree() = default;
  NameTree(std::initializer_list<const char*> paths) {
    for (const char* p : paths) Add(p);
  }
  void Add(std::string_view path) {
    const std::u16string wide = platform::Utf8ToUtf16(path);
    const auto parts = Split(wide);
    std::u16string prefix;
    for (size_t i = 0; i < parts.size(); ++i) {
      prefix += (i ? u"\\" : u"") + parts[i];
      entries_.insert(prefix);
    }
  }
  bool Exists(std::u16string_view pattern) const {
    ++probes;
    const auto want = Split(pattern);
    for (const std::u16string& e : entries_) {
      const auto have = Split(e);
      if (have.size() != want.size()) continue;
      bool all = true;
      for (size_t i = 0; i < have.size() && all; ++i) all = platform::WildcardMatch(want[i], have[i]);
      if (all) return true;
    }
    return false;
  }
  // The root's names, each with whether it is a folder (has anything below).
  std::map<std::u16string, bool> Root() const {
    std::map<std::u16string, bool> out;
    for (const std::u16string& e : entries_) {
      const auto parts = Split(e);
      out[parts[0]] = out[parts[0]] || parts.size() > 1;
    }
    return out;
  }
  mutable int probes = 0;

 private:
  std::set<std::u16string> entries_;
};

PatternExists Of(const NameTree& t) {
  return [&t](std::u16string_view p) { return t.Exists(p); };
}

TEST(CatalogSearch, HighestNumberOnDiscAndInCache) {
  struct Row {
    const char* what;
    NameTree tree;
    uint8_t disc;
    uint32_t on_disc;
    uint32_t in_cache;
  };
  const Row rows[] = {
      {"nothing", {}, 0, 0, 0},
      {"one catalog on disc 0", {"000\\000\\000000005.DIR"}, 0, 6, 6},
      {"disc 5 carries its digits in the name",
       {"001\\003\\140100C03.DAT", "000\\000\\140000007.DIR"}, 5, 0x00100C04, 0x00100C04},
      {"a data piece name is longer", {"000\\001\\00000040A0000000A.DAT"}, 0, 0x40B, 0x40B},
      // An empty highest folder: the disc takes the bits found so far; the
      // cache passes over to the next lower folder that holds a file.
      {"empty highest level", {"002\\x", "001\\000\\000100000.DIR"}, 0, 0x200000, 0x100001},
      {"empty second level", {"001\\3FF\\x", "001\\000\\000100009.IND"}, 0, 0x1FFC00, 0x10000A},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    // "x" stands for a name no search can match: it makes the folder exist.
    EXPECT_EQ(HighestNumberOnDisc(Of(r.tree), r.disc), r.on_disc);
    EXPECT_EQ(HighestNumberInCache(Of(r.tree)), r.in_cache);
  }
}

TEST(CatalogSearch, NewestStructureCatalog) {
  struct Row {
    const char* what;
    NameTree tree;
    bool found;
    uint32_t number;
  };
  const Row rows[] = {
      {"no STRUCT folder", {"000\\000\\000000001.DIR"}, false, 0},
      {"an empty newer folder falls back", {"STRUCT\\0003\\x", "STRUCT\\0002\\0002999.DB", "STRUCT\\0002\\0002017.DB"},
       true, 2999},
      {"first catalog", {"STRUCT\\0000\\0000000.DB"}, true, 0},
      {"only empty folders", {"STRUCT\\0001\\x", "STRUCT\\0000\\x"}, false, 0},
      {"highest of many", {"STRUCT\\0012\\0012345.DB", "STRUCT\\0012\\0012346.DB", "STRUCT\\0009\\0009999.DB"},
       true, 12346},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    uint32_t n = 0;
    EXPECT_EQ(FindNewestCatalog(Of(r.tree), &n), r.found);
    if (r.found) {
      EXPECT_EQ(n, r.number);
    }
  }
  // Digit by digit: a few dozen probes, however many catalogs exist.
  NameTree many;
  for (int i = 0; i < 300; ++i) many.Add("STRUCT\\0004\\0004" + std::to_string(100 + i) + ".DB");
  uint32_t n = 0;
  many.probes = 0;
  ASSERT_TRUE(FindNewestCatalog(Of(many), &n));
  EXPECT_EQ(n, 4399u);
  EXPECT_LT(many.probes, 80);
}

TEST(CatalogSearch, VolumeIdFromTheTime) {
  platform::SystemTime t;
  t.wYear = 2024;
  t.wMonth = 5;
  t.wDay = 6;
  t.wHour = 7;
  t.wMinute = 8;
  t.wSecond = 9;
  t.wMilliseconds = 123;
  EXPECT_EQ(VolumeIdFromTime(t), 250613266u);  // 0x0EF00E12
}

class FakeProbe : public ICatalogProbe {
 public:
  uint8_t CurrentDisc() override { return current; }
  platform::Win32Error LoadDisc(uint8_t disc) override {
    loaded = disc;
    loads.push_back(disc);
    return 0;
  }
  bool Exists(std::u16string_view pattern) override { return discs[loaded].Exists(pattern); }
  bool EnumerateRoot(const std::function<void(std::u16string_view, bool)>& visit) override {
    for (const auto& [name, folder] : discs[loaded].Root()) visit(name, folder);
    return true;
  }
  platform::Win32Error CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) override {
    asked = {disc, number};
    *out = 0x01D9000000000000ULL + number;
    return time_error;
  }
  bool UnitAnswers() override { return answers; }

  std::map<uint8_t, NameTree> discs;
  uint8_t current = 0, loaded = 255;
  std::vector<uint8_t> loads;
  std::pair<uint8_t, uint32_t> asked{255, 0};
  platform::Win32Error time_error = 0;
  bool answers = true;
};

TEST(CatalogSearch, LocateCatalogAcrossTheDiscs) {
  struct Row {
    const char* what;
    std::map<uint8_t, NameTree> discs;
    uint8_t current;
    platform::Win32Error time_error;
    bool answers;
    bool found, fatal;
    uint8_t disc;
    uint32_t number, next_file;
  };
  const NameTree disc0{"STRUCT\\0000\\0000001.DB", "000\\000\\000000003.DIR"};
  const NameTree disc1{"STRUCT\\0000\\0000004.DB", "000\\000\\040000010.DIR"};
  const NameTree disc2{"STRUCT\\x", "000\\000\\080000002.DAT", "CLEAN"};
  const Row rows[] = {
      {"disc 2 without a catalog: disc 1 has the newest", {{0, disc0}, {1, disc1}, {2, disc2}}, 2, 0, true, true,
       false, 1, 4, 3},
      {"found on the current disc", {{0, disc0}, {1, disc1}}, 1, 0, true, true, false, 1, 4, 0x11},
      {"a plain file in the root is foreign", {{0, disc0}, {1, {"notes.txt", "000\\000\\040000001.DIR"}}}, 1, 0,
       true, false, true, 1, 0, 2},
      {"a blank magazine", {{0, {}}}, 0, 0, true, false, false, 0, 0, 0},
      {"no current disc", {{0, disc0}}, 255, 0, true, false, false, 255, 0, 0},
      {"time query fails, unit answers", {{0, disc0}}, 0, 31, true, false, false, 0, 0, 4},
      {"time query fails, unit silent", {{0, disc0}}, 0, 31, false, false, true, 0, 0, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    FakeProbe probe;
    probe.discs = r.discs;
    probe.current = r.current;
    probe.time_error = r.time_error;
    probe.answers = r.answers;
    const CatalogLocation loc = LocateCatalog(probe);
    EXPECT_EQ(loc.found, r.found);
    EXPECT_EQ(loc.fatal, r.fatal);
    EXPECT_EQ(loc.disc, r.disc);
    EXPECT_EQ(loc.next_file, r.next_file);
    if (r.found) {
      EXPECT_EQ(loc.number, r.number);
      EXPECT_EQ(probe.asked, std::make_pair(r.disc, r.number));
      EXPECT_EQ(loc.time, 0x01D9000000000000ULL + r.number);
    }
  }
}

}  // namespace
}  // namespace kelva::volume
