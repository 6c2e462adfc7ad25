#include "platform/device_notify.h"

namespace kelva::platform {

Win32Error DeviceNotificationHub::RegisterInterfaceNotification(const Guid& class_guid, Callback callback,
                                                                NotificationToken* token) {
  std::lock_guard<std::mutex> g(mu_);
  if (fail_) return fail_;
  *token = next_++;
  interfaces_[*token] = {class_guid, std::move(callback)};
  return ERROR_SUCCESS;
}

Win32Error DeviceNotificationHub::RegisterHandleNotification(DeviceHandle handle, NotificationToken* token) {
  std::lock_guard<std::mutex> g(mu_);
  if (fail_) return fail_;
  if (handle == kInvalidDeviceHandle) return ERROR_INVALID_HANDLE;
  *token = next_++;
  handles_[*token] = handle;
  return ERROR_SUCCESS;
}

void DeviceNotificationHub::Unregister(NotificationToken token) {
  std::lock_guard<std::mutex> g(mu_);
  interfaces_.erase(token);
  handles_.erase(token);
}

void DeviceNotificationHub::Post(uint32_t event_type, const DeviceBroadcast& data) {
  std::vector<Callback> targets;
  {
    std::lock_guard<std::mutex> g(mu_);
    bool handle_known = false;
    for (const auto& [t, h] : handles_) handle_known |= h == data.handle;
    for (const auto& [t, reg] : interfaces_) {
      if (data.device_type == DBT_DEVTYP_DEVICEINTERFACE ? reg.first == data.class_guid : handle_known)
        targets.push_back(reg.second);
    }
  }
  for (const Callback& cb : targets) cb(event_type, data);
}

void DeviceNotificationHub::FailRegistrations(Win32Error code) {
  std::lock_guard<std::mutex> g(mu_);
  fail_ = code;
}

size_t DeviceNotificationHub::RegistrationCount() {
  std::lock_guard<std::mutex> g(mu_);
  return interfaces_.size() + handles_.size();
}

bool DeviceNotificationHub::IsHandleRegistered(DeviceHandle handle) {
  std::lock_guard<std::mutex> g(mu_);
  for (const auto& [t, h] : handles_)
    if (h == handle) return true;
  return false;
}

}  // namespace kelva::platform
