// The simulated unit driven through the unit command set, as the service drives it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "service/unit/unit_commands.h"
#include "tests/emulator/sim_fixture.h"

namespace kelva::emulator {
namespace {

using namespace kelva::unit;
using testing::FreshDir;
using testing::SmallSpec;

class SimUnitTest : public ::testing::Test {
 protected:
  void Open(uint8_t type, bool write_protect = false, SimUnitOptions options = {}) {
    dir_ = FreshDir("sim");
    MagazineSpec spec = SmallSpec(type);
    spec.write_protect = write_protect;
    ASSERT_EQ(Magazine::Create(dir_ / "mag", spec), 0u);
    options.state_file = dir_ / "unit.state";
    options_ = options;
    Start();
  }
  void Start() {
    unit_ = std::make_unique<SimUnit>(options_);
    device_ = std::make_unique<SimScsiDevice>(unit_.get());
    ASSERT_EQ(unit_->InsertMagazine(dir_ / "mag"), 0u);
    // The insertion raises a unit attention; the host's first command takes it.
    EXPECT_EQ(Low24(TestUnitReady(dev())), 0x062800u);
  }
  void Restart() {
    device_.reset();
    unit_.reset();
    Start();
  }
  DeviceHandle dev() { return device_.get(); }
  uint32_t Raw(std::vector<uint8_t> cdb, uint8_t direction = kDirectionToUnit, void* data = nullptr,
               uint32_t length = 0) {
    cdb.resize(16, 0);
    return Send(dev(), cdb.data(), direction, data, length, 60);
  }
  void FormatLoaded(uint8_t type) { ASSERT_EQ(FormatUnit(dev(), type), 0u); }

  std::filesystem::path dir_;
  SimUnitOptions options_;
  std::unique_ptr<SimUnit> unit_;
  std::unique_ptr<SimScsiDevice> device_;
};

std::vector<uint8_t> Pattern(uint32_t blocks, uint8_t seed) {
  std::vector<uint8_t> data(blocks * kSectorSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + seed);
  return data;
}

TEST_F(SimUnitTest, IdentityInquiryAndDriveSerial) {
  Open(kMagazineRewritable);
  uint8_t inquiry[64];
  ASSERT_EQ(Inquiry(dev(), inquiry), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 8), "KORRINDA");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 16), 16), "QX V1A0         ");
  std::string serial;
  ASSERT_TRUE(ReadDriveSerial(dev(), &serial));
  EXPECT_EQ(serial, "KQX10000001 ");
  platform::StorageDeviceDescriptor d;
  ASSERT_EQ(device_->QueryDescriptor(&d), 0u);
  EXPECT_EQ(d.vendor + " " + d.product, "KORRINDA QX V1A0         ");
}

TEST_F(SimUnitTest, ChangerMovesAndMechanismStatus) {
  Open(kMagazineRewritable);
  uint8_t slot = 0xFF;
  ASSERT_EQ(MechanismSlotQuery(dev(), &slot), 0);
  EXPECT_EQ(slot, 0);
  ASSERT_EQ(SelectSlot(dev(), 5), 0u);
  ASSERT_EQ(MechanismSlotQuery(dev(), &slot), 0);
  EXPECT_EQ(slot, 5);
  EXPECT_EQ(TestUnitReady(dev()), 0u);
  EXPECT_EQ(device_->CheckVerify(), 0u);

  ASSERT_EQ(UnloadMedium(dev(), 0x80), 0u);
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseNoMediumTrayClosed);
  EXPECT_NE(device_->CheckVerify(), 0u);
  ASSERT_EQ(LoadSlot(dev(), 11), 0u);
  ASSERT_EQ(MechanismSlotQuery(dev(), &slot), 0);
  EXPECT_EQ(slot, 11);
  EXPECT_EQ(Low24(LoadSlot(dev(), 12)), 0x052400u);

  // With a magazine inside, the idle form answers 1; without, 0 with the changer state.
  uint8_t state = 0xFF;
  EXPECT_EQ(MechanismIdleQuery(dev(), &state), 1);
  ASSERT_EQ(StartStopUnit(dev(), kEjectMedium), 0u);
  EXPECT_EQ(MechanismSlotQuery(dev(), &slot), 1);
  EXPECT_EQ(MechanismIdleQuery(dev(), &state), 3);  // door open
}

