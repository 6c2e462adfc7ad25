// The simulated archive unit: an optical drive, a changer with 12 slots, the
// RFID reader of the magazine's tag and the unit's own state (log memory,
// counter pages, event list, environment, firmware). It accepts real command
// blocks and answers with real data and sense bytes; the magazine's discs and
// parameters live on disk (emulator/magazine.h).
//
// Execute is the unit's one entry for commands; every other public method is
// what a person does to the unit (insert, eject, unplug) or a fault a test
// injects. All methods are thread safe; commands run one at a time.
//
// How the unit behaves, in short:
//   - inserting a magazine closes the door, reads the tag, loads the disc named
//     by the current-disc parameter and raises a unit attention (06/28/00),
//     reported once on the next command other than INQUIRY, REQUEST SENSE,
//     GET CONFIGURATION, GET EVENT STATUS, MECHANISM STATUS and the vendor family;
//   - no magazine: 02/3A/02 while the door is open, 02/3A/01 once closed; a
//     magazine without a disc in the drive: 02/3A/01; a stopped or resting
//     drive: 02/04/02; a disc still loading: 02/04/01;
//   - A6 select slot and load slot both bring the slot's disc into the drive
//     (after the load time); unload puts it back; START/STOP eject takes the
//     magazine out unless the hold is engaged or removal is prevented (05/53/02);
//   - discs start unformatted (READ CAPACITY gives last LBA 0, the formattable
//     feature is current); FORMAT UNIT makes a rewritable disc one random-access
//     track and a recordable disc one open track of the whole size;
//   - recordable discs accept writes at a track's next writable address, and
//     rewrites of recorded sectors as pseudo-overwrites that spend the three
//     resource counters (03/0C/00 once spent); anything else is 05/21/02;
//   - status page: byte 8 (A) has bit 0 set for a write-protected magazine,
//     byte 10 (C) is 1 while a formatted disc is in the drive, else 0;
//   - unknown operation codes give 05/20/00, bad fields 05/24/00, bad
//     parameter data 05/26/00, writes to a protected magazine 07/27/00.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/magazine.h"
#include "platform/clock.h"
#include "platform/scsi_device.h"

namespace kelva::emulator {

struct SimUnitOptions {
  // Identity: vendor "KORRINDA" (or "NORVE" with norve_identity), product "QX V1A0".
  bool norve_identity = false;
  std::string serial = "KQX10000001";
  uint32_t device_number = 0;
  // Timing model; 0 means instantaneous.
  uint64_t drive_bytes_per_second = 0;
  // The drive's transfer buffer: data goes into it at once and drains at the
  // drive's speed; a command waits only for the part that does not fit. 0: every
  // command waits for its whole transfer.
  uint64_t drive_buffer_bytes = 0;
  uint32_t load_ms = 0;    // disc into the drive until ready
  uint32_t unload_ms = 0;  // disc back into its slot
  // Where the unit's own state (counter pages, log, firmware revision) is kept
  // across restarts; empty: not kept.
  std::filesystem::path state_file;
  platform::Clock* clock = nullptr;  // nullptr: the real clock
};

class SimUnit {
 public:
  explicit SimUnit(SimUnitOptions options = {});
  ~SimUnit();  // saves the magazine and the unit state
  SimUnit(const SimUnit&) = delete;
  SimUnit& operator=(const SimUnit&) = delete;

  // Runs one command. ERROR_SUCCESS with *reply filled when the unit answered;
  // ERROR_DEVICE_NOT_CONNECTED when unplugged (also for a command that was
  // running when the unit was unplugged); ERROR_TIMEOUT when a delay exceeded
  // the command's time-out; ERROR_INVALID_PARAMETER for a malformed request.
  platform::Win32Error Execute(const platform::ScsiCommand& command, platform::ScsiReply* reply);

  platform::StorageDeviceDescriptor Descriptor();
  uint32_t device_number() const { return options_.device_number; }
  // ERROR_SUCCESS when a disc is in the drive and ready, else ERROR_NOT_READY.
  platform::Win32Error CheckVerify();

