// Repairs of damaged write-once volumes of the simulated unit: each kind of
// damage an interrupted recording leaves is made by the damage utility, seen by
// the file system's check, repaired with its messages, and repaired only once.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "tests/service/udf/repair_fixture.h"
#include "tests/tools/external_program.h"

namespace kelva::udf::testing {
namespace {

// The messages with every hexadecimal number replaced by "#" and a line repeated
// in a row kept once, so that cases compare the steps, not the addresses.
std::string Shape(const std::string& messages) {
  std::string out, line, last;
  std::istringstream in(messages);
  while (std::getline(in, line)) {
    std::string shaped;
    for (size_t i = 0; i < line.size(); ++i) {
      shaped += line[i];
      if (line[i] == 'x' && i > 0 && line[i - 1] == '0') {
        shaped += '#';
        while (i + 1 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1]))) ++i;
      }
    }
    if (shaped != last) out += shaped + "\n";
    last = shaped;
  }
  return out;
}

#define H "0x#"
const char kTail[] = "Resolve Metadata Error at " H "\nSearch Block " H " Length " H
                     " in range " H " - " H "\nFound Block " H " at " H "\n";

struct Ids {
  uint64_t folderB, deepFile;
};

struct RepairCase {
  const char* name;
  std::function<bool(UdfDamage&, const Ids&)> damage;
  const char16_t* path;  // nullptr: RepairVolume
  bool creating;
  const char* messages;  // all messages, shaped
  size_t chainSectors = 0;  // when not 0: sectors of the metadata file's chain afterwards
};

// The last extent of the metadata file marked allocated-not-recorded; `shift`
// moves its recorded position, `extra` adds blocks never written, `tight` leaves
// the entry exactly the room its descriptors take.
bool MarkTail(UdfDamage& d, uint32_t shift, uint32_t extra, bool tight) {
  std::vector<ShortAd> ads = d.MetaAds();
  if (ads.size() < 2) return false;
  uint32_t blocks = 0;
  for (const ShortAd& a : ads) blocks += a.length / 2048;
  ads.back().type = ExtentType::kAllocatedNotRecorded;
  ads.back().position += shift;
  ads.back().length += extra * 2048;
  const uint32_t ea = tight ? static_cast<uint32_t>(2048 - 216 - 8 * ads.size()) : 0;
  return d.SetMetaAds(ads, ea, extra ? blocks + extra : 0);
}

uint32_t Phys(UdfDamage& d, uint32_t block) { return d.volume().partitionStart + block; }

const RepairCase kCases[] = {
    {"MainEntryChecksum", [](UdfDamage& d, const Ids&) { return d.BreakChecksum(d.MainLba()); },
     nullptr, false, "Recovered Metadata File Mirror -> Main\n"},
    {"MirrorEntryChecksum",
     [](UdfDamage& d, const Ids&) { return d.BreakChecksum(d.MirrorLba()); }, nullptr, false,
     "Recovered Metadata File Main -> Mirror\n"},
    {"AllocationExtentOfOneChain",
     [](UdfDamage& d, const Ids&) {
       const auto [main, mirror] = d.SplitIntoChains();
       return main != kNoAddress && d.BreakCrc(Phys(d, main));
     },
     nullptr, false, "Recovered Metadata File Mirror -> Main\n"},
    {"TailNotRecorded", [](UdfDamage& d, const Ids&) { return MarkTail(d, 0, 0, false); },
     kLatePath, false, kTail},
    {"TailPartlyWritten", [](UdfDamage& d, const Ids&) { return MarkTail(d, 0, 32, false); },
     kLatePath, false, kTail},
    {"TailShifted", [](UdfDamage& d, const Ids&) { return MarkTail(d, 5, 0, false); }, kLatePath,
     false, kTail},
    {"TailOverflowsItsEntry", [](UdfDamage& d, const Ids&) { return MarkTail(d, 0, 32, true); },
     kLatePath, false, kTail, 2},
    {"DescriptorsContinuingEachOther",
     [](UdfDamage& d, const Ids&) {
       std::vector<ShortAd> ads = d.MetaAds();
       ShortAd second = ads[0];
       ads[0].length /= 2;
       second.length -= ads[0].length;
       second.position += ads[0].length / 2048;
       ads.insert(ads.begin() + 1, second);
       return d.SetMetaAds(ads);
     },
     kDeepPath, false, "Overlapped Metadata Entry [" H "-" H "] [" H "-" H "]\n"},
    {"FsdAndRootZeroedWithOlderPair",
     [](UdfDamage& d, const Ids&) {
       const uint32_t fsd = Phys(d, d.MapMeta(0)), root = Phys(d, d.MapMeta(1));
       return d.AppendUnit({d.Read(fsd), d.Read(root)}) != kNoAddress && d.Zero(fsd) &&
              d.Zero(root);
     },
     nullptr, false,
     "FSD and/or Root Directory Corrupted\nSearch FSD/ROOT in range " H " - " H
     "\nFound FSD/ROOT at " H "\n"},
    {"MiddleFolderCrc",
     [](UdfDamage& d, const Ids& ids) { return d.BreakCrc(Phys(d, d.FindEntry(ids.folderB))); },
     kDeepPath, false, "Descriptor CRC " H " Error at " H "\n"},
    {"LastEntryChecksum",
     [](UdfDamage& d, const Ids& ids) {
       return d.BreakChecksum(Phys(d, d.FindEntry(ids.deepFile)));
     },
     kDeepPath, false, "Check Sum " H " Error at " H "\n"},
    {"CreatingWithMissingLastComponent",
     [](UdfDamage& d, const Ids& ids) { return d.BreakCrc(Phys(d, d.FindEntry(ids.folderB))); },
     u"a\\b\\new.txt", true, "Descriptor CRC " H " Error at " H "\n"},
};

