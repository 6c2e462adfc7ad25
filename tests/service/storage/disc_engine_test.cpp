// The disc I/O engine on the simulated unit: recording, numbering, fetching and
// reading back through real UDF volumes, the retry after a 1237 answer, the
// watchdog on the test clock, disc changes, full discs and worn-out discs.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "disc_engine_fixture.h"
#include "service/storage/disc_pack_channel.h"
#include "tests/eventually.h"

namespace kelva::storage::testing {
namespace {

namespace pe = platform;

size_t CountOf(const std::vector<std::string>& calls, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.rfind(prefix, 0) == 0;
  }));
}

TEST_F(DiscEngineTest, RecordingPadsTheLastBlockToSectorsAndSetsTheTrueLength) {
  Start();
  const struct {
    size_t size;
    std::vector<std::string> writes;  // write and length calls, in order
  } cases[] = {
      {5000, {"write 6144", "length 5000"}},
      {6144, {"write 6144"}},
      {65536 + 1, {"write 65536", "write 2048", "length 65537"}},
      {0, {}},
  };
  uint32_t number = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    PutCacheFile(CK_DIR, 0, number, c.size, number);
    volumes_->ClearCalls();
    RecordSource source;
    source.kind = CK_DIR;
    source.disc = 0;
    source.file = number;
    source.wanted = number;
    RecordAnswer answer;
    ASSERT_EQ(engine_->RecordCacheFile(source, &answer), 0u);
    EXPECT_EQ(answer.disc, 0);
    EXPECT_EQ(answer.file, number);
    EXPECT_EQ(answer.bytes, c.size);
    std::vector<std::string> writes;
    for (const std::string& call : volumes_->Calls()) {
      if (call.rfind("write", 0) == 0 || call.rfind("length", 0) == 0) writes.push_back(call);
    }
    EXPECT_EQ(writes, c.writes);
    DiscFileInfo info;
    ASSERT_EQ(engine_->LookupDiscFile(CK_DIR, 0, number, &info), 0u);
    EXPECT_EQ(info.size, c.size);
    // Fetched back into a given file, byte for byte.
    const fs::path back = temp_ / "scratch" / ("back-" + std::to_string(number));
    ASSERT_EQ(engine_->FetchFile(CK_DIR, 0, number, back), 0u);
    EXPECT_EQ(ReadAll(back), Pattern(c.size, number));
    ++number;
  }
  DiscFileInfo info;
  EXPECT_EQ(engine_->LookupDiscFile(CK_DIR, 0, 999, &info), pe::ERROR_ACCESS_DENIED);
}

TEST_F(DiscEngineTest, NumbersOnTheDiscNeverOverwriteARecordedFile) {
  Start();
  struct Step {
    CacheKind kind;
    uint32_t wanted;
    bool existing;
    uint32_t expected;
  };
  const Step steps[] = {
      {CK_DB, 7, false, 7},        // a new catalog keeps its number
      {CK_DB, 7, true, 8},         // an existing one lands under the next number
      {CK_DB, 7, true, 9},         // ... and past every number already taken
      {CK_DB, 9, false, 10},       // taken: counted upward
      {CK_LOG, 20, false, 20},     // other kinds keep a free number
      {CK_LOG, 20, false, 5000},   // a taken one is replaced by the volume's next number
      {CK_DIR, 30, true, 5001},    // an existing directory catalog takes a new number
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << int{s.kind} << " " << s.wanted << (s.existing ? " existing" : ""));
    RecordSource source;
    source.kind = s.kind;
    source.disc = s.kind == CK_DB ? kStructDisc : 0;
    source.wanted = s.wanted;
    source.existing_catalog = s.existing;
    source.path = ScratchFile("n", 3000, s.wanted);
    RecordAnswer answer;
    ASSERT_EQ(engine_->RecordCacheFile(source, &answer), 0u);
    EXPECT_EQ(answer.file, s.expected);
  }
  DiscFileInfo info;
  EXPECT_EQ(engine_->LookupDiscFile(CK_DB, 0, 9, &info), 0u);
  EXPECT_EQ(engine_->LookupDiscFile(CK_DIR, 0, 5001, &info), 0u);
}