TEST_F(SimUnitTest, SenseForMissingMediumTrayOpenAndChange) {
  Open(kMagazineRewritable);
  ASSERT_EQ(StartStopUnit(dev(), kEjectMedium), 0u);
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseTrayOpen);
  EXPECT_FALSE(unit_->HasMagazine());
  uint32_t lba, block;
  EXPECT_FALSE(ReadCapacity(dev(), &lba, &block));
  ASSERT_EQ(StartStopUnit(dev(), kLoadAndStart), 0u);  // closes the empty tray
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseNoMediumTrayClosed);

  ASSERT_EQ(unit_->InsertMagazine(dir_ / "mag"), 0u);
  EXPECT_EQ(Low24(TestUnitReady(dev())), 0x062800u);
  EXPECT_EQ(TestUnitReady(dev()), 0u);

  // A removal is reported as a missing medium, an arrival as a unit attention.
  unit_->PullMagazine();
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseNoMediumTrayClosed);

  // Unknown and malformed command blocks.
  EXPECT_EQ(Low24(Raw({0x7E})), 0x052000u);
  EXPECT_EQ(Low24(Raw({0xFB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x77, 0})), 0x052400u);
  EXPECT_EQ(Low24(Raw({0x4A, 0x00, 0, 0, 0x04, 0, 0, 0, 0x10})), 0x052400u);
}

TEST_F(SimUnitTest, HoldAndPreventKeepTheMagazineIn) {
  Open(kMagazineRecordable);
  ASSERT_EQ(MagazineHold(dev(), true), 0u);
  HoldStatus hold;
  ASSERT_TRUE(ReadHoldStatus(dev(), &hold));
  EXPECT_TRUE(hold.engaged);
  EXPECT_EQ(Low24(StartStopUnit(dev(), kEjectMedium)), 0x055302u);
  // The eject button asks the host to let go.
  EXPECT_EQ(unit_->EjectMagazine(), platform::ERROR_BUSY);
  ASSERT_TRUE(ReadHoldStatus(dev(), &hold));
  EXPECT_TRUE(hold.release_requested);
  ASSERT_EQ(MagazineHold(dev(), false), 0u);
  ASSERT_EQ(StartStopUnit(dev(), kEjectMedium), 0u);
  EXPECT_FALSE(unit_->HasMagazine());
}

TEST_F(SimUnitTest, RewritableDiscTakesRandomWrites) {
  Open(kMagazineRewritable);
  uint32_t lba = 1, block = 0;
  ASSERT_TRUE(ReadCapacity(dev(), &lba, &block));
  EXPECT_EQ(lba, 0u);  // unformatted
  EXPECT_TRUE(IsFormattableFeatureCurrent(dev()));
  uint16_t profile = 0;
  ASSERT_TRUE(GetCurrentProfile(dev(), &profile));
  EXPECT_EQ(profile, 0x0043);
  UnitStatus status;
  ASSERT_TRUE(ReadUnitStatus(dev(), &status));
  EXPECT_EQ(status.magazine_type, 0x21);
  EXPECT_EQ(status.status_c, 0);

  FormatLoaded(0x21);
  ASSERT_TRUE(ReadCapacity(dev(), &lba, &block));
  EXPECT_EQ(lba, 4095u);
  EXPECT_EQ(block, 2048u);
  ASSERT_TRUE(ReadUnitStatus(dev(), &status));
  EXPECT_EQ(status.status_c, 1);

  const auto a = Pattern(32, 1), b = Pattern(16, 2);
  ASSERT_EQ(Write10(dev(), 1000, 32, a.data()), 0u);
  ASSERT_EQ(Write10(dev(), 100, 16, b.data()), 0u);
  ASSERT_EQ(Write10(dev(), 1008, 16, b.data()), 0u);
  std::vector<uint8_t> back(32 * kSectorSize);
  ASSERT_EQ(Read10(dev(), 1000, 32, back.data()), 0u);
  EXPECT_EQ(0, std::memcmp(back.data(), a.data(), 8 * kSectorSize));
  EXPECT_EQ(0, std::memcmp(back.data() + 8 * kSectorSize, b.data(), 16 * kSectorSize));
  EXPECT_EQ(Low24(Read10(dev(), 4090, 8, back.data())), 0x052100u);

  // The image is a plain sparse file of 2048-byte sectors from LBA 0.
  platform::File image;
  ASSERT_EQ(platform::File::Open(dir_ / "mag" / "disc00.img", platform::kAccessRead,
                                 platform::Disposition::kOpenExisting, &image), 0u);
  std::vector<uint8_t> raw(kSectorSize);
  ASSERT_EQ(image.ReadExactAt(100ull * kSectorSize, raw.data(), kSectorSize), 0u);
  EXPECT_EQ(0, std::memcmp(raw.data(), b.data(), kSectorSize));
}

