// Test doubles for the notifier: a presenter that records what it shows (its
// dialogs stay open until the test closes them) and an inhibitor that records
// the locks it hands out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notifier/presenter.h"
#include "platform/logind.h"
#include "tests/eventually.h"

namespace kelva::notifier::testing {

// Waits up to 10 s of real time for pred.
using kelva::test::Eventually;

class RecordingPresenter : public Presenter {
 public:
  void Notice(const std::string& title, const std::string& text, Level level) override {
    Add(FormatNoticeLine("notice", title, text, level));
  }
  void Dialog(const std::string& title, const std::string& text, Level level) override {
    std::unique_lock<std::mutex> lk(mu_);
    shown_.push_back(FormatNoticeLine("dialog", title, text, level));
    open_ = true;
    cv_.wait(lk, [&] { return closes_ > 0 || cancelled_; });
    if (closes_ > 0) --closes_;
    open_ = false;
  }
  void Media(const std::string& path, bool inserted) override { Add(FormatMediaLine(path, inserted)); }
  void Cancel() override {
    std::lock_guard<std::mutex> g(mu_);
    cancelled_ = true;
    cv_.notify_all();
  }

  // The user closes the open dialog (or the next one).
  void CloseDialog() {
    std::lock_guard<std::mutex> g(mu_);
    ++closes_;
    cv_.notify_all();
  }
  bool DialogOpen() {
    std::lock_guard<std::mutex> g(mu_);
    return open_;
  }
  std::vector<std::string> Shown() {
    std::lock_guard<std::mutex> g(mu_);
    return shown_;
  }

 private:
  void Add(std::string line) {
    std::lock_guard<std::mutex> g(mu_);
    shown_.push_back(std::move(line));
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> shown_;
  bool open_ = false;
  int closes_ = 0;
  bool cancelled_ = false;
};

class FakeInhibitor : public platform::Inhibitor {
 public:
  struct Request {
    std::string what, who, why, mode;
  };
  class Lock : public platform::InhibitLock {
   public:
    explicit Lock(FakeInhibitor* owner) : owner_(owner) {}
    ~Lock() override {
      std::lock_guard<std::mutex> g(owner_->mu_);
      --owner_->held_;
    }

   private:
    FakeInhibitor* owner_;
  };

  platform::Win32Error Inhibit(std::string_view what, std::string_view who, std::string_view why,
                               std::string_view mode, std::unique_ptr<platform::InhibitLock>* out) override {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back({std::string(what), std::string(who), std::string(why), std::string(mode)});
    if (fail_) return fail_;
    ++held_;
    out->reset(new Lock(this));
    return 0;
  }
  int Held() {
    std::lock_guard<std::mutex> g(mu_);
    return held_;
  }
  std::vector<Request> Requests() {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
  }
  void Fail(platform::Win32Error e) {
    std::lock_guard<std::mutex> g(mu_);
    fail_ = e;
  }

 private:
  std::mutex mu_;
  int held_ = 0;
  platform::Win32Error fail_ = 0;
  std::vector<Request> requests_;
};

}  // namespace kelva::notifier::testing
