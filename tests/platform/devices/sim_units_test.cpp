// The device manager with simulated units served in this process: arrivals,
// removals, names, numbers, media events and the volume files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <memory>
#include <thread>

#include "emulator/medium_marker.h"
#include "emulator/sim_unit.h"
#include "platform/file.h"
#include "platform/sim_device_source.h"
#include "platform/system_device_manager.h"
#include "platform/unit_socket.h"
#include "tests/emulator/sim_fixture.h"
#include "tests/platform/devices/device_events.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;
using emulator::testing::FreshDir;
using testing::EventRecorder;
using testing::HandleOf;

// One simulated unit published in <run>/units, as kelva-unitsim publishes it.
struct PublishedUnit {
  PublishedUnit(const fs::path& run, const std::string& name, uint32_t number, Clock* clock = nullptr)
      : units(run / "units"), name(name) {
    emulator::SimUnitOptions o;
    o.device_number = number;
    o.clock = clock;
    unit = std::make_unique<emulator::SimUnit>(o);
    device = std::make_unique<emulator::SimScsiDevice>(unit.get());
    marker = std::make_unique<emulator::MediumMarker>(unit.get(), units, name);
    server = std::make_unique<UnitSocketServer>(device.get(), nullptr);
  }
  ~PublishedUnit() { Stop(); }
  void Start() { ASSERT_EQ(server->Start(units / (name + ".sock")), ERROR_SUCCESS); }
  void Stop() {
    marker.reset();
    server->Stop();
  }
  fs::path units;
  std::string name;
  std::unique_ptr<emulator::SimUnit> unit;
  std::unique_ptr<emulator::SimScsiDevice> device;
  std::unique_ptr<emulator::MediumMarker> marker;
  std::unique_ptr<UnitSocketServer> server;
};

std::string ExpectedPath(const std::string& instance) {
  return "\\\\?\\USBSTOR#CdRom&Ven_KORRINDA&Prod_QX_V1A0#" + instance + "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

bool WaitUntilListed(DeviceManager* manager, size_t count) {
  for (int i = 0; i < 400; ++i) {
    std::vector<std::string> paths;
    manager->EnumerateOpticalDevices(&paths);
    if (paths.size() == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

class SimUnitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshDir("devmgr");
    run_ = dir_ / "run";
  }
  std::unique_ptr<DeviceManager> Manager() {
    SystemDeviceManagerOptions o;
    o.run_dir = run_;
    o.real_drives = false;
    std::unique_ptr<DeviceManager> m;
    EXPECT_EQ(CreateSystemDeviceManager(o, &m), ERROR_SUCCESS);
    return m;
  }
  fs::path Magazine(const std::string& name) {
    const fs::path mag = dir_ / name;
    EXPECT_EQ(emulator::Magazine::Create(mag, emulator::testing::SmallSpec(emulator::kTypeRewritable)), ERROR_SUCCESS);
    return mag;
  }
  std::string VolumeFile(const std::string& volume_name) {
    std::string text;
    ReadWholeFile(run_ / "volumes" / volume_name.substr(4, 44), &text);
    return text;
  }
  fs::path dir_, run_;
};

TEST_F(SimUnitsTest, ArrivalAndRemovalCarryTheInterfacePath) {
  EventRecorder cdrom, other;  // outlive the manager, which may deliver until it ends
  auto manager = Manager();
  NotificationToken t1 = 0, t2 = 0;
  ASSERT_EQ(manager->RegisterInterfaceNotification(kCdromInterfaceClass, cdrom.Callback(), &t1), ERROR_SUCCESS);
  ASSERT_EQ(manager->RegisterInterfaceNotification(kMediaArrivalEvent, other.Callback(), &t2), ERROR_SUCCESS);
  EXPECT_NE(t1, t2);

  PublishedUnit unit(run_, "alpha", 4);
  unit.Start();
  const std::string path = ExpectedPath("alpha&0");
  ASSERT_TRUE(cdrom.WaitForInterface(DBT_DEVICEARRIVAL, path));
  EXPECT_EQ(cdrom.Events()[0].data.class_guid, kCdromInterfaceClass);

  std::vector<std::string> paths;
  ASSERT_EQ(manager->EnumerateOpticalDevices(&paths), ERROR_SUCCESS);
  ASSERT_EQ(paths, std::vector<std::string>{path});
  std::vector<std::string> volumes;
  ASSERT_EQ(manager->EnumerateVolumes(&volumes), ERROR_SUCCESS);
  ASSERT_EQ(volumes.size(), 1u);
  const std::string& volume = volumes[0];
  ASSERT_EQ(volume.size(), 49u);
  EXPECT_EQ(volume.substr(0, 11), "\\\\?\\Volume{");
  EXPECT_EQ(volume.substr(47), "}\\");
  std::string device_name;
  ASSERT_EQ(manager->QueryVolumeDeviceName(volume.substr(4, 44), &device_name), ERROR_SUCCESS);
  EXPECT_EQ(device_name, "\\Device\\CdRom4");
  EXPECT_EQ(manager->QueryVolumeDeviceName("Volume{00000000-0000-0000-0000-000000000000}", &device_name),
            ERROR_FILE_NOT_FOUND);
  std::vector<std::string> mounts{"x"};
  EXPECT_EQ(manager->GetVolumeMountPoints(volume, &mounts), ERROR_SUCCESS);
  EXPECT_TRUE(mounts.empty());

  // The device opens under any letter case of its path and answers as the unit.
  std::unique_ptr<ScsiDevice> device;
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(manager->OpenDevice(lower, true, &device), ERROR_SUCCESS);
  StorageDeviceDescriptor d;
  ASSERT_EQ(device->QueryDescriptor(&d), ERROR_SUCCESS);
  EXPECT_EQ(d.vendor, "KORRINDA");
  EXPECT_EQ(manager->OpenDevice(ExpectedPath("beta&0"), true, &device), ERROR_FILE_NOT_FOUND);

  unit.Stop();
  ASSERT_TRUE(cdrom.WaitForInterface(DBT_DEVICEREMOVECOMPLETE, path));
  ASSERT_EQ(manager->EnumerateOpticalDevices(&paths), ERROR_SUCCESS);
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(other.Events().empty());  // another class hears nothing

  // After Unregister nothing more is delivered.
  manager->Unregister(t1);
  cdrom.Clear();
  PublishedUnit again(run_, "gamma", 5);
  again.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 1));
  EXPECT_TRUE(cdrom.Events().empty());
}

