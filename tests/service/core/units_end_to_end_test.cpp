// The programs together, as a user runs them: simulated units, the notifier,
// the access filter and the service in console mode. Units are plugged in and
// out and a magazine is pulled while the service runs; at each step the
// service's unit list, the filter's registrations and the notifier's messages
// must follow.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"

namespace fs = std::filesystem;
using kelva::test::ChildProcess;

namespace {

class UnitsEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    for (const char* sub : {"data", "run", "registry", "media"}) fs::create_directories(dir_ / sub);
    // No session or system bus: the notifier prints its messages as lines.
    env_ = {"KELVA_DATA_ROOT=" + (dir_ / "data").string(), "KELVA_RUN_DIR=" + (dir_ / "run").string(),
            "KELVA_REGISTRY_ROOT=" + (dir_ / "registry").string(),
            "KELVA_MOUNT_ROOT=" + (dir_ / "media").string(), "KELVA_FILTER_PROGRAM=" KELVAFLT_PROGRAM,
            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string(), "PATH=/usr/bin:/bin",
            "LANG=C"};
  }
  void TearDown() override {
    // Children first (their destructors kill what is still running), then the folder.
    for (auto& p : programs_) p.reset();
    // A service that was killed leaves its drive folders mounted.
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir_ / "media", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      ::umount2(it->path().c_str(), MNT_DETACH);
    fs::remove_all(dir_, ec);
  }

  ChildProcess& Start(std::vector<std::string> argv) {
    programs_.push_back(std::make_unique<ChildProcess>());
    EXPECT_TRUE(programs_.back()->Start(argv, env_)) << argv[0];
    return *programs_.back();
  }
  // Runs a kelva-unitsim command to its end; its exit status.
  int Unitsim(std::vector<std::string> args) {
    args.insert(args.begin(), KELVA_UNITSIM_PROGRAM);
    ChildProcess p;
    if (!p.Start(args, env_)) return -1;
    return p.WaitExit();
  }
  void CreateMagazine(const std::string& name, const std::string& label) {
    ASSERT_EQ(Unitsim({"create", "--magazine", (dir_ / name).string(), "--type", "rewritable", "--capacity",
                       "300", "--disc-size", disc_size_, "--label", label}),
              0);
  }
  size_t VolumeFiles() {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(dir_ / "run" / "volumes", ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
      ++n;
    return n;
  }
  // The "Volume{GUID}" a line of the service's log names after marker.
  static std::string VolumeAfter(const std::string& log, const std::string& marker) {
    const size_t at = log.find(marker);
    if (at == std::string::npos) return "";
    const size_t v = log.find("Volume{", at);
    return v == std::string::npos ? "" : log.substr(v, 44);
  }

  // The output of a kelva-unitsim command run to its end.
  std::string UnitsimOutput(std::vector<std::string> args) {
    args.insert(args.begin(), KELVA_UNITSIM_PROGRAM);
    ChildProcess p;
    if (!p.Start(args, env_)) return "";
    p.WaitExit();
    return p.Output();
  }
  static size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  // Starts a unit with the magazine, the notifier, the filter and the service,
  // and waits until the magazine is identified.
  void StartAll(std::vector<std::string> unit_args = {}) {
    CreateMagazine("alpha", "ALPHA");
    std::vector<std::string> argv = {KELVA_UNITSIM_PROGRAM, "run", "--magazine", (dir_ / "alpha").string(),
                                     "--name", "unit0"};
    argv.insert(argv.end(), unit_args.begin(), unit_args.end());
    unit_ = &Start(argv);
    ASSERT_NE(unit_->WaitFor("as device number 1000"), std::string::npos) << unit_->Output();
    notifier_ = &Start({KELVAMSG_PROGRAM});
    ASSERT_NE(notifier_->WaitFor("receiving messages"), std::string::npos) << notifier_->Output();
    filter_ = &Start({KELVAFLT_PROGRAM});
    ASSERT_NE(filter_->WaitFor("kelvaflt: running"), std::string::npos) << filter_->Output();
    service_ = &Start({KELVA_PROGRAM, "/noservice"});
    ASSERT_NE(service_->WaitFor("(ALPHA      ) identified"), std::string::npos) << service_->Output();
  }

  fs::path dir_;
  std::string disc_size_ = "134217728";  // sparse discs with 64 MiB above the reserve, for the new volume
  std::vector<std::string> env_;
  ChildProcess* unit_ = nullptr;
  ChildProcess* notifier_ = nullptr;
  ChildProcess* filter_ = nullptr;
  ChildProcess* service_ = nullptr;
  std::vector<std::unique_ptr<ChildProcess>> programs_;

  static constexpr size_t npos = std::string::npos;
  fs::path Mount() { return dir_ / "media" / "C"; }

  // Thirty files in three folders, written and closed through the mount.
  std::map<std::string, std::string> WriteThroughTheMount() {
    std::map<std::string, std::string> written;
    for (int i = 0; i < 30; ++i) {
      const std::string name = "dir" + std::to_string(i % 3) + "/file" + std::to_string(i) + ".txt";
      std::string content(static_cast<size_t>(1000 + i * 3000), static_cast<char>('a' + i % 26));
      fs::create_directories((Mount() / name).parent_path());
      std::ofstream out(Mount() / name, std::ios::binary);
      out << content;
      out.close();
      EXPECT_TRUE(out) << name << " could not be written";
      written[name] = content;
    }
    return written;
  }

  // Starts the service again and reads every file back through the mount.
  void ExpectAfterARestart(const std::map<std::string, std::string>& written) {
    ChildProcess& again = Start({KELVA_PROGRAM, "/noservice"});
    ASSERT_NE(again.WaitFor("magazine mounted at "), npos) << again.Output();
    for (const auto& [name, content] : written) {
      std::ifstream in(Mount() / name, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content) << name;
    }
    again.Signal(SIGTERM);
    EXPECT_EQ(again.WaitExit(), 0) << again.Output();
  }
};

