// Medium detection, the rewritable layout and the track splitting of write-once
// media.
#include "service/udf/volume_layout.h"

#include <gtest/gtest.h>

#include "platform/udf/bytes.h"
#include "tests/service/udf/fake_drive.h"

namespace kelva::udf {
namespace {

using testing::FakeDrive;

constexpr uint32_t kBlankBdrLast = 12219391;
const VolumeTime kTime{133500000000000000ULL, -540, {2024, 1, 17, 5, 9, 0, 0, 0}};

TEST(ProfileDetection, OnlyBdReAndSequentialBdRAreFormatted) {
  EXPECT_EQ(RevisionForProfile(0x0043), 0x0250);
  EXPECT_EQ(RevisionForProfile(0x0041), 0x0260);
  EXPECT_EQ(RevisionForProfile(0x0042), 0);
  EXPECT_EQ(RevisionForProfile(0x0040), 0);

  FakeDrive random_bdr(kProfileBdrRandom, kBlankBdrLast);
  EXPECT_EQ(DetectRevision(random_bdr), 0);
  FakeDrive bdr(kProfileBdrSequential, kBlankBdrLast);
  EXPECT_EQ(DetectRevision(bdr), 0x0260);
  EXPECT_EQ(bdr.Count("TUR"), 2);  // a second TEST UNIT READY after a good one
  FakeDrive bdre(kProfileBdRe, kBlankBdrLast);
  bdre.fail_["TUR"] = 1;
  EXPECT_EQ(DetectRevision(bdre), 0x0250);
  EXPECT_EQ(bdre.Count("TUR"), 1);
  bdre.fail_["GETCONF"] = 1;
  EXPECT_EQ(DetectRevision(bdre), 0);
}

TEST(ProfileDetection, ProfileListParsingIsBounded) {
  // Header, feature 0 with two profiles; the second one is current.
  std::vector<uint8_t> r = {0, 0, 0, 16, 0, 0, 0, 0x41, 0, 0, 3, 8, 0, 0x43, 0, 0, 0, 0x41, 1, 0};
  EXPECT_EQ(CurrentProfileFromConfiguration(r), 0x41);
  // No current profile.
  r[18] = 0;
  EXPECT_EQ(CurrentProfileFromConfiguration(r), 0);
  r[18] = 1;
  // The data length cuts the list before the current profile.
  r[3] = 12;
  EXPECT_EQ(CurrentProfileFromConfiguration(r), 0);
  r[3] = 16;
  // The additional length claims more than the reply holds.
  r[11] = 200;
  EXPECT_EQ(CurrentProfileFromConfiguration(r), 0x41);
  EXPECT_EQ(CurrentProfileFromConfiguration(std::span(r).first(18)), 0);
  EXPECT_EQ(CurrentProfileFromConfiguration({}), 0);
}

TEST(RewritableLayout, FullSizeDisc) {
  VolumeLayout l;
  ASSERT_TRUE(ComputeRewritableLayout(12219391, &l));
  EXPECT_EQ(l.partitionStart, 288u);
  EXPECT_EQ(l.partitionLength, 12218816u);
  // 12218816 bits = 1527352 bytes + 24 of header: 746 sectors.
  EXPECT_EQ(l.spaceBitmapBlocks, 746u);
  EXPECT_EQ(l.metadataFile, 746u);
  EXPECT_EQ(l.metadataBitmapFile, 747u);
  EXPECT_EQ(l.metadataDataStart, 768u);
  EXPECT_EQ(l.metadataMirrorFile, 1280u);
  EXPECT_EQ(l.metadataSize, 512u);
  EXPECT_EQ(l.reserveVds, 12219360u);
  EXPECT_EQ(l.accessType, 4u);
}

TEST(RewritableLayout, TooSmallMediaAreRefused) {
  VolumeLayout l;
  EXPECT_FALSE(ComputeRewritableLayout(0, &l));
  EXPECT_FALSE(ComputeRewritableLayout(575, &l));  // would wrap the partition length
  EXPECT_FALSE(ComputeRewritableLayout(1500, &l));
  EXPECT_TRUE(ComputeRewritableLayout(65535, &l));
  EXPECT_LE(l.metadataMirrorFile + 32, l.partitionLength);
}

TEST(TrackSplit, BlankDiscGetsFourTracks) {
  FakeDrive drive(kProfileBdrSequential, kBlankBdrLast);
  VolumeLayout l;
  ASSERT_TRUE(ComputeLayout(drive, kUdfRevision260, kTime, &l));
  ASSERT_EQ(drive.tracks_.size(), 4u);
  EXPECT_EQ(drive.tracks_[0].start, 0u);
  EXPECT_EQ(drive.tracks_[1].start, 25600u);
  EXPECT_EQ(drive.tracks_[2].start, 550912u);
  EXPECT_EQ(drive.tracks_[3].start, 12219104u);
  EXPECT_EQ(drive.reservations_, (std::vector<uint32_t>{25600, 550912, 12219104}));
  EXPECT_EQ(drive.Count("SYNC"), 1);  // before the tracks are read
  EXPECT_EQ(l.volumeStart, 0u);
  EXPECT_EQ(l.partitionStart, 288u);
  EXPECT_EQ(l.partitionLength, kBlankBdrLast - 575);
  EXPECT_EQ(l.metadataFile, 25600u - 288);
  EXPECT_EQ(l.metadataDataStart, 25600u - 288 + 32);
  EXPECT_EQ(l.metadataMirrorFile, 25600u - 288 + 64);
  EXPECT_EQ(l.metadataBitmapFile, kNoAddress);
  EXPECT_EQ(l.metadataSize, 32u);
  EXPECT_EQ(l.lastTrackNextWritable, 12219104u);
  EXPECT_EQ(l.accessType, 0u);
  EXPECT_EQ(l.volumeSetIdentifier, VolumeSetIdentifier(kTime.utc));
}

TEST(TrackSplit, PreSplitDiscNeedsNoNewTracks) {
  FakeDrive drive(kProfileBdrSequential, kBlankBdrLast);
  drive.tracks_ = {{0, 25600, 0, 25600},
                   {25600, 525312, 25600, 525312},
                   {550912, 12219104 - 550912, 550912, 12219104 - 550912},
                   {12219104, 288, 12219104, 288}};
  VolumeLayout l;
  ASSERT_TRUE(ComputeLayout(drive, kUdfRevision260, kTime, &l));
  EXPECT_TRUE(drive.reservations_.empty());
  EXPECT_EQ(drive.Count("RESERVE"), 0);
  EXPECT_TRUE(l.reservedTrackStarts.empty());

  // Tracks at 25600 and 550912 only: just the last split is new.
  FakeDrive partly(kProfileBdrSequential, kBlankBdrLast);
  partly.tracks_ = {{0, 25600, 0, 25600},
                    {25600, 525312, 25600, 525312},
                    {550912, kBlankBdrLast + 1 - 550912, 550912, kBlankBdrLast + 1 - 550912}};
  ASSERT_TRUE(ComputeLayout(partly, kUdfRevision260, kTime, &l));
  EXPECT_EQ(partly.reservations_, (std::vector<uint32_t>{12219104}));
}

TEST(TrackSplit, RefusedSplits) {
  std::vector<uint32_t> added;
  // The address lies below the track's next writable address (already recorded).
  std::vector<TrackInfo> tracks = {{0, 1000000, 30000, 970000}};
  EXPECT_FALSE(SplitTrackAt(&tracks, 25600, &added));
  // A full track (next writable address invalid) cannot be split.
  tracks = {{0, 1000000, kNoAddress, 0}};
  EXPECT_FALSE(SplitTrackAt(&tracks, 25600, &added));
  // Four tracks exist already.
  tracks = {{0, 10, 0, 10}, {10, 10, 10, 10}, {20, 10, 20, 10}, {30, 100000, 30, 100000}};
  EXPECT_FALSE(SplitTrackAt(&tracks, 25600, &added));
  // No track holds the address.
  tracks = {{0, 1000, 0, 1000}};
  EXPECT_FALSE(SplitTrackAt(&tracks, 25600, &added));
  EXPECT_TRUE(added.empty());
  // Splitting exactly at the next writable address leaves the old track full.
  tracks = {{0, 100000, 25600, 74400}};
  ASSERT_TRUE(SplitTrackAt(&tracks, 25600, &added));
  EXPECT_EQ(tracks[0].nextWritable, kNoAddress);
  EXPECT_EQ(tracks[0].freeBlocks, 0u);
  EXPECT_EQ(tracks[1], (TrackInfo{25600, 74400, 25600, 74400}));
}

TEST(TrackSplit, LayoutChecksOnTheDrive) {
  VolumeLayout l;
  // The last track must end at the last block + 1.
  FakeDrive short_track(kProfileBdrSequential, kBlankBdrLast);
  short_track.tracks_[0].size -= 32;
  EXPECT_FALSE(ComputeLayout(short_track, kUdfRevision260, kTime, &l));
  // Track 1 with too few free blocks.
  FakeDrive full_first(kProfileBdrSequential, kBlankBdrLast);
  full_first.tracks_ = {{0, 25600, 25500, 100},
                        {25600, kBlankBdrLast + 1 - 25600, 25600, kBlankBdrLast + 1 - 25600}};
  EXPECT_FALSE(ComputeLayout(full_first, kUdfRevision260, kTime, &l));
  EXPECT_TRUE(full_first.reservations_.empty());  // nothing reserved before the checks pass
  // Five tracks reported.
  FakeDrive many(kProfileBdrSequential, kBlankBdrLast);
  many.tracks_.resize(5);
  EXPECT_FALSE(ComputeLayout(many, kUdfRevision260, kTime, &l));
  // A failing reservation fails the layout.
  FakeDrive reserve(kProfileBdrSequential, kBlankBdrLast);
  reserve.fail_["RESERVE"] = 1;
  EXPECT_FALSE(ComputeLayout(reserve, kUdfRevision260, kTime, &l));
}

TEST(TrackSplit, TrackZeroWrittenUpTo192GivesVolumeStart288) {
  FakeDrive drive(kProfileBdrSequential, kBlankBdrLast);
  drive.tracks_[0].nextWritable = 224;
  drive.tracks_[0].freeBlocks -= 224;
  VolumeLayout l;
  ASSERT_TRUE(ComputeLayout(drive, kUdfRevision260, kTime, &l));
  EXPECT_EQ(l.firstWritable, 224u);
  EXPECT_EQ(l.volumeStart, 288u);
  EXPECT_EQ(l.mainVds, 320u);
  EXPECT_EQ(l.lvid, 352u);
  EXPECT_EQ(l.partitionStart, 576u);
  EXPECT_EQ(l.partitionLength, kBlankBdrLast + 1 - 288 - 576);
}

TEST(Layout, UnformattedMediumIsFormattedFirst) {
  FakeDrive re(kProfileBdRe, 0);
  re.formatted_last_ = 12219391;
  VolumeLayout l;
  ASSERT_TRUE(ComputeLayout(re, kUdfRevision250, kTime, &l));
  EXPECT_EQ(re.format_codes_, (std::vector<uint8_t>{0x21}));
  EXPECT_EQ(l.last, 12219391u);

  FakeDrive r(kProfileBdrSequential, 0);
  r.formatted_last_ = kBlankBdrLast;
  ASSERT_TRUE(ComputeLayout(r, kUdfRevision260, kTime, &l));
  EXPECT_EQ(r.format_codes_, (std::vector<uint8_t>{0x22}));

  FakeDrive not_formattable(kProfileBdRe, 0);
  not_formattable.formattable_ = false;
  EXPECT_FALSE(ComputeLayout(not_formattable, kUdfRevision250, kTime, &l));
  EXPECT_TRUE(not_formattable.format_codes_.empty());

  FakeDrive stays_blank(kProfileBdRe, 0);  // capacity still 0 after formatting
  EXPECT_FALSE(ComputeLayout(stays_blank, kUdfRevision250, kTime, &l));
}

TEST(Layout, VolumeSetIdentifier) {
  // 1601-01-01 + 943548480 s (low 32 bits of the seconds) gives 00000000.
  EXPECT_EQ(VolumeSetIdentifier(943548480ULL * 10000000ULL), "00000000 UDF Volume Set");
  EXPECT_EQ(VolumeSetIdentifier(943548481ULL * 10000000ULL + 9999999), "00000001 UDF Volume Set");
  // Wraps modulo 2^32.
  EXPECT_EQ(VolumeSetIdentifier(943548479ULL * 10000000ULL), "FFFFFFFF UDF Volume Set");
  // Only the low 32 bits of the seconds count.
  EXPECT_EQ(VolumeSetIdentifier((943548480ULL + (1ULL << 32)) * 10000000ULL),
            "00000000 UDF Volume Set");
}

}  // namespace
}  // namespace kelva::udf
