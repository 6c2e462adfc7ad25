// The SG_IO backend of the SCSI device seam, for real units on /dev/sg* (or /dev/sr*).
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/file.h"
#include "platform/scsi_device.h"

namespace kelva::platform {

namespace fs = std::filesystem;

int SgSystem::Open(const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); }
int SgSystem::Close(int fd) { return ::close(fd); }
int SgSystem::Ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

std::string SgSystem::SysfsAttribute(int fd, const char* name) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return {};
  const char* kind = S_ISBLK(st.st_mode) ? "block" : "char";
  const fs::path path = fs::path("/sys/dev") / kind /
                        (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))) / "device" / name;
  std::string text;
  if (ReadWholeFile(path, &text) != ERROR_SUCCESS) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

SgSystem& DefaultSgSystem() {
  static SgSystem sys;
  return sys;
}

namespace {

// Host adapter and driver results of an SG_IO request (from the SCSI layer).
constexpr uint16_t kDidOk = 0x00, kDidNoConnect = 0x01, kDidBusBusy = 0x02, kDidTimeOut = 0x03, kDidBadTarget = 0x04;
constexpr uint16_t kDriverTimeout = 0x06, kDriverMask = 0x0F, kDriverSense = 0x08;

class SgDevice : public ScsiDevice {
 public:
  SgDevice(SgSystem* sys, int fd, uint32_t number) : sys_(sys), fd_(fd), number_(number) {}
  ~SgDevice() override { sys_->Close(fd_); }

  Win32Error Execute(const ScsiCommand& command, ScsiReply* reply) override {
    if (command.cdb_length == 0 || command.cdb_length > kMaxCdbLength ||
        (command.data_length != 0 && command.data == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    sg_io_hdr_t h{};
    uint8_t cdb[kMaxCdbLength];
    std::memcpy(cdb, command.cdb, command.cdb_length);
    uint8_t sense[kSenseLength] = {};
    h.interface_id = 'S';
    h.cmd_len = command.cdb_length;
    h.cmdp = cdb;
    h.mx_sb_len = kSenseLength;
    h.sbp = sense;
    h.dxfer_len = command.data_length;
    h.dxferp = command.data;
    h.dxfer_direction = command.data_length == 0 ? SG_DXFER_NONE
                        : command.direction == ScsiDirection::kFromUnit ? SG_DXFER_FROM_DEV
                                                                        : SG_DXFER_TO_DEV;
    const uint64_t ms = uint64_t{command.timeout_seconds} * 1000;
    h.timeout = static_cast<unsigned>(std::min<uint64_t>(ms, 0x7FFFFFFF));
    if (sys_->Ioctl(fd_, SG_IO, &h) != 0) {
      const int err = errno;
      return err == ENODEV || err == ENXIO ? ERROR_DEVICE_NOT_CONNECTED : FromErrno(err);
    }
    if (h.host_status == kDidTimeOut || (h.driver_status & kDriverMask) == kDriverTimeout) return ERROR_TIMEOUT;
    if (h.host_status == kDidNoConnect || h.host_status == kDidBadTarget) return ERROR_DEVICE_NOT_CONNECTED;
    if (h.host_status == kDidBusBusy) return ERROR_BUSY;
    if (h.host_status != kDidOk) return ERROR_IO_DEVICE;
    if ((h.driver_status & kDriverMask) != 0 && (h.driver_status & kDriverMask) != kDriverSense) return ERROR_IO_DEVICE;
    *reply = ScsiReply{};
    reply->status = h.status;
    std::memcpy(reply->sense, sense, std::min<uint32_t>(h.sb_len_wr, kSenseLength));
    const int resid = h.resid < 0 ? 0 : h.resid;
    reply->transferred = command.data_length > static_cast<uint32_t>(resid) ? command.data_length - resid : 0;
    return ERROR_SUCCESS;
  }

  Win32Error QueryDescriptor(StorageDeviceDescriptor* out) override {
    *out = StorageDeviceDescriptor{};
    out->vendor = sys_->SysfsAttribute(fd_, "vendor");
    out->product = sys_->SysfsAttribute(fd_, "model");
    out->revision = sys_->SysfsAttribute(fd_, "rev");
    // The unit serial number page of INQUIRY; absent on many devices.
    ScsiCommand c;
    const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0x00, 0xFF, 0x00};
    std::memcpy(c.cdb, cdb, 6);
    c.cdb_length = 6;
    c.direction = ScsiDirection::kFromUnit;
    uint8_t page[255] = {};
    c.data = page;
    c.data_length = sizeof page;
    c.timeout_seconds = 30;
    ScsiReply r;
    if (Execute(c, &r) == ERROR_SUCCESS && r.status == kScsiStatusGood && page[1] == 0x80) {
      out->serial.assign(reinterpret_cast<const char*>(page + 4), std::min<size_t>(page[3], sizeof page - 4));
    }
    if (out->vendor.empty() && out->product.empty()) return ERROR_NOT_SUPPORTED;
    return ERROR_SUCCESS;
  }

  Win32Error GetDeviceNumber(uint32_t* out) override {
    *out = number_;
    return ERROR_SUCCESS;
  }

  Win32Error CheckVerify() override { return Simple({0x00, 0, 0, 0, 0, 0}, true); }
  Win32Error EjectMedia() override {
    // Allow removal first, as the storage eject request does.
    Simple({0x1E, 0, 0, 0, 0, 0}, false);
    return Simple({0x1B, 0, 0, 0, 0x02, 0}, false);
  }

 private:
  Win32Error Simple(std::initializer_list<uint8_t> bytes, bool ready_check) {
    ScsiCommand c;
    std::copy(bytes.begin(), bytes.end(), c.cdb);
    c.cdb_length = 6;
    c.timeout_seconds = ready_check ? 30 : 600;
    ScsiReply r;
    if (Win32Error e = Execute(c, &r)) return e;
    if (r.status == kScsiStatusGood) return ERROR_SUCCESS;
    return ready_check ? ERROR_NOT_READY : ERROR_IO_DEVICE;
  }

  SgSystem* sys_;
  int fd_;
  uint32_t number_;
};

}  // namespace

Win32Error OpenSgDevice(const fs::path& node, std::unique_ptr<ScsiDevice>* out, SgSystem* sys) {
  if (sys == nullptr) sys = &DefaultSgSystem();
  const std::string name = node.filename().string();
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  if (digits == name.size() || name.size() - digits > 6) return ERROR_INVALID_NAME;
  const uint32_t number = static_cast<uint32_t>(std::stoul(name.substr(digits)));
  const int fd = sys->Open(node.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return FromErrno(errno);
  int version = 0;
  if (sys->Ioctl(fd, SG_GET_VERSION_NUM, &version) != 0 || version < 30000) {
    sys->Close(fd);
    return ERROR_NOT_SUPPORTED;
  }
  *out = std::make_unique<SgDevice>(sys, fd, number);
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