TEST_F(UnitsEndToEndTest, UnitsComeAndGoWhileTheServiceRuns) {
  constexpr size_t npos = std::string::npos;
  CreateMagazine("alpha", "ALPHA");
  CreateMagazine("bravo", "BRAVO");

  ChildProcess& unit0 = Start({KELVA_UNITSIM_PROGRAM, "run", "--magazine", (dir_ / "alpha").string(), "--name",
                               "unit0"});
  ASSERT_NE(unit0.WaitFor("as device number 1000"), npos) << unit0.Output();
  ChildProcess& notifier = Start({KELVAMSG_PROGRAM});
  ASSERT_NE(notifier.WaitFor("receiving messages"), npos) << notifier.Output();
  ChildProcess& filter = Start({KELVAFLT_PROGRAM});
  ASSERT_NE(filter.WaitFor("kelvaflt: running"), npos) << filter.Output();
  ChildProcess& service = Start({KELVA_PROGRAM, "/noservice"});

  // Start: the unit present is found, guarded and its magazine identified.
  ASSERT_NE(service.WaitFor("unit scan: 1 optical device(s), 1 unit(s) attached"), npos) << service.Output();
  ASSERT_NE(service.WaitFor("(ALPHA      ) identified"), npos) << service.Output();
  EXPECT_TRUE(service.Contains("units: cdrom1000\n"));
  const std::string volume0 = VolumeAfter(service.Output(), "attached as cdrom1000");
  ASSERT_EQ(volume0.size(), 44u) << service.Output();
  EXPECT_NE(filter.WaitFor("register " + volume0), npos) << filter.Output();
  EXPECT_EQ(VolumeFiles(), 1u);

  // A second unit is plugged in: listed after the first, guarded, identified.
  ChildProcess& unit1 = Start({KELVA_UNITSIM_PROGRAM, "run", "--magazine", (dir_ / "bravo").string(), "--name",
                               "unit1"});
  ASSERT_NE(unit1.WaitFor("as device number 1001"), npos) << unit1.Output();
  ASSERT_NE(service.WaitFor("units: cdrom1000 cdrom1001\n"), npos) << service.Output();
  ASSERT_NE(service.WaitFor("(BRAVO      ) identified"), npos) << service.Output();
  const std::string volume1 = VolumeAfter(service.Output(), "attached as cdrom1001");
  ASSERT_EQ(volume1.size(), 44u);
  EXPECT_NE(volume1, volume0);
  EXPECT_NE(filter.WaitFor("register " + volume1), npos) << filter.Output();
  EXPECT_EQ(VolumeFiles(), 2u);
  EXPECT_EQ(notifier.Output().find("dialog"), npos) << notifier.Output();

  // The second unit's magazine is pulled out: the unit stays listed and
  // guarded, its magazine is forgotten, and nobody is alarmed.
  const size_t before_pull = service.Size();
  ASSERT_EQ(Unitsim({"fault", "--name", "unit1", "pull"}), 0);
  ASSERT_NE(service.WaitFor("magazine removed", before_pull), npos) << service.Output();
  EXPECT_FALSE(service.Contains("device removed", before_pull));
  EXPECT_FALSE(filter.Contains("remove " + volume1));
  EXPECT_EQ(notifier.Output().find("dialog"), npos) << notifier.Output();

  // The first unit is unplugged with its magazine inside: it leaves the
  // list, the filter lets its volume go and the user is told.
  ASSERT_EQ(Unitsim({"unplug", "--name", "unit0"}), 0);
  EXPECT_EQ(unit0.WaitExit(), 0);
  ASSERT_NE(service.WaitFor("units: cdrom1001\n"), npos) << service.Output();
  EXPECT_NE(filter.WaitFor("remove " + volume0), npos) << filter.Output();
  EXPECT_NE(notifier.WaitFor("[E1030] The unit has been removed without ejecting the magazine."), npos)
      << notifier.Output();
  EXPECT_EQ(VolumeFiles(), 1u);

  // Ctrl+C: the service lets the remaining unit go and stops cleanly.
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(), 0) << service.Output();
  EXPECT_NE(filter.WaitFor("remove " + volume1), npos) << filter.Output();
  unit1.Signal(SIGINT);
  EXPECT_EQ(unit1.WaitExit(), 0);
  notifier.Signal(SIGTERM);
  EXPECT_EQ(notifier.WaitExit(), 0) << notifier.Output();
  // Exactly one message reached the notifier in the whole run.
  const std::string shown = notifier.Output();
  EXPECT_EQ(shown.find("dialog"), shown.rfind("dialog")) << shown;
}

