#include "service/storage/cache_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"

namespace kelva::storage {
namespace {

using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_ALREADY_EXISTS;
using platform::ERROR_FILE_EXISTS;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_SUCCESS;

uint32_t Rd32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void Wr32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Key(uint8_t d, uint32_t f) { return (uint64_t{d} << 32) | f; }

struct Value {
  uint8_t disc;
  uint32_t file;
  bool marked;
  bool operator==(const Value&) const = default;
};
using Model = std::map<uint64_t, Value>;
using Entries = std::vector<std::pair<uint64_t, Value>>;

// An independent reading of a map image: checks every rule of a sound map (and
// the 0xFF filling of everything unused) and returns its entries in key order.
class ImageChecker {
 public:
  explicit ImageChecker(std::span<const uint8_t> image) : img_(image) {}

  bool Check(Entries* entries) {
    if (img_.size() < 4096 || img_.size() % 4096 != 0) return Fail("size");
    n_ = Rd32(&img_[0]);
    if (n_ != (img_.size() - 12) / 76) return Fail("capacity");
    for (size_t i = 12 + size_t{76} * n_; i < img_.size(); ++i) {
      if (img_[i] != 0xFF) return Fail("tail not 0xFF");
    }
    state_.assign(n_, 0);
    const uint32_t root = Rd32(&img_[4]);
    if (root >= n_) return Fail("root out of range");
    leaf_depth_ = -1;
    entries->clear();
    if (!Walk(root, 0xFFFFFFFF, 0, true, entries)) return false;
    for (uint32_t n = Rd32(&img_[8]), steps = 0; n != 0xFFFFFFFF; n = Rd32(Node(n) + 8), ++steps) {
      if (n >= n_ || state_[n] != 0) return Fail("free list");
      state_[n] = 2;
      for (int i = 0; i < 76; ++i) {
        if ((i < 8 || i >= 12) && Node(n)[i] != 0xFF) return Fail("free node not 0xFF");
      }
    }
    for (uint32_t n = 0; n < n_; ++n) {
      if (state_[n] == 0) return Fail("node " + std::to_string(n) + " neither in tree nor free");
    }
    return true;
  }
  const std::string& why() const { return why_; }

 private:
  const uint8_t* Node(uint32_t n) const { return &img_[12 + size_t{76} * n]; }
  bool Fail(std::string why) {
    why_ = std::move(why);
    return false;
  }
  bool Walk(uint32_t n, uint32_t parent, int depth, bool is_root, Entries* out) {
    if (n >= n_ || state_[n] != 0) return Fail("bad or repeated child");
    state_[n] = 1;
    const uint8_t* p = Node(n);
    const uint32_t count = p[0];
    if (count > 4) return Fail("count");
    if (!is_root && count < 2) return Fail("underfull node " + std::to_string(n));
    if (p[1] != 0xFF || p[2] != 0xFF || p[3] != 0xFF) return Fail("node unused bytes");
    if (Rd32(p + 4) != parent) return Fail("parent link of " + std::to_string(n));
    for (uint32_t k = count; k < 4; ++k) {
      for (int i = 0; i < 16; ++i) {
        if (p[12 + 16 * k + i] != 0xFF) return Fail("unused slot not 0xFF");
      }
    }
    const bool leaf = Rd32(p + 8) == 0xFFFFFFFF;
    if (leaf) {
      if (leaf_depth_ < 0) leaf_depth_ = depth;
      if (leaf_depth_ != depth) return Fail("leaf depth");
    }
    for (uint32_t i = 0; i <= count; ++i) {
      const uint32_t child = i == 0 ? Rd32(p + 8) : Rd32(p + 12 + 16 * (i - 1) + 12);
      if (leaf != (child == 0xFFFFFFFF)) return Fail("mixed leaf");
      if (!leaf && !Walk(child, n, depth + 1, false, out)) return false;
      if (i < count) {
        const uint8_t* e = p + 12 + 16 * i;
        if (e[2] > 1) return Fail("mark byte");
        if (e[3] != 0xFF) return Fail("entry unused byte");
        const uint64_t key = Key(e[0], Rd32(e + 4));
        if (!out->empty() && out->back().first >= key) return Fail("key order");
        out->emplace_back(key, Value{e[1], Rd32(e + 8), e[2] == 1});
      }
    }
    return true;
  }

