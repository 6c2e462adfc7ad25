// What the device manager tests share: a recorder of delivered notifications.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/device_manager.h"

namespace kelva::platform::testing {

struct Delivered {
  uint32_t type = 0;
  DeviceBroadcast data;
};

class EventRecorder {
 public:
  DeviceNotifications::Callback Callback() {
    return [this](uint32_t type, const DeviceBroadcast& data) {
      std::lock_guard<std::mutex> g(mu_);
      events_.push_back({type, data});
      cv_.notify_all();
    };
  }
  // Waits (at most 10 s) until an event satisfies match; true when one did.
  bool WaitFor(const std::function<bool(const Delivered&)>& match) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::seconds(10), [&] {
      for (const Delivered& d : events_)
        if (match(d)) return true;
      return false;
    });
  }
  bool WaitForInterface(uint32_t type, const std::string& name) {
    return WaitFor([&](const Delivered& d) {
      return d.type == type && d.data.device_type == DBT_DEVTYP_DEVICEINTERFACE && (name.empty() || d.data.name == name);
    });
  }
  bool WaitForMedia(DeviceHandle handle, bool arrival) {
    return WaitFor([&](const Delivered& d) { return IsMedia(d, handle, arrival); });
  }
  // Waits (at most 10 s) until count media events of the kind reached the handle.
  bool WaitForMediaCount(DeviceHandle handle, bool arrival, size_t count) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::seconds(10), [&] {
      size_t n = 0;
      for (const Delivered& d : events_) n += IsMedia(d, handle, arrival);
      return n >= count;
    });
  }
  size_t CountMedia(DeviceHandle handle, bool arrival) {
    std::lock_guard<std::mutex> g(mu_);
    size_t n = 0;
    for (const Delivered& d : events_) n += IsMedia(d, handle, arrival);
    return n;
  }
  std::vector<Delivered> Events() {
    std::lock_guard<std::mutex> g(mu_);
    return events_;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(mu_);
    events_.clear();
  }

 private:
  static bool IsMedia(const Delivered& d, DeviceHandle handle, bool arrival) {
    return d.type == DBT_CUSTOMEVENT && d.data.device_type == DBT_DEVTYP_HANDLE && d.data.handle == handle &&
           d.data.event_guid == (arrival ? kMediaArrivalEvent : kMediaRemovalEvent);
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Delivered> events_;
};

inline DeviceHandle HandleOf(ScsiDevice* device) { return reinterpret_cast<DeviceHandle>(device); }

}  // namespace kelva::platform::testing
