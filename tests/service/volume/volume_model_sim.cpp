// Random sequences of namespace and data operations against the volume on the
// simulated unit and against an in-memory model of the expected tree and
// contents, with the background writer recording and the volume dismounted
// and remounted at random points. Every result code, read, listing and
// information query must agree with the model.
//
// The seed is fixed so that a run is repeatable; KELVA_MODEL_SEED picks
// another and KELVA_MODEL_STEPS the length. A failure names its seed and step.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "platform/text.h"
#include "tests/service/volume/volume_ops_fixture.h"

namespace kelva::volume {
namespace {

using testing::Bytes;
using testing::VolumeOpsTest;

constexpr uint32_t kReadAccess = 0x80000000;

struct ModelEntry {
  std::u16string path;  // as created (or last renamed), without the leading "\"
  bool directory = false;
  std::vector<uint8_t> data;
  uint32_t hidden = 0;  // FILE_ATTRIBUTE_HIDDEN when set
};

// The expected tree, keyed by the upper-cased path: names compare without case.
class Model {
 public:
  static std::u16string Key(std::u16string_view path) { return platform::UpCase(path); }
  ModelEntry* Find(std::u16string_view path) {
    auto it = entries_.find(Key(path));
    return it == entries_.end() ? nullptr : &it->second;
  }
  void Put(const ModelEntry& e) { entries_[Key(e.path)] = e; }
  static std::u16string Parent(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, slash));
  }
  static std::u16string Name(std::u16string_view path) {
    const size_t slash = path.rfind(u'\\');
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
  }
  static bool IsStream(std::u16string_view path) { return Name(path).find(u':') != std::u16string::npos; }
  // Entries directly in folder dir ("" for the root), streams left out.
  std::vector<std::u16string> Children(std::u16string_view dir) {
    std::vector<std::u16string> out;
    for (auto& [key, e] : entries_) {
      if (Key(Parent(e.path)) == Key(dir) && !IsStream(e.path)) out.push_back(Name(e.path));
    }
    return out;
  }
  // The path and everything below it (for a file: its streams).
  std::vector<std::u16string> Subtree(std::u16string_view path) {
    std::vector<std::u16string> out;
    const std::u16string key = Key(path);
    for (auto& [k, e] : entries_) {
      if (k == key || (k.size() > key.size() && k.starts_with(key) && (k[key.size()] == u'\\' || k[key.size()] == u':'))) {
        out.push_back(e.path);
      }
    }
    return out;
  }
  void Erase(std::u16string_view path) {
    for (const std::u16string& p : Subtree(path)) entries_.erase(Key(p));
  }
  void Move(std::u16string_view from, std::u16string_view to) {
    std::vector<ModelEntry> moved;
    for (const std::u16string& p : Subtree(from)) {
      ModelEntry e = *Find(p);
      e.path = std::u16string(to) + e.path.substr(from.size());
      moved.push_back(e);
    }
    Erase(from);
    for (const ModelEntry& e : moved) Put(e);
  }
  std::vector<ModelEntry*> All(bool dirs, bool files) {
    std::vector<ModelEntry*> out;
    for (auto& [k, e] : entries_) {
      if (e.directory ? dirs : files) out.push_back(&e);
    }
    return out;
  }

 private:
  std::map<std::u16string, ModelEntry> entries_;
};

class VolumeModelTest : public VolumeOpsTest {
 protected:
  void SetUp() override {
    VolumeOpsTest::SetUp();
    Mount();
    clock_.SetScale(50);  // the writer's quiet time and polls pass quickly
    StartWriter();
  }
  void TearDown() override {
    clock_.SetScale(0);
    VolumeOpsTest::TearDown();
  }

