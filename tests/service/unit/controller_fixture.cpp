#include "controller_fixture.h"

#include <unistd.h>

#include <cstring>
#include <random>
#include <sstream>

#include "emulator/magazine.h"
#include "platform/file.h"
#include "platform/text.h"
#include "service/unit/repair_log.h"

namespace kelva::unit::testing {

using platform::Win32Error;

TempFolder::TempFolder() {
  std::random_device rd;
  path_ = fs::temp_directory_path() /
          ("kelva-unit-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  fs::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

// ---- RecordingDevice -----------------------------------------------------------

Win32Error RecordingDevice::Execute(const platform::ScsiCommand& command, platform::ScsiReply* reply) {
  Hook hook;
  {
    std::lock_guard lock(mu_);
    commands_.emplace_back(command.cdb, command.cdb + command.cdb_length);
    hook = hook_;
  }
  if (hook && hook(command, reply)) return 0;
  return ScsiDeviceWrapper::Execute(command, reply);
}

void RecordingDevice::SetHook(Hook hook) {
  std::lock_guard lock(mu_);
  hook_ = std::move(hook);
}

std::vector<std::vector<uint8_t>> RecordingDevice::Commands() {
  std::lock_guard lock(mu_);
  return commands_;
}

void RecordingDevice::ClearCommands() {
  std::lock_guard lock(mu_);
  commands_.clear();
}

std::vector<int> RecordingDevice::SelectedSlots() {
  std::vector<int> slots;
  for (const auto& c : Commands())
    if (c[0] == 0xA6 && (c[4] & 3) == 0 && (c[11] & 0x40)) slots.push_back(c[8]);
  return slots;
}

void CheckCondition(platform::ScsiReply* reply, uint8_t key, uint8_t asc, uint8_t ascq) {
  *reply = platform::ScsiReply{};
  reply->status = platform::kScsiStatusCheckCondition;
  reply->sense[0] = 0x70;
  reply->sense[2] = key;
  reply->sense[7] = 10;
  reply->sense[12] = asc;
  reply->sense[13] = ascq;
}

// ---- FakeVolumes -----------------------------------------------------------------

namespace {

std::u16string Key(std::u16string_view path) { return platform::UpCase(path); }

std::u16string ParentOf(const std::u16string& key) {
  const size_t at = key.rfind(u'\\');
  return at == std::u16string::npos ? std::u16string() : key.substr(0, at);
}

}  // namespace

class FakeVolumeHandle : public VolumeHandle {
 public:
  explicit FakeVolumeHandle(FakeVolumes* v) : v_(v) {}
  Win32Error Lock() override {
    if (Win32Error e = v_->TakeFault("lock")) return e;
    ++v_->locks;
    return 0;
  }
  Win32Error Unlock() override {
    ++v_->unlocks;
    return 0;
  }
  Win32Error Dismount() override {
    if (Win32Error e = v_->TakeFault("dismount")) return e;
    ++v_->dismounts;
    return 0;
  }
  Win32Error Flush() override {
    ++v_->flushes;
    return 0;
  }

 private:
  FakeVolumes* v_;
};

class FakeFile : public VolumeFile {
 public:
  FakeFile(FakeVolumes* v, int slot, std::u16string key, bool write)
      : v_(v), slot_(slot), key_(std::move(key)), write_(write) {}
  Win32Error Read(void* buffer, uint32_t length, uint32_t* done) override {
    std::lock_guard lock(v_->mu_);
    *done = 0;
    if (Win32Error e = v_->TakeFault("read")) return e;
    const std::string& data = v_->Disc(slot_).nodes[key_].data;
    if (position_ >= data.size()) return 0;
    *done = static_cast<uint32_t>(std::min<uint64_t>(length, data.size() - position_));
    std::memcpy(buffer, data.data() + position_, *done);
    position_ += *done;
    return 0;
  }
  Win32Error Write(const void* buffer, uint32_t length, uint32_t* done) override {
    std::lock_guard lock(v_->mu_);
    *done = 0;
    if (!write_) return platform::ERROR_ACCESS_DENIED;
    if (Win32Error e = v_->TakeFault("write")) return e;
    std::string& data = v_->Disc(slot_).nodes[key_].data;
    if (data.size() < position_ + length) data.resize(position_ + length);
    std::memcpy(data.data() + position_, buffer, length);
    position_ += length;
    *done = length;
    return 0;
  }
  Win32Error Seek(uint64_t offset) override {
    position_ = offset;
    return 0;
  }
  Win32Error SetEndOfFile(uint64_t size) override {
    std::lock_guard lock(v_->mu_);
    if (!write_) return platform::ERROR_ACCESS_DENIED;
    v_->Disc(slot_).nodes[key_].data.resize(size);
    return 0;
  }

 private:
  FakeVolumes* v_;
  int slot_;
  std::u16string key_;
  bool write_;
  uint64_t position_ = 0;
};

int FakeVolumes::LoadedSlot() {
  std::istringstream in(unit_->StatusText());
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("drive: disc ", 0) == 0) return std::stoi(line.substr(12));
  }
  return -1;
}

FakeDisc& FakeVolumes::Disc(int slot) {
  std::lock_guard lock(mu_);
  return discs_[slot];
}

void FakeVolumes::MarkUsed(std::initializer_list<int> slots) {
  std::lock_guard lock(mu_);
  for (int s : slots) {
    FakeDisc& d = discs_[s];
    d.udf = true;
    d.nodes[u"STRUCT"] = FakeDisc::Node{true, {}, u"STRUCT"};
  }
}

void FakeVolumes::FailNext(const std::string& op, uint32_t count, Win32Error error) {
  std::lock_guard lock(mu_);
  faults_[op] = {count, error};
}

Win32Error FakeVolumes::TakeFault(const std::string& op) {
  std::lock_guard lock(mu_);
  auto it = faults_.find(op);
  if (it == faults_.end() || it->second.first == 0) return 0;
  --it->second.first;
  return it->second.second;
}

bool FakeVolumes::Relative(std::u16string_view full, std::u16string* out) const {
  if (full.substr(0, name_.size()) != name_) return false;
  *out = std::u16string(full.substr(name_.size()));
  return true;
}

FakeDisc* FakeVolumes::Current(Win32Error* error) {
  const int slot = LoadedSlot();
  if (slot < 0) {
    *error = platform::ERROR_NOT_READY;
    return nullptr;
  }
  FakeDisc& d = discs_[slot];
  if (!d.udf) {
    *error = platform::ERROR_UNRECOGNIZED_VOLUME;
    return nullptr;
  }
  *error = 0;
  return &d;
}

Win32Error FakeVolumes::OpenVolume(std::u16string_view volume_path, bool, std::unique_ptr<VolumeHandle>* out) {
  if (Win32Error e = TakeFault("openvolume")) return e;
  if (std::u16string(volume_path) + u"\\" != name_) return platform::ERROR_FILE_NOT_FOUND;
  ++volume_opens;
  *out = std::make_unique<FakeVolumeHandle>(this);
  return 0;
}

Win32Error FakeVolumes::GetVolumeInformation(std::u16string_view root, VolumeInformation* out) {
  std::lock_guard lock(mu_);
  if (Win32Error e = TakeFault("info")) return e;
  if (root != name_) return platform::ERROR_INVALID_NAME;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  out->file_system = u"UDF";
  out->flags = d->read_only ? kVolumeReadOnly : 0;
  return 0;
}

Win32Error FakeVolumes::GetFreeSpace(std::u16string_view, uint64_t* free_bytes) {
  std::lock_guard lock(mu_);
  if (Win32Error e = TakeFault("free")) return e;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  *free_bytes = d->free_bytes;
  return 0;
}

Win32Error FakeVolumes::FindFiles(std::u16string_view pattern_path, std::vector<VolumeFindData>* out) {
  std::lock_guard lock(mu_);
  out->clear();
  std::u16string rel;
  if (!Relative(pattern_path, &rel)) return platform::ERROR_PATH_NOT_FOUND;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  const size_t cut = rel.rfind(u'\\');
  const std::u16string folder = cut == std::u16string::npos ? u"" : Key(rel.substr(0, cut));
  const std::u16string pattern = cut == std::u16string::npos ? rel : rel.substr(cut + 1);
  if (!folder.empty()) {
    auto it = d->nodes.find(folder);
    if (it == d->nodes.end() || !it->second.directory) return platform::ERROR_PATH_NOT_FOUND;
    if (platform::WildcardMatch(pattern, u".")) {
      out->push_back({u".", kAttrDirectory});
      out->push_back({u"..", kAttrDirectory});
    }
  }
  for (const auto& [key, node] : d->nodes) {
    if (ParentOf(key) != folder || !platform::WildcardMatch(pattern, node.name)) continue;
    VolumeFindData f;
    f.name = node.name;
    f.attributes = node.directory ? kAttrDirectory : kAttrNormal;
    f.size = node.data.size();
    out->push_back(f);
  }
  return out->empty() ? Win32Error{platform::ERROR_FILE_NOT_FOUND} : Win32Error{0};
}

Win32Error FakeVolumes::CreateFile(std::u16string_view path, bool write, bool, bool create_new,
                                   std::unique_ptr<VolumeFile>* out) {
  std::lock_guard lock(mu_);
  if (Win32Error e = TakeFault(create_new ? "create" : "open")) return e;
  std::u16string rel;
  if (!Relative(path, &rel)) return platform::ERROR_PATH_NOT_FOUND;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  const std::u16string key = Key(rel);
  const std::u16string parent = ParentOf(key);
  if (!parent.empty() && (!d->nodes.count(parent) || !d->nodes[parent].directory))
    return platform::ERROR_PATH_NOT_FOUND;
  auto it = d->nodes.find(key);
  if (create_new) {
    if (it != d->nodes.end()) return platform::ERROR_FILE_EXISTS;
    if (d->read_only) return platform::ERROR_WRITE_PROTECT;
    const size_t cut = rel.rfind(u'\\');
    d->nodes[key] = FakeDisc::Node{false, {}, cut == std::u16string::npos ? rel : rel.substr(cut + 1)};
    created.push_back(rel);
  } else {
    if (it == d->nodes.end()) return platform::ERROR_FILE_NOT_FOUND;
    if (it->second.directory) return platform::ERROR_ACCESS_DENIED;
    if (write && d->read_only) return platform::ERROR_WRITE_PROTECT;
  }
  *out = std::make_unique<FakeFile>(this, LoadedSlot(), key, write);
  return 0;
}

Win32Error FakeVolumes::DeleteFile(std::u16string_view path) {
  std::lock_guard lock(mu_);
  std::u16string rel;
  if (!Relative(path, &rel)) return platform::ERROR_PATH_NOT_FOUND;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  auto it = d->nodes.find(Key(rel));
  if (it == d->nodes.end()) return platform::ERROR_FILE_NOT_FOUND;
  if (it->second.directory) return platform::ERROR_ACCESS_DENIED;
  d->nodes.erase(it);
  return 0;
}

Win32Error FakeVolumes::GetFileAttributes(std::u16string_view path, uint32_t* out) {
  std::lock_guard lock(mu_);
  if (Win32Error e = TakeFault("attributes")) return e;
  std::u16string rel;
  if (!Relative(path, &rel)) return platform::ERROR_PATH_NOT_FOUND;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  auto it = d->nodes.find(Key(rel));
  if (it == d->nodes.end()) return platform::ERROR_FILE_NOT_FOUND;
  *out = it->second.directory ? kAttrDirectory : kAttrNormal;
  return 0;
}

Win32Error FakeVolumes::CreateDirectory(std::u16string_view path) {
  std::lock_guard lock(mu_);
  std::u16string rel;
  if (!Relative(path, &rel)) return platform::ERROR_PATH_NOT_FOUND;
  Win32Error e;
  FakeDisc* d = Current(&e);
  if (d == nullptr) return e;
  const std::u16string key = Key(rel);
  if (d->nodes.count(key)) return platform::ERROR_ALREADY_EXISTS;
  const std::u16string parent = ParentOf(key);
  if (!parent.empty() && !d->nodes.count(parent)) return platform::ERROR_PATH_NOT_FOUND;
  const size_t cut = rel.rfind(u'\\');
  d->nodes[key] = FakeDisc::Node{true, {}, cut == std::u16string::npos ? rel : rel.substr(cut + 1)};
  return 0;
}

// ---- FakeMaintenance ---------------------------------------------------------------

bool FakeMaintenance::WriteFreshVolume(DeviceHandle) {
  ++formats;
  if (!format_ok) return false;
  const int slot = volumes_->LoadedSlot();
  if (slot < 0) return false;
  volumes_->Disc(slot) = FakeDisc{};
  volumes_->Disc(slot).udf = true;
  return true;
}

int FakeMaintenance::RepairVolume(DeviceHandle) {
  ++volume_repairs;
  if (repair_result && on_repair) on_repair();
  return repair_result;
}

int FakeMaintenance::RepairFile(DeviceHandle, std::u16string_view path, bool creating) {
  ++file_repairs;
  repaired_files.emplace_back(std::u16string(path), creating);
  if (repair_result && on_repair) on_repair();
  return repair_result;
}

bool FakeMaintenance::CloseIntegrity(DeviceHandle) {
  ++integrity_closes;
  if (!close_ok) return false;
  const int slot = volumes_->LoadedSlot();
  if (slot >= 0) volumes_->Disc(slot).read_only = false;
  if (on_repair) on_repair();
  return true;
}

Win32Error RecordingNotifier::Deliver(const void* data, uint32_t length) {
  if (!listening) return platform::ERROR_FILE_NOT_FOUND;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  messages.emplace_back(p, p + length);
  return 0;
}

namespace {
class ScriptedDialog : public DialogWait {
 public:
  explicit ScriptedDialog(std::function<State()> state) : state_(std::move(state)) {}
  State Poll() override { return state_ ? state_() : State::kClosed; }