TEST_F(SimUnitsTest, NamesAndVolumesStayTheSameAcrossRestarts) {
  std::string path, volume;
  {
    PublishedUnit unit(run_, "unit 7#x", 1);  // characters a path cannot hold
    unit.Start();
    auto manager = Manager();  // the unit is there before the manager: found at start
    std::vector<std::string> paths, volumes;
    ASSERT_EQ(manager->EnumerateOpticalDevices(&paths), ERROR_SUCCESS);
    ASSERT_EQ(paths.size(), 1u);
    path = paths[0];
    ASSERT_EQ(manager->EnumerateVolumes(&volumes), ERROR_SUCCESS);
    volume = volumes[0];
    EXPECT_FALSE(VolumeFile(volume).empty());
  }
  EXPECT_EQ(path.find(' '), std::string::npos);
  EXPECT_EQ(std::count(path.begin(), path.end(), '#'), 3);
  {
    PublishedUnit other(run_, "unit_7_x", 2);  // would clash if only the characters were replaced
    other.Start();
    PublishedUnit unit(run_, "unit 7#x", 1);
    unit.Start();
    auto manager = Manager();
    std::vector<std::string> paths, volumes;
    ASSERT_EQ(manager->EnumerateOpticalDevices(&paths), ERROR_SUCCESS);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);
    EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end());
    ASSERT_EQ(manager->EnumerateVolumes(&volumes), ERROR_SUCCESS);
    EXPECT_NE(std::find(volumes.begin(), volumes.end(), volume), volumes.end());
    EXPECT_NE(volumes[0], volumes[1]);
  }
  // The manager takes its volume files with it.
  EXPECT_FALSE(fs::exists(run_ / "volumes"));
}

TEST_F(SimUnitsTest, TwoUnitsReportingOneNumberGetTwoNumbers) {
  auto manager = Manager();
  PublishedUnit a(run_, "a", 7), b(run_, "b", 7), c(run_, "c", 8);
  a.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 1));
  b.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 2));
  c.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 3));
  std::vector<std::string> paths;
  manager->EnumerateOpticalDevices(&paths);
  std::set<uint32_t> numbers;
  for (const std::string& p : paths) {
    std::unique_ptr<ScsiDevice> device;
    ASSERT_EQ(manager->OpenDevice(p, false, &device), ERROR_SUCCESS);
    uint32_t n = 0;
    ASSERT_EQ(device->GetDeviceNumber(&n), ERROR_SUCCESS);
    numbers.insert(n);
  }
  EXPECT_EQ(numbers, (std::set<uint32_t>{7, 8, 9}));
  // The device names agree with the numbers the devices give.
  std::vector<std::string> volumes;
  manager->EnumerateVolumes(&volumes);
  std::set<std::string> names;
  for (const std::string& v : volumes) {
    std::string name;
    ASSERT_EQ(manager->QueryVolumeDeviceName(v.substr(4, 44), &name), ERROR_SUCCESS);
    names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"\\Device\\CdRom7", "\\Device\\CdRom8", "\\Device\\CdRom9"}));

  // A unit starting now is given a number no published unit has.
  EXPECT_EQ(FreeUnitDeviceNumber(run_ / "units", 7), 9u);  // a and b report 7, c reports 8
  EXPECT_EQ(FreeUnitDeviceNumber(run_ / "units", 1000), 1000u);
}

