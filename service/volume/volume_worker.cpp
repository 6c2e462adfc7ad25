#include "service/volume/volume_worker.h"

#include "platform/fshost/file_managers.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "service/unit/condition_table.h"
#include "service/unit/unit_commands.h"
#include "service/unit/unit_controller.h"

namespace kelva::volume {

namespace {

// The longest root path a media notice carries.
constexpr size_t kNoticePathChars = 63;

}  // namespace

CVolumeWorker::CVolumeWorker(std::u16string_view raw_volume_name, unit::UnitController* controller,
                             unit::VolumeNotificationCallback notify, VolumeWorkerOptions options)
    : raw_volume_name_(raw_volume_name),
      controller_(controller),
      notify_(std::move(notify)),
      options_(std::move(options)),
      clock_(options_.clock != nullptr ? *options_.clock : controller->clock()),
      events_(&slot_,
              options_.file_managers.empty() ? platform::FileManagerImages() : options_.file_managers,
              [this] { OnStorageEjected(); }) {
  if (options_.data_folder.empty()) options_.data_folder = platform::DataFolder();
  if (options_.registry == nullptr) options_.registry = &default_registry_;
  settings_.storage_guid = platform::StorageGuidFor(raw_volume_name_);
  settings_.uid = 0;
  settings_.gid = options_.mount_group >= 0 ? static_cast<gid_t>(options_.mount_group) : platform::DefaultMountGroup();
  settings_.entry_timeout = options_.entry_timeout;
  settings_.attr_timeout = options_.attr_timeout;
}

std::unique_ptr<CVolumeWorker> CVolumeWorker::Create(std::u16string_view raw_volume_name,
                                                     unit::UnitController* controller,
                                                     unit::VolumeNotificationCallback notify,
                                                     VolumeWorkerOptions options) {
  if (controller == nullptr) return nullptr;
  if (platform::InitializeHost(platform::kHostProductId) != platform::ERROR_SUCCESS) {
    KLOG_ERROR("unit %s: this computer has no FUSE device; the magazine cannot be shown as a drive",
               platform::Utf16ToUtf8(raw_volume_name).c_str());
    return nullptr;
  }
  std::unique_ptr<CVolumeWorker> worker(
      new CVolumeWorker(raw_volume_name, controller, std::move(notify), std::move(options)));
  controller->SetVolumeWorker(worker.get());
  if (!worker->StartMountThread()) {
    controller->SetVolumeWorker(nullptr);
    return nullptr;
  }
  return worker;
}

CVolumeWorker::~CVolumeWorker() {
  destroying_ = true;
  TearDown();
  JoinHelpers();
  TearDown();  // a re-creation that raced the first teardown
  if (controller_ != nullptr) controller_->SetVolumeWorker(nullptr);
}

// ---- creation ------------------------------------------------------------------

platform::Win32Error CVolumeWorker::CreateStorage() {
  std::unique_ptr<platform::FsStorage> storage;
  const platform::Win32Error e = platform::FsStorage::Create(settings_, &events_, &storage);
  if (e != platform::ERROR_SUCCESS) return e;
  auto host = std::make_unique<StorageDriveHost>(storage.get());
  auto letters = std::make_unique<DriveLetters>(host.get(), options_.registry, &clock_, storage->VolumeName(),
                                                [this](char) { SendClass(kClassLetterKnown); });
  storage_.store(storage.get());
  storage_owner_ = std::move(storage);
  std::lock_guard lock(letters_mu_);
  drive_host_ = std::move(host);
  letters_ = std::move(letters);
  return platform::ERROR_SUCCESS;
}

bool CVolumeWorker::StartMountThread() {
  stop_thread_ = false;
  wake_ = std::make_unique<platform::Event>(false, false, clock_);
  platform::Event ready(true, false, clock_);
  bool created = false;
  mount_thread_ = std::thread([this, &ready, &created] { MountThreadMain(&ready, &created); });
  ready.Wait(platform::kInfinite);
  if (!created) {
    mount_thread_.join();
    wake_.reset();
    return false;
  }
  return true;
}

void CVolumeWorker::MountThreadMain(platform::Event* ready, bool* created) {
  const std::string unit = platform::Utf16ToUtf8(raw_volume_name_);
  platform::Win32Error e = CreateStorage();
  if (e != platform::ERROR_SUCCESS) {
    KLOG_WARN("unit %s: the drive's storage could not be created (%u); trying once more", unit.c_str(), e);
    e = CreateStorage();
  }
  if (e != platform::ERROR_SUCCESS) {
    KLOG_ERROR("unit %s: the drive's storage could not be created (%u)", unit.c_str(), e);
    *created = false;
    ready->Set();
    return;
  }
  {
    std::lock_guard lock(letters_mu_);
    DriveLetters* letters = letters_.get();
    letter_thread_ = std::thread([letters] { letters->AssignDriveLetter(); });
  }
  *created = true;
  ready->Set();  // ready and created belong to the starter: not touched after this

  for (;;) {
    wake_->Wait(platform::kInfinite);
    if (stop_thread_.load()) return;
    VolumeSlot::Borrow borrow(slot_);
    if (borrow.volume() != nullptr) borrow.volume()->RunWriter();
  }
}

// ---- mount -----------------------------------------------------------------------

void CVolumeWorker::Mount(const CancelTest& cancelled) {
  const std::string unit = platform::Utf16ToUtf8(raw_volume_name_);
  platform::FsStorage* storage = storage_.load();
  if (detached_.load() || storage == nullptr || controller_->ExchangeCount() != 0) return;

  std::lock_guard create(create_mu_);
  if (session_ != nullptr) return;
  mounting_ = 1;
  unmount_guard_ = 0;
  dismount_guard_ = 0;

  MagazineSessionOptions so;
  so.data_folder = options_.data_folder;
  so.clock = &clock_;
  so.on_detach = [this] { StartHelper([this] { DetachMain(); }); };
  so.on_notify = [this](const uint8_t* message, size_t length) { ForwardVolumeNotice(message, length); };
  so.on_busy = options_.on_busy;
  auto session = std::make_unique<CMagazineSession>(controller_, so);
  if (!session->Open()) {
    session.reset();
    mounting_ = 0;
    if (cancelled && cancelled()) {
      KLOG_INFO("unit %s: the magazine left while it was opened", unit.c_str());
      return;
    }
    controller_->Report(unit::kCondReadFailed, true);
    return;
  }
  BindVolume(session->volume(), storage);
  session_ = std::move(session);
  slot_.Put(session_->volume());

  // A new storage's letter search may still run: the mount needs its folder.
  for (uint32_t round = 0; round < kLetterWaitRounds && DriveIndexByte() == DriveLetters::kNoLetter; ++round) {
    clock_.Sleep(kLetterWaitMs);
  }
  bool mounted = false;
  for (uint32_t attempt = 0; attempt < kMountAttempts && !mounted; ++attempt) {
    const platform::Win32Error e = storage->MountMedia();
    if (e == platform::ERROR_SUCCESS) {
      mounted = true;
      break;
    }
    KLOG_WARN("unit %s: mounting the magazine failed (%u), attempt %u", unit.c_str(), e, attempt + 1);
    storage->UnmountMedia();
    if (attempt + 1 < kMountAttempts) clock_.Sleep(kMountRetryMs);
  }
  if (!mounted) {
    slot_.Take();
    session_->Close();
    session_.reset();
    mounting_ = 0;
    KLOG_ERROR("unit %s: the magazine could not be mounted", unit.c_str());
    return;
  }
  SendMediaNotice(true);
  wake_->Set();  // the mount thread runs the background writer
  SendClass(kClassMounted);
  mounting_ = 0;
  KLOG_INFO("unit %s: magazine mounted at %s", unit.c_str(), MountPoint().c_str());
}

void CVolumeWorker::BindVolume(CFsVolume* volume, platform::FsStorage* storage) {
  volume->set_change_callback(
      [storage](std::u16string_view path, uint32_t code) { storage->NotifyDirectoryChange(path, code); });
}

void CVolumeWorker::ForwardVolumeNotice(const uint8_t* message, size_t length) {
  if (!notify_ || length < 2) return;
  uint8_t event[3] = {message[0], message[1], 0};
  if (length > 2) event[2] = static_cast<uint8_t>('A' + DriveIndexByte());
  notify_(event);
}

// ---- unmount paths -------------------------------------------------------------------

void CVolumeWorker::WaitWhileMounting() {
  while (mounting_.load() != 0) clock_.Sleep(kMountingPollMs);
}

bool CVolumeWorker::UnmountVolume(bool drain) {
  WaitWhileMounting();
  if (slot_.peek() == nullptr) return false;
  if (unmount_guard_.fetch_add(1) + 1 != 1) return false;
  CFsVolume* volume = slot_.peek();
  volume->MarkOpenFilesForTrim();
  platform::FsStorage* storage = storage_.load();
  if (storage != nullptr && storage->IsActive()) {
    storage->UnmountMedia();
    SendMediaNotice(false);
  }
  controller_->ResetMagazineState();
  CloseSession(false, drain);
  KLOG_INFO("unit %s: magazine unmounted", platform::Utf16ToUtf8(raw_volume_name_).c_str());
  return true;
}

void CVolumeWorker::CloseSession(bool quick, bool drain) {
  // The writer records what the requests left (the mount is gone, so nothing
  // new arrives) while it still runs on the mount thread.
  if (drain) {
    std::lock_guard create(create_mu_);
    if (session_ != nullptr) session_->DrainWriter(CMagazineSession::kDrainLimitMs);
  }
  std::unique_ptr<CMagazineSession> session;
  {
    std::lock_guard create(create_mu_);
    session = std::move(session_);
  }
  if (session == nullptr) return;
  CFsVolume* volume = session->volume();
  if (volume != nullptr) {
    if (quick) volume->set_quick_close(true);
    volume->StopWriter();  // the mount thread gives the volume back
  }
  slot_.Take();
  session->Close();
  if (drain) {
    // What was recorded goes from the disc's file system onto the disc
    // before the magazine can leave the unit.
    if (const platform::Win32Error e = controller_->FlushVolume()) {
      KLOG_ERROR("unit %s: writing the disc's volume back failed (%u)", platform::Utf16ToUtf8(raw_volume_name_).c_str(),
                 e);
    }
    controller_->DismountVolume();
  }
}

void CVolumeWorker::Dismount() {
  platform::FsStorage* storage = storage_.load();
  if (storage == nullptr || storage->IsDeleted() || !storage->IsActive()) {
    KLOG_INFO("unit %s: magazine removed (none was mounted)", platform::Utf16ToUtf8(raw_volume_name_).c_str());
    return;
  }
  if (controller_->ExchangeCount() != 0) {
    KLOG_INFO("unit %s: media removal during a disc exchange ignored", platform::Utf16ToUtf8(raw_volume_name_).c_str());
    return;
  }
  const uint32_t ready = unit::TestUnitReady(controller_->device());
  if (ready == 0) {
    uint8_t mode = 0;
    if (unit::ReadUnitMode(controller_->device(), &mode) && mode != 0) {
      KLOG_INFO("unit %s: media removal with the magazine in place ignored",
                platform::Utf16ToUtf8(raw_volume_name_).c_str());
      return;
    }
  } else if (ready == platform::ERROR_DEVICE_NOT_CONNECTED) {
    return;  // the unit's removal follows
  }
  if (dismount_guard_.fetch_add(1) + 1 != 1) return;
  std::lock_guard op(op_mu_);
  if (UnmountVolume(false)) {
    SendClass(kClassMagazineRemoved);
    KLOG_INFO("unit %s: magazine removed", platform::Utf16ToUtf8(raw_volume_name_).c_str());
  }
}

void CVolumeWorker::DeviceRemoved() {
  // A mount in progress finishes (or fails) first; then there is one volume to unmount.
  WaitWhileMounting();
  platform::FsStorage* storage = storage_.load();
  if (storage == nullptr || storage->IsDeleted() || !storage->IsActive()) return;
  if (dismount_guard_.fetch_add(1) + 1 != 1) return;
  std::lock_guard op(op_mu_);
  if (UnmountVolume(false)) {
    SendClass(kClassUnitRemoved);
    controller_->Report(unit::kCondRemovedWithoutEject, true);
  }
}

void CVolumeWorker::ForceUnmount() {
  platform::FsStorage* storage = storage_.load();
  if (storage == nullptr) return;
  // Open files lose their connection at once; the write-back follows.
  storage->UnmountMedia();
  if (dismount_guard_.fetch_add(1) + 1 != 1) return;
  std::lock_guard op(op_mu_);
  UnmountVolume(false);
}

void CVolumeWorker::UnmountAndEject() {
  {
    std::lock_guard op(op_mu_);
    if (dismount_guard_.fetch_add(1) + 1 == 1 && UnmountVolume(true)) SendClass(kClassUnmountedOnRequest);
  }
  // EjectMagazine reports a failed eject to the user itself.
  const std::string unit = platform::Utf16ToUtf8(raw_volume_name_);
  const uint32_t result = controller_->EjectMagazine();
  if (result == unit::kResultDone) {
    KLOG_INFO("unit %s: magazine released at the unit's request", unit.c_str());
  } else {
    KLOG_INFO("unit %s: magazine not released at the unit's request (%u)", unit.c_str(), result);
  }
}

void CVolumeWorker::DetachMain() {
  detached_ = true;
  platform::FsStorage* storage = storage_.load();
  if (storage == nullptr || !storage->IsActive()) return;
  if (dismount_guard_.fetch_add(1) + 1 != 1) return;
  std::lock_guard op(op_mu_);
  if (unmount_guard_.fetch_add(1) + 1 != 1) return;
  KLOG_ERROR("unit %s: the volume met a fatal condition and is taken off the unit",
             platform::Utf16ToUtf8(raw_volume_name_).c_str());
  if (CFsVolume* volume = slot_.peek()) volume->MarkOpenFilesForTrim();
  // What the volume could not record stays in the cache; nothing more reaches the discs.
  CloseSession(true, false);
  storage = storage_.load();
  if (storage != nullptr && storage->IsActive()) {
    storage->UnmountMedia();
    SendMediaNotice(false);
  }
}

// ---- host ejection and teardown ---------------------------------------------------------

void CVolumeWorker::OnStorageEjected() {
  recreating_ = true;
  StartHelper([this] { EjectedMain(); });
}

void CVolumeWorker::EjectedMain() {
  const std::string unit = platform::Utf16ToUtf8(raw_volume_name_);
  KLOG_INFO("unit %s: the drive was removed from outside; ejecting the magazine", unit.c_str());
  TearDown();
  controller_->EjectMagazine();
  std::lock_guard op(op_mu_);
  if (destroying_.load()) return;
  torn_down_ = false;
  if (StartMountThread()) {
    recreating_ = false;
    KLOG_INFO("unit %s: the drive's storage is back", unit.c_str());
  }
}

void CVolumeWorker::TearDown() {
  if (storage_.load() == nullptr) return;
  unmount_guard_.fetch_add(1);
  CFsVolume* volume = slot_.peek();
  const bool idle = volume != nullptr && !volume->busy();
  if (!idle) controller_->SetSyncHold(true);

  std::lock_guard op(op_mu_);
  WaitWhileMounting();
  platform::FsStorage* storage = storage_.load();
  if (storage == nullptr) {  // another teardown came first
    controller_->SetSyncHold(false);
    return;
  }
  volume = slot_.peek();
  if (volume != nullptr) {
    // Also when the mount was removed from outside: the drive is gone either way.
    storage->UnmountMedia();
    SendMediaNotice(false);
    if (!idle) volume->MarkOpenFilesForTrim();
  }

  // What the volume holds is recorded while its writer still runs; then the
  // mount thread ends and the volume is closed.
  if (volume != nullptr) {
    std::lock_guard create(create_mu_);
    if (session_ != nullptr) session_->DrainWriter(CMagazineSession::kDrainLimitMs);
  }
  stop_thread_ = true;
  if (wake_) wake_->Set();
  if (volume != nullptr) volume->StopWriter();
  if (mount_thread_.joinable()) mount_thread_.join();
  wake_.reset();
  CloseSession(false, false);
  controller_->SetSyncHold(false);

  // The storage goes; the letter stays reserved for the unit.
  std::unique_ptr<DriveLetters> letters;
  {
    std::lock_guard lock(letters_mu_);
    letters = std::move(letters_);
  }
  const bool had_storage = !storage->IsDeleted();
  if (had_storage && letters != nullptr) letters->SaveLetterRecord();
  storage->Delete();
  if (had_storage && letters != nullptr) letters->RestoreLetterRecord();
  if (letter_thread_.joinable()) letter_thread_.join();
  storage_.store(nullptr);
  storage_owner_.reset();
  letters.reset();
  {
    std::lock_guard lock(letters_mu_);
    drive_host_.reset();
  }
  if (!detached_.load()) {
    controller_->FlushVolume();
    controller_->DismountVolume();
  }
  SendClass(kClassStorageDeleted);
  {
    std::lock_guard lock(letters_mu_);
    last_letter_ = DriveLetters::kNoLetter;
  }
  unmount_guard_ = 0;
  dismount_guard_ = 0;
}

void CVolumeWorker::StartHelper(std::function<void()> body) {
  std::lock_guard lock(helpers_mu_);
  helpers_.emplace_back(std::move(body));
}

void CVolumeWorker::JoinHelpers() {
  for (;;) {
    std::vector<std::thread> helpers;
    {
      std::lock_guard lock(helpers_mu_);
      helpers.swap(helpers_);
    }
    if (helpers.empty()) return;
    for (std::thread& t : helpers) t.join();
  }
}

// ---- letters and notifications ----------------------------------------------------------

void CVolumeWorker::RefreshDriveLetter() {
  std::lock_guard lock(letters_mu_);
  if (letters_ != nullptr) letters_->RefreshDriveLetter();
}

uint8_t CVolumeWorker::DriveIndexByte() const {
  std::lock_guard lock(letters_mu_);
  if (letters_ != nullptr) last_letter_ = letters_->drive_index();
  return last_letter_;
}

int CVolumeWorker::DriveIndex() {
  const uint8_t index = DriveIndexByte();
  return index == DriveLetters::kNoLetter ? -1 : index;
}

char CVolumeWorker::DriveLetter() const {
  const uint8_t index = DriveIndexByte();
  return index == DriveLetters::kNoLetter ? 0 : static_cast<char>('A' + index);
}

std::filesystem::path CVolumeWorker::MountPoint() const {
  const char letter = DriveLetter();
  return letter == 0 ? std::filesystem::path() : platform::FsStorage::MountPointPath(letter);
}

bool CVolumeWorker::StorageActive() {
  platform::FsStorage* storage = storage_.load();
  return storage != nullptr && storage->IsActive();
}

bool CVolumeWorker::NotifyUnitEvent(const uint8_t event[3]) {
  if (!notify_) return false;
  notify_(event);
  return true;
}

void CVolumeWorker::SendClass(uint8_t event_class) {
  if (!notify_) return;
  const uint8_t event[3] = {0xFF, event_class, static_cast<uint8_t>('A' + DriveIndexByte())};
  notify_(event);
}

std::u16string CVolumeWorker::MediaRoot() const {
  // The drive folder tells a Linux user where the magazine is; a folder too
  // long for the notice is named by its drive instead.
  const char letter = DriveLetter();
  if (letter == 0) return {};
  const std::u16string folder = platform::Utf8ToUtf16(MountPoint().string());
  if (folder.size() <= kNoticePathChars) return folder;
  return std::u16string{static_cast<char16_t>(letter), u':', u'\\'};
}

void CVolumeWorker::SendMediaNotice(bool inserted) {
  const std::u16string root = MediaRoot();
  if (!root.empty()) controller_->SendMediaNotice(root, inserted);
}

unit::VolumeWorkerFactory MakeVolumeWorkerFactory(VolumeWorkerOptions options) {
  return [options](std::u16string_view raw_volume_name, unit::UnitController* controller,
                   const unit::VolumeNotificationCallback& notify) -> std::unique_ptr<unit::VolumeWorker> {
    return CVolumeWorker::Create(raw_volume_name, controller, notify, options);
  };
}

}  // namespace kelva::volume
