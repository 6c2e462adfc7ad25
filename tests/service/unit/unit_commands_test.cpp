// Command blocks and reply decoding of the unit command set, against a device
// that records what it is sent and answers with crafted replies.
#include "service/unit/unit_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kelva::unit {
namespace {

using platform::ScsiCommand;
using platform::ScsiDirection;
using platform::ScsiReply;
using platform::Win32Error;

struct Sent {
  std::vector<uint8_t> cdb;
  ScsiDirection direction;
  uint32_t length;
  uint32_t timeout;
  std::vector<uint8_t> data_out;
};

// One canned answer: a transport result, or a status, sense and returned data.
struct Answer {
  static Answer Transport(Win32Error e) {
    Answer a;
    a.transport = e;
    return a;
  }
  Win32Error transport = 0;
  uint8_t status = 0;
  uint8_t key = 0, asc = 0, ascq = 0;
  std::vector<uint8_t> data;
};

class ScriptedDevice : public platform::ScsiDevice {
 public:
  Win32Error Execute(const ScsiCommand& c, ScsiReply* reply) override {
    Sent s{std::vector<uint8_t>(c.cdb, c.cdb + c.cdb_length), c.direction, c.data_length, c.timeout_seconds, {}};
    if (c.direction == ScsiDirection::kToUnit && c.data_length) {
      const auto* p = static_cast<const uint8_t*>(c.data);
      s.data_out.assign(p, p + c.data_length);
    }
    sent.push_back(s);
    Answer a;
    if (!answers.empty()) {
      a = answers.front();
      if (answers.size() > 1 || !repeat_last) answers.pop_front();
    }
    if (a.transport) return a.transport;
    reply->status = a.status;
    reply->sense[2] = a.key;
    reply->sense[12] = a.asc;
    reply->sense[13] = a.ascq;
    if (c.direction == ScsiDirection::kFromUnit && c.data_length) {
      std::memset(c.data, 0, c.data_length);
      if (!a.data.empty()) std::memcpy(c.data, a.data.data(), std::min<size_t>(a.data.size(), c.data_length));
    }
    return 0;
  }
  Win32Error QueryDescriptor(platform::StorageDeviceDescriptor*) override { return 0; }
  Win32Error GetDeviceNumber(uint32_t*) override { return 0; }
  Win32Error CheckVerify() override { return 0; }
  Win32Error EjectMedia() override { return 0; }

  void Reply(std::vector<uint8_t> data) { answers.push_back(Answer{0, 0, 0, 0, 0, std::move(data)}); }
  void Fail(uint8_t key, uint8_t asc, uint8_t ascq) { answers.push_back(Answer{0, 2, key, asc, ascq, {}}); }

  std::vector<Sent> sent;
  std::deque<Answer> answers;
  bool repeat_last = false;
};

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", v);
    out += b;
  }
  return out;
}

// ---- golden command blocks -------------------------------------------------------

struct Golden {
  const char* name;
  std::function<void(DeviceHandle)> call;
  const char* cdb;
  ScsiDirection direction;
  uint32_t length;
  uint32_t timeout;
};

