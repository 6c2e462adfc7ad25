// The volume worker on the simulated unit with a real FUSE mount (skipped
// where /dev/fuse is absent or mounting needs root): the magazine appears at
// its drive folder, every way of losing it unmounts exactly once with the
// right notices, and a drive removed from outside comes back with its letter.
#include "service/volume/volume_worker.h"

#include <thread>

#include "tests/service/volume/volume_worker_fixture.h"

namespace kelva::volume {
namespace {

using namespace kelva::volume::testing;

TEST_F(VolumeWorkerTest, MagazineAppearsAtItsDriveFolderAndGoesWhenPulled) {
  MountWorker();
  const fs::path folder = worker_->MountPoint();
  EXPECT_EQ(folder, media_ / std::string(1, worker_->DriveLetter()));
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaInserted), std::vector<std::string>{folder.string()});
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassLetterKnown), 1);
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassMounted), 1);
  EXPECT_EQ(events_.LetterOf(CVolumeWorker::kClassMounted), worker_->DriveLetter());

  sim_->PullMagazine();
  worker_->Dismount();
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_FALSE(IsMountPoint(folder));
  EXPECT_TRUE(fs::is_directory(folder));  // the empty drive stays while the unit is attached
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved), std::vector<std::string>{folder.string()});
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassMagazineRemoved), 1);
  EXPECT_FALSE(controller_->MagazinePresent());
}

// A media removal that is none keeps the magazine mounted.
TEST_F(VolumeWorkerTest, RemovalThatIsNoneIsIgnored) {
  struct Case {
    const char* name;
    bool during_exchange;
  };
  for (const Case& c : {Case{"magazine still in place", false}, Case{"disc exchange in progress", true}}) {
    SCOPED_TRACE(c.name);
    MountWorker();
    // The unit in its working mode, as the disc I/O engine leaves it.
    ASSERT_EQ(controller_->EnsureDiscLoaded(), 1);
    std::thread exchange;
    if (c.during_exchange) {
      // The load of a disc is slowed so that the exchange is in progress.
      sim_->DelayNext(0xA6, 20000);
      exchange = std::thread([&] { controller_->LoadDisc(0); });
      ASSERT_TRUE(Eventually([&] { return controller_->ExchangeCount() != 0; }, 10000));
    }
    const size_t removed = notices_.Media(unit::kNotifyMediaRemoved).size();
    worker_->Dismount();
    EXPECT_TRUE(worker_->HasVolume());
    EXPECT_TRUE(IsMountPoint(worker_->MountPoint()));
    EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved).size(), removed);
    if (exchange.joinable()) exchange.join();
    worker_.reset();
    TearDown();
    SetUp();
  }
}

TEST_F(VolumeWorkerTest, UnitRemovedDuringAMountUnmountsOnceAfterIt) {
  StartUnit();
  worker_ = NewWorker();
  ASSERT_NE(worker_, nullptr);
  // The magazine's hold is slowed: the mount is still in progress when the unit goes.
  sim_->DelayNext(0xFB, 20000);
  std::thread mount([&] { worker_->Mount(nullptr); });
  ASSERT_TRUE(Eventually([&] { return worker_->mounting(); }, 10000));
  worker_->DeviceRemoved();
  mount.join();
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassUnitRemoved), 1);
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved).size(), notices_.Media(unit::kNotifyMediaInserted).size());
  EXPECT_EQ(notices_.Texts("The unit has been removed without ejecting the magazine."), 1);
}

TEST_F(VolumeWorkerTest, TwoUnmountPathsAtOnceUnmountOnce) {
  MountWorker();
  sim_->PullMagazine();
  std::thread removal([&] { worker_->Dismount(); });
  std::thread unplug([&] { worker_->DeviceRemoved(); });
  removal.join();
  unplug.join();
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved).size(), 1u);
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassUnitRemoved) + events_.Count(CVolumeWorker::kClassMagazineRemoved), 1);
}

// A magazine that cannot be opened tells the user, unless the user already pulled it.
TEST_F(VolumeWorkerTest, FailedOpenIsReportedUnlessTheMagazineLeft) {
  struct Case {
    bool removal_queued;
    int notices;
  };
  for (const Case& c : {Case{true, 0}, Case{false, 1}}) {
    SCOPED_TRACE(c.removal_queued ? "removal queued" : "no removal queued");
    StartUnit();
    worker_ = NewWorker();
    ASSERT_NE(worker_, nullptr);
    sim_->PullMagazine();
    controller_->ResetMagazineState();
    const int reported_before = notices_.Texts("Read operation failed.");
    worker_->Mount([&] { return c.removal_queued; });
    EXPECT_FALSE(worker_->HasVolume());
    EXPECT_FALSE(IsMountPoint(worker_->MountPoint()));
    EXPECT_EQ(notices_.Texts("Read operation failed."), c.notices + reported_before);
    worker_.reset();
    TearDown();
    SetUp();
  }
}

TEST_F(VolumeWorkerTest, DriveRemovedFromOutsideEjectsAndComesBackWithItsLetter) {
  MountWorker();
  const char letter = worker_->DriveLetter();
  const fs::path folder = worker_->MountPoint();
  ASSERT_EQ(::umount2(folder.c_str(), MNT_DETACH), 0);
  ASSERT_TRUE(Eventually([&] { return worker_->recreating(); }, 10000) || events_.Count(2) > 0);
  ASSERT_TRUE(Eventually([&] { return !worker_->recreating() && worker_->has_storage(); }, 30000));
  ASSERT_TRUE(Eventually([&] { return events_.Count(CVolumeWorker::kClassLetterKnown) == 2; }, 20000));
  EXPECT_EQ(worker_->DriveLetter(), letter);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_FALSE(sim_->HasMagazine());  // ejected
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassStorageDeleted), 1);
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved), std::vector<std::string>{folder.string()});
}

// A volume that met a fatal condition takes itself off the unit; the unit
// mounts nothing more until it is attached again.
TEST_F(VolumeWorkerTest, FatalErrorDetachesTheVolume) {
  MountWorker();
  const fs::path folder = worker_->MountPoint();
  worker_->volume()->set_event_log([](uint32_t) {});
  worker_->volume()->FatalError(0xC0000064);
  ASSERT_TRUE(Eventually([&] { return !notices_.Media(unit::kNotifyMediaRemoved).empty(); }, 20000));
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_FALSE(IsMountPoint(folder));
  EXPECT_TRUE(worker_->detached());
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved), std::vector<std::string>{folder.string()});
  worker_->Mount(nullptr);
  EXPECT_FALSE(worker_->HasVolume());
  EXPECT_TRUE(fs::is_directory(folder));  // the empty drive stays
}

TEST_F(VolumeWorkerTest, TeardownKeepsTheLetterForTheUnitsNextAttach) {
  fs::create_directories(media_ / "C");  // another drive holds C: at the first attach
  MountWorker();
  const char letter = worker_->DriveLetter();
  EXPECT_EQ(letter, 'D');
  const fs::path folder = worker_->MountPoint();
  worker_.reset();  // the unit goes (service stop)
  EXPECT_FALSE(IsMountPoint(folder));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(events_.Count(CVolumeWorker::kClassStorageDeleted), 1);
  EXPECT_EQ(notices_.Media(unit::kNotifyMediaRemoved), std::vector<std::string>{folder.string()});
  // C: is free now; the unit still gets the letter it had.
  fs::remove(media_ / "C");
  worker_ = NewWorker();
  ASSERT_NE(worker_, nullptr);
  EXPECT_EQ(worker_->DriveLetter(), letter);
}

}  // namespace
}  // namespace kelva::volume
