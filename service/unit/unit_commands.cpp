#include "service/unit/unit_commands.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/big_endian.h"

namespace kelva::unit {

namespace {

using platform::GetBe16;
using platform::GetBe24;
using platform::GetBe32;
using platform::PutBe16;
using platform::PutBe24;
using platform::PutBe32;

using platform::ScsiCommand;
using platform::ScsiDirection;
using platform::ScsiReply;

constexpr uint32_t kShortTimeout = 30;
constexpr uint32_t kTimeout = 60;
constexpr uint32_t kLongTimeout = 600;
constexpr int kSendAttempts = 3;


// A command without data.
uint32_t SendNoData(DeviceHandle device, const uint8_t* cdb, uint32_t timeout) {
  return Send(device, cdb, kDirectionToUnit, nullptr, 0, timeout);
}

// A vendor command without data.
uint32_t VendorNoData(DeviceHandle device, uint8_t function, uint8_t byte1, uint8_t byte2,
                      uint32_t timeout = kTimeout) {
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFB, function, byte1, byte2, 0);
  return SendNoData(device, cdb, timeout);
}

// A vendor read of length bytes into buffer.
uint32_t VendorRead(DeviceHandle device, uint8_t function, uint8_t byte1, uint8_t byte2,
                    void* buffer, uint32_t length, uint32_t timeout = kTimeout) {
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFC, function, byte1, byte2, length);
  return Send(device, cdb, kDirectionFromUnit, buffer, length, timeout);
}

constexpr uint8_t kFnParameter = 0x1D;

}  // namespace

uint8_t CdbLength(uint8_t operation_code) {
  switch (operation_code >> 5) {
    case 0: return 6;
    case 1: case 2: case 3: return 10;
    case 4: return 16;
    default: return 12;
  }
}

uint32_t Send(DeviceHandle device, const uint8_t* cdb, uint8_t direction, void* buffer,
              uint32_t length, uint32_t timeout_seconds) {
  if (device == nullptr) return kStatusInvalidHandle;
  ScsiCommand command;
  command.cdb_length = CdbLength(cdb[0]);
  std::memcpy(command.cdb, cdb, command.cdb_length);
  command.direction = direction == kDirectionFromUnit ? ScsiDirection::kFromUnit : ScsiDirection::kToUnit;
  command.data = length != 0 ? buffer : nullptr;
  command.data_length = buffer != nullptr ? length : 0;
  command.timeout_seconds = timeout_seconds;
  platform::Win32Error error = platform::ERROR_SUCCESS;
  ScsiReply reply;
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    reply = ScsiReply{};
    error = device->Execute(command, &reply);
    if (error == platform::ERROR_SUCCESS) break;
  }
  if (error != platform::ERROR_SUCCESS) return error;
  return static_cast<uint32_t>(reply.status) << 24 | static_cast<uint32_t>(reply.sense[2]) << 16 |
         static_cast<uint32_t>(reply.sense[12]) << 8 | reply.sense[13];
}

void BuildVendorCdb(uint8_t cdb[12], uint8_t opcode, uint8_t function, uint8_t byte1,
                    uint8_t byte2, uint32_t length) {
  std::memset(cdb, 0, 12);
  cdb[0] = opcode;
  cdb[1] = byte1;
  cdb[2] = byte2;
  PutBe32(cdb + 6, length);
  cdb[10] = function;
}

// ---- standard commands ------------------------------------------------------

uint32_t TestUnitReady(DeviceHandle device) {
  const uint8_t cdb[6] = {0x00};
  return SendNoData(device, cdb, kShortTimeout);
}

uint32_t Inquiry(DeviceHandle device, uint8_t inquiry[64]) {
  const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x40, 0};
  return Send(device, cdb, kDirectionFromUnit, inquiry, 64, kTimeout);
}

