#include "platform/mailslot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/file.h"

namespace kelva::platform {
namespace {

class MailslotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-mailslot-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  TestClock clock_;
};

TEST_F(MailslotTest, MessagesKeepTheirBoundariesAndOrder) {
  std::unique_ptr<MailslotServer> server;
  ASSERT_EQ(MailslotServer::Create("\\\\.\\mailslot\\{41458D9E-BFBB-46cb-93BB-163FB3DEE4BF}", true, clock_, &server, dir_), 0u);
  EXPECT_EQ(server->path(), dir_ / "{41458D9E-BFBB-46cb-93BB-163FB3DEE4BF}");
  std::unique_ptr<MailslotClient> client;
  ASSERT_EQ(MailslotClient::Open("\\\\.\\MAILSLOT\\{41458D9E-BFBB-46cb-93BB-163FB3DEE4BF}", &client, dir_), 0u);
  ASSERT_EQ(client->Write("abc", 3), 0u);
  ASSERT_EQ(client->Write("", 0), 0u);
  const std::string big(100000, 'x');  // larger than the default socket buffer share
  ASSERT_EQ(client->Write(big.data(), static_cast<uint32_t>(big.size())), 0u);

  uint32_t size = 0;
  ASSERT_EQ(server->NextMessageSize(&size), 0u);
  EXPECT_EQ(size, 3u);
  char buf[4];
  uint32_t done = 0;
  ASSERT_EQ(server->Read(buf, sizeof buf, &done, 0), 0u);
  EXPECT_EQ(std::string(buf, done), "abc");
  ASSERT_EQ(server->NextMessageSize(&size), 0u);
  EXPECT_EQ(size, 0u);  // an empty message is a message
  ASSERT_EQ(server->Read(buf, sizeof buf, &done, 0), 0u);
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(server->NextMessageSize(&size), 0u);
  EXPECT_EQ(size, big.size());
  // Too small a buffer refuses the read and keeps the message.
  EXPECT_EQ(server->Read(buf, sizeof buf, &done, 0), ERROR_INSUFFICIENT_BUFFER);
  std::string back(big.size(), '\0');
  ASSERT_EQ(server->Read(back.data(), static_cast<uint32_t>(back.size()), &done, 0), 0u);
  EXPECT_EQ(back, big);
  ASSERT_EQ(server->NextMessageSize(&size), 0u);
  EXPECT_EQ(size, kMailslotNoMessage);
}

// A reader that reads nothing (its user looks at a dialog) must not hold up
// its writers: once its queue is full, writes fail at once and drop the
// message; what was queued before stays readable, and so do later messages.
TEST_F(MailslotTest, AFullMailslotDropsMessagesInsteadOfBlockingTheWriter) {
  std::unique_ptr<MailslotServer> server;
  ASSERT_EQ(MailslotServer::Create("full", true, clock_, &server, dir_), 0u);
  std::unique_ptr<MailslotClient> client;
  ASSERT_EQ(MailslotClient::Open("full", &client, dir_), 0u);
  const std::string message(648, 'm');
  int written = 0, dropped = 0;
  for (int i = 0; i < 5000 && dropped < 3; ++i) {
    const Win32Error e = client->Write(message.data(), static_cast<uint32_t>(message.size()));
    if (e == ERROR_SUCCESS) ++written;
    else if (e == kMailslotFull) ++dropped;
    else FAIL() << "write " << i << ": " << e;
  }
  EXPECT_EQ(dropped, 3);
  EXPECT_GT(written, 0);
  char buf[648];
  uint32_t done = 0;
  for (int i = 0; i < written; ++i) {
    ASSERT_EQ(server->Read(buf, sizeof buf, &done, 0), 0u) << i;
    EXPECT_EQ(done, 648u);
  }
  EXPECT_EQ(server->Read(buf, sizeof buf, &done, 0), kMailslotReadTimeout);
  EXPECT_EQ(client->Write(message.data(), 648), ERROR_SUCCESS);
}

TEST_F(MailslotTest, TimedReadFollowsTheClockAndInterruptEndsAWait) {
  std::unique_ptr<MailslotServer> server;
  ASSERT_EQ(MailslotServer::Create("slot", false, clock_, &server, dir_), 0u);
  std::atomic<Win32Error> result{ERROR_IO_PENDING};
  std::thread reader([&] {
    char b[8];
    uint32_t done;
    result = server->Read(b, sizeof b, &done, 5000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(result.load(), ERROR_IO_PENDING);  // no real time limit applies
  clock_.Advance(5000);
  reader.join();
  EXPECT_EQ(result.load(), kMailslotReadTimeout);

  std::thread forever([&] {
    char b[8];
    uint32_t done;
    result = server->Read(b, sizeof b, &done, kInfinite);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server->Interrupt();
  forever.join();
  EXPECT_EQ(result.load(), ERROR_OPERATION_ABORTED);
}

TEST_F(MailslotTest, NamesAreOwnedOnceAndStaleSocketsReplaced) {
  std::unique_ptr<MailslotClient> client;
  EXPECT_EQ(MailslotClient::Open("nobody", &client, dir_), ERROR_FILE_NOT_FOUND);

  std::unique_ptr<MailslotServer> a, b;
  ASSERT_EQ(MailslotServer::Create("slot", true, clock_, &a, dir_), 0u);
  struct stat st{};
  ASSERT_EQ(stat((dir_ / "slot").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_EQ(MailslotServer::Create("slot", true, clock_, &b, dir_), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(MailslotClient::Open("slot", &client, dir_), 0u);
  a.reset();  // the server goes: its socket file goes with it, writes fail
  EXPECT_FALSE(FileExists(dir_ / "slot"));
  EXPECT_EQ(client->Write("x", 1), ERROR_FILE_NOT_FOUND);

  // A socket file left by a process that died does not block a new server.
  ASSERT_EQ(WriteWholeFile(dir_ / "stale", ""), 0u);
  EXPECT_EQ(MailslotServer::Create("stale", false, clock_, &b, dir_), 0u);
}

TEST_F(MailslotTest, OverlongPathIsRefused) {
  std::unique_ptr<MailslotServer> server;
  EXPECT_EQ(MailslotServer::Create(std::string(200, 'n'), true, clock_, &server, dir_), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(MailslotTest, ALostServerLeavesTheNameToItsSuccessor) {
  const std::string name = "\\\\.\\mailslot\\{C660BB9C-9404-454C-8E91-F52C8D3AB2EC}";
  std::unique_ptr<MailslotServer> old_server, successor;
  ASSERT_EQ(MailslotServer::Create(name, true, clock_, &old_server, dir_), 0u);
  EXPECT_TRUE(old_server->StillOwnsName());
  std::filesystem::remove(old_server->path());  // lost
  EXPECT_FALSE(old_server->StillOwnsName());
  ASSERT_EQ(MailslotServer::Create(name, true, clock_, &successor, dir_), 0u);
  EXPECT_FALSE(old_server->StillOwnsName());  // the name is the successor's now
  old_server.reset();
  // Closing the lost server must not remove the successor's socket.
  std::unique_ptr<MailslotClient> client;
  ASSERT_EQ(MailslotClient::Open(name, &client, dir_), 0u);
  ASSERT_EQ(client->Write("x", 1), 0u);
  char c;
  uint32_t done = 0;
  EXPECT_EQ(successor->Read(&c, 1, &done, 0), 0u);
  successor.reset();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "{C660BB9C-9404-454C-8E91-F52C8D3AB2EC}"));
}

}  // namespace
}  // namespace kelva::platform
