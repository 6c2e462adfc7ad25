// KelvaMsg: the per-session notifier. It owns the notification mailslot, shows
// the service's messages, and holds back shutdown and sleep while the service
// reports unsaved magazine work.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "notifier/busy_watcher.h"
#include "notifier/message_handler.h"
#include "notifier/notify_server.h"
#include "notifier/presenter.h"
#include "platform/clock.h"
#include "platform/logind.h"
#include "platform/sync.h"

namespace kelva::notifier {

struct NotifierOptions {
  platform::Clock* clock = &platform::RealClock();
  // Busy and dialog events in it, the mailslot in its user part ("user");
  // empty: RunDir() and UserRunDir().
  std::filesystem::path run_dir;
  std::filesystem::path mount_root;  // drive letters' mount points; empty: MountRoot()
  Presenter* presenter = nullptr;    // required
  platform::Inhibitor* inhibitor = nullptr;  // required
  // The system UDF driver's file version; null: there is no such driver here
  // and the check passes.
  std::function<std::optional<uint64_t>()> udf_driver_version;
};

class NotifierApp {
 public:
  explicit NotifierApp(NotifierOptions options);
  NotifierApp(const NotifierApp&) = delete;
  NotifierApp& operator=(const NotifierApp&) = delete;
  ~NotifierApp();

  // Runs until a quit message or RequestStop; returns the exit code (0).
  // Without the mailslot (another notifier owns it, or it cannot be made) the
  // program keeps running and only watches the busy event.
  int Run();
  // Ends Run (a signal); closes an open dialog. Any thread.
  void RequestStop();

  bool serving() const { return server_.listening(); }
  const NotifyServer& server() const { return server_; }
  const BusyWatcher& busy() const { return busy_; }

 private:
  // Tells the sender of dialog number that the user closed it.
  void AnswerDialog(uint32_t number);

  NotifierOptions options_;
  platform::Event done_;
  MessageHandler handler_;
  NotifyServer server_;
  BusyWatcher busy_;
};

}  // namespace kelva::notifier