  template <typename T>
  T& Pick(std::vector<T>& v) {
    return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng_)];
  }
  int Roll(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::u16string RandomName() {
    static const char16_t* const kNames[] = {u"alpha", u"Beta", u"gamma.txt", u"delta", u"eps.tmp", u"zeta"};
    return kNames[Roll(6)];
  }
  std::u16string RandomFolder() {
    std::vector<ModelEntry*> dirs = model_.All(true, false);
    if (dirs.empty() || Roll(4) == 0) return u"";
    return Pick(dirs)->path;
  }
  static std::u16string Abs(std::u16string_view p) { return u"\\" + std::u16string(p); }
  static std::u16string Join(std::u16string_view dir, std::u16string_view name) {
    return dir.empty() ? std::u16string(name) : std::u16string(dir) + u"\\" + std::u16string(name);
  }

  void CreateFile(bool stream) {
    std::u16string path;
    if (stream) {
      std::vector<ModelEntry*> files = model_.All(false, true);
      std::erase_if(files, [](ModelEntry* e) { return Model::IsStream(e->path); });
      if (files.empty()) return;
      path = Pick(files)->path + (Roll(2) == 0 ? u":s1" : u":s2");
    } else {
      path = Join(RandomFolder(), RandomName());
    }
    const std::vector<uint8_t> data = Bytes(static_cast<size_t>(Roll(3) == 0 ? 0 : Roll(300000)), seed_ + step_);
    const platform::Win32Error want = model_.Find(path) != nullptr ? 183 : 0;
    Trace("create " + Narrow(path) + " length " + std::to_string(data.size()));
    ASSERT_EQ(PutFile(Abs(path), data), want) << Narrow(path);
    if (want == 0) {
      model_.Put(ModelEntry{path, false, data, 0});
      if (stream && model_.Find(path.substr(0, path.find(u':'))) == nullptr) {
        model_.Put(ModelEntry{path.substr(0, path.find(u':')), false, {}, 0});
      }
    }
  }

  void CreateFolder() {
    const std::u16string path = Join(RandomFolder(), RandomName());
    const platform::Win32Error want = model_.Find(path) != nullptr ? 183 : 0;
    Trace("folder " + Narrow(path));
    ASSERT_EQ(MakeDirectory(Abs(path)), want) << Narrow(path);
    if (want == 0) model_.Put(ModelEntry{path, true, {}, 0});
  }

  void Write() {
    std::vector<ModelEntry*> files = model_.All(false, true);
    if (files.empty()) return;
    ModelEntry* e = Pick(files);
    EntryRef* ctx = nullptr;
    ASSERT_EQ(volume_->OpenEntry(Abs(e->path), kReadAccess | 0x40000000, 0, &ctx), 0u) << Narrow(e->path);
    const int64_t at = Roll(static_cast<int>(e->data.size()) + 70000);
    const std::vector<uint8_t> data = Bytes(static_cast<size_t>(Roll(200000) + 1), seed_ * 7 + step_);
    if (Roll(5) == 0) {
      // A size change instead of a write.
      Trace("end " + Narrow(e->path) + " at " + std::to_string(at));
      ASSERT_EQ(volume_->SetEntryEnd(ctx, at), 0u);
      e->data.resize(static_cast<size_t>(at));
    } else {
      uint32_t written = 0;
      Trace("write " + Narrow(e->path) + " at " + std::to_string(at) + " length " + std::to_string(data.size()));
      ASSERT_EQ(volume_->WriteEntry(ctx, at, static_cast<uint32_t>(data.size()), data.data(), &written), 0u);
      ASSERT_EQ(written, data.size());
      if (e->data.size() < at + data.size()) e->data.resize(at + data.size());
      std::copy(data.begin(), data.end(), e->data.begin() + at);
    }
    ASSERT_EQ(volume_->CloseEntry(ctx), 0u);
  }

  void Read() {
    std::vector<ModelEntry*> files = model_.All(false, true);
    if (files.empty()) return;
    ModelEntry* e = Pick(files);
    const auto got = ReadFile(Abs(e->path));
    ASSERT_TRUE(got.has_value()) << Narrow(e->path);
    ASSERT_EQ(got->size(), e->data.size()) << Narrow(e->path);
    ASSERT_TRUE(*got == e->data) << Narrow(e->path);
  }

  void Rename() {
    std::vector<ModelEntry*> all = model_.All(true, true);
    std::erase_if(all, [](ModelEntry* e) { return Model::IsStream(e->path); });
    if (all.empty()) return;
    const ModelEntry source = *Pick(all);
    std::u16string target_dir = RandomFolder();
    std::u16string name = RandomName();
    if (Roll(4) == 0) {
      // Letter case only.
      target_dir = Model::Parent(source.path);
      name = platform::UpCase(Model::Name(source.path));
    }
    const std::u16string target = Join(target_dir, name);
    const ModelEntry* existing = model_.Find(target);
    const bool same = Model::Key(target) == Model::Key(source.path);
    const std::u16string src_key = Model::Key(source.path) + u"\\";
    platform::Win32Error want = 0;
    if (existing != nullptr && !same && existing->directory) {
      want = 5;
    } else if (source.directory && Model::Key(target).starts_with(src_key)) {
      want = 87;
    } else if (existing != nullptr && !same && source.directory) {
      return;  // a folder onto a file: the catalogs decide, not modelled
    }
    Trace("rename " + Narrow(source.path) + " -> " + Narrow(target));
    ASSERT_EQ(volume_->RenameEntry(Abs(source.path), Abs(target)), want)
        << Narrow(source.path) << " -> " << Narrow(target);
    if (want != 0) return;
    if (existing != nullptr && !same) model_.Erase(target);
    model_.Move(source.path, target);
  }

  void Delete() {
    std::vector<ModelEntry*> all = model_.All(true, true);
    if (all.empty()) return;
    const ModelEntry victim = *Pick(all);
    const bool has_children = victim.directory && !model_.Children(victim.path).empty();
    const platform::Win32Error want = has_children ? 145 : 0;
    Trace("delete " + Narrow(victim.path));
    ASSERT_EQ(volume_->DeleteEntry(Abs(victim.path)), want) << Narrow(victim.path);
    if (want == 0) model_.Erase(victim.path);
  }

  void Attributes() {
    std::vector<ModelEntry*> files = model_.All(false, true);
    std::erase_if(files, [](ModelEntry* e) { return Model::IsStream(e->path); });
    if (files.empty()) return;
    ModelEntry* e = Pick(files);
    EntryRef* ctx = nullptr;
    ASSERT_EQ(volume_->OpenEntry(Abs(e->path), kReadAccess, 0, &ctx), 0u);
    const uint32_t hidden = Roll(2) == 0 ? 0x2u : 0u;
    Trace("attributes " + Narrow(e->path));
    ASSERT_EQ(volume_->SetEntryInfo(ctx, 0, 0, 0, 0x20 | hidden), 0u);
    ASSERT_EQ(volume_->CloseEntry(ctx), 0u);
    e->hidden = hidden;
  }

  void CheckInfo() {
    std::vector<ModelEntry*> all = model_.All(true, true);
    std::u16string path = all.empty() || Roll(4) == 0 ? Join(RandomFolder(), u"absent") : Pick(all)->path;
    const ModelEntry* e = model_.Find(path);
    const EntryInfo info = Info(Abs(path));
    ASSERT_EQ(info.exists, e != nullptr) << Narrow(path);
    if (e == nullptr) return;
    ASSERT_EQ((info.attributes & 0x10) != 0, e->directory) << Narrow(path);
    if (!e->directory) {
      ASSERT_EQ(info.end_of_file, static_cast<int64_t>(e->data.size())) << Narrow(path);
      if (!Model::IsStream(path)) {
        ASSERT_EQ(info.attributes & 0x2, e->hidden) << Narrow(path);
      }
    }
  }

  void CheckListing() {
    const std::u16string dir = RandomFolder();
    std::vector<std::u16string> want = model_.Children(dir);
    std::vector<std::u16string> got = List(Abs(dir));
    for (auto* v : {&want, &got}) {
      for (auto& n : *v) n = platform::UpCase(n);
      std::sort(v->begin(), v->end());
    }
    ASSERT_EQ(got, want) << Narrow(dir);
  }

  void Remount() {
    Trace("remount");
    clock_.SetScale(0);
    Unmount();
    Mount();
    clock_.SetScale(50);
    StartWriter();
  }

  static std::string Narrow(std::u16string_view s) { return platform::Utf16ToUtf8(s); }
  // KELVA_MODEL_TRACE=1 prints every changing step.
  void Trace(const std::string& line) {
    if (std::getenv("KELVA_MODEL_TRACE") != nullptr) fprintf(stderr, "%d: %s\n", step_, line.c_str());
  }

  Model model_;
  std::mt19937 rng_;
  uint32_t seed_ = 0;
  int step_ = 0;
};

