#include "filter/filter_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/file.h"
#include "tests/eventually.h"

namespace kelva::filter {
namespace {

using namespace kelva::platform;

const std::u16string kVol = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}";

std::string Message(uint8_t command) {
  std::string m(kPortMessageSize, '\0');
  m[0] = static_cast<char>(command);
  for (size_t i = 0; i < kVol.size(); ++i) {
    m[2 + 2 * i] = static_cast<char>(kVol[i] & 0xFF);
    m[3 + 2 * i] = static_cast<char>(kVol[i] >> 8);
  }
  return m;
}

// Opens path in a child process (which is not connected to the port) and
// returns 0 on success or the child's errno.
int OpenInOtherProcess(const std::filesystem::path& path) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(path.c_str(), O_RDONLY);
    _exit(fd >= 0 ? 0 : (errno & 0x7F));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using kelva::test::Eventually;

class FilterServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-filter-XXXXXX";
    dir_ = mkdtemp(tmpl);
    image_ = dir_ / "disc01.img";
    ASSERT_EQ(WriteWholeFile(image_, "disc"), 0u);
    auto resolver = std::make_unique<StaticVolumeResolver>();
    resolver->Add("Volume{11111111-2222-3333-4444-555555555555}", {image_});
    service_ = std::make_unique<FilterService>(std::move(resolver));
  }
  void TearDown() override {
    service_.reset();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_, image_;
  std::unique_ptr<FilterService> service_;
};

TEST_F(FilterServiceTest, MessagesOverThePortRegisterAndDisconnectCleansUp) {
  FilterService::Options opt;
  opt.run_dir = dir_;
  opt.enforce = false;
  ASSERT_EQ(service_->Start(opt), 0u);
  SocketFilterPortConnector connector(dir_);
  std::unique_ptr<FilterPortClient> client;
  ASSERT_EQ(connector.Connect(kFilterPortName, &client), S_OK);
  ASSERT_TRUE(Eventually([&] { return service_->state().ConnectionCount() == 1; }));
  const std::string reg = Message(1);
  ASSERT_EQ(client->SendMessage(reg.data(), 101 - 2), S_OK);  // malformed: ignored
  ASSERT_EQ(client->SendMessage(reg.data(), 100), S_OK);
  ASSERT_EQ(client->SendMessage(reg.data(), 100), S_OK);
  ASSERT_TRUE(Eventually([&] { return service_->GuardedPaths().count(image_) == 1; }));
  EXPECT_EQ(service_->state().Registrations().size(), 1u);
  EXPECT_EQ(service_->state().Registrations()[0].pid, getpid());
  client.reset();
  ASSERT_TRUE(Eventually([&] { return service_->state().ConnectionCount() == 0; }));
  EXPECT_TRUE(service_->state().Registrations().empty());
  EXPECT_TRUE(service_->GuardedPaths().empty());
  service_->Stop();
  EXPECT_FALSE(FileExists(dir_ / "KELVAFilterPort"));
}

TEST_F(FilterServiceTest, UnconnectedProcessesCannotOpenARegisteredVolume) {
  FilterService::Options opt;
  opt.run_dir = dir_;
  bool enforcing = false;
  ASSERT_EQ(service_->Start(opt, &enforcing), 0u);
  if (!enforcing) GTEST_SKIP() << "fanotify permission events are not available here";

  SocketFilterPortConnector connector(dir_);
  std::unique_ptr<FilterPortClient> client;
  ASSERT_EQ(connector.Connect(kFilterPortName, &client), S_OK);
  const std::string reg = Message(1);
  ASSERT_EQ(client->SendMessage(reg.data(), 100), S_OK);
  ASSERT_TRUE(Eventually([&] { return service_->GuardedPaths().count(image_) == 1; }));

  EXPECT_EQ(OpenInOtherProcess(image_), EPERM);  // refused
  const int fd = open(image_.c_str(), O_RDONLY);  // this process is connected
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  const auto other = dir_ / "other.img";
  ASSERT_EQ(WriteWholeFile(other, "x"), 0u);
  EXPECT_EQ(OpenInOtherProcess(other), 0);  // files of unregistered volumes stay open to all

  // Removing the registration opens the file to everyone again.
  const std::string remove = Message(0);
  ASSERT_EQ(client->SendMessage(remove.data(), 100), S_OK);
  ASSERT_TRUE(Eventually([&] { return service_->GuardedPaths().empty(); }));
  EXPECT_EQ(OpenInOtherProcess(image_), 0);

  // With the file registered again but no client connected, everyone may open it.
  ASSERT_EQ(client->SendMessage(reg.data(), 100), S_OK);
  ASSERT_TRUE(Eventually([&] { return service_->GuardedPaths().count(image_) == 1; }));
  client.reset();
  ASSERT_TRUE(Eventually([&] { return service_->state().ConnectionCount() == 0; }));
  EXPECT_EQ(OpenInOtherProcess(image_), 0);
}

TEST_F(FilterServiceTest, ASecondFilterCannotTakeThePort) {
  FilterService::Options opt;
  opt.run_dir = dir_;
  opt.enforce = false;
  ASSERT_EQ(service_->Start(opt), 0u);
  FilterService second(std::make_unique<StaticVolumeResolver>());
  EXPECT_EQ(second.Start(opt), ERROR_ALREADY_EXISTS);
}

}  // namespace
}  // namespace kelva::filter