TEST_F(DiscEngineTest, ARetryAnswerClosesTheDiscAndRunsTheRequestAgain) {
  Start();
  RecordFile(CK_DIR, 1, 4000);  // the disc has been written
  volumes_->ClearCalls();
  const int commits = host_.commits.load();
  volumes_->FailNextCreate(pe::ERROR_RETRY);
  const RecordAnswer answer = RecordFile(CK_DIR, 2, 9000);  // the submitter sees success only
  EXPECT_EQ(answer.file, 2u);
  EXPECT_EQ(answer.bytes, 9000u);
  const auto calls = volumes_->Calls();
  // create (answered 1237), the disc closed (dismount), then the same create again.
  const auto first = std::find(calls.begin(), calls.end(), "create 000\\000\\000000002.DIR");
  ASSERT_NE(first, calls.end());
  const auto dismount = std::find(first, calls.end(), "dismount");
  ASSERT_NE(dismount, calls.end());
  EXPECT_NE(std::find(dismount, calls.end(), "create 000\\000\\000000002.DIR"), calls.end());
  EXPECT_EQ(host_.commits.load(), commits + 1);
  DiscFileInfo info;
  ASSERT_EQ(engine_->LookupDiscFile(CK_DIR, 0, 2, &info), 0u);
  EXPECT_EQ(info.size, 9000u);
}

TEST_F(DiscEngineTest, ACommandPastItsLimitFailsEveryRequestWith31AndIsLogged) {
  Start();
  RecordFile(CK_DIR, 1, 4000);
  sim_->DelayNext(0x2A, 400000);  // the next WRITE(10); its own limit is 600 s
  std::atomic<pe::Win32Error> first{0}, blocked{0};
  RecordSource source;
  source.kind = CK_DIR;
  source.wanted = 2;
  source.path = ScratchFile("hang", 100000, 2);
  std::thread a([&] {
    RecordAnswer answer;
    first = engine_->RecordCacheFile(source, &answer);
  });
  // Time passes in 30 s steps until the watchdog gives up at 180 s.
  for (int step = 0; step < 40 && host_.Failures().empty(); ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clock_.Advance(30000);
  }
  ASSERT_EQ(host_.Failures(), std::vector<uint32_t>{0xC0000064});
  EXPECT_TRUE(engine_->Failed());
  EXPECT_GE(worker_.busy_notices.load(), 5);
  {
    std::lock_guard lock(log_mu_);
    ASSERT_EQ(event_log_.size(), 1u);
    EXPECT_EQ(event_log_[0].first, 0xC0000064u);
    EXPECT_EQ(event_log_[0].second, "Backing file system driver stopped responding during create file request\r\n");
  }
  std::thread b([&] { blocked = engine_->CloseDisc(); });  // waits for the I/O lock meanwhile
  // The hung command returns in the end; its request fails too.
  ASSERT_TRUE(test::Eventually([&] {
    clock_.Advance(30000);
    return first.load() != 0 && blocked.load() != 0;
  }));
  a.join();
  b.join();
  EXPECT_EQ(first.load(), pe::ERROR_GEN_FAILURE);
  EXPECT_EQ(blocked.load(), pe::ERROR_GEN_FAILURE);
  const size_t commands = UnitCommandCount();
  DiscFileInfo info;
  EXPECT_EQ(engine_->LookupDiscFile(CK_DIR, 0, 1, &info), pe::ERROR_GEN_FAILURE);
  EXPECT_EQ(engine_->PrepareDisc(), pe::ERROR_GEN_FAILURE);
  EXPECT_FALSE(engine_->ChangeDisc(1));
  EXPECT_EQ(UnitCommandCount(), commands);  // failed at once
}

TEST_F(DiscEngineTest, ChangeDiscBeyondTheLastDiscAsksNothingOfTheUnit) {
  Start();
  const size_t commands = UnitCommandCount();
  EXPECT_FALSE(engine_->ChangeDisc(12));
  EXPECT_TRUE(engine_->ChangeDisc(0));  // not above the current disc
  EXPECT_EQ(UnitCommandCount(), commands);
  EXPECT_TRUE(host_.Events().empty());
  EXPECT_EQ(engine_->CurrentDisc(), 0);
}

