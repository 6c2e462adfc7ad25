#include "service/unit/unit_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "controller_fixture.h"
#include "platform/file.h"

namespace kelva::unit {
namespace {

using testing::TempFolder;

// Answers the vendor reads of the log memory and the disc information blocks
// from tables; every other command succeeds without data.
class ScriptedDevice : public platform::ScsiDevice {
 public:
  std::map<uint8_t, std::vector<uint8_t>> log_sections;  // selector -> bytes
  std::vector<uint8_t> info_size = std::vector<uint8_t>(8, 0xFF);
  std::vector<uint8_t> info_block;  // kind 0 data, read in chunks
  std::vector<std::vector<uint8_t>> info_writes;  // chunks sent to the unit
  uint32_t commands = 0;

  platform::Win32Error Execute(const platform::ScsiCommand& c, platform::ScsiReply* reply) override {
    ++commands;
    *reply = {};
    const uint8_t fn = c.cdb[10];
    if (c.cdb[0] == 0xFC && fn == 0x51) {
      auto it = log_sections.find(c.cdb[2]);
      if (it == log_sections.end()) {
        testing::CheckCondition(reply, 5, 0x24, 0);
        return 0;
      }
      Fill(c, it->second);
    } else if (c.cdb[0] == 0xFC && fn == 0x90) {
      if (c.data_length == 8) {
        Fill(c, info_size);
      } else {
        const size_t from = size_t{c.cdb[2]} * 65536;
        std::vector<uint8_t> chunk;
        if (from < info_block.size())
          chunk.assign(info_block.begin() + from,
                       info_block.begin() + std::min(info_block.size(), from + 65536));
        Fill(c, chunk);
      }
    } else if (c.cdb[0] == 0xFB && fn == 0x90) {
      const uint8_t* p = static_cast<const uint8_t*>(c.data);
      info_writes.emplace_back(p, p + c.data_length);
    }
    return 0;
  }
  platform::Win32Error QueryDescriptor(platform::StorageDeviceDescriptor*) override { return 0; }
  platform::Win32Error GetDeviceNumber(uint32_t* n) override {
    *n = 0;
    return 0;
  }
  platform::Win32Error CheckVerify() override { return 0; }
  platform::Win32Error EjectMedia() override { return 0; }

