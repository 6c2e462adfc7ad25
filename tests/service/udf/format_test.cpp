// Writing a volume (order, buffer, retries), reading it back, closing its
// integrity, and refusing damaged structures.
#include "service/udf/udf_format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/udf/bytes.h"
#include "platform/udf/tag.h"
#include "tests/service/udf/fake_drive.h"

namespace kelva::udf {
namespace {

using testing::FakeDrive;

constexpr uint32_t kLast = 12219391;  // a 25 GB disc

std::vector<uint32_t> WrittenAddresses(const FakeDrive& d) {
  std::vector<uint32_t> out;
  for (const auto& w : d.writes_) out.push_back(w.lba);
  return out;
}

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {  // [from, to) in steps of 32
  std::vector<uint32_t> out;
  for (uint32_t a = from; a < to; a += 32) out.push_back(a);
  return out;
}

std::vector<uint32_t> Join(std::initializer_list<std::vector<uint32_t>> parts) {
  std::vector<uint32_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FormatDisc, RewritableWritesEveryUnitInOrderFromOneAlignedBuffer) {
  FakeDrive drive(kProfileBdRe, kLast);
  platform::TestClock clock;
  ASSERT_TRUE(FormatDisc(drive, clock));
  // Volume area, space bitmap (746 blocks) with the two metadata entries at
  // 746/747, metadata area from 768, mirror at 1280, then the tail.
  const std::vector<uint32_t> expected = Join({
      Range(0, 288),
      Range(288, 288 + 768),
      Range(288 + 768, 288 + 1280),
      {288 + 1280},
      {kLast - 287},
      Range(kLast - 255, kLast - 31),
      {kLast - 31},
  });
  EXPECT_EQ(WrittenAddresses(drive), expected);
  for (const auto& w : drive.writes_) {
    EXPECT_EQ(w.count, 32);
    EXPECT_EQ(w.buffer, drive.writes_[0].buffer);  // one buffer for every unit
  }
  EXPECT_EQ(reinterpret_cast<uintptr_t>(drive.writes_[0].buffer) % 4096, 0u);
  EXPECT_EQ(drive.log_.back(), "SYNC");
  EXPECT_EQ(drive.Count("VSYNC"), 0);
}

TEST(FormatDisc, WriteOnceWritesSequentiallyPerTrack) {
  FakeDrive drive(kProfileBdrSequential, kLast);
  platform::TestClock clock;
  ASSERT_TRUE(FormatDisc(drive, clock));
  const std::vector<uint32_t> expected = Join({
      Range(0, 288),
      {25600, 25632, 25664},
      {kLast - 287},
      Range(kLast - 255, kLast - 31),
      {kLast - 31},
  });
  EXPECT_EQ(WrittenAddresses(drive), expected);
  EXPECT_EQ(drive.reservations_, (std::vector<uint32_t>{25600, 550912, kLast - 287}));
  EXPECT_EQ(drive.log_.back(), "VSYNC");
  // Every write lands at or after its track's next writable address, except the
  // anchor unit at 256 which follows the zero units of track 1 directly.
  uint32_t previous_end = 0;
  for (const auto& w : drive.writes_) {
    if (w.lba == 25600 || w.lba == kLast - 287) previous_end = w.lba;
    EXPECT_EQ(w.lba, previous_end);
    previous_end = w.lba + w.count;
  }
}

TEST(FormatDisc, ReadVolumeStructureReadsBackWhatWasWritten) {
  platform::TestClock clock;
  FakeDrive re(kProfileBdRe, kLast);
  ASSERT_TRUE(FormatDisc(re, clock));
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(re, &vs));
  EXPECT_EQ(vs.udfRevision, 0x0250);
  EXPECT_EQ(vs.minimumReadRevision, 0x0250);
  EXPECT_EQ(vs.partitionStart, 288u);
  EXPECT_EQ(vs.partitionLength, kLast - 575);
  EXPECT_EQ(vs.integritySequenceLocation, 64u);
  EXPECT_EQ(vs.metadataFileLocation, 746u);
  EXPECT_EQ(vs.metadataMirrorFileLocation, 1280u);
  EXPECT_EQ(vs.metadataBitmapFileLocation, 747u);
  EXPECT_EQ(vs.integrityType, 1u);
  EXPECT_EQ(vs.freeSpace[0], 12217555u);
  EXPECT_EQ(vs.freeSpace[1], 510u);
  EXPECT_EQ(vs.volumeSetIdentifier, VolumeSetIdentifier(clock.Now()));
  EXPECT_EQ(vs.accessType, 4u);

