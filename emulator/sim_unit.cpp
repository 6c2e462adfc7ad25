#include "emulator/sim_unit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/big_endian.h"
#include "platform/file.h"
#include "platform/log.h"

namespace kelva::emulator {

using platform::ScsiCommand;
using platform::ScsiDirection;
using platform::ScsiReply;
using platform::Win32Error;

namespace {

using platform::GetBe16;
using platform::GetBe24;
using platform::GetBe32;
using platform::PutBe16;
using platform::PutBe24;
using platform::PutBe32;


uint8_t GroupCdbLength(uint8_t opcode) {
  switch (opcode >> 5) {
    case 0: return 6;
    case 1: case 2: case 3: return 10;
    case 4: return 16;
    default: return 12;
  }
}

constexpr uint32_t kInfoChunk = 65536;
constexpr size_t kMaxLogRecords = 128;
constexpr size_t kMaxEvents = 32;
constexpr uint32_t kMaxFirmware = 16u << 20;
constexpr size_t kMaxTracks = 16;

}  // namespace

// Sense values the unit reports.
#define SENSE(k, a, q) Sense{k, a, q}
static constexpr uint8_t kNotReady = 2, kMediumError = 3, kIllegal = 5, kAttention = 6, kProtect = 7;

// One command being executed: its block, its data phase and what was moved.
class SimUnit::Context {
 public:
  Context(const ScsiCommand& command, ScsiReply* reply) : cmd(command), reply_(reply), cdb(command.cdb) {}

  // Returns data to the host: min(allocation, buffer, data) bytes, zero padded
  // up to min(allocation, buffer). False when the host set up no data-in phase.
  bool In(const uint8_t* data, size_t size, uint32_t allocation) {
    if (allocation == 0) return true;
    if (cmd.direction != ScsiDirection::kFromUnit) return cmd.data_length == 0;
    const uint32_t room = std::min(allocation, cmd.data_length);
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(room, size));
    auto* out = static_cast<uint8_t*>(cmd.data);
    if (n > 0) std::memcpy(out, data, n);
    if (room > n) std::memset(out + n, 0, room - n);
    reply_->transferred = room;
    return true;
  }
  bool In(const std::vector<uint8_t>& data, uint32_t allocation) { return In(data.data(), data.size(), allocation); }

  // The host's data-out bytes when it sent at least needed of them, else null.
  const uint8_t* Out(uint32_t needed) {
    if (needed == 0) return reinterpret_cast<const uint8_t*>("");
    if (cmd.direction != ScsiDirection::kToUnit || cmd.data_length < needed || cmd.data == nullptr) return nullptr;
    reply_->transferred = needed;
    return static_cast<const uint8_t*>(cmd.data);
  }
  // A data-in buffer of at least needed bytes, else null.
  uint8_t* InBuffer(uint32_t needed) {
    if (cmd.direction != ScsiDirection::kFromUnit || cmd.data_length < needed || cmd.data == nullptr) return nullptr;
    reply_->transferred = needed;
    return static_cast<uint8_t*>(cmd.data);
  }

  const ScsiCommand& cmd;
  uint64_t moved_bytes = 0;  // sector data moved, for the timing model

 private:
  ScsiReply* reply_;

 public:
  const uint8_t* cdb;
};

SimUnit::SimUnit(SimUnitOptions options)
    : options_(std::move(options)), clock_(options_.clock ? *options_.clock : platform::RealClock()) {
  // Limits of the counter pages: wear counters of the drive and the changer,
  // and the number of tag reads the RFID reader is rated for.
  auto put_limit16 = [&](uint8_t page, uint8_t off, uint16_t v) { PutBe16(&counters_[1][page][off], v); };
  put_limit16(1, 0x22, 8000);
  put_limit16(1, 0x26, 8000);
  put_limit16(2, 0x1A, 8000);
  put_limit16(2, 0x2A, 8000);
  put_limit16(2, 0x2C, 8000);
  PutBe32(&counters_[1][0x11][0x3C], 100000);
  LoadState();
}

SimUnit::~SimUnit() { Flush(); }

uint64_t SimUnit::Now() { return clock_.NowMs(); }

void SimUnit::Flush() {
  std::lock_guard<std::mutex> lock(mu_);
  if (magazine_) magazine_->Save();
  SaveState();
}

// ---- unit state file ---------------------------------------------------------

void SimUnit::SaveState() {
  if (options_.state_file.empty()) return;
  std::ostringstream out;
  out << "kelva-unit 1\n";
  out << "firmware " << firmware_revision_ << "\n";
  out << "temperature " << unsigned(temperature_) << " " << unsigned(temperature_limit_) << "\n";
  out << "mode_page0 " << unsigned(mode_page0_[0]) << " " << unsigned(mode_page0_[1]) << "\n";
  for (int pc = 0; pc < 2; ++pc) {
    for (int page = 0; page < 0x40; ++page) {
      bool any = false;
      for (uint8_t b : counters_[pc][page]) any |= b != 0;
      if (!any) continue;
      out << "counter " << pc << " " << page;
      for (uint8_t b : counters_[pc][page]) out << " " << unsigned(b);
      out << "\n";
    }
  }
  out << "log";
  for (uint8_t b : log_records_) out << " " << unsigned(b);
  out << "\n";
  platform::WriteWholeFile(options_.state_file, out.str());
}

void SimUnit::LoadState() {
  if (options_.state_file.empty()) return;
  std::string text;
  if (platform::ReadWholeFile(options_.state_file, &text) != 0) return;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "kelva-unit 1") return;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key;
    ls >> key;
    unsigned a = 0, b = 0;
    if (key == "firmware") {
      std::string rev;
      if (ls >> rev && rev.size() == 4) firmware_revision_ = rev;
    } else if (key == "temperature" && (ls >> a >> b)) {
      temperature_ = static_cast<uint8_t>(a);
      temperature_limit_ = static_cast<uint8_t>(b);
    } else if (key == "mode_page0" && (ls >> a >> b)) {
      mode_page0_[0] = static_cast<uint8_t>(a);
      mode_page0_[1] = static_cast<uint8_t>(b);
    } else if (key == "counter" && (ls >> a >> b) && a < 2 && b < 0x40) {
      unsigned v = 0;
      for (int i = 0; i < 64 && (ls >> v); ++i) counters_[a][b][i] = static_cast<uint8_t>(v);
    } else if (key == "log") {
      unsigned v = 0;
      log_records_.clear();
      while (ls >> v && log_records_.size() < kMaxLogRecords * 16) log_records_.push_back(static_cast<uint8_t>(v));
      log_records_.resize(log_records_.size() / 16 * 16);
    }
  }
}

// ---- transport entry -----------------------------------------------------------