TEST_F(DiscEngineTest, AFullDiscAnswers112AndTheNextDiscTakesTheRecording) {
  EngineSetup setup;
  setup.disc_sectors = 40960;  // 80 MiB: a few MiB above the reserve
  Start(setup);
  const RecordAnswer full = RecordFile(CK_DAT, 1, 24u << 20, pe::ERROR_DISK_FULL);
  EXPECT_EQ(full.disc, 0);
  EXPECT_FALSE(engine_->NoFurtherDisc());  // a full disc is not an unusable one
  ASSERT_TRUE(engine_->ChangeDisc(1));
  EXPECT_EQ(host_.Events(), std::vector<uint32_t>{kDiscEventChanged});
  EXPECT_EQ(engine_->CurrentDisc(), 1);
  EXPECT_EQ(controller_->CurrentSlot(), 1);
  const RecordAnswer next = RecordFile(CK_DAT, 2, 1u << 20);
  EXPECT_EQ(next.disc, 1);
  DiscFileInfo info;
  ASSERT_EQ(engine_->LookupDiscFile(CK_DAT, 1, 2, &info), 0u);
  EXPECT_EQ(info.size, 1u << 20);
}

TEST_F(DiscEngineTest, WornOutDiscResourcesStopWriting) {
  struct Case {
    uint32_t map_entries, updates;
    uint8_t highest_disc;
    pe::Win32Error record;
    std::vector<uint32_t> write_failures;
  };
  const Case cases[] = {
      {500, 1000, 11, 0, {}},                            // plenty
      {100, 1000, 11, 0, {}},                            // nearly exhausted, not the last disc
      {100, 1000, 0, 0, {kWriteFailureRefused}},         // nearly exhausted on the last disc
      {63, 1000, 11, pe::ERROR_DISK_FULL, {}},           // no further writes
      {500, 199, 0, pe::ERROR_DISK_FULL, {kWriteFailureRefused}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.map_entries << "/" << c.updates << " highest " << int{c.highest_disc});
    EngineSetup setup;
    setup.type = emulator::kTypeRecordable;
    setup.highest_disc = c.highest_disc;
    setup.disc_sectors = 0;  // the product size: a write-once layout needs room for its tracks
    ASSERT_NO_FATAL_FAILURE(Start(setup));
    ASSERT_TRUE(sim_->SetPowResources(-1, 1000, c.map_entries, c.updates));
    ASSERT_EQ(engine_->RefreshDiscState(), 0u);
    EXPECT_EQ(host_.WriteFailures(), c.write_failures);
    RecordFile(CK_DIR, 3, 3000, c.record);
    TearDown();
    SetUp();
    host_.Clear();
  }
}

TEST_F(DiscEngineTest, TheLookAheadListsASlowBlockOnceAtItsSecondFetch) {
  Start();
  for (uint32_t n : {0x300u, 0x301u, 0x302u, 0x303u, 0x3F0u}) RecordFile(CK_LOG, n, 1000);
  volumes_->SlowOpen("000000300.LOG", 25);  // opening this one takes 25 ms
  const std::string listing = "find 000\\000\\??00003??.LOG";
  auto fetch = [&](uint32_t n) {
    ASSERT_EQ(engine_->FetchFile(CK_LOG, 0, n, temp_ / "scratch" / ("f" + std::to_string(n))), 0u);
  };
  volumes_->ClearCalls();
  fetch(0x300);  // slow: its block is remembered
  EXPECT_EQ(engine_->SlowBlockCount(), 1u);
  fetch(0x301);  // the first further fetch only counts
  EXPECT_EQ(CountOf(volumes_->Calls(), listing), 0u);
  fetch(0x302);  // the second lists the block's folder
  EXPECT_EQ(CountOf(volumes_->Calls(), listing), 1u);
  EXPECT_EQ(engine_->SlowBlockCount(), 0u);  // and forgets the block
  fetch(0x303);
  EXPECT_EQ(CountOf(volumes_->Calls(), "find "), 1u);
  EXPECT_EQ(ReadAll(temp_ / "scratch" / "f770"), Pattern(1000, 0x302));  // the copy of 0x302
}

