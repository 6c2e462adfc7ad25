// The SCSI device seam: how Kelva talks to an archive unit. Every command the
// service sends to a unit (standard multimedia commands and the unit's vendor
// commands) goes through ScsiDevice::Execute, and the few storage requests the
// service makes on a unit's device (identity, device number, medium check,
// eject) go through the other methods.
//
// Backends:
//   - OpenSgDevice: a real unit on /dev/sg* through the SG_IO request;
//   - OpenUnitSocket (platform/unit_socket.h): a simulated unit published by
//     kelva-unitsim on its Unix socket;
//   - the simulated unit in the caller's own process (emulator/, which
//     implements this interface).
//
// Thread safety: every implementation accepts calls from several threads at
// once; commands to one device are executed one at a time in arrival order.
// Implementations never throw.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/errors.h"

namespace kelva::platform {

// Direction of the data phase, with the values of the pass-through request:
// 0 = to the unit, 1 = from the unit. A command without data uses kToUnit with
// a length of 0.
enum class ScsiDirection : uint8_t { kToUnit = 0, kFromUnit = 1 };

inline constexpr uint32_t kSenseLength = 32;
inline constexpr uint32_t kMaxCdbLength = 16;

// SCSI status byte values.
inline constexpr uint8_t kScsiStatusGood = 0x00;
inline constexpr uint8_t kScsiStatusCheckCondition = 0x02;

// One command block with its data phase. The buffer belongs to the caller and
// must hold data_length bytes; for kFromUnit it is filled by the device.
struct ScsiCommand {
  uint8_t cdb[kMaxCdbLength] = {};
  uint8_t cdb_length = 0;  // 6, 10, 12 or 16
  ScsiDirection direction = ScsiDirection::kToUnit;
  void* data = nullptr;
  uint32_t data_length = 0;
  uint32_t timeout_seconds = 60;
};

// What came back from the device when the transport delivered the command.
struct ScsiReply {
  uint8_t status = kScsiStatusGood;  // SCSI status byte
  uint8_t sense[kSenseLength] = {};  // fixed-format sense data, zero when none
  uint32_t transferred = 0;          // bytes of the data phase actually moved
};

// The storage device descriptor strings, as the device reports them (padding
// blanks kept).
struct StorageDeviceDescriptor {
  std::string vendor;    // 8 characters for a SCSI device, e.g. "KORRINDA"
  std::string product;   // 16 characters
  std::string revision;  // 4 characters
  std::string serial;    // may be empty
};

class ScsiDevice {
 public:
  ScsiDevice() = default;
  ScsiDevice(const ScsiDevice&) = delete;
  ScsiDevice& operator=(const ScsiDevice&) = delete;
  virtual ~ScsiDevice() = default;

  // Sends one command. Returns ERROR_SUCCESS when the device answered (the SCSI
  // status and sense are then in *reply, which may well be CHECK CONDITION);
  // otherwise a Win32 code for a transport failure, with *reply unspecified:
  //   ERROR_DEVICE_NOT_CONNECTED  the device is gone (unplugged, socket closed);
  //   ERROR_TIMEOUT               no answer within the command's time-out;
  //   ERROR_INVALID_PARAMETER     malformed request (CDB length, buffer);
  //   other codes                 as the operating system reported them.
  virtual Win32Error Execute(const ScsiCommand& command, ScsiReply* reply) = 0;

  // The storage device descriptor (vendor, product, revision, serial).
  virtual Win32Error QueryDescriptor(StorageDeviceDescriptor* out) = 0;
  // The device number (as in the name of the optical device, "cdrom<N>").
  virtual Win32Error GetDeviceNumber(uint32_t* out) = 0;
  // ERROR_SUCCESS when a medium is in the drive and ready; ERROR_NOT_READY (or
  // ERROR_NO_MEDIA_IN_DRIVE) when not; a transport error otherwise.
  virtual Win32Error CheckVerify() = 0;
  // Ejects the medium (the whole magazine for an archive unit).
  virtual Win32Error EjectMedia() = 0;
};

// Forwards every call to another device; a test derives from it and overrides
// the one call it injects a fault into. Does not own the target.
class ScsiDeviceWrapper : public ScsiDevice {
 public:
  explicit ScsiDeviceWrapper(ScsiDevice* target) : target_(target) {}
  ScsiDevice* target() const { return target_; }

  Win32Error Execute(const ScsiCommand& command, ScsiReply* reply) override {
    return target_->Execute(command, reply);
  }
  Win32Error QueryDescriptor(StorageDeviceDescriptor* out) override {
    return target_->QueryDescriptor(out);
  }
  Win32Error GetDeviceNumber(uint32_t* out) override { return target_->GetDeviceNumber(out); }
  Win32Error CheckVerify() override { return target_->CheckVerify(); }
  Win32Error EjectMedia() override { return target_->EjectMedia(); }

 private:
  ScsiDevice* target_;
};

// The system calls a real /dev/sg* backend makes, behind a table so that the
// backend can be tested without a device. The default table calls the kernel.
struct SgSystem {
  virtual ~SgSystem() = default;
  virtual int Open(const char* path, int flags);
  virtual int Close(int fd);
  // ioctl(fd, request, arg); returns -1 with errno set on failure.
  virtual int Ioctl(int fd, unsigned long request, void* arg);
  // The text of a sysfs attribute of the SCSI device behind fd ("vendor",
  // "model", "rev"); empty when missing.
  virtual std::string SysfsAttribute(int fd, const char* name);
};
SgSystem& DefaultSgSystem();

// Opens a real device node (/dev/sgN or /dev/srN) for SG_IO. The device number
// is N of the node's name. sys (optional) replaces the kernel for tests.
Win32Error OpenSgDevice(const std::filesystem::path& node, std::unique_ptr<ScsiDevice>* out,
                        SgSystem* sys = nullptr);

// Sense helpers for fixed-format sense data.
inline uint8_t SenseKey(const uint8_t* sense) { return sense[2] & 0x0F; }
inline uint8_t SenseAsc(const uint8_t* sense) { return sense[12]; }
inline uint8_t SenseAscq(const uint8_t* sense) { return sense[13]; }

}  // namespace kelva::platform
