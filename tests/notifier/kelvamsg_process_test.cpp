// Runs the KelvaMsg program itself, without a desktop.
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

#include "notifier/notify_message.h"
#include "platform/mailslot.h"
#include "tests/notifier/fakes.h"
#include "tests/notifier/test_messages.h"

namespace kelva::notifier {
namespace {

using namespace kelva::notifier::testing;

class KelvaMsgProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-kelvamsg-XXXXXX";
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

  // Starts KelvaMsg without a session bus; its stdout is collected.
  void Spawn(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {KELVAMSG_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {"KELVA_RUN_DIR=" + dir_.string(), "KELVA_MOUNT_ROOT=/media/kelva",
                                    "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string(),
                                    "PATH=/usr/bin:/bin"};
    int pipefd[2];
    ASSERT_EQ(pipe2(pipefd, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
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
  // Reads stdout until it holds text (or 10 s pass).
  bool WaitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (output_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return output_.find(text) != std::string::npos;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  int WaitExit() {
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  void Send(const std::vector<uint8_t>& m) {
    std::unique_ptr<platform::MailslotClient> c;
    ASSERT_TRUE(Eventually([&] { return platform::MailslotClient::Open(kNotifierMailslot, &c, dir_) == 0; }));
    ASSERT_EQ(c->Write(m.data(), static_cast<uint32_t>(m.size())), 0u);
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

TEST_F(KelvaMsgProcessTest, PrintsMessagesAsLinesAndQuitsOnTheQuitMessage) {
  Spawn();
  Send(Message(0, 2, u"Kelva", u"[E2000]\nThe magazine is full."));
  Send(Message(1, 0x10, u"Kelva", u"no wait without a desktop"));
  Send(Message(0x11, 0, u"G:\\"));
  ASSERT_TRUE(WaitForOutput("media removed: /media/kelva/G\n"));
  EXPECT_EQ(output_,
            "notice warning: Kelva: [E2000] The magazine is full.\n"
            "dialog error: Kelva: no wait without a desktop\n"
            "media removed: /media/kelva/G\n");
  Send(Message(0xFF, 0, u""));
  EXPECT_EQ(WaitExit(), 0);
}

TEST_F(KelvaMsgProcessTest, StopSignalsEndItWithExitCode0) {
  for (int sig : {SIGTERM, SIGINT}) {
    Spawn();
    Send(Message(0, 1, u"t", u"up"));
    ASSERT_TRUE(WaitForOutput("notice info: t: up\n"));
    kill(pid_, sig);
    EXPECT_EQ(WaitExit(), 0) << sig;
    close(out_);
    out_ = -1;
    output_.clear();
  }
}

TEST_F(KelvaMsgProcessTest, Help) {
  Spawn({"--help"});
  ASSERT_TRUE(WaitForOutput("usage: KelvaMsg"));
  EXPECT_EQ(WaitExit(), 0);
  Spawn({"--bogus"});
  EXPECT_EQ(WaitExit(), 2);
}

}  // namespace
}  // namespace kelva::notifier