  std::span<const uint8_t> img_;
  uint32_t n_ = 0;
  std::vector<uint8_t> state_;
  int leaf_depth_ = -1;
  std::string why_;
};

::testing::AssertionResult Sound(const CCacheMap& map, const Model* expected = nullptr) {
  static Entries got;  // reused: the random tests check after every step
  ImageChecker checker(map.Image());
  if (!checker.Check(&got)) return ::testing::AssertionFailure() << checker.why();
  if (expected && !std::equal(got.begin(), got.end(), expected->begin(), expected->end(),
                              [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; })) {
    return ::testing::AssertionFailure() << "entries differ: " << got.size() << " vs " << expected->size();
  }
  return ::testing::AssertionSuccess();
}

std::vector<uint8_t> NewMapBytes() {
  std::vector<uint8_t> b(4096, 0xFF);
  Wr32(&b[0], 53);
  Wr32(&b[4], 0);
  Wr32(&b[8], 1);
  b[12] = 0;  // root: no entries
  for (uint32_t n = 1; n < 53; ++n) Wr32(&b[12 + 76 * n + 8], n < 52 ? n + 1 : 0xFFFFFFFF);
  return b;
}

class CacheMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelva_cachemap_test_" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(CacheMapTest, NewMapIsTheGoldenImageAndLeavesNoFile) {
  CCacheMap map;
  const fs::path path = dir_ / "mapdir.bin";
  ASSERT_EQ(map.Load(path), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(path)) << "the file created while loading must be deleted again";
  const std::vector<uint8_t> expected = NewMapBytes();
  ASSERT_EQ(map.Image().size(), 4096u);
  EXPECT_EQ(std::memcmp(map.Image().data(), expected.data(), 4096), 0);
  EXPECT_TRUE(map.IsEmpty());
  EXPECT_TRUE(Sound(map));
  // An existing empty file gives the same map.
  platform::WriteWholeFile(path, "");
  ASSERT_EQ(map.Load(path), ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(map.Image().data(), expected.data(), 4096), 0);
}

TEST_F(CacheMapTest, FirstSplitPlacesNodesAndEntriesExactly) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  for (uint32_t f = 1; f <= 5; ++f) ASSERT_EQ(map.Insert(0, f, 7, f + 100), ERROR_SUCCESS);
  const uint8_t* img = map.Image().data();
  auto node = [&](uint32_t n) { return img + 12 + 76 * n; };
  // The full leaf 0 split into 0 (keys 1, 2) and 1 (keys 4, 5); key 3 moved up
  // into the new root 2. The free list continues at 3.
  EXPECT_EQ(Rd32(img + 4), 2u);
  EXPECT_EQ(Rd32(img + 8), 3u);
  EXPECT_EQ(node(2)[0], 1);
  EXPECT_EQ(Rd32(node(2) + 4), 0xFFFFFFFFu);
  EXPECT_EQ(Rd32(node(2) + 8), 0u);
  const uint8_t root_entry[16] = {0, 7, 0, 0xFF, 3, 0, 0, 0, 103, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(node(2) + 12, root_entry, 16), 0);
  EXPECT_EQ(node(0)[0], 2);
  EXPECT_EQ(Rd32(node(0) + 4), 2u);
  EXPECT_EQ(Rd32(node(0) + 12 + 4), 1u);
  EXPECT_EQ(Rd32(node(0) + 28 + 4), 2u);
  EXPECT_EQ(node(1)[0], 2);
  EXPECT_EQ(Rd32(node(1) + 4), 2u);
  EXPECT_EQ(Rd32(node(1) + 12 + 4), 4u);
  EXPECT_EQ(Rd32(node(1) + 28 + 4), 5u);
  EXPECT_TRUE(Sound(map));
}