TEST_F(SimUnitTest, WriteProtectedMagazineRefusesWrites) {
  Open(kMagazineRewritable, true);
  EXPECT_EQ(Low24(FormatUnit(dev(), 0x21)), 0x072700u);
  bool protect = false;
  ASSERT_TRUE(ReadWriteProtect(dev(), &protect));
  EXPECT_TRUE(protect);
  UnitStatus status;
  ASSERT_TRUE(ReadUnitStatus(dev(), &status));
  EXPECT_NE(status.status_a, 0);
}

TEST_F(SimUnitTest, RecordableDiscFollowsTrackAndOverwriteRules) {
  Open(kMagazineRecordable);
  FormatLoaded(0x22);
  uint8_t disc_status = 9;
  uint16_t last_track = 0;
  ASSERT_TRUE(ReadDiscInformation(dev(), &disc_status, &last_track));
  EXPECT_EQ(disc_status, 0);
  EXPECT_EQ(last_track, 1);

  // Split as the formatter does, then check the tracks.
  ASSERT_EQ(ReserveTrackAt(dev(), 1024), 0u);
  ASSERT_EQ(ReserveTrackAt(dev(), 2048), 0u);
  EXPECT_EQ(Low24(ReserveTrackAt(dev(), 2048)), 0x052400u);  // already a track start
  ASSERT_TRUE(ReadDiscInformation(dev(), &disc_status, &last_track));
  EXPECT_EQ(last_track, 3);
  TrackInformation t;
  ASSERT_TRUE(ReadTrackInformation(dev(), 2, &t));
  EXPECT_EQ(t.start, 1024u);
  EXPECT_EQ(t.size, 1024u);
  EXPECT_EQ(t.next_writable, 1024u);
  EXPECT_EQ(t.free_blocks, 1024u);

  const auto data = Pattern(32, 7);
  ASSERT_EQ(Write10(dev(), 0, 32, data.data()), 0u);
  ASSERT_EQ(Write10(dev(), 1024, 32, data.data()), 0u);
  ASSERT_EQ(Write10(dev(), 1056, 16, data.data()), 0u);
  // Beyond the next writable address, or across the end of a track.
  EXPECT_EQ(Low24(Write10(dev(), 100, 1, data.data())), 0x052102u);
  EXPECT_EQ(Low24(Write10(dev(), 2040, 16, data.data())), 0x052102u);
  ASSERT_TRUE(ReadTrackInformation(dev(), 2, &t));
  EXPECT_EQ(t.next_writable, 1072u);
  EXPECT_EQ(t.free_blocks, 1024u - 48);
  ASSERT_TRUE(ReadDiscInformation(dev(), &disc_status, &last_track));
  EXPECT_EQ(disc_status, 1);

  // Rewriting recorded sectors is a pseudo-overwrite and spends resources.
  uint32_t before[3], after[3];
  ASSERT_TRUE(ReadPowResources(dev(), before));
  EXPECT_GE(before[0], 100000u);
  const auto update = Pattern(4, 9);
  ASSERT_EQ(Write10(dev(), 8, 4, update.data()), 0u);
  ASSERT_TRUE(ReadPowResources(dev(), after));
  EXPECT_EQ(after[0], before[0] - 4);
  EXPECT_EQ(after[1], before[1] - 1);
  EXPECT_EQ(after[2], before[2] - 1);
  std::vector<uint8_t> back(4 * kSectorSize);
  ASSERT_EQ(Read10(dev(), 8, 4, back.data()), 0u);
  EXPECT_EQ(back, update);

  // A write that straddles the next writable address overwrites and appends.
  ASSERT_EQ(Write10(dev(), 1068, 8, data.data()), 0u);
  ASSERT_TRUE(ReadTrackInformation(dev(), 2, &t));
  EXPECT_EQ(t.next_writable, 1076u);

  ASSERT_TRUE(unit_->SetPowResources(-1, 3, 100, 100));
  EXPECT_EQ(Low24(Write10(dev(), 8, 4, update.data())), 0x030C00u);
  std::string reply;
  ASSERT_EQ(unit_->Control("exhaust-pow", &reply), 0u);
  EXPECT_EQ(Low24(Write10(dev(), 0, 1, update.data())), 0x030C00u);
  // Appending needs no spare resources.
  EXPECT_EQ(Write10(dev(), 32, 1, update.data()), 0u);

  ASSERT_EQ(CloseSessionFinalize(dev()), 0u);
  ASSERT_TRUE(ReadDiscInformation(dev(), &disc_status, &last_track));
  EXPECT_EQ(disc_status, 2);
  EXPECT_NE(Write10(dev(), 33, 1, update.data()), 0u);
  ASSERT_TRUE(ReadTrackInformation(dev(), 2, &t));
  EXPECT_EQ(t.next_writable, 0xFFFFFFFFu);
}

