// The service core's unit manager end to end: a simulated unit with a blank
// magazine behind the fake device manager, the core's filter messages and
// handle notifications, the raw volume's UDF file system and the volume
// worker that identifies the magazine.
#include "service/core/unit_manager_binding.h"

#include <gtest/gtest.h>

#include <mutex>

#include "controller_fixture.h"
#include "fake_device_manager.h"
#include "platform/text.h"
#include "service/unit/identifying_volume_worker.h"

namespace kelva::unit::testing {
namespace {

class FakeCore : public core::IServiceCore {
 public:
  FakeCore(platform::Clock* clock, fs::path data) : clock_(clock), data_(std::move(data)) {}
  void EnterBusy() override {}
  void LeaveBusy() override {}
  void SendFilterMessage(uint8_t command, std::u16string_view volume_name) override {
    std::lock_guard lock(mu);
    filter.push_back(std::to_string(command) + " " + platform::Utf16ToUtf8(volume_name));
  }
  platform::NotificationToken RegisterDeviceHandleNotification(platform::DeviceHandle handle) override {
    std::lock_guard lock(mu);
    handles.push_back(handle);
    return 40 + handles.size();
  }
  void UnregisterDeviceNotification(platform::NotificationToken token) override {
    std::lock_guard lock(mu);
    unregistered.push_back(token);
  }
  fs::path DataFolder() const override { return data_; }
  platform::Clock& clock() override { return *clock_; }

  std::mutex mu;
  std::vector<std::string> filter;
  std::vector<platform::DeviceHandle> handles;
  std::vector<platform::NotificationToken> unregistered;

 private:
  platform::Clock* clock_;
  fs::path data_;
};

TEST(UnitManagerBindingTest, BlankMagazineIsFormattedIdentifiedAndReleased) {
  TempFolder temp;
  platform::TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  FakeDeviceManager devices(&clock);
  devices.AddUnit(2);
  devices.InsertMagazine(2, temp.path() / "magazine", 131072);
  const std::string vol = devices.Get(2).volume;
  FakeCore core(&clock, temp.path() / "data");

  IdentifyingVolumeWorker* worker = nullptr;
  UnitController* controller = nullptr;
  auto manager = core::MakeUnitManager(
      core, devices,
      [&](std::u16string_view raw, UnitController* c,
          const VolumeNotificationCallback& notify) -> std::unique_ptr<VolumeWorker> {
        auto w = std::make_unique<IdentifyingVolumeWorker>(raw, c, notify);
        worker = w.get();
        controller = c;
        return w;
      });
  UnitManager* units = core::UnitsOf(*manager);
  ASSERT_NE(units, nullptr);
  core::EmptyUnitManager other;
  EXPECT_EQ(core::UnitsOf(other), nullptr);

  manager->ScanUnits();
  units->WaitForMediaEvents();
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(worker->LastOutcome(), "unit " + vol + ": magazine a0a1a2a3a4a5a6a7a8a9aaab (MAG-LABEL-1) identified");
  // Disc 0 was formatted and its file system is reached through the raw volume.
  EXPECT_TRUE(controller->HasUdfVolume());
  uint64_t total = 0, free = 0;
  EXPECT_EQ(controller->GetSpace(&total, &free), 1);
  EXPECT_GT(free, 100ull << 20);
  EXPECT_EQ(core.filter, (std::vector<std::string>{"1 " + vol}));
  ASSERT_EQ(core.handles.size(), 1u);

  manager->MediaRemoval(core.handles[0]);
  units->WaitForMediaEvents();
  EXPECT_EQ(worker->LastOutcome(), "unit " + vol + ": magazine removed");

  manager->StopAll();
  manager->StopAll();
  EXPECT_EQ(core.filter, (std::vector<std::string>{"1 " + vol, "0 " + vol}));
  EXPECT_EQ(core.unregistered, (std::vector<platform::NotificationToken>{41}));
  EXPECT_EQ(units->UnitCount(), 0u);
}

}  // namespace
}  // namespace kelva::unit::testing
