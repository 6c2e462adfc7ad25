// Runs the KelvaMsg program itself, without a desktop.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "notifier/notify_message.h"
#include "platform/mailslot.h"
#include "platform/paths.h"
#include "tests/child_process.h"
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
    program_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Starts KelvaMsg without a session bus; its stdout is collected.
  void Spawn(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {KELVAMSG_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env = {"KELVA_RUN_DIR=" + dir_.string(), "KELVA_MOUNT_ROOT=/media/kelva",
                                          "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-bus").string(),
                                          "PATH=/usr/bin:/bin"};
    program_ = std::make_unique<test::ChildProcess>();
    ASSERT_TRUE(program_->Start(argv, env, /*stdout_only=*/true));
  }
  bool WaitForOutput(const std::string& text) { return program_->WaitFor(text, 0, 10) != std::string::npos; }
  int WaitExit() { return program_->WaitExit(10); }
  void Send(const std::vector<uint8_t>& m) {
    std::unique_ptr<platform::MailslotClient> c;
    ASSERT_TRUE(Eventually([&] { return platform::MailslotClient::Open(kNotifierMailslot, &c, platform::UserRunDir(dir_)) == 0; }));
    ASSERT_EQ(c->Write(m.data(), static_cast<uint32_t>(m.size())), 0u);
  }

  std::filesystem::path dir_;
  std::unique_ptr<test::ChildProcess> program_;
};

TEST_F(KelvaMsgProcessTest, PrintsMessagesAsLinesAndQuitsOnTheQuitMessage) {
  Spawn();
  Send(Message(0, 2, u"Kelva", u"[E2000]\nThe magazine is full."));
  Send(Message(1, 0x10, u"Kelva", u"no wait without a desktop"));
  Send(Message(0x11, 0, u"G:\\"));
  ASSERT_TRUE(WaitForOutput("media removed: /media/kelva/G\n"));
  EXPECT_EQ(program_->Output(),
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
    program_->Signal(sig);
    EXPECT_EQ(WaitExit(), 0) << sig;
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