TEST_F(SimUnitTest, FormatterSplitOfAProductSizeDisc) {
  // The product disc: one track, last LBA 12,219,391, split at 25600,
  // 550912 and last - 287. Images are sparse, so this costs no space.
  dir_ = FreshDir("sim-full");
  MagazineSpec spec = SmallSpec(kMagazineRecordable, 0);
  ASSERT_EQ(Magazine::Create(dir_ / "mag", spec), 0u);
  options_.state_file.clear();
  Start();
  FormatLoaded(0x22);
  uint32_t last = 0, block = 0;
  ASSERT_TRUE(ReadCapacity(dev(), &last, &block));
  EXPECT_EQ(last, 12219391u);
  for (uint32_t at : {25600u, 550912u, last - 287}) ASSERT_EQ(ReserveTrackAt(dev(), at), 0u) << at;
  TrackInformation t;
  ASSERT_TRUE(ReadTrackInformation(dev(), 4, &t));
  EXPECT_EQ(t.start, 12219104u);
  EXPECT_EQ(t.start + t.size, last + 1);
}

TEST_F(SimUnitTest, DiscsParametersAndTracksSurviveARestart) {
  Open(kMagazineRecordable);
  FormatLoaded(0x22);
  ASSERT_EQ(ReserveTrackAt(dev(), 2048), 0u);
  const auto data = Pattern(32, 3);
  ASSERT_EQ(Write10(dev(), 0, 32, data.data()), 0u);
  ASSERT_EQ(SendParameterCommit(dev()), 0u);
  ASSERT_EQ(WriteCurrentDisc(dev(), 3), 0u);
  ASSERT_EQ(WriteFormatCounter(dev(), 41), 0u);
  uint8_t memo[64] = {0x87, 1, 2, 3};
  ASSERT_EQ(WriteHostMemo(dev(), memo), 0u);
  unit_->SetCounter(2, 0, 0x1A, 2, 77);

  Restart();
  uint8_t disc = 0;
  ASSERT_TRUE(ReadCurrentDisc(dev(), &disc));
  EXPECT_EQ(disc, 3);
  uint8_t slot = 0;
  ASSERT_EQ(MechanismSlotQuery(dev(), &slot), 0);
  EXPECT_EQ(slot, 3);  // the unit loads the magazine's current disc
  ASSERT_EQ(SelectSlot(dev(), 0), 0u);
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(Read10(dev(), 0, 32, back.data()), 0u);
  EXPECT_EQ(back, data);
  TrackInformation t;
  ASSERT_TRUE(ReadTrackInformation(dev(), 1, &t));
  EXPECT_EQ(t.next_writable, 32u);
  EXPECT_EQ(t.size, 2048u);
  uint16_t counter = 0;
  ASSERT_TRUE(ReadFormatCounter(dev(), &counter));
  EXPECT_EQ(counter, 41);
  HostMemo m;
  ASSERT_TRUE(ReadHostMemo(dev(), &m));
  EXPECT_TRUE(m.flag);
  EXPECT_EQ(m.number, 1);
  EXPECT_EQ(m.memo[0], 0x87);
  EXPECT_EQ(m.memo[3], 3);
  uint8_t page[64];
  ASSERT_EQ(ReadCounterPage(dev(), 0, 2, page, 52), 0u);
  EXPECT_EQ(page[0x1B], 77);  // the unit's own state is kept too
}

