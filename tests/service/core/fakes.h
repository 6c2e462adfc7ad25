// Test doubles for the service core's environment.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_notify.h"
#include "platform/filter_port.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/service_manager.h"
#include "service/core/service_app.h"
#include "tests/eventually.h"

namespace kelva::core::testing {

using namespace kelva::platform;

using kelva::test::Eventually;

// The filter service as the service manager shows it.
class FakeServiceManager : public ServiceManager {
 public:
  Win32Error QueryStatus(std::string_view, ServiceStatus* st) override {
    std::lock_guard<std::mutex> g(mu);
    ++queries;
    if (query_error) return query_error;
    st->current_state = state;
    st->wait_hint = wait_hint;
    if (state == SERVICE_STOP_PENDING && stops_after_queries > 0 && --stops_after_queries == 0) state = SERVICE_STOPPED;
    return 0;
  }
  Win32Error Start(std::string_view) override {
    std::lock_guard<std::mutex> g(mu);
    ++starts;
    if (start_error) return start_error;
    state = SERVICE_RUNNING;
    return 0;
  }
  Win32Error Stop(std::string_view, ServiceStatus* st) override {
    std::lock_guard<std::mutex> g(mu);
    ++stops;
    state = stops_after_queries == 0 ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    st->current_state = state;
    st->wait_hint = wait_hint;
    return 0;
  }

  std::mutex mu;
  uint32_t state = SERVICE_STOPPED;
  uint32_t wait_hint = 0;
  Win32Error query_error = 0;
  Win32Error start_error = 0;
  int stops_after_queries = 0;  // 0: stops at once; n: after n queries; -1: never
  int queries = 0, starts = 0, stops = 0;
};

class FakePortClient : public FilterPortClient {
 public:
  explicit FakePortClient(std::vector<std::string>* sent, std::mutex* mu, bool* open)
      : sent_(sent), mu_(mu), open_(open) {}
  ~FakePortClient() override {
    std::lock_guard<std::mutex> g(*mu_);
    *open_ = false;
  }
  HResult SendMessage(const void* data, uint32_t length) override {
    std::lock_guard<std::mutex> g(*mu_);
    sent_->emplace_back(static_cast<const char*>(data), length);
    return S_OK;
  }

 private:
  std::vector<std::string>* sent_;
  std::mutex* mu_;
  bool* open_;
};

class FakeConnector : public FilterPortConnector {
 public:
  HResult Connect(std::string_view name, std::unique_ptr<FilterPortClient>* out) override {
    std::lock_guard<std::mutex> g(mu);
    port_name = std::string(name);
    if (fail) return fail;
    open = true;
    out->reset(new FakePortClient(&sent, &mu, &open));
    return S_OK;
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> g(mu);
    return open;
  }
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> g(mu);
    return sent;
  }
  std::mutex mu;
  HResult fail = S_OK;
  bool open = false;
  std::string port_name;
  std::vector<std::string> sent;
};

class RecordingSink : public ServiceStatusSink {
 public:
  bool SetStatus(const ServiceStatus& s) override {
    std::lock_guard<std::mutex> g(mu);
    reports.push_back(s);
    return !(refuse_preshutdown && (s.controls_accepted & SERVICE_ACCEPT_PRESHUTDOWN));
  }
  std::vector<ServiceStatus> Reports() {
    std::lock_guard<std::mutex> g(mu);
    return reports;
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(mu);
    return reports.size();
  }
  std::mutex mu;
  std::vector<ServiceStatus> reports;
  bool refuse_preshutdown = false;
};

// Records every call with the test clock's time; StopAll can be held back.
class FakeUnitManager : public IUnitManager {
 public:
  struct Log {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::pair<std::string, uint64_t>> calls;
    bool hold_stop = false;
    bool throw_on_scan = false;
    Clock* clock = nullptr;
    void Add(std::string what) {
      std::lock_guard<std::mutex> g(mu);
      calls.emplace_back(std::move(what), clock ? clock->NowMs() : 0);
      cv.notify_all();
    }
    std::vector<std::string> Names() {
      std::lock_guard<std::mutex> g(mu);
      std::vector<std::string> n;
      for (auto& c : calls) n.push_back(c.first);
      return n;
    }
    int Count(const std::string& what) {
      std::lock_guard<std::mutex> g(mu);
      int n = 0;
      for (auto& c : calls) n += c.first == what;
      return n;
    }
    void ReleaseStop() {
      std::lock_guard<std::mutex> g(mu);
      hold_stop = false;
      cv.notify_all();
    }
  };
  explicit FakeUnitManager(Log* log) : log_(log) {}
  ~FakeUnitManager() override { log_->Add("destroy"); }
  void ScanUnits() override {
    log_->Add("scan");
    if (log_->throw_on_scan) throw std::runtime_error("scan failed");
  }
  void DeviceInterfaceArrival(const std::string& p) override { log_->Add("arrival " + p); }
  void DeviceInterfaceRemoval(const std::string& p) override { log_->Add("removal " + p); }
  void MediaArrival(DeviceHandle h) override { log_->Add("media arrival " + std::to_string(h)); }
  void MediaRemoval(DeviceHandle h) override { log_->Add("media removal " + std::to_string(h)); }
  void SuspendAll() override { log_->Add("suspend"); }
  void ResumeAll() override { log_->Add("resume"); }
  void MountPointsChanged() override { log_->Add("mount points"); }
  void StopAll() override {
    std::unique_lock<std::mutex> lk(log_->mu);
    if (log_->hold_stop) {
      log_->calls.emplace_back("stop held", log_->clock ? log_->clock->NowMs() : 0);
      log_->cv.notify_all();
    }
    log_->cv.wait(lk, [&] { return !log_->hold_stop; });
    log_->calls.emplace_back("stop units", log_->clock ? log_->clock->NowMs() : 0);
  }

 private:
  Log* log_;
};

class FakeControlServer : public IControlServer {
 public:
  explicit FakeControlServer(FakeUnitManager::Log* log) : log_(log) {}
  uint32_t Start(IUnitManager* units) override {
    log_->Add(units ? "control start" : "control start without units");
    return 0;
  }
  void Stop() override { log_->Add("control stop"); }
  void SendServiceClosing() override { log_->Add("control closing"); }

 private:
  FakeUnitManager::Log* log_;
};

// A change notifier the test fires by hand; counts how often it was armed.
class FakeKeyNotifier : public KeyChangeNotifier {
 public:
  struct Shared {
    std::mutex mu;
    Event* event = nullptr;
    int arms = 0;
    bool fail_rearm = false;
    void Fire() {
      std::lock_guard<std::mutex> g(mu);
      if (event) event->Set();
    }
    int Arms() {
      std::lock_guard<std::mutex> g(mu);
      return arms;
    }
  };
  explicit FakeKeyNotifier(Shared* s) : s_(s) {}
  ~FakeKeyNotifier() override {
    std::lock_guard<std::mutex> g(s_->mu);
    s_->event = nullptr;
  }
  Win32Error Arm(Event* e) override {
    std::lock_guard<std::mutex> g(s_->mu);
    if (s_->fail_rearm && s_->arms > 0) return ERROR_INVALID_HANDLE;
    s_->event = e;
    ++s_->arms;
    return 0;
  }

 private:
  Shared* s_;
};

}  // namespace kelva::core::testing
