// The service's connection to the access filter: start the filter service when
// it is stopped, connect to its port, send it one-way volume messages, and at
// the end close the port and stop the filter service.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/clock.h"
#include "platform/filter_port.h"
#include "platform/service_manager.h"

namespace kelva::core {

inline constexpr const char* kFilterServiceName = "KELVAFilter";
inline constexpr const char* kFilterPortName = "\\KELVAFilterPort";
inline constexpr int32_t kExitFilterUnavailable = 1068;

// Builds the 100-byte port message: the command byte, a zero byte, and the first
// 48 characters of the volume name in UTF-16LE, NUL-padded.
void BuildFilterMessage(uint8_t command, std::u16string_view volume_name, uint8_t out[100]);

class FilterConnection {
 public:
  FilterConnection(platform::ServiceManager& services, platform::FilterPortConnector& connector,
                   platform::Clock& clock)
      : services_(services), connector_(connector), clock_(clock) {}
  FilterConnection(const FilterConnection&) = delete;
  FilterConnection& operator=(const FilterConnection&) = delete;

  // Returns 0, or the exit code: the service manager's error when the filter
  // service cannot be queried, 1068 when it is neither running nor startable,
  // the HRESULT of a failed port connection.
  int32_t Connect();

  // Closes the port, then (when the filter service was found at Connect) asks
  // it to stop unless it is stopped or stopping, and polls until it is stopped:
  // each wait is a tenth of the reported wait hint, clamped to 1000..10000 ms,
  // for at most 60000 ms from the first query. Idempotent.
  void Close();

  // Sends a volume message (1 register, 0 remove). Without a connection, or
  // when the send fails, nothing happens.
  void Send(uint8_t command, std::u16string_view volume_name);

  bool connected() const;

 private:
  platform::ServiceManager& services_;
  platform::FilterPortConnector& connector_;
  platform::Clock& clock_;
  mutable std::mutex mu_;
  std::unique_ptr<platform::FilterPortClient> port_;
  bool service_opened_ = false;
};

}  // namespace kelva::core