TEST_F(SimUnitTest, TagParametersAndTheirValidity) {
  Open(kMagazineRewritable);
  uint8_t id[12], label[11];
  ASSERT_TRUE(ReadMagazineId(dev(), id));
  EXPECT_EQ(id[0], 0x10);
  EXPECT_EQ(id[11], 0x1B);
  ASSERT_TRUE(ReadMagazineLabel(dev(), label));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(label), 11), "ARCHIVE 01 ");
  EXPECT_EQ(Low24(WriteCurrentDisc(dev(), 12)), 0x052600u);
  uint8_t bad_memo[68] = {0x00, 0x00, 0x00, 0x20};
  uint8_t cdb[12];
  BuildVendorCdb(cdb, 0xFB, 0x1D, 0x18, 0, 68);
  EXPECT_EQ(Low24(Send(dev(), cdb, kDirectionToUnit, bad_memo, 68, 60)), 0x052600u);

  // Without a magazine the tag cannot be read: the valid flag is 0.
  ASSERT_EQ(StartStopUnit(dev(), kEjectMedium), 0u);
  EXPECT_FALSE(ReadMagazineId(dev(), id));
  uint8_t raw[16];
  BuildVendorCdb(cdb, 0xFC, 0x1D, 0x00, 0, 16);
  EXPECT_EQ(Send(dev(), cdb, kDirectionFromUnit, raw, 16, 60), 0u);
}

TEST_F(SimUnitTest, DiscInformationChunksRoundTrip) {
  Open(kMagazineRewritable);
  uint8_t chunks = 0;
  uint32_t size = 0;
  ASSERT_TRUE(ReadDiscInfoSize(dev(), 0, &chunks, &size));
  ASSERT_NE(chunks, 0xFF);
  ASSERT_LE(size + 8, chunks * kDiscInfoChunkSize);
  std::vector<uint8_t> saved(chunks * kDiscInfoChunkSize);
  for (uint8_t i = 0; i < chunks; ++i) {
    ASSERT_EQ(ReadDiscInfoChunk(dev(), 0, i, saved.data() + i * kDiscInfoChunkSize), 0u);
  }
  saved.resize(size + 8);

  // Another disc, then the saved block goes back as the host restores it.
  ASSERT_EQ(SelectSlot(dev(), 1), 0u);
  std::vector<uint8_t> block(70000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31 + 5);
  ASSERT_EQ(WriteDiscInfoChunk(dev(), 0, 0, block.data(), 65536), 0u);
  ASSERT_EQ(WriteDiscInfoChunk(dev(), 0, 1, block.data() + 65536, 70000 - 65536), 0u);
  EXPECT_EQ(Low24(WriteDiscInfoChunk(dev(), 0, 3, block.data(), 16)), 0x052400u);  // out of order
  ASSERT_TRUE(ReadDiscInfoSize(dev(), 0, &chunks, &size));
  EXPECT_EQ(chunks, 2);
  EXPECT_EQ(size, 70000u - 8);
  std::vector<uint8_t> back(2 * kDiscInfoChunkSize);
  ASSERT_EQ(ReadDiscInfoChunk(dev(), 0, 0, back.data()), 0u);
  ASSERT_EQ(ReadDiscInfoChunk(dev(), 0, 1, back.data() + kDiscInfoChunkSize), 0u);
  EXPECT_EQ(0, std::memcmp(back.data(), block.data(), block.size()));
  EXPECT_NE(ReadDiscInfoChunk(dev(), 0, 2, back.data()), 0u);

  // Kind 1 is separate, and disc 0 still has its own block.
  ASSERT_TRUE(ReadDiscInfoSize(dev(), 1, &chunks, &size));
  EXPECT_EQ(chunks, 1);
  ASSERT_EQ(SelectSlot(dev(), 0), 0u);
  ASSERT_TRUE(ReadDiscInfoSize(dev(), 0, &chunks, &size));
  EXPECT_EQ(size + 8, saved.size());

  // No disc in the drive: no information.
  ASSERT_EQ(UnloadMedium(dev(), 0), 0u);
  ASSERT_TRUE(ReadDiscInfoSize(dev(), 0, &chunks, &size));
  EXPECT_EQ(chunks, 0xFF);
  EXPECT_EQ(size, 0xFFFFFFu);
}