class MetadataRepairCase : public RepairFixture,
                           public ::testing::WithParamInterface<RepairCase> {
 protected:
  // Extracts the disc image with each UDF reader of other makers that is
  // installed (7-Zip, UDFclient) and names the files that do not come out as
  // written ("reader: path").
  std::vector<std::string> ForeignReadersLost() {
    using disctool::test_util::Capture;
    using disctool::test_util::HaveProgram;
    const fs::path image = dir_ / "mag" / "disc00.img";
    std::vector<std::string> lost;
    auto compare = [&](const std::string& reader, const fs::path& root) {
      for (const auto& [path, data] : files_) {
        std::string rel(path.begin(), path.end());
        std::replace(rel.begin(), rel.end(), '\\', '/');
        std::ifstream in(root / rel, std::ios::binary);
        const std::string got{std::istreambuf_iterator<char>(in), {}};
        if (!in.is_open() || got != std::string(data.begin(), data.end()))
          lost.push_back(reader + ": " + rel);
      }
      fs::remove_all(root);
    };
    if (const char* seven = HaveProgram("7zz") ? "7zz" : HaveProgram("7z") ? "7z" : nullptr) {
      const fs::path out = dir_ / "7z";
      Capture(std::string(seven) + " x -y -o" + out.string() + " " + image.string() +
              " >/dev/null 2>&1");
      compare("7-Zip", out);
    }
    if (HaveProgram("udfclient")) {
      // UDFclient shows the logical volume as a folder of its root.
      const std::string listing =
          Capture("printf 'ls\\nquit\\n' | udfclient -b 2048 " + image.string() + " 2>/dev/null");
      const size_t at = listing.find(" UDF Volume Set:");
      if (at == std::string::npos) {
        lost.push_back("UDFclient: no volume");
        return lost;
      }
      const size_t start = listing.rfind(' ', at - 1) + 1;
      const fs::path out = dir_ / "uc";
      fs::create_directories(out);
      std::set<std::string> tops;
      for (const auto& [path, data] : files_)
        tops.insert(std::string(path.begin(), path.begin() + std::min(path.find(u'\\'), path.size())));
      std::ofstream script(dir_ / "script");
      script << "cd \"" << listing.substr(start, listing.find('\n', at) - start) << "\"\nlcd "
             << out.string() << "\n";
      for (const std::string& top : tops) script << "get " << top << "\n";
      script << "quit\n";
      script.close();
      Capture("udfclient -b 2048 " + image.string() + " < " + (dir_ / "script").string() +
              " >/dev/null 2>&1");
      compare("UDFclient", out);
    }
    return lost;
  }
  int Run(uint32_t* written) {
    const RepairCase& c = GetParam();
    return c.path ? RepairFileNow(c.path, c.creating, written) : RepairVolumeNow(written);
  }
};