// A disc that drops out of the drive is no media removal: the user is asked
// to put the unit back, and once the box is closed the disc is loaded again.
// The release button then lets the magazine go, with one release run.
TEST_F(UnitsEndToEndTest, ADroppedDiscIsPutBackAndTheReleaseButtonEjects) {
  constexpr size_t npos = std::string::npos;
  StartAll();
  ChildProcess& service = *service_;

  size_t from = service.Size();
  ASSERT_EQ(Unitsim({"fault", "--name", "unit0", "disc-away"}), 0);
  ASSERT_NE(service.WaitFor("disc 0 back in the drive", from), npos) << service.Output();
  EXPECT_NE(notifier_->WaitFor("dialog error: MERIDANSTORIX Driver Software: [E3060]"), npos) << notifier_->Output();
  EXPECT_FALSE(service.Contains("magazine removed", from));
  EXPECT_FALSE(service.Contains("E3070", from));
  EXPECT_NE(UnitsimOutput({"status", "--name", "unit0"}).find("magazine: " + (dir_ / "alpha").string()), npos);

  from = service.Size();
  EXPECT_NE(UnitsimOutput({"eject", "--name", "unit0"}).find("release requested"), npos);
  ASSERT_NE(service.WaitFor("magazine released at the unit's request", from), npos) << service.Output();
  ASSERT_NE(service.WaitFor("magazine removed", from), npos) << service.Output();
  EXPECT_NE(UnitsimOutput({"status", "--name", "unit0"}).find("magazine: none"), npos);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // two more monitor ticks
  EXPECT_EQ(Occurrences(service.Output().substr(from), "release requested at the unit"), 1u) << service.Output();

  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(), 0) << service.Output();
}

// The unit is unplugged while the alert waits for the disc it loaded again:
// the wait ends at once, and the unit's removal does not wait for minutes.
TEST_F(UnitsEndToEndTest, UnpluggingWhileADroppedDiscIsPutBackEndsTheWait) {
  constexpr size_t npos = std::string::npos;
  // A disc takes 6 s to become ready after a load: long enough to unplug meanwhile.
  StartAll({"--load-ms", "6000"});
  ChildProcess& service = *service_;
  const size_t from = service.Size();
  ASSERT_EQ(Unitsim({"fault", "--name", "unit0", "disc-away"}), 0);
  ASSERT_NE(service.WaitFor("disc 0 loaded again, waiting until it is ready", from), npos) << service.Output();
  ASSERT_EQ(Unitsim({"unplug", "--name", "unit0"}), 0);
  ASSERT_NE(service.WaitFor("units: none", from, 15), npos) << service.Output();
  // Whichever comes first ends the wait: the unit gone, or the removal's stop request.
  EXPECT_TRUE(service.Contains("the unit went away while disc 0 was put back", from) ||
              service.Contains("stopped while disc 0 was put back", from))
      << service.Output();
  EXPECT_FALSE(service.Contains("E3070", from));
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(), 0) << service.Output();
}

// The magazine is mounted at the unit's drive folder; files written there
// are all back, with their content, after the service was stopped with
// SIGTERM while the writer still had work and started again.
TEST_F(UnitsEndToEndTest, FilesWrittenThroughTheMountSurviveARestart) {
  disc_size_ = "1073741824";  // room to record on
  StartAll();
  ASSERT_NE(service_->WaitFor("magazine mounted at "), npos) << service_->Output();
  const std::map<std::string, std::string> written = WriteThroughTheMount();
  // Stopped at once: the writer has not recorded everything yet.
  service_->Signal(SIGTERM);
  EXPECT_EQ(service_->WaitExit(), 0) << service_->Output();
  EXPECT_FALSE(fs::exists(Mount() / "dir0"));
  ExpectAfterARestart(written);
}

// The same with the service killed: every file that was closed is there.
TEST_F(UnitsEndToEndTest, FilesClosedThroughTheMountSurviveAKill) {
  disc_size_ = "1073741824";
  StartAll();
  ASSERT_NE(service_->WaitFor("magazine mounted at "), npos) << service_->Output();
  const std::map<std::string, std::string> written = WriteThroughTheMount();
  service_->Signal(SIGKILL);
  service_->WaitExit();
  ExpectAfterARestart(written);
}

}  // namespace
