#include "service/core/filter_connection.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"

namespace kelva::core {

using namespace kelva::platform;

void BuildFilterMessage(uint8_t command, std::u16string_view volume_name, uint8_t out[100]) {
  std::memset(out, 0, 100);
  out[0] = command;
  const size_t n = std::min<size_t>(volume_name.size(), 48);
  for (size_t i = 0; i < n; ++i) {
    out[2 + 2 * i] = static_cast<uint8_t>(volume_name[i] & 0xFF);
    out[3 + 2 * i] = static_cast<uint8_t>(volume_name[i] >> 8);
  }
}

int32_t FilterConnection::Connect() {
  ServiceStatus st;
  if (Win32Error e = services_.QueryStatus(kFilterServiceName, &st)) {
    KLOG_ERROR("filter service %s: %u (%s)", kFilterServiceName, e, ErrorText(e).c_str());
    return static_cast<int32_t>(e);
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    service_opened_ = true;
  }
  if (st.current_state == SERVICE_STOPPED) {
    KLOG_INFO("starting filter service %s", kFilterServiceName);
    if (Win32Error e = services_.Start(kFilterServiceName)) {
      KLOG_ERROR("filter service %s does not start: %u (%s)", kFilterServiceName, e, ErrorText(e).c_str());
      return kExitFilterUnavailable;
    }
  } else if (st.current_state != SERVICE_RUNNING) {
    KLOG_ERROR("filter service %s is in state %u, neither running nor stopped", kFilterServiceName, st.current_state);
    return kExitFilterUnavailable;
  }
  std::unique_ptr<FilterPortClient> port;
  const HResult hr = connector_.Connect(kFilterPortName, &port);
  if (hr < 0) {
    KLOG_ERROR("cannot connect to the filter port: 0x%08X", static_cast<uint32_t>(hr));
    return hr;
  }
  std::lock_guard<std::mutex> g(mu_);
  port_ = std::move(port);
  return 0;
}

void FilterConnection::Close() {
  bool opened = false;
  {
    std::lock_guard<std::mutex> g(mu_);
    port_.reset();
    opened = service_opened_;
    service_opened_ = false;
  }
  if (!opened) return;
  ServiceStatus st;
  if (services_.QueryStatus(kFilterServiceName, &st)) return;
  const uint64_t first_query = clock_.NowMs();
  if (st.current_state != SERVICE_STOPPED && st.current_state != SERVICE_STOP_PENDING) {
    KLOG_INFO("stopping filter service %s", kFilterServiceName);
    if (services_.Stop(kFilterServiceName, &st)) return;
  }
  while (st.current_state != SERVICE_STOPPED) {
    clock_.Sleep(std::clamp<uint32_t>(st.wait_hint / 10, 1000, 10000));
    if (services_.QueryStatus(kFilterServiceName, &st)) return;
    if (st.current_state == SERVICE_STOPPED) break;
    if (clock_.NowMs() - first_query >= 60000) {
      KLOG_WARN("filter service %s did not stop within 60 s", kFilterServiceName);
      return;
    }
  }
  KLOG_INFO("filter service %s stopped", kFilterServiceName);
}

void FilterConnection::Send(uint8_t command, std::u16string_view volume_name) {
  uint8_t msg[100];
  BuildFilterMessage(command, volume_name, msg);
  std::lock_guard<std::mutex> g(mu_);
  if (port_) port_->SendMessage(msg, sizeof msg);  // one-way; the result does not matter
}

bool FilterConnection::connected() const {
  std::lock_guard<std::mutex> g(mu_);
  return port_ != nullptr;
}

}  // namespace kelva::core
