// Runs the real programs the way scripts/run.sh does.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/child_process.h"

namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-process-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    program_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Starts program with the roots in the test's folder; its log is collected.
  void Spawn(std::vector<std::string> argv, std::vector<std::string> extra_env = {}) {
    std::vector<std::string> env = {"KELVA_DATA_ROOT=" + (dir_ / "data").string(),
                                    "KELVA_RUN_DIR=" + (dir_ / "run").string(),
                                    "KELVA_REGISTRY_ROOT=" + (dir_ / "registry").string(),
                                    "KELVA_MOUNT_ROOT=" + (dir_ / "media").string(), "PATH=/usr/bin:/bin"};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    program_ = std::make_unique<kelva::test::ChildProcess>();
    ASSERT_TRUE(program_->Start(argv, env));
    pid_ = program_->pid();
  }
  // Waits until the program's log contains text (or 10 s pass).
  bool WaitForLog(const std::string& text) {
    const bool found = program_->WaitFor(text, 0, 10) != std::string::npos;
    log_ = program_->Output();
    return found;
  }
  int WaitExit() {
    const int code = program_->WaitExit();
    log_ = program_->Output();
    return code;
  }

  std::filesystem::path dir_;
  std::unique_ptr<kelva::test::ChildProcess> program_;
  pid_t pid_ = -1;
  std::string log_;
};

TEST_F(ProcessTest, ConsoleModeStartsTheFilterAndStopsCleanlyOnCtrlC) {
  Spawn({KELVA_PROGRAM, "/noservice"}, {std::string("KELVA_FILTER_PROGRAM=") + KELVAFLT_PROGRAM});
  ASSERT_TRUE(WaitForLog("kelva: running")) << log_;
  EXPECT_NE(log_.find("kelvaflt: running"), std::string::npos);
  EXPECT_TRUE(WaitForLog("kelvaflt: process " + std::to_string(pid_) + " connected")) << log_;
  kill(pid_, SIGINT);
  kill(pid_, SIGINT);  // the second Ctrl+C is ignored
  EXPECT_EQ(WaitExit(), 0) << log_;
  EXPECT_NE(log_.find("kelvaflt: stopped"), std::string::npos) << log_;
  EXPECT_NE(log_.find("kelva: stopped, exit code 0"), std::string::npos) << log_;
  // Nothing is left in the run folder: no sockets, no pid file, no busy event;
  // only the users' sticky part stays (empty).
  std::vector<std::string> left;
  for (auto& e : std::filesystem::directory_iterator(dir_ / "run"))
    if (e.path().filename() != "user" || !std::filesystem::is_empty(e.path())) left.push_back(e.path().filename());
  EXPECT_TRUE(left.empty()) << left.size() << " left, first " << (left.empty() ? "" : left[0]);
}

TEST_F(ProcessTest, AMissingFilterGivesItsExitCode) {
  Spawn({KELVA_PROGRAM, "/noservice"}, {"KELVA_FILTER_PROGRAM=" + (dir_ / "no-such-filter").string()});
  EXPECT_EQ(WaitExit(), 1068 & 0xFF) << log_;  // the process status keeps the low byte of 1068
  EXPECT_NE(log_.find("stopped, exit code 1068"), std::string::npos) << log_;
}

TEST_F(ProcessTest, FilterDaemonStopsOnSigterm) {
  Spawn({KELVAFLT_PROGRAM});
  ASSERT_TRUE(WaitForLog("kelvaflt: running")) << log_;
  EXPECT_TRUE(std::filesystem::exists(dir_ / "run" / "KELVAFilterPort"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "run" / "kelvaflt.pid"));
  kill(pid_, SIGTERM);
  EXPECT_EQ(WaitExit(), 0) << log_;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run" / "KELVAFilterPort"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run" / "kelvaflt.pid"));
}

TEST_F(ProcessTest, HelpAndUnknownArguments) {
  Spawn({KELVA_PROGRAM, "/whatever"});
  EXPECT_EQ(WaitExit(), 0);
  Spawn({KELVAFLT_PROGRAM, "--bogus"});
  EXPECT_EQ(WaitExit(), 2);
  Spawn({KELVAFLT_PROGRAM, "--help"});
  EXPECT_EQ(WaitExit(), 0);
}

}  // namespace
