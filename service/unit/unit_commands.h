// The archive unit's command set: the one sending routine and one small
// function per command block the service uses, standard multimedia commands
// for the drive and the changer plus the unit's vendor family (0xFB sends,
// 0xFC returns data).
//
// Command status: the 32-bit result of every send.
//   0            SCSI status GOOD and no sense;
//   otherwise    bits 31-24 SCSI status, 23-16 sense byte 2 (whole), 15-8 the
//                additional sense code, 7-0 its qualifier; callers compare
//                the low 24 bits (e.g. 0x023A01) or the sense key alone;
//   a Win32 code when the transport failed three times in a row;
//   0xFFFFFFFF   for an invalid (null) device handle.
//
// Functions returning uint32_t give the command status; functions returning
// bool decode data and give true only when the command succeeded and the reply
// is valid. All are re-entrant and keep no state: callers serialise commands
// that must not interleave. Multi-byte numbers in command blocks and replies
// are big-endian.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/filetime.h"
#include "platform/scsi_device.h"

namespace kelva::unit {

using DeviceHandle = platform::ScsiDevice*;  // nullptr is the invalid handle

inline constexpr uint32_t kStatusInvalidHandle = 0xFFFFFFFFu;
inline constexpr uint32_t kSectorSize = 2048;
inline constexpr uint8_t kDirectionToUnit = 0;
inline constexpr uint8_t kDirectionFromUnit = 1;

// Low 24 bits of frequent statuses.
inline constexpr uint32_t kSenseNoMediumTrayClosed = 0x023A01;
inline constexpr uint32_t kSenseTrayOpen = 0x023A02;
inline constexpr uint32_t kSenseIncompatibleMedium = 0x023000;
inline constexpr uint32_t kSenseUnknownFormat = 0x023002;
inline constexpr uint32_t kSenseHardware44 = 0x044000;
inline constexpr uint32_t kSenseHardware08 = 0x040800;
inline uint32_t Low24(uint32_t status) { return status & 0x00FFFFFFu; }
inline uint8_t SenseKeyOf(uint32_t status) { return (status >> 16) & 0xFF; }

// Magazine type codes (unit status byte 2).
inline constexpr uint8_t kMagazineRewritable = 0x21;
inline constexpr uint8_t kMagazineRecordable = 0x22;

// CDB length from the operation-code group: 0 -> 6, 1-3 -> 10, 4 -> 16, 5-7 -> 12.
uint8_t CdbLength(uint8_t operation_code);

// Sends one command block (its length taken from the operation code; the rest
// of cdb beyond it is ignored). direction: kDirectionToUnit / kDirectionFromUnit
// (no data: kDirectionToUnit with length 0). A failed transport call is retried
// at once, three attempts in all. REQUIRES: buffer holds length bytes.
uint32_t Send(DeviceHandle device, const uint8_t* cdb, uint8_t direction, void* buffer,
              uint32_t length, uint32_t timeout_seconds);

// ---- standard commands ------------------------------------------------------

uint32_t TestUnitReady(DeviceHandle device);                                    // 00, 30 s
// 12 00 00 00 40 00: 64 bytes of standard inquiry data into inquiry.
uint32_t Inquiry(DeviceHandle device, uint8_t inquiry[64]);
// 25: last logical block address and block length.
bool ReadCapacity(DeviceHandle device, uint32_t* last_lba, uint32_t* block_length);
// 1B, byte 4 = action.
enum StartStopAction : uint8_t { kStopUnit = 0, kStartUnit = 1, kEjectMedium = 2, kLoadAndStart = 3 };
uint32_t StartStopUnit(DeviceHandle device, uint8_t action);
// 04 11 with the 12-byte list; block size 2048 for type code 0x21, else 0.
uint32_t FormatUnit(DeviceHandle device, uint8_t magazine_type_code);
// 28 / 2A: count blocks of 2048 bytes at lba.
uint32_t Read10(DeviceHandle device, uint32_t lba, uint16_t count, void* buffer);
uint32_t Write10(DeviceHandle device, uint32_t lba, uint16_t count, const void* buffer);
uint32_t SynchronizeCache(DeviceHandle device);  // 35
// 4A, power class: byte 5 of the event (3 = standby).
bool GetPowerStatus(DeviceHandle device, uint8_t* power_status);
// 51, 42 bytes: disc status (byte 2 & 3) and the last track number in the last
// session (byte 11 * 256 + byte 6).
bool ReadDiscInformation(DeviceHandle device, uint8_t* disc_status, uint16_t* last_track);
// 51 02, 16 bytes: the three pseudo-overwrite resource counters.
bool ReadPowResources(DeviceHandle device, uint32_t counters[3]);

struct TrackInformation {
  uint32_t start = 0;
  uint32_t next_writable = 0;  // 0xFFFFFFFF when not valid
  uint32_t free_blocks = 0;
  uint32_t size = 0;
};
// 52 01, track number in bytes 4-5, 48 bytes.
bool ReadTrackInformation(DeviceHandle device, uint16_t track, TrackInformation* out);
// 53 01 with the address in bytes 2-5 (reservation by address).
uint32_t ReserveTrackAt(DeviceHandle device, uint32_t address);
// 53 with a zero reservation size (bytes 5-8).
uint32_t ReserveTrack(DeviceHandle device);
uint32_t AllowMediumRemoval(DeviceHandle device);  // 1E

// 46: raw GET CONFIGURATION (requested type, starting feature, allocation).
uint32_t GetConfiguration(DeviceHandle device, uint8_t requested_type, uint16_t starting_feature,
                          void* buffer, uint16_t length);
// The profile whose current bit is set (46 02, from feature 0, 512 bytes);
// false when none is current or the command failed.
bool GetCurrentProfile(DeviceHandle device, uint16_t* profile);
// 46 02 from feature 0x0023 (20 bytes): data length >= 16, feature code 0x0023
// and its current bit set.
bool IsFormattableFeatureCurrent(DeviceHandle device);
// TEST UNIT READY, then 46 00 01 08 (64 bytes): the drive serial text, at most
// 32 bytes, taken as the unit returns it (trailing blanks kept).
bool ReadDriveSerial(DeviceHandle device, std::string* serial);

// BD, 56 bytes. Results: 0 ok, 1 magazine state wrong (see below), 2 fault,
// 3 door open, 4 hardware error (0x044000 / 0x040800), 5 other failure.
// Slot query: byte 1 bit 5 clear gives 1; on 0 *slot = byte 0 & 0x1F.
int MechanismSlotQuery(DeviceHandle device, uint8_t* slot);
// Idle query: byte 1 bit 5 set gives 1; on 0 *changer_state = byte 0 & 0x60.
int MechanismIdleQuery(DeviceHandle device, uint8_t* changer_state);

// 5A 08 (page 0, 12 bytes), then 55 10 with byte 10 replaced by value.
uint32_t SetModePage0Byte2(DeviceHandle device, uint8_t value);
uint32_t CloseSessionFinalize(DeviceHandle device);  // 5B 00 06
// A6: unload (byte 4 = 2, byte 11 = control), select slot (byte 4 = 0,
// byte 8 = slot, byte 11 = 0x40), load slot (byte 4 = 3, byte 8 = slot).
uint32_t UnloadMedium(DeviceHandle device, uint8_t control);
uint32_t SelectSlot(DeviceHandle device, uint8_t slot);
uint32_t LoadSlot(DeviceHandle device, uint8_t slot);

// Firmware commands of the drive: EA sends a chunk (header included) at an
// image offset, E8 reads it back, F5 activates the new firmware. 600 s each.
uint32_t WriteFirmwareChunk(DeviceHandle device, uint32_t offset, const void* data, uint32_t length);
uint32_t ReadFirmwareChunk(DeviceHandle device, uint32_t offset, void* data, uint32_t length);
uint32_t ActivateFirmware(DeviceHandle device);
// 3C 01, 64 bytes: the bridge firmware version (bytes 2-3, big-endian).
bool ReadBridgeVersion(DeviceHandle device, uint16_t* version, uint8_t raw[64] = nullptr);

// ---- vendor functions -------------------------------------------------------

struct UnitStatus {
  uint8_t magazine_type = 0;  // byte 2
  uint8_t capacity_code = 0;  // byte 4 & 0x0F
  bool disc_away = false;     // byte 7 bit 7
  uint8_t status_a = 0;       // byte 8
  uint8_t status_b = 0;       // byte 9
  uint8_t status_c = 0;       // byte 10 & 0x0F
};
// Function 0x1F: TEST UNIT READY, then up to 50 reads 100 ms apart (on clock)
// until the page length is at least 9; after the 50th the last page is decoded.
// A read that fails ends the call with false.
bool ReadUnitStatus(DeviceHandle device, UnitStatus* out,
                    platform::Clock& clock = platform::RealClock());

struct UnitEnvironment {
  uint8_t temperature_limit = 0;  // byte 2
  uint8_t temperature = 0;        // byte 3
  bool preparation_required = false;     // byte 4 bit 3
  bool preparation_in_progress = false;  // byte 4 bit 0
};
bool ReadEnvironment(DeviceHandle device, UnitEnvironment* out);  // 0x21
uint32_t PrepareForWriting(DeviceHandle device);                  // 0x22
// 0x51 send: four zero bytes, then "%04d%02d%02d%02d%02d%02d" of utc.
uint32_t SetUnitClock(DeviceHandle device, const platform::SystemTime& utc);
// 0x51 read: raw log section (selector 0 is the header / section 0).
uint32_t ReadLogSection(DeviceHandle device, uint8_t selector, void* buffer, uint32_t length);
// 0x52: raw counter page; page_control 0 = current values, 2 = limits; length <= 64.
uint32_t ReadCounterPage(DeviceHandle device, uint8_t page_control, uint8_t page, void* buffer,
                         uint8_t length);

struct EventList {
  uint8_t count = 0;    // byte 1 / 4 - 1, at most 32
  uint8_t pending = 0;  // byte 2
  uint32_t entries[32] = {};  // 24-bit values
};
// 0x54: fails when the length byte is below 4, not a multiple of 4, or
// announces more than 32 entries.
bool ReadEventList(DeviceHandle device, EventList* out);

// 0x1D parameters.
enum Parameter : uint8_t {
  kParamMagazineId = 0x00,
  kParamMagazineLabel = 0x03,
  kParamCurrentDisc = 0x10,
  kParamWriteProtect = 0x11,
  kParamHostMemo = 0x18,
  kParamFormatCounter = 0x19,
  kParamCommit = 0x1F,
};
// Raw read of a parameter with its read length; false on a failed command or
// when the valid flag (byte 2) is 0.
bool ReadParameter(DeviceHandle device, uint8_t parameter, void* buffer, uint32_t length);
uint32_t WriteParameter(DeviceHandle device, uint8_t parameter, const void* data, uint32_t length);
// Read lengths of the parameter table (0 for an unknown parameter).
uint32_t ParameterReadLength(uint8_t parameter);

bool ReadMagazineId(DeviceHandle device, uint8_t id[12]);
bool ReadMagazineLabel(DeviceHandle device, uint8_t label[11]);
bool ReadCurrentDisc(DeviceHandle device, uint8_t* disc);
uint32_t WriteCurrentDisc(DeviceHandle device, uint8_t disc);
bool ReadWriteProtect(DeviceHandle device, bool* protect);
struct HostMemo {
  bool flag = false;     // byte 4 bit 7
  uint16_t number = 0;   // (byte 4 & 0x7F) * 256 + byte 5
  uint8_t memo[64] = {};
};
bool ReadHostMemo(DeviceHandle device, HostMemo* out);
uint32_t WriteHostMemo(DeviceHandle device, const uint8_t memo[64]);
bool ReadFormatCounter(DeviceHandle device, uint16_t* counter);
uint32_t WriteFormatCounter(DeviceHandle device, uint16_t counter);
// FB, byte 1 = 0x1F, no data: sent before the current disc number is rewritten.
uint32_t SendParameterCommit(DeviceHandle device);

// 0x80 magazine hold.
uint32_t MagazineHold(DeviceHandle device, bool engage);
struct HoldStatus {
  bool engaged = false;            // byte 0 & 3 == 3
  bool release_requested = false;  // byte 1 bit 0
};
bool ReadHoldStatus(DeviceHandle device, HoldStatus* out);

// 0x90 disc information blocks; kind 0 or 1.
// Size record: chunk count and 24-bit size (0xFF / 0xFFFFFF: no information).
bool ReadDiscInfoSize(DeviceHandle device, uint8_t kind, uint8_t* chunks, uint32_t* size);
inline constexpr uint32_t kDiscInfoChunkSize = 65536;
// Reads chunk index into buffer (65536 bytes).
uint32_t ReadDiscInfoChunk(DeviceHandle device, uint8_t kind, uint8_t index, void* buffer);
// Writes chunk index (length at most 65536), 600 s.
uint32_t WriteDiscInfoChunk(DeviceHandle device, uint8_t kind, uint8_t index, const void* data,
                            uint32_t length);

// 0xA0 unit mode.
bool ReadUnitMode(DeviceHandle device, uint8_t* mode);
uint32_t SetUnitMode(DeviceHandle device);
uint32_t VendorSynchronize(DeviceHandle device);                 // 0xA1, 600 s
uint32_t ExchangeBracket(DeviceHandle device, bool begin);       // 0xA2
uint32_t WakeUnit(DeviceHandle device);                          // 0xA3, byte 1 = 0
uint32_t RestUnit(DeviceHandle device);                          // 0xA3, byte 1 = 1
bool ReadWakeStatus(DeviceHandle device, bool* busy);            // 0xA3 read: byte 2 bit 0

// Builds the 12-byte vendor block: opcode (0xFB / 0xFC), bytes 1 and 2, the
// 32-bit transfer length in bytes 6-9 and the function code in byte 10.
void BuildVendorCdb(uint8_t cdb[12], uint8_t opcode, uint8_t function, uint8_t byte1,
                    uint8_t byte2, uint32_t length);

}  // namespace kelva::unit
