// The unit manager over simulated units: discovery, the identity and raw
// volume rules, adding and removing units, the device and media event queues
// with their cancelling, power events and the drive-letter lookups. Volume
// workers and the service host are counting doubles; time runs on a test
// clock whose sleeps return at once.
#include "service/unit/unit_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "controller_fixture.h"
#include "fake_device_manager.h"
#include "platform/text.h"
#include "service/unit/udf_volume_access.h"

namespace kelva::unit::testing {
namespace {

using platform::DeviceHandle;
using platform::NotificationToken;

// Polls pred (real time) for up to 20 s.
bool WaitFor(const std::function<bool()>& pred) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string N(std::u16string_view s) { return platform::Utf16ToUtf8(s); }

class CountingHost : public UnitHost {
 public:
  void SendFilterMessage(uint8_t command, std::u16string_view raw_volume_name) override {
    std::lock_guard lock(mu_);
    filter_.push_back(std::to_string(command) + " " + N(raw_volume_name));
  }
  NotificationToken RegisterHandleNotification(DeviceHandle handle) override {
    std::lock_guard lock(mu_);
    handles_.push_back(handle);
    return next_++;
  }
  void UnregisterHandleNotification(NotificationToken token) override {
    std::lock_guard lock(mu_);
    unregistered_.push_back(token);
  }
  std::vector<std::string> filter() {
    std::lock_guard lock(mu_);
    return filter_;
  }
  std::vector<DeviceHandle> handles() {
    std::lock_guard lock(mu_);
    return handles_;
  }
  std::vector<NotificationToken> unregistered() {
    std::lock_guard lock(mu_);
    return unregistered_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> filter_;
  std::vector<DeviceHandle> handles_;
  std::vector<NotificationToken> unregistered_;
  NotificationToken next_ = 1;
};

// What the volume workers were asked, in order: "<call> <raw volume name>".
struct WorkerLog {
  std::mutex mu;
  std::vector<std::string> calls;
  std::map<std::string, UnitController*> controllers;  // by raw volume name
  std::map<std::string, VolumeWorker*> workers;
  std::map<std::string, int> drive_index;              // given to new workers
  std::set<std::string> refuse;                        // the factory throws for these
  std::map<std::string, uint64_t> created_at;          // clock time of creation
  std::vector<bool> cancel_seen;  // the cancel test's answer when a mount ends
  // While not set, mounts (and, with factory_waits, the factory) wait for it.
  platform::Event gate{true, true};
  bool factory_waits = false;

  void Add(const std::string& call) {
    std::lock_guard lock(mu);
    calls.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mu);
    return calls;
  }
  int Count(const std::string& call) {
    std::lock_guard lock(mu);
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }
};

class CountingWorker : public VolumeWorker {
 public:
  CountingWorker(std::shared_ptr<WorkerLog> log, std::string name, int drive)
      : log_(std::move(log)), name_(std::move(name)), drive_(drive) {}
  ~CountingWorker() override { log_->Add("destroyed " + name_); }
  void Mount(const CancelTest& cancelled) override {
    log_->Add("mount " + name_);
    log_->gate.Wait();
    const bool c = cancelled && cancelled();
    {
      std::lock_guard lock(log_->mu);
      log_->cancel_seen.push_back(c);
    }
    log_->Add("mount-end " + name_);
  }
  void Dismount() override { log_->Add("dismount " + name_); }
  void DeviceRemoved() override { log_->Add("removed " + name_); }
  // The release run at the unit's request: it takes a while (a volume writing
  // back what it holds) and uses the worker all along.
  void UnmountAndEject() override {
    log_->Add("release " + name_);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    log_->Add("release-end " + name_);
  }
  void RefreshDriveLetter() override { log_->Add("refresh " + name_); }
  int DriveIndex() override { return drive_; }
  bool NotifyUnitEvent(const uint8_t*) override { return false; }

