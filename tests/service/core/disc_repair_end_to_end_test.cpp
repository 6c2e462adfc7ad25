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

  // A write-once magazine, files recorded on its first disc, then the damage.
  void RecordAndDamage() {
    ASSERT_EQ(Run({KELVA_UNITSIM_PROGRAM, "create", "--magazine", magazine_, "--type", "recordable",
                   "--capacity", "300", "--disc-size", "1310720000", "--label", "REPAIRME"}),
              0);
    std::string out;
    ASSERT_EQ(Disctool({"format"}, &out), 0) << out;
    for (int i = 0; i < 30; ++i) {
      names_.push_back("docs/file" + std::to_string(i) + ".txt");
      std::ofstream f(dir_ / "tree" / names_.back(), std::ios::binary);
      for (int k = 0; k < 500 + 397 * i; ++k) f.put(static_cast<char>('a' + (k * 7 + i) % 26));
    }
    ASSERT_EQ(Disctool({"put", (dir_ / "tree" / "docs").string(), "/docs"}, &out), 0) << out;
    ASSERT_NO_FATAL_FAILURE(LoseFsdAndRoot());
    EXPECT_NE(Disctool({"ls", "/docs"}, &out), 0) << "the damage went unnoticed: " << out;
  }
  // The disc checks clean, gives back every file as it was recorded and has
  // nothing left to repair.
  void ExpectRescued() {
    std::string out;
    EXPECT_EQ(Disctool({"check"}, &out), 0) << out;
    ASSERT_EQ(Disctool({"get", "/docs", (dir_ / "out" / "docs").string()}, &out), 0) << out;
    for (const std::string& name : names_)
      EXPECT_EQ(ReadAll(dir_ / "out" / name), ReadAll(dir_ / "tree" / name)) << name;
    EXPECT_EQ(Disctool({"repair"}, &out), 0) << out;
    EXPECT_NE(out.find("repairs: 0, sectors written: 0"), npos) << out;
  }
  fs::path RepairLog() const { return dir_ / "data" / "Norve" / "KELVA" / "Logs" / "Repair.log"; }

  std::vector<std::string> names_;
};

TEST_F(DiscRepairEndToEnd, TheServiceRepairsADamagedDiscWhenItMountsIt) {
  ASSERT_NO_FATAL_FAILURE(RecordAndDamage());
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
  EXPECT_FALSE(fs::exists(RepairLog()));
  ExpectRescued();
}

// The same disc rescued with kelva-disctool repair --log: the repair log of
// the data folder receives the repair's messages, each a time-stamped UTF-16
// line, as the service writes them.
TEST_F(DiscRepairEndToEnd, TheToolRescuesTheDiscAndLogsTheRepair) {
  ASSERT_NO_FATAL_FAILURE(RecordAndDamage());
  std::string out;
  ASSERT_EQ(Disctool({"repair", "--log"}, &out), 0) << out;
  const std::string bytes = ReadAll(RepairLog());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
  std::string text;  // the log's ASCII, one entry a line without its time stamp
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    EXPECT_EQ(bytes[i + 1], 0) << "not UTF-16LE ASCII at " << i;
    text.push_back(bytes[i]);
  }
  std::string steps;
  for (size_t at = 0; at < text.size();) {
    const size_t tab = text.find('\t', at), end = text.find("\r\n", at);
    ASSERT_NE(tab, npos);
    ASSERT_NE(end, npos);
    EXPECT_EQ(tab - at, 23u) << "time stamp YYYY/MM/DD hh:mm:ss.mmm";
    const std::string line = text.substr(tab + 1, end - tab - 1);
    steps += line.substr(0, line.find(" 0x")) + "\n";
    at = end + 2;
  }
  EXPECT_EQ(steps,
            "FSD and/or Root Directory Corrupted\n"
            "Search FSD/ROOT in range\n"
            "Found FSD/ROOT at\n");
  ExpectRescued();
}

}  // namespace
