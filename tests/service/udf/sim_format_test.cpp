// Formatting discs of the simulated unit with real command blocks.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "platform/file.h"
#include "platform/udf/tag.h"
#include "service/udf/image_drive.h"
#include "service/udf/udf_format.h"
#include "service/unit/unit_drive.h"
#include "service/unit/unit_commands.h"

namespace kelva::udf {
namespace {

namespace fs = std::filesystem;

// Counts the command blocks by operation code on their way to the unit.
class CountingDevice : public platform::ScsiDeviceWrapper {
 public:
  using ScsiDeviceWrapper::ScsiDeviceWrapper;
  platform::Win32Error Execute(const platform::ScsiCommand& c, platform::ScsiReply* r) override {
    ++counts[c.cdb[0]];
    if (c.cdb[0] == 0x2A) write_cdbs.emplace_back(c.cdb, c.cdb + 10);
    return ScsiDeviceWrapper::Execute(c, r);
  }
  std::map<uint8_t, int> counts;
  std::vector<std::vector<uint8_t>> write_cdbs;
};

class SimFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kelva-udf-sim-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override {
    device_.reset();
    unit_.reset();
    fs::remove_all(dir_);
  }
  void Insert(uint8_t type, uint8_t capacity_code) {
    emulator::MagazineSpec wanted;
    wanted.type = type;
    wanted.capacity_code = capacity_code;
    ASSERT_EQ(emulator::Magazine::Create(dir_, wanted), 0u);
    unit_ = std::make_unique<emulator::SimUnit>();
    ASSERT_EQ(unit_->InsertMagazine(dir_), 0u);
    sim_device_ = std::make_unique<emulator::SimScsiDevice>(unit_.get());
    device_ = std::make_unique<CountingDevice>(sim_device_.get());
  }
  std::vector<unit::TrackInformation> Tracks() {
    std::vector<unit::TrackInformation> out;
    uint8_t status = 0;
    uint16_t count = 0;
    if (!unit::ReadDiscInformation(device_.get(), &status, &count)) return out;
    for (uint16_t n = 1; n <= count; ++n) {
      unit::TrackInformation t;
      if (unit::ReadTrackInformation(device_.get(), n, &t)) out.push_back(t);
    }
    return out;
  }

  fs::path dir_;
  std::unique_ptr<emulator::SimUnit> unit_;
  std::unique_ptr<emulator::SimScsiDevice> sim_device_;
  std::unique_ptr<CountingDevice> device_;
};

TEST_F(SimFormat, RewritableDiscIsFormattedAndReadBack) {
  Insert(emulator::kTypeRewritable, 1);
  unit::UnitDrive drive(device_.get());
  ASSERT_TRUE(FormatDisc(drive));
  EXPECT_EQ(device_->counts[0x04], 1);  // FORMAT UNIT: the fresh disc reported no capacity
  for (const auto& cdb : device_->write_cdbs) {
    EXPECT_EQ(cdb[7], 0x00);
    EXPECT_EQ(cdb[8], 0x20);  // 32 blocks per WRITE(10)
  }
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
  EXPECT_EQ(vs.udfRevision, 0x0250);
  EXPECT_EQ(vs.partitionLength, 12219392u - 576);
  EXPECT_EQ(vs.metadataFileLocation, 746u);

  // The disc's image in the magazine folder is a plain UDF image.
  unit_->Flush();
  ImageDrive image;
  ASSERT_EQ(image.Open(dir_ / "disc00.img", ImageMedia::kBdRe, 0, false), 0u);
  VolumeStructure from_image;
  ASSERT_TRUE(ReadVolumeStructure(image, &from_image));
  EXPECT_EQ(from_image.volumeSetIdentifier, vs.volumeSetIdentifier);
}

TEST_F(SimFormat, BlankRecordableDiscGetsFourTracks) {
  Insert(emulator::kTypeRecordable, 1);
  unit::UnitDrive drive(device_.get());
  ASSERT_TRUE(FormatDisc(drive));
  const auto tracks = Tracks();
  ASSERT_EQ(tracks.size(), 4u);
  EXPECT_EQ(tracks[0].start, 0u);
  EXPECT_EQ(tracks[1].start, 25600u);
  EXPECT_EQ(tracks[2].start, 550912u);
  EXPECT_EQ(tracks[3].start, 12219104u);
  EXPECT_EQ(device_->counts[0x53], 3);  // RESERVE TRACK for the three new tracks
  // Track 2 holds the metadata file, its data and the mirror, written in order.
  EXPECT_EQ(tracks[1].next_writable, 25600u + 96);
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
  EXPECT_EQ(vs.udfRevision, 0x0260);
  EXPECT_EQ(vs.metadataFileLocation, 25600u - 288);

  // Formatting again finds the tracks split already and reserves nothing.
  device_->counts.clear();
  ASSERT_TRUE(FormatDisc(drive));
  EXPECT_EQ(device_->counts[0x53], 0);
  EXPECT_EQ(device_->counts[0x04], 0);
}

TEST_F(SimFormat, FailingWriteEndsInFailureAfterThreeAttempts) {
  Insert(emulator::kTypeRewritable, 1);
  unit_->FailNext(0x2A, 3, 0x03, 0x0C, 0x00);  // medium error, write error
  unit::UnitDrive drive(device_.get());
  EXPECT_FALSE(FormatDisc(drive));
  EXPECT_EQ(device_->counts[0x2A], 3);
  // Each attempt detected the medium again; the first also asked whether the
  // blank disc is formattable before FORMAT UNIT.
  EXPECT_EQ(device_->counts[0x46], 4);
  EXPECT_EQ(device_->counts[0x04], 1);
  VolumeStructure vs;
  EXPECT_FALSE(ReadVolumeStructure(drive, &vs));
  // Two failures are recovered by the third attempt.
  unit_->FailNext(0x2A, 2, 0x03, 0x0C, 0x00);
  EXPECT_TRUE(FormatDisc(drive));
  EXPECT_TRUE(ReadVolumeStructure(drive, &vs));
}

TEST_F(SimFormat, FailingReserveTrackEndsInFailureAfterThreeAttempts) {
  Insert(emulator::kTypeRecordable, 1);
  unit_->FailNext(0x53, 3, 0x05, 0x2C, 0x00);
  unit::UnitDrive drive(device_.get());
  EXPECT_FALSE(FormatDisc(drive));
  EXPECT_EQ(device_->counts[0x53], 3);
  EXPECT_EQ(device_->counts[0x2A], 0);
}

TEST_F(SimFormat, IntegrityLeftOpenIsClosedThroughTheUnit) {
  Insert(emulator::kTypeRewritable, 1);
  unit::UnitDrive drive(device_.get());
  ASSERT_TRUE(FormatDisc(drive));
  std::vector<uint8_t> s(2048);
  ASSERT_EQ(drive.Read10(64, 1, s.data()), 0u);
  s[28] = 0;  // integrity type open
  ASSERT_TRUE(RefreshTag(s));
  ASSERT_EQ(drive.Write10(64, 1, s.data()), 0u);
  EXPECT_TRUE(CloseIntegrity(drive));
  EXPECT_FALSE(CloseIntegrity(drive));
  VolumeStructure vs;
  ASSERT_TRUE(ReadVolumeStructure(drive, &vs));
  EXPECT_EQ(vs.integrityType, 1u);
}

}  // namespace
}  // namespace kelva::udf