TEST_F(SimUnitsTest, MediaEventsReachOnlyRegisteredHandlesOfThatUnit) {
  EventRecorder events;
  auto manager = Manager();
  NotificationToken token = 0;
  ASSERT_EQ(manager->RegisterInterfaceNotification(kCdromInterfaceClass, events.Callback(), &token), ERROR_SUCCESS);
  PublishedUnit unit(run_, "media", 3), bystander(run_, "bystander", 4);
  unit.Start();
  bystander.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 2));
  const std::string path = ExpectedPath("media&0");
  std::unique_ptr<ScsiDevice> registered, unregistered, other;
  ASSERT_EQ(manager->OpenDevice(path, true, &registered), ERROR_SUCCESS);
  ASSERT_EQ(manager->OpenDevice(path, true, &unregistered), ERROR_SUCCESS);
  ASSERT_EQ(manager->OpenDevice(ExpectedPath("bystander&0"), true, &other), ERROR_SUCCESS);
  NotificationToken handle_token = 0, other_token = 0;
  ASSERT_EQ(manager->RegisterHandleNotification(HandleOf(registered.get()), &handle_token), ERROR_SUCCESS);
  ASSERT_EQ(manager->RegisterHandleNotification(HandleOf(other.get()), &other_token), ERROR_SUCCESS);
  EXPECT_EQ(manager->RegisterHandleNotification(12345, &token), ERROR_INVALID_HANDLE);

  std::vector<std::string> volumes;
  manager->EnumerateVolumes(&volumes);
  std::string volume;
  for (const std::string& v : volumes) {
    std::string name;
    manager->QueryVolumeDeviceName(v.substr(4, 44), &name);
    if (name == "\\Device\\CdRom3") volume = v;
  }
  ASSERT_FALSE(volume.empty());
  const std::string socket_line = (run_ / "units" / "media.sock").string() + "\n";
  EXPECT_EQ(VolumeFile(volume), socket_line);

  const fs::path mag = Magazine("mag");
  ASSERT_EQ(unit.unit->InsertMagazine(mag), ERROR_SUCCESS);
  EXPECT_TRUE(unit.marker->Update());
  ASSERT_TRUE(events.WaitForMedia(HandleOf(registered.get()), true));
  EXPECT_EQ(unit.unit->CheckVerify(), ERROR_SUCCESS);
  // The disc images stay unlisted: the simulator must keep opening them.
  EXPECT_EQ(VolumeFile(volume), socket_line);

  // A stopped drive keeps its medium: no removal for that.
  ScsiCommand stop;
  stop.cdb[0] = 0x1B;
  stop.cdb_length = 6;
  ScsiReply reply;
  ASSERT_EQ(unit.unit->Execute(stop, &reply), ERROR_SUCCESS);  // reports the insertion's unit attention
  ASSERT_EQ(unit.unit->Execute(stop, &reply), ERROR_SUCCESS);
  ASSERT_EQ(reply.status, kScsiStatusGood);
  EXPECT_NE(unit.unit->CheckVerify(), ERROR_SUCCESS);
  EXPECT_TRUE(unit.marker->Update());

  unit.unit->PullMagazine();
  EXPECT_FALSE(unit.marker->Update());
  ASSERT_TRUE(events.WaitForMedia(HandleOf(registered.get()), false));
  EXPECT_EQ(VolumeFile(volume), socket_line);

  // Another magazine: arrival again; then the handle is unregistered and hears nothing more.
  ASSERT_EQ(unit.unit->InsertMagazine(Magazine("mag2")), ERROR_SUCCESS);
  unit.marker->Update();
  ASSERT_TRUE(events.WaitForMediaCount(HandleOf(registered.get()), true, 2));
  manager->Unregister(handle_token);
  ASSERT_EQ(unit.unit->EjectMagazine(true), ERROR_SUCCESS);
  unit.marker->Update();
  // The bystander's registration proves the watcher has moved on.
  ASSERT_EQ(bystander.unit->InsertMagazine(Magazine("mag3")), ERROR_SUCCESS);
  bystander.marker->Update();
  ASSERT_TRUE(events.WaitForMedia(HandleOf(other.get()), true));
  EXPECT_EQ(events.CountMedia(HandleOf(registered.get()), false), 1u);
  EXPECT_EQ(events.CountMedia(HandleOf(unregistered.get()), true), 0u);
  EXPECT_EQ(events.CountMedia(HandleOf(other.get()), false), 0u);
  manager->Unregister(other_token);

  // The unit goes: its volume file with it.
  unit.Stop();
  ASSERT_TRUE(events.WaitForInterface(DBT_DEVICEREMOVECOMPLETE, path));
  EXPECT_FALSE(fs::exists(run_ / "volumes" / volume.substr(4, 44)));
  // A device of a unit that went fails instead of hanging.
  uint32_t n = 0;
  EXPECT_EQ(registered->GetDeviceNumber(&n), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SimUnitsTest, AUnitPublishedBeforeTheManagerStartsIsFound) {
  const fs::path mag = Magazine("mag");
  PublishedUnit unit(run_, "loaded", 2);
  ASSERT_EQ(unit.unit->InsertMagazine(mag), ERROR_SUCCESS);
  unit.marker->Update();
  unit.Start();
  auto manager = Manager();
  std::vector<std::string> volumes;
  manager->EnumerateVolumes(&volumes);
  ASSERT_EQ(volumes.size(), 1u);
  std::string name;
  manager->QueryVolumeDeviceName(volumes[0].substr(4, 44), &name);
  EXPECT_EQ(name, "\\Device\\CdRom2");
  EXPECT_EQ(VolumeFile(volumes[0]), (run_ / "units" / "loaded.sock").string() + "\n");
}

