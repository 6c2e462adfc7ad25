#include "disc_engine_fixture.h"

#include <unistd.h>

#include <cstring>
#include <random>

#include "emulator/magazine.h"
#include "platform/file.h"
#include "platform/text.h"
#include "service/unit/udf_maintenance.h"

namespace kelva::storage::testing {

namespace pe = platform;

namespace {

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// The part of a full path after the raw volume name.
std::string Inside(std::u16string_view path) {
  const size_t brace = path.find(u"}\\");
  return Narrow(brace == std::u16string_view::npos ? path : path.substr(brace + 2));
}

class LoggedFile : public unit::VolumeFile {
 public:
  LoggedFile(std::unique_ptr<unit::VolumeFile> f, RecordingVolumes* log) : f_(std::move(f)), log_(log) {}
  pe::Win32Error Read(void* buffer, uint32_t length, uint32_t* done) override {
    return f_->Read(buffer, length, done);
  }
  pe::Win32Error Write(const void* buffer, uint32_t length, uint32_t* done) override {
    log_->Log("write " + std::to_string(length));
    return f_->Write(buffer, length, done);
  }
  pe::Win32Error Seek(uint64_t offset) override {
    log_->Log("seek " + std::to_string(offset));
    return f_->Seek(offset);
  }
  pe::Win32Error SetEndOfFile(uint64_t size) override {
    log_->Log("length " + std::to_string(size));
    return f_->SetEndOfFile(size);
  }

 private:
  std::unique_ptr<unit::VolumeFile> f_;
  RecordingVolumes* log_;
};

class LoggedHandle : public unit::VolumeHandle {
 public:
  LoggedHandle(std::unique_ptr<unit::VolumeHandle> h, RecordingVolumes* log) : h_(std::move(h)), log_(log) {}
  pe::Win32Error Lock() override { return h_->Lock(); }
  pe::Win32Error Unlock() override { return h_->Unlock(); }
  pe::Win32Error Dismount() override {
    log_->Log("dismount");
    return h_->Dismount();
  }
  pe::Win32Error Flush() override {
    log_->Log("flush");
    return h_->Flush();
  }

 private:
  std::unique_ptr<unit::VolumeHandle> h_;
  RecordingVolumes* log_;
};

class CountingDevice : public pe::ScsiDeviceWrapper {
 public:
  CountingDevice(pe::ScsiDevice* target, std::atomic<size_t>* count) : ScsiDeviceWrapper(target), count_(count) {}
  pe::Win32Error Execute(const pe::ScsiCommand& command, pe::ScsiReply* reply) override {
    count_->fetch_add(1);
    return ScsiDeviceWrapper::Execute(command, reply);
  }