TEST_P(MetadataRepairCase, IsSeenRepairedOnceAndLosesNothing) {
  const RepairCase& c = GetParam();
  UdfDamage d = Damage();
  ASSERT_TRUE(d.ok());
  // Readers of other makers read the repaired disc as they read it intact.
  // (7-Zip opens no disc whose metadata file lies in several extents, damaged
  // or not; UDFclient reads these discs whole.)
  const std::vector<std::string> intact = ForeignReadersLost();
  for (const std::string& lost : intact) ASSERT_EQ(lost.rfind("UDFclient", 0), std::string::npos);
  ASSERT_TRUE(c.damage(d, {folderB_, deepFile_}));
  const Reading damaged = Read();
  EXPECT_FALSE(damaged.Clean()) << "the damage went unnoticed";

  uint32_t written = 0;
  EXPECT_EQ(Run(&written), 1) << messages_;
  EXPECT_GT(written, 0u);
  EXPECT_EQ(Shape(messages_), c.messages) << messages_;
  const Reading repaired = Read();
  EXPECT_TRUE(repaired.Clean()) << "mount " << repaired.mount << "; "
                                << ::testing::PrintToString(repaired.problems)
                                << ::testing::PrintToString(repaired.lost);
  EXPECT_EQ(ForeignReadersLost(), intact);

  if (c.chainSectors != 0) {
    MetadataRepair r(vol_->drive(), {});
    ASSERT_TRUE(r.Open() && r.LoadMap());
    EXPECT_EQ(r.map().nodes().size(), c.chainSectors);
  }

  // A second repair finds nothing left to do and writes nothing.
  messages_.clear();
  const size_t writes = Writes();
  EXPECT_EQ(Run(&written), 0) << messages_;
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Writes(), writes);
}

