// A damaged write-once disc met by the shipped programs, as a user meets it:
// files recorded on a magazine's disc with kelva-disctool, the disc's file set
// descriptor and root folder lost while an intact pair lies higher in the
// metadata track. The service, run in console mode against a simulated unit
// holding the magazine, repairs the disc when it mounts it; kelva-disctool then
// finds the volume clean and every file as it was recorded.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/sim_unit.h"
#include "service/unit/unit_drive.h"
#include "tests/child_process.h"
#include "tests/service/udf/udf_damage.h"

namespace fs = std::filesystem;
using kelva::test::ChildProcess;

namespace {

constexpr size_t npos = std::string::npos;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DiscRepairEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-repair-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    for (const char* sub : {"data", "run", "registry", "media", "tree/docs", "out"})
      fs::create_directories(dir_ / sub);
    env_ = {"KELVA_DATA_ROOT=" + (dir_ / "data").string(), "KELVA_RUN_DIR=" + (dir_ / "run").string(),
            "KELVA_REGISTRY_ROOT=" + (dir_ / "registry").string(),
            "KELVA_MOUNT_ROOT=" + (dir_ / "media").string(), "KELVA_FILTER_PROGRAM=" KELVAFLT_PROGRAM,
            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string(), "PATH=/usr/bin:/bin",
            "LANG=C"};
    magazine_ = (dir_ / "mag").string();
  }
  void TearDown() override {
    for (auto& p : programs_) p.reset();
    fs::remove_all(dir_);
  }

  ChildProcess& Start(std::vector<std::string> argv) {
    programs_.push_back(std::make_unique<ChildProcess>());
    EXPECT_TRUE(programs_.back()->Start(argv, env_)) << argv[0];
    return *programs_.back();
  }
  // Runs a program to its end: its exit status, its output in *out.
  int Run(std::vector<std::string> argv, std::string* out = nullptr) {
    ChildProcess p;
    if (!p.Start(argv, env_)) return -1;
    const int code = p.WaitExit();
    if (out) *out = p.Output();
    return code;
  }
  int Disctool(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), KELVA_DISCTOOL_PROGRAM);
    args.insert(args.end(), {"--magazine", magazine_, "--slot", "0"});
    return Run(args, out);
  }

  // The file set descriptor and root folder copied into a unit appended to the
  // metadata track, then zeroed where the metadata file maps them.
  void LoseFsdAndRoot() {
    kelva::emulator::SimUnit unit;
    ASSERT_EQ(unit.InsertMagazine(magazine_), 0u);
    kelva::emulator::SimScsiDevice device(&unit);
    kelva::unit::UnitDrive drive(&device);
    drive.TestUnitReady();
    kelva::udf::testing::UdfDamage d(drive);
    ASSERT_TRUE(d.ok());
    const uint32_t base = d.volume().partitionStart;
    const uint32_t fsd = base + d.MapMeta(0), root = base + d.MapMeta(1);
    ASSERT_NE(d.AppendUnit({d.Read(fsd), d.Read(root)}), kelva::udf::kNoAddress);
    ASSERT_TRUE(d.Zero(fsd));
    ASSERT_TRUE(d.Zero(root));
  }

  fs::path dir_;
  std::string magazine_;
  std::vector<std::string> env_;
  std::vector<std::unique_ptr<ChildProcess>> programs_;
};

TEST_F(DiscRepairEndToEnd, TheServiceRepairsADamagedDiscWhenItMountsIt) {
  // A write-once magazine and files recorded on its first disc.
  ASSERT_EQ(Run({KELVA_UNITSIM_PROGRAM, "create", "--magazine", magazine_, "--type", "recordable",
                 "--capacity", "300", "--disc-size", "1310720000", "--label", "REPAIRME"}),
            0);
  std::string out;
  ASSERT_EQ(Disctool({"format"}, &out), 0) << out;
  std::vector<std::string> names;
  for (int i = 0; i < 30; ++i) {
    names.push_back("docs/file" + std::to_string(i) + ".txt");
    std::ofstream f(dir_ / "tree" / names.back(), std::ios::binary);
    for (int k = 0; k < 500 + 397 * i; ++k) f.put(static_cast<char>('a' + (k * 7 + i) % 26));
  }
  ASSERT_EQ(Disctool({"put", (dir_ / "tree" / "docs").string(), "/docs"}, &out), 0) << out;

  ASSERT_NO_FATAL_FAILURE(LoseFsdAndRoot());
  EXPECT_NE(Disctool({"ls", "/docs"}, &out), 0) << "the damage went unnoticed: " << out;

  // The service meets the disc: it cannot mount it, repairs it and goes on.
  ChildProcess& unit = Start({KELVA_UNITSIM_PROGRAM, "run", "--magazine", magazine_, "--name", "unit0"});
  ASSERT_NE(unit.WaitFor("as device number 1000"), npos) << unit.Output();
  ChildProcess& service = Start({KELVA_PROGRAM, "/noservice"});
  ASSERT_NE(service.WaitFor("(REPAIRME   ) identified", 0, 60), npos) << service.Output();
  EXPECT_NE(service.WaitFor("disc repair: volume metadata repaired"), npos) << service.Output();
  EXPECT_FALSE(service.Contains("not repaired")) << service.Output();
  service.Signal(SIGINT);
  EXPECT_EQ(service.WaitExit(), 0) << service.Output();
  unit.Signal(SIGINT);
  EXPECT_EQ(unit.WaitExit(), 0) << unit.Output();

  // Repair logging was never switched on: the repair log holds nothing.
  EXPECT_FALSE(fs::exists(dir_ / "data" / "Norve" / "KELVA" / "Logs" / "Repair.log"));

  // The disc checks clean and gives back every file as it was recorded.
  EXPECT_EQ(Disctool({"check"}, &out), 0) << out;
  ASSERT_EQ(Disctool({"get", "/docs", (dir_ / "out" / "docs").string()}, &out), 0) << out;
  for (const std::string& name : names)
    EXPECT_EQ(ReadAll(dir_ / "out" / name), ReadAll(dir_ / "tree" / name)) << name;
  // Nothing left to repair.
  EXPECT_EQ(Disctool({"repair"}, &out), 0) << out;
  EXPECT_NE(out.find("repairs: 0, sectors written: 0"), npos) << out;
}

}  // namespace