TEST_F(SimUnitTest, LogMemoryReadsSectionBySection) {
  Open(kMagazineRewritable);
  unit_->FailNext(0x28, 2, 3, 0x11, 0x00);
  uint8_t sector[kSectorSize];
  FormatLoaded(0x21);
  EXPECT_EQ(Low24(Read10(dev(), 0, 1, sector)), 0x031100u);
  EXPECT_EQ(Low24(Read10(dev(), 0, 1, sector)), 0x031100u);
  EXPECT_EQ(Read10(dev(), 0, 1, sector), 0u);

  uint8_t header[8];
  ASSERT_EQ(ReadLogSection(dev(), 0, header, 8), 0u);
  const uint32_t total0 = (header[0] << 24 | header[1] << 16 | header[2] << 8 | header[3]) + 4;
  std::vector<uint8_t> s0(total0);
  ASSERT_EQ(ReadLogSection(dev(), 0, s0.data(), total0), 0u);
  const uint8_t count = s0[8];
  ASSERT_GE(count, 2);
  std::vector<uint8_t> dump(s0);
  for (uint8_t i = 1; i < count; ++i) {
    const uint8_t* p = &s0[10 + 4 * (i - 1)];
    const uint32_t length = p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
    std::vector<uint8_t> section(length);
    ASSERT_EQ(ReadLogSection(dev(), i, section.data(), length), 0u);
    if (i == 1) {
      // The failed reads are recorded.
      ASSERT_GE(length, 32u);
      EXPECT_EQ(section[length - 16], 0x28);
      EXPECT_EQ(section[length - 15], 3);
      EXPECT_EQ(section[length - 14], 0x11);
    }
    dump.insert(dump.end(), section.begin(), section.end());
  }
  EXPECT_GT(dump.size(), total0);
  EXPECT_NE(ReadLogSection(dev(), count, header, 8), 0u);
}

TEST_F(SimUnitTest, StatusPageFillsLateAndDiscAwayRaisesAnEvent) {
  Open(kMagazineRewritable);
  unit_->SetStatusPageDelay(3);
  platform::TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  const uint64_t start = clock.NowMs();
  UnitStatus status;
  ASSERT_TRUE(ReadUnitStatus(dev(), &status, clock));
  EXPECT_EQ(clock.NowMs() - start, 300u);
  EXPECT_EQ(status.magazine_type, 0x21);
  EXPECT_EQ(status.capacity_code, 1);
  EXPECT_FALSE(status.disc_away);

  unit_->MarkDiscAway();
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseNoMediumTrayClosed);
  EventList events;
  ASSERT_TRUE(ReadEventList(dev(), &events));
  EXPECT_EQ(events.count, 1);
  EXPECT_EQ(events.pending, 1);
  ASSERT_TRUE(ReadEventList(dev(), &events));
  EXPECT_EQ(events.pending, 0);
  ASSERT_TRUE(ReadUnitStatus(dev(), &status, clock));
  EXPECT_TRUE(status.disc_away);
  ASSERT_EQ(LoadSlot(dev(), 0), 0u);
  ASSERT_TRUE(ReadUnitStatus(dev(), &status, clock));
  EXPECT_FALSE(status.disc_away);
  EXPECT_EQ(TestUnitReady(dev()), 0u);

  for (int i = 0; i < 40; ++i) unit_->RaiseEvent(0x100 + i);
  ASSERT_TRUE(ReadEventList(dev(), &events));
  EXPECT_EQ(events.count, 32);
  EXPECT_EQ(events.entries[31], 0x100u + 39);
}

TEST_F(SimUnitTest, EnvironmentCountersModesAndPower) {
  Open(kMagazineRewritable);
  unit_->SetTemperature(61, 60);
  UnitEnvironment env;
  ASSERT_TRUE(ReadEnvironment(dev(), &env));
  EXPECT_EQ(env.temperature, 61);
  EXPECT_EQ(env.temperature_limit, 60);
  EXPECT_TRUE(env.preparation_required);
  ASSERT_EQ(PrepareForWriting(dev()), 0u);
  ASSERT_TRUE(ReadEnvironment(dev(), &env));
  EXPECT_FALSE(env.preparation_required);

  ASSERT_TRUE(unit_->SetCounter(0x11, 0, 0x3C, 4, 100000));
  uint8_t current[64], limit[64];
  ASSERT_EQ(ReadCounterPage(dev(), 0, 0x11, current, 64), 0u);
  ASSERT_EQ(ReadCounterPage(dev(), 2, 0x11, limit, 64), 0u);
  EXPECT_EQ(0, std::memcmp(current + 0x3C, limit + 0x3C, 4));
  ASSERT_EQ(ReadCounterPage(dev(), 0, 1, current, 44), 0u);
  EXPECT_GE(current[0x23], 1);  // one disc load so far
  EXPECT_NE(ReadCounterPage(dev(), 0, 5, current, 44), 0u);

  uint8_t mode = 9;
  ASSERT_TRUE(ReadUnitMode(dev(), &mode));
  EXPECT_EQ(mode, 0);
  ASSERT_EQ(SetUnitMode(dev()), 0u);
  ASSERT_TRUE(ReadUnitMode(dev(), &mode));
  EXPECT_EQ(mode, 1);

  uint8_t power = 0;
  ASSERT_TRUE(GetPowerStatus(dev(), &power));
  EXPECT_EQ(power, 1);
  ASSERT_EQ(RestUnit(dev()), 0u);
  ASSERT_TRUE(GetPowerStatus(dev(), &power));
  EXPECT_EQ(power, 3);
  EXPECT_EQ(Low24(TestUnitReady(dev())), 0x020402u);
  ASSERT_EQ(WakeUnit(dev()), 0u);
  bool busy = true;
  ASSERT_TRUE(ReadWakeStatus(dev(), &busy));
  EXPECT_FALSE(busy);
  EXPECT_EQ(TestUnitReady(dev()), 0u);

  ASSERT_EQ(SetModePage0Byte2(dev(), 0x00), 0u);
  uint8_t page[12];
  uint8_t cdb[10] = {0x5A, 0x08, 0x00, 0, 0, 0, 0, 0, 12, 0};
  ASSERT_EQ(Send(dev(), cdb, kDirectionFromUnit, page, 12, 60), 0u);
  EXPECT_EQ(page[10], 0x00);
  ASSERT_EQ(SetUnitClock(dev(), platform::SystemTime{2026, 1, 0, 2, 3, 4, 5, 0}), 0u);
  ASSERT_EQ(ExchangeBracket(dev(), true), 0u);
  ASSERT_EQ(ExchangeBracket(dev(), false), 0u);
  ASSERT_EQ(VendorSynchronize(dev()), 0u);
}

