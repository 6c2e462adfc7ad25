// Desktop notifications through libnotify. Everything runs on the reader
// thread, whose (global default) main context receives libnotify's signals; a
// dialog runs a main loop on it until the notification is closed.
#include <libnotify/notify.h>

#include <atomic>
#include <cstdlib>

#include "notifier/presenter.h"
#include "platform/log.h"

namespace kelva::notifier {

namespace {

const char* IconName(Level level) {
  switch (level) {
    case Level::kWarning: return "dialog-warning";
    case Level::kError: return "dialog-error";
    case Level::kQuestion: return "dialog-question";
    default: return "dialog-information";
  }
}

class DesktopPresenter final : public Presenter {
 public:
  DesktopPresenter() = default;
  ~DesktopPresenter() override {
    if (last_notice_) g_object_unref(last_notice_);
    notify_uninit();
  }

  void Notice(const std::string& title, const std::string& text, Level level) override {
    // The notice shown last is replaced, as one tray icon shows one balloon.
    if (last_notice_) {
      notify_notification_update(last_notice_, title.c_str(), text.c_str(), IconName(level));
    } else {
      last_notice_ = notify_notification_new(title.c_str(), text.c_str(), IconName(level));
    }
    notify_notification_set_urgency(last_notice_, level == Level::kError ? NOTIFY_URGENCY_CRITICAL
                                                                         : NOTIFY_URGENCY_NORMAL);
    if (!Show(last_notice_)) lines_.Notice(title, text, level);
  }

  void Dialog(const std::string& title, const std::string& text, Level level) override {
    if (cancelled_) return;
    NotifyNotification* n = notify_notification_new(title.c_str(), text.c_str(), IconName(level));
    notify_notification_set_urgency(n, NOTIFY_URGENCY_CRITICAL);
    notify_notification_set_timeout(n, NOTIFY_EXPIRES_NEVER);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    notify_notification_add_action(
        n, "default", "OK",
        [](NotifyNotification* self, char*, gpointer l) {
          notify_notification_close(self, nullptr);
          g_main_loop_quit(static_cast<GMainLoop*>(l));
        },
        loop, nullptr);
    const gulong closed = g_signal_connect(n, "closed", G_CALLBACK(+[](NotifyNotification*, gpointer l) {
                                             g_main_loop_quit(static_cast<GMainLoop*>(l));
                                           }),
                                           loop);
    if (Show(n)) {
      {
        std::lock_guard<std::mutex> g(mu_);
        loop_ = loop;
      }
      if (!cancelled_) g_main_loop_run(loop);
      {
        std::lock_guard<std::mutex> g(mu_);
        loop_ = nullptr;
      }
      if (cancelled_) notify_notification_close(n, nullptr);
    } else {
      lines_.Dialog(title, text, level);
    }
    g_signal_handler_disconnect(n, closed);
    g_object_unref(n);
    g_main_loop_unref(loop);
  }

  void Media(const std::string& path, bool inserted) override {
    NotifyNotification* n =
        notify_notification_new(inserted ? "Archive drive ready" : "Archive drive removed", path.c_str(),
                                "media-optical");
    if (!Show(n)) lines_.Media(path, inserted);
    g_object_unref(n);
  }

  void Cancel() override {
    std::lock_guard<std::mutex> g(mu_);
    cancelled_ = true;
    if (loop_) {
      // Quit from the loop's own context: safe from any thread.
      GSource* quit = g_idle_source_new();
      g_source_set_callback(
          quit,
          [](gpointer l) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(l));
            return G_SOURCE_REMOVE;
          },
          g_main_loop_ref(loop_), reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
      g_source_attach(quit, g_main_loop_get_context(loop_));
      g_source_unref(quit);
    }
  }

 private:
  bool Show(NotifyNotification* n) {
    GError* error = nullptr;
    if (notify_notification_show(n, &error)) return true;
    KLOG_WARN("desktop notification failed (%s); printing it instead", error ? error->message : "?");
    g_clear_error(&error);
    return false;
  }

  LinePresenter lines_;
  NotifyNotification* last_notice_ = nullptr;
  std::mutex mu_;
  GMainLoop* loop_ = nullptr;  // the dialog's loop while one is open
  std::atomic<bool> cancelled_{false};
};

}  // namespace

std::unique_ptr<Presenter> MakePresenter() {
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (bus && *bus && notify_init("KelvaMsg")) {
    char* name = nullptr;
    if (notify_get_server_info(&name, nullptr, nullptr, nullptr)) {
      KLOG_INFO("showing messages as desktop notifications (%s)", name ? name : "?");
      g_free(name);
      return std::make_unique<DesktopPresenter>();
    }
    notify_uninit();
    KLOG_INFO("no notification server on the session bus: messages are printed on stdout");
  } else {
    KLOG_INFO("no desktop session: messages are printed on stdout");
  }
  return std::make_unique<LinePresenter>();
}

}  // namespace kelva::notifier