INSTANTIATE_TEST_SUITE_P(Damage, MetadataRepairCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

using MetadataRepairTest = RepairFixture;

TEST_F(MetadataRepairTest, IntactVolumeNeedsNothing) {
  const size_t writes = Writes();
  EXPECT_EQ(RepairVolumeNow(), 0);
  EXPECT_EQ(RepairFileNow(kDeepPath, false), 0);
  EXPECT_EQ(RepairFileNow(u"a\\missing", true), 0);
  EXPECT_EQ(Writes(), writes);
  EXPECT_EQ(messages_, "");
}

TEST_F(MetadataRepairTest, LostFsdAndRootWithoutCopyWritesNothing) {
  UdfDamage d = Damage();
  ASSERT_TRUE(d.Zero(Phys(d, d.MapMeta(0))));
  ASSERT_TRUE(d.Zero(Phys(d, d.MapMeta(1))));
  const size_t writes = Writes();
  EXPECT_EQ(RepairVolumeNow(), 0);
  EXPECT_EQ(Writes(), writes);
  EXPECT_EQ(Shape(messages_),
            "FSD and/or Root Directory Corrupted\nSearch FSD/ROOT in range " H " - " H "\n");
}

TEST_F(MetadataRepairTest, MissingComponentInOpenModeIsNotARepair) {
  UdfDamage d = Damage();
  ASSERT_TRUE(d.BreakCrc(Phys(d, d.FindEntry(folderB_))));
  EXPECT_EQ(RepairFileNow(u"a\\b\\absent.txt", false), 0);
  // The folder on the way was made whole all the same.
  EXPECT_TRUE(Read().Clean());
}

TEST_F(MetadataRepairTest, RewritableDiscIsNeverTouched) {
  Build(/*recordable=*/false, 4);
  UdfDamage d = Damage();
  ASSERT_TRUE(d.BreakChecksum(d.MainLba()));
  const size_t writes = Writes();
  EXPECT_EQ(RepairVolumeNow(), 0);
  EXPECT_EQ(RepairFileNow(kDeepPath, false), 0);
  EXPECT_EQ(Writes(), writes);
}

TEST_F(MetadataRepairTest, SpentPseudoOverwriteResourcesLeaveTheDiscAsItWas) {
  UdfDamage d = Damage();
  ASSERT_TRUE(d.BreakChecksum(d.MainLba()));
  const std::vector<uint8_t> before = d.Read(d.MainLba());
  ASSERT_TRUE(vol_->unit().SetPowResources(-1, 0, 0, 0));
  EXPECT_EQ(RepairVolumeNow(), 0);
  EXPECT_EQ(d.Read(d.MainLba()), before);
  EXPECT_EQ(messages_, "");
}

// Every write of a repair in turn is the last before the unit is unplugged: what
// read before still reads, and a repair after the unit is back finishes the job.
TEST_F(MetadataRepairTest, UnplugAtEveryWriteOfARepairLeavesTheDiscNoWorse) {
  for (uint32_t n = 1; n < 10; ++n) {
    SCOPED_TRACE("unplugged after write " + std::to_string(n));
    Build();
    UdfDamage d = Damage();
    ASSERT_TRUE(MarkTail(d, 0, 32, true));
    const Reading before = Read();
    vol_->unit().UnplugAfter(0x2A, n);
    RepairFileNow(kLatePath, false);
    const bool interrupted = vol_->unit().IsUnplugged();
    vol_->unit().UnplugAfter(0x2A, 0);
    if (!interrupted) {
      EXPECT_GT(n, 1u);
      EXPECT_TRUE(Read().Clean());
      return;
    }
    Replug();
    const Reading during = Read();
    EXPECT_EQ(during.mount, 0u);
    for (const std::string& lost : during.lost)
      EXPECT_NE(std::find(before.lost.begin(), before.lost.end(), lost), before.lost.end())
          << lost << " no longer reads";
    RepairFileNow(kLatePath, false);
    const Reading after = Read();
    EXPECT_TRUE(after.Clean()) << ::testing::PrintToString(after.problems)
                               << ::testing::PrintToString(after.lost);
  }
  ADD_FAILURE() << "the repair never finished";
}

// A recording interrupted at each of its writes in turn: the volume repair and
// the closing of the integrity, as the service runs them, lose no file of an
// earlier recording.
TEST_F(MetadataRepairTest, InterruptedRecordingLosesNoFlushedFile) {
  for (uint32_t n = 1; n < 40; ++n) {
    SCOPED_TRACE("unplugged after write " + std::to_string(n));
    Build(true, 24);
    ASSERT_EQ(vol_->Mount(), 0u);
    for (int i = 0; i < 12; ++i)
      ASSERT_EQ(PutFile(vol_->fs(), u"second" + std::u16string(1, u'a' + i), Pattern(3000, 90 + i)),
                0u);
    vol_->unit().UnplugAfter(0x2A, n);
    vol_->fs().Flush();
    vol_->Drop();
    const bool interrupted = vol_->unit().IsUnplugged();
    vol_->unit().UnplugAfter(0x2A, 0);
    if (!interrupted) return;
    Replug();
    RepairVolumeNow();
    CloseIntegrity(vol_->drive());
    Reading r = Read();
    for (const std::string& lost : r.lost) {
      RepairFileNow(std::u16string(lost.begin(), lost.end()), false);
    }
    r = Read();
    EXPECT_EQ(r.mount, 0u);
    EXPECT_TRUE(r.lost.empty()) << ::testing::PrintToString(r.lost) << messages_;
  }
  ADD_FAILURE() << "the recording never finished";
}

// The allocation extent descriptors chained to the main or the mirror entry of
// the metadata file (1000 when the chain reaches a sector that is not one).
size_t ChainSectors(IUdfDrive& drive, bool mirror) {
  UdfDamage d(drive);
  std::vector<uint8_t> s = d.Read(mirror ? d.MirrorLba() : d.MainLba());
  size_t offset = 0, span = 0, n = 0;
  if (!EntryDescriptorArea(s.data(), &offset, &span)) return 1000;
  for (;;) {
    uint32_t next = kNoAddress;
    SectorDescriptors(s, offset, span, &next);
    if (next == kNoAddress || n >= 64) return n;
    s = d.Read(d.volume().partitionStart + next);
    if (Get16(s.data()) != kTagAllocationExtent) return 1000;
    ++n;
    offset = 24;
    span = std::min<size_t>(Get32(s.data() + 20), kSectorSize - 24);
  }
}

// A metadata file whose entries have no room left for its descriptors (extended
// attributes fill them, as other recorders may leave them) is written back with
// a chain of its own for the main and the mirror entry, on both media: taken
// from the partition's free space on rewritable media (and accounted for in its
// bitmap), from a unit appended to the metadata track on write-once media.
TEST_F(MetadataRepairTest, MetadataFileWithoutRoomInItsEntryGetsChains) {
  for (bool recordable : {true, false}) {
    SCOPED_TRACE(recordable ? "write-once" : "rewritable");
    Build(recordable, 4);
    {
      UdfDamage d = Damage();
      const std::vector<ShortAd> ads = d.MetaAds();
      ASSERT_TRUE(d.SetMetaAds(ads, static_cast<uint32_t>(2048 - 216 - 8 * ads.size())));
      // The main entry is rebuilt from its mirror at the next write-back.
      ASSERT_TRUE(d.BreakChecksum(d.MainLba()));
    }
    ASSERT_EQ(vol_->Mount(), 0u);
    files_[u"after.bin"] = Pattern(4000, 77);
    ASSERT_EQ(PutFile(vol_->fs(), u"after.bin", files_[u"after.bin"]), 0u);
    ASSERT_EQ(vol_->fs().Flush(), 0u);
    vol_->Drop();
    const Reading r = Read();
    EXPECT_TRUE(r.Clean()) << "mount " << r.mount << "; " << ::testing::PrintToString(r.problems)
                           << ::testing::PrintToString(r.lost);
    EXPECT_EQ(ChainSectors(vol_->drive(), false), 1u);
    EXPECT_EQ(ChainSectors(vol_->drive(), true), 1u);
  }
}

// A metadata file whose descriptors continue in a chain (a repaired disc) grows
// by further extents and is written back with its chains, the main's and the
// mirror's each in sectors of their own. Cut at each write of that recording in
// turn, the disc still reads everything it held before; whole, it reads the new
// files too and needs no repair.
TEST_F(MetadataRepairTest, ChainedMetadataFileIsWrittenBackWithItsChain) {
  auto chain_sectors = [&](bool mirror) { return ChainSectors(vol_->drive(), mirror); };
  for (uint32_t cut = 1;; ++cut) {
    SCOPED_TRACE("unplugged after write " + std::to_string(cut));
    Build(true, 24);
    {
      UdfDamage d = Damage();
      ASSERT_TRUE(MarkTail(d, 0, 32, true));
    }
    ASSERT_EQ(RepairFileNow(kLatePath, false), 1) << messages_;
    ASSERT_EQ(chain_sectors(false), 1u);
    ASSERT_EQ(vol_->Mount(), 0u);
    std::map<std::u16string, std::vector<uint8_t>> added;
    ASSERT_EQ(vol_->fs().CreateFolder(u"grown"), 0u);
    for (int i = 0; i < 120; ++i) {
      const std::u16string name = u"grown\\g" + std::u16string(1, u'A' + i / 26) +
                                  std::u16string(1, u'a' + i % 26);
      added[name] = Pattern(700, 500 + i);
      ASSERT_EQ(PutFile(vol_->fs(), name, added[name]), 0u);
    }
    vol_->unit().UnplugAfter(0x2A, cut);
    const platform::Win32Error flushed = vol_->fs().Flush();
    vol_->Drop();
    const bool interrupted = vol_->unit().IsUnplugged();
    vol_->unit().UnplugAfter(0x2A, 0);
    if (interrupted) {
      Replug();
      const Reading r = Read();
      EXPECT_EQ(r.mount, 0u);
      EXPECT_TRUE(r.lost.empty()) << ::testing::PrintToString(r.lost);
      ASSERT_LT(cut, 400u) << "the recording never finished";
      continue;
    }
    ASSERT_EQ(flushed, 0u);
    EXPECT_GT(cut, 2u);
    files_.insert(added.begin(), added.end());
    const Reading r = Read();
    EXPECT_TRUE(r.Clean()) << "mount " << r.mount << "; " << ::testing::PrintToString(r.problems)
                           << ::testing::PrintToString(r.lost);
    EXPECT_EQ(chain_sectors(false), 1u);
    EXPECT_EQ(chain_sectors(true), 1u);
    messages_.clear();
    const size_t writes = Writes();
    EXPECT_EQ(RepairVolumeNow(), 0) << messages_;
    EXPECT_EQ(RepairFileNow(kLatePath, false), 0) << messages_;
    EXPECT_EQ(Writes(), writes);
    break;
  }
}

}  // namespace
}  // namespace kelva::udf::testing
