#include "platform/service_manager.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/service_host.h"

namespace kelva::platform {
namespace {

class SupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-supervisor-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(SupervisorTest, StartsWaitsForReadinessAndStops) {
  ProcessSupervisor sup;
  ProcessSupervisor::Program p;
  const auto pid_file = dir_ / "svc.pid";
  // A service that becomes ready after a moment and runs until SIGTERM.
  p.argv = {"/bin/sh", "-c", "sleep 0.2; echo $$ > " + pid_file.string() + "; exec sleep 30"};
  p.pid_file = pid_file;
  sup.AddService("svc", p);

  ServiceStatus st;
  ASSERT_EQ(sup.QueryStatus("svc", &st), 0u);
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_STOPPED));
  EXPECT_EQ(sup.QueryStatus("other", &st), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(sup.Stop("svc", &st), ERROR_SERVICE_NOT_ACTIVE);

  ASSERT_EQ(sup.Start("svc"), 0u);
  ASSERT_EQ(sup.QueryStatus("svc", &st), 0u);
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_RUNNING));  // ready when Start returns
  EXPECT_EQ(sup.Start("svc"), ERROR_SERVICE_ALREADY_RUNNING);

  ASSERT_EQ(sup.Stop("svc", &st), 0u);
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_STOP_PENDING));
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(sup.QueryStatus("svc", &st), 0u);
    if (st.current_state == SERVICE_STOPPED) break;
    usleep(10000);
  }
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_STOPPED));  // an exited child counts as stopped
}

TEST_F(SupervisorTest, AProgramThatDiesOrIsMissingDoesNotStart) {
  ProcessSupervisor sup;
  sup.AddService("dies", {{"/bin/false"}, dir_ / "dies.pid", 5000});
  sup.AddService("missing", {{(dir_ / "no-such-program").string()}, dir_ / "missing.pid", 5000});
  EXPECT_EQ(sup.Start("dies"), ERROR_SERVICE_REQUEST_TIMEOUT);
  EXPECT_NE(sup.Start("missing"), 0u);
  // A pid file naming a process that is gone means stopped.
  ASSERT_EQ(WriteWholeFile(dir_ / "dies.pid", "999999999\n"), 0u);
  ServiceStatus st;
  ASSERT_EQ(sup.QueryStatus("dies", &st), 0u);
  EXPECT_EQ(st.current_state, uint32_t(SERVICE_STOPPED));
}

TEST(ServiceHost, StatusReportsReachTheNotifySocket) {
  char tmpl[] = "/tmp/kelva-notify-XXXXXX";
  const std::filesystem::path dir = mkdtemp(tmpl);
  const auto path = dir / "notify";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  const char* old = std::getenv("NOTIFY_SOCKET");
  const std::string saved = old ? old : "";
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  SystemdStatusSink sink;
  ServiceStatus st;
  st.current_state = SERVICE_RUNNING;
  EXPECT_TRUE(sink.SetStatus(st));
  st.current_state = SERVICE_STOP_PENDING;
  st.check_point = 2;
  st.wait_hint = 10000;
  EXPECT_TRUE(sink.SetStatus(st));
  st.current_state = SERVICE_STOPPED;
  st.win32_exit_code = 1068;
  EXPECT_TRUE(sink.SetStatus(st));
  char buf[512];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n), "READY=1\nSTATUS=running");
  n = recv(fd, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n), "STOPPING=1\nSTATUS=stopping (check point 2)\nEXTEND_TIMEOUT_USEC=10000000");
  n = recv(fd, buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf, n), "STATUS=stopped, exit code 1068");

  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(StartedByServiceManager());
  EXPECT_FALSE(sink.SetStatus(st));
  if (old) setenv("NOTIFY_SOCKET", saved.c_str(), 1);
  close(fd);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kelva::platform
