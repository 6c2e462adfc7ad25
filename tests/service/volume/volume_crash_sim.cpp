// Crash safety of the volume: a child process mounts the simulated magazine
// and writes files through the volume while its writer records them, the
// snapshot is archived and the volume is closed and reopened now and then; the
// parent kills the child with SIGKILL at a random moment and mounts the same
// magazine and cache again. Every file the child had reported complete must be
// there with its content, and every disc must pass the disc tool's check.
//
// A file counts as complete once it was written and closed; after every
// third file the child waits until the volume is idle (recorded, catalogs
// written, archive run done), so that kills meet both closed files not yet
// recorded and the writer at work. The
// check reads every file through the volume, as the mount does. The journal
// is compacted (with the cache maps written) every few files, so kills meet
// that as well. The suite runs a few kills; KELVA_CRASH_KILLS names another
// number (bench/volume_crash.sh runs 100).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "tests/eventually.h"
#include "tests/service/storage/disc_engine_fixture.h"
#include "tests/service/volume/volume_session.h"
#include "tools/disctool/disctool.h"

namespace kelva::volume {
namespace {

namespace fs = std::filesystem;
using testing::Content;
using testing::VolumeSession;

// Phases the child announces before it enters them.
enum Phase : uint8_t {
  kPhaseOpen = 'O',      // mounting (catalog search, resume)
  kPhaseCache = 'W',     // writing a file into the cache
  kPhaseRecord = 'R',    // the writer records, saves catalogs, runs the archive
  kPhaseClose = 'X',     // flush and close, the live resume file
  kPhaseComplete = 'C',  // followed by the file's index (u32) and whether it is in the folder (u8)
  kPendingLeft = 'P',    // not a phase: bytes still counted pending once idle (i64)
};

// Small discs, so that the writer changes discs during the run: 80 MiB, 16 MiB
// above the reserve (100 kills fill about seven of the twelve).
constexpr uint64_t kDiscSectors = 40960;
constexpr uint64_t kCompactBytes = 1024;

std::u16string FileName(uint32_t index) {
  const std::string s = "file" + std::to_string(index);
  return std::u16string(s.begin(), s.end());
}

std::u16string FolderName(int round) {
  const std::string s = "round" + std::to_string(round);
  return std::u16string(s.begin(), s.end());
}

size_t FileSize(uint32_t index) {
  std::mt19937 rng(index);
  // Mostly small files, some of a megabyte and more that move the writer to the next disc.
  return rng() % 4 == 0 ? 500000 + rng() % 1000000 : 1000 + rng() % 60000;
}

struct Completed {
  uint32_t index;
  bool in_folder;
  int round;
};

class VolumeCrashTest : public storage::testing::DiscEngineTest {
 protected:
  fs::path Data() { return temp_ / "data"; }
  int kills_ = 8;
  int pending_left_ = 0;           // times a child was idle with bytes counted pending
  int64_t pending_left_most_ = 0;  // the largest such figure

  storage::testing::EngineSetup Setup(bool create) {
    storage::testing::EngineSetup s;
    s.disc_sectors = kDiscSectors;
    s.create_magazine = create;
    s.start_engine = false;
    return s;
  }

  void Say(int fd, uint8_t phase) {
    if (write(fd, &phase, 1) != 1) _exit(20);
  }