 private:
  std::shared_ptr<WorkerLog> log_;
  std::string name_;
  int drive_;
};

class UnitManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_.SetAutoAdvanceOnSleep(true); }
  void TearDown() override {
    log_->gate.Set();
    manager_.reset();
  }

  void MakeManager() {
    UnitManagerOptions o;
    o.devices = &devices_;
    o.host = &host_;
    o.clock = &clock_;
    o.controller.data_folder = temp_.path() / "data";
    o.controller.volumes = &volumes_;
    o.controller.notifier = &notifier_;
    o.controller.language = Language::kEnglish;
    auto log = log_;
    platform::TestClock* clock = &clock_;
    o.make_volume_worker = [log, clock](std::u16string_view raw, UnitController* controller,
                                        const VolumeNotificationCallback&) -> std::unique_ptr<VolumeWorker> {
      const std::string name = N(raw);
      if (log->factory_waits) log->gate.Wait();
      int drive = -1;
      {
        std::lock_guard lock(log->mu);
        log->created_at[name] = clock->NowMs();
        if (log->refuse.count(name)) throw std::runtime_error("no host storage");
        if (log->drive_index.count(name)) drive = log->drive_index[name];
        log->controllers[name] = controller;
      }
      auto w = std::make_unique<CountingWorker>(log, name, drive);
      std::lock_guard lock(log->mu);
      log->workers[name] = w.get();
      return w;
    };
    o.attach_volume = [this](std::u16string_view raw, UnitController&) {
      std::lock_guard lock(log_->mu);
      attached_.push_back(N(raw));
      attached_at_[N(raw)] = clock_.NowMs();
    };
    o.detach_volume = [this](std::u16string_view raw) {
      std::lock_guard lock(log_->mu);
      // The controller still exists when its volume is detached.
      detached_alive_.push_back(log_->controllers.count(N(raw)) == 0 ||
                                log_->controllers[N(raw)]->RawVolumeName() == raw);
      detached_.push_back(N(raw));
    };
    manager_ = std::make_unique<UnitManager>(std::move(o));
  }

  std::string Vol(uint32_t n) { return devices_.Get(n).volume; }
  std::u16string Path16(uint32_t n) { return platform::Utf8ToUtf16(devices_.PathOf(n)); }
  void InsertMagazine(uint32_t n) {
    devices_.InsertMagazine(n, temp_.path() / ("magazine" + std::to_string(n)));
  }
  // Blocks the next mounts until Release.
  void HoldMounts() { log_->gate.Reset(); }
  void Release() { log_->gate.Set(); }
  bool MountStarted(uint32_t n, int count = 1) {
    return WaitFor([&] { return log_->Count("mount " + Vol(n)) >= count; });
  }

  TempFolder temp_;
  platform::TestClock clock_;
  FakeDeviceManager devices_{&clock_};
  CountingHost host_;
  RecordingNotifier notifier_;
  UdfVolumeAccess volumes_{&clock_};
  std::shared_ptr<WorkerLog> log_ = std::make_shared<WorkerLog>();
  std::vector<std::string> attached_, detached_;
  std::vector<bool> detached_alive_;
  std::map<std::string, uint64_t> attached_at_;
  std::unique_ptr<UnitManager> manager_;
};

// ---- identity and names ---------------------------------------------------------------

platform::StorageDeviceDescriptor Desc(std::string vendor, std::string product) {
  platform::StorageDeviceDescriptor d;
  d.vendor = std::move(vendor);
  d.product = std::move(product);
  return d;
}