TEST(MediumMarker, ArrivesWhenTheDiscIsReadyAndStaysWhileTheMagazineDoes) {
  const fs::path dir = FreshDir("marker");
  ASSERT_EQ(emulator::Magazine::Create(dir / "mag", emulator::testing::SmallSpec(emulator::kTypeRecordable)),
            ERROR_SUCCESS);
  TestClock clock;
  emulator::SimUnitOptions o;
  o.clock = &clock;
  o.load_ms = 5000;
  emulator::SimUnit unit(o);
  const fs::path units = dir / "units";
  fs::create_directories(units);
  auto marker = std::make_unique<emulator::MediumMarker>(&unit, units, "m");
  const fs::path file = UnitMediumMarkerPath(units, "m");
  ASSERT_EQ(unit.InsertMagazine(dir / "mag"), ERROR_SUCCESS);
  EXPECT_FALSE(marker->Update());  // the disc is still loading
  EXPECT_FALSE(fs::exists(file));
  clock.Advance(5000);
  EXPECT_TRUE(marker->Update());
  std::string text;
  ASSERT_EQ(ReadWholeFile(file, &text), ERROR_SUCCESS);
  EXPECT_EQ(text, fs::absolute(dir / "mag").string() + "\n");
  // Another disc is loaded from the magazine (A6, load slot 3): not ready for a while, still a medium.
  ScsiCommand load;
  load.cdb[0] = 0xA6;
  load.cdb[4] = 0x03;  // load
  load.cdb[8] = 3;     // slot
  load.cdb_length = 12;
  ScsiReply reply;
  ASSERT_EQ(unit.Execute(load, &reply), ERROR_SUCCESS);  // reports the insertion's unit attention
  ASSERT_EQ(unit.Execute(load, &reply), ERROR_SUCCESS);
  ASSERT_EQ(reply.status, kScsiStatusGood);
  EXPECT_NE(unit.CheckVerify(), ERROR_SUCCESS);
  EXPECT_TRUE(marker->Update());
  EXPECT_TRUE(fs::exists(file));
  // The disc drops out of the drive: the magazine is still there.
  unit.MarkDiscAway();
  EXPECT_NE(unit.CheckVerify(), ERROR_SUCCESS);
  EXPECT_TRUE(marker->Update());
  EXPECT_TRUE(fs::exists(file));
  unit.Unplug();
  EXPECT_FALSE(marker->Update());
  EXPECT_FALSE(fs::exists(file));
  // A marker left behind is not believed by the next run.
  ASSERT_EQ(WriteUnitMediumMarker(units, "m", dir / "mag"), ERROR_SUCCESS);
  marker.reset();
  EXPECT_FALSE(fs::exists(file));
  ASSERT_EQ(WriteUnitMediumMarker(units, "m", dir / "mag"), ERROR_SUCCESS);
  emulator::MediumMarker fresh(&unit, units, "m");
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(SimUnitsTest, ASocketNobodyServesIsNotADevice) {
  fs::create_directories(run_ / "units");
  // A socket file left by a unit that died without cleaning up.
  const fs::path stale = run_ / "units" / "dead.sock";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, stale.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  auto manager = Manager();
  PublishedUnit live(run_, "live", 1);
  live.Start();
  ASSERT_TRUE(WaitUntilListed(manager.get(), 1));
  std::vector<std::string> paths;
  manager->EnumerateOpticalDevices(&paths);
  EXPECT_EQ(paths, std::vector<std::string>{ExpectedPath("live&0")});
}

}  // namespace
}  // namespace kelva::platform
