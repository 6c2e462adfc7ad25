#include "notifier/presenter.h"

namespace kelva::notifier {

namespace {

std::string OneLine(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

}  // namespace

std::string FormatNoticeLine(const char* what, const std::string& title, const std::string& text, Level level) {
  std::string line = what;
  const char* name = LevelName(level);
  if (*name) line += std::string(" ") + name;
  return line + ": " + OneLine(title) + ": " + OneLine(text);
}

std::string FormatMediaLine(const std::string& path, bool inserted) {
  return std::string(inserted ? "media inserted: " : "media removed: ") + OneLine(path);
}

void LinePresenter::Put(const std::string& line) {
  std::lock_guard<std::mutex> g(mu_);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void LinePresenter::Notice(const std::string& title, const std::string& text, Level level) {
  Put(FormatNoticeLine("notice", title, text, level));
}

void LinePresenter::Dialog(const std::string& title, const std::string& text, Level level) {
  Put(FormatNoticeLine("dialog", title, text, level));
}

void LinePresenter::Media(const std::string& path, bool inserted) { Put(FormatMediaLine(path, inserted)); }

}  // namespace kelva::notifier