TEST(UnitIdentityTest, PaddedStringsJoinWithOneSpace) {
  EXPECT_EQ(BuildIdentity(Desc("KORRINDA", "QX V1A0         ")), u"KORRINDA QX V1A0");
  EXPECT_EQ(BuildIdentity(Desc("NORVE   ", "QX V1A0\t\r\n")), u"NORVE QX V1A0");
  // An empty vendor is skipped: no leading space.
  EXPECT_EQ(BuildIdentity(Desc("", "QX V1A0 ")), u"QX V1A0");
  // A blank product leaves no trailing space behind.
  EXPECT_EQ(BuildIdentity(Desc("KORRINDA", "        ")), u"KORRINDA");
  // Copying stops at a terminator inside the string.
  EXPECT_EQ(BuildIdentity(Desc(std::string("KORR\0INDA", 9), "QX")), u"KORR QX");
  // Bytes are widened one by one, not decoded.
  EXPECT_EQ(BuildIdentity(Desc("\xC4", "X")), std::u16string(u"\u00C4 X"));
}

TEST(UnitIdentityTest, LongIdentityStopsAt63Characters) {
  const std::u16string id = BuildIdentity(Desc(std::string(40, 'V'), std::string(40, 'P')));
  ASSERT_EQ(id.size(), kMaxIdentityLength);
  EXPECT_EQ(id, std::u16string(40, u'V') + u" " + std::u16string(22, u'P'));
}

TEST(UnitIdentityTest, CaseIsIgnoredButEveryCharacterCounts) {
  EXPECT_TRUE(IsUnitIdentity(u"KORRINDA QX V1A0"));
  EXPECT_TRUE(IsUnitIdentity(u"korrinda qx v1a0"));
  EXPECT_TRUE(IsUnitIdentity(u"Norve Qx V1a0"));
  EXPECT_FALSE(IsUnitIdentity(u"KORRINDA QX V1A1"));
  EXPECT_FALSE(IsUnitIdentity(u"KORRINDA QX V1A0 "));
  EXPECT_FALSE(IsUnitIdentity(u"KORRINDA  QX V1A0"));
  EXPECT_FALSE(IsUnitIdentity(u""));
}

TEST(UnitIdentityTest, CdRomNumbers) {
  uint32_t n = 99;
  EXPECT_TRUE(ParseCdRomNumber(u"\\Device\\CdRom3", &n));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(ParseCdRomNumber(u"\\device\\CDROM12", &n));
  EXPECT_EQ(n, 12u);
  EXPECT_FALSE(ParseCdRomNumber(u"\\Device\\CdRom", &n));
  EXPECT_FALSE(ParseCdRomNumber(u"\\Device\\CdRom1x", &n));
  EXPECT_FALSE(ParseCdRomNumber(u"\\Device\\Harddisk1", &n));
  EXPECT_FALSE(ParseCdRomNumber(u"\\Device\\CdRom99999999999", &n));
}

TEST(UnitIdentityTest, ArrivalPathForms) {
  const std::u16string stored = u"\\\\?\\USBSTOR#CdRom&Ven_KORRINDA#unit1#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
  EXPECT_TRUE(ArrivalPathMatches(
      u"\\\\?\\usbstor#cdrom&ven_korrinda#UNIT1#{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}", stored));
  // An instance path with "\" separators matches up to the stored "#".
  EXPECT_TRUE(ArrivalPathMatches(u"usbstor\\cdrom&ven_korrinda\\unit1", stored));
  EXPECT_TRUE(ArrivalPathMatches(u"USBSTOR#CDROM&VEN_KORRINDA", stored));
  // It must end exactly where the stored path has a "#".
  EXPECT_FALSE(ArrivalPathMatches(u"usbstor\\cdrom&ven_korrinda\\unit", stored));
  EXPECT_FALSE(ArrivalPathMatches(u"usbstor\\cdrom&ven_korrinda\\unit12", stored));
  // The interface form is compared whole.
  EXPECT_FALSE(ArrivalPathMatches(u"\\\\?\\usbstor#cdrom&ven_korrinda#unit1", stored));
  EXPECT_FALSE(ArrivalPathMatches(u"", stored));
}

// ---- scanning ---------------------------------------------------------------------------

