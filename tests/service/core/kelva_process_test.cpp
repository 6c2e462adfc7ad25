// Runs the real programs the way scripts/run.sh does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-process-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    std::filesystem::remove_all(dir_);
  }

  // Starts program with the roots in the test's folder; its stderr is collected.
  void Spawn(std::vector<std::string> argv, std::vector<std::string> extra_env = {}) {
    std::vector<std::string> env = {"KELVA_DATA_ROOT=" + (dir_ / "data").string(),
                                    "KELVA_RUN_DIR=" + (dir_ / "run").string(),
                                    "KELVA_REGISTRY_ROOT=" + (dir_ / "registry").string(),
                                    "KELVA_MOUNT_ROOT=" + (dir_ / "media").string(), "PATH=/usr/bin:/bin"};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    int pipefd[2];
    ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    std::vector<char*> a, e;
    for (auto& s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : env) e.push_back(s.data());
    e.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), e.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(pipefd[1]);
    out_ = pipefd[0];
  }
  // Reads the program's log until it contains text (or 10 s pass).
  bool WaitForLog(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (log_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return log_.find(text) != std::string::npos;
        log_.append(buf, n);
      }
    }
    return true;
  }
  int WaitExit() {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      usleep(10000);
    }
    pid_ = -1;
    WaitForLog("\x01");  // drain the rest of the log
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int out_ = -1;
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
  // Nothing is left in the run folder: no sockets, no pid file, no busy event.
  std::vector<std::string> left;
  for (auto& e : std::filesystem::directory_iterator(dir_ / "run")) left.push_back(e.path().filename());
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
