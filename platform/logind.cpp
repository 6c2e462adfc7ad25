#include "platform/logind.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/log.h"
#include "platform/sessions.h"

namespace kelva::platform {

namespace {

constexpr char kLogindName[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kManagerInterface[] = "org.freedesktop.login1.Manager";

// A private connection (not GIO's shared singleton, which ends the process
// when the bus goes away). Null with *why filled when there is no bus.
GDBusConnection* ConnectBus(const std::string& address, std::string* why) {
  GError* error = nullptr;
  gchar* resolved = nullptr;
  if (address.empty()) {
    resolved = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!resolved) {
      *why = error ? error->message : "no system bus address";
      g_clear_error(&error);
      return nullptr;
    }
  }
  GDBusConnection* c = g_dbus_connection_new_for_address_sync(
      resolved ? resolved : address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  g_free(resolved);
  if (!c) {
    *why = error ? error->message : "cannot connect";
    g_clear_error(&error);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(c, FALSE);
  return c;
}

class FdLock final : public InhibitLock {
 public:
  explicit FdLock(int fd) : fd_(fd) {}
  ~FdLock() override { close(fd_); }

 private:
  int fd_;
};

// One Inhibit call; the lock's descriptor in *fd. *missing tells that logind
// (or the bus) is not there, as opposed to a refusal.
Win32Error CallInhibit(GDBusConnection* c, std::string_view what, std::string_view who, std::string_view why,
                       std::string_view mode, int* fd, std::string* message) {
  const std::string w(what), o(who), y(why), m(mode);
  GUnixFDList* fds = nullptr;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      c, kLogindName, kLogindPath, kManagerInterface, "Inhibit",
      g_variant_new("(ssss)", w.c_str(), o.c_str(), y.c_str(), m.c_str()), G_VARIANT_TYPE("(h)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &fds, nullptr, &error);
  if (!reply) {
    Win32Error e = ERROR_GEN_FAILURE;
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED))
      e = ERROR_SERVICE_NOT_ACTIVE;
    else if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED) ||
             g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_AUTH_FAILED))
      e = ERROR_ACCESS_DENIED;
    *message = error ? error->message : "no reply";
    g_clear_error(&error);
    return e;
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  int got = -1;
  if (fds && index >= 0 && index < g_unix_fd_list_get_length(fds)) got = g_unix_fd_list_get(fds, index, &error);
  if (fds) g_object_unref(fds);
  if (got < 0) {
    *message = error ? error->message : "no descriptor in the reply";
    g_clear_error(&error);
    return ERROR_GEN_FAILURE;
  }
  *fd = got;
  return ERROR_SUCCESS;
}

class LogindInhibitor final : public Inhibitor {
 public:
  explicit LogindInhibitor(std::string address) : address_(std::move(address)) {}
  ~LogindInhibitor() override {
    if (bus_) {
      g_dbus_connection_close_sync(bus_, nullptr, nullptr);
      g_object_unref(bus_);
    }
  }

  Win32Error Inhibit(std::string_view what, std::string_view who, std::string_view why, std::string_view mode,
                     std::unique_ptr<InhibitLock>* out) override {
    std::lock_guard<std::mutex> g(mu_);
    std::string message;
    if (bus_ && g_dbus_connection_is_closed(bus_)) {
      g_object_unref(bus_);
      bus_ = nullptr;
    }
    if (!bus_) bus_ = ConnectBus(address_, &message);
    if (!bus_) {
      TellOnce("no system bus (" + message + "): shutdown and sleep are not held back");
      return ERROR_SERVICE_NOT_ACTIVE;
    }
    int fd = -1;
    Win32Error e = CallInhibit(bus_, what, who, why, mode, &fd, &message);
    if (e == ERROR_SERVICE_NOT_ACTIVE) {
      TellOnce("no logind on the system bus (" + message + "): shutdown and sleep are not held back");
      return e;
    }
    if (e) {
      KLOG_WARN("logind refused the %s lock for %s: %s", std::string(mode).c_str(), std::string(what).c_str(),
                message.c_str());
      return e;
    }
    out->reset(new FdLock(fd));
    return ERROR_SUCCESS;
  }

 private:
  void TellOnce(const std::string& text) {
    if (told_) return;
    told_ = true;
    KLOG_INFO("%s", text.c_str());
  }

  std::string address_;
  std::mutex mu_;
  GDBusConnection* bus_ = nullptr;
  bool told_ = false;
};

class LogindWatcher final : public PowerSessionWatcher {
 public:
  LogindWatcher(std::string address, std::string who) : address_(std::move(address)), who_(std::move(who)) {}
  ~LogindWatcher() override { Stop(); }