TEST_F(UnitManagerTest, ScanAddsOnlyUnitsSortedAndHidesTheirVolumes) {
  devices_.AddUnit(5);
  devices_.AddOtherDrive(0, "HL-DT-ST", "DVDRAM GH22NS50 ");
  devices_.AddUnit(1);
  devices_.AddOtherDrive(2, "korrinda", "qx v1a0");   // case differs: ours
  devices_.AddOtherDrive(3, "KORRINDA", "QX V1A1");   // revision differs: not ours
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);

  EXPECT_EQ(manager_->DeviceNumbers(), (std::vector<uint32_t>{1, 2, 5}));
  // The other drives were only probed.
  EXPECT_EQ(devices_.OpenCount(devices_.PathOf(0), true), 0);
  EXPECT_EQ(devices_.OpenCount(devices_.PathOf(3), true), 0);
  // Each unit's raw volume lost its mount point and was given to the filter.
  std::vector<std::string> deleted = devices_.deleted_mount_points();
  std::sort(deleted.begin(), deleted.end());
  EXPECT_EQ(deleted, (std::vector<std::string>{"/media/cdrom1", "/media/cdrom2", "/media/cdrom5"}));
  EXPECT_EQ(devices_.Get(0).mount_points.size(), 1u);
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(5), "1 " + Vol(1), "1 " + Vol(2)}));
  EXPECT_EQ(host_.handles().size(), 3u);
  EXPECT_EQ(attached_, (std::vector<std::string>{Vol(5), Vol(1), Vol(2)}));
  // A second scan finds them listed already.
  ASSERT_EQ(manager_->Scan(), 0u);
  EXPECT_EQ(manager_->UnitCount(), 3u);
  EXPECT_EQ(host_.filter().size(), 3u);
}

TEST_F(UnitManagerTest, EnumerationFailureAddsNothing) {
  devices_.AddUnit(1);
  devices_.enumerate_error = platform::ERROR_NOT_READY;
  MakeManager();
  EXPECT_EQ(manager_->Scan(), platform::ERROR_NOT_READY);
  EXPECT_EQ(manager_->UnitCount(), 0u);
}

TEST_F(UnitManagerTest, RawVolumeIsLookedForTenTimesOnTheClock) {
  devices_.AddUnit(1);
  devices_.HideVolume(1, 100);
  MakeManager();
  const uint64_t start = clock_.NowMs();
  ASSERT_EQ(manager_->Scan(), 0u);
  EXPECT_EQ(manager_->UnitCount(), 0u);
  EXPECT_EQ(devices_.volume_enumerations(), 10);
  EXPECT_EQ(clock_.NowMs() - start, 900u);
  EXPECT_TRUE(host_.filter().empty());
  EXPECT_EQ(devices_.OpenCount(devices_.PathOf(1), true), 0);

  // A volume that shows up on the fourth look is found.
  devices_.HideVolume(1, 3);
  ASSERT_EQ(manager_->Scan(), 0u);
  EXPECT_EQ(manager_->UnitCount(), 1u);
  EXPECT_EQ(devices_.volume_enumerations(), 14);
}

TEST_F(UnitManagerTest, MagazineAtAttachGetsExactlyOneMount) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  InsertMagazine(1);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  manager_->WaitForMediaEvents();
  EXPECT_EQ(log_->Count("mount " + Vol(1)), 1);
  EXPECT_EQ(log_->Count("mount " + Vol(2)), 0);
  // The handle registered for notifications is the one media events name.
  const std::vector<DeviceHandle> handles = host_.handles();
  ASSERT_EQ(handles.size(), 2u);
  manager_->MediaEvent(false, handles[0]);
  manager_->WaitForMediaEvents();
  EXPECT_EQ(log_->Count("dismount " + Vol(1)), 1);
  EXPECT_EQ(log_->Count("dismount " + Vol(2)), 0);
}

