// The volume worker on the simulated unit with a real FUSE mount (skipped
// where /dev/fuse is absent or mounting needs root): a unit with its magazine
// identified, a recording notifier and subscriber sink, and the drive folders
// in a temporary mount root.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "service/unit/condition_table.h"
#include "service/volume/volume_worker.h"
#include "tests/eventually.h"
#include "tests/service/storage/disc_engine_fixture.h"

namespace kelva::volume::testing {

namespace fs = std::filesystem;
using kelva::test::Eventually;

// The notifier's mailslot: media notices and user messages as they arrive.
class NoticeLog : public unit::NotifierChannel {
 public:
  platform::Win32Error Deliver(const void* data, uint32_t length) override {
    std::lock_guard lock(mu_);
    messages_.emplace_back(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    return platform::ERROR_SUCCESS;
  }
  platform::Win32Error DeliverDialog(const void*, uint32_t, std::unique_ptr<unit::DialogWait>*) override {
    return platform::ERROR_FILE_NOT_FOUND;
  }
  bool Listening() override { return true; }

  // Root paths of the media notices of kind (0x10 inserted, 0x11 removed).
  std::vector<std::string> Media(uint8_t kind) {
    std::lock_guard lock(mu_);
    std::vector<std::string> out;
    for (const auto& m : messages_)
      if (m.size() == unit::kNotifyMessageSize && m[0] == kind) out.push_back(Utf16At(m, 8));
    return out;
  }
  // User messages whose text contains text.
  int Texts(const std::string& text) {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& m : messages_)
      if (m.size() == unit::kNotifyMessageSize && m[0] <= 1) n += Utf16At(m, 136).find(text) != std::string::npos;
    return n;
  }

 private:
  static std::string Utf16At(const std::vector<uint8_t>& m, size_t offset) {
    std::u16string s;
    for (size_t i = offset; i + 1 < m.size(); i += 2) {
      const char16_t c = static_cast<char16_t>(m[i] | m[i + 1] << 8);
      if (c == 0) break;
      s.push_back(c);
    }
    return platform::Utf16ToUtf8(s);
  }
  std::mutex mu_;
  std::vector<std::vector<uint8_t>> messages_;
};

// The control channel's subscriber sink: the three-byte unit events.
class EventLog {
 public:
  void Add(const uint8_t event[3]) {
    std::lock_guard lock(mu_);
    events_.push_back({event[0], event[1], event[2]});
  }
  int Count(uint8_t event_class) {
    std::lock_guard lock(mu_);
    int n = 0;
    for (const auto& e : events_) n += e[1] == event_class;
    return n;
  }
  // The letter byte of the last event of the class, 0 when none.
  char LetterOf(uint8_t event_class) {
    std::lock_guard lock(mu_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it)
      if ((*it)[1] == event_class) return static_cast<char>((*it)[2]);
    return 0;
  }

 private:
  std::mutex mu_;
  std::vector<std::array<uint8_t, 3>> events_;
};

inline bool IsMountPoint(const fs::path& folder) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest)) {
    if (point == folder.string()) return true;
  }
  return false;
}

class VolumeWorkerTest : public storage::testing::DiscEngineTest {
 protected:
  void SetUp() override {
    DiscEngineTest::SetUp();
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    if (geteuid() != 0) GTEST_SKIP() << "mounting with allow_other needs root";
    media_ = temp_ / "media";
    fs::create_directories(media_);
    setenv("KELVA_MOUNT_ROOT", media_.c_str(), 1);
    registry_ = std::make_unique<platform::Registry>(temp_ / "registry");
  }
  void TearDown() override {
    worker_.reset();
    std::error_code ec;
    for (auto it = fs::directory_iterator(media_, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      ::umount2(it->path().c_str(), MNT_DETACH);
    DiscEngineTest::TearDown();
  }

  // The unit with its magazine identified; the worker's session makes its
  // own cache store and disc I/O engine.
  void StartUnit() {
    storage::testing::EngineSetup setup;
    setup.notifier = &notices_;
    Start(setup);
    engine_->Shutdown();
    engine_.reset();
    cache_->Close();
    cache_.reset();
    controller_->SetVolumeWorker(nullptr);
    clock_.SetScale(50);
  }
  std::unique_ptr<CVolumeWorker> NewWorker() {
    VolumeWorkerOptions o;
    o.data_folder = temp_ / "data";
    o.clock = &clock_;
    o.registry = registry_.get();
    o.mount_group = static_cast<long>(getgid());
    auto worker = CVolumeWorker::Create(kRawVolume, controller_.get(),
                                        [this](const uint8_t e[3]) { events_.Add(e); }, o);
    if (worker != nullptr) {
      EXPECT_TRUE(Eventually([&] { return worker->DriveLetter() != 0; }, 20000));
    }
    return worker;
  }
  // A worker with the magazine mounted.
  void MountWorker() {
    StartUnit();
    worker_ = NewWorker();
    ASSERT_NE(worker_, nullptr);
    worker_->Mount(nullptr);
    ASSERT_TRUE(worker_->HasVolume());
    ASSERT_TRUE(IsMountPoint(worker_->MountPoint()));
  }

  fs::path media_;
  std::unique_ptr<platform::Registry> registry_;
  NoticeLog notices_;
  EventLog events_;
  std::unique_ptr<CVolumeWorker> worker_;
};

}  // namespace kelva::volume::testing