TEST_F(DiscEngineTest, ListDiscFindsTheFilesOfA256NumberBlock) {
  Start();
  for (uint32_t n : {0x400u, 0x405u, 0x4FFu, 0x500u, 0x3FFu}) RecordFile(CK_LOG, n, 100);
  RecordFile(CK_DIR, 0x401, 100);  // another kind
  std::set<uint32_t> found;
  ASSERT_EQ(engine_->ListDisc(CK_LOG, 0, 0x450, [&](uint32_t f) { found.insert(f); }), 0u);
  EXPECT_EQ(found, (std::set<uint32_t>{0x400, 0x405, 0x4FF}));
}

TEST_F(DiscEngineTest, DataFilesAreWrittenAndReadBackRangeByRange) {
  Start();
  const auto data = Pattern(200000, 77);
  ASSERT_EQ(engine_->BeginDataFile(CK_DAT, 0, 42, true), 0u);
  uint32_t done = 0;
  ASSERT_EQ(engine_->WriteData(data.data(), 131072, &done), 0u);
  ASSERT_EQ(engine_->WriteData(data.data() + 131072, 200000 - 131072, &done), 0u);
  ASSERT_EQ(engine_->SetDataLength(200000), 0u);
  ASSERT_EQ(engine_->CloseDataFile(), 0u);
  EXPECT_EQ(engine_->BeginDataFile(CK_DAT, 0, 42, true), pe::ERROR_FILE_EXISTS);
  EXPECT_EQ(engine_->WriteData(data.data(), 10, &done), pe::ERROR_INVALID_HANDLE);

  // Consecutive ranges reuse the open file without seeking; a jump seeks once.
  volumes_->ClearCalls();
  std::vector<uint8_t> back(200000);
  engine_->LockIo();
  struct Range {
    uint64_t offset;
    uint32_t count, expected;
  };
  for (const Range r : {Range{0, 70000, 70000}, Range{70000, 70000, 70000}, Range{150000, 60000, 50000},
                        Range{140000, 10000, 10000}}) {
    ASSERT_EQ(engine_->ReadData(CK_DAT, 0, 42, r.offset, back.data() + r.offset, r.count, &done), 0u);
    EXPECT_EQ(done, r.expected);
  }
  engine_->UnlockIo();
  EXPECT_EQ(back, data);
  const auto calls = volumes_->Calls();
  EXPECT_EQ(CountOf(calls, "open "), 1u);
  EXPECT_EQ(calls.back(), "seek 140000");
  EXPECT_EQ(CountOf(calls, "seek "), 2u);  // the jump forward and the one back
}

// A data file written over several openings, as a file's content is recorded
// run by run: an opened file is written on at its end, and after a length
// change at the new end. Each case is played against a byte model.
TEST_F(DiscEngineTest, DataFileOpenedAgainIsWrittenOnAtItsEndOrItsNewLength) {
  Start();
  struct Step {
    enum Kind { kCreate, kOpen, kWrite, kLength } kind;
    uint32_t amount = 0;  // bytes written, or the new length
  };
  using S = Step;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"appended after opening again", {{S::kCreate}, {S::kWrite, 5000}, {S::kOpen}, {S::kWrite, 3000}}},
      {"cut back and written on", {{S::kCreate}, {S::kWrite, 10000}, {S::kOpen}, {S::kLength, 4096}, {S::kWrite, 3000}}},
      {"grown with zeros and written on", {{S::kCreate}, {S::kWrite, 1000}, {S::kOpen}, {S::kLength, 6144}, {S::kWrite, 2000}}},
      // A run padded to whole sectors and set back to its true length.
      {"padded run set back, then more", {{S::kCreate}, {S::kWrite, 2048}, {S::kLength, 1500}, {S::kWrite, 700},
                                          {S::kOpen}, {S::kWrite, 300}}},
  };
  const std::vector<uint8_t> source = Pattern(20000, 31);
  uint32_t number = 500;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> model;
    size_t position = 0;
    uint32_t from = 0;  // where the next write takes its bytes in source
    for (const Step& step : c.steps) {
      uint32_t done = 0;
      switch (step.kind) {
        case S::kCreate:
        case S::kOpen:
          engine_->CloseDataFile();
          ASSERT_EQ(engine_->BeginDataFile(CK_DAT, 0, number, step.kind == S::kCreate), 0u);
          position = model.size();
          break;
        case S::kWrite:
          ASSERT_EQ(engine_->WriteData(source.data() + from, step.amount, &done), 0u);
          ASSERT_EQ(done, step.amount);
          if (model.size() < position + step.amount) model.resize(position + step.amount);
          std::copy_n(source.begin() + from, step.amount, model.begin() + static_cast<ptrdiff_t>(position));
          position += step.amount;
          from += step.amount;
          break;
        case S::kLength:
          ASSERT_EQ(engine_->SetDataLength(step.amount), 0u);
          model.resize(step.amount);
          position = step.amount;
          break;
      }
    }
    ASSERT_EQ(engine_->CloseDataFile(), 0u);
    std::vector<uint8_t> back(model.size() + 100);
    uint32_t got = 0;
    ASSERT_EQ(engine_->ReadData(CK_DAT, 0, number, 0, back.data(), static_cast<uint32_t>(back.size()), &got), 0u);
    back.resize(got);
    EXPECT_TRUE(back == model) << "read " << got << " of " << model.size() << " bytes";
    ++number;
  }
}

