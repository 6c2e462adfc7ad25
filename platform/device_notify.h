// Device notifications: registration for device-interface arrivals and removals
// of a device class, and for the events of one open device handle (media
// arrival and removal). The device manager delivers events through this seam;
// until it exists, DeviceNotificationHub stands in and lets tests post events.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/guid.h"

namespace kelva::platform {

// An open device (a descriptor of the device node or of the simulated unit).
using DeviceHandle = intptr_t;
inline constexpr DeviceHandle kInvalidDeviceHandle = -1;

// Device event types (DBT_*) and header kinds (DBT_DEVTYP_*).
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr uint32_t DBT_CUSTOMEVENT = 0x8006;
inline constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
inline constexpr uint32_t DBT_DEVTYP_HANDLE = 6;

// The optical device interface class {53F56308-B6BF-11D0-94F2-00A0C91EFB8B}
// and the media events of a handle header, {D07433C0-A98E-11D2-917A-00A0C9068FF3}
// (arrival) and {D07433C1-A98E-11D2-917A-00A0C9068FF3} (removal).
inline constexpr Guid kCdromInterfaceClass{0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr Guid kMediaArrivalEvent{0xD07433C0, 0xA98E, 0x11D2, {0x91, 0x7A, 0x00, 0xA0, 0xC9, 0x06, 0x8F, 0xF3}};
inline constexpr Guid kMediaRemovalEvent{0xD07433C1, 0xA98E, 0x11D2, {0x91, 0x7A, 0x00, 0xA0, 0xC9, 0x06, 0x8F, 0xF3}};

// The event data: a device-interface header (class and interface path) or a
// handle header (the handle and, for custom events, the event GUID).
struct DeviceBroadcast {
  uint32_t device_type = 0;
  Guid class_guid;          // device-interface header
  std::string name;         // device-interface header: the interface path
  DeviceHandle handle = kInvalidDeviceHandle;  // handle header
  Guid event_guid;          // handle header, DBT_CUSTOMEVENT
};

using NotificationToken = uint64_t;  // 0 is never a valid token

class DeviceNotifications {
 public:
  using Callback = std::function<void(uint32_t event_type, const DeviceBroadcast& data)>;
  DeviceNotifications() = default;
  DeviceNotifications(const DeviceNotifications&) = delete;
  DeviceNotifications& operator=(const DeviceNotifications&) = delete;
  virtual ~DeviceNotifications() = default;

  // Calls callback (on the notifier's thread) for every arrival and removal of
  // an interface of class_guid and for the events of every registered handle.
  virtual Win32Error RegisterInterfaceNotification(const Guid& class_guid, Callback callback,
                                                   NotificationToken* token) = 0;
  // Adds the events of one device handle; *token is unregistered when the unit goes.
  virtual Win32Error RegisterHandleNotification(DeviceHandle handle, NotificationToken* token) = 0;
  virtual void Unregister(NotificationToken token) = 0;
};

// Keeps the registrations and delivers what is posted to it, synchronously, on
// the posting thread. Used until a device manager delivers real events, and by tests.
class DeviceNotificationHub final : public DeviceNotifications {
 public:
  Win32Error RegisterInterfaceNotification(const Guid& class_guid, Callback callback,
                                           NotificationToken* token) override;
  Win32Error RegisterHandleNotification(DeviceHandle handle, NotificationToken* token) override;
  void Unregister(NotificationToken token) override;

  // Delivers an event to every interface registration whose class matches (for
  // interface events) or to all of them (for handle events of a registered handle).
  void Post(uint32_t event_type, const DeviceBroadcast& data);
  // Makes the next registrations fail with code (0: succeed again).
  void FailRegistrations(Win32Error code);
  size_t RegistrationCount();
  bool IsHandleRegistered(DeviceHandle handle);

 private:
  std::mutex mu_;
  NotificationToken next_ = 1;
  Win32Error fail_ = ERROR_SUCCESS;
  std::map<NotificationToken, std::pair<Guid, Callback>> interfaces_;
  std::map<NotificationToken, DeviceHandle> handles_;
};

}  // namespace kelva::platform