 private:
  static void Fill(const platform::ScsiCommand& c, const std::vector<uint8_t>& bytes) {
    std::memset(c.data, 0, c.data_length);
    std::memcpy(c.data, bytes.data(), std::min<size_t>(bytes.size(), c.data_length));
  }
};

TEST(UnitFilePaths, AreKeyedBySerialAndMagazine) {
  const fs::path data = "/d";
  EXPECT_EQ(ConfigPath(data, u"KQX1"), fs::path("/d/KQX1/Config.bin"));
  EXPECT_EQ(ErrorHistoryPath(data, u"NO SERIAL"), fs::path("/d/NO SERIAL/Error.bin"));
  EXPECT_EQ(UtilErrorHistoryPath(data, u"KQX1"), fs::path("/d/KQX1/UtilError.bin"));
  EXPECT_EQ(DiscInfoPath(data, u"a0a1a2a3a4a5a6a7a8a9aaab", u"KQX1", 3, 1),
            fs::path("/d/magazine/a0a1a2a3a4a5a6a7a8a9aaab/KQX1-03-1.bin"));
  EXPECT_EQ(DiscInfoPath(data, u"id", u"S", 11, 0), fs::path("/d/magazine/id/S-11-0.bin"));
  platform::SystemTime t;
  t.wYear = 2026; t.wMonth = 3; t.wDay = 7; t.wHour = 9; t.wMinute = 5; t.wSecond = 1;
  EXPECT_EQ(LogDumpName(t), "LogGet_20260307090501.bin");
  // A serial can never lead out of the data folder.
  EXPECT_EQ(SerialFolderName(u"../x"), ".._x");
  EXPECT_EQ(SerialFolderName(u".."), "NO SERIAL");
  EXPECT_EQ(SerialFolderName(u"a\\b"), "a_b");
}

TEST(UnitConfigFile, GoldenBytesAndItsFirstEightBytes) {
  TempFolder temp;
  const fs::path path = temp.path() / "S" / "Config.bin";
  UnitConfig c{0x00, 2, 1, 5, 0, 0, 0, 0};
  SetConfigFileSplit(&c, -1);
  ASSERT_TRUE(WriteConfig(path, c));  // creates the folder chain
  std::string bytes;
  ASSERT_EQ(platform::ReadWholeFile(path, &bytes), 0u);
  EXPECT_EQ(bytes, std::string("\x00\x02\x01\x05\xFF\xFF\xFF\xFF", 8));
  UnitConfig back{};
  ASSERT_TRUE(ReadConfig(path, &back));
  EXPECT_EQ(back, c);
  EXPECT_EQ(ConfigFileSplit(back), -1);
  EXPECT_EQ(RecordVerificationMode(path), 0x00);

  for (size_t size : {0, 7}) {
    ASSERT_EQ(platform::WriteWholeFile(path, std::string(size, '\x01')), 0u);
    UnitConfig untouched{9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ReadConfig(path, &untouched)) << size;
    EXPECT_EQ(untouched[0], 9);
    EXPECT_EQ(RecordVerificationMode(path), kVerificationOff) << size;
  }
  // A longer file holds the 8 bytes all the same: they are read, the rest ignored.
  for (size_t size : {9, 64}) {
    ASSERT_EQ(platform::WriteWholeFile(path, std::string("\x10\x02\x01\x05\x00\x00\x00\x00", 8) +
                                                 std::string(size - 8, '\x7F')),
              0u);
    UnitConfig longer{};
    ASSERT_TRUE(ReadConfig(path, &longer)) << size;
    EXPECT_EQ(longer, (UnitConfig{0x10, 2, 1, 5, 0, 0, 0, 0}));
    EXPECT_EQ(RecordVerificationMode(path), 0x10) << size;
  }
  EXPECT_EQ(RecordVerificationMode(temp.path() / "missing"), kVerificationOff);
}

TEST(ErrorHistoryFile, EntryLayoutIsPinned) {
  ErrorHistory h;
  platform::SystemTime t;
  t.wYear = 2026; t.wMonth = 12; t.wDayOfWeek = 3; t.wDay = 9;
  t.wHour = 7; t.wMinute = 44; t.wSecond = 10; t.wMilliseconds = 999;
  for (int i = 0; i < 3; ++i) h.Add(t, u"[E2000]:Magazine eject failed.");
  EXPECT_EQ(h.count, 3u);
  EXPECT_EQ(h.newest, 2u);
  const std::string bytes = SerializeErrorHistory(h);
  ASSERT_EQ(bytes.size(), 53616u);
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  EXPECT_EQ(std::memcmp(p, "\x03\0\0\0\x02\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  // Entry 1 starts at 16 + 536: SYSTEMTIME then the text.
  const uint8_t* e = p + 16 + 536;
  const uint8_t time[16] = {0xEA, 0x07, 12, 0, 3, 0, 9, 0, 7, 0, 44, 0, 10, 0, 0xE7, 0x03};
  EXPECT_EQ(std::memcmp(e, time, 16), 0);
  EXPECT_EQ(e[16], '[');
  EXPECT_EQ(e[17], 0);
  EXPECT_EQ(e[16 + 2 * 30], 0);  // terminator after 30 characters
  // Entries 3-99 stay zero.
  for (size_t i = 16 + 3 * 536; i < bytes.size(); ++i) ASSERT_EQ(p[i], 0) << i;

  ErrorHistory back;
  ASSERT_TRUE(ParseErrorHistory(bytes, &back));
  EXPECT_EQ(back.entries[2].Text(), u"[E2000]:Magazine eject failed.");
  EXPECT_EQ(back.entries[2].time, t);
  EXPECT_EQ(SerializeErrorHistory(back), bytes);
}

TEST(ErrorHistoryFile, RingWrapsAndTextIsCut) {
  ErrorHistory h;
  EXPECT_EQ(h.newest, 100u);
  platform::SystemTime t;
  h.Add(t, u"first");
  EXPECT_EQ(h.newest, 0u);  // a fresh history writes entry 0 first
  for (int i = 1; i < 100; ++i) h.Add(t, u"x");
  EXPECT_EQ(h.newest, 99u);
  h.Add(t, u"101st");
  EXPECT_EQ(h.count, 100u);
  EXPECT_EQ(h.newest, 0u);
  EXPECT_EQ(h.entries[0].Text(), u"101st");
  h.Add(t, std::u16string(300, u'y'));
  EXPECT_EQ(h.entries[1].Text().size(), 259u);
}

TEST(ErrorHistoryFile, DamagedFilesAreTreatedAsMissing) {
  TempFolder temp;
  const fs::path path = temp.path() / "Error.bin";
  ErrorHistory good;
  good.Add({}, u"kept");
  ASSERT_TRUE(WriteErrorHistory(path, good));
  ErrorHistory read;
  ASSERT_TRUE(ReadErrorHistory(path, &read));
  EXPECT_EQ(read.entries[0].Text(), u"kept");

  std::string bytes = SerializeErrorHistory(good);
  auto patched = [&](size_t offset, uint32_t value) {
    std::string b = bytes;
    std::memcpy(b.data() + offset, &value, 4);
    return b;
  };
  ErrorHistory out;
  out.count = 7;
  EXPECT_FALSE(ParseErrorHistory(patched(0, 101), &out));
  EXPECT_FALSE(ParseErrorHistory(patched(4, 101), &out));
  EXPECT_FALSE(ParseErrorHistory(patched(0, 0xFFFFFFFF), &out));
  EXPECT_TRUE(ParseErrorHistory(patched(0, 100), &out));
  EXPECT_FALSE(ParseErrorHistory(bytes.substr(0, 53615), &out));
  EXPECT_FALSE(ParseErrorHistory(bytes + "x", &out));
  ASSERT_EQ(platform::WriteWholeFile(path, patched(4, 0x7FFFFFFF)), 0u);
  EXPECT_EQ(LoadErrorHistory(path, &out), platform::ERROR_INVALID_DATA);
  ASSERT_EQ(platform::WriteWholeFile(path, bytes.substr(0, 53615)), 0u);
  EXPECT_EQ(LoadErrorHistory(path, &out), platform::ERROR_INVALID_DATA);
  EXPECT_EQ(LoadErrorHistory(temp.path() / "missing" / "Error.bin", &out) == platform::ERROR_FILE_NOT_FOUND ||
                LoadErrorHistory(temp.path() / "missing" / "Error.bin", &out) == platform::ERROR_PATH_NOT_FOUND,
            true);
  // A longer file is a history all the same: its first 53616 bytes are read.
  ASSERT_EQ(platform::WriteWholeFile(path, bytes + std::string(100, 'x')), 0u);
  ErrorHistory longer;
  ASSERT_EQ(LoadErrorHistory(path, &longer), platform::ERROR_SUCCESS);
  EXPECT_EQ(longer.count, 1u);
  EXPECT_EQ(longer.entries[0].Text(), u"kept");
}

TEST(UnitLogDump, SectionsAreConcatenated) {
  TempFolder temp;
  ScriptedDevice device;
  // Section 0 of 514 bytes (header 00 00 01 FE) announcing two more sections.
  std::vector<uint8_t> s0(514, 0);
  s0[2] = 0x01;
  s0[3] = 0xFE;
  s0[8] = 3;
  s0[13] = 5;   // section 1: 5 bytes
  s0[17] = 3;   // section 2: 3 bytes
  device.log_sections[0] = s0;
  device.log_sections[1] = {1, 2, 3, 4, 5};
  device.log_sections[2] = {7, 8, 9};
  platform::SystemTime t;
  t.wYear = 2026; t.wMonth = 1; t.wDay = 2;
  const fs::path path = RetrieveUnitLog(&device, temp.path() / "Logs", t);
  EXPECT_EQ(path.filename(), "LogGet_20260102000000.bin");
  std::string bytes;
  ASSERT_EQ(platform::ReadWholeFile(path, &bytes), 0u);
  ASSERT_EQ(bytes.size(), 514u + 5 + 3);
  EXPECT_EQ(bytes.substr(514), std::string("\x01\x02\x03\x04\x05\x07\x08\x09", 8));

  // A count of 1 dumps section 0 alone.
  s0[8] = 1;
  device.log_sections[0] = s0;
  t.wSecond = 1;
  ASSERT_EQ(platform::ReadWholeFile(RetrieveUnitLog(&device, temp.path() / "Logs", t), &bytes), 0u);
  EXPECT_EQ(bytes.size(), 514u);
}

TEST(UnitLogDump, BadHeadersLeaveAnEmptyFile) {
  TempFolder temp;
  ScriptedDevice device;
  platform::SystemTime t;
  std::string bytes;
  // A length table that runs past section 0, a huge length and a failing read.
  std::vector<uint8_t> s0(12, 0);
  s0[3] = 8;  // 12 bytes
  s0[8] = 5;  // four lengths from byte 10 do not fit in 12 bytes
  device.log_sections[0] = s0;
  fs::path p = RetrieveUnitLog(&device, temp.path(), t);
  ASSERT_EQ(platform::ReadWholeFile(p, &bytes), 0u);
  EXPECT_TRUE(bytes.empty());

  device.log_sections[0] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  t.wSecond = 1;
  ASSERT_EQ(platform::ReadWholeFile(RetrieveUnitLog(&device, temp.path(), t), &bytes), 0u);
  EXPECT_TRUE(bytes.empty());

  device.log_sections.clear();
  t.wSecond = 2;
  ASSERT_EQ(platform::ReadWholeFile(RetrieveUnitLog(&device, temp.path(), t), &bytes), 0u);
  EXPECT_TRUE(bytes.empty());
}

TEST(UnitLogDump, PruningKeepsThirty) {
  TempFolder temp;
  const fs::path logs = temp.path() / "Logs";
  platform::CreateDirectoryChain(logs / "sub");  // folders are not counted
  for (int i = 0; i < 30; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "LogGet_202601010000%02d.bin", i);
    ASSERT_EQ(platform::WriteWholeFile(logs / name, "x"), 0u);
    platform::SetLastWriteTime(logs / name, 133000000000000000ULL + i * 10000000ULL);
  }
  EXPECT_FALSE(PruneUnitLogs(logs));
  ScriptedDevice device;  // no log: the dump is empty but still a file
  platform::SystemTime t;
  t.wYear = 2026; t.wMonth = 2; t.wDay = 1;
  RetrieveUnitLog(&device, logs, t);  // 31 files -> the oldest goes
  std::vector<platform::FindData> found;
  ASSERT_EQ(platform::FindFiles(logs, u"*.bin", &found), 0u);
  EXPECT_EQ(found.size(), 30u);
  EXPECT_FALSE(platform::FileExists(logs / "LogGet_20260101000000.bin"));
  EXPECT_TRUE(platform::FileExists(logs / "LogGet_20260101000001.bin"));
  EXPECT_TRUE(platform::DirectoryExists(logs / "sub"));
}

TEST(DiscInformationFile, SizeRecordOfAllOnesSavesNothing) {
  TempFolder temp;
  ScriptedDevice device;
  const fs::path path = temp.path() / "m" / "S-00-0.bin";
  EXPECT_EQ(SaveDiscInformation(&device, path, 0), -1);
  EXPECT_EQ(SaveDiscInformation(&device, path, 1), -1);
  EXPECT_FALSE(platform::FileExists(path));
}

TEST(DiscInformationFile, SavesHeaderPlusSizeAndRefusesOversizedRecords) {
  TempFolder temp;
  ScriptedDevice device;
  const fs::path path = temp.path() / "m" / "S-02-0.bin";
  // Kind 0: record in bytes 4-7; 2 chunks, size 0x10100 -> 0x10108 bytes.
  device.info_size = {0xFF, 0xFF, 0xFF, 0xFF, 2, 0x01, 0x01, 0x00};
  device.info_block.resize(0x20000);
  for (size_t i = 0; i < device.info_block.size(); ++i) device.info_block[i] = uint8_t(i * 13);
  ASSERT_EQ(SaveDiscInformation(&device, path, 0), 0);
  uint64_t size = 0;
  ASSERT_EQ(platform::GetFileSize(path, &size), 0u);
  EXPECT_EQ(size, 0x10108u);

  // Sent back in chunks of 64 KiB: 65536 then the rest.
  ASSERT_EQ(RestoreDiscInformation(&device, path, 0), 0);
  ASSERT_EQ(device.info_writes.size(), 2u);
  EXPECT_EQ(device.info_writes[0].size(), 65536u);
  EXPECT_EQ(device.info_writes[1].size(), 0x108u);
  EXPECT_EQ(device.info_writes[1][0], uint8_t(65536 * 13));

  // A size the announced chunks cannot hold is a failure and leaves no file.
  const fs::path other = temp.path() / "m" / "S-03-0.bin";
  device.info_size = {0xFF, 0xFF, 0xFF, 0xFF, 1, 0x01, 0x00, 0x00};
  EXPECT_EQ(SaveDiscInformation(&device, other, 0), -1);
  EXPECT_FALSE(platform::FileExists(other));
}

TEST(DiscInformationFile, RestoreRefusesMissingEmptyAndOversizedFiles) {
  TempFolder temp;
  ScriptedDevice device;
  EXPECT_EQ(RestoreDiscInformation(&device, temp.path() / "none.bin", 1),
            int(platform::ERROR_FILE_NOT_FOUND));
  const fs::path empty = temp.path() / "empty.bin";
  ASSERT_EQ(platform::WriteWholeFile(empty, ""), 0u);
  EXPECT_EQ(RestoreDiscInformation(&device, empty, 1), -1);
  const fs::path big = temp.path() / "big.bin";
  platform::File f;
  ASSERT_EQ(platform::File::Open(big, platform::kAccessReadWrite, platform::Disposition::kCreateAlways, &f), 0u);
  ASSERT_EQ(f.Truncate(uint64_t{kMaxDiscInfoFile} + 1), 0u);
  f.Close();
  const uint32_t before = device.commands;
  EXPECT_EQ(RestoreDiscInformation(&device, big, 0), -1);
  EXPECT_EQ(device.commands, before);  // nothing was sent to the unit
  EXPECT_TRUE(device.info_writes.empty());
  EXPECT_EQ(DeleteDiscInformation(big), 0u);
  EXPECT_EQ(DeleteDiscInformation(big), platform::ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kelva::unit

// Replays a small corpus through the fuzz harness so that it keeps building and
// its checks hold on the inputs that matter.
#include "fuzz/unit_files_harness.h"

namespace kelva::unit {
namespace {

TEST(UnitFilesFuzzCorpus, Replays) {
  std::vector<std::vector<uint8_t>> corpus = {
      {},
      {0x00, 0x00, 0x01, 0xFE, 0, 0, 0, 0, 3, 0, 0, 0, 0, 5, 0, 0, 0, 3},
      {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0, 0xFF, 0xFF, 0xFF, 0xFF},
      {101, 0, 0, 0, 100, 0, 0, 0},
      {100, 0, 0, 0, 99, 0, 0, 0},
  };
  std::vector<uint8_t> big(kHistoryFileSize + 7, 0x41);
  corpus.push_back(big);
  uint32_t seed = 12345;
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> input(seed % 700);
    for (auto& b : input) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    input.resize(std::max<size_t>(input.size(), 9));
    input[8] = static_cast<uint8_t>(i);
    corpus.push_back(input);
  }
  for (const auto& input : corpus) fuzzing::FuzzUnitFiles(input.data(), input.size());
  std::vector<uint32_t> lengths;
  EXPECT_TRUE(UnitLogSectionLengths(corpus[1].data(), corpus[1].size(), &lengths));
  EXPECT_EQ(lengths, (std::vector<uint32_t>{5, 3}));
  EXPECT_FALSE(UnitLogSectionLengths(corpus[2].data(), corpus[2].size(), &lengths));
}

}  // namespace
}  // namespace kelva::unit