TEST(UnitCommandBlocks, EveryFunctionSendsItsExactBlock) {
  uint8_t buf[65536];
  const auto in = ScsiDirection::kFromUnit;
  const auto out = ScsiDirection::kToUnit;
  const std::vector<Golden> table = {
      {"test unit ready", [](DeviceHandle d) { TestUnitReady(d); }, "00 00 00 00 00 00", out, 0, 30},
      {"inquiry", [&](DeviceHandle d) { Inquiry(d, buf); }, "12 00 00 00 40 00", in, 64, 60},
      {"read capacity", [](DeviceHandle d) { uint32_t a, b; ReadCapacity(d, &a, &b); },
       "25 00 00 00 00 00 00 00 00 00", in, 8, 60},
      {"start", [](DeviceHandle d) { StartStopUnit(d, kStartUnit); }, "1B 00 00 00 01 00", out, 0, 600},
      {"eject", [](DeviceHandle d) { StartStopUnit(d, kEjectMedium); }, "1B 00 00 00 02 00", out, 0, 600},
      {"format unit", [](DeviceHandle d) { FormatUnit(d, 0x21); }, "04 11 00 00 00 00", out, 12, 600},
      {"read10", [&](DeviceHandle d) { Read10(d, 0x01020304, 2, buf); }, "28 00 01 02 03 04 00 00 02 00", in, 4096, 600},
      {"write10 16 blocks", [&](DeviceHandle d) { Write10(d, 288, 16, buf); }, "2A 00 00 00 01 20 00 00 10 00", out,
       32768, 600},
      {"synchronize cache", [](DeviceHandle d) { SynchronizeCache(d); }, "35 00 00 00 00 00 00 00 00 00", out, 0, 600},
      {"vendor synchronize", [](DeviceHandle d) { VendorSynchronize(d); }, "FB 00 00 00 00 00 00 00 00 00 A1 00", out, 0,
       600},
      {"power status", [](DeviceHandle d) { uint8_t s; GetPowerStatus(d, &s); }, "4A 01 00 00 04 00 00 00 10 00", in,
       16, 60},
      {"disc information", [](DeviceHandle d) { uint8_t s; uint16_t t; ReadDiscInformation(d, &s, &t); },
       "51 00 00 00 00 00 00 00 2A 00", in, 42, 60},
      {"pow resources", [](DeviceHandle d) { uint32_t c[3]; ReadPowResources(d, c); },
       "51 02 00 00 00 00 00 00 10 00", in, 16, 60},
      {"track information", [](DeviceHandle d) { TrackInformation t; ReadTrackInformation(d, 0x0102, &t); },
       "52 01 00 00 01 02 00 00 30 00", in, 48, 60},
      {"reserve by address", [](DeviceHandle d) { ReserveTrackAt(d, 550912); }, "53 01 00 08 68 00 00 00 00 00", out,
       0, 60},
      {"reserve", [](DeviceHandle d) { ReserveTrack(d); }, "53 00 00 00 00 00 00 00 00 00", out, 0, 60},
      {"allow removal", [](DeviceHandle d) { AllowMediumRemoval(d); }, "1E 00 00 00 00 00", out, 0, 600},
      {"mechanism status", [](DeviceHandle d) { uint8_t s; MechanismSlotQuery(d, &s); },
       "BD 00 00 00 00 00 00 00 00 38 00 00", in, 56, 60},
      {"profile", [](DeviceHandle d) { uint16_t p; GetCurrentProfile(d, &p); }, "46 02 00 00 00 00 00 02 00 00", in,
       512, 60},
      {"formattable", [](DeviceHandle d) { IsFormattableFeatureCurrent(d); }, "46 02 00 23 00 00 00 00 14 00", in, 20,
       60},
      {"finalize", [](DeviceHandle d) { CloseSessionFinalize(d); }, "5B 00 06 00 00 00 00 00 00 00", out, 0, 600},
      {"unload", [](DeviceHandle d) { UnloadMedium(d, 0x80); }, "A6 00 00 00 02 00 00 00 00 00 00 80", out, 0, 60},
      {"select slot", [](DeviceHandle d) { SelectSlot(d, 7); }, "A6 00 00 00 00 00 00 00 07 00 00 40", out, 0, 60},
      {"load slot", [](DeviceHandle d) { LoadSlot(d, 11); }, "A6 00 00 00 03 00 00 00 0B 00 00 00", out, 0, 60},
      {"firmware chunk", [&](DeviceHandle d) { WriteFirmwareChunk(d, 0x018000, buf, 32816); },
       "EA 00 00 01 80 00 00 80 30 00 00 00", out, 32816, 600},
      {"firmware read back", [&](DeviceHandle d) { ReadFirmwareChunk(d, 0x018000, buf, 32816); },
       "E8 00 00 01 80 00 00 80 30 00 00 00", in, 32816, 600},
      {"firmware activate", [](DeviceHandle d) { ActivateFirmware(d); }, "F5 00 00 00 00 00 00 00 00 00 00 00", out, 0,
       600},
      {"bridge version", [](DeviceHandle d) { uint16_t v; ReadBridgeVersion(d, &v); }, "3C 01 00 00 00 00 00 40 00 00",
       in, 64, 60},
      {"environment", [](DeviceHandle d) { UnitEnvironment e; ReadEnvironment(d, &e); },
       "FC 00 00 00 00 00 00 00 00 10 21 00", in, 16, 60},
      {"prepare", [](DeviceHandle d) { PrepareForWriting(d); }, "FB 10 0A 00 00 00 00 00 00 00 22 00", out, 0, 60},
      {"set clock", [](DeviceHandle d) { SetUnitClock(d, platform::SystemTime{2026, 12, 3, 9, 7, 5, 4, 0}); },
       "FB 00 00 00 00 00 00 00 00 12 51 00", out, 18, 60},
      {"read log", [&](DeviceHandle d) { ReadLogSection(d, 2, buf, 514); }, "FC 00 02 00 00 00 00 00 02 02 51 00", in,
       514, 60},
      {"counter limits", [&](DeviceHandle d) { ReadCounterPage(d, 2, 0x11, buf, 64); },
       "FC 00 91 00 00 00 00 00 00 40 52 00", in, 64, 60},
      {"event list", [](DeviceHandle d) { EventList e; ReadEventList(d, &e); }, "FC 00 00 00 00 00 00 00 00 84 54 00",
       in, 132, 60},
      {"magazine id", [](DeviceHandle d) { uint8_t id[12]; ReadMagazineId(d, id); },
       "FC 00 00 00 00 00 00 00 00 10 1D 00", in, 16, 60},
      {"label", [](DeviceHandle d) { uint8_t l[11]; ReadMagazineLabel(d, l); }, "FC 03 00 00 00 00 00 00 00 14 1D 00",
       in, 20, 60},
      {"current disc", [](DeviceHandle d) { uint8_t n; ReadCurrentDisc(d, &n); }, "FC 10 00 00 00 00 00 00 00 08 1D 00",
       in, 8, 60},
      {"write current disc", [](DeviceHandle d) { WriteCurrentDisc(d, 4); }, "FB 10 00 00 00 00 00 00 00 04 1D 00",
       out, 4, 60},
      {"write protect", [](DeviceHandle d) { bool p; ReadWriteProtect(d, &p); }, "FC 11 00 00 00 00 00 00 00 08 1D 00",
       in, 8, 60},
      {"host memo", [](DeviceHandle d) { HostMemo m; ReadHostMemo(d, &m); }, "FC 18 00 00 00 00 00 00 00 48 1D 00", in,
       72, 60},
      {"write host memo", [&](DeviceHandle d) { WriteHostMemo(d, buf); }, "FB 18 00 00 00 00 00 00 00 44 1D 00", out,
       68, 60},
      {"format counter", [](DeviceHandle d) { uint16_t c; ReadFormatCounter(d, &c); },
       "FC 19 00 00 00 00 00 00 00 08 1D 00", in, 8, 60},
      {"write format counter", [](DeviceHandle d) { WriteFormatCounter(d, 0x0102); },
       "FB 19 00 00 00 00 00 00 00 04 1D 00", out, 4, 60},
      {"parameter commit", [](DeviceHandle d) { SendParameterCommit(d); }, "FB 1F 00 00 00 00 00 00 00 00 1D 00", out,
       0, 60},
      {"hold", [](DeviceHandle d) { MagazineHold(d, true); }, "FB 03 00 00 00 00 00 00 00 00 80 00", out, 0, 60},
      {"release", [](DeviceHandle d) { MagazineHold(d, false); }, "FB 00 00 00 00 00 00 00 00 00 80 00", out, 0, 60},
      {"hold status", [](DeviceHandle d) { HoldStatus h; ReadHoldStatus(d, &h); },
       "FC 00 00 00 00 00 00 00 00 04 80 00", in, 4, 60},
      {"disc info size", [](DeviceHandle d) { uint8_t c; uint32_t s; ReadDiscInfoSize(d, 1, &c, &s); },
       "FC 01 00 00 00 00 00 00 00 08 90 00", in, 8, 60},
      {"disc info chunk", [&](DeviceHandle d) { ReadDiscInfoChunk(d, 0, 3, buf); },
       "FC 00 03 00 00 00 00 01 00 00 90 00", in, 65536, 60},
      {"disc info write", [&](DeviceHandle d) { WriteDiscInfoChunk(d, 1, 2, buf, 1234); },
       "FB 01 02 00 00 00 00 00 04 D2 90 00", out, 1234, 600},
      {"mode query", [](DeviceHandle d) { uint8_t m; ReadUnitMode(d, &m); }, "FC 00 00 00 00 00 00 00 00 04 A0 00", in,
       4, 60},
      {"mode set", [](DeviceHandle d) { SetUnitMode(d); }, "FB 00 01 00 00 00 00 00 00 00 A0 00", out, 0, 60},
      {"bracket begin", [](DeviceHandle d) { ExchangeBracket(d, true); }, "FB 01 00 00 00 00 00 00 00 00 A2 00", out, 0,
       60},
      {"wake", [](DeviceHandle d) { WakeUnit(d); }, "FB 00 00 00 00 00 00 00 00 00 A3 00", out, 0, 60},
      {"rest", [](DeviceHandle d) { RestUnit(d); }, "FB 01 00 00 00 00 00 00 00 00 A3 00", out, 0, 60},
      {"wake status", [](DeviceHandle d) { bool b; ReadWakeStatus(d, &b); }, "FC 00 00 00 00 00 00 00 00 04 A3 00", in,
       4, 60},
  };
  for (const Golden& g : table) {
    ScriptedDevice device;
    g.call(&device);
    ASSERT_FALSE(device.sent.empty()) << g.name;
    const Sent& s = device.sent.back();
    EXPECT_EQ(Hex(s.cdb), g.cdb) << g.name;
    EXPECT_EQ(s.direction, g.direction) << g.name;
    EXPECT_EQ(s.length, g.length) << g.name;
    EXPECT_EQ(s.timeout, g.timeout) << g.name;
  }
}

