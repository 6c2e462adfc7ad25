// The simulated unit over its Unix socket, as the service reaches kelva-unitsim.
#include "platform/unit_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "service/unit/unit_commands.h"
#include "tests/emulator/sim_fixture.h"

namespace kelva::emulator {
namespace {

using namespace kelva::unit;

class UnitSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::FreshDir("sock");
    setenv("KELVA_RUN_DIR", (dir_ / "run").c_str(), 1);
    ASSERT_EQ(Magazine::Create(dir_ / "mag", testing::SmallSpec(kMagazineRewritable)), 0u);
    SimUnitOptions options;
    options.device_number = 7;
    unit_ = std::make_unique<SimUnit>(options);
    ASSERT_EQ(unit_->InsertMagazine(dir_ / "mag"), 0u);
    local_ = std::make_unique<SimScsiDevice>(unit_.get());
    server_ = std::make_unique<platform::UnitSocketServer>(
        local_.get(), [this](const std::string& line, std::string* reply) { return unit_->Control(line, reply); });
    ASSERT_EQ(server_->Start(platform::UnitSocketPath("u1")), 0u);
    ASSERT_EQ(platform::OpenUnitSocket(platform::UnitSocketPath("u1"), &remote_), 0u);
  }
  void TearDown() override {
    remote_.reset();
    server_.reset();
    unsetenv("KELVA_RUN_DIR");
  }

  std::filesystem::path dir_;
  std::unique_ptr<SimUnit> unit_;
  std::unique_ptr<SimScsiDevice> local_;
  std::unique_ptr<platform::UnitSocketServer> server_;
  std::unique_ptr<platform::ScsiDevice> remote_;
};

TEST_F(UnitSocketTest, CommandsDataAndSenseCrossTheSocket) {
  DeviceHandle d = remote_.get();
  EXPECT_EQ(Low24(TestUnitReady(d)), 0x062800u);
  ASSERT_EQ(FormatUnit(d, 0x21), 0u);
  std::vector<uint8_t> data(65536), back(65536);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_EQ(Write10(d, 64, 32, data.data()), 0u);
  ASSERT_EQ(Read10(d, 64, 32, back.data()), 0u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(Low24(Read10(d, 4095, 32, back.data())), 0x052100u);

  platform::StorageDeviceDescriptor desc;
  ASSERT_EQ(remote_->QueryDescriptor(&desc), 0u);
  EXPECT_EQ(desc.vendor, "KORRINDA");
  EXPECT_EQ(desc.product, "QX V1A0         ");
  uint32_t number = 0;
  ASSERT_EQ(remote_->GetDeviceNumber(&number), 0u);
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(remote_->CheckVerify(), 0u);

  EXPECT_EQ(platform::ListPublishedUnits(), std::vector<std::string>{"u1"});
  std::string reply;
  // Many short control connections come and go while the unit runs.
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(platform::SendUnitControl(platform::UnitSocketPath("u1"), "status", &reply), 0u);
  }
  EXPECT_NE(reply.find("KORRINDA"), std::string::npos);
  EXPECT_EQ(platform::SendUnitControl(platform::UnitSocketPath("u1"), "fail zz", &reply),
            platform::ERROR_INVALID_PARAMETER);
  ASSERT_EQ(platform::SendUnitControl(platform::UnitSocketPath("u1"), "fail 0x00 1 4 0x40 0", &reply), 0u);
  EXPECT_EQ(Low24(TestUnitReady(d)), kSenseHardware44);

  ASSERT_EQ(remote_->EjectMedia(), 0u);
  EXPECT_EQ(Low24(TestUnitReady(d)), kSenseTrayOpen);
  EXPECT_NE(remote_->CheckVerify(), 0u);

  // A second unit cannot take a live unit's name.
  platform::UnitSocketServer other(local_.get(), nullptr);
  EXPECT_EQ(other.Start(platform::UnitSocketPath("u1")), platform::ERROR_ALREADY_EXISTS);
}

TEST_F(UnitSocketTest, UnplugDuringACommandIsATransportError) {
  unit_->DelayNext(0x00, 60000);
  uint32_t status = 0;
  std::thread command([&] { status = TestUnitReady(remote_.get()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string reply;
  ASSERT_EQ(platform::SendUnitControl(platform::UnitSocketPath("u1"), "unplug", &reply), 0u);
  command.join();
  EXPECT_EQ(status, platform::ERROR_DEVICE_NOT_CONNECTED);
  server_->Stop();
  EXPECT_FALSE(std::filesystem::exists(platform::UnitSocketPath("u1")));
  EXPECT_TRUE(platform::ListPublishedUnits().empty());
  EXPECT_EQ(TestUnitReady(remote_.get()), platform::ERROR_DEVICE_NOT_CONNECTED);
  std::unique_ptr<platform::ScsiDevice> again;
  EXPECT_EQ(platform::OpenUnitSocket(platform::UnitSocketPath("u1"), &again), platform::ERROR_DEVICE_NOT_CONNECTED);
}

TEST(UnitSocketClient, APeerThatVanishesMidCommandGivesAnError) {
  const auto dir = testing::FreshDir("vanish");
  const auto path = dir / "gone.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  std::thread peer([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    uint8_t header[platform::kUnitRequestHeaderSize];
    size_t got = 0;
    while (got < sizeof header) {
      const ssize_t n = ::recv(fd, header + got, sizeof header - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ::close(fd);  // the process dies before it answers
  });
  std::unique_ptr<platform::ScsiDevice> device;
  ASSERT_EQ(platform::OpenUnitSocket(path, &device), 0u);
  platform::ScsiCommand c;
  c.cdb_length = 6;
  platform::ScsiReply r;
  EXPECT_EQ(device->Execute(c, &r), platform::ERROR_DEVICE_NOT_CONNECTED);
  peer.join();
  ::close(listener);
  ::unlink(path.c_str());
  EXPECT_EQ(device->Execute(c, &r), platform::ERROR_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace kelva::emulator