// The first page holds 53 nodes. When every one of them is in use and a split
// needs another, the image grows by one page: 8192 bytes, capacity 107, the new
// nodes chained into the free list in increasing order. With keys inserted in
// increasing order that happens at the 110th entry.
TEST_F(CacheMapTest, FiftyFourthNodeGrowsTheMapByOnePage) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  Model model;
  uint32_t f = 0;
  for (; Rd32(map.Image().data() + 8) != 0xFFFFFFFF; ++f) {
    ASSERT_EQ(map.Insert(1, f, 1, f), ERROR_SUCCESS);
    model[Key(1, f)] = {1, f, false};
  }
  EXPECT_EQ(f, 107u);
  EXPECT_EQ(map.Image().size(), 4096u) << "no growth while free nodes remain";
  ASSERT_TRUE(Sound(map, &model));  // all 53 nodes in the tree
  // The next leaf split finds the free list empty.
  while (map.Image().size() == 4096) {
    ASSERT_EQ(map.Insert(1, f, 1, f), ERROR_SUCCESS);
    model[Key(1, f)] = {1, f, false};
    ++f;
  }
  EXPECT_EQ(f, 110u);
  ASSERT_EQ(map.Image().size(), 8192u);
  EXPECT_EQ(Rd32(map.Image().data()), 107u);
  const uint8_t* img = map.Image().data();
  uint32_t expect_next = Rd32(img + 8);
  EXPECT_GT(expect_next, 53u);
  for (uint32_t n = expect_next; n != 0xFFFFFFFF; n = Rd32(img + 12 + 76 * n + 8)) {
    EXPECT_EQ(n, expect_next++);
  }
  EXPECT_EQ(expect_next, 107u);
  EXPECT_TRUE(Sound(map, &model));
}

TEST_F(CacheMapTest, RemovingEverythingLeavesAnEmptyRootAndAllNodesFree) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  std::vector<uint32_t> files(300);
  for (uint32_t i = 0; i < files.size(); ++i) files[i] = i * 7919 % 1000;
  for (uint32_t f : files) ASSERT_EQ(map.Insert(2, f, 2, f), ERROR_SUCCESS);
  std::shuffle(files.begin(), files.end(), std::mt19937(7));
  for (uint32_t f : files) ASSERT_EQ(map.Remove(2, f), ERROR_SUCCESS);
  EXPECT_TRUE(map.IsEmpty());
  EXPECT_EQ(map.Count(), 0u);
  Model none;
  EXPECT_TRUE(Sound(map, &none));  // every node but the root is back on the free list
  EXPECT_EQ(map.Remove(2, files[0]), ERROR_FILE_NOT_FOUND);
}