Win32Error SimUnit::Execute(const ScsiCommand& command, ScsiReply* reply) {
  *reply = ScsiReply{};
  if (command.cdb_length == 0 || command.cdb_length > platform::kMaxCdbLength ||
      (command.data_length != 0 && command.data == nullptr)) {
    return platform::ERROR_INVALID_PARAMETER;
  }
  const uint8_t opcode = command.cdb[0];
  std::unique_lock<std::mutex> lock(mu_);
  if (unplugged_) return platform::ERROR_DEVICE_NOT_CONNECTED;
  auto delay = delay_next_.find(opcode);
  if (delay != delay_next_.end()) {
    const uint64_t wanted = delay->second;
    delay_next_.erase(delay);
    const uint64_t limit = uint64_t{command.timeout_seconds} * 1000;
    const uint64_t deadline = Now() + std::min(wanted, limit);
    const uint64_t generation = plug_generation_;
    while (!unplugged_ && generation == plug_generation_ && Now() < deadline) {
      clock_.WaitUntil(cv_, lock, deadline);
    }
    if (unplugged_ || generation != plug_generation_) return platform::ERROR_DEVICE_NOT_CONNECTED;
    if (wanted > limit) return platform::ERROR_TIMEOUT;
  }

  Context c(command, reply);
  Sense sense;
  auto fault = fail_next_.find(opcode);
  if (fault != fail_next_.end() && fault->second.count > 0) {
    sense = {fault->second.key, fault->second.asc, fault->second.ascq};
    if (--fault->second.count == 0) fail_next_.erase(fault);
  } else if (command.cdb_length < GroupCdbLength(opcode)) {
    sense = SENSE(kIllegal, 0x20, 0x00);
  } else {
    sense = Dispatch(c);
  }
  if (sense.key != 0) {
    reply->status = platform::kScsiStatusCheckCondition;
    reply->sense[0] = 0x70;
    reply->sense[2] = sense.key;
    reply->sense[7] = 10;
    reply->sense[12] = sense.asc;
    reply->sense[13] = sense.ascq;
    if (opcode != 0x00 && opcode != 0x03) AddLog(opcode, sense);
  }
  last_sense_ = sense;
  const uint64_t moved = c.moved_bytes;
  uint32_t sleep_ms = 0;
  if (moved != 0 && options_.drive_bytes_per_second != 0) {
    const uint64_t rate = options_.drive_bytes_per_second;
    const uint64_t now_us = Now() * 1000;
    const uint64_t drained = now_us > buffered_at_us_ ? (now_us - buffered_at_us_) * rate / 1000000 : 0;
    buffered_bytes_ = (buffered_bytes_ > drained ? buffered_bytes_ - drained : 0) + moved;
    buffered_at_us_ = std::max(buffered_at_us_, now_us);
    if (buffered_bytes_ > options_.drive_buffer_bytes) {
      sleep_ms = static_cast<uint32_t>((buffered_bytes_ - options_.drive_buffer_bytes) * 1000 / rate);
    }
  }
  lock.unlock();
  if (sleep_ms != 0) clock_.Sleep(sleep_ms);
  return platform::ERROR_SUCCESS;
}

void SimUnit::AddLog(uint8_t opcode, const Sense& sense) {
  uint8_t record[16] = {opcode, sense.key, sense.asc, sense.ascq};
  const uint64_t now = Now();
  PutBe32(record + 4, static_cast<uint32_t>(now >> 32));
  PutBe32(record + 8, static_cast<uint32_t>(now));
  log_records_.insert(log_records_.end(), record, record + 16);
  if (log_records_.size() > kMaxLogRecords * 16) log_records_.erase(log_records_.begin(), log_records_.begin() + 16);
}

SimUnit::Sense SimUnit::Dispatch(Context& c) {
  const uint8_t opcode = c.cdb[0];
  // A pending unit attention is reported once, on the first command that is
  // not one of those that never report it.
  if (unit_attention_) {
    switch (opcode) {
      case 0x03: case 0x12: case 0x46: case 0x4A: case 0xBD: case 0xFB: case 0xFC: case 0x3C:
        break;
      default:
        unit_attention_ = false;
        return SENSE(kAttention, 0x28, 0x00);
    }
  }
  switch (opcode) {
    case 0x00: return TestUnitReady(c);
    case 0x03: return RequestSense(c);
    case 0x04: return FormatUnit(c);
    case 0x12: return Inquiry(c);
    case 0x1B: return StartStop(c);
    case 0x1E: return PreventAllow(c);
    case 0x25: return ReadCapacity(c);
    case 0x28: return ReadWrite(c, false);
    case 0x2A: return ReadWrite(c, true);
    case 0x35: return SynchronizeCache(c);
    case 0x3C: return ReadBuffer(c);
    case 0x46: return GetConfiguration(c);
    case 0x4A: return GetEventStatus(c);
    case 0x51: return ReadDiscInformation(c);
    case 0x52: return ReadTrackInformation(c);
    case 0x53: return ReserveTrack(c);
    case 0x55: return ModeSelect(c);
    case 0x5A: return ModeSense(c);
    case 0x5B: return CloseTrackSession(c);
    case 0xA6: return LoadUnload(c);
    case 0xBD: return MechanismStatus(c);
    case 0xE8: return FirmwareRead(c);
    case 0xEA: return FirmwareWrite(c);
    case 0xF5: return FirmwareActivate(c);
    case 0xFB: case 0xFC: return Vendor(c);
    default: return SENSE(kIllegal, 0x20, 0x00);
  }
}

// ---- mechanism ---------------------------------------------------------------

SimDisc* SimUnit::Loaded() {
  return magazine_ && drive_slot_ >= 0 ? &magazine_->discs[drive_slot_] : nullptr;
}

SimUnit::Sense SimUnit::MediumSense() {
  if (!magazine_) return door_open_ ? SENSE(kNotReady, 0x3A, 0x02) : SENSE(kNotReady, 0x3A, 0x01);
  SimDisc* disc = Loaded();
  if (disc == nullptr) return SENSE(kNotReady, 0x3A, 0x01);
  if (disc->profile != kProfileBdR && disc->profile != kProfileBdRe && disc->profile != 0x0042) {
    return SENSE(kNotReady, 0x30, 0x00);
  }
  if (resting_ || !spun_up_) return SENSE(kNotReady, 0x04, 0x02);
  if (Now() < ready_at_ms_) return SENSE(kNotReady, 0x04, 0x01);
  return {};
}

bool SimUnit::DiscReady() { return MediumSense().key == 0; }

void SimUnit::LoadDisc(int slot) {
  uint64_t time = options_.load_ms;
  if (drive_slot_ >= 0 && drive_slot_ != slot) {
    UnloadDisc();
    time += options_.unload_ms;
  }
  if (drive_slot_ != slot) {
    uint8_t* loads = &counters_[0][1][0x22];
    PutBe16(loads, std::min<uint32_t>(GetBe16(loads) + 1, 0xFFFF));
  }
  drive_slot_ = slot;
  mechanism_slot_ = slot;
  spun_up_ = true;
  resting_ = false;
  disc_away_ = false;
  ready_at_ms_ = Now() + time;
  write_prep_required_ = !magazine_->write_protect;
  EnsureInfoBlocks(slot);
}

void SimUnit::UnloadDisc() {
  if (drive_slot_ < 0) return;
  uint8_t* unloads = &counters_[0][1][0x26];
  PutBe16(unloads, std::min<uint32_t>(GetBe16(unloads) + 1, 0xFFFF));
  drive_slot_ = -1;
  spun_up_ = false;
  if (magazine_) magazine_->Save();
}

// The unit keeps a disc information block of each kind per disc; a disc seen
// for the first time gets the blocks the drive builds from the medium.
void SimUnit::EnsureInfoBlocks(int slot) {
  SimDisc& disc = magazine_->discs[slot];
  for (int kind = 0; kind < 2; ++kind) {
    if (!disc.info[kind].empty()) continue;
    const uint32_t total = kind == 0 ? 0x11000 : 0x800;
    std::vector<uint8_t> block(total);
    std::memcpy(block.data(), kind == 0 ? "DIB0" : "DIB1", 4);
    block[4] = static_cast<uint8_t>(slot);
    PutBe24(&block[5], total - (kind == 0 ? 8 : 4));
    for (uint32_t i = 8; i < total; ++i) block[i] = static_cast<uint8_t>(i * 7 + slot + kind);
    disc.info[kind] = std::move(block);
    magazine_->MarkDirty();
  }
}

// ---- standard commands -----------------------------------------------------------

SimUnit::Sense SimUnit::TestUnitReady(Context&) { return MediumSense(); }