bool ReadCapacity(DeviceHandle device, uint32_t* last_lba, uint32_t* block_length) {
  const uint8_t cdb[10] = {0x25};
  uint8_t data[8] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  *last_lba = GetBe32(data);
  *block_length = GetBe32(data + 4);
  return true;
}

uint32_t StartStopUnit(DeviceHandle device, uint8_t action) {
  const uint8_t cdb[6] = {0x1B, 0, 0, 0, action, 0};
  return SendNoData(device, cdb, kLongTimeout);
}

uint32_t FormatUnit(DeviceHandle device, uint8_t magazine_type_code) {
  const uint8_t cdb[6] = {0x04, 0x11};
  uint8_t list[12] = {0x00, 0x80, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
  if (magazine_type_code == kMagazineRewritable) PutBe24(list + 9, kSectorSize);
  return Send(device, cdb, kDirectionToUnit, list, sizeof list, kLongTimeout);
}

uint32_t Read10(DeviceHandle device, uint32_t lba, uint16_t count, void* buffer) {
  uint8_t cdb[10] = {0x28};
  PutBe32(cdb + 2, lba);
  PutBe16(cdb + 7, count);
  return Send(device, cdb, kDirectionFromUnit, buffer, count * kSectorSize, kLongTimeout);
}

uint32_t Write10(DeviceHandle device, uint32_t lba, uint16_t count, const void* buffer) {
  uint8_t cdb[10] = {0x2A};
  PutBe32(cdb + 2, lba);
  PutBe16(cdb + 7, count);
  // The buffer is only read for a data-out command.
  return Send(device, cdb, kDirectionToUnit, const_cast<void*>(buffer), count * kSectorSize,
              kLongTimeout);
}

uint32_t SynchronizeCache(DeviceHandle device) {
  const uint8_t cdb[10] = {0x35};
  return SendNoData(device, cdb, kLongTimeout);
}

bool GetPowerStatus(DeviceHandle device, uint8_t* power_status) {
  const uint8_t cdb[10] = {0x4A, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x10, 0x00};
  uint8_t data[16] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  *power_status = data[5];
  return true;
}

bool ReadDiscInformation(DeviceHandle device, uint8_t* disc_status, uint16_t* last_track) {
  uint8_t cdb[10] = {0x51};
  PutBe16(cdb + 7, 42);
  uint8_t data[42] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  *disc_status = data[2] & 3;
  *last_track = static_cast<uint16_t>(data[11] * 256 + data[6]);
  return true;
}

bool ReadPowResources(DeviceHandle device, uint32_t counters[3]) {
  uint8_t cdb[10] = {0x51, 0x02};
  PutBe16(cdb + 7, 16);
  uint8_t data[16] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  for (int i = 0; i < 3; ++i) counters[i] = GetBe32(data + 4 + 4 * i);
  return true;
}

bool ReadTrackInformation(DeviceHandle device, uint16_t track, TrackInformation* out) {
  uint8_t cdb[10] = {0x52, 0x01};
  PutBe16(cdb + 4, track);
  PutBe16(cdb + 7, 48);
  uint8_t data[48] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  out->start = GetBe32(data + 8);
  out->next_writable = (data[7] & 1) ? GetBe32(data + 12) : 0xFFFFFFFFu;
  out->free_blocks = GetBe32(data + 16);
  out->size = GetBe32(data + 24);
  return true;
}

uint32_t ReserveTrackAt(DeviceHandle device, uint32_t address) {
  uint8_t cdb[10] = {0x53, 0x01};
  PutBe32(cdb + 2, address);
  return SendNoData(device, cdb, kTimeout);
}

uint32_t ReserveTrack(DeviceHandle device) {
  const uint8_t cdb[10] = {0x53};
  return SendNoData(device, cdb, kTimeout);
}

uint32_t AllowMediumRemoval(DeviceHandle device) {
  const uint8_t cdb[6] = {0x1E};
  return SendNoData(device, cdb, kLongTimeout);
}

uint32_t GetConfiguration(DeviceHandle device, uint8_t requested_type, uint16_t starting_feature,
                          void* buffer, uint16_t length) {
  uint8_t cdb[10] = {0x46, requested_type};
  PutBe16(cdb + 2, starting_feature);
  PutBe16(cdb + 7, length);
  return Send(device, cdb, kDirectionFromUnit, buffer, length, kTimeout);
}

bool GetCurrentProfile(DeviceHandle device, uint16_t* profile) {
  std::vector<uint8_t> data(512);
  if (GetConfiguration(device, 0x02, 0x0000, data.data(), 512) != 0) return false;
  const uint32_t available = std::min<uint32_t>(GetBe32(data.data()) + 4, 512);
  // The profile list feature (0) follows the 8-byte header.
  if (available < 12 || GetBe16(&data[8]) != 0x0000) return false;
  const uint32_t end = std::min<uint32_t>(12 + data[11], available);
  for (uint32_t p = 12; p + 4 <= end; p += 4) {
    if (data[p + 2] & 1) {
      *profile = GetBe16(&data[p]);
      return true;
    }
  }
  return false;
}

bool IsFormattableFeatureCurrent(DeviceHandle device) {
  uint8_t data[20] = {};
  if (GetConfiguration(device, 0x02, 0x0023, data, sizeof data) != 0) return false;
  return GetBe32(data) >= 16 && GetBe16(data + 8) == 0x0023 && (data[10] & 1);
}

bool ReadDriveSerial(DeviceHandle device, std::string* serial) {
  TestUnitReady(device);
  uint8_t data[64] = {};
  if (GetConfiguration(device, 0x00, 0x0108, data, sizeof data) != 0) return false;
  if (GetBe32(data) < 12 || GetBe16(data + 8) != 0x0108) return false;
  const uint32_t length = std::min<uint32_t>(data[11], 32);
  serial->assign(reinterpret_cast<const char*>(data + 12), length);
  return true;
}

namespace {
int MechanismQuery(DeviceHandle device, bool idle, uint8_t* value) {
  uint8_t cdb[12] = {0xBD};
  PutBe16(cdb + 8, 56);
  uint8_t data[56] = {};
  const uint32_t status = Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout);
  if (status != 0) {
    return (Low24(status) == kSenseHardware44 || Low24(status) == kSenseHardware08) ? 4 : 5;
  }
  if (data[0] & 0x80) return 2;
  const bool bit5 = (data[1] & 0x20) != 0;
  if (idle ? bit5 : !bit5) return 1;
  if (data[1] & 0x10) return 3;
  *value = idle ? (data[0] & 0x60) : (data[0] & 0x1F);
  return 0;
}
}  // namespace