TEST_F(UnitManagerTest, DeviceRefusingReadWriteIsAddedWithoutMediaEvents) {
  devices_.AddUnit(1);
  devices_.RefuseReadWrite(1);
  InsertMagazine(1);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_EQ(manager_->UnitCount(), 1u);
  manager_->WaitForMediaEvents();
  EXPECT_TRUE(host_.handles().empty());
  EXPECT_EQ(log_->Count("mount " + Vol(1)), 0);
  // Its controller exists and answers (with failures) rather than crashing.
  UnitController* c = log_->controllers.at(Vol(1));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Serial(), u"NO SERIAL");
  manager_->MediaEvent(true, platform::kInvalidDeviceHandle);
  manager_->Teardown();
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1), "0 " + Vol(1)}));
  EXPECT_TRUE(host_.unregistered().empty());
}

TEST_F(UnitManagerTest, ThrowingVolumeWorkerFactoryLeavesUnitWithoutWorker) {
  devices_.AddUnit(1);
  InsertMagazine(1);
  MakeManager();
  log_->refuse.insert(Vol(1));
  log_->drive_index[Vol(1)] = 2;
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_EQ(manager_->UnitCount(), 1u);
  ASSERT_EQ(host_.handles().size(), 1u);
  manager_->MediaEvent(true, host_.handles()[0]);
  manager_->MediaEvent(false, host_.handles()[0]);
  manager_->MediaEvent(false, host_.handles()[0]);
  manager_->WaitForMediaEvents();
  EXPECT_TRUE(log_->Calls().empty());
  EXPECT_EQ(manager_->FindVolumeWorkerByDriveLetter(u'C'), nullptr);
  EXPECT_EQ(manager_->FindUnitByDriveLetter(u'C', nullptr, nullptr), kUnitNotFound);
}

TEST_F(UnitManagerTest, ControllerFailureUndoesWhatAddDid) {
  devices_.AddUnit(1);
  UnitManagerOptions o;
  o.devices = &devices_;
  o.host = &host_;
  o.clock = &clock_;
  o.controller.volumes = nullptr;  // the controller cannot be created without it
  int workers = 0;
  o.make_volume_worker = [&](std::u16string_view, UnitController*,
                             const VolumeNotificationCallback&) -> std::unique_ptr<VolumeWorker> {
    ++workers;
    return nullptr;
  };
  UnitManager manager(std::move(o));
  ASSERT_EQ(manager.Scan(), 0u);
  EXPECT_EQ(manager.UnitCount(), 0u);
  EXPECT_EQ(workers, 0);
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1), "0 " + Vol(1)}));
  EXPECT_EQ(host_.unregistered(), (std::vector<NotificationToken>{1}));
}

// ---- device events ----------------------------------------------------------------------

TEST_F(UnitManagerTest, HotArrivalSettlesBeforeTheVolumeWorker) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  devices_.SetPresent(2, false);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  EXPECT_LT(log_->created_at[Vol(1)] - attached_at_[Vol(1)], kArrivalSettleMs);
  devices_.SetPresent(2, true);
  manager_->DeviceEvent(true, Path16(2));
  manager_->WaitForDeviceEvents();
  ASSERT_EQ(manager_->UnitCount(), 2u);
  EXPECT_GE(log_->created_at[Vol(2)] - attached_at_[Vol(2)], kArrivalSettleMs);
}

TEST_F(UnitManagerTest, UnitsAreSortedWhateverTheArrivalOrder) {
  for (uint32_t n : {5u, 1u, 3u, 4u}) devices_.AddUnit(n);
  MakeManager();
  for (uint32_t n : {5u, 1u, 4u, 3u}) manager_->DeviceEvent(true, Path16(n));
  manager_->WaitForDeviceEvents();
  EXPECT_EQ(manager_->DeviceNumbers(), (std::vector<uint32_t>{1, 3, 4, 5}));
}

