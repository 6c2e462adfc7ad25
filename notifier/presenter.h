// How the notifier shows messages to the user. The reader thread calls one
// presenter at a time; Cancel may come from any thread.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "notifier/notify_message.h"

namespace kelva::notifier {

class Presenter {
 public:
  virtual ~Presenter() = default;
  // A passing notification (kind 0); a newer one replaces the one shown.
  virtual void Notice(const std::string& title, const std::string& text, Level level) = 0;
  // A message the user must close (kind 1); returns when it is closed, or at
  // once after Cancel.
  virtual void Dialog(const std::string& title, const std::string& text, Level level) = 0;
  // The archive drive appeared (inserted) or went away at path (kinds 0x10, 0x11).
  virtual void Media(const std::string& path, bool inserted) = 0;
  // Closes an open dialog and makes later ones return at once (the program ends).
  virtual void Cancel() {}
};

// One line per message (a terminal, or a session without a desktop):
//   notice <level>: <title>: <text>
//   dialog <level>: <title>: <text>
//   media inserted: <path>        media removed: <path>
// "<level>" is info, warning, error or question, and left out (with its space)
// when the style names none. Line breaks and other control characters in title
// and text become spaces. Dialogs do not wait.
std::string FormatNoticeLine(const char* what, const std::string& title, const std::string& text, Level level);
std::string FormatMediaLine(const std::string& path, bool inserted);

class LinePresenter final : public Presenter {
 public:
  explicit LinePresenter(FILE* out = stdout) : out_(out) {}
  void Notice(const std::string& title, const std::string& text, Level level) override;
  void Dialog(const std::string& title, const std::string& text, Level level) override;
  void Media(const std::string& path, bool inserted) override;

 private:
  void Put(const std::string& line);
  std::mutex mu_;
  FILE* out_;
};

// Desktop notifications (libnotify) when a session bus and a notification
// server are there; otherwise lines on stdout.
std::unique_ptr<Presenter> MakePresenter();

}  // namespace kelva::notifier