  FakeDrive r(kProfileBdrSequential, kLast);
  ASSERT_TRUE(FormatDisc(r, clock));
  ASSERT_TRUE(ReadVolumeStructure(r, &vs));
  EXPECT_EQ(vs.udfRevision, 0x0260);
  EXPECT_EQ(vs.minimumReadRevision, 0x0250);
  EXPECT_EQ(vs.metadataFileLocation, 25600u - 288);
  EXPECT_EQ(vs.metadataMirrorFileLocation, 25600u - 288 + 64);
  EXPECT_EQ(vs.metadataBitmapFileLocation, kNoAddress);
  EXPECT_EQ(vs.freeSpace[0], 0xFFFFFFFFu);
  EXPECT_EQ(vs.accessType, 0u);
}

TEST(FormatDisc, RetriesTheWholeFormatThreeTimes) {
  platform::TestClock clock;
  FakeDrive always(kProfileBdRe, kLast);
  always.fail_["WRITE"] = 1000;
  EXPECT_FALSE(FormatDisc(always, clock));
  EXPECT_EQ(always.Count("GETCONF"), 3);
  EXPECT_EQ(always.Count("WRITE"), 3);

  FakeDrive twice(kProfileBdRe, kLast);
  twice.fail_["WRITE"] = 2;
  EXPECT_TRUE(FormatDisc(twice, clock));
  EXPECT_EQ(twice.Count("GETCONF"), 3);

  // A write failing in the middle of the volume also fails the attempt.
  FakeDrive tail(kProfileBdRe, kLast);
  tail.write_fault_ = [](uint32_t lba) { return lba == kLast - 31 ? testing::kFailStatus : 0u; };
  EXPECT_FALSE(FormatDisc(tail, clock));
  EXPECT_EQ(tail.Count("SYNC"), 0);

  // A medium this system does not format ends at once.
  FakeDrive other(kProfileBdrRandom, kLast);
  EXPECT_FALSE(FormatDisc(other, clock));
  EXPECT_EQ(other.Count("GETCONF"), 1);
  EXPECT_EQ(other.Count("WRITE"), 0);

  // Reservations that keep failing: three attempts, nothing written.
  FakeDrive reserve(kProfileBdrSequential, kLast);
  reserve.fail_["RESERVE"] = 1000;
  EXPECT_FALSE(FormatDisc(reserve, clock));
  EXPECT_EQ(reserve.Count("RESERVE"), 3);
  EXPECT_EQ(reserve.Count("WRITE"), 0);
}

void OpenIntegrity(FakeDrive* drive, uint32_t lvid) {
  std::vector<uint8_t> s(drive->Sector(lvid), drive->Sector(lvid) + kSectorSize);
  Put32(&s[28], 0);
  ASSERT_TRUE(RefreshTag(s));
  drive->PutSector(lvid, s.data());
}

TEST(CloseIntegrity, ClosesAnOpenIntegrityAndLeavesAClosedOneAlone) {
  platform::TestClock clock;
  FakeDrive drive(kProfileBdRe, kLast);
  ASSERT_TRUE(FormatDisc(drive, clock));
  drive.writes_.clear();
  EXPECT_FALSE(CloseIntegrity(drive));  // already closed
  EXPECT_TRUE(drive.writes_.empty());

  OpenIntegrity(&drive, 64);
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
  EXPECT_EQ(vs.integrityType, 0u);
  ASSERT_TRUE(CloseIntegrity(drive));
  ASSERT_EQ(drive.writes_.size(), 1u);
  EXPECT_EQ(drive.writes_[0].lba, 64u);
  EXPECT_EQ(drive.writes_[0].count, 1);
  ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
  EXPECT_EQ(vs.integrityType, 1u);
  EXPECT_EQ(CheckTag({drive.Sector(64), kSectorSize}, kTagLogicalVolumeIntegrity, true, 64),
            TagStatus::kOk);

  // A failing write reports failure.
  OpenIntegrity(&drive, 64);
  drive.fail_["WRITE"] = 1;
  EXPECT_FALSE(CloseIntegrity(drive));
}

TEST(CloseIntegrity, DamagedIntegrityIsNotBlessed) {
  platform::TestClock clock;
  FakeDrive drive(kProfileBdrSequential, kLast);
  ASSERT_TRUE(FormatDisc(drive, clock));
  OpenIntegrity(&drive, 64);
  std::vector<uint8_t> s(drive.Sector(64), drive.Sector(64) + kSectorSize);
  s[90] ^= 0x40;  // a table entry changed behind the CRC's back
  drive.PutSector(64, s.data());
  drive.writes_.clear();
  EXPECT_FALSE(CloseIntegrity(drive));
  EXPECT_TRUE(drive.writes_.empty());
}

class BadVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::TestClock clock;
    ASSERT_TRUE(FormatDisc(drive_, clock));
    VolumeStructure vs;
    ASSERT_TRUE(ReadVolumeStructure(drive_, &vs));
  }
  // Changes a sector through f, then recomputes its tag when asked.
  void Change(uint32_t lba, const std::function<void(uint8_t*)>& f, bool retag) {
    std::vector<uint8_t> s(drive_.Sector(lba), drive_.Sector(lba) + kSectorSize);
    f(s.data());
    if (retag) {
      ASSERT_TRUE(RefreshTag(s));
    }
    drive_.PutSector(lba, s.data());
  }
  bool Reads() {
    VolumeStructure vs;
    return ReadVolumeStructure(drive_, &vs);
  }
  FakeDrive drive_{kProfileBdRe, kLast};
};