  // The child: never returns.
  [[noreturn]] void Child(int round, int fd) {
    Start(Setup(false));
    if (controller_ == nullptr) _exit(10);
    clock_.SetScale(50);
    Say(fd, kPhaseOpen);
    auto s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data());
    if (!s->Open()) _exit(11);
    // The journal is compacted on almost every pass, so that kills meet that too.
    s->volume->set_journal_compact_bytes(kCompactBytes);
    // Files are made the way the mount makes them: by path, through the
    // volume's create, write and close.
    const std::u16string folder = u"\\" + FolderName(round);
    if (!s->MakeFolderPath(folder)) _exit(12);
    bool use_folder = true;
    for (uint32_t j = 0;; ++j) {
      const uint32_t index = static_cast<uint32_t>(round) * 1000 + j;
      const bool in_folder = use_folder && j % 2 == 1;
      Say(fd, kPhaseCache);
      if (!s->WritePath((in_folder ? folder : u"") + u"\\" + FileName(index), Content(index, FileSize(index)))) {
        _exit(13);
      }
      uint8_t record[6] = {kPhaseComplete};
      std::memcpy(record + 1, &index, 4);
      record[5] = in_folder ? 1 : 0;
      if (write(fd, record, sizeof record) != sizeof record) _exit(20);
      // Files come in threes before the volume is let go idle, so that kills
      // also meet several closed files that are not recorded yet.
      if (j % 3 == 2) {
        Say(fd, kPhaseRecord);
        // Recorded, catalogs written, archived, the disc closed.
        if (!test::Eventually([&] { return !s->volume->busy(); }, 120000)) _exit(14);
        // A pending-bytes figure left at idle is a miscount; it only steers the
        // room kept on the discs, so it is counted rather than fatal.
        if (const int64_t left = s->volume->pending_bytes(); left != 0) {
          uint8_t note[9] = {kPendingLeft};
          std::memcpy(note + 1, &left, 8);
          if (write(fd, note, sizeof note) != sizeof note) _exit(20);
        }
        if (s->volume->read_only() != 0 || s->volume->FilesToWrite() != 0) {
          std::fprintf(stderr, "child idle with read-only %d, %lld bytes pending, %u files to write\n",
                       static_cast<int>(s->volume->read_only()), static_cast<long long>(s->volume->pending_bytes()),
                       s->volume->FilesToWrite());
          _exit(16);
        }
      }
      if (j % 5 == 4) {
        Say(fd, kPhaseClose);
        s->Close();
        Say(fd, kPhaseOpen);
        s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data());
        if (!s->Open()) _exit(15);
        s->volume->set_journal_compact_bytes(kCompactBytes);
        use_folder = false;  // later files of the round go to the root
      }
    }
  }

  // Reads what the child said so far; false once the pipe is closed.
  bool Drain(int fd, int round, uint8_t* phase, std::vector<Completed>* done, std::string* pending) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    pending->append(buf, static_cast<size_t>(n));
    size_t at = 0;
    while (at < pending->size()) {
      const uint8_t tag = static_cast<uint8_t>((*pending)[at]);
      if (tag == kPhaseComplete) {
        if (pending->size() - at < 6) break;
        uint32_t index = 0;
        std::memcpy(&index, pending->data() + at + 1, 4);
        done->push_back({index, (*pending)[at + 5] != 0, round});
        at += 6;
      } else if (tag == kPendingLeft) {
        if (pending->size() - at < 9) break;
        int64_t left = 0;
        std::memcpy(&left, pending->data() + at + 1, 8);
        ++pending_left_;
        pending_left_most_ = std::max(pending_left_most_, left);
        at += 9;
      } else {
        *phase = tag;
        at += 1;
      }
    }
    pending->erase(0, at);
    return true;
  }
};