TEST_F(UnitManagerTest, SecondArrivalOfAListedUnitIsIgnored) {
  devices_.AddUnit(1);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  const int probes = devices_.OpenCount(devices_.PathOf(1), false);
  std::u16string upper = platform::UpCase(Path16(1));
  manager_->DeviceEvent(true, upper);
  manager_->DeviceEvent(true, u"USBSTOR\\CDROM&VEN_KORRINDA&PROD_QX_V1A0\\UNIT1");
  manager_->WaitForDeviceEvents();
  EXPECT_EQ(manager_->UnitCount(), 1u);
  EXPECT_EQ(devices_.OpenCount(devices_.PathOf(1), false), probes);
  EXPECT_EQ(devices_.OpenCount("USBSTOR\\CDROM&VEN_KORRINDA&PROD_QX_V1A0\\UNIT1", false), 0);
  EXPECT_EQ(host_.filter().size(), 1u);
}

TEST_F(UnitManagerTest, ArrivalCancelledByRemovalBeforeTheWorkerRuns) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  MakeManager();
  log_->factory_waits = true;
  log_->gate.Reset();
  manager_->DeviceEvent(true, Path16(1));  // the worker waits inside this one
  ASSERT_TRUE(WaitFor([&] { return devices_.OpenCount(devices_.PathOf(1), true) == 1; }));
  manager_->DeviceEvent(true, Path16(2));
  manager_->DeviceEvent(false, platform::UpCase(Path16(2)));
  Release();
  manager_->WaitForDeviceEvents();
  EXPECT_EQ(manager_->DeviceNumbers(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(devices_.OpenCount(devices_.PathOf(2), false), 0);
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1)}));
}

TEST_F(UnitManagerTest, RemovalThenArrivalBothRunInOrder) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  log_->factory_waits = true;
  log_->gate.Reset();
  devices_.SetPresent(2, false);
  manager_->DeviceEvent(false, Path16(2));
  ASSERT_TRUE(WaitFor([&] { return log_->Count("destroyed " + Vol(2)) == 1; }));
  devices_.SetPresent(2, true);
  // Unit 1 goes and comes back while the worker waits inside unit 2's arrival.
  manager_->DeviceEvent(true, Path16(2));
  ASSERT_TRUE(WaitFor([&] { return devices_.OpenCount(devices_.PathOf(2), true) == 2; }));
  manager_->DeviceEvent(false, Path16(1));
  manager_->DeviceEvent(true, Path16(1));
  Release();
  manager_->WaitForDeviceEvents();
  EXPECT_EQ(manager_->DeviceNumbers(), (std::vector<uint32_t>{1, 2}));
  std::vector<std::string> unit1;
  for (const std::string& m : host_.filter())
    if (m.find(Vol(1)) != std::string::npos) unit1.push_back(m.substr(0, 1));
  EXPECT_EQ(unit1, (std::vector<std::string>{"1", "0", "1"}));
  const std::vector<std::string> calls = log_->Calls();
  const auto removed = std::find(calls.begin(), calls.end(), "removed " + Vol(1));
  ASSERT_NE(removed, calls.end());
  ASSERT_NE(removed + 1, calls.end());
  EXPECT_EQ(*(removed + 1), "destroyed " + Vol(1));
}

TEST_F(UnitManagerTest, RemovalUndoesTheAttachAndWaitsForARunningMount) {
  devices_.AddUnit(1);
  InsertMagazine(1);
  MakeManager();
  HoldMounts();
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_TRUE(MountStarted(1));
  manager_->DeviceEvent(false, Path16(1));
  ASSERT_TRUE(WaitFor([&] { return manager_->UnitCount() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(log_->Count("destroyed " + Vol(1)), 0);
  EXPECT_EQ(host_.filter().size(), 1u);
  Release();
  manager_->WaitForDeviceEvents();
  EXPECT_EQ(log_->Calls(), (std::vector<std::string>{"mount " + Vol(1), "mount-end " + Vol(1),
                                                     "removed " + Vol(1), "destroyed " + Vol(1)}));
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1), "0 " + Vol(1)}));
  EXPECT_EQ(host_.unregistered(), (std::vector<NotificationToken>{1}));
  EXPECT_EQ(detached_, (std::vector<std::string>{Vol(1)}));
  EXPECT_EQ(detached_alive_, (std::vector<bool>{true}));
}