TEST_F(VolumeModelTest, RandomOperationsAgreeWithTheModel) {
  seed_ = 19;
  int steps = 300;
  if (const char* s = std::getenv("KELVA_MODEL_SEED")) seed_ = static_cast<uint32_t>(std::strtoul(s, nullptr, 10));
  if (const char* s = std::getenv("KELVA_MODEL_STEPS")) steps = std::atoi(s);
  rng_.seed(seed_);
  for (step_ = 0; step_ < steps; ++step_) {
    SCOPED_TRACE("seed " + std::to_string(seed_) + " step " + std::to_string(step_) +
                 " (rerun with KELVA_MODEL_SEED=" + std::to_string(seed_) + ")");
    const int op = Roll(100);
    if (op < 16) {
      CreateFile(false);
    } else if (op < 22) {
      CreateFile(true);
    } else if (op < 30) {
      CreateFolder();
    } else if (op < 44) {
      Write();
    } else if (op < 56) {
      Read();
    } else if (op < 66) {
      Rename();
    } else if (op < 75) {
      Delete();
    } else if (op < 80) {
      Attributes();
    } else if (op < 90) {
      CheckInfo();
    } else if (op < 98) {
      CheckListing();
    } else {
      Remount();
    }
    if (HasFatalFailure()) return;
  }
  // After a last remount every file reads back as the model says.
  Remount();
  for (ModelEntry* e : model_.All(false, true)) {
    SCOPED_TRACE(Narrow(e->path));
    const auto got = ReadFile(Abs(e->path));
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(*got == e->data);
  }
}

}  // namespace
}  // namespace kelva::volume