TEST(UnitCommandBlocks, CdbLengthFollowsTheOperationCodeGroup) {
  EXPECT_EQ(CdbLength(0x00), 6);
  EXPECT_EQ(CdbLength(0x1B), 6);
  EXPECT_EQ(CdbLength(0x28), 10);
  EXPECT_EQ(CdbLength(0x5A), 10);
  EXPECT_EQ(CdbLength(0x7F), 10);
  EXPECT_EQ(CdbLength(0x88), 16);
  EXPECT_EQ(CdbLength(0xA6), 12);
  EXPECT_EQ(CdbLength(0xBD), 12);
  EXPECT_EQ(CdbLength(0xFB), 12);
  EXPECT_EQ(CdbLength(0xFC), 12);
}

TEST(UnitCommandBlocks, DataSentWithTheCommands) {
  ScriptedDevice device;
  FormatUnit(&device, 0x21);
  FormatUnit(&device, 0x22);
  EXPECT_EQ(Hex(device.sent[0].data_out), "00 80 00 08 00 00 00 00 00 00 08 00");
  EXPECT_EQ(Hex(device.sent[1].data_out), "00 80 00 08 00 00 00 00 00 00 00 00");

  SetUnitClock(&device, platform::SystemTime{2026, 12, 3, 9, 7, 5, 4, 0});
  const auto& clock = device.sent.back().data_out;
  EXPECT_EQ(std::string(clock.begin() + 4, clock.end()), "20261209070504");
  EXPECT_EQ(Hex({clock.begin(), clock.begin() + 4}), "00 00 00 00");

  uint8_t memo[64];
  for (int i = 0; i < 64; ++i) memo[i] = static_cast<uint8_t>(i);
  WriteHostMemo(&device, memo);
  const auto& m = device.sent.back().data_out;
  ASSERT_EQ(m.size(), 68u);
  EXPECT_EQ(Hex({m.begin(), m.begin() + 5}), "00 00 00 40 00");
  EXPECT_EQ(m[67], 63);

  WriteCurrentDisc(&device, 9);
  EXPECT_EQ(Hex(device.sent.back().data_out), "09 00 00 00");
  WriteFormatCounter(&device, 0x1234);
  EXPECT_EQ(Hex(device.sent.back().data_out), "12 34 00 00");
}

