// The volume worker that stands in until the file system host exists: it
// identifies the magazine through the controller on a media arrival, and
// forgets it on a media removal so that the next magazine is read afresh.
#include "service/unit/identifying_volume_worker.h"

#include <gtest/gtest.h>

#include <cstring>

#include "controller_fixture.h"
#include "emulator/magazine.h"
#include "platform/text.h"
#include "tests/eventually.h"

namespace kelva::unit::testing {
namespace {

class IdentifyingWorkerTest : public ControllerTest {
 protected:
  std::string Unit() { return "unit " + platform::Utf16ToUtf8(kRawVolume) + ": "; }
  static bool Never() { return false; }
};

TEST_F(IdentifyingWorkerTest, MountIdentifiesAndDismountForgetsTheMagazine) {
  MagazineSetup setup;
  setup.used_discs = 2;
  setup.current_disc = 1;
  setup.label0 = 'M';
  StartUnit(setup);
  IdentifyingVolumeWorker worker(kRawVolume, controller_.get(), nullptr);
  EXPECT_EQ(worker.DriveIndex(), -1);

  worker.Mount(Never);
  EXPECT_TRUE(controller_->MagazineIdentified());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine a0a1a2a3a4a5a6a7a8a9aaab (MAG-LABEL-1) identified");

  worker.Dismount();
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_FALSE(controller_->MagazinePresent());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine removed");

  // Another magazine goes in: it is read, not taken for the first one.
  ASSERT_EQ(sim_->EjectMagazine(true), 0u);
  emulator::MagazineSpec spec;
  spec.disc_sectors = 4096;
  for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(0x10 + i);
  std::memcpy(spec.label.data(), "SECOND-MAG1", 11);
  ASSERT_EQ(emulator::Magazine::Create(temp_.path() / "second", spec), 0u);
  ASSERT_EQ(sim_->InsertMagazine(temp_.path() / "second"), 0u);
  worker.Mount(Never);
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine 101112131415161718191a1b (SECOND-MAG1) identified");
}

TEST_F(IdentifyingWorkerTest, QueuedRemovalStopsTheMount) {
  StartUnit({});
  IdentifyingVolumeWorker worker(kRawVolume, controller_.get(), nullptr);
  worker.Mount([] { return true; });
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine removed before it was identified");

  // A removal queued while the magazine is being identified.
  int asked = 0;
  worker.Mount([&] { return ++asked > 1; });
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine removed while it was identified");
}

TEST_F(IdentifyingWorkerTest, NoMagazineIsReported) {
  emulator::SimUnitOptions options;
  options.clock = &clock_;
  sim_ = std::make_unique<emulator::SimUnit>(options);
  CreateController();
  IdentifyingVolumeWorker worker(kRawVolume, controller_.get(), nullptr);
  worker.Mount(Never);
  EXPECT_FALSE(controller_->MagazineIdentified());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "no magazine in place, not identified");
  worker.DeviceRemoved();
  EXPECT_EQ(worker.LastOutcome(), Unit() + "device removed");
}

// The release button at the unit, with nothing mounted to write back: the
// monitor's release run lets the magazine go at once, and only once.
TEST_F(IdentifyingWorkerTest, TheReleaseButtonEjectsTheMagazine) {
  StartUnit({.used_discs = 1});
  IdentifyingVolumeWorker worker(kRawVolume, controller_.get(), nullptr);
  worker.Mount(Never);
  ASSERT_TRUE(controller_->MagazinePresent());
  // The button while the host holds the magazine only asks the host.
  ASSERT_EQ(sim_->EjectMagazine(false), platform::ERROR_BUSY);
  ASSERT_TRUE(sim_->HasMagazine());
  controller_->MonitorTick();
  ASSERT_TRUE(kelva::test::Eventually([&] { return !sim_->HasMagazine(); }));
  controller_->StopThreads();  // the release run has ended
  EXPECT_FALSE(controller_->MagazinePresent());
  EXPECT_EQ(worker.LastOutcome(), Unit() + "magazine released at the unit's request");
  EXPECT_EQ(controller_->History().count, 0u);
}

// A disc exchange empties the drive for a while: a media removal reported
// meanwhile leaves the magazine as it is.
TEST_F(IdentifyingWorkerTest, ADismountDuringADiscExchangeKeepsTheMagazine) {
  StartUnit({.used_discs = 2});
  IdentifyingVolumeWorker worker(kRawVolume, controller_.get(), nullptr);
  worker.Mount(Never);
  ASSERT_TRUE(controller_->MagazinePresent());
  bool dismounted = false;
  device_->SetHook([&](const platform::ScsiCommand& c, platform::ScsiReply*) {
    if (!dismounted && c.cdb[0] == 0xA6 && (c.cdb[4] & 3) == 0) {  // select slot
      dismounted = true;
      worker.Dismount();
    }
    return false;
  });
  ASSERT_EQ(controller_->LoadDisc(1), 0u);
  device_->SetHook(nullptr);
  ASSERT_TRUE(dismounted);
  EXPECT_EQ(worker.LastOutcome(), Unit() + "disc exchange in progress, magazine kept");
  EXPECT_TRUE(controller_->MagazinePresent());
  EXPECT_TRUE(controller_->MagazineIdentified());
}

}  // namespace
}  // namespace kelva::unit::testing