  // ---- what a person does -------------------------------------------------
  // Inserts the magazine in dir: the door closes, the tag is read, the current
  // disc is loaded and a unit attention is raised.
  platform::Win32Error InsertMagazine(const std::filesystem::path& dir);
  // The eject button: the disc goes back, the magazine comes out, the door
  // stays open. ERROR_BUSY while the host holds or prevents removal, unless forced.
  platform::Win32Error EjectMagazine(bool force = false);
  // Pulls the magazine out without the mechanism (door closed afterwards).
  void PullMagazine();
  bool HasMagazine();
  // True while the unit is plugged in and its drive holds a disc of the
  // inserted magazine, ready or not (loading, stopped, resting): what the
  // host's media-change detection counts as a medium present.
  bool HoldsMedium();
  // The folder of the inserted magazine; empty without one.
  std::filesystem::path MagazineDir();
  // Unplugs the unit: every later command and one running now fail with
  // ERROR_DEVICE_NOT_CONNECTED. Plug() brings it back (with a unit attention).
  void Unplug();
  void Plug();
  bool IsUnplugged();

  // ---- fault injection ----------------------------------------------------
  // The next count commands with this operation code fail with the sense.
  void FailNext(uint8_t opcode, uint32_t count, uint8_t key, uint8_t asc, uint8_t ascq);
  // The next command with this operation code takes delay_ms (on the clock)
  // before it runs; beyond its time-out it fails with ERROR_TIMEOUT.
  void DelayNext(uint8_t opcode, uint32_t delay_ms);
  void SetTemperature(uint8_t current, uint8_t limit);
  // Sets a counter page field (page control 0 current, 2 limit), width 2 or 4.
  bool SetCounter(uint8_t page, uint8_t page_control, uint8_t offset, uint8_t width, uint32_t value);
  // Pseudo-overwrite resources of a disc (slot -1: the disc in the drive).
  bool SetPowResources(int slot, uint32_t replacements, uint32_t map_entries, uint32_t updates);
  // The disc drops out of the drive as when the unit is moved: disc-away flag
  // set, an event raised, the drive reports no medium.
  void MarkDiscAway();
  void RequestRelease();  // the release button on the unit
  void RaiseEvent(uint32_t value);
  // The status page reads short (length below 9) for the next count reads.
  void SetStatusPageDelay(uint32_t reads);
  void SetStatusBytes(uint8_t a, uint8_t b, uint8_t c_override);  // c_override 0xFF: computed
  void SetWakeBusyReads(uint32_t reads);

  // A text line per fact, for "kelva-unitsim status".
  std::string StatusText();
  // Runs a control line (the actions of kelva-unitsim on a running unit);
  // returns ERROR_SUCCESS or ERROR_INVALID_PARAMETER with a message in *reply.
  platform::Win32Error Control(const std::string& line, std::string* reply);

  // Saves the magazine manifest and the unit state now.
  void Flush();

 private:
  struct Fault {
    uint32_t count = 0;
    uint8_t key = 0, asc = 0, ascq = 0;
  };
  struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
  };
  class Context;  // one command being executed

  // Command handlers; called with mu_ held. Each returns the sense to report
  // (key 0: GOOD) and fills the data phase through the context.
  Sense Dispatch(Context& c);
  Sense TestUnitReady(Context& c);
  Sense RequestSense(Context& c);
  Sense Inquiry(Context& c);
  Sense ReadCapacity(Context& c);
  Sense StartStop(Context& c);
  Sense PreventAllow(Context& c);
  Sense FormatUnit(Context& c);
  Sense ReadWrite(Context& c, bool write);
  Sense SynchronizeCache(Context& c);
  Sense GetEventStatus(Context& c);
  Sense GetConfiguration(Context& c);
  Sense ReadDiscInformation(Context& c);
  Sense ReadTrackInformation(Context& c);
  Sense ReserveTrack(Context& c);
  Sense CloseTrackSession(Context& c);
  Sense ModeSense(Context& c);
  Sense ModeSelect(Context& c);
  Sense LoadUnload(Context& c);
  Sense MechanismStatus(Context& c);
  Sense FirmwareWrite(Context& c);
  Sense FirmwareRead(Context& c);
  Sense FirmwareActivate(Context& c);
  Sense ReadBuffer(Context& c);
  Sense Vendor(Context& c);
  Sense VendorParameter(Context& c, bool read);
  Sense VendorDiscInfo(Context& c, bool read);

