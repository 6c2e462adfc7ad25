// The logind seams against a private D-Bus daemon that carries a fake login1
// object; skipped where no dbus-daemon is installed.
#include "platform/logind.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sessions.h"
#include "tests/eventually.h"

extern char** environ;

namespace kelva::platform {
namespace {

using kelva::test::Eventually;

constexpr char kDaemon[] = "/usr/bin/dbus-daemon";

constexpr char kIntrospection[] =
    "<node><interface name='org.freedesktop.login1.Manager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='h' direction='out'/></method>"
    "<signal name='PrepareForSleep'><arg type='b'/></signal>"
    "<signal name='SessionNew'><arg type='s'/><arg type='o'/></signal>"
    "</interface></node>";

// login1 as far as the seams use it: Inhibit hands out the write end of a
// pipe and watches the read end to see the lock released; the test sends the
// signals.
class FakeLogind {
 public:
  struct Lock {
    std::string what, who, why, mode;
    int fd;
  };

  explicit FakeLogind(const std::string& address) {
    GError* error = nullptr;
    bus_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    EXPECT_TRUE(bus_) << (error ? error->message : "");
    g_clear_error(&error);
    if (!bus_) return;
    GVariant* r = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "RequestName",
                                              g_variant_new("(su)", "org.freedesktop.login1", 4u), nullptr,
                                              G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    EXPECT_TRUE(r) << (error ? error->message : "");
    if (r) g_variant_unref(r);
    g_clear_error(&error);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    g_main_context_push_thread_default(context_);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeLogind::OnCall, nullptr, nullptr, {}};
    registration_ = g_dbus_connection_register_object(bus_, "/org/freedesktop/login1", node->interfaces[0],
                                                      &vtable, this, nullptr, nullptr);
    g_dbus_node_info_unref(node);
    g_main_context_pop_thread_default(context_);
    thread_ = std::thread([this] { g_main_loop_run(loop_); });
  }

  ~FakeLogind() {
    if (!bus_) return;
    g_main_loop_quit(loop_);
    thread_.join();
    g_dbus_connection_unregister_object(bus_, registration_);
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    for (auto& l : locks_) close(l.fd);
  }

  void Emit(const char* signal, GVariant* args) {
    g_dbus_connection_emit_signal(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                  signal, args, nullptr);
    g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
  }

  // Locks of that mode whose holder has not closed them.
  int Held(const std::string& mode) {
    std::lock_guard<std::mutex> g(mu_);
    int n = 0;
    for (auto& l : locks_) {
      pollfd p{l.fd, POLLIN, 0};
      const bool released = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLIN));
      n += l.mode == mode && !released;
    }
    return n;
  }
  std::vector<Lock> Locks() {
    std::lock_guard<std::mutex> g(mu_);
    return locks_;
  }

 private:
  static void OnCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer user_data) {
    auto* self = static_cast<FakeLogind*>(user_data);
    if (g_strcmp0(method, "Inhibit") != 0) return;
    const gchar *what, *who, *why, *mode;
    g_variant_get(parameters, "(&s&s&s&s)", &what, &who, &why, &mode);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    GUnixFDList* list = g_unix_fd_list_new();
    g_unix_fd_list_append(list, fds[1], nullptr);
    close(fds[1]);
    {
      std::lock_guard<std::mutex> g(self->mu_);
      self->locks_.push_back({what, who, why, mode, fds[0]});
    }
    g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), list);
    g_object_unref(list);
  }

  GDBusConnection* bus_ = nullptr;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  guint registration_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::vector<Lock> locks_;
};

class LogindTest : public ::testing::Test {
 protected:
  static bool Accepts(const std::filesystem::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
  }
  void SetUp() override {
    if (access(kDaemon, X_OK) != 0) GTEST_SKIP() << "no dbus-daemon";
    char tmpl[] = "/tmp/kelva-logind-XXXXXX";
    dir_ = mkdtemp(tmpl);
    const auto socket = dir_ / "bus";
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << socket.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
           "</policy></busconfig>\n";
    std::string config = "--config-file=" + (dir_ / "bus.conf").string();
    std::vector<char*> argv = {const_cast<char*>(kDaemon), config.data(), const_cast<char*>("--nofork"),
                               const_cast<char*>("--nopidfile"), nullptr};
    ASSERT_EQ(posix_spawn(&daemon_, kDaemon, nullptr, nullptr, argv.data(), environ), 0);
    // The socket file appears at bind, before the daemon listens: wait until
    // a connection is taken.
    ASSERT_TRUE(Eventually([&] { return Accepts(socket); }));
    address_ = "unix:path=" + socket.string();
  }
  void TearDown() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      waitpid(daemon_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::filesystem::path dir_;
  pid_t daemon_ = -1;
  std::string address_;
};

TEST_F(LogindTest, ABlockLockIsHeldAsADescriptorUntilReleased) {
  FakeLogind logind(address_);
  auto inhibitor = MakeLogindInhibitor(address_);
  std::unique_ptr<InhibitLock> lock;
  ASSERT_EQ(inhibitor->Inhibit("shutdown:sleep", "KelvaMsg", "Access to the magazine......", "block", &lock), 0u);
  ASSERT_TRUE(lock);
  auto locks = logind.Locks();
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].what, "shutdown:sleep");
  EXPECT_EQ(locks[0].who, "KelvaMsg");
  EXPECT_EQ(locks[0].why, "Access to the magazine......");
  EXPECT_EQ(logind.Held("block"), 1);
  lock.reset();
  EXPECT_TRUE(Eventually([&] { return logind.Held("block") == 0; }));
}

