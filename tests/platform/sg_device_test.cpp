// The SG_IO backend against a fake kernel: what it hands to SG_IO and how it
// reads the kernel's answer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/scsi_device.h"

namespace kelva::platform {
namespace {

class FakeSg : public SgSystem {
 public:
  int Open(const char* path, int) override {
    opened = path;
    return open_result;
  }
  int Close(int) override {
    ++closes;
    return 0;
  }
  int Ioctl(int, unsigned long request, void* arg) override {
    if (request == SG_GET_VERSION_NUM) {
      *static_cast<int*>(arg) = version;
      return 0;
    }
    if (request != SG_IO) return -1;
    auto* h = static_cast<sg_io_hdr_t*>(arg);
    last = *h;
    std::memcpy(last_cdb, h->cmdp, h->cmd_len);
    if (ioctl_errno) {
      errno = ioctl_errno;
      return -1;
    }
    if (h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxfer_len) std::memset(h->dxferp, 0xAB, h->dxfer_len);
    h->status = status;
    h->host_status = host_status;
    h->driver_status = driver_status;
    h->resid = resid;
    if (status == 2) {
      std::memcpy(h->sbp, sense, sizeof sense);
      h->sb_len_wr = 18;
    }
    return 0;
  }
  std::string SysfsAttribute(int, const char* name) override {
    if (std::strcmp(name, "vendor") == 0) return "KORRINDA";
    if (std::strcmp(name, "model") == 0) return "QX V1A0         ";
    return "0100";
  }

  std::string opened;
  int open_result = 5, version = 30527, closes = 0, ioctl_errno = 0, resid = 0;
  uint8_t status = 0;
  uint16_t host_status = 0, driver_status = 0;
  uint8_t sense[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x01};
  sg_io_hdr_t last{};
  uint8_t last_cdb[16] = {};
};

TEST(SgDevice, OpensNodesAndNumbersThemByName) {
  FakeSg sys;
  std::unique_ptr<ScsiDevice> device;
  ASSERT_EQ(OpenSgDevice("/dev/sg3", &device, &sys), 0u);
  EXPECT_EQ(sys.opened, "/dev/sg3");
  uint32_t number = 0;
  ASSERT_EQ(device->GetDeviceNumber(&number), 0u);
  EXPECT_EQ(number, 3u);
  StorageDeviceDescriptor d;
  ASSERT_EQ(device->QueryDescriptor(&d), 0u);
  EXPECT_EQ(d.vendor, "KORRINDA");
  EXPECT_EQ(d.product, "QX V1A0         ");
  device.reset();
  EXPECT_EQ(sys.closes, 1);

  EXPECT_EQ(OpenSgDevice("/dev/sg", &device, &sys), ERROR_INVALID_NAME);
  sys.version = 20000;  // not an sg driver that speaks SG_IO
  EXPECT_EQ(OpenSgDevice("/dev/sg1", &device, &sys), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(sys.closes, 2);
}

TEST(SgDevice, PassesTheRequestAndReadsTheAnswer) {
  FakeSg sys;
  std::unique_ptr<ScsiDevice> device;
  ASSERT_EQ(OpenSgDevice("/dev/sg0", &device, &sys), 0u);
  uint8_t data[4096];
  ScsiCommand c;
  const uint8_t cdb[10] = {0x28, 0, 0, 0, 1, 0, 0, 0, 2, 0};
  std::memcpy(c.cdb, cdb, 10);
  c.cdb_length = 10;
  c.direction = ScsiDirection::kFromUnit;
  c.data = data;
  c.data_length = sizeof data;
  c.timeout_seconds = 600;
  sys.resid = 96;
  ScsiReply r;
  ASSERT_EQ(device->Execute(c, &r), 0u);
  EXPECT_EQ(sys.last.interface_id, 'S');
  EXPECT_EQ(sys.last.cmd_len, 10);
  EXPECT_EQ(0, std::memcmp(sys.last_cdb, cdb, 10));
  EXPECT_EQ(sys.last.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(sys.last.dxfer_len, 4096u);
  EXPECT_EQ(sys.last.timeout, 600000u);
  EXPECT_EQ(sys.last.mx_sb_len, 32);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.transferred, 4000u);

  c.direction = ScsiDirection::kToUnit;
  ASSERT_EQ(device->Execute(c, &r), 0u);
  EXPECT_EQ(sys.last.dxfer_direction, SG_DXFER_TO_DEV);
  c.data_length = 0;
  c.data = nullptr;
  ASSERT_EQ(device->Execute(c, &r), 0u);
  EXPECT_EQ(sys.last.dxfer_direction, SG_DXFER_NONE);

  // A check condition is an answer with its sense.
  sys.status = 2;
  sys.driver_status = 0x08;
  ASSERT_EQ(device->Execute(c, &r), 0u);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(SenseKey(r.sense), 2);
  EXPECT_EQ(SenseAsc(r.sense), 0x3A);
  EXPECT_EQ(SenseAscq(r.sense), 0x01);
  EXPECT_EQ(device->CheckVerify(), ERROR_NOT_READY);
}

TEST(SgDevice, TransportFailuresBecomeWin32Codes) {
  FakeSg sys;
  std::unique_ptr<ScsiDevice> device;
  ASSERT_EQ(OpenSgDevice("/dev/sg0", &device, &sys), 0u);
  ScsiCommand c;
  c.cdb_length = 6;
  ScsiReply r;
  sys.host_status = 0x03;
  EXPECT_EQ(device->Execute(c, &r), ERROR_TIMEOUT);
  sys.host_status = 0x01;
  EXPECT_EQ(device->Execute(c, &r), ERROR_DEVICE_NOT_CONNECTED);
  sys.host_status = 0x07;
  EXPECT_EQ(device->Execute(c, &r), ERROR_IO_DEVICE);
  sys.host_status = 0;
  sys.driver_status = 0x06;
  EXPECT_EQ(device->Execute(c, &r), ERROR_TIMEOUT);
  sys.driver_status = 0;
  sys.ioctl_errno = ENODEV;
  EXPECT_EQ(device->Execute(c, &r), ERROR_DEVICE_NOT_CONNECTED);
  sys.ioctl_errno = EACCES;
  EXPECT_EQ(device->Execute(c, &r), ERROR_ACCESS_DENIED);
  c.cdb_length = 17;
  EXPECT_EQ(device->Execute(c, &r), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kelva::platform

namespace kelva::platform {
namespace {

// Runs only where a real archive unit is attached.
TEST(SgDevice, RealUnitAnswersInquiry) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sg", 0) != 0) continue;
    std::unique_ptr<ScsiDevice> device;
    if (OpenSgDevice(entry.path(), &device) != ERROR_SUCCESS) continue;
    StorageDeviceDescriptor d;
    if (device->QueryDescriptor(&d) != ERROR_SUCCESS || d.product.rfind("QX V1A0", 0) != 0) continue;
    ScsiCommand c;
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x40, 0};
    std::memcpy(c.cdb, cdb, 6);
    c.cdb_length = 6;
    c.direction = ScsiDirection::kFromUnit;
    uint8_t inquiry[64] = {};
    c.data = inquiry;
    c.data_length = sizeof inquiry;
    ScsiReply r;
    ASSERT_EQ(device->Execute(c, &r), ERROR_SUCCESS);
    EXPECT_EQ(r.status, kScsiStatusGood);
    EXPECT_EQ(inquiry[0] & 0x1F, 0x05);
    return;
  }
  GTEST_SKIP() << "no archive unit attached";
}

}  // namespace
}  // namespace kelva::platform