  void Start(PowerSessionCallbacks callbacks) override {
    if (thread_.joinable()) return;
    callbacks_ = std::move(callbacks);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    ready_ = false;
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [this] { return ready_; });
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    // An idle source quits the loop even when it has not started running yet.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_, nullptr);
    g_source_attach(quit, context_);
    g_source_unref(quit);
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    loop_ = nullptr;
    context_ = nullptr;
  }

 private:
  void MarkReady() {
    std::lock_guard<std::mutex> g(mu_);
    ready_ = true;
    cv_.notify_all();
  }

  void Run() {
    g_main_context_push_thread_default(context_);
    std::string why;
    bus_ = ConnectBus(address_, &why);
    if (!bus_) {
      KLOG_INFO("no system bus (%s): power and session events are not followed", why.c_str());
      MarkReady();
      g_main_context_pop_thread_default(context_);
      return;
    }
    // Signals are delivered to this thread's context.
    const guint sleep_sub = g_dbus_connection_signal_subscribe(
        bus_, kLogindName, kManagerInterface, "PrepareForSleep", kLogindPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &LogindWatcher::OnSignal, this, nullptr);
    const guint session_sub = g_dbus_connection_signal_subscribe(
        bus_, kLogindName, kManagerInterface, "SessionNew", kLogindPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &LogindWatcher::OnSignal, this, nullptr);
    // A round trip to the bus makes sure the match rules are in place before
    // Start returns.
    GVariant* id = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    if (id) g_variant_unref(id);
    if (TakeDelayLock() == ERROR_SUCCESS) KLOG_INFO("following logind's sleep and session events");
    MarkReady();
    g_main_loop_run(loop_);
    g_dbus_connection_signal_unsubscribe(bus_, sleep_sub);
    g_dbus_connection_signal_unsubscribe(bus_, session_sub);
    delay_lock_.reset();
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
    bus_ = nullptr;
    // Let pending callbacks of the connection run down before the context goes.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
  }

  Win32Error TakeDelayLock() {
    if (delay_lock_) return ERROR_SUCCESS;
    int fd = -1;
    std::string message;
    Win32Error e = CallInhibit(bus_, "sleep", who_, "The archive units are made quiet before the system sleeps",
                               "delay", &fd, &message);
    if (e == ERROR_SERVICE_NOT_ACTIVE) {
      if (!told_) KLOG_INFO("no logind on the system bus (%s): sleep is not delayed", message.c_str());
      told_ = true;
      return e;
    }
    if (e) {
      KLOG_WARN("logind refused the delay lock for sleep: %s", message.c_str());
      return e;
    }
    delay_lock_ = std::make_unique<FdLock>(fd);
    return ERROR_SUCCESS;
  }

  static void OnSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
                       GVariant* parameters, gpointer user_data) {
    auto* self = static_cast<LogindWatcher*>(user_data);
    if (g_strcmp0(signal, "PrepareForSleep") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
      gboolean start = FALSE;
      g_variant_get(parameters, "(b)", &start);
      if (start) {
        KLOG_INFO("logind: the system is going to sleep");
        if (self->callbacks_.suspend) self->callbacks_.suspend();
        self->delay_lock_.reset();  // now the system may sleep
      } else {
        KLOG_INFO("logind: the system woke up");
        // The lock is back before the resume work, so a sleep that follows
        // at once still waits for the units.
        self->TakeDelayLock();
        if (self->callbacks_.resume) self->callbacks_.resume();
      }
    } else if (g_strcmp0(signal, "SessionNew") == 0 && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(so)"))) {
      const gchar* id = nullptr;
      const gchar* path = nullptr;
      g_variant_get(parameters, "(&s&o)", &id, &path);
      const uint32_t session = NumericSessionId(id ? id : "");
      if (session == kNoSession) {
        KLOG_DEBUG("logind: session %s is not numbered; ignored", id ? id : "");
        return;
      }
      if (self->callbacks_.logon) self->callbacks_.logon(session);
    }
  }

  std::string address_;
  std::string who_;
  PowerSessionCallbacks callbacks_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* bus_ = nullptr;  // used on the thread only
  std::unique_ptr<FdLock> delay_lock_;
  bool told_ = false;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool ready_ = false;
};

}  // namespace

std::unique_ptr<Inhibitor> MakeLogindInhibitor(std::string bus_address) {
  return std::make_unique<LogindInhibitor>(std::move(bus_address));
}

std::unique_ptr<PowerSessionWatcher> MakeLogindWatcher(std::string bus_address, std::string who) {
  return std::make_unique<LogindWatcher>(std::move(bus_address), std::move(who));
}

uint32_t NumericSessionId(std::string_view id) {
  if (id.empty() || id.size() > 9) return kNoSession;
  uint32_t n = 0;
  for (char c : id) {
    if (c < '0' || c > '9') return kNoSession;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  return n;
}

}  // namespace kelva::platform