TEST_F(LogindTest, NoLogindOrNoBusIsNotAnError) {
  std::unique_ptr<InhibitLock> lock;
  auto inhibitor = MakeLogindInhibitor(address_);  // a bus without login1
  EXPECT_EQ(inhibitor->Inhibit("shutdown", "t", "t", "block", &lock), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_EQ(inhibitor->Inhibit("shutdown", "t", "t", "block", &lock), ERROR_SERVICE_NOT_ACTIVE);
  auto nobus = MakeLogindInhibitor("unix:path=" + (dir_ / "none").string());
  EXPECT_EQ(nobus->Inhibit("shutdown", "t", "t", "block", &lock), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(lock);

  // The watcher starts and stops quietly without a bus.
  auto watcher = MakeLogindWatcher("unix:path=" + (dir_ / "none").string());
  watcher->Start({});
  watcher->Stop();
}

TEST_F(LogindTest, SleepWaitsForTheSuspendCallbackAndWakeUpTakesTheDelayLockAgain) {
  FakeLogind logind(address_);
  std::mutex mu;
  std::vector<std::string> events;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto add = [&](std::string e) {
    std::lock_guard<std::mutex> g(mu);
    events.push_back(std::move(e));
  };
  auto seen = [&] {
    std::lock_guard<std::mutex> g(mu);
    return events;
  };
  PowerSessionCallbacks cb;
  cb.suspend = [&] {
    add("suspend");
    released.wait();
  };
  cb.resume = [&] { add("resume"); };
  cb.logon = [&](uint32_t s) { add("logon " + std::to_string(s)); };
  auto watcher = MakeLogindWatcher(address_, "kelva");
  watcher->Start(cb);
  ASSERT_EQ(logind.Held("delay"), 1);
  EXPECT_EQ(logind.Locks()[0].what, "sleep");
  EXPECT_EQ(logind.Locks()[0].who, "kelva");

  logind.Emit("PrepareForSleep", g_variant_new("(b)", TRUE));
  ASSERT_TRUE(Eventually([&] { return seen().size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(logind.Held("delay"), 1);  // the system waits for the units
  release.set_value();
  ASSERT_TRUE(Eventually([&] { return logind.Held("delay") == 0; }));

  logind.Emit("PrepareForSleep", g_variant_new("(b)", FALSE));
  ASSERT_TRUE(Eventually([&] { return seen().size() == 2; }));
  EXPECT_TRUE(Eventually([&] { return logind.Held("delay") == 1; }));

  logind.Emit("SessionNew", g_variant_new("(so)", "c1", "/org/freedesktop/login1/session/c1"));
  logind.Emit("SessionNew", g_variant_new("(so)", "7", "/org/freedesktop/login1/session/_37"));
  ASSERT_TRUE(Eventually([&] { return seen().size() == 3; }));
  EXPECT_EQ(seen(), (std::vector<std::string>{"suspend", "resume", "logon 7"}));

  watcher->Stop();
  EXPECT_TRUE(Eventually([&] { return logind.Held("delay") == 0; }));
  logind.Emit("SessionNew", g_variant_new("(so)", "8", "/org/freedesktop/login1/session/_38"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(seen().size(), 3u);
}

TEST(SessionIdTest, OnlyPlainNumbersAreSessions) {
  EXPECT_EQ(NumericSessionId("2"), 2u);
  EXPECT_EQ(NumericSessionId("123456789"), 123456789u);
  EXPECT_EQ(NumericSessionId("c1"), kNoSession);
  EXPECT_EQ(NumericSessionId(""), kNoSession);
  EXPECT_EQ(NumericSessionId("12a"), kNoSession);
  EXPECT_EQ(NumericSessionId("1234567890"), kNoSession);  // would not fit
}

}  // namespace
}  // namespace kelva::platform