int MechanismSlotQuery(DeviceHandle device, uint8_t* slot) { return MechanismQuery(device, false, slot); }
int MechanismIdleQuery(DeviceHandle device, uint8_t* changer_state) {
  return MechanismQuery(device, true, changer_state);
}

uint32_t SetModePage0Byte2(DeviceHandle device, uint8_t value) {
  uint8_t sense_cdb[10] = {0x5A, 0x08, 0x00};
  PutBe16(sense_cdb + 7, 12);
  uint8_t page[12] = {};
  uint32_t status = Send(device, sense_cdb, kDirectionFromUnit, page, sizeof page, kTimeout);
  if (status != 0) return status;
  page[10] = value;
  uint8_t select_cdb[10] = {0x55, 0x10};
  PutBe16(select_cdb + 7, 12);
  return Send(device, select_cdb, kDirectionToUnit, page, sizeof page, kTimeout);
}

uint32_t CloseSessionFinalize(DeviceHandle device) {
  const uint8_t cdb[10] = {0x5B, 0x00, 0x06};
  return SendNoData(device, cdb, kLongTimeout);
}

uint32_t UnloadMedium(DeviceHandle device, uint8_t control) {
  uint8_t cdb[12] = {0xA6};
  cdb[4] = 2;
  cdb[11] = control;
  return SendNoData(device, cdb, kTimeout);
}