TEST_F(SimUnitTest, FirmwareUpdateChangesTheRevision) {
  Open(kMagazineRewritable);
  std::vector<uint8_t> chunk(48 + 1000);
  std::memcpy(chunk.data(), "KORRINDA", 8);
  std::memcpy(chunk.data() + 24, "0200", 4);
  chunk[38] = 1000 >> 8;
  chunk[39] = 1000 & 0xFF;
  for (size_t i = 48; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i);
  uint8_t sum = 0;
  for (int i = 0; i < 47; ++i) sum = static_cast<uint8_t>(sum + chunk[i]);
  chunk[47] = static_cast<uint8_t>(-sum);
  ASSERT_EQ(WriteFirmwareChunk(dev(), 0, chunk.data(), static_cast<uint32_t>(chunk.size())), 0u);
  std::vector<uint8_t> back(chunk.size());
  ASSERT_EQ(ReadFirmwareChunk(dev(), 0, back.data(), static_cast<uint32_t>(back.size())), 0u);
  EXPECT_EQ(0, std::memcmp(back.data() + 48, chunk.data() + 48, 1000));
  chunk[47] ^= 1;
  EXPECT_EQ(Low24(WriteFirmwareChunk(dev(), 0, chunk.data(), static_cast<uint32_t>(chunk.size()))), 0x052600u);
  ASSERT_EQ(ActivateFirmware(dev()), 0u);
  bool busy = false;
  ASSERT_TRUE(ReadWakeStatus(dev(), &busy));
  EXPECT_TRUE(busy);
  uint8_t inquiry[64];
  ASSERT_EQ(Inquiry(dev(), inquiry), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 32), 4), "0200");
  uint16_t bridge = 0;
  ASSERT_TRUE(ReadBridgeVersion(dev(), &bridge));
  EXPECT_EQ(bridge, 0x0106);
}