TEST_F(CacheMapTest, MarksReKeyAndFirstMarked) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  for (uint32_t f = 0; f < 40; ++f) ASSERT_EQ(map.Insert(f % 3, f, 9, f + 1000), ERROR_SUCCESS);
  CacheMapEntry e;
  EXPECT_FALSE(map.FirstMarked(&e));
  EXPECT_EQ(map.SetMark(2, 35, true), ERROR_SUCCESS);
  EXPECT_EQ(map.SetMark(2, 35, true), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(map.SetMark(1, 7, true), ERROR_SUCCESS);
  EXPECT_EQ(map.SetMark(0, 7, true), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(map.FirstMarked(&e));  // key order: disc first
  EXPECT_EQ(e.key_disc, 1);
  EXPECT_EQ(e.key_file, 7u);
  EXPECT_EQ(e.value_file, 1007u);
  EXPECT_EQ(map.SetMark(1, 7, false), ERROR_SUCCESS);
  EXPECT_EQ(map.SetMark(1, 7, false), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(map.FirstMarked(&e));
  EXPECT_EQ(e.key_file, 35u);

  // Re-key keeps the value and clears the mark.
  ASSERT_EQ(map.ReKey(2, 35, 200, 5), ERROR_SUCCESS);
  uint8_t vd;
  uint32_t vf;
  EXPECT_EQ(map.Lookup(2, 35, &vd, &vf), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(map.Lookup(200, 5, &vd, &vf), ERROR_SUCCESS);
  EXPECT_EQ(vd, 9);
  EXPECT_EQ(vf, 1035u);
  bool marked = true;
  ASSERT_EQ(map.GetMark(200, 5, &marked), ERROR_SUCCESS);
  EXPECT_FALSE(marked);

  // A taken new key or an absent old key changes nothing.
  const std::vector<uint8_t> before(map.Image().begin(), map.Image().end());
  EXPECT_EQ(map.ReKey(0, 0, 1, 1), ERROR_FILE_EXISTS);
  EXPECT_EQ(map.ReKey(0, 1, 5, 5), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), map.Image().begin(), map.Image().end()));
  EXPECT_EQ(map.Count(), 40u);
  // Re-keying onto itself is allowed.
  EXPECT_EQ(map.ReKey(0, 0, 0, 0), ERROR_SUCCESS);
  EXPECT_TRUE(Sound(map));
}

TEST_F(CacheMapTest, UnloadedMapRefusesEverything) {
  CCacheMap map;
  uint8_t vd;
  uint32_t vf;
  bool on;
  EXPECT_EQ(map.Lookup(0, 0, &vd, &vf), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.Insert(0, 0, 0, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.Remove(0, 0), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.ReKey(0, 0, 1, 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.SetMark(0, 0, true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.GetMark(0, 0, &on), ERROR_ACCESS_DENIED);
  EXPECT_EQ(map.Save(), ERROR_SUCCESS);
}

// Random inserts, removes, re-keys and marks against a std::map. A small key
// space keeps the tree small enough to check completely after every step, while
// the phases swing it between empty and full, so that splits, merges, rotations
// and root changes all happen many times.
TEST_F(CacheMapTest, RandomOperationsAgreeWithAModelAndKeepTheTreeSound) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  Model model;
  std::mt19937 rng(20240506);
  const uint8_t discs[] = {0, 1, 200, 255};
  auto random_key = [&](uint8_t* d, uint32_t* f) {
    *d = discs[rng() % 4];
    *f = (rng() % 150) * 0x71C3u;  // spread over 32 bits, compared unsigned
  };
  auto check_lookup = [&](uint8_t d, uint32_t f) {
    uint8_t vd = 0;
    uint32_t vf = 0;
    const Win32Error e = map.Lookup(d, f, &vd, &vf);
    const auto it = model.find(Key(d, f));
    if (it == model.end()) return e == ERROR_FILE_NOT_FOUND;
    return e == ERROR_SUCCESS && vd == it->second.disc && vf == it->second.file;
  };
  for (int step = 0; step < 100000; ++step) {
    const bool growing = (step / 5000) % 2 == 0;
    const uint32_t roll = rng() % 100;
    uint8_t d, d2;
    uint32_t f, f2;
    random_key(&d, &f);
    random_key(&d2, &f2);
    const auto it = model.find(Key(d, f));
    const bool present = it != model.end();
    if (roll < (growing ? 55u : 25u)) {
      const uint8_t vd = static_cast<uint8_t>(rng());
      const uint32_t vf = rng();
      ASSERT_EQ(map.Insert(d, f, vd, vf), present ? ERROR_FILE_EXISTS : ERROR_SUCCESS) << step;
      if (!present) model[Key(d, f)] = {vd, vf, false};
    } else if (roll < 85) {
      CacheMapEntry removed;
      ASSERT_EQ(map.Remove(d, f, &removed), present ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND) << step;
      if (present) {
        EXPECT_EQ(removed.value_file, it->second.file);
        model.erase(it);
      }
    } else if (roll < 95) {
      const bool taken = Key(d2, f2) != Key(d, f) && model.count(Key(d2, f2));
      const Win32Error want = !present ? ERROR_FILE_NOT_FOUND : taken ? ERROR_FILE_EXISTS : ERROR_SUCCESS;
      ASSERT_EQ(map.ReKey(d, f, d2, f2), want) << step;
      if (want == ERROR_SUCCESS) {
        Value v = it->second;
        v.marked = false;
        model.erase(it);
        model[Key(d2, f2)] = v;
      }
    } else {
      const bool on = rng() % 2;
      const Win32Error want = !present ? ERROR_FILE_NOT_FOUND
                              : it->second.marked == on ? ERROR_ALREADY_EXISTS
                                                         : ERROR_SUCCESS;
      ASSERT_EQ(map.SetMark(d, f, on), want) << step;
      if (present) it->second.marked = on;
    }
    ASSERT_TRUE(check_lookup(d, f)) << step;
    ASSERT_TRUE(check_lookup(d2, f2)) << step;
    ASSERT_TRUE(Sound(map, &model)) << "after step " << step;
  }
  CacheMapEntry first;
  const auto marked = std::find_if(model.begin(), model.end(), [](const auto& kv) { return kv.second.marked; });
  ASSERT_EQ(map.FirstMarked(&first), marked != model.end());
  if (marked != model.end()) {
    EXPECT_EQ(Key(first.key_disc, first.key_file), marked->first);
  }
}

// The changes told to the log, made again over an image of the map saved at
// any point of them (as after a kill, over the map file last written, with the
// log kept since an earlier one), give the map as it was.
TEST_F(CacheMapTest, LoggedChangesRebuildTheMapFromAnyEarlierImage) {
  CCacheMap map;
  ASSERT_EQ(map.LoadImage({}), ERROR_SUCCESS);
  std::mt19937 rng(7);
  for (uint32_t i = 0; i < 300; ++i) map.Insert(static_cast<uint8_t>(rng() % 3), rng() % 500, 1, i);
  std::vector<std::vector<uint8_t>> images{{map.Image().begin(), map.Image().end()}};
  std::vector<CacheMapChange> log;
  map.SetLog([&](const CacheMapChange& c) { log.push_back(c); });
  for (int step = 0; step < 3000; ++step) {
    const uint8_t d = static_cast<uint8_t>(rng() % 3);
    const uint32_t f = rng() % 500;
    switch (rng() % 4) {
      case 0:
      case 1: map.Insert(d, f, 2, static_cast<uint32_t>(step)); break;
      case 2: map.Remove(d, f); break;
      default: map.ReKey(d, f, static_cast<uint8_t>(rng() % 3), rng() % 500); break;
    }
    if (step % 7 == 0) map.SetMark(d, f, true);  // marks are not told
    if (step % 750 == 749) images.emplace_back(map.Image().begin(), map.Image().end());
  }
  map.SetLog(nullptr);
  ASSERT_FALSE(log.empty());
  auto same = [&](CCacheMap& other) {
    for (uint8_t d = 0; d < 3; ++d) {
      for (uint32_t f = 0; f < 500; ++f) {
        uint8_t vd1 = 0, vd2 = 0;
        uint32_t vf1 = 0, vf2 = 0;
        const Win32Error e1 = map.Lookup(d, f, &vd1, &vf1);
        const Win32Error e2 = other.Lookup(d, f, &vd2, &vf2);
        if (e1 != e2 || vd1 != vd2 || vf1 != vf2) return false;
      }
    }
    return true;
  };
  ASSERT_EQ(images.size(), 5u);
  for (size_t i = 0; i < images.size(); ++i) {
    CCacheMap rebuilt;
    ASSERT_EQ(rebuilt.LoadImage(images[i]), ERROR_SUCCESS);
    for (const CacheMapChange& c : log) rebuilt.Apply(c);
    EXPECT_TRUE(same(rebuilt)) << "image " << i;
    EXPECT_TRUE(Sound(rebuilt)) << "image " << i;
  }
}

// A map written while in use can be loaded as it was, the log's hook runs
// once the file is written, and a file left beside it by a kill mid-write
// does not disturb the map file.
TEST_F(CacheMapTest, CheckpointWritesTheFileWhileTheMapStaysInUse) {
  CCacheMap map;
  const fs::path path = dir_ / "mapdat.bin";
  ASSERT_EQ(map.Load(path), ERROR_SUCCESS);
  for (uint32_t i = 0; i < 200; ++i) ASSERT_EQ(map.Insert(1, i, 2, i + 1000), ERROR_SUCCESS);
  bool told = false;
  ASSERT_EQ(map.Checkpoint([&] { told = fs::exists(path) && !fs::exists(dir_ / "mapdat.bin.new"); }), ERROR_SUCCESS);
  EXPECT_TRUE(told);
  ASSERT_EQ(map.Insert(1, 500, 2, 7), ERROR_SUCCESS);  // still in use
  CCacheMap copy;
  ASSERT_EQ(copy.Load(path), ERROR_SUCCESS);
  uint8_t vd = 0;
  uint32_t vf = 0;
  EXPECT_EQ(copy.Lookup(1, 199, &vd, &vf), ERROR_SUCCESS);
  EXPECT_EQ(vf, 1199u);
  EXPECT_EQ(copy.Lookup(1, 500, &vd, &vf), ERROR_FILE_NOT_FOUND);
  copy.Unload();
  {
    std::ofstream torn(dir_ / "mapdat.bin.new", std::ios::binary);
    torn << "cut short";
  }
  ASSERT_EQ(map.Save(), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(dir_ / "mapdat.bin.new"));
  ASSERT_EQ(copy.Load(path), ERROR_SUCCESS);
  EXPECT_EQ(copy.Lookup(1, 500, &vd, &vf), ERROR_SUCCESS);
}

// The same against a large tree, checked completely every few thousand steps.
TEST_F(CacheMapTest, LargeTreeStaysSoundAndRoundTripsThroughItsFile) {
  CCacheMap map;
  const fs::path path = dir_ / "mapdat.bin";
  ASSERT_EQ(map.Load(path), ERROR_SUCCESS);
  Model model;
  std::mt19937 rng(99);
  for (int step = 0; step < 100000; ++step) {
    const uint8_t d = static_cast<uint8_t>(rng() % 12);
    const uint32_t f = rng() % (1u << 30);
    const uint32_t roll = rng() % 10;
    if (roll < 7) {
      const bool present = model.count(Key(d, f));
      ASSERT_EQ(map.Insert(d, f, d, f), present ? ERROR_FILE_EXISTS : ERROR_SUCCESS);
      model[Key(d, f)] = {d, f, false};
    } else if (!model.empty()) {
      auto it = model.lower_bound(Key(d, f));
      if (it == model.end()) it = model.begin();
      const uint8_t kd = static_cast<uint8_t>(it->first >> 32);
      const uint32_t kf = static_cast<uint32_t>(it->first);
      uint8_t vd;
      uint32_t vf;
      ASSERT_EQ(map.Lookup(kd, kf, &vd, &vf), ERROR_SUCCESS);
      if (roll < 9) {
        ASSERT_EQ(map.Remove(kd, kf), ERROR_SUCCESS);
        model.erase(it);
      } else if (!model.count(Key(kd, kf + 1))) {
        ASSERT_EQ(map.ReKey(kd, kf, kd, kf + 1), ERROR_SUCCESS);
        const Value v = it->second;
        model.erase(it);
        model[Key(kd, kf + 1)] = v;
      }
    }
    if (step % 5000 == 4999) {
      ASSERT_TRUE(Sound(map, &model)) << step;
    }
  }
  EXPECT_EQ(map.Count(), model.size());
  const std::vector<uint8_t> image(map.Image().begin(), map.Image().end());
  ASSERT_EQ(map.Save(), ERROR_SUCCESS);
  EXPECT_FALSE(map.IsLoaded());
  std::string on_disk;
  ASSERT_EQ(platform::ReadWholeFile(path, &on_disk), ERROR_SUCCESS);
  ASSERT_EQ(on_disk.size(), image.size());
  EXPECT_EQ(std::memcmp(on_disk.data(), image.data(), image.size()), 0);
  ASSERT_EQ(map.Load(path), ERROR_SUCCESS);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), map.Image().begin(), map.Image().end()));
  EXPECT_TRUE(Sound(map, &model));
}