uint32_t SelectSlot(DeviceHandle device, uint8_t slot) {
  uint8_t cdb[12] = {0xA6};
  cdb[4] = 0;
  cdb[8] = slot;
  cdb[11] = 0x40;
  return SendNoData(device, cdb, kTimeout);
}

uint32_t LoadSlot(DeviceHandle device, uint8_t slot) {
  uint8_t cdb[12] = {0xA6};
  cdb[4] = 3;
  cdb[8] = slot;
  return SendNoData(device, cdb, kTimeout);
}

uint32_t WriteFirmwareChunk(DeviceHandle device, uint32_t offset, const void* data, uint32_t length) {
  uint8_t cdb[12] = {0xEA};
  PutBe24(cdb + 3, offset);
  PutBe24(cdb + 6, length);
  return Send(device, cdb, kDirectionToUnit, const_cast<void*>(data), length, kLongTimeout);
}

uint32_t ReadFirmwareChunk(DeviceHandle device, uint32_t offset, void* data, uint32_t length) {
  uint8_t cdb[12] = {0xE8};
  PutBe24(cdb + 3, offset);
  PutBe24(cdb + 6, length);
  return Send(device, cdb, kDirectionFromUnit, data, length, kLongTimeout);
}

uint32_t ActivateFirmware(DeviceHandle device) {
  const uint8_t cdb[12] = {0xF5};
  return SendNoData(device, cdb, kLongTimeout);
}

bool ReadBridgeVersion(DeviceHandle device, uint16_t* version, uint8_t raw[64]) {
  // The bridge answers this buffer read with 64 bytes whatever the allocation
  // field says; the field keeps the value the bridge firmware expects.
  const uint8_t cdb[10] = {0x3C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00};
  uint8_t data[64] = {};
  if (Send(device, cdb, kDirectionFromUnit, data, sizeof data, kTimeout) != 0) return false;
  *version = GetBe16(data + 2);
  if (raw != nullptr) std::memcpy(raw, data, sizeof data);
  return true;
}

// ---- vendor functions -------------------------------------------------------

bool ReadUnitStatus(DeviceHandle device, UnitStatus* out, platform::Clock& clock) {
  if (device == nullptr) return false;
  TestUnitReady(device);
  uint8_t page[256] = {};
  bool have_page = false;
  for (int read = 0; read < 50; ++read) {
    if (read > 0) clock.Sleep(100);
    std::memset(page, 0, sizeof page);
    const uint32_t status = VendorRead(device, 0x1F, 0, 0, page, sizeof page);
    have_page = status == 0;
    if (have_page && GetBe16(page) >= 9) break;
  }
  if (!have_page) return false;
  out->magazine_type = page[2];
  out->capacity_code = page[4] & 0x0F;
  out->disc_away = (page[7] & 0x80) != 0;
  out->status_a = page[8];
  out->status_b = page[9];
  out->status_c = page[10] & 0x0F;
  return true;
}

bool ReadEnvironment(DeviceHandle device, UnitEnvironment* out) {
  uint8_t data[16] = {};
  if (VendorRead(device, 0x21, 0, 0, data, sizeof data) != 0) return false;
  out->temperature_limit = data[2];
  out->temperature = data[3];
  out->preparation_required = (data[4] & 0x08) != 0;
  out->preparation_in_progress = (data[4] & 0x01) != 0;
  return true;
}

uint32_t PrepareForWriting(DeviceHandle device) { return VendorNoData(device, 0x22, 0x10, 0x0A); }

uint32_t SetUnitClock(DeviceHandle device, const platform::SystemTime& utc) {
  uint8_t data[18] = {};
  char digits[15];
  std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d", utc.wYear % 10000, utc.wMonth % 100,
                utc.wDay % 100, utc.wHour % 100, utc.wMinute % 100, utc.wSecond % 100);
  std::memcpy(data + 4, digits, 14);
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFB, 0x51, 0, 0, sizeof data);
  return Send(device, cdb, kDirectionToUnit, data, sizeof data, kTimeout);
}

