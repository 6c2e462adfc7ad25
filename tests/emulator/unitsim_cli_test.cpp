// kelva-unitsim as a user runs it: exit codes, a published unit, actions by name.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/unit_socket.h"
#include "service/unit/unit_commands.h"
#include "tests/emulator/sim_fixture.h"

namespace kelva::emulator {
namespace {

int Unitsim(const std::string& args) {
  const int rc = std::system((std::string(KELVA_UNITSIM) + " " + args + " 2>/dev/null >/dev/null").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(UnitsimProgram, CreateRunActAndUnplug) {
  const auto dir = testing::FreshDir("cli");
  setenv("KELVA_RUN_DIR", (dir / "run").c_str(), 1);
  const std::string mag = (dir / "mag").string();
  EXPECT_EQ(Unitsim("--help"), 0);
  EXPECT_EQ(Unitsim("create --magazine " + mag + " --type tape --capacity 300"), 2);
  EXPECT_EQ(Unitsim("create --magazine " + mag + " --type rewritable --capacity 1200"), 2);
  EXPECT_EQ(Unitsim("create --magazine " + mag + " --type recordable --capacity 300 --id 12"), 2);
  ASSERT_EQ(Unitsim("create --magazine " + mag + " --type recordable --capacity 600 --disc-size 8388608 "
                "--id 00112233445566778899aabb --label DAILY"), 0);
  EXPECT_EQ(Unitsim("create --magazine " + mag + " --type recordable --capacity 600"), 1);
  EXPECT_EQ(Unitsim("status --name cli"), 1);  // nothing runs yet

  std::thread unit([&] { Unitsim("run --magazine " + mag + " --name cli --norve"); });
  const auto socket = platform::UnitSocketPath("cli");
  std::unique_ptr<platform::ScsiDevice> device;
  for (int i = 0; i < 200 && platform::OpenUnitSocket(socket, &device) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(device);
  platform::StorageDeviceDescriptor d;
  ASSERT_EQ(device->QueryDescriptor(&d), 0u);
  EXPECT_EQ(d.vendor, "NORVE   ");
  uint8_t id[12];
  unit::TestUnitReady(device.get());
  ASSERT_TRUE(unit::ReadMagazineId(device.get(), id));
  EXPECT_EQ(id[11], 0xBB);
  unit::UnitStatus status;
  ASSERT_TRUE(unit::ReadUnitStatus(device.get(), &status));
  EXPECT_EQ(status.magazine_type, 0x22);
  EXPECT_EQ(status.capacity_code, 2);

  EXPECT_EQ(Unitsim("status --name cli"), 0);
  EXPECT_EQ(Unitsim("fault --name cli temperature 70 60"), 0);
  EXPECT_EQ(Unitsim("fault --name cli temperature"), 2);
  unit::UnitEnvironment env;
  ASSERT_TRUE(unit::ReadEnvironment(device.get(), &env));
  EXPECT_EQ(env.temperature, 70);
  EXPECT_EQ(Unitsim("eject --name cli"), 0);
  EXPECT_EQ(unit::Low24(unit::TestUnitReady(device.get())), unit::kSenseTrayOpen);
  EXPECT_EQ(Unitsim("insert --name cli --magazine " + mag), 0);
  EXPECT_EQ(unit::Low24(unit::TestUnitReady(device.get())), 0x062800u);
  EXPECT_EQ(Unitsim("unplug --name cli"), 0);
  unit.join();
  EXPECT_FALSE(std::filesystem::exists(socket));
  EXPECT_EQ(unit::TestUnitReady(device.get()), platform::ERROR_DEVICE_NOT_CONNECTED);
  unsetenv("KELVA_RUN_DIR");
}

}  // namespace
}  // namespace kelva::emulator