TEST_F(BadVolume, BlankOrTruncatedDisc) {
  FakeDrive blank(kProfileBdRe, kLast);
  VolumeStructure vs;
  EXPECT_FALSE(ReadVolumeStructure(blank, &vs));
  FakeDrive tiny(kProfileBdRe, 200);  // sector 256 beyond the end
  EXPECT_FALSE(ReadVolumeStructure(tiny, &vs));
  drive_.sectors_.erase(33);  // a hole in the descriptor sequence
  EXPECT_FALSE(Reads());
}

TEST_F(BadVolume, DamagedAnchor) {
  Change(256, [](uint8_t* s) { s[0] = 3; }, true);  // mis-tagged, checksum fixed up
  EXPECT_FALSE(Reads());
  Change(256, [](uint8_t* s) { s[0] = 2; }, true);
  ASSERT_TRUE(Reads());
  Change(256, [](uint8_t* s) { s[4] ^= 1; }, false);  // checksum damaged
  EXPECT_FALSE(Reads());
  Change(256, [](uint8_t* s) { s[4] ^= 1; Put32(s + 16, 2047); }, true);  // extent too short
  EXPECT_FALSE(Reads());
  Change(256, [](uint8_t* s) { Put32(s + 12, 257); }, true);  // wrong tag location
  EXPECT_FALSE(Reads());
}

TEST_F(BadVolume, DamagedSequence) {
  Change(33, [](uint8_t* s) { s[4] ^= 0x10; }, false);  // IUVD checksum
  EXPECT_FALSE(Reads());
  Change(33, [](uint8_t* s) { s[4] ^= 0x10; }, false);
  ASSERT_TRUE(Reads());
  Change(34, [](uint8_t* s) { s[200] ^= 1; }, false);  // PD body behind its CRC
  EXPECT_FALSE(Reads());
}

TEST_F(BadVolume, MissingDescriptorsOrMetadataMap) {
  Change(32, [](uint8_t* s) { s[0] = 7; }, true);  // the PVD turned into another kind
  EXPECT_FALSE(Reads());
  Change(32, [](uint8_t* s) { s[0] = 1; }, true);
  ASSERT_TRUE(Reads());
  // The second partition map renamed.
  Change(35, [](uint8_t* s) { s[446 + 5] = 'X'; }, true);
  EXPECT_FALSE(Reads());
  Change(35, [](uint8_t* s) { s[446 + 5] = 'U'; Put32(s + 268, 1); }, true);  // one map only
  EXPECT_FALSE(Reads());
}

TEST_F(BadVolume, IntegrityChecks) {
  Change(64, [](uint8_t* s) { Put16(s + 96 + 42, 0x0201); }, true);  // min write != max write
  EXPECT_FALSE(Reads());
  Change(64, [](uint8_t* s) { Put16(s + 96 + 42, 0x0250); Put32(s + 72, 3); }, true);
  EXPECT_FALSE(Reads());  // three partitions
  Change(64, [](uint8_t* s) { Put32(s + 72, 2); Put32(s + 76, 45); }, true);
  EXPECT_FALSE(Reads());  // implementation use too short
  Change(64, [](uint8_t* s) { Put32(s + 76, 46); }, true);
  EXPECT_TRUE(Reads());
}

TEST_F(BadVolume, LongSequenceWithoutTerminatorIsBounded) {
  // The anchor claims a huge sequence, and from sector 37 on every sector is a
  // valid descriptor that does not end it.
  Change(256, [](uint8_t* s) { Put32(s + 16, 0x3FFFF800); }, true);
  struct EndlessPointers : UdfDriveWrapper {
    using UdfDriveWrapper::UdfDriveWrapper;
    int reads = 0;
    uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
      ++reads;
      if (lba < 37 || lba == 64 || lba == 256) return UdfDriveWrapper::Read10(lba, blocks, buffer);
      std::memset(buffer, 0, kSectorSize);
      FinishTag({buffer, kSectorSize}, kTagVolumePointer, lba, 496);
      return 0;
    }
  } drive(&drive_);
  VolumeStructure vs;
  EXPECT_TRUE(ReadVolumeStructure(drive, &vs));  // PVD, PD and LVD were seen
  EXPECT_LT(drive.reads, 300);
}

}  // namespace
}  // namespace kelva::udf