uint32_t ReadLogSection(DeviceHandle device, uint8_t selector, void* buffer, uint32_t length) {
  return VendorRead(device, 0x51, 0, selector, buffer, length);
}

uint32_t ReadCounterPage(DeviceHandle device, uint8_t page_control, uint8_t page, void* buffer,
                         uint8_t length) {
  if (length > 64) length = 64;
  return VendorRead(device, 0x52, 0, static_cast<uint8_t>(page_control << 6 | (page & 0x3F)), buffer,
                    length);
}

bool ReadEventList(DeviceHandle device, EventList* out) {
  uint8_t data[132] = {};
  if (VendorRead(device, 0x54, 0, 0, data, sizeof data) != 0) return false;
  const uint8_t length = data[1];
  if (length < 4 || length % 4 != 0) return false;
  const uint32_t count = length / 4 - 1;
  if (count > 32) return false;
  out->count = static_cast<uint8_t>(count);
  out->pending = data[2];
  for (uint32_t i = 0; i < 32; ++i) {
    const uint8_t* e = data + 4 + 4 * i;
    out->entries[i] = i < count ? (static_cast<uint32_t>(e[0]) << 16 | e[1] << 8 | e[2]) : 0;
  }
  return true;
}

uint32_t ParameterReadLength(uint8_t parameter) {
  switch (parameter) {
    case kParamMagazineId: return 16;
    case kParamMagazineLabel: return 20;
    case kParamCurrentDisc: return 8;
    case kParamWriteProtect: return 8;
    case kParamHostMemo: return 72;
    case kParamFormatCounter: return 8;
    default: return 0;
  }
}

bool ReadParameter(DeviceHandle device, uint8_t parameter, void* buffer, uint32_t length) {
  if (length < 3) return false;
  std::memset(buffer, 0, length);
  if (VendorRead(device, kFnParameter, parameter, 0, buffer, length) != 0) return false;
  return static_cast<const uint8_t*>(buffer)[2] != 0;
}

uint32_t WriteParameter(DeviceHandle device, uint8_t parameter, const void* data, uint32_t length) {
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFB, kFnParameter, parameter, 0, length);
  return Send(device, cdb, kDirectionToUnit, const_cast<void*>(data), length, kTimeout);
}

bool ReadMagazineId(DeviceHandle device, uint8_t id[12]) {
  uint8_t data[16];
  if (!ReadParameter(device, kParamMagazineId, data, sizeof data)) return false;
  std::memcpy(id, data + 4, 12);
  return true;
}

bool ReadMagazineLabel(DeviceHandle device, uint8_t label[11]) {
  uint8_t data[20];
  if (!ReadParameter(device, kParamMagazineLabel, data, sizeof data)) return false;
  std::memcpy(label, data + 4, 11);
  return true;
}

bool ReadCurrentDisc(DeviceHandle device, uint8_t* disc) {
  uint8_t data[8];
  if (!ReadParameter(device, kParamCurrentDisc, data, sizeof data)) return false;
  *disc = data[4];
  return true;
}

uint32_t WriteCurrentDisc(DeviceHandle device, uint8_t disc) {
  const uint8_t data[4] = {disc, 0, 0, 0};
  return WriteParameter(device, kParamCurrentDisc, data, sizeof data);
}

bool ReadWriteProtect(DeviceHandle device, bool* protect) {
  uint8_t data[8];
  if (!ReadParameter(device, kParamWriteProtect, data, sizeof data)) return false;
  *protect = (data[4] & 1) != 0;
  return true;
}

bool ReadHostMemo(DeviceHandle device, HostMemo* out) {
  uint8_t data[72];
  if (!ReadParameter(device, kParamHostMemo, data, sizeof data)) return false;
  out->flag = (data[4] & 0x80) != 0;
  out->number = static_cast<uint16_t>((data[4] & 0x7F) * 256 + data[5]);
  std::memcpy(out->memo, data + 8, 64);
  return true;
}

