// A volume mounted on the simulated unit with the real disc I/O engine, for
// the tests of the namespace and data operations: Mount opens a new volume
// (or, after Unmount, the same magazine again from its cache and discs), the
// background writer runs on its own thread when asked, and helpers create,
// write and read files through the volume's operations.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/volume/catalog_restore.h"
#include "service/volume/engine_discs.h"
#include "service/volume/fs_volume.h"
#include "tests/eventually.h"
#include "tests/service/storage/disc_engine_fixture.h"

namespace kelva::volume::testing {

class NoticeUnit : public IVolumeUnit {
 public:
  void Report(uint32_t code, bool) override {
    std::lock_guard l(mu);
    notices.push_back(code);
  }
  bool IsVolumeReadOnly() override { return false; }
  void SetWriteHeld(bool) override {}
  int Count(uint32_t code) {
    std::lock_guard l(mu);
    int n = 0;
    for (uint32_t c : notices) n += c == code;
    return n;
  }
  std::mutex mu;
  std::vector<uint32_t> notices;
};

class VolumeOpsTest : public storage::testing::DiscEngineTest {
 protected:
  static constexpr uint64_t kVersion = 0x0001000000000000ULL;

  void TearDown() override {
    Unmount();
    DiscEngineTest::TearDown();
  }

  // A new volume on a fresh magazine (first call) or the magazine as the last
  // Unmount left it.
  void Mount() {
    uint8_t current = 0;
    if (engine_ == nullptr) {
      Start();
      if (HasFatalFailure()) return;
      current = engine_->CurrentDisc();
      // The volume names the cache store's new numbers: a new pair below.
      engine_->Shutdown();
      engine_.reset();
      cache_->Close();
      cache_.reset();
    } else {
      current = engine_->CurrentDisc();
      engine_->Shutdown();
      engine_.reset();
    }
    MachineIdentity identity;
    identity.fill(0x33);
    volume_ = std::make_unique<CFsVolume>(controller_.get(), clock_, kVersion, identity);
    cache_ = std::make_unique<storage::CCacheStore>(volume_.get(), temp_ / "data", clock_);
    ASSERT_TRUE(cache_->Open(u"ENGINE-TEST"));
    storage::DiscEngineOptions eo;
    eo.clock = &clock_;
    eo.highest_disc = storage::testing::EngineSetup{}.highest_disc;
    engine_ = std::make_unique<storage::CDiscEngine>(&host_, cache_.get(), controller_.get(), eo);
    ASSERT_EQ(engine_->Start(current), 0u);
    discs_ = std::make_unique<CEngineDiscs>(engine_.get());
    volume_->set_change_callback([this](std::u16string_view path, uint32_t code) {
      std::lock_guard l(changes_mu_);
      changes_.emplace_back(std::u16string(path), code);
    });
    CCatalogRestore restore(structure_file_);
    VolumeOpenParts parts;
    parts.unit = &unit_;
    parts.discs = discs_.get();
    parts.recorder = discs_.get();
    parts.cache = std::move(cache_);
    parts.restore = &restore;
    ASSERT_TRUE(volume_->Open(std::move(parts)));
    // Taking over the numbers already used is the resume step's work; the
    // tests stand in for it.
    while (volume_->NextFileNumber() < next_file_) {
    }
  }

  // Closes the volume the way a dismount does, keeping the cache.
  void Unmount() {
    if (!volume_) return;
    StopWriter();
    volume_->settings().retention_mode = 2;
    volume_->Close();
    // Close saves the structure catalog under its next number.
    structure_file_ = volume_->structure_file();
    next_file_ = volume_->NextFileNumber() + 1;
    volume_.reset();
    discs_.reset();
  }

  void StartWriter() {
    writer_ = std::thread([this] { volume_->RunWriter(); });
    ASSERT_TRUE(test::Eventually([&] { return volume_->writer_running(); }));
  }
  void StopWriter() {
    if (!writer_.joinable()) return;
    volume_->StopWriter();
    writer_.join();
  }

  // Creates a file holding data and closes it. 0 or the first error.
  platform::Win32Error PutFile(std::u16string_view path, const std::vector<uint8_t>& data, uint32_t attributes = 0) {
    EntryRef* ctx = nullptr;
    if (const auto e = volume_->CreateEntry(path, attributes, &ctx); e != 0) return e;
    uint32_t written = 0;
    platform::Win32Error e = 0;
    if (!data.empty()) e = volume_->WriteEntry(ctx, 0, static_cast<uint32_t>(data.size()), data.data(), &written);
    if (e == 0 && written != data.size()) e = platform::ERROR_WRITE_FAULT;
    volume_->CloseEntry(ctx);
    return e;
  }
  platform::Win32Error MakeDirectory(std::u16string_view path) {
    EntryRef* ctx = nullptr;
    if (const auto e = volume_->CreateEntry(path, 0x10, &ctx); e != 0) return e;
    return volume_->CloseEntry(ctx);
  }
  // The whole content of a file, or nullopt when it cannot be opened or read.
  std::optional<std::vector<uint8_t>> ReadFile(std::u16string_view path) {
    EntryRef* ctx = nullptr;
    if (volume_->OpenEntry(path, 0x80000000, 0, &ctx) != 0) return std::nullopt;
    std::vector<uint8_t> out;
    std::vector<uint8_t> chunk(300000);
    bool ok = true;
    for (;;) {
      uint32_t done = 0;
      if (volume_->ReadEntry(ctx, static_cast<int64_t>(out.size()), static_cast<uint32_t>(chunk.size()),
                             chunk.data(), &done) != 0) {
        ok = false;
        break;
      }
      if (done == 0) break;
      out.insert(out.end(), chunk.begin(), chunk.begin() + done);
    }
    volume_->CloseEntry(ctx);
    if (!ok) return std::nullopt;
    return out;
  }
  EntryInfo Info(std::u16string_view path) {
    EntryInfo info;
    EXPECT_EQ(volume_->GetEntryInfo(path, &info), 0u) << std::string(path.begin(), path.end());
    return info;
  }
  // Every name a "*" listing of the folder gives, in listing order.
  std::vector<std::u16string> List(std::u16string_view path, std::u16string_view mask = u"*") {
    std::vector<std::u16string> names;
    EntryRef* dir = nullptr;
    if (volume_->OpenEntry(path, 0x80000000, 0x10, &dir) != 0) return names;
    std::unique_ptr<CEntryListing> listing;
    for (int guard = 0; guard < 100000; ++guard) {
      bool found = false;
      ListedEntry entry;
      if (volume_->EnumerateEntries(dir, mask, false, &listing, &found, &entry) != 0 || !found) break;
      names.push_back(entry.name);
    }
    volume_->CloseEntry(dir);
    return names;
  }
  std::vector<std::pair<std::u16string, uint32_t>> Changes() {
    std::lock_guard l(changes_mu_);
    return changes_;
  }

  NoticeUnit unit_;
  std::unique_ptr<CEngineDiscs> discs_;
  std::unique_ptr<CFsVolume> volume_;
  std::thread writer_;
  std::optional<uint32_t> structure_file_;
  uint32_t next_file_ = 0;
  std::mutex changes_mu_;
  std::vector<std::pair<std::u16string, uint32_t>> changes_;
};

inline std::vector<uint8_t> Bytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

}  // namespace kelva::volume::testing
