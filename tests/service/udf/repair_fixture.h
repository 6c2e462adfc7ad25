// A write-once disc of the simulated unit holding a small tree written by our
// file system, with what each file held, the repair's messages, and checks of
// the disc as a reader finds it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "service/udf/metadata_repair.h"
#include "tests/platform/udf/fs/fs_fixture.h"
#include "tests/service/udf/udf_damage.h"

namespace kelva::udf::testing {

inline constexpr char16_t kDeepPath[] = u"a\\b\\c.txt";
inline constexpr char16_t kLatePath[] = u"late\\deep\\z.bin";

class RepairFixture : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }

  // Formats a write-once disc and records the tree in one flush: a deep path,
  // enough files to make the metadata file grow in further extents (as other
  // recorders leave it), and a path written last (its entries and the root
  // folder's blocks lie in the metadata file's last extent).
  void Build(bool recordable = true, size_t fillers = 48) {
    vol_.reset();
    files_.clear();
    dir_ = TestDir("repair");
    vol_ = std::make_unique<SimVolume>(dir_, recordable);
    vol_->move_metadata = false;
    ASSERT_EQ(vol_->Mount(), 0u);
    UdfFileSystem& fs = vol_->fs();
    ASSERT_EQ(fs.CreateFolder(u"a"), 0u);
    ASSERT_EQ(fs.CreateFolder(u"a\\b"), 0u);
    Put(kDeepPath, 3000, 1);
    Put(u"top.bin", 70000, 2);
    ASSERT_EQ(fs.CreateFolder(u"fill"), 0u);
    for (size_t i = 0; i < fillers; ++i)
      Put(u"fill\\f" + std::u16string(1, u'A' + i / 26) + std::u16string(1, u'a' + i % 26), 100,
          static_cast<uint32_t>(10 + i));
    ASSERT_EQ(fs.CreateFolder(u"late"), 0u);
    ASSERT_EQ(fs.CreateFolder(u"late\\deep"), 0u);
    Put(kLatePath, 5000, 3);
    ASSERT_EQ(fs.Flush(), 0u);
    UdfFileInfo info;
    ASSERT_EQ(fs.GetInfo(u"a\\b", &info), 0u);
    folderB_ = info.uniqueId;
    ASSERT_EQ(fs.GetInfo(kDeepPath, &info), 0u);
    deepFile_ = info.uniqueId;
    vol_->Drop();
  }
  void Put(const std::u16string& path, size_t size, uint32_t seed) {
    files_[path] = Pattern(size, seed);
    ASSERT_EQ(PutFile(vol_->fs(), path, files_[path]), 0u);
  }

  // What a reader finds: the mount's error, the check's problems and the files
  // that do not read back as written.
  struct Reading {
    platform::Win32Error mount = 0;
    std::vector<std::string> problems;
    std::vector<std::string> lost;
    bool Clean() const { return mount == 0 && problems.empty() && lost.empty(); }
  };
  Reading Read() {
    Reading r;
    r.mount = vol_->Mount(true);
    if (r.mount) return r;
    vol_->fs().Check(&r.problems);
    for (const auto& [path, data] : files_) {
      std::vector<uint8_t> got;
      if (GetFile(vol_->fs(), path, &got) || got != data)
        r.lost.push_back(std::string(path.begin(), path.end()));
    }
    vol_->Drop();
    return r;
  }

  RepairSink Sink() {
    return [this](const std::string& m) { messages_ += m; };
  }
  int RepairVolumeNow(uint32_t* written = nullptr) {
    return RepairVolume(vol_->drive(), Sink(), written);
  }
  int RepairFileNow(std::u16string_view path, bool creating, uint32_t* written = nullptr) {
    return RepairFile(vol_->drive(), path, creating, Sink(), written);
  }
  // Plugs the unit back in and takes the unit attention that follows.
  void Replug() {
    vol_->unit().Plug();
    for (int i = 0; i < 3 && vol_->drive().TestUnitReady() != 0; ++i) {
    }
  }
  size_t Writes() { return vol_->log().writes.size(); }
  UdfDamage Damage() { return UdfDamage(vol_->drive()); }

  std::filesystem::path dir_;
  std::unique_ptr<SimVolume> vol_;
  std::map<std::u16string, std::vector<uint8_t>> files_;
  uint64_t folderB_ = 0, deepFile_ = 0;
  std::string messages_;
};

}  // namespace kelva::udf::testing