// A unit removed while the release button's run is still busy in the volume
// worker: the run ends before the worker is destroyed.
TEST_F(UnitManagerTest, RemovalWaitsForAReleaseRunBeforeTheWorkerGoes) {
  devices_.AddUnit(1);
  InsertMagazine(1);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_TRUE(WaitFor([&] { return log_->Count("mount-end " + Vol(1)) == 1; }));
  UnitController* controller = nullptr;
  {
    std::lock_guard lock(log_->mu);
    controller = log_->controllers[Vol(1)];
    controller->SetVolumeWorker(log_->workers[Vol(1)]);  // as a real worker attaches itself
  }
  ASSERT_EQ(controller->AcceptMount(), 1);
  devices_.Get(1).sim->RequestRelease();
  // The monitor ticks once a second of the clock.
  ASSERT_TRUE(WaitFor([&] {
    clock_.Advance(1000);
    return log_->Count("release " + Vol(1)) == 1;
  }));
  manager_->DeviceEvent(false, Path16(1));
  manager_->WaitForDeviceEvents();
  const std::vector<std::string> calls = log_->Calls();
  const auto at = [&](const std::string& call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
  ASSERT_LT(at("release-end " + Vol(1)), static_cast<long>(calls.size()));
  EXPECT_LT(at("release-end " + Vol(1)), at("removed " + Vol(1)));
  EXPECT_LT(at("removed " + Vol(1)), at("destroyed " + Vol(1)));
}

TEST_F(UnitManagerTest, TeardownTwiceReleasesEachUnitOnce) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  manager_->Teardown();
  manager_->Teardown();
  EXPECT_EQ(manager_->UnitCount(), 0u);
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1), "1 " + Vol(2), "0 " + Vol(1),
                                                      "0 " + Vol(2)}));
  EXPECT_EQ(host_.unregistered(), (std::vector<NotificationToken>{1, 2}));
  // Teardown is not a removal: the workers are destroyed without the notice.
  EXPECT_EQ(log_->Calls(), (std::vector<std::string>{"destroyed " + Vol(1), "destroyed " + Vol(2)}));
  EXPECT_EQ(detached_.size(), 2u);
}

