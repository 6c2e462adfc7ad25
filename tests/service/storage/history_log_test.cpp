#include "service/storage/history_log.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/mailslot.h"
#include "service/storage/history_records.h"
#include "tests/service/storage/fake_fs_volume.h"

namespace kelva::storage::testing {
namespace {

using platform::FileTime;

// 2024-03-05 06:07:08.090 UTC and 2023-12-31 23:59:59.999 UTC, worked out from
// the calendar by a separate script.
constexpr FileTime kMarch = 133540924280900000ULL;
constexpr FileTime kNewYearsEve = 133485407999990000ULL;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(HistoryRecordsTest, RecordsHaveTheirExactLayouts) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* golden;
  };
  const Case cases[] = {
      {"deleted", MakeDeletedRecord(kMarch), "0B 00 44 E8 07 03 05 06 07 08 09"},
      {"updated", MakeUpdatedRecord(kMarch, 2, 0x40000123, 0, 0),
       "18 00 55 E8 07 03 05 06 07 08 09 02 23 01 00 40 00 00 00 00 00 00 00 00"},
      {"created", MakeCreatedRecord(kNewYearsEve, 1, 0x40000005, 7, 0x01020304, u"\\a"),
       "1E 00 4E E7 07 0C 1F 17 3B 3B 63 01 05 00 00 40 07 00 00 00 04 03 02 01 04 00 5C 00 61 00"},
      {"renamed", MakeRenamedRecord(kMarch, u"xy"), "11 00 52 E8 07 03 05 06 07 08 09 04 00 78 00 79 00"},
      {"moved", MakeMovedRecord(kMarch, u"\\b\\c"),
       "15 00 4D E8 07 03 05 06 07 08 09 08 00 5C 00 62 00 5C 00 63 00"},
      {"time that cannot be converted", MakeDeletedRecord(0xFFFFFFFFFFFFFFFFULL), "0B 00 44 00 00 00 00 00 00 00 00"},
      {"first link", [] {
         std::string s(5, '\0');
         EncodeHistoryLink(HistoryLink{}, reinterpret_cast<uint8_t*>(s.data()));
         return s;
       }(),
       "FF FF FF FF FF"},
      {"link", [] {
         std::string s(5, '\0');
         EncodeHistoryLink(HistoryLink{3, 0x12345678}, reinterpret_cast<uint8_t*>(s.data()));
         return s;
       }(),
       "03 78 56 34 12"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(c.bytes), c.golden) << c.what;
  // A text too long for the 16-bit record length gives nothing to append.
  EXPECT_TRUE(MakeRenamedRecord(kMarch, std::u16string(40000, u'x')).empty());
}

TEST(HistoryRecordsTest, ParserReadsRecordsBackAndRejectsBadLengths) {
  const std::string good = MakeCreatedRecord(kMarch, 1, 0x40000005, 0, 0, u"\\dir") + MakeUpdatedRecord(kMarch, 1, 2, 3, 4) +
                           MakeRenamedRecord(kMarch, u"new") + MakeMovedRecord(kMarch, u"\\x\\new") +
                           MakeDeletedRecord(kMarch);
  std::vector<HistoryRecord> seen;
  ASSERT_EQ(ParseHistoryRecords(good, [&](const HistoryRecord& r) {
              seen.push_back(r);
              return true;
            }),
            0u);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(std::string(1, static_cast<char>(seen[0].type)) + char(seen[1].type) + char(seen[2].type) + char(seen[3].type) +
                char(seen[4].type),
            "NURMD");
  EXPECT_EQ(seen[0].text, u"\\dir");
  EXPECT_EQ(seen[0].file, 0x40000005u);
  EXPECT_EQ(seen[1].value2, 4u);
  EXPECT_EQ(seen[3].text, u"\\x\\new");
  EXPECT_EQ(seen[4].year, 2024);
  EXPECT_EQ(seen[4].hundredths, 9);

  struct Bad {
    const char* what;
    std::string bytes;
  };
  const Bad bad[] = {
      {"shorter than a head", Unhex("0B 00 44 E8 07")},
      {"length below the head", Unhex("05 00 44 E8 07 03 05 06 07 08 09")},
      {"length past the end", Unhex("0C 00 44 E8 07 03 05 06 07 08 09")},
      {"deleted with a payload", Unhex("0C 00 44 E8 07 03 05 06 07 08 09 00")},
      {"updated too short", Unhex("17 00 55 E8 07 03 05 06 07 08 09 02 23 01 00 40 00 00 00 00 00 00 00")},
      {"name length disagrees", Unhex("11 00 52 E8 07 03 05 06 07 08 09 06 00 78 00 79 00")},
      {"odd name length", Unhex("10 00 52 E8 07 03 05 06 07 08 09 03 00 78 00 79")},
      {"unknown type", Unhex("0B 00 58 E8 07 03 05 06 07 08 09")},
  };
  for (const Bad& b : bad) {
    int delivered = 0;
    EXPECT_EQ(ParseHistoryRecords(good + b.bytes,
                                  [&](const HistoryRecord&) {
                                    ++delivered;
                                    return true;
                                  }),
              platform::ERROR_INVALID_DATA)
        << b.what;
    EXPECT_EQ(delivered, 5) << b.what;
  }
}

TEST(HistoryRecordsTest, ChainIsCollectedOldestFirstAndDamageIsRefused) {
  auto segment = [](HistoryLink link, const std::string& records) {
    std::string s(5, '\0');
    EncodeHistoryLink(link, reinterpret_cast<uint8_t*>(s.data()));
    return s + records;
  };
  std::map<std::pair<uint8_t, uint32_t>, std::string> disc = {
      {{0, 10}, segment(HistoryLink{}, "first")},
      {{1, 20}, segment(HistoryLink{0, 10}, "second")},
      {{1, 30}, segment(HistoryLink{1, 30}, "loops")},
      {{1, 40}, std::string(3, '\0')},
      {{1, 50}, segment(HistoryLink{}, std::string(kHistorySegmentLimit, 'x'))},
  };
  auto read = [&](uint8_t d, uint32_t f, std::string* out) -> Win32Error {
    auto it = disc.find({d, f});
    if (it == disc.end()) return platform::ERROR_FILE_NOT_FOUND;
    *out = it->second;
    return 0;
  };
  std::vector<std::string> segments;
  ASSERT_EQ(CollectHistoryChain(segment(HistoryLink{1, 20}, "third"), read, 100, &segments), 0u);
  EXPECT_EQ(segments, (std::vector<std::string>{"first", "second", "third"}));

  struct Bad {
    const char* what;
    std::string newest;
    size_t max;
    Win32Error error;
  };
  const Bad bad[] = {
      {"newest shorter than its link", "abc", 100, platform::ERROR_INVALID_DATA},
      {"a link that loops", segment(HistoryLink{1, 30}, ""), 100, platform::ERROR_INVALID_DATA},
      {"an older segment shorter than its link", segment(HistoryLink{1, 40}, ""), 100, platform::ERROR_INVALID_DATA},
      {"an older segment over 64 KiB", segment(HistoryLink{1, 50}, ""), 100, platform::ERROR_INVALID_DATA},
      {"a chain longer than allowed", segment(HistoryLink{1, 20}, ""), 2, platform::ERROR_INVALID_DATA},
      {"a missing segment", segment(HistoryLink{9, 9}, ""), 100, platform::ERROR_FILE_NOT_FOUND},
  };
  for (const Bad& b : bad) EXPECT_EQ(CollectHistoryChain(b.newest, read, b.max, &segments), b.error) << b.what;
}

class HistoryLogTest : public VolumeTest {
 protected:
  // Appends "R" records until the segment holds more than bytes; returns the
  // records appended, in order.
  std::string Grow(CHistoryLog& log, size_t bytes) {
    std::string all;
    for (int i = 0; log.size() <= bytes; ++i) {
      const std::u16string name = u"name-" + platform::Utf8ToUtf16(std::to_string(i)) + std::u16string(40, u'n');
      EXPECT_EQ(log.AppendRenamed(kMarch, name), 0u);
      all += MakeRenamedRecord(kMarch, name);
    }
    return all;
  }
};

TEST_F(HistoryLogTest, LogPast64KiBIsSplitAndExportedOldestFirst) {
  CHistoryLog log(volume_.get());
  ASSERT_EQ(log.Start(), 0u);
  std::string records = MakeDeletedRecord(kMarch);
  ASSERT_EQ(log.AppendDeleted(kMarch), 0u);
  records += Grow(log, kHistorySegmentLimit + 3000);
  const uint64_t grown = log.size();

  uint8_t disc = 0;
  uint32_t file = 0;
  ASSERT_EQ(log.Seal(&disc, &file), 0u);
  // The head went onto the disc as 65536 bytes; the rest continues in a new
  // segment, linked to the head and sealed as well.
  EXPECT_EQ(volume_->disc().head_recordings, 1);
  EXPECT_EQ(log.size(), grown - kHistorySegmentLimit + kHistoryLinkSize);
  ASSERT_EQ(volume_->disc().files.size(), 2u);
  std::string head, tail;
  for (auto& [key, bytes] : volume_->disc().files) (bytes.size() == kHistorySegmentLimit ? head : tail) = bytes;
  ASSERT_EQ(head.size(), kHistorySegmentLimit);
  EXPECT_EQ(head.substr(0, 5), std::string(5, '\xFF'));
  const HistoryLink link = DecodeHistoryLink(reinterpret_cast<const uint8_t*>(tail.data()));
  EXPECT_EQ(volume_->disc().files.count({CK_LOG, link.disc, link.file}), 1u);
  EXPECT_TRUE(volume_->disc().files[FakeDisc::Key(CK_LOG, link.disc, link.file)] == head);
  EXPECT_EQ(std::make_tuple(CK_LOG, disc, file), std::make_tuple(CK_LOG, log.disc(), log.file()));
  // The head's cache copy is gone: only the current segment stays pinned.
  EXPECT_FALSE(volume_->Pinned(CK_LOG, link.disc, link.file));

  // The export fetches the head back from the disc and writes both, without links.
  const fs::path out = data_ / "history.bin";
  ASSERT_EQ(log.Export(platform::Utf8ToUtf16(out.string()), nullptr), 0u);
  std::string exported;
  ASSERT_EQ(platform::ReadWholeFile(out, &exported), 0u);
  EXPECT_EQ(exported.size(), records.size());
  EXPECT_TRUE(exported == records);
  EXPECT_EQ(volume_->fetches, 1);
}

TEST_F(HistoryLogTest, MailslotExportSendsTheReplyHeaderThenOneMessagePerSegment) {
  CHistoryLog log(volume_.get());
  ASSERT_EQ(log.Start(), 0u);
  const std::string records = Grow(log, kHistorySegmentLimit + 100);
  uint8_t disc = 0;
  uint32_t file = 0;
  ASSERT_EQ(log.Seal(&disc, &file), 0u);
  ASSERT_EQ(log.AppendDeleted(kMarch), 0u);  // after the seal: appended to the newest segment

  const fs::path run = data_ / "run";
  fs::create_directories(run);
  std::unique_ptr<platform::MailslotServer> server;
  ASSERT_EQ(platform::MailslotServer::Create("history-test", false, volume_->clock, &server, run), 0u);
  std::vector<std::pair<uint8_t, uint32_t>> headers;
  auto reply = [&](uint8_t count, uint32_t total) -> Win32Error {
    uint32_t size = 0;
    server->NextMessageSize(&size);
    EXPECT_EQ(size, platform::kMailslotNoMessage) << "the header goes before any segment";
    headers.emplace_back(count, total);
    return 0;
  };
  ASSERT_EQ(log.Export(u"\\\\.\\mailslot\\history-test", reply, run), 0u);
  const std::string all = records + MakeDeletedRecord(kMarch);
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0], std::make_pair(uint8_t{2}, static_cast<uint32_t>(all.size())));
  std::string joined;
  for (uint8_t seq = 0; seq < 2; ++seq) {
    std::string message(70000, '\0');
    uint32_t done = 0;
    ASSERT_EQ(server->Read(message.data(), static_cast<uint32_t>(message.size()), &done, 0), 0u);
    message.resize(done);
    ASSERT_GE(done, 5u);
    EXPECT_EQ(static_cast<uint8_t>(message[0]), 0xDF);
    EXPECT_EQ(message[1], 0);
    EXPECT_EQ(static_cast<uint8_t>(message[2]), seq);
    const size_t length = static_cast<uint8_t>(message[3]) | (static_cast<uint8_t>(message[4]) << 8);
    EXPECT_EQ(length, done - 5);
    joined += message.substr(5);
  }
  EXPECT_TRUE(joined == all);
}