// Builds a valid image with a root, two levels and a free list to corrupt.
std::vector<uint8_t> SampleImage() {
  CCacheMap map;
  map.LoadImage({});
  for (uint32_t f = 0; f < 30; ++f) map.Insert(0, f, 0, f);
  return {map.Image().begin(), map.Image().end()};
}

TEST_F(CacheMapTest, CorruptImagesAreRefusedOnLoad) {
  const std::vector<uint8_t> good = SampleImage();
  CCacheMap map;
  ASSERT_EQ(map.LoadImage(good), ERROR_SUCCESS);
  const uint32_t root = Rd32(&good[4]);
  auto node = [](std::vector<uint8_t>& b, uint32_t n) { return &b[12 + 76 * n]; };

  auto refused = [&](const char* what, auto mutate) {
    std::vector<uint8_t> bad = good;
    mutate(bad);
    EXPECT_EQ(map.LoadImage(bad), ERROR_ACCESS_DENIED) << what;
    EXPECT_FALSE(map.IsLoaded()) << what;
    const fs::path path = dir_ / "mapbad.bin";
    platform::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(bad.data()), bad.size()));
    EXPECT_EQ(map.Load(path), ERROR_ACCESS_DENIED) << what;
  };
  refused("4100-byte file", [](auto& b) { b.resize(4100, 0xFF); });
  refused("root out of range", [](auto& b) { Wr32(&b[4], 53); });
  refused("capacity not matching the size", [](auto& b) { Wr32(&b[0], 60); });
  refused("child out of range", [&](auto& b) { Wr32(node(b, root) + 8, 1000); });
  refused("child pointing back at the root", [&](auto& b) {
    const uint32_t child = Rd32(node(b, root) + 8);
    Wr32(node(b, child) + 8, root);
  });
  refused("five entries", [&](auto& b) { node(b, root)[0] = 5; });
  refused("255 entries", [&](auto& b) { node(b, root)[0] = 0xFF; });
  refused("parent link wrong", [&](auto& b) { Wr32(node(b, Rd32(node(b, root) + 8)) + 4, 0xFFFFFFFF); });
  refused("free list into the tree", [&](auto& b) { Wr32(&b[8], root); });
  refused("free list loop", [&](auto& b) {
    const uint32_t head = Rd32(&b[8]);
    Wr32(node(b, head) + 8, head);
  });
  refused("keys out of order", [&](auto& b) { Wr32(node(b, root) + 12 + 4, 0); });
  refused("same child twice", [&](auto& b) { Wr32(node(b, root) + 12 + 12, Rd32(node(b, root) + 8)); });
  refused("inner node without entries", [&](auto& b) { node(b, root)[0] = 0; });
  refused("inner entry without its child", [&](auto& b) { Wr32(node(b, root) + 12 + 12, 0xFFFFFFFF); });
  // The untouched image still loads.
  EXPECT_EQ(map.LoadImage(good), ERROR_SUCCESS);
}