TEST_F(VolumeCrashTest, KilledVolumeLosesNoCompletedFile) {
  if (const char* env = std::getenv("KELVA_CRASH_KILLS")) kills_ = std::max(1, std::atoi(env));
  const int kills = kills_;
  // A fresh magazine with a volume on it.
  Start(Setup(true));
  StopUnit();

  std::mt19937 rng(20240506);
  std::vector<Completed> completed;
  std::map<char, int> kills_in_phase;
  int files_checked = 0, losses = 0, check_failures = 0, read_only_mounts = 0;
  uint8_t highest_disc = 0;
  for (int round = 0; round < kills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      Child(round, fds[1]);
    }
    close(fds[1]);
    // Let it complete a random number of files, then kill it a random moment later.
    const int want = static_cast<int>(rng() % 6);
    const int extra_ms = static_cast<int>(rng() % 400);
    uint8_t phase = kPhaseOpen;
    std::string pending;
    size_t before = completed.size();
    bool alive = true;
    while (alive && static_cast<int>(completed.size() - before) < want) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0) break;
      alive = Drain(fds[0], round, &phase, &completed, &pending);
    }
    for (int waited = 0; alive && waited < extra_ms; waited += 5) {
      pollfd p{fds[0], POLLIN, 0};
      if (poll(&p, 1, 5) > 0) alive = Drain(fds[0], round, &phase, &completed, &pending);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    while (Drain(fds[0], round, &phase, &completed, &pending)) {
    }
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself with " << WEXITSTATUS(status);
    ++kills_in_phase[static_cast<char>(phase)];

    // A fresh mount of the same magazine and cache.
    Start(Setup(false));
    ASSERT_NE(controller_, nullptr);
    clock_.SetScale(50);
    {
      VolumeSession s(controller_.get(), clock_, Data());
      // Without the writer: the reads below do not wait for its disc exchanges
      // (the scaled clock makes the engine's time limits short); the close
      // records what the mount brought back.
      ASSERT_TRUE(s.Open(1, false)) << "the magazine does not mount after the kill";
      highest_disc = std::max(highest_disc, s.location().disc);
      for (const Completed& c : completed) {
        std::vector<uint8_t> got;
        ++files_checked;
        const std::u16string path =
            (c.in_folder ? u"\\" + FolderName(c.round) : std::u16string()) + u"\\" + FileName(c.index);
        const bool read = s.ReadPath(path, &got);
        if (!read || got != Content(c.index, FileSize(c.index))) {
          ++losses;
          ADD_FAILURE() << "file " << c.index << " of round " << c.round << " lost after a kill in phase "
                        << static_cast<char>(phase) << (read ? ": other content, " : ": unreadable, ")
                        << got.size() << " of " << FileSize(c.index) << " bytes";
        }
      }
      s.Close();
    }
    // A disc interrupted while it was being written mounts read-only until its
    // integrity is closed again, as the user does through the drive's properties.
    if (controller_->IsVolumeReadOnly() == 1) {
      ++read_only_mounts;
      ASSERT_EQ(controller_->ClearVolumeReadOnly(), 1);
    }
    StopUnit();
    // Every disc written so far is consistent.
    for (int slot = 0; slot <= highest_disc; ++slot) {
      char image[32];
      std::snprintf(image, sizeof image, "disc%02d.img", slot);
      std::error_code ec;
      if (fs::file_size(temp_ / "magazine" / image, ec) == 0 || ec) continue;
      FILE* out = std::tmpfile();
      const int rc = disctool::Run({"check", "--magazine", (temp_ / "magazine").string(), "--slot",
                                    std::to_string(slot)},
                                   out, out);
      if (rc != 0) {
        ++check_failures;
        std::rewind(out);
        char line[512];
        std::string text;
        while (std::fgets(line, sizeof line, out) != nullptr) text += line;
        ADD_FAILURE() << "disc " << slot << " fails the check after round " << round << ":\n" << text;
      }
      std::fclose(out);
    }
  }
  std::string phases;
  for (auto& [p, n] : kills_in_phase) phases += std::string(" ") + p + "=" + std::to_string(n);
  std::printf("crash test: %d kills (phases%s), %d file checks of %zu completed files, %d lost, "
              "%d disc check failures, %d read-only mounts after a kill, discs used 0..%d, "
              "idle with bytes counted pending %d times (at most %lld)\n",
              kills, phases.c_str(), files_checked, completed.size(), losses, check_failures, read_only_mounts,
              highest_disc, pending_left_, static_cast<long long>(pending_left_most_));
  EXPECT_EQ(losses, 0);
  EXPECT_EQ(check_failures, 0);
}