SimUnit::Sense SimUnit::RequestSense(Context& c) {
  uint8_t data[18] = {0x70};
  data[7] = 10;
  Sense s;
  if (unit_attention_) {
    unit_attention_ = false;
    s = SENSE(kAttention, 0x28, 0x00);
  } else {
    s = MediumSense();
  }
  data[2] = s.key;
  data[12] = s.asc;
  data[13] = s.ascq;
  if (!c.In(data, sizeof data, c.cdb[4])) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::Inquiry(Context& c) {
  const uint32_t allocation = GetBe16(c.cdb + 3);
  std::vector<uint8_t> data;
  if (c.cdb[1] & 1) {
    if (c.cdb[2] == 0x00) {
      data = {0x05, 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (c.cdb[2] == 0x80) {
      data = {0x05, 0x80, 0x00, static_cast<uint8_t>(options_.serial.size())};
      data.insert(data.end(), options_.serial.begin(), options_.serial.end());
    } else {
      return SENSE(kIllegal, 0x24, 0x00);
    }
  } else {
    if (c.cdb[2] != 0) return SENSE(kIllegal, 0x24, 0x00);
    data.assign(64, ' ');
    std::memset(data.data(), 0, 8);
    data[0] = 0x05;  // CD/DVD device
    data[1] = 0x80;  // removable medium
    data[2] = 0x05;
    data[3] = 0x02;
    data[4] = 64 - 5;
    const std::string vendor = options_.norve_identity ? "NORVE" : "KORRINDA";
    std::memcpy(&data[8], vendor.data(), vendor.size());
    std::memcpy(&data[16], "QX V1A0", 7);
    std::memcpy(&data[32], firmware_revision_.data(), 4);
    std::memset(&data[36], 0, 28);
  }
  if (!c.In(data, allocation)) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::ReadCapacity(Context& c) {
  if (Sense s = MediumSense(); s.key) return s;
  const SimDisc* disc = Loaded();
  uint8_t data[8] = {};
  PutBe32(data, disc->formatted ? static_cast<uint32_t>(magazine_->disc_sectors - 1) : 0);
  PutBe32(data + 4, kSectorSize);
  if (!c.In(data, sizeof data, 8)) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::StartStop(Context& c) {
  switch (c.cdb[4] & 3) {
    case 0:  // stop
      spun_up_ = false;
      return {};
    case 1:  // start
      if (!magazine_) return MediumSense();
      if (drive_slot_ < 0) return SENSE(kNotReady, 0x3A, 0x01);
      if (!spun_up_ || resting_) ready_at_ms_ = Now();
      spun_up_ = true;
      resting_ = false;
      return {};
    case 2: {  // eject the magazine
      if (!magazine_) {
        door_open_ = true;
        return {};
      }
      if (prevent_removal_ || hold_engaged_) return SENSE(kIllegal, 0x53, 0x02);
      UnloadDisc();
      magazine_->Save();
      magazine_.reset();
      door_open_ = true;
      release_requested_ = false;
      unit_mode_ = 0;
      KLOG_INFO("unit: magazine ejected by the host");
      return {};
    }
    default:  // load and start
      if (!magazine_) {
        door_open_ = false;
        return {};
      }
      if (drive_slot_ < 0) {
        LoadDisc(mechanism_slot_);
      } else {
        if (!spun_up_ || resting_) ready_at_ms_ = Now();
        spun_up_ = true;
        resting_ = false;
      }
      return {};
  }
}

SimUnit::Sense SimUnit::PreventAllow(Context& c) {
  prevent_removal_ = (c.cdb[4] & 1) != 0;
  return {};
}

SimUnit::Sense SimUnit::FormatUnit(Context& c) {
  if ((c.cdb[1] & 0x10) == 0) return SENSE(kIllegal, 0x24, 0x00);
  if (Sense s = MediumSense(); s.key) return s;
  const uint8_t* list = c.Out(12);
  if (list == nullptr) return SENSE(kIllegal, 0x1A, 0x00);
  if (GetBe16(list + 2) != 8) return SENSE(kIllegal, 0x26, 0x00);
  const uint8_t format_type = list[8] >> 2;
  if (format_type != 0x00 && format_type != 0x30 && format_type != 0x31 && format_type != 0x32) {
    return SENSE(kIllegal, 0x26, 0x00);
  }
  if (magazine_->write_protect) return SENSE(kProtect, 0x27, 0x00);
  SimDisc* disc = Loaded();
  const uint32_t sectors = static_cast<uint32_t>(magazine_->disc_sectors);
  if (disc->profile == kProfileBdR) {
    // A recordable disc can be formatted (spare areas, pseudo-overwrite) only while blank.
    if (disc->status != 0) return SENSE(kIllegal, 0x30, 0x05);
    disc->formatted = true;
    disc->status = 0;
    disc->tracks = {SimTrack{0, sectors, 0, true}};
    for (int i = 0; i < 3; ++i) disc->pow[i] = kDefaultPowResources[i];
  } else if (disc->profile == kProfileBdRe) {
    // A full format erases the disc: the image is emptied and stays sparse.
    std::vector<uint8_t> none;
    platform::File image;
    char name[48];
    std::snprintf(name, sizeof name, "disc%02d.img", drive_slot_);
    if (platform::File::Open(magazine_->dir() / name, platform::kAccessReadWrite,
                             platform::Disposition::kOpenAlways, &image) == 0) {
      image.Truncate(0);
      image.Truncate(uint64_t{sectors} * kSectorSize);
    }
    disc->formatted = true;
    disc->status = 2;
    disc->tracks = {SimTrack{0, sectors, sectors, false}};
  } else {
    return SENSE(kNotReady, 0x30, 0x00);
  }
  magazine_->MarkDirty();
  magazine_->Save();
  return {};
}

SimUnit::Sense SimUnit::ReadWrite(Context& c, bool write) {
  const uint32_t lba = GetBe32(c.cdb + 2);
  const uint32_t count = GetBe16(c.cdb + 7);
  if (Sense s = MediumSense(); s.key) return s;
  SimDisc* disc = Loaded();
  const uint64_t end = uint64_t{lba} + count;
  if (!disc->formatted || end > magazine_->disc_sectors) return SENSE(kIllegal, 0x21, 0x00);
  if (count == 0) return {};
  const uint32_t bytes = count * kSectorSize;
  if (!write) {
    uint8_t* buffer = c.InBuffer(bytes);
    if (buffer == nullptr) return SENSE(kIllegal, 0x24, 0x00);
    if (magazine_->ReadSectors(drive_slot_, lba, count, buffer) != 0) return SENSE(kMediumError, 0x11, 0x00);
    c.moved_bytes = bytes;
    return {};
  }
  const uint8_t* data = c.Out(bytes);
  if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
  if (magazine_->write_protect) return SENSE(kProtect, 0x27, 0x00);
  if (disc->profile == kProfileBdR) {
    if (disc->status == 2) return SENSE(kIllegal, 0x21, 0x02);
    auto track = std::find_if(disc->tracks.begin(), disc->tracks.end(),
                              [&](const SimTrack& t) { return lba >= t.start && lba < t.End(); });
    if (track == disc->tracks.end() || end > track->End()) return SENSE(kIllegal, 0x21, 0x02);
    // Sectors below the track's next writable address are already recorded:
    // writing them again is a pseudo-overwrite that spends spare resources.
    // The rest must continue exactly at the next writable address.
    const uint32_t recorded_end = track->next_writable;
    const uint32_t overwrite = lba < recorded_end ? std::min<uint32_t>(count, recorded_end - lba) : 0;
    const uint32_t append = count - overwrite;
    if (append != 0 && (!track->nwa_valid || lba + overwrite != recorded_end)) return SENSE(kIllegal, 0x21, 0x02);
    if (overwrite != 0) {
      if (disc->pow[0] < overwrite || disc->pow[1] == 0 || disc->pow[2] == 0) return SENSE(kMediumError, 0x0C, 0x00);
      disc->pow[0] -= overwrite;
      disc->pow[1] -= 1;
      disc->pow[2] -= 1;
    }
    if (append != 0) {
      track->next_writable += append;
      if (track->next_writable == track->End()) track->nwa_valid = false;
    }
    if (disc->status == 0) disc->status = 1;
    magazine_->MarkDirty();
    // Track progress reaches the manifest at least twice a second, so a unit
    // that is killed loses no more than that of its recording state.
    const uint64_t now = Now();
    if (now - last_save_ms_ >= 500) {
      magazine_->Save();
      last_save_ms_ = now;
    }
  }
  if (magazine_->WriteSectors(drive_slot_, lba, count, data) != 0) return SENSE(kMediumError, 0x0C, 0x00);
  c.moved_bytes = bytes;
  return {};
}

SimUnit::Sense SimUnit::SynchronizeCache(Context&) {
  if (Sense s = MediumSense(); s.key) return s;
  magazine_->Save();
  return {};
}

SimUnit::Sense SimUnit::GetEventStatus(Context& c) {
  if ((c.cdb[1] & 1) == 0) return SENSE(kIllegal, 0x24, 0x00);
  const uint8_t request = c.cdb[4];
  uint8_t data[8] = {0x00, 0x06, 0x00, 0x56};
  if (request & 0x04) {
    data[2] = 0x02;
    data[5] = resting_ ? 3 : (spun_up_ && drive_slot_ >= 0 ? 1 : 2);
  } else if (request & 0x10) {
    data[2] = 0x04;
    data[5] = static_cast<uint8_t>((drive_slot_ >= 0 ? 2 : 0) | (door_open_ ? 1 : 0));
  } else {
    data[1] = 0x02;
    data[2] = 0x80;
  }
  if (!c.In(data, data[1] + 2u, GetBe16(c.cdb + 7))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::GetConfiguration(Context& c) {
  const uint8_t rt = c.cdb[1] & 3;
  const uint16_t start = GetBe16(c.cdb + 2);
  if (rt == 3) return SENSE(kIllegal, 0x24, 0x00);
  const SimDisc* disc = Loaded();
  const uint16_t current_profile = disc ? disc->profile : 0;
  struct Feature {
    uint16_t code;
    bool current;
    std::vector<uint8_t> body;
  };
  std::vector<Feature> features;
  {
    std::vector<uint8_t> body;
    for (uint16_t p : {uint16_t{0x0043}, uint16_t{0x0042}, uint16_t{0x0041}, uint16_t{0x0040}}) {
      body.push_back(static_cast<uint8_t>(p >> 8));
      body.push_back(static_cast<uint8_t>(p));
      body.push_back(p == current_profile ? 1 : 0);
      body.push_back(0);
    }
    features.push_back({0x0000, true, body});
  }
  features.push_back({0x0001, true, {0x00, 0x00, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00}});
  const bool formattable = disc && (disc->profile == kProfileBdRe || !disc->formatted);
  features.push_back({0x0023, formattable, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}});
  {
    std::string serial = options_.serial.substr(0, 32);
    while (serial.size() % 4) serial += ' ';
    features.push_back({0x0108, true, std::vector<uint8_t>(serial.begin(), serial.end())});
  }
  std::vector<uint8_t> data(8, 0);
  PutBe16(&data[6], current_profile);
  for (const Feature& f : features) {
    if (rt == 2 ? f.code != start : f.code < start) continue;
    if (rt == 1 && !f.current) continue;
    data.push_back(static_cast<uint8_t>(f.code >> 8));
    data.push_back(static_cast<uint8_t>(f.code));
    data.push_back(static_cast<uint8_t>(0x02 | (f.current ? 1 : 0)));
    data.push_back(static_cast<uint8_t>(f.body.size()));
    data.insert(data.end(), f.body.begin(), f.body.end());
  }
  PutBe32(&data[0], static_cast<uint32_t>(data.size() - 4));
  if (!c.In(data, GetBe16(c.cdb + 7))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::ReadDiscInformation(Context& c) {
  if (Sense s = MediumSense(); s.key) return s;
  const SimDisc* disc = Loaded();
  const uint8_t type = c.cdb[1] & 7;
  const uint32_t allocation = GetBe16(c.cdb + 7);
  if (type == 0) {
    uint8_t data[34] = {};
    PutBe16(data, 32);
    const uint8_t status = disc->formatted ? disc->status : 0;
    const uint8_t session = status == 0 ? 0 : status == 1 ? 1 : 3;
    data[2] = static_cast<uint8_t>((disc->profile == kProfileBdRe ? 0x10 : 0) | session << 2 | status);
    const uint32_t tracks = disc->tracks.empty() ? 1 : static_cast<uint32_t>(disc->tracks.size());
    data[3] = 1;
    data[4] = 1;
    data[5] = 1;
    data[6] = static_cast<uint8_t>(tracks);
    data[7] = 0x20;
    data[11] = static_cast<uint8_t>(tracks >> 8);
    if (!c.In(data, sizeof data, allocation)) return SENSE(kIllegal, 0x24, 0x00);
    return {};
  }
  if (type == 2 && disc->profile == kProfileBdR && disc->formatted) {
    uint8_t data[16] = {};
    PutBe16(data, 14);
    data[2] = 0x02;
    PutBe32(data + 4, disc->pow[0]);
    PutBe32(data + 8, disc->pow[1]);
    PutBe32(data + 12, disc->pow[2]);
    if (!c.In(data, sizeof data, allocation)) return SENSE(kIllegal, 0x24, 0x00);
    return {};
  }
  return SENSE(kIllegal, 0x24, 0x00);
}

SimUnit::Sense SimUnit::ReadTrackInformation(Context& c) {
  if (Sense s = MediumSense(); s.key) return s;
  const SimDisc* disc = Loaded();
  const uint32_t sectors = static_cast<uint32_t>(magazine_->disc_sectors);
  std::vector<SimTrack> tracks = disc->tracks;
  if (tracks.empty()) tracks.push_back(SimTrack{0, sectors, 0, true});
  const uint32_t number = GetBe32(c.cdb + 2);
  size_t index = tracks.size();
  switch (c.cdb[1] & 3) {
    case 0:
      for (size_t i = 0; i < tracks.size(); ++i) {
        if (number >= tracks[i].start && number < tracks[i].End()) index = i;
      }
      break;
    case 1:
      if (number == 0xFF) index = tracks.size() - 1;
      else if (number >= 1 && number <= tracks.size()) index = number - 1;
      break;
    default:
      if (number == 1) index = 0;
      break;
  }
  if (index >= tracks.size()) return SENSE(kIllegal, 0x24, 0x00);
  const SimTrack& t = tracks[index];
  const bool rewritable = disc->profile == kProfileBdRe;
  uint8_t data[48] = {};
  PutBe16(data, 46);
  data[2] = static_cast<uint8_t>(index + 1);
  data[3] = 1;
  data[5] = 0x04;
  const bool nwa_valid = !rewritable && t.nwa_valid;
  data[6] = static_cast<uint8_t>(0x01 | (nwa_valid && t.next_writable == t.start ? 0x40 : 0));
  const bool recorded = rewritable || t.next_writable > t.start;
  data[7] = static_cast<uint8_t>((nwa_valid ? 1 : 0) | (recorded ? 2 : 0));
  PutBe32(data + 8, t.start);
  if (nwa_valid) PutBe32(data + 12, t.next_writable);
  PutBe32(data + 16, nwa_valid ? t.FreeBlocks() : 0);
  PutBe32(data + 24, t.size);
  if (recorded) PutBe32(data + 28, rewritable ? t.End() - 1 : t.next_writable - 1);
  data[32] = static_cast<uint8_t>((index + 1) >> 8);
  if (!c.In(data, sizeof data, GetBe16(c.cdb + 7))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::ReserveTrack(Context& c) {
  if (Sense s = MediumSense(); s.key) return s;
  SimDisc* disc = Loaded();
  if (disc->profile != kProfileBdR || !disc->formatted || disc->status == 2) return SENSE(kIllegal, 0x2C, 0x00);
  if (magazine_->write_protect) return SENSE(kProtect, 0x27, 0x00);
  uint32_t address;
  if (c.cdb[1] & 1) {
    address = GetBe32(c.cdb + 2);
  } else {
    const SimTrack& last = disc->tracks.back();
    if (!last.nwa_valid) return SENSE(kIllegal, 0x2C, 0x00);
    address = last.next_writable + GetBe32(c.cdb + 5);
  }
  auto track = std::find_if(disc->tracks.begin(), disc->tracks.end(),
                            [&](const SimTrack& t) { return address >= t.start && address < t.End(); });
  if (track == disc->tracks.end() || address == track->start || !track->nwa_valid ||
      address < track->next_writable || disc->tracks.size() >= kMaxTracks) {
    return SENSE(kIllegal, 0x24, 0x00);
  }
  SimTrack next{address, track->End() - address, address, true};
  track->size = address - track->start;
  if (track->next_writable == address) track->nwa_valid = false;
  disc->tracks.insert(track + 1, next);
  magazine_->MarkDirty();
  magazine_->Save();
  return {};
}

SimUnit::Sense SimUnit::CloseTrackSession(Context& c) {
  if (Sense s = MediumSense(); s.key) return s;
  SimDisc* disc = Loaded();
  const uint8_t function = c.cdb[2] & 7;
  if (function != 1 && function != 2 && function != 6) return SENSE(kIllegal, 0x24, 0x00);
  if (magazine_->write_protect) return SENSE(kProtect, 0x27, 0x00);
  if (disc->profile != kProfileBdR || !disc->formatted) return {};
  if (function == 1) {
    const uint32_t number = GetBe16(c.cdb + 4);
    if (number < 1 || number > disc->tracks.size()) return SENSE(kIllegal, 0x24, 0x00);
    disc->tracks[number - 1].nwa_valid = false;
  } else {
    for (SimTrack& t : disc->tracks) t.nwa_valid = false;
    disc->status = 2;
  }
  magazine_->MarkDirty();
  magazine_->Save();
  return {};
}

SimUnit::Sense SimUnit::ModeSense(Context& c) {
  const uint8_t page = c.cdb[2] & 0x3F;
  const uint8_t control = c.cdb[2] >> 6;
  if (page != 0x00 && page != 0x3F) return SENSE(kIllegal, 0x24, 0x00);
  uint8_t data[12] = {};
  PutBe16(data, 10);
  data[3] = magazine_ && magazine_->write_protect ? 0x80 : 0x00;
  data[8] = 0x00;
  data[9] = 2;
  if (control == 1) {
    data[10] = 0xFF;
  } else if (control == 2) {
    data[10] = 0x20;
  } else {
    data[10] = mode_page0_[0];
    data[11] = mode_page0_[1];
  }
  if (!c.In(data, sizeof data, GetBe16(c.cdb + 7))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::ModeSelect(Context& c) {
  if ((c.cdb[1] & 0x10) == 0) return SENSE(kIllegal, 0x24, 0x00);
  const uint32_t length = GetBe16(c.cdb + 7);
  if (length < 12) return SENSE(kIllegal, 0x1A, 0x00);
  const uint8_t* data = c.Out(length);
  if (data == nullptr) return SENSE(kIllegal, 0x1A, 0x00);
  const uint32_t descriptors = GetBe16(data + 6);
  const uint32_t at = 8 + descriptors;
  if (at + 4 > length || (data[at] & 0x3F) != 0x00 || data[at + 1] != 2) return SENSE(kIllegal, 0x26, 0x00);
  mode_page0_[0] = data[at + 2];
  mode_page0_[1] = data[at + 3];
  return {};
}

SimUnit::Sense SimUnit::LoadUnload(Context& c) {
  const uint8_t action = c.cdb[4] & 3;
  const uint8_t slot = c.cdb[8];
  if (action == 1) return SENSE(kIllegal, 0x24, 0x00);
  if (action == 0 && (c.cdb[11] & 0x40) == 0) return {};  // abort: nothing is moving
  if (!magazine_) return MediumSense();
  if (action == 2) {
    UnloadDisc();
    return {};
  }
  if (slot >= kSlotCount) return SENSE(kIllegal, 0x24, 0x00);
  LoadDisc(slot);  // select (0 with 0x40) and load (3) both bring the disc into the drive
  return {};
}

SimUnit::Sense SimUnit::MechanismStatus(Context& c) {
  uint8_t data[8 + 4 * kSlotCount] = {};
  data[0] = static_cast<uint8_t>(mechanism_slot_ & 0x1F);
  data[1] = static_cast<uint8_t>((magazine_ ? 0x20 : 0) | (door_open_ ? 0x10 : 0) | ((mechanism_slot_ >> 5) & 7));
  data[5] = kSlotCount;
  PutBe16(data + 6, 4 * kSlotCount);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    data[8 + 4 * slot] = magazine_ && slot != drive_slot_ ? 0x80 : 0x00;
  }
  if (!c.In(data, sizeof data, GetBe16(c.cdb + 8))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

// ---- firmware ------------------------------------------------------------------

SimUnit::Sense SimUnit::FirmwareWrite(Context& c) {
  const uint32_t offset = GetBe24(c.cdb + 3);
  const uint32_t length = GetBe24(c.cdb + 6);
  if (length < 48 || uint64_t{offset} + length - 48 > kMaxFirmware) return SENSE(kIllegal, 0x24, 0x00);
  const uint8_t* data = c.Out(length);
  if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
  uint8_t sum = 0;
  for (int i = 0; i < 48; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  if (sum != 0 || GetBe32(data + 32) != offset || GetBe32(data + 36) != length - 48) return SENSE(kIllegal, 0x26, 0x00);
  if (firmware_staging_.size() < offset + length - 48) firmware_staging_.resize(offset + length - 48);
  std::memcpy(firmware_staging_.data() + offset, data + 48, length - 48);
  firmware_last_header_.assign(data, data + 48);
  return {};
}

SimUnit::Sense SimUnit::FirmwareRead(Context& c) {
  const uint32_t offset = GetBe24(c.cdb + 3);
  const uint32_t length = GetBe24(c.cdb + 6);
  if (length < 48 || firmware_last_header_.empty() || uint64_t{offset} + length - 48 > firmware_staging_.size()) {
    return SENSE(kIllegal, 0x24, 0x00);
  }
  std::vector<uint8_t> data(firmware_last_header_);
  PutBe32(&data[32], offset);
  PutBe32(&data[36], length - 48);
  data.insert(data.end(), firmware_staging_.begin() + offset, firmware_staging_.begin() + offset + (length - 48));
  if (!c.In(data, length)) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

SimUnit::Sense SimUnit::FirmwareActivate(Context&) {
  if (firmware_last_header_.empty()) return SENSE(kIllegal, 0x2C, 0x00);
  firmware_revision_.assign(reinterpret_cast<const char*>(&firmware_last_header_[24]), 4);
  firmware_staging_.clear();
  firmware_last_header_.clear();
  wake_busy_reads_ = 2;
  unit_attention_ = true;
  SaveState();
  KLOG_INFO("unit: drive firmware %s activated", firmware_revision_.c_str());
  return {};
}

SimUnit::Sense SimUnit::ReadBuffer(Context& c) {
  if ((c.cdb[1] & 0x1F) != 0x01) return SENSE(kIllegal, 0x24, 0x00);
  uint8_t data[64] = {};
  PutBe16(data + 2, bridge_version_);
  if (!c.In(data, sizeof data, GetBe24(c.cdb + 6))) return SENSE(kIllegal, 0x24, 0x00);
  return {};
}

// ---- vendor family ---------------------------------------------------------------

SimUnit::Sense SimUnit::Vendor(Context& c) {
  const bool read = c.cdb[0] == 0xFC;
  const uint8_t function = c.cdb[10];
  const uint8_t b1 = c.cdb[1], b2 = c.cdb[2];
  const uint32_t length = GetBe32(c.cdb + 6);
  auto reply = [&](const uint8_t* data, size_t size) {
    return c.In(data, size, length) ? Sense{} : SENSE(kIllegal, 0x24, 0x00);
  };
  if (function == 0x1D) return VendorParameter(c, read);
  if (function == 0x90) return VendorDiscInfo(c, read);
  if (read) {
    switch (function) {
      case 0x1F: {
        uint8_t page[256] = {};
        if (status_page_short_reads_ > 0) {
          --status_page_short_reads_;
          PutBe16(page, 4);
          return reply(page, sizeof page);
        }
        PutBe16(page, 254);
        if (magazine_) {
          page[2] = magazine_->type;
          page[4] = magazine_->capacity_code & 0x0F;
        }
        page[5] = drive_slot_ >= 0 ? static_cast<uint8_t>(drive_slot_) : 0xFF;
        page[6] = static_cast<uint8_t>((door_open_ ? 1 : 0) | (hold_engaged_ ? 2 : 0));
        page[7] = disc_away_ ? 0x80 : 0x00;
        page[8] = static_cast<uint8_t>(status_a_ | (magazine_ && magazine_->write_protect ? 0x01 : 0));
        page[9] = status_b_;
        const SimDisc* disc = Loaded();
        page[10] = status_c_override_ != 0xFF ? status_c_override_ : (disc && disc->formatted ? 1 : 0);
        std::memcpy(page + 16, clock_text_.data(), 14);
        return reply(page, sizeof page);
      }
      case 0x21: {
        uint8_t data[16] = {0x00, 14, temperature_limit_, temperature_,
                            static_cast<uint8_t>(write_prep_required_ ? 0x08 : 0x00)};
        return reply(data, sizeof data);
      }
      case 0x51: {
        // Log memory: section 0 is the index, 1 the error records, 2 a snapshot.
        std::vector<uint8_t> s1(log_records_);
        if (s1.empty()) s1.assign(16, 0);
        std::vector<uint8_t> s2(256, 0);
        std::memcpy(&s2[0], firmware_revision_.data(), 4);
        s2[4] = temperature_;
        s2[5] = temperature_limit_;
        std::memcpy(&s2[16], counters_[0][1], 64);
        std::memcpy(&s2[80], counters_[0][2], 64);
        std::memcpy(&s2[144], counters_[0][0x11], 64);
        std::vector<uint8_t> s0(32, 0);
        PutBe32(&s0[0], static_cast<uint32_t>(s0.size() - 4));
        s0[8] = 3;
        PutBe32(&s0[10], static_cast<uint32_t>(s1.size()));
        PutBe32(&s0[14], static_cast<uint32_t>(s2.size()));
        std::memcpy(&s0[18], clock_text_.data(), 14);
        if (b2 > 2) return SENSE(kIllegal, 0x24, 0x00);
        const std::vector<uint8_t>& section = b2 == 0 ? s0 : b2 == 1 ? s1 : s2;
        return reply(section.data(), section.size());
      }
      case 0x52: {
        const uint8_t pc = b2 >> 6, page = b2 & 0x3F;
        if ((page != 1 && page != 2 && page != 0x11) || length > 64) return SENSE(kIllegal, 0x24, 0x00);
        uint8_t data[64] = {};
        if (pc == 0) std::memcpy(data, counters_[0][page], 64);
        else if (pc == 2 || pc == 3) std::memcpy(data, counters_[1][page], 64);
        data[0] = page;
        data[1] = pc;
        return reply(data, sizeof data);
      }
      case 0x54: {
        uint8_t data[132] = {};
        data[1] = static_cast<uint8_t>(4 * (events_.size() + 1));
        data[2] = events_pending_;
        for (size_t i = 0; i < events_.size(); ++i) PutBe24(&data[4 + 4 * i], events_[i]);
        events_pending_ = 0;
        return reply(data, sizeof data);
      }
      case 0x80: {
        uint8_t data[4] = {static_cast<uint8_t>(hold_engaged_ ? 3 : 0), static_cast<uint8_t>(release_requested_ ? 1 : 0)};
        return reply(data, sizeof data);
      }
      case 0xA0: {
        uint8_t data[4] = {unit_mode_};
        return reply(data, sizeof data);
      }
      case 0xA3: {
        uint8_t data[4] = {};
        if (wake_busy_reads_ > 0) {
          --wake_busy_reads_;
          data[2] = 1;
        }
        return reply(data, sizeof data);
      }
      default:
        return SENSE(kIllegal, 0x24, 0x00);
    }
  }
  switch (function) {
    case 0x22:
      if (b1 != 0x10 || b2 != 0x0A) return SENSE(kIllegal, 0x24, 0x00);
      write_prep_required_ = false;
      return {};
    case 0x51: {
      if (length != 18) return SENSE(kIllegal, 0x24, 0x00);
      const uint8_t* data = c.Out(18);
      if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
      for (int i = 4; i < 18; ++i) {
        if (data[i] < '0' || data[i] > '9') return SENSE(kIllegal, 0x26, 0x00);
      }
      clock_text_.assign(reinterpret_cast<const char*>(data + 4), 14);
      return {};
    }
    case 0x80:
      if (b1 != 0 && b1 != 3) return SENSE(kIllegal, 0x24, 0x00);
      if (b1 == 3 && !magazine_) return MediumSense();
      hold_engaged_ = b1 == 3;
      return {};
    case 0xA0:
      if (b2 > 1) return SENSE(kIllegal, 0x24, 0x00);
      unit_mode_ = b2;
      return {};
    case 0xA1:
      if (magazine_) magazine_->Save();
      return {};
    case 0xA2:
      if (b1 > 1) return SENSE(kIllegal, 0x24, 0x00);
      bracket_depth_ = b1 == 1 ? bracket_depth_ + 1 : std::max(0, bracket_depth_ - 1);
      return {};
    case 0xA3:
      if (b1 > 1) return SENSE(kIllegal, 0x24, 0x00);
      if (b1 == 0) {
        if (resting_ && drive_slot_ >= 0) ready_at_ms_ = Now() + options_.load_ms;
        resting_ = false;
        if (drive_slot_ >= 0) spun_up_ = true;
      } else {
        resting_ = true;
        spun_up_ = false;
      }
      return {};
    default:
      return SENSE(kIllegal, 0x24, 0x00);
  }
}

SimUnit::Sense SimUnit::VendorParameter(Context& c, bool read) {
  const uint8_t parameter = c.cdb[1];
  const uint32_t length = GetBe32(c.cdb + 6);
  if (read) {
    uint32_t size;
    switch (parameter) {
      case 0x00: size = 16; break;
      case 0x03: size = 20; break;
      case 0x10: case 0x11: case 0x19: size = 8; break;
      case 0x18: size = 72; break;
      default: return SENSE(kIllegal, 0x24, 0x00);
    }
    std::vector<uint8_t> data(size, 0);
    PutBe16(&data[0], size - 2);
    data[3] = parameter;
    if (magazine_) {
      data[2] = 1;
      const Magazine& m = *magazine_;
      switch (parameter) {
        case 0x00: std::memcpy(&data[4], m.id.data(), 12); break;
        case 0x03: std::memcpy(&data[4], m.label.data(), 11); break;
        case 0x10: data[4] = m.current_disc; break;
        case 0x11: data[4] = m.write_protect ? 1 : 0; break;
        case 0x18:
          data[4] = static_cast<uint8_t>((m.memo_flag ? 0x80 : 0) | ((m.memo_number >> 8) & 0x7F));
          data[5] = static_cast<uint8_t>(m.memo_number);
          std::memcpy(&data[8], m.memo.data(), 64);
          break;
        case 0x19: PutBe16(&data[4], m.format_counter); break;
      }
    }
    if (!c.In(data, length)) return SENSE(kIllegal, 0x24, 0x00);
    return {};
  }
  if (!magazine_) return MediumSense();
  Magazine& m = *magazine_;
  switch (parameter) {
    case 0x1F:
      m.Save();
      return {};
    case 0x10: {
      const uint8_t* data = length >= 4 ? c.Out(length) : nullptr;
      if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
      if (data[0] >= kSlotCount) return SENSE(kIllegal, 0x26, 0x00);
      m.current_disc = data[0];
      break;
    }
    case 0x18: {
      const uint8_t* data = length >= 68 ? c.Out(length) : nullptr;
      if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
      if (GetBe32(data) != 0x40) return SENSE(kIllegal, 0x26, 0x00);
      std::memcpy(m.memo.data(), data + 4, 64);
      m.memo_flag = true;
      m.memo_number = static_cast<uint16_t>((m.memo_number + 1) & 0x7FFF);
      break;
    }
    case 0x19: {
      const uint8_t* data = length >= 4 ? c.Out(length) : nullptr;
      if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
      m.format_counter = GetBe16(data);
      break;
    }
    default:
      return SENSE(kIllegal, 0x24, 0x00);
  }
  m.MarkDirty();
  m.Save();
  return {};
}

SimUnit::Sense SimUnit::VendorDiscInfo(Context& c, bool read) {
  const uint8_t kind = c.cdb[1] & 1;
  const uint8_t index = c.cdb[2];
  const uint32_t length = GetBe32(c.cdb + 6);
  SimDisc* disc = Loaded();
  if (read) {
    if (length == 8) {
      uint8_t data[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      if (disc) {
        for (int k = 0; k < 2; ++k) {
          const auto& block = disc->info[k];
          const uint32_t header = k == 0 ? 8 : 4;
          if (block.size() < header) continue;
          uint8_t* record = data + (k == 1 ? 0 : 4);
          record[0] = static_cast<uint8_t>((block.size() + kInfoChunk - 1) / kInfoChunk);
          PutBe24(record + 1, static_cast<uint32_t>(block.size() - header));
        }
      }
      return c.In(data, sizeof data, 8) ? Sense{} : SENSE(kIllegal, 0x24, 0x00);
    }
    if (length != kInfoChunk) return SENSE(kIllegal, 0x24, 0x00);
    if (!disc) return MediumSense();
    const auto& block = disc->info[kind];
    if (uint64_t{index} * kInfoChunk >= block.size()) return SENSE(kIllegal, 0x24, 0x00);
    const size_t from = size_t{index} * kInfoChunk;
    const size_t n = std::min<size_t>(kInfoChunk, block.size() - from);
    return c.In(block.data() + from, n, kInfoChunk) ? Sense{} : SENSE(kIllegal, 0x24, 0x00);
  }
  if (length == 0 || length > kInfoChunk) return SENSE(kIllegal, 0x24, 0x00);
  if (!disc) return MediumSense();
  const uint8_t* data = c.Out(length);
  if (data == nullptr) return SENSE(kIllegal, 0x24, 0x00);
  auto& block = disc->info[kind];
  // A block is written from chunk 0 on, each chunk after the previous one.
  if (index == 0) {
    block.assign(data, data + length);
  } else if (block.size() == size_t{index} * kInfoChunk) {
    block.insert(block.end(), data, data + length);
  } else {
    return SENSE(kIllegal, 0x24, 0x00);
  }
  magazine_->MarkDirty();
  return {};
}

// ---- what a person does ---------------------------------------------------------

platform::StorageDeviceDescriptor SimUnit::Descriptor() {
  std::lock_guard<std::mutex> lock(mu_);
  platform::StorageDeviceDescriptor d;
  d.vendor = options_.norve_identity ? "NORVE   " : "KORRINDA";
  d.product = "QX V1A0         ";
  d.revision = firmware_revision_;
  d.serial = options_.serial;
  return d;
}

Win32Error SimUnit::CheckVerify() {
  std::lock_guard<std::mutex> lock(mu_);
  if (unplugged_) return platform::ERROR_DEVICE_NOT_CONNECTED;
  return DiscReady() ? platform::ERROR_SUCCESS : platform::ERROR_NOT_READY;
}

Win32Error SimUnit::InsertMagazine(const std::filesystem::path& dir) {
  auto magazine = std::make_unique<Magazine>();
  if (Win32Error e = magazine->Open(dir)) return e;
  std::lock_guard<std::mutex> lock(mu_);
  if (magazine_) return platform::ERROR_BUSY;
  magazine_ = std::move(magazine);
  door_open_ = false;
  unit_mode_ = 0;
  hold_engaged_ = false;
  release_requested_ = false;
  uint8_t* reads = &counters_[0][0x11][0x3C];
  PutBe32(reads, GetBe32(reads) + 1);
  LoadDisc(magazine_->current_disc);
  unit_attention_ = true;
  KLOG_INFO("unit: magazine %s inserted, disc %d loaded", dir.string().c_str(), int(magazine_->current_disc));
  return platform::ERROR_SUCCESS;
}

Win32Error SimUnit::EjectMagazine(bool force) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!magazine_) return platform::ERROR_NOT_READY;
  if (!force && (hold_engaged_ || prevent_removal_)) {
    // The host holds the magazine: the button only asks it to let go.
    release_requested_ = true;
    return platform::ERROR_BUSY;
  }
  UnloadDisc();
  magazine_->Save();
  magazine_.reset();
  door_open_ = true;
  hold_engaged_ = false;
  release_requested_ = false;
  KLOG_INFO("unit: magazine ejected");
  return platform::ERROR_SUCCESS;
}

void SimUnit::PullMagazine() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!magazine_) return;
  UnloadDisc();
  magazine_->Save();
  magazine_.reset();
  door_open_ = false;
  hold_engaged_ = false;
  release_requested_ = false;
  KLOG_INFO("unit: magazine pulled out");
}

bool SimUnit::HasMagazine() {
  std::lock_guard<std::mutex> lock(mu_);
  return magazine_ != nullptr;
}

bool SimUnit::HoldsMedium() {
  std::lock_guard<std::mutex> lock(mu_);
  return !unplugged_ && magazine_ != nullptr && drive_slot_ >= 0;
}

std::filesystem::path SimUnit::MagazineDir() {
  std::lock_guard<std::mutex> lock(mu_);
  return magazine_ ? magazine_->dir() : std::filesystem::path();
}

void SimUnit::Unplug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = true;
  ++plug_generation_;
  if (magazine_) magazine_->Save();
  SaveState();
  cv_.notify_all();
  KLOG_INFO("unit: unplugged");
}

void SimUnit::Plug() {
  std::lock_guard<std::mutex> lock(mu_);
  unplugged_ = false;
  unit_attention_ = true;
  spun_up_ = drive_slot_ >= 0;
  ready_at_ms_ = Now() + options_.load_ms;
}

bool SimUnit::IsUnplugged() {
  std::lock_guard<std::mutex> lock(mu_);
  return unplugged_;
}

void SimUnit::FailNext(uint8_t opcode, uint32_t count, uint8_t key, uint8_t asc, uint8_t ascq) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count == 0) fail_next_.erase(opcode);
  else fail_next_[opcode] = Fault{count, key, asc, ascq};
}

void SimUnit::DelayNext(uint8_t opcode, uint32_t delay_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  delay_next_[opcode] = delay_ms;
}

void SimUnit::SetTemperature(uint8_t current, uint8_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  temperature_ = current;
  temperature_limit_ = limit;
}

bool SimUnit::SetCounter(uint8_t page, uint8_t page_control, uint8_t offset, uint8_t width, uint32_t value) {
  if (page >= 0x40 || (page_control != 0 && page_control != 2) || (width != 2 && width != 4) || offset + width > 64) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  uint8_t* field = &counters_[page_control == 0 ? 0 : 1][page][offset];
  if (width == 2) PutBe16(field, value);
  else PutBe32(field, value);
  return true;
}

bool SimUnit::SetPowResources(int slot, uint32_t replacements, uint32_t map_entries, uint32_t updates) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!magazine_) return false;
  if (slot < 0) slot = drive_slot_;
  if (slot < 0 || slot >= kSlotCount) return false;
  SimDisc& disc = magazine_->discs[slot];
  disc.pow[0] = replacements;
  disc.pow[1] = map_entries;
  disc.pow[2] = updates;
  magazine_->MarkDirty();
  magazine_->Save();
  return true;
}

void SimUnit::MarkDiscAway() {
  std::lock_guard<std::mutex> lock(mu_);
  disc_away_ = true;
  if (drive_slot_ >= 0) UnloadDisc();
  events_.push_back(0x000201);
  if (events_.size() > kMaxEvents) events_.erase(events_.begin());
  ++events_pending_;
}

void SimUnit::RequestRelease() {
  std::lock_guard<std::mutex> lock(mu_);
  release_requested_ = true;
}

void SimUnit::RaiseEvent(uint32_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  events_.push_back(value & 0xFFFFFF);
  if (events_.size() > kMaxEvents) events_.erase(events_.begin());
  if (events_pending_ < 0xFF) ++events_pending_;
}

void SimUnit::SetStatusPageDelay(uint32_t reads) {
  std::lock_guard<std::mutex> lock(mu_);
  status_page_short_reads_ = reads;
}

void SimUnit::SetStatusBytes(uint8_t a, uint8_t b, uint8_t c_override) {
  std::lock_guard<std::mutex> lock(mu_);
  status_a_ = a;
  status_b_ = b;
  status_c_override_ = c_override;
}

void SimUnit::SetWakeBusyReads(uint32_t reads) {
  std::lock_guard<std::mutex> lock(mu_);
  wake_busy_reads_ = reads;
}

std::string SimUnit::StatusText() {
  std::lock_guard<std::mutex> lock(mu_);
  std::ostringstream out;
  out << "identity: " << (options_.norve_identity ? "NORVE" : "KORRINDA") << " QX V1A0 " << firmware_revision_ << "\n";
  out << "serial: " << options_.serial << "\n";
  out << "plugged: " << (unplugged_ ? "no" : "yes") << "\n";
  out << "door: " << (door_open_ ? "open" : "closed") << "\n";
  if (magazine_) {
    const Magazine& m = *magazine_;
    char id[25];
    for (int i = 0; i < 12; ++i) std::snprintf(id + 2 * i, 3, "%02x", m.id[i]);
    out << "magazine: " << m.dir().string() << "\n";
    out << "type: " << (m.type == kTypeRewritable ? "rewritable" : "recordable") << " capacity code "
        << unsigned(m.capacity_code) << ", " << m.disc_sectors << " sectors per disc\n";
    out << "identifier: " << id << "\n";
    out << "write-protect: " << (m.write_protect ? "on" : "off") << "\n";
    out << "current disc: " << unsigned(m.current_disc) << "\n";
  } else {
    out << "magazine: none\n";
  }
  out << "drive: " << (drive_slot_ >= 0 ? "disc " + std::to_string(drive_slot_) : std::string("empty")) << "\n";
  out << "hold: " << (hold_engaged_ ? "engaged" : "released") << (release_requested_ ? ", release requested" : "")
      << "\n";
  out << "temperature: " << unsigned(temperature_) << " (limit " << unsigned(temperature_limit_) << ")\n";
  return out.str();
}

Win32Error SimUnit::Control(const std::string& line, std::string* reply) {
  std::istringstream in(line);
  std::string action;
  in >> action;
  auto number = [&](uint32_t* v) {
    std::string s;
    if (!(in >> s)) return false;
    try {
      size_t used = 0;
      *v = static_cast<uint32_t>(std::stoul(s, &used, 0));
      return used == s.size();
    } catch (...) {
      return false;
    }
  };
  uint32_t a = 0, b = 0, c = 0, d = 0, e = 0;
  auto bad = [&](const char* usage) {
    *reply = std::string("usage: ") + usage + "\n";
    return platform::ERROR_INVALID_PARAMETER;
  };
  *reply = "ok\n";
  if (action == "status") {
    *reply = StatusText();
  } else if (action == "insert") {
    std::string dir;
    std::getline(in >> std::ws, dir);
    if (dir.empty()) return bad("insert DIR");
    if (Win32Error err = InsertMagazine(dir)) {
      *reply = "cannot insert " + dir + ": " + platform::ErrorText(err) + "\n";
      return err;
    }
  } else if (action == "eject") {
    std::string force;
    in >> force;
    const Win32Error err = EjectMagazine(force == "force");
    if (err == platform::ERROR_BUSY) *reply = "the host holds the magazine: release requested\n";
    else if (err) *reply = "no magazine\n";
    return err;
  } else if (action == "pull") {
    PullMagazine();
  } else if (action == "unplug") {
    Unplug();
  } else if (action == "fail") {
    if (!number(&a) || !number(&b) || !number(&c) || !number(&d) || !number(&e) || a > 0xFF)
      return bad("fail OPCODE COUNT KEY ASC ASCQ");
    FailNext(static_cast<uint8_t>(a), b, static_cast<uint8_t>(c), static_cast<uint8_t>(d), static_cast<uint8_t>(e));
  } else if (action == "delay") {
    if (!number(&a) || !number(&b) || a > 0xFF) return bad("delay OPCODE MILLISECONDS");
    DelayNext(static_cast<uint8_t>(a), b);
  } else if (action == "temperature") {
    if (!number(&a) || !number(&b) || a > 0xFF || b > 0xFF) return bad("temperature CURRENT LIMIT");
    SetTemperature(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
  } else if (action == "counter") {
    if (!number(&a) || !number(&b) || !number(&c) || !number(&d) || !number(&e) ||
        !SetCounter(static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d), e))
      return bad("counter PAGE CONTROL(0|2) OFFSET WIDTH(2|4) VALUE");
  } else if (action == "pow") {
    if (!number(&a) || !number(&b) || !number(&c) || !number(&d) || !SetPowResources(static_cast<int>(a), b, c, d))
      return bad("pow SLOT REPLACEMENTS MAP-ENTRIES UPDATES");
  } else if (action == "exhaust-pow") {
    if (!SetPowResources(-1, 0, 0, 0)) return bad("exhaust-pow (needs a disc in the drive)");
  } else if (action == "disc-away") {
    MarkDiscAway();
  } else if (action == "release") {
    RequestRelease();
  } else if (action == "event") {
    if (!number(&a)) return bad("event VALUE");
    RaiseEvent(a);
  } else if (action == "status-delay") {
    if (!number(&a)) return bad("status-delay READS");
    SetStatusPageDelay(a);
  } else if (action == "status-bytes") {
    if (!number(&a) || !number(&b) || !number(&c)) return bad("status-bytes A B C(0xFF: computed)");
    SetStatusBytes(static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c));
  } else {
    return bad("status | insert DIR | eject [force] | pull | unplug | fail | delay | temperature | counter | pow | "
               "exhaust-pow | disc-away | release | event | status-delay | status-bytes");
  }
  return platform::ERROR_SUCCESS;
}

// ---- in-process device -------------------------------------------------------------

Win32Error SimScsiDevice::Execute(const ScsiCommand& command, ScsiReply* reply) {
  return unit_->Execute(command, reply);
}

Win32Error SimScsiDevice::QueryDescriptor(platform::StorageDeviceDescriptor* out) {
  if (unit_->IsUnplugged()) return platform::ERROR_DEVICE_NOT_CONNECTED;
  *out = unit_->Descriptor();
  return platform::ERROR_SUCCESS;
}

Win32Error SimScsiDevice::GetDeviceNumber(uint32_t* out) {
  if (unit_->IsUnplugged()) return platform::ERROR_DEVICE_NOT_CONNECTED;
  *out = unit_->device_number();
  return platform::ERROR_SUCCESS;
}

Win32Error SimScsiDevice::CheckVerify() { return unit_->CheckVerify(); }

Win32Error SimScsiDevice::EjectMedia() {
  if (unit_->IsUnplugged()) return platform::ERROR_DEVICE_NOT_CONNECTED;
  const Win32Error e = unit_->EjectMagazine(true);
  return e == platform::ERROR_NOT_READY ? platform::ERROR_SUCCESS : e;
}

}  // namespace kelva::emulator