TEST_F(HistoryLogTest, RecordsFromManyThreadsNeverInterleave) {
  CHistoryLog log(volume_.get());
  ASSERT_EQ(log.Start(), 0u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      const std::u16string name(static_cast<size_t>(5 + t * 7), static_cast<char16_t>(u'a' + t));
      for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(log.AppendRenamed(kMarch, name), 0u);
        if (i % 50 == 0) {
          uint8_t d = 0;
          uint32_t f = 0;
          EXPECT_EQ(log.Seal(&d, &f), 0u);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  const fs::path out = data_ / "all.bin";
  ASSERT_EQ(log.Export(platform::Utf8ToUtf16(out.string()), nullptr), 0u);
  std::string bytes;
  ASSERT_EQ(platform::ReadWholeFile(out, &bytes), 0u);
  std::map<char16_t, int> per_thread;
  ASSERT_EQ(ParseHistoryRecords(bytes,
                                [&](const HistoryRecord& r) {
                                  EXPECT_EQ(r.text.size(), static_cast<size_t>(5 + (r.text[0] - u'a') * 7));
                                  ++per_thread[r.text[0]];
                                  return true;
                                }),
            0u);
  EXPECT_EQ(per_thread, (std::map<char16_t, int>{{u'a', 200}, {u'b', 200}, {u'c', 200}, {u'd', 200}}));
}

TEST_F(HistoryLogTest, SealMovesToTheNextDiscWhenOneIsFullAndStopsAtTheLast) {
  struct Case {
    const char* what;
    uint8_t current, highest;
    Win32Error result;
    uint8_t disc_after;
  };
  const Case cases[] = {
      {"next disc takes it", 3, 11, 0, 4},
      {"no disc after the last", 11, 11, platform::ERROR_DISK_FULL, 11},
  };
  for (const Case& c : cases) {
    volume_->disc().current = c.current;
    volume_->disc().highest = c.highest;
    volume_->disc().full = {c.current};
    CHistoryLog log(volume_.get());
    ASSERT_EQ(log.Start(), 0u);
    ASSERT_EQ(log.AppendDeleted(kMarch), 0u);
    uint8_t disc = 0;
    uint32_t file = 0;
    EXPECT_EQ(log.Seal(&disc, &file), c.result) << c.what;
    EXPECT_EQ(volume_->disc().current, c.disc_after) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(disc, c.disc_after) << c.what;
    }
  }
}

TEST_F(HistoryLogTest, OpenRefusesSegmentsShorterThanTheirLinkAndAppendsAtTheEnd) {
  CHistoryLog log(volume_.get());
  ASSERT_EQ(log.Start(), 0u);
  ASSERT_EQ(log.AppendDeleted(kMarch), 0u);
  uint8_t disc = 0;
  uint32_t file = 0;
  ASSERT_EQ(log.Seal(&disc, &file), 0u);
  log.Close();

  CHistoryLog reopened(volume_.get());
  ASSERT_EQ(reopened.Open(disc, file), 0u);
  EXPECT_EQ(reopened.size(), kHistoryLinkSize + kHistoryHeadSize);
  ASSERT_EQ(reopened.AppendDeleted(kMarch), 0u);
  uint8_t disc2 = 0;
  uint32_t file2 = 0;
  ASSERT_EQ(reopened.Seal(&disc2, &file2), 0u);
  // A sealed segment is never rewritten: the second recording got a new number.
  EXPECT_NE(file2, file);
  EXPECT_EQ(volume_->disc().files[FakeDisc::Key(CK_LOG, disc2, file2)].size(), kHistoryLinkSize + 2 * kHistoryHeadSize);
  reopened.Close();

  volume_->disc().files[{CK_LOG, 0, 999}] = "abc";
  CHistoryLog damaged(volume_.get());
  EXPECT_EQ(damaged.Open(0, 999), platform::ERROR_INVALID_DATA);
  EXPECT_FALSE(damaged.IsOpen());
  EXPECT_FALSE(volume_->Pinned(CK_LOG, 0, 999));
}

}  // namespace
}  // namespace kelva::storage::testing
