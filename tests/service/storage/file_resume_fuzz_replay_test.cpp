// Replays the file-resume fuzz target on a seed written by a live object and on
// damaged copies of it, so that the target keeps building and its body runs
// under the sanitizers with every test run.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "service/storage/file_object.h"
#include "tests/service/storage/fake_fs_volume.h"

extern "C" int KelvaFileResumeFuzzOne(const uint8_t* data, size_t size);

namespace kelva::storage::testing {
namespace {

TEST(FileObjectFuzzReplay, DamagedResumeRecordsNeitherCrashNorHang) {
  FileResumeState state;
  state.type = ENTRY_KIND_EXTENTS;
  state.end_of_file = 5000;
  state.flags = FileResumeState::kContentChanged | FileResumeState::kNeedsRecording;
  for (int i = 0; i < 3; ++i) {
    FileSegment s;
    s.piece = static_cast<uint32_t>(i);
    s.start = i * 1048576;
    s.length = 4096;
    state.segments.push_back(s);
  }
  state.entry.type = ENTRY_KIND_EXTENTS;
  state.entry.name = u"seed.bin";
  MemoryStream seed;
  ASSERT_TRUE(WriteFileResumeState(seed, state));
  auto run = [](const std::string& b) {
    KelvaFileResumeFuzzOne(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  };
  run(seed.bytes());
  for (size_t cut = 0; cut < seed.bytes().size(); cut += 3) run(seed.bytes().substr(0, cut));
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::string damaged = seed.bytes();
    for (int flips = 1 + static_cast<int>(rng() % 6); flips > 0; --flips) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng());
    }
    run(damaged);
  }
}

}  // namespace
}  // namespace kelva::storage::testing