 private:
  std::atomic<size_t>* count_;
};

class SilentNotifier : public unit::NotifierChannel {
 public:
  pe::Win32Error Deliver(const void*, uint32_t) override { return pe::ERROR_SUCCESS; }
  // No one is there to close a message box.
  pe::Win32Error DeliverDialog(const void*, uint32_t, std::unique_ptr<unit::DialogWait>*) override {
    return pe::ERROR_FILE_NOT_FOUND;
  }
  bool Listening() override { return false; }
};

}  // namespace

// ---- RecordingVolumes ----

void RecordingVolumes::Log(std::string line) {
  std::lock_guard lock(mu_);
  calls_.push_back(std::move(line));
}

std::vector<std::string> RecordingVolumes::Calls() {
  std::lock_guard lock(mu_);
  return calls_;
}

void RecordingVolumes::ClearCalls() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

pe::Win32Error RecordingVolumes::OpenVolume(std::u16string_view path, bool write,
                                            std::unique_ptr<unit::VolumeHandle>* out) {
  std::unique_ptr<unit::VolumeHandle> h;
  const pe::Win32Error e = target_->OpenVolume(path, write, &h);
  if (e == 0) *out = std::make_unique<LoggedHandle>(std::move(h), this);
  return e;
}

pe::Win32Error RecordingVolumes::FindFiles(std::u16string_view pattern, std::vector<unit::VolumeFindData>* out) {
  Log("find " + Inside(pattern));
  return target_->FindFiles(pattern, out);
}

pe::Win32Error RecordingVolumes::CreateFile(std::u16string_view path, bool write, bool unbuffered, bool create_new,
                                            std::unique_ptr<unit::VolumeFile>* out) {
  const std::string name = Inside(path);
  Log((create_new ? "create " : "open ") + name);
  if (create_new) {
    if (const pe::Win32Error e = fail_create_.exchange(0)) return e;
  }
  {
    std::lock_guard lock(mu_);
    if (!create_new && slow_ms_ != 0 && name.find(slow_text_) != std::string::npos) clock_->Advance(slow_ms_);
  }
  std::unique_ptr<unit::VolumeFile> f;
  const pe::Win32Error e = target_->CreateFile(path, write, unbuffered, create_new, &f);
  if (e == 0) *out = std::make_unique<LoggedFile>(std::move(f), this);
  return e;
}

// ---- the fixture ----

void DiscEngineTest::SetUp() {
  static std::atomic<int> counter{0};
  temp_ = fs::path(::testing::TempDir()) /
          ("kelva-engine-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(temp_);
  fs::create_directories(temp_ / "scratch");
  clock_.SetAutoAdvanceOnSleep(true);
}

void DiscEngineTest::TearDown() {
  StopUnit();
  fs::remove_all(temp_);
}

void DiscEngineTest::StopUnit() {
  if (engine_ != nullptr) engine_->Shutdown();
  engine_.reset();
  if (cache_ != nullptr) cache_->Close();
  cache_.reset();
  controller_.reset();
  volumes_.reset();
  udf_volumes_.reset();
  device_.reset();
  sim_device_.reset();
  sim_.reset();
}

void DiscEngineTest::Start(const EngineSetup& setup) {
  emulator::SimUnitOptions so;
  so.clock = &clock_;
  sim_ = std::make_unique<emulator::SimUnit>(so);
  emulator::MagazineSpec spec;
  spec.type = setup.type;
  spec.capacity_code = 1;
  spec.disc_sectors = setup.disc_sectors;
  for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(0x40 + i);
  std::memcpy(spec.label.data(), "ENGINE-TEST", 11);
  if (setup.create_magazine) {
    ASSERT_EQ(emulator::Magazine::Create(temp_ / "magazine", spec), 0u);
  }
  ASSERT_EQ(sim_->InsertMagazine(temp_ / "magazine"), 0u);
  sim_device_ = std::make_unique<emulator::SimScsiDevice>(sim_.get());
  device_ = std::make_unique<CountingDevice>(sim_device_.get(), &commands_);
  udf_volumes_ = std::make_unique<unit::UdfVolumeAccess>(&clock_);
  volumes_ = std::make_unique<RecordingVolumes>(udf_volumes_.get(), &clock_);
  maintenance_ = std::make_unique<unit::UdfDiscMaintenance>(&clock_);
  notifier_ = std::make_unique<SilentNotifier>();
  unit::UnitControllerOptions o;
  o.clock = &clock_;
  o.data_folder = temp_ / "data";
  o.volumes = volumes_.get();
  o.maintenance = maintenance_.get();
  o.notifier = setup.notifier != nullptr ? setup.notifier : notifier_.get();
  o.language = unit::Language::kEnglish;
  o.monitor_thread = false;
  controller_ = unit::UnitController::Create(kRawVolume, device_.get(), o);
  ASSERT_NE(controller_, nullptr);
  unit::UnitController* c = controller_.get();
  udf_volumes_->Attach(kRawVolume, unit::UnitSectorDeviceFactory(device_.get(), [c] {
                         return c->MagazineTypeCode() == unit::kMagazineRecordable;
                       }));
  controller_->SetVolumeWorker(&worker_);
  controller_->IdentifyMagazine(nullptr);
  ASSERT_EQ(controller_->AcceptMount(), 1);
  ASSERT_TRUE(controller_->HasUdfVolume());

  if (!setup.start_engine) return;
  cache_ = std::make_unique<CCacheStore>(nullptr, temp_ / "data", clock_);
  ASSERT_TRUE(cache_->Open(u"ENGINE-TEST"));

  DiscEngineOptions eo;
  eo.clock = &clock_;
  eo.highest_disc = setup.highest_disc;
  eo.event_log = [this](uint32_t status, std::string_view text) {
    std::lock_guard lock(log_mu_);
    event_log_.emplace_back(status, std::string(text));
  };
  engine_ = std::make_unique<CDiscEngine>(&host_, cache_.get(), controller_.get(), eo);
  ASSERT_EQ(engine_->Start(controller_->CurrentSlot()), 0u);
}

std::vector<uint8_t> DiscEngineTest::Pattern(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(size);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

fs::path DiscEngineTest::ScratchFile(const std::string& name, size_t size, uint32_t seed) {
  const fs::path path = temp_ / "scratch" / name;
  const auto bytes = Pattern(size, seed);
  EXPECT_EQ(pe::WriteWholeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())),
            0u);
  return path;
}

void DiscEngineTest::PutCacheFile(CacheKind kind, uint8_t disc, uint32_t file, size_t size, uint32_t seed) {
  pe::File f;
  uint32_t number = file;
  ASSERT_EQ(cache_->CreateCacheFile(kind, disc, &number, 0, &f, true), 0u);
  const auto bytes = Pattern(size, seed);
  ASSERT_EQ(f.WriteAllAt(0, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
}

std::vector<uint8_t> DiscEngineTest::ReadAll(const fs::path& path) {
  std::string s;
  EXPECT_EQ(pe::ReadWholeFile(path, &s), 0u);
  return std::vector<uint8_t>(s.begin(), s.end());
}

RecordAnswer DiscEngineTest::RecordFile(CacheKind kind, uint32_t number, size_t size, pe::Win32Error expected) {
  RecordSource source;
  source.kind = kind;
  source.disc = engine_->CurrentDisc();
  source.file = number;
  source.wanted = number;
  source.path = ScratchFile("src-" + std::to_string(number), size, number);
  RecordAnswer answer;
  EXPECT_EQ(engine_->RecordCacheFile(source, &answer), expected);
  return answer;
}

size_t DiscEngineTest::UnitCommandCount() { return commands_.load(); }

}  // namespace kelva::storage::testing
