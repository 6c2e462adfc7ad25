// The device manager following kelva-unitsim programs: their arrival, the
// numbers they choose, media events on insert and eject, removal on unplug.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "platform/file.h"
#include "platform/system_device_manager.h"
#include "platform/unit_socket.h"
#include "tests/emulator/sim_fixture.h"
#include "tests/platform/devices/device_events.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;
using testing::EventRecorder;
using testing::HandleOf;

int Unitsim(const std::string& args) {
  const int rc = std::system((std::string(KELVA_UNITSIM) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string PathOf(const std::string& name) {
  return "\\\\?\\USBSTOR#CdRom&Ven_KORRINDA&Prod_QX_V1A0#" + name + "&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

TEST(UnitsimDevices, ArrivesChangesMediaAndLeavesOnUnplug) {
  const fs::path dir = emulator::testing::FreshDir("unitsim-devices");
  const fs::path run = dir / "run";
  setenv("KELVA_RUN_DIR", run.c_str(), 1);
  const std::string mag = (dir / "mag").string(), mag2 = (dir / "mag2").string();
  ASSERT_EQ(Unitsim("create --magazine " + mag + " --type rewritable --capacity 300 --disc-size 8388608"), 0);
  ASSERT_EQ(Unitsim("create --magazine " + mag2 + " --type recordable --capacity 300 --disc-size 8388608"), 0);

  SystemDeviceManagerOptions o;
  o.run_dir = run;
  o.real_drives = false;
  EventRecorder events;
  std::unique_ptr<DeviceManager> manager;
  ASSERT_EQ(CreateSystemDeviceManager(o, &manager), ERROR_SUCCESS);
  NotificationToken token = 0;
  ASSERT_EQ(manager->RegisterInterfaceNotification(kCdromInterfaceClass, events.Callback(), &token), ERROR_SUCCESS);

  // Two units started at the same time, neither told its number.
  std::thread first([] { Unitsim("run --name first"); });
  std::thread second([&] { Unitsim("run --name second --magazine " + mag2); });
  const bool arrived = events.WaitForInterface(DBT_DEVICEARRIVAL, PathOf("first")) &&
                       events.WaitForInterface(DBT_DEVICEARRIVAL, PathOf("second"));
  if (!arrived) {
    Unitsim("unplug --name first");
    Unitsim("unplug --name second");
  }
  ASSERT_TRUE(arrived);
  std::unique_ptr<ScsiDevice> a, b;
  uint32_t na = 0, nb = 0;
  ASSERT_EQ(OpenUnitSocket(UnitSocketPath("first"), &a), ERROR_SUCCESS);
  ASSERT_EQ(OpenUnitSocket(UnitSocketPath("second"), &b), ERROR_SUCCESS);
  ASSERT_EQ(a->GetDeviceNumber(&na), ERROR_SUCCESS);
  ASSERT_EQ(b->GetDeviceNumber(&nb), ERROR_SUCCESS);
  EXPECT_NE(na, nb);  // the units chose different numbers themselves
  EXPECT_GE(std::min(na, nb), 1000u);

  // Both units are guarded through their sockets.
  std::vector<std::string> volumes;
  manager->EnumerateVolumes(&volumes);
  ASSERT_EQ(volumes.size(), 2u);
  std::string all;
  for (const std::string& v : volumes) {
    std::string text;
    ReadWholeFile(run / "volumes" / v.substr(4, 44), &text);
    all += text;
  }
  EXPECT_NE(all.find(UnitSocketPath("second").string()), std::string::npos);
  EXPECT_NE(all.find(UnitSocketPath("first").string()), std::string::npos);

  std::unique_ptr<ScsiDevice> device;
  ASSERT_EQ(manager->OpenDevice(PathOf("first"), true, &device), ERROR_SUCCESS);
  NotificationToken handle_token = 0;
  ASSERT_EQ(manager->RegisterHandleNotification(HandleOf(device.get()), &handle_token), ERROR_SUCCESS);
  EXPECT_EQ(Unitsim("insert --name first --magazine " + mag), 0);
  EXPECT_TRUE(events.WaitForMedia(HandleOf(device.get()), true));
  EXPECT_EQ(device->CheckVerify(), ERROR_SUCCESS);
  EXPECT_EQ(Unitsim("eject --name first"), 0);
  EXPECT_TRUE(events.WaitForMedia(HandleOf(device.get()), false));

  EXPECT_EQ(Unitsim("unplug --name first"), 0);
  EXPECT_TRUE(events.WaitForInterface(DBT_DEVICEREMOVECOMPLETE, PathOf("first")));
  first.join();
  EXPECT_EQ(Unitsim("unplug --name second"), 0);
  EXPECT_TRUE(events.WaitForInterface(DBT_DEVICEREMOVECOMPLETE, PathOf("second")));
  second.join();
  std::vector<std::string> paths;
  manager->EnumerateOpticalDevices(&paths);
  EXPECT_TRUE(paths.empty());
  // The second unit's medium left with it; the handle of the first heard one arrival and one removal.
  EXPECT_EQ(events.CountMedia(HandleOf(device.get()), true), 1u);
  EXPECT_EQ(events.CountMedia(HandleOf(device.get()), false), 1u);
  manager->Unregister(handle_token);
  manager->Unregister(token);
  unsetenv("KELVA_RUN_DIR");
}

TEST(UnitsimDevices, ARunningUnitsMediumIsLeftAloneByASecondOfTheSameName) {
  const fs::path dir = emulator::testing::FreshDir("unitsim-twice");
  setenv("KELVA_RUN_DIR", (dir / "run").c_str(), 1);
  const std::string mag = (dir / "mag").string();
  ASSERT_EQ(Unitsim("create --magazine " + mag + " --type rewritable --capacity 300 --disc-size 8388608"), 0);
  std::thread unit([&] { Unitsim("run --name twice --device-number 5 --magazine " + mag); });
  const fs::path marker = dir / "run" / "units" / "twice.medium";
  std::unique_ptr<ScsiDevice> device;
  for (int i = 0; i < 400 && OpenUnitSocket(UnitSocketPath("twice"), &device) != ERROR_SUCCESS; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_TRUE(device);
  uint32_t n = 0;
  ASSERT_EQ(device->GetDeviceNumber(&n), ERROR_SUCCESS);
  EXPECT_EQ(n, 5u);  // a number given is kept
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(Unitsim("run --name twice"), 1);
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(Unitsim("unplug --name twice"), 0);
  unit.join();
  EXPECT_FALSE(fs::exists(marker));
  unsetenv("KELVA_RUN_DIR");
}

}  // namespace
}  // namespace kelva::platform