// A node is a leaf by its leftmost child alone: a map whose leaf entries hold
// other values in their right-child fields (as another writer may leave them)
// loads, and every lookup, insert and removal works on it.
TEST_F(CacheMapTest, LeafEntriesRightChildFieldsAreIgnored) {
  std::vector<uint8_t> image = SampleImage();
  auto node = [&](uint32_t n) { return &image[12 + 76 * n]; };
  const uint32_t capacity = Rd32(&image[0]);
  const uint32_t root = Rd32(&image[4]);
  const uint32_t junk[] = {0, 1, root, 0x12345678, 0xFFFFFFFE};
  int patched = 0;
  // The tree's leaves: nodes reachable from the root whose leftmost child is none.
  std::vector<uint32_t> todo = {root};
  while (!todo.empty()) {
    const uint32_t n = todo.back();
    todo.pop_back();
    ASSERT_LT(n, capacity);
    const uint8_t count = node(n)[0];
    if (Rd32(node(n) + 8) != 0xFFFFFFFF) {
      todo.push_back(Rd32(node(n) + 8));
      for (uint32_t k = 0; k < count; ++k) todo.push_back(Rd32(node(n) + 12 + 16 * k + 12));
      continue;
    }
    for (uint32_t k = 0; k < count; ++k) Wr32(node(n) + 12 + 16 * k + 12, junk[patched++ % 5]);
  }
  ASSERT_GT(patched, 20);

  CCacheMap map;
  ASSERT_EQ(map.LoadImage(image), ERROR_SUCCESS);
  Model model;
  for (uint32_t f = 0; f < 30; ++f) model[Key(0, f)] = {0, f, false};
  EXPECT_TRUE(Sound(map, &model));
  for (uint32_t f = 0; f < 30; ++f) {
    uint8_t vd = 9;
    uint32_t vf = 0;
    ASSERT_EQ(map.Lookup(0, f, &vd, &vf), ERROR_SUCCESS) << f;
    EXPECT_EQ(vf, f);
  }
  uint8_t vd;
  uint32_t vf;
  EXPECT_EQ(map.Lookup(0, 30, &vd, &vf), ERROR_FILE_NOT_FOUND);
  for (uint32_t f = 30; f < 60; ++f) {
    ASSERT_EQ(map.Insert(0, f, 0, f), ERROR_SUCCESS) << f;
    model[Key(0, f)] = {0, f, false};
  }
  for (uint32_t f = 0; f < 60; f += 3) {
    ASSERT_EQ(map.Remove(0, f), ERROR_SUCCESS) << f;
    model.erase(Key(0, f));
  }
  EXPECT_TRUE(Sound(map, &model));
}

}  // namespace
}  // namespace kelva::storage