// Kills at chosen moments after a disc change: the child writes files that carry
// the writer onto the second disc and waits until the volume is idle; it is
// killed then, or once it has closed and mounted the volume again, or a given
// time after it started that second mount (its live resume file already read).
// Every file must be found by the next mount.
TEST_F(VolumeCrashTest, FilesCarriedToTheNextDiscSurviveAKillOnceIdle) {
  struct Case {
    const char* name;
    bool reopen;
    int kill_after_ms;  // after the child said it reopens; -1: once it is idle; -2: once closed
  } const cases[] = {{"idle", false, -1}, {"closed", true, -2}, {"reopened", true, -1}, {"reopening 0", true, 0},
                     {"reopening 30", true, 30}, {"reopening 100", true, 100}, {"reopening 300", true, 300}};
  constexpr uint32_t kFiles = 5;
  // The third file runs over the 16 MiB above the reserve: its first
  // megabytes stay on disc 0, the rest goes onto disc 1.
  constexpr size_t kSize = 6000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove_all(temp_ / "magazine", ec);
    fs::remove_all(Data(), ec);
    Start(Setup(true));
    StopUnit();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      Start(Setup(false));
      if (controller_ == nullptr) _exit(10);
      clock_.SetScale(50);
      auto s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data());
      if (!s->Open()) _exit(11);
      DirRef* folder = s->MakeDirectory(u"big");
      if (folder == nullptr) _exit(12);
      for (uint32_t i = 0; i < kFiles; ++i) {
        if (!s->WriteFile(i % 2 == 1 ? folder : nullptr, FileName(i), Content(i, kSize))) _exit(13);
        if (!test::Eventually(
                [&] { return !s->volume->busy() && s->volume->pending_bytes() == 0 && s->volume->FilesToWrite() == 0; },
                120000)) {
          _exit(14);
        }
      }
      if (s->discs->CurrentDisc() < 1) _exit(17);
      if (c.reopen) {
        s->Close();
        if (c.kill_after_ms == -2) {
          // Killed with the live resume file just written.
          Say(fds[1], kPhaseComplete);
          for (;;) pause();
        }
        if (c.kill_after_ms >= 0) Say(fds[1], kPhaseOpen);
        s = std::make_unique<VolumeSession>(controller_.get(), clock_, Data());
        if (!s->Open()) _exit(15);
        s->volume->set_journal_compact_bytes(kCompactBytes);
        if (!test::Eventually([&] { return !s->volume->busy(); }, 120000)) _exit(14);
      }
      Say(fds[1], kPhaseComplete);
      for (;;) pause();
    }
    close(fds[1]);
    uint8_t said = 0;
    const bool ready = read(fds[0], &said, 1) == 1;
    if (c.kill_after_ms > 0) usleep(static_cast<useconds_t>(c.kill_after_ms) * 1000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[0]);
    ASSERT_TRUE(ready) << "the child ended with " << WEXITSTATUS(status);

    Start(Setup(false));
    ASSERT_NE(controller_, nullptr);
    clock_.SetScale(50);
    {
      VolumeSession s(controller_.get(), clock_, Data());
      ASSERT_TRUE(s.Open());
      for (uint32_t i = 0; i < kFiles; ++i) {
        std::vector<uint8_t> got;
        EXPECT_TRUE(s.ReadFile(i % 2 == 1 ? u"big" : u"", FileName(i), &got) && got == Content(i, kSize))
            << "file " << i;
      }
      s.Close();
    }
    {
      // Another computer, whose cache holds nothing, reads them all from the
      // discs; the drive holds the first disc, before the one with the newest
      // catalog, as after reads of older files.
      ASSERT_EQ(controller_->LoadDisc(0), 0u);
      VolumeSession other(controller_.get(), clock_, temp_ / "other", 0x44);
      ASSERT_TRUE(other.Open());
      for (uint32_t i = 0; i < kFiles; ++i) {
        std::vector<uint8_t> got;
        EXPECT_TRUE(other.ReadFile(i % 2 == 1 ? u"big" : u"", FileName(i), &got) && got == Content(i, kSize))
            << "file " << i << " read on another computer";
      }
      other.Close();
      fs::remove_all(temp_ / "other", ec);
    }
    StopUnit();
  }
}

}  // namespace
}  // namespace kelva::volume