TEST_F(DiscEngineTest, ADirectoryPackIsWrittenToAndReadFromTheCurrentDisc) {
  Start();
  const auto catalog = Pattern(300000, 9);
  const uint8_t header[16] = {0xA1, 0xA9, 0x50, 0x5E, 0xEE, 0x1A, 0x6B, 0x47,
                              0x97, 0x67, 0x4F, 0x2C, 0x7D, 0x20, 0xFA, 0x75};
  engine_->LockIo();
  CDiscPackChannel out(engine_.get());
  ASSERT_EQ(out.Create(), 0u);
  {
    CDirPackStream pack(&out, CDirPackStream::Mode::kWrite);
    ASSERT_EQ(pack.Write(header, 16), 0u);
    ASSERT_EQ(pack.SetEncoding(CDirPackStream::kZlib), 0u);
    ASSERT_EQ(pack.Write(catalog.data(), static_cast<uint32_t>(catalog.size())), 0u);
    ASSERT_EQ(pack.Close(), 0u);
  }
  ASSERT_EQ(out.Close(), 0u);
  EXPECT_EQ(CDiscPackChannel(engine_.get()).Create(), pe::ERROR_FILE_EXISTS);
  engine_->UnlockIo();

  const auto calls = volumes_->Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "create STRUCT\\DIRPACK.BIN"), calls.end());
  engine_->LockIo();
  CDiscPackChannel in(engine_.get());
  CDirPackStream pack(&in, CDirPackStream::Mode::kRead);
  uint8_t guid[16];
  uint32_t got = 0;
  ASSERT_EQ(pack.Read(guid, 16, &got), 0u);
  EXPECT_EQ(std::vector<uint8_t>(guid, guid + 16), std::vector<uint8_t>(header, header + 16));
  ASSERT_EQ(pack.SetEncoding(CDirPackStream::kZlib), 0u);
  std::vector<uint8_t> back(catalog.size() + 10);
  ASSERT_EQ(pack.Read(back.data(), static_cast<uint32_t>(back.size()), &got), 0u);
  engine_->UnlockIo();
  back.resize(got);
  EXPECT_EQ(back, catalog);
}

TEST_F(DiscEngineTest, TheIoLockLetsItsOwnerInAndKeepsOthersOut) {
  Start();
  engine_->LockIo();
  EXPECT_TRUE(engine_->OwnsIo());
  EXPECT_EQ(engine_->PrepareDisc(), 0u);  // the owner submits without locking again
  bool other = true;
  std::thread t([&] { other = engine_->TryLockIo(); });
  t.join();
  EXPECT_FALSE(other);
  engine_->UnlockIo();
  std::thread u([&] {
    other = engine_->TryLockIo();
    if (other) engine_->UnlockIo();
  });
  u.join();
  EXPECT_TRUE(other);
}

}  // namespace
}  // namespace kelva::storage::testing
