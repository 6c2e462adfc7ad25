// Replays the history-log and directory-resume fuzz targets on seeds made here
// and on damaged copies of them, so that both targets keep building and their
// bodies run under the sanitizers with every test run.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "service/storage/dir_object.h"
#include "service/storage/history_records.h"
#include "tests/service/storage/fake_fs_volume.h"

extern "C" int KelvaHistoryFuzzOne(const uint8_t* data, size_t size);
extern "C" int KelvaDirResumeFuzzOne(const uint8_t* data, size_t size);

namespace kelva::storage::testing {
namespace {

void ReplayDamaged(int (*target)(const uint8_t*, size_t), const std::string& seed, unsigned rounds) {
  auto run = [&](const std::string& b) { target(reinterpret_cast<const uint8_t*>(b.data()), b.size()); };
  run(seed);
  run("");
  for (size_t cut = 0; cut < seed.size(); cut += 3) run(seed.substr(0, cut));
  std::mt19937 rng(7);
  for (unsigned round = 0; round < rounds; ++round) {
    std::string damaged = seed;
    for (int flips = 1 + rng() % 6; flips > 0; --flips) damaged[rng() % damaged.size()] = static_cast<char>(rng());
    run(damaged);
  }
}

TEST(DirObjectFuzzReplay, DamagedHistoryChainsAndResumeRecordsNeitherCrashNorHang) {
  std::string link(kHistoryLinkSize, '\0');
  EncodeHistoryLink(HistoryLink{1, 0}, reinterpret_cast<uint8_t*>(link.data()));
  const std::string chain = link + MakeCreatedRecord(133000000000000000ULL, 1, 0x40000002, 0, 0, u"\\a\\b") +
                            MakeUpdatedRecord(133000000000000000ULL, 1, 2, 3, 4) +
                            MakeRenamedRecord(133000000000000000ULL, u"c") +
                            MakeMovedRecord(133000000000000000ULL, u"\\d\\c") +
                            MakeDeletedRecord(133000000000000000ULL);
  ReplayDamaged(&KelvaHistoryFuzzOne, chain, 400);

  DirResumeState state;
  state.disc = 2;
  state.file = 77;
  state.parent_reference = 1;
  state.flags = 1;
  state.pending = 5;
  state.log_flags = 1;
  state.entry.type = ENTRY_KIND_DIRECTORY;
  state.entry.attr = FILE_ATTRIBUTE_DIRECTORY;
  state.entry.name = u"dir";
  MemoryStream seed;
  ASSERT_TRUE(WriteDirResumeState(seed, state));
  ReplayDamaged(&KelvaDirResumeFuzzOne, seed.bytes(), 400);
}

}  // namespace
}  // namespace kelva::storage::testing