 private:
  std::function<State()> state_;
};
}  // namespace

Win32Error RecordingNotifier::DeliverDialog(const void* data, uint32_t length,
                                            std::unique_ptr<DialogWait>* closed) {
  if (Win32Error e = Deliver(data, length)) return e;
  *closed = std::make_unique<ScriptedDialog>(dialog_state);
  return 0;
}

// ---- fixture ----------------------------------------------------------------------

void ControllerTest::SetUp() {
  clock_.SetAutoAdvanceOnSleep(true);
  data_folder_ = temp_.path() / "data";
  SetRepairLogTarget(data_folder_, &clock_);
}

void ControllerTest::TearDown() {
  if (controller_) controller_->Destroy();
  controller_.reset();
  SetRepairLogging(0);
  SetRepairLogTarget({}, nullptr);
  sim_.reset();
}

void ControllerTest::StartUnit(const MagazineSetup& setup) {
  emulator::SimUnitOptions options;
  options.clock = &clock_;
  sim_ = std::make_unique<emulator::SimUnit>(options);
  emulator::MagazineSpec spec;
  spec.type = setup.type;
  spec.capacity_code = 1;
  spec.disc_sectors = 4096;
  for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(0xA0 + i);
  std::memcpy(spec.label.data(), "MAG-LABEL-1", 11);
  spec.label[0] = setup.label0;
  spec.write_protect = setup.write_protect;
  const fs::path dir = temp_.path() / "magazine";
  ASSERT_EQ(emulator::Magazine::Create(dir, spec), 0u);
  if (setup.current_disc != 0 || setup.used_discs != 0) {
    emulator::Magazine m;
    ASSERT_EQ(m.Open(dir), 0u);
    m.current_disc = setup.current_disc;
    for (int s = 0; s < setup.used_discs; ++s) {
      emulator::SimDisc& d = m.discs[s];
      d.formatted = true;
      if (setup.type == emulator::kTypeRewritable) {
        d.status = 2;
        d.tracks = {emulator::SimTrack{0, 4096, 4096, false}};
      } else {
        d.status = 1;
        d.tracks = {emulator::SimTrack{0, 4096, 1024, true}};
      }
    }
    m.MarkDirty();
    ASSERT_EQ(m.Save(), 0u);
  }
  ASSERT_EQ(sim_->InsertMagazine(dir), 0u);
  if (setup.status_c != 0xFF) sim_->SetStatusBytes(0, 0, setup.status_c);
  CreateController();
  for (int s = 0; s < setup.used_discs; ++s) volumes_->MarkUsed({s});
}

void ControllerTest::CreateController() {
  sim_device_ = std::make_unique<emulator::SimScsiDevice>(sim_.get());
  device_ = std::make_unique<RecordingDevice>(sim_device_.get());
  volumes_ = std::make_unique<FakeVolumes>(sim_.get(), kRawVolume);
  maintenance_ = std::make_unique<FakeMaintenance>(volumes_.get());
  UnitControllerOptions options;
  options.clock = &clock_;
  options.data_folder = data_folder_;
  options.volumes = volumes_.get();
  options.maintenance = maintenance_.get();
  options.notifier = &notifier_;
  options.language = Language::kEnglish;
  options.monitor_thread = monitor_thread_;
  options.console_session_active = [this] { return console_session_active_; };
  controller_ = UnitController::Create(kRawVolume, device_.get(), options);
  ASSERT_NE(controller_, nullptr);
}

void ControllerTest::Mount() {
  std::u16string id;
  controller_->IdentifyMagazine(&id);
  ASSERT_EQ(controller_->AcceptMount(), 1);
}

size_t ControllerTest::LogDumpCount() {
  std::vector<platform::FindData> found;
  if (platform::FindFiles(controller_->LogsFolder(), u"LogGet_*", &found) != 0) return 0;
  return found.size();
}

}  // namespace kelva::unit::testing