uint32_t WriteHostMemo(DeviceHandle device, const uint8_t memo[64]) {
  uint8_t data[68] = {0x00, 0x00, 0x00, 0x40};
  std::memcpy(data + 4, memo, 64);
  return WriteParameter(device, kParamHostMemo, data, sizeof data);
}

bool ReadFormatCounter(DeviceHandle device, uint16_t* counter) {
  uint8_t data[8];
  if (!ReadParameter(device, kParamFormatCounter, data, sizeof data)) return false;
  *counter = GetBe16(data + 4);
  return true;
}

uint32_t WriteFormatCounter(DeviceHandle device, uint16_t counter) {
  const uint8_t data[4] = {static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter), 0, 0};
  return WriteParameter(device, kParamFormatCounter, data, sizeof data);
}

uint32_t SendParameterCommit(DeviceHandle device) {
  return VendorNoData(device, kFnParameter, kParamCommit, 0);
}

uint32_t MagazineHold(DeviceHandle device, bool engage) {
  return VendorNoData(device, 0x80, engage ? 3 : 0, 0);
}

bool ReadHoldStatus(DeviceHandle device, HoldStatus* out) {
  uint8_t data[4] = {};
  if (VendorRead(device, 0x80, 0, 0, data, sizeof data) != 0) return false;
  out->engaged = (data[0] & 3) == 3;
  out->release_requested = (data[1] & 1) != 0;
  return true;
}

bool ReadDiscInfoSize(DeviceHandle device, uint8_t kind, uint8_t* chunks, uint32_t* size) {
  uint8_t data[8] = {};
  if (VendorRead(device, 0x90, kind == 1 ? 1 : 0, 0, data, sizeof data) != 0) return false;
  const uint8_t* record = data + (kind == 1 ? 0 : 4);
  *chunks = record[0];
  *size = static_cast<uint32_t>(record[1]) << 16 | record[2] << 8 | record[3];
  return true;
}

uint32_t ReadDiscInfoChunk(DeviceHandle device, uint8_t kind, uint8_t index, void* buffer) {
  return VendorRead(device, 0x90, kind == 1 ? 1 : 0, index, buffer, kDiscInfoChunkSize);
}

uint32_t WriteDiscInfoChunk(DeviceHandle device, uint8_t kind, uint8_t index, const void* data,
                            uint32_t length) {
  if (length > kDiscInfoChunkSize) length = kDiscInfoChunkSize;
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFB, 0x90, kind == 1 ? 1 : 0, index, length);
  return Send(device, cdb, kDirectionToUnit, const_cast<void*>(data), length, kLongTimeout);
}

bool ReadUnitMode(DeviceHandle device, uint8_t* mode) {
  uint8_t data[4] = {};
  if (VendorRead(device, 0xA0, 0, 0, data, sizeof data) != 0) return false;
  *mode = data[0];
  return true;
}

uint32_t SetUnitMode(DeviceHandle device) { return VendorNoData(device, 0xA0, 0, 1); }
uint32_t VendorSynchronize(DeviceHandle device) { return VendorNoData(device, 0xA1, 0, 0, kLongTimeout); }
uint32_t ExchangeBracket(DeviceHandle device, bool begin) {
  return VendorNoData(device, 0xA2, begin ? 1 : 0, 0);
}
uint32_t WakeUnit(DeviceHandle device) { return VendorNoData(device, 0xA3, 0, 0); }
uint32_t RestUnit(DeviceHandle device) { return VendorNoData(device, 0xA3, 1, 0); }

bool ReadWakeStatus(DeviceHandle device, bool* busy) {
  uint8_t data[4] = {};
  if (VendorRead(device, 0xA3, 0, 0, data, sizeof data) != 0) return false;
  *busy = (data[2] & 1) != 0;
  return true;
}

}  // namespace kelva::unit
