#include "platform/filter_port.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace kelva::platform {
namespace {

// Collects what the server's callbacks saw.
struct Seen {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<PortPeer> connected, disconnected;
  std::vector<std::pair<PortPeer, size_t>> messages;
  bool refuse = false;

  template <typename Pred>
  bool WaitFor(Pred pred) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(5), pred);
  }
  FilterPortServer::Callbacks Callbacks() {
    FilterPortServer::Callbacks cb;
    cb.connect = [this](const PortPeer& p) {
      std::lock_guard<std::mutex> g(mu);
      connected.push_back(p);
      cv.notify_all();
      return !refuse;
    };
    cb.disconnect = [this](const PortPeer& p) {
      std::lock_guard<std::mutex> g(mu);
      disconnected.push_back(p);
      cv.notify_all();
    };
    cb.message = [this](const PortPeer& p, const uint8_t*, size_t size) {
      std::lock_guard<std::mutex> g(mu);
      messages.push_back({p, size});
      cv.notify_all();
    };
    return cb;
  }
};

class FilterPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-port-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(FilterPortTest, PeersAreIdentifiedAndPacketSizesKept) {
  Seen seen;
  std::unique_ptr<FilterPortServer> server;
  ASSERT_EQ(FilterPortServer::Create("\\KELVAFilterPort", 0600, seen.Callbacks(), &server, dir_), 0u);
  struct stat st{};
  ASSERT_EQ(stat((dir_ / "KELVAFilterPort").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  SocketFilterPortConnector connector(dir_);
  std::unique_ptr<FilterPortClient> client;
  ASSERT_EQ(connector.Connect("\\KELVAFilterPort", &client), S_OK);
  ASSERT_TRUE(seen.WaitFor([&] { return seen.connected.size() == 1; }));
  EXPECT_EQ(seen.connected[0].pid, getpid());

  std::vector<uint8_t> data(6000, 0);
  for (uint32_t size : {99u, 100u, 101u, 6000u}) ASSERT_EQ(client->SendMessage(data.data(), size), S_OK);
  ASSERT_TRUE(seen.WaitFor([&] { return seen.messages.size() == 4; }));
  EXPECT_EQ(seen.messages[0].second, 99u);
  EXPECT_EQ(seen.messages[1].second, 100u);
  EXPECT_EQ(seen.messages[2].second, 101u);
  EXPECT_EQ(seen.messages[3].second, 6000u);  // larger than the server reads, still its real size
  EXPECT_EQ(seen.messages[0].first.connection, seen.connected[0].connection);

  client.reset();
  ASSERT_TRUE(seen.WaitFor([&] { return seen.disconnected.size() == 1; }));
  EXPECT_EQ(seen.disconnected[0].connection, seen.connected[0].connection);
}

TEST_F(FilterPortTest, RefusedConnectionsAndMissingPorts) {
  SocketFilterPortConnector connector(dir_);
  std::unique_ptr<FilterPortClient> client;
  EXPECT_EQ(connector.Connect("\\KELVAFilterPort", &client), HResultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(static_cast<uint32_t>(HResultFromWin32(ERROR_FILE_NOT_FOUND)), 0x80070002u);

  Seen seen;
  seen.refuse = true;
  std::unique_ptr<FilterPortServer> server, second;
  ASSERT_EQ(FilterPortServer::Create("\\KELVAFilterPort", 0600, seen.Callbacks(), &server, dir_), 0u);
  EXPECT_EQ(FilterPortServer::Create("\\KELVAFilterPort", 0600, seen.Callbacks(), &second, dir_), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(connector.Connect("\\KELVAFilterPort", &client), S_OK);
  // The second Create's probe was a connection too.
  ASSERT_TRUE(seen.WaitFor([&] { return seen.connected.size() == 2; }));
  // The refused connection is closed: sends fail once the server has closed it.
  HResult hr = S_OK;
  for (int i = 0; i < 500 && hr == S_OK; ++i) {
    hr = client->SendMessage("x", 1);
    usleep(2000);
  }
  EXPECT_LT(hr, 0);
  std::lock_guard<std::mutex> g(seen.mu);
  EXPECT_TRUE(seen.messages.empty());
  EXPECT_TRUE(seen.disconnected.empty());  // never connected, so never disconnected
}

// A socket that another user bound at the port's name (live or left behind)
// cannot keep the filter from starting; the port is ours afterwards.
TEST_F(FilterPortTest, ASocketSquattedByAnotherUserDoesNotBlockTheStart) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a socket to another user";
  for (const bool live : {true, false}) {
    SCOPED_TRACE(live ? "live" : "left behind");
    const std::filesystem::path path = FilterPortPath("\\KELVAFilterPort", dir_);
    const int squatter = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(squatter, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(squatter, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(squatter, 4), 0);
    ASSERT_EQ(lchown(path.c_str(), 65534, 65534), 0);
    if (!live) close(squatter);

    Seen seen;
    std::unique_ptr<FilterPortServer> server;
    ASSERT_EQ(FilterPortServer::Create("\\KELVAFilterPort", 0600, seen.Callbacks(), &server, dir_), 0u);
    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    SocketFilterPortConnector connector(dir_);
    std::unique_ptr<FilterPortClient> client;
    ASSERT_EQ(connector.Connect("\\KELVAFilterPort", &client), S_OK);
    ASSERT_TRUE(seen.WaitFor([&] { return seen.connected.size() == 1; }));
    client.reset();
    server.reset();
    if (live) close(squatter);
  }
}

}  // namespace
}  // namespace kelva::platform