TEST_F(UnitManagerTest, TeardownWaitsForAUnitBeingAdded) {
  devices_.AddUnit(1);
  MakeManager();
  log_->factory_waits = true;
  log_->gate.Reset();
  manager_->DeviceEvent(true, Path16(1));
  ASSERT_TRUE(WaitFor([&] { return devices_.OpenCount(devices_.PathOf(1), true) == 1; }));
  std::atomic<bool> done{false};
  std::thread stop([&] {
    manager_->Teardown();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(done.load());
  Release();
  stop.join();
  // The unit finished attaching and was then released, not left behind.
  EXPECT_EQ(manager_->UnitCount(), 0u);
  EXPECT_EQ(host_.filter(), (std::vector<std::string>{"1 " + Vol(1), "0 " + Vol(1)}));
}

// ---- media events -------------------------------------------------------------------------

TEST_F(UnitManagerTest, QueuedMediaArrivalAndRemovalCancel) {
  devices_.AddUnit(1);
  InsertMagazine(1);
  MakeManager();
  HoldMounts();
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_TRUE(MountStarted(1));
  const DeviceHandle h = host_.handles().at(0);
  manager_->MediaEvent(true, h);
  manager_->MediaEvent(false, h);
  manager_->MediaEvent(true, h + 1);  // no unit has this handle
  Release();
  manager_->WaitForMediaEvents();
  EXPECT_EQ(log_->Calls(), (std::vector<std::string>{"mount " + Vol(1), "mount-end " + Vol(1)}));
  EXPECT_EQ(log_->cancel_seen, (std::vector<bool>{false}));
}

TEST_F(UnitManagerTest, RemovalThenArrivalRunBothAndTheMountSeesTheRemoval) {
  devices_.AddUnit(1);
  InsertMagazine(1);
  MakeManager();
  HoldMounts();
  ASSERT_EQ(manager_->Scan(), 0u);
  ASSERT_TRUE(MountStarted(1));
  const DeviceHandle h = host_.handles().at(0);
  manager_->MediaEvent(false, h);
  manager_->MediaEvent(true, h);
  Release();
  manager_->WaitForMediaEvents();
  const std::string v = Vol(1);
  EXPECT_EQ(log_->Calls(), (std::vector<std::string>{"mount " + v, "mount-end " + v, "dismount " + v,
                                                     "mount " + v, "mount-end " + v}));
  // The first mount was told that the medium left meanwhile; the second not.
  EXPECT_EQ(log_->cancel_seen, (std::vector<bool>{true, false}));
}

// ---- power, drive letters and lookups ---------------------------------------------------------

TEST_F(UnitManagerTest, SuspendWaitsForEveryUnitAndResumeRestartsThem) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  MakeManager();
  ASSERT_EQ(manager_->Scan(), 0u);
  manager_->Suspend();
  for (uint32_t n : {1u, 2u}) EXPECT_FALSE(log_->controllers.at(Vol(n))->IsReady());
  manager_->Resume();
  EXPECT_TRUE(WaitFor([&] {
    return log_->controllers.at(Vol(1))->IsReady() && log_->controllers.at(Vol(2))->IsReady();
  }));
}

TEST_F(UnitManagerTest, DriveLetterLookups) {
  devices_.AddUnit(1);
  devices_.AddUnit(2);
  devices_.AddUnit(3);
  MakeManager();
  log_->drive_index[Vol(1)] = 6;  // G:
  log_->drive_index[Vol(2)] = 2;  // C:
  ASSERT_EQ(manager_->Scan(), 0u);

  VolumeWorker* c = manager_->FindVolumeWorkerByDriveLetter(u'c');
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c, log_->workers.at(Vol(2)));
  EXPECT_EQ(manager_->FindVolumeWorkerByDriveLetter(u'G'), log_->workers.at(Vol(1)));
  EXPECT_EQ(manager_->FindVolumeWorkerByDriveLetter(u'D'), nullptr);
  EXPECT_EQ(manager_->FindVolumeWorkerByDriveLetter(u'['), nullptr);
  EXPECT_EQ(manager_->FindVolumeWorkerByDriveLetter(u'2'), nullptr);

  EXPECT_EQ(manager_->FindUnitByDriveLetter(u'7', nullptr, nullptr), kUnitNotFound);
  EXPECT_EQ(manager_->FindUnitByDriveLetter(u'{', nullptr, nullptr), kUnitNotFound);
  EXPECT_EQ(manager_->FindUnitByDriveLetter(u'z', nullptr, nullptr), kUnitNotFound);
  std::u16string path, raw;
  ASSERT_EQ(manager_->FindUnitByDriveLetter(u'g', &path, &raw), kUnitFound);
  EXPECT_EQ(path, Path16(1));
  EXPECT_EQ(N(raw), Vol(1));

  manager_->RefreshDriveLetters();
  EXPECT_TRUE(WaitFor([&] {
    return log_->Count("refresh " + Vol(1)) == 1 && log_->Count("refresh " + Vol(2)) == 1 &&
           log_->Count("refresh " + Vol(3)) == 1;
  }));
}

}  // namespace
}  // namespace kelva::unit::testing