// ---- send ------------------------------------------------------------------------

TEST(UnitSend, InvalidHandleNeverReachesADevice) {
  EXPECT_EQ(TestUnitReady(nullptr), kStatusInvalidHandle);
  uint8_t data[2048];
  EXPECT_EQ(Read10(nullptr, 0, 1, data), kStatusInvalidHandle);
  UnitStatus status;
  platform::TestClock clock;
  EXPECT_FALSE(ReadUnitStatus(nullptr, &status, clock));
}

TEST(UnitSend, StatusComposesStatusByteAndSense) {
  ScriptedDevice device;
  device.Fail(2, 0x3A, 0x01);
  const uint32_t status = TestUnitReady(&device);
  EXPECT_EQ(status, 0x02023A01u);
  EXPECT_EQ(Low24(status), kSenseNoMediumTrayClosed);

  // Sense byte 2 is taken whole, flag bits included.
  device.answers.push_back(Answer{0, 2, 0x85, 0x24, 0x00, {}});
  EXPECT_EQ(TestUnitReady(&device), 0x02852400u);
  EXPECT_EQ(TestUnitReady(&device), 0u);
}

TEST(UnitSend, RetriesAFailingTransportThreeTimesInAll) {
  ScriptedDevice device;
  device.answers = {Answer::Transport(platform::ERROR_IO_DEVICE), Answer::Transport(platform::ERROR_BUSY), Answer{}};
  EXPECT_EQ(TestUnitReady(&device), 0u);
  EXPECT_EQ(device.sent.size(), 3u);

  ScriptedDevice dead;
  dead.answers = {Answer::Transport(platform::ERROR_IO_DEVICE), Answer::Transport(platform::ERROR_BUSY),
                  Answer::Transport(platform::ERROR_DEVICE_NOT_CONNECTED), Answer{}};
  EXPECT_EQ(TestUnitReady(&dead), platform::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(dead.sent.size(), 3u);

  // A check condition is an answer, not a transport failure: no retry.
  ScriptedDevice answered;
  answered.Fail(5, 0x24, 0);
  TestUnitReady(&answered);
  EXPECT_EQ(answered.sent.size(), 1u);
}

// ---- decoders ---------------------------------------------------------------------

std::vector<uint8_t> StatusPage(uint16_t length) {
  std::vector<uint8_t> p(256, 0);
  p[0] = static_cast<uint8_t>(length >> 8);
  p[1] = static_cast<uint8_t>(length);
  p[2] = 0x22;
  p[4] = 0xF2;
  p[7] = 0x80;
  p[8] = 0xA1;
  p[9] = 0xB2;
  p[10] = 0xC3;
  return p;
}

TEST(UnitStatusRead, RereadsUntilThePageIsFilled) {
  ScriptedDevice device;
  device.Reply({});  // TEST UNIT READY
  device.Reply(StatusPage(4));
  device.Reply(StatusPage(8));
  device.Reply(StatusPage(9));
  platform::TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  const uint64_t start = clock.NowMs();
  UnitStatus s;
  ASSERT_TRUE(ReadUnitStatus(&device, &s, clock));
  EXPECT_EQ(device.sent.size(), 4u);
  EXPECT_EQ(device.sent[0].cdb[0], 0x00);
  EXPECT_EQ(clock.NowMs() - start, 200u);
  EXPECT_EQ(s.magazine_type, 0x22);
  EXPECT_EQ(s.capacity_code, 2);
  EXPECT_TRUE(s.disc_away);
  EXPECT_EQ(s.status_a, 0xA1);
  EXPECT_EQ(s.status_b, 0xB2);
  EXPECT_EQ(s.status_c, 0x03);
}

TEST(UnitStatusRead, APageThatNeverFillsIsDecodedAfterTheFiftiethRead) {
  ScriptedDevice device;
  device.Reply({});
  device.Reply(StatusPage(3));
  device.repeat_last = true;
  platform::TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  const uint64_t start = clock.NowMs();
  UnitStatus s;
  ASSERT_TRUE(ReadUnitStatus(&device, &s, clock));
  EXPECT_EQ(device.sent.size(), 51u);
  EXPECT_EQ(clock.NowMs() - start, 4900u);
  EXPECT_EQ(s.magazine_type, 0x22);
}

// A read that fails ends the call at once: only a short page is read again,
// and a good page after a failure does not make the failure a success.
TEST(UnitStatusRead, AFailedReadFailsTheCallWithoutFurtherReads) {
  struct Case {
    const char* name;
    std::vector<Answer> reads;  // answers after TEST UNIT READY
    size_t commands;            // commands sent in all, TEST UNIT READY included
  };
  const Answer rejected{0, 2, 5, 0x24, 0, {}};
  const Answer good{0, 0, 0, 0, 0, StatusPage(9)};
  const Answer short_page{0, 0, 0, 0, 0, StatusPage(4)};
  const Answer gone = Answer::Transport(platform::ERROR_DEVICE_NOT_CONNECTED);
  const Case cases[] = {
      {"rejected", {rejected}, 2},
      {"rejected, then good", {rejected, good}, 2},
      {"short, then rejected", {short_page, rejected, good}, 3},
      // TEST UNIT READY and the read each try the transport three times.
      {"unplugged", {gone}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    device.Reply({});
    for (const Answer& a : c.reads) device.answers.push_back(a);
    device.repeat_last = true;
    platform::TestClock clock;
    clock.SetAutoAdvanceOnSleep(true);
    UnitStatus s;
    EXPECT_FALSE(ReadUnitStatus(&device, &s, clock));
    EXPECT_EQ(device.sent.size(), c.commands);
  }
}

std::vector<uint8_t> SerialFeature(uint32_t data_length, uint16_t code, uint8_t additional, const std::string& text) {
  std::vector<uint8_t> d(64, 0);
  d[0] = static_cast<uint8_t>(data_length >> 24);
  d[3] = static_cast<uint8_t>(data_length);
  d[8] = static_cast<uint8_t>(code >> 8);
  d[9] = static_cast<uint8_t>(code);
  d[11] = additional;
  std::memcpy(&d[12], text.data(), std::min<size_t>(text.size(), 52));
  return d;
}

TEST(DriveSerial, RulesOfTheSerialFeature) {
  const std::string long_text = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
  ScriptedDevice device;
  device.Reply({});
  device.Reply(SerialFeature(52, 0x0108, 40, long_text));
  std::string serial;
  ASSERT_TRUE(ReadDriveSerial(&device, &serial));
  EXPECT_EQ(serial, long_text.substr(0, 32));
  EXPECT_EQ(device.sent[0].cdb[0], 0x00);  // TEST UNIT READY first
  EXPECT_EQ(Hex(device.sent[1].cdb), "46 00 01 08 00 00 00 00 40 00");

  ScriptedDevice wrong_feature;
  wrong_feature.Reply({});
  wrong_feature.Reply(SerialFeature(52, 0x0107, 8, "SERIAL01"));
  EXPECT_FALSE(ReadDriveSerial(&wrong_feature, &serial));

  ScriptedDevice too_short;
  too_short.Reply({});
  too_short.Reply(SerialFeature(11, 0x0108, 8, "SERIAL01"));
  EXPECT_FALSE(ReadDriveSerial(&too_short, &serial));

  ScriptedDevice exact;
  exact.Reply({});
  exact.Reply(SerialFeature(12, 0x0108, 8, "SERIAL01  "));
  ASSERT_TRUE(ReadDriveSerial(&exact, &serial));
  EXPECT_EQ(serial, "SERIAL01");
}

std::vector<uint8_t> Events(uint8_t length, uint8_t pending, int entries) {
  std::vector<uint8_t> d(132, 0);
  d[1] = length;
  d[2] = pending;
  for (int i = 0; i < entries; ++i) {
    d[4 + 4 * i] = 0x12;
    d[5 + 4 * i] = 0x34;
    d[6 + 4 * i] = static_cast<uint8_t>(i);
    d[7 + 4 * i] = 0xEE;  // not part of the value
  }
  return d;
}

TEST(EventListRead, ValidatesTheLengthByte) {
  auto read = [](std::vector<uint8_t> data, EventList* e) {
    ScriptedDevice device;
    device.Reply(std::move(data));
    return ReadEventList(&device, e);
  };
  EventList e;
  EXPECT_FALSE(read(Events(0, 1, 0), &e));
  EXPECT_FALSE(read(Events(3, 1, 0), &e));
  EXPECT_FALSE(read(Events(6, 1, 0), &e));
  EXPECT_FALSE(read(Events(136, 1, 32), &e));  // 33 entries announced: more than the buffer
  ASSERT_TRUE(read(Events(4, 0, 0), &e));
  EXPECT_EQ(e.count, 0);
  ASSERT_TRUE(read(Events(12, 2, 2), &e));
  EXPECT_EQ(e.count, 2);
  EXPECT_EQ(e.pending, 2);
  EXPECT_EQ(e.entries[1], 0x123401u);
  ASSERT_TRUE(read(Events(132, 5, 32), &e));
  EXPECT_EQ(e.count, 32);
  EXPECT_EQ(e.entries[31], 0x12341Fu);
}

TEST(MechanismStatusRead, BothFormsDecodeEveryOutcome) {
  auto query = [](Answer a, bool idle, uint8_t* value) {
    ScriptedDevice device;
    device.answers.push_back(a);
    device.repeat_last = true;
    return idle ? MechanismIdleQuery(&device, value) : MechanismSlotQuery(&device, value);
  };
  auto data = [](uint8_t b0, uint8_t b1) {
    std::vector<uint8_t> d(56, 0);
    d[0] = b0;
    d[1] = b1;
    return Answer{0, 0, 0, 0, 0, d};
  };
  uint8_t v = 0xEE;
  EXPECT_EQ(query(Answer{0, 2, 4, 0x40, 0x00, {}}, false, &v), 4);
  EXPECT_EQ(query(Answer{0, 2, 4, 0x08, 0x00, {}}, false, &v), 4);
  EXPECT_EQ(query(Answer{0, 2, 4, 0x08, 0x01, {}}, false, &v), 5);
  EXPECT_EQ(query(Answer{0, 2, 2, 0x3A, 0x01, {}}, false, &v), 5);
  EXPECT_EQ(query(Answer::Transport(platform::ERROR_IO_DEVICE), false, &v), 5);
  EXPECT_EQ(query(data(0x85, 0x20), false, &v), 2);
  EXPECT_EQ(query(data(0x05, 0x00), false, &v), 1);
  EXPECT_EQ(query(data(0x05, 0x30), false, &v), 3);
  EXPECT_EQ(v, 0xEE);
  EXPECT_EQ(query(data(0x6B, 0x20), false, &v), 0);
  EXPECT_EQ(v, 0x0B);
  // The idle form reads bit 5 the other way round and returns the changer state.
  EXPECT_EQ(query(data(0x6B, 0x20), true, &v), 1);
  EXPECT_EQ(query(data(0x6B, 0x00), true, &v), 0);
  EXPECT_EQ(v, 0x60);
}

TEST(ParameterRead, TheValidFlagDecides) {
  std::vector<uint8_t> id(16, 0);
  for (int i = 0; i < 12; ++i) id[4 + i] = static_cast<uint8_t>(0xA0 + i);
  ScriptedDevice device;
  device.Reply(id);
  uint8_t out[12];
  EXPECT_FALSE(ReadMagazineId(&device, out));
  id[2] = 1;
  device.Reply(id);
  ASSERT_TRUE(ReadMagazineId(&device, out));
  EXPECT_EQ(out[0], 0xA0);
  EXPECT_EQ(out[11], 0xAB);

  std::vector<uint8_t> memo(72, 0);
  memo[2] = 1;
  memo[4] = 0x81;
  memo[5] = 0x02;
  memo[8] = 0x87;
  memo[71] = 0x55;
  device.Reply(memo);
  HostMemo m;
  ASSERT_TRUE(ReadHostMemo(&device, &m));
  EXPECT_TRUE(m.flag);
  EXPECT_EQ(m.number, 0x0102);
  EXPECT_EQ(m.memo[0], 0x87);
  EXPECT_EQ(m.memo[63], 0x55);

  device.Reply({0, 6, 1, 0x19, 0x01, 0x02, 0, 0});
  uint16_t counter = 0;
  ASSERT_TRUE(ReadFormatCounter(&device, &counter));
  EXPECT_EQ(counter, 0x0102);

  device.Reply({0, 6, 1, 0x11, 0xFE, 0, 0, 0});
  bool protect = true;
  ASSERT_TRUE(ReadWriteProtect(&device, &protect));
  EXPECT_FALSE(protect);

  device.Fail(2, 0x3A, 1);
  uint8_t disc = 0;
  EXPECT_FALSE(ReadCurrentDisc(&device, &disc));
}

TEST(StandardReplies, DiscTrackAndCapacityDecoding) {
  ScriptedDevice device;
  std::vector<uint8_t> di(42, 0);
  di[2] = 0x1E;  // erasable, complete session, status 2
  di[6] = 0x05;
  di[11] = 0x01;
  device.Reply(di);
  uint8_t status = 0;
  uint16_t last = 0;
  ASSERT_TRUE(ReadDiscInformation(&device, &status, &last));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(last, 261);

  std::vector<uint8_t> ti(48, 0);
  ti[7] = 0x02;  // next writable address not valid
  ti[11] = 0x20;
  ti[15] = 0x40;
  ti[19] = 0x10;
  ti[27] = 0x30;
  device.Reply(ti);
  TrackInformation t;
  ASSERT_TRUE(ReadTrackInformation(&device, 2, &t));
  EXPECT_EQ(t.start, 0x20u);
  EXPECT_EQ(t.next_writable, 0xFFFFFFFFu);
  EXPECT_EQ(t.free_blocks, 0x10u);
  EXPECT_EQ(t.size, 0x30u);
  ti[7] = 0x01;
  device.Reply(ti);
  ASSERT_TRUE(ReadTrackInformation(&device, 2, &t));
  EXPECT_EQ(t.next_writable, 0x40u);

  device.Reply({0x00, 0xBA, 0x73, 0xFF, 0x00, 0x00, 0x08, 0x00});
  uint32_t lba = 0, block = 0;
  ASSERT_TRUE(ReadCapacity(&device, &lba, &block));
  EXPECT_EQ(lba, 12219391u);
  EXPECT_EQ(block, 2048u);

  device.Reply({0, 14, 2, 0, 0, 0, 0, 9, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF});
  uint32_t counters[3];
  ASSERT_TRUE(ReadPowResources(&device, counters));
  EXPECT_EQ(counters[0], 9u);
  EXPECT_EQ(counters[1], 256u);
  EXPECT_EQ(counters[2], 0xFFFFFFFFu);

  device.Fail(2, 0x3A, 1);
  EXPECT_FALSE(ReadCapacity(&device, &lba, &block));
}

TEST(StandardReplies, CurrentProfileAndFormattableFeature) {
  std::vector<uint8_t> config(512, 0);
  config[3] = 24;
  config[9] = 0x00;
  config[11] = 12;
  const uint8_t profiles[] = {0x00, 0x43, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x41, 0x01, 0x00};
  std::memcpy(&config[12], profiles, sizeof profiles);
  ScriptedDevice device;
  device.Reply(config);
  uint16_t profile = 0;
  ASSERT_TRUE(GetCurrentProfile(&device, &profile));
  EXPECT_EQ(profile, 0x0041);
  config[22] = 0;  // no current profile
  device.Reply(config);
  EXPECT_FALSE(GetCurrentProfile(&device, &profile));

  std::vector<uint8_t> feature(20, 0);
  feature[3] = 16;
  feature[9] = 0x23;
  feature[10] = 0x01;
  device.Reply(feature);
  EXPECT_TRUE(IsFormattableFeatureCurrent(&device));
  feature[10] = 0x02;
  device.Reply(feature);
  EXPECT_FALSE(IsFormattableFeatureCurrent(&device));
}

TEST(VendorReplies, EnvironmentHoldWakeAndDiscInformationSize) {
  ScriptedDevice device;
  device.Reply({0, 14, 60, 61, 0x09});
  UnitEnvironment env;
  ASSERT_TRUE(ReadEnvironment(&device, &env));
  EXPECT_EQ(env.temperature_limit, 60);
  EXPECT_EQ(env.temperature, 61);
  EXPECT_TRUE(env.preparation_required);
  EXPECT_TRUE(env.preparation_in_progress);

  device.Reply({0x03, 0x01, 0, 0});
  HoldStatus hold;
  ASSERT_TRUE(ReadHoldStatus(&device, &hold));
  EXPECT_TRUE(hold.engaged);
  EXPECT_TRUE(hold.release_requested);
  device.Reply({0x02, 0x00, 0, 0});
  ASSERT_TRUE(ReadHoldStatus(&device, &hold));
  EXPECT_FALSE(hold.engaged);

  device.Reply({0, 0, 0x03, 0});
  bool busy = false;
  ASSERT_TRUE(ReadWakeStatus(&device, &busy));
  EXPECT_TRUE(busy);

  const std::vector<uint8_t> sizes = {0x01, 0x00, 0x07, 0xFC, 0x02, 0x01, 0x0F, 0xF8};
  device.Reply(sizes);
  uint8_t chunks = 0;
  uint32_t size = 0;
  ASSERT_TRUE(ReadDiscInfoSize(&device, 1, &chunks, &size));
  EXPECT_EQ(chunks, 1);
  EXPECT_EQ(size, 0x7FCu);
  device.Reply(sizes);
  ASSERT_TRUE(ReadDiscInfoSize(&device, 0, &chunks, &size));
  EXPECT_EQ(chunks, 2);
  EXPECT_EQ(size, 0x10FF8u);
  EXPECT_EQ(device.sent.back().cdb[1], 0);
}

TEST(ModePage, SendsBackTheReadPageWithByteTenReplaced) {
  ScriptedDevice device;
  device.Reply({0x00, 0x0A, 0x11, 0x22, 0, 0, 0, 0, 0x80, 0x02, 0x00, 0x33});
  device.Reply({});
  EXPECT_EQ(SetModePage0Byte2(&device, 0x20), 0u);
  ASSERT_EQ(device.sent.size(), 2u);
  EXPECT_EQ(Hex(device.sent[0].cdb), "5A 08 00 00 00 00 00 00 0C 00");
  EXPECT_EQ(Hex(device.sent[1].cdb), "55 10 00 00 00 00 00 00 0C 00");
  EXPECT_EQ(Hex(device.sent[1].data_out), "00 0A 11 22 00 00 00 00 80 02 20 33");

  ScriptedDevice failing;
  failing.Fail(5, 0x24, 0);
  EXPECT_EQ(SetModePage0Byte2(&failing, 0x20), 0x02052400u);
  EXPECT_EQ(failing.sent.size(), 1u);  // nothing is written back after a failed read
}

}  // namespace
}  // namespace kelva::unit