TEST_F(SimUnitTest, InjectedFailuresAndDelays) {
  platform::TestClock clock;
  SimUnitOptions options;
  options.clock = &clock;
  Open(kMagazineRewritable, false, options);
  unit_->FailNext(0x00, 2, 4, 0x40, 0x00);
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseHardware44);
  EXPECT_EQ(Low24(TestUnitReady(dev())), kSenseHardware44);
  EXPECT_EQ(TestUnitReady(dev()), 0u);

  // A delay beyond the time-out is a transport failure; Send tries again.
  unit_->DelayNext(0x00, 31000);
  std::thread advance([&] {
    for (int i = 0; i < 400 && clock.NowMs() < 40000; ++i) {
      clock.Advance(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_EQ(TestUnitReady(dev()), 0u);
  advance.join();

  unit_->DelayNext(0x00, 31000);
  platform::ScsiCommand c;
  c.cdb_length = 6;
  c.timeout_seconds = 30;
  platform::ScsiReply r;
  std::thread advance2([&] {
    for (int i = 0; i < 400; ++i) {
      clock.Advance(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  EXPECT_EQ(device_->Execute(c, &r), platform::ERROR_TIMEOUT);
  advance2.join();
}

TEST_F(SimUnitTest, UnplugDuringACommand) {
  Open(kMagazineRewritable);
  unit_->DelayNext(0x00, 60000);
  platform::Win32Error result = 0;
  platform::ScsiReply r;
  std::thread command([&] {
    platform::ScsiCommand c;
    c.cdb_length = 6;
    c.timeout_seconds = 120;
    result = device_->Execute(c, &r);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  unit_->Unplug();
  command.join();
  EXPECT_EQ(result, platform::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(TestUnitReady(dev()), platform::ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(device_->CheckVerify(), platform::ERROR_DEVICE_NOT_CONNECTED);
  unit_->Plug();
  EXPECT_EQ(Low24(TestUnitReady(dev())), 0x062800u);
  EXPECT_EQ(TestUnitReady(dev()), 0u);
}

TEST_F(SimUnitTest, ThrottledTransfersAddUpTheirTimeExactly) {
  // One-sector writes at 1,000,000 bytes/s take 2.048 ms each: 100 of them
  // must cost 204 ms of clock time, not 100 x 2 ms.
  platform::TestClock clock;
  clock.SetAutoAdvanceOnSleep(true);
  SimUnitOptions options;
  options.clock = &clock;
  options.drive_bytes_per_second = 1000000;
  Open(kMagazineRewritable, false, options);
  FormatLoaded(kMagazineRewritable);
  const std::vector<uint8_t> data = Pattern(1, 3);
  const uint64_t start = clock.NowMs();
  for (uint32_t lba = 0; lba < 100; ++lba) ASSERT_EQ(Write10(dev(), lba, 1, data.data()), 0u);
  EXPECT_EQ(clock.NowMs() - start, 204u);
}

TEST_F(SimUnitTest, LoadTimeMakesTheDriveBecomeReady) {
  platform::TestClock clock;
  SimUnitOptions options;
  options.clock = &clock;
  options.load_ms = 5000;
  Open(kMagazineRewritable, false, options);
  EXPECT_EQ(Low24(TestUnitReady(dev())), 0x020401u);
  clock.Advance(5000);
  EXPECT_EQ(TestUnitReady(dev()), 0u);
  ASSERT_EQ(SelectSlot(dev(), 2), 0u);
  EXPECT_EQ(Low24(TestUnitReady(dev())), 0x020401u);
  clock.Advance(5000);
  EXPECT_EQ(TestUnitReady(dev()), 0u);
}

TEST(SimMagazine, CreationRulesAndCorruptManifests) {
  const auto dir = FreshDir("mag");
  MagazineSpec spec = SmallSpec(kMagazineRecordable);
  ASSERT_EQ(Magazine::Create(dir / "a", spec), 0u);
  EXPECT_EQ(Magazine::Create(dir / "a", spec), platform::ERROR_ALREADY_EXISTS);
  spec.type = 0x30;
  EXPECT_EQ(Magazine::Create(dir / "b", spec), platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ProductDiscSectors(1), 12219392u);
  EXPECT_EQ(CapacityCodeFromGigabytes(600), 2);
  EXPECT_EQ(CapacityCodeFromGigabytes(700), 0);

  Magazine m;
  EXPECT_EQ(m.Open(dir / "missing"), platform::ERROR_FILE_NOT_FOUND);
  std::string text;
  ASSERT_EQ(platform::ReadWholeFile(dir / "a" / "magazine.txt", &text), 0u);
  ASSERT_EQ(platform::WriteWholeFile(dir / "a" / "magazine.txt", text + "track 3 100 999999 100 1\n"), 0u);
  EXPECT_EQ(m.Open(dir / "a"), platform::ERROR_FILE_CORRUPT);
  ASSERT_EQ(platform::WriteWholeFile(dir / "a" / "magazine.txt", text + "current_disc 12\n"), 0u);
  EXPECT_EQ(m.Open(dir / "a"), platform::ERROR_FILE_CORRUPT);
  ASSERT_EQ(platform::WriteWholeFile(dir / "a" / "magazine.txt", text), 0u);
  EXPECT_EQ(m.Open(dir / "a"), 0u);
  EXPECT_EQ(m.type, kTypeRecordable);
  EXPECT_EQ(m.disc_sectors, 4096u);
}

}  // namespace
}  // namespace kelva::emulator