  // Mechanism helpers (mu_ held).
  Sense MediumSense();  // not-ready sense of the drive, key 0 when ready
  bool DiscReady();
  void LoadDisc(int slot);
  void UnloadDisc();
  SimDisc* Loaded();
  void EnsureInfoBlocks(int slot);
  void AddLog(uint8_t opcode, const Sense& sense);
  void SaveState();
  void LoadState();
  uint64_t Now();

  SimUnitOptions options_;
  platform::Clock& clock_;
  std::mutex mu_;
  std::condition_variable cv_;  // wakes delayed commands on unplug

  std::unique_ptr<Magazine> magazine_;
  bool door_open_ = false;
  int drive_slot_ = -1;      // slot of the disc in the drive, -1 = empty
  int mechanism_slot_ = 0;   // last slot the changer served
  bool spun_up_ = false;
  uint64_t ready_at_ms_ = 0;
  uint64_t last_save_ms_ = 0;
  bool unit_attention_ = false;
  Sense last_sense_;
  bool unplugged_ = false;
  uint64_t plug_generation_ = 0;
  bool prevent_removal_ = false;
  bool hold_engaged_ = false;
  bool release_requested_ = false;
  bool disc_away_ = false;
  uint8_t unit_mode_ = 0;
  int bracket_depth_ = 0;
  bool resting_ = false;
  bool write_prep_required_ = false;
  uint8_t temperature_ = 35, temperature_limit_ = 60;
  uint8_t mode_page0_[2] = {0x20, 0x00};
  uint8_t status_a_ = 0, status_b_ = 0, status_c_override_ = 0xFF;
  uint32_t status_page_short_reads_ = 0;
  uint32_t wake_busy_reads_ = 0;
  std::string clock_text_ = "00000000000000";
  std::vector<uint32_t> events_;
  uint8_t events_pending_ = 0;
  uint8_t counters_[2][0x40][64] = {};  // [current/limit][page][byte]
  std::vector<uint8_t> log_records_;    // section 1 of the log memory, 16 bytes a record
  std::string firmware_revision_ = "0100";
  uint16_t bridge_version_ = 0x0106;
  std::vector<uint8_t> firmware_staging_;
  std::vector<uint8_t> firmware_last_header_;
  std::map<uint8_t, Fault> fail_next_;
  std::map<uint8_t, uint32_t> delay_next_;
  // The drive's transfer model: bytes in its buffer as of the clock time (in
  // microseconds) when they were last counted. Kept as absolute amounts, so
  // that waits of less than a millisecond and late wake-ups add up exactly.
  uint64_t buffered_bytes_ = 0;
  uint64_t buffered_at_us_ = 0;
};

// The in-process backend of the SCSI device seam: a ScsiDevice on a SimUnit
// (not owned).
class SimScsiDevice : public platform::ScsiDevice {
 public:
  explicit SimScsiDevice(SimUnit* unit) : unit_(unit) {}
  platform::Win32Error Execute(const platform::ScsiCommand& command, platform::ScsiReply* reply) override;
  platform::Win32Error QueryDescriptor(platform::StorageDeviceDescriptor* out) override;
  platform::Win32Error GetDeviceNumber(uint32_t* out) override;
  platform::Win32Error CheckVerify() override;
  platform::Win32Error EjectMedia() override;

 private:
  SimUnit* unit_;
};

}  // namespace kelva::emulator
