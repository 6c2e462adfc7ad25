// The mounted magazine as users meet it: ordinary tools (cp, rsync, tar,
// find, sha256sum, setfattr) and system calls through the real FUSE mount of
// the volume worker on the simulated unit, across dismounts and remounts, a
// pulled magazine and an unplugged unit.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

#include "tests/service/volume/volume_worker_fixture.h"

namespace kelva::volume {
namespace {

using namespace kelva::volume::testing;

std::string Bytes(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

void Put(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

std::string Get(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file below root (relative path -> its size and a digest of its
// content) and every folder ("/" suffix).
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    if (e.is_directory()) {
      out[rel + "/"] = "";
    } else {
      const std::string data = Get(e.path());
      out[rel] = std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>{}(data));
    }
  }
  return out;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* tool) { return Shell(std::string("command -v ") + tool + " >/dev/null 2>&1") == 0; }

class MountedMagazineTest : public VolumeWorkerTest {
 protected:
  void SetUp() override {
    VolumeWorkerTest::SetUp();
    if (IsSkipped()) return;
    MountWorker();
    mnt_ = worker_->MountPoint();
  }
  // Ejects the magazine (the volume written back and unmounted) and puts it
  // back (mount): what the volume shows afterwards comes from its cache and
  // discs, not from memory.
  void Remount() {
    worker_->UnmountAndEject();
    ASSERT_FALSE(worker_->HasVolume());
    ASSERT_FALSE(sim_->HasMagazine());
    ASSERT_EQ(sim_->InsertMagazine(temp_ / "magazine"), 0u);
    worker_->Mount(nullptr);
    ASSERT_TRUE(worker_->HasVolume());
  }
  // A source tree of files of awkward sizes in folders three deep.
  fs::path MakeSource() {
    const fs::path src = temp_ / "src";
    const size_t sizes[] = {0, 1, 511, 4096, 65537, 300000, 1500000};
    for (size_t i = 0; i < std::size(sizes); ++i) {
      Put(src / ("f" + std::to_string(i) + ".bin"), Bytes(sizes[i], static_cast<uint32_t>(i)));
      Put(src / "a" / "b" / ("g" + std::to_string(i) + ".txt"), Bytes(sizes[i] / 3, static_cast<uint32_t>(i + 50)));
    }
    fs::create_directories(src / "empty" / "deeper");
    return src;
  }

  fs::path mnt_;
};

TEST_F(MountedMagazineTest, TreesCopiedInReadBackByteForByteAlsoAfterARemount) {
  const fs::path src = MakeSource();
  const auto want = Tree(src);
  ASSERT_EQ(Shell("cp -r " + src.string() + " " + (mnt_ / "bycp").string()), 0);
  if (Have("rsync")) {
    // Times and content, with the group's permissions: the magazine keeps no
    // owners and no permission bits beyond the read-only attribute.
    ASSERT_EQ(Shell("umask 007 && rsync -rt --no-perms " + src.string() + "/ " + (mnt_ / "byrsync").string() + "/"), 0);
  }
  EXPECT_EQ(Tree(mnt_ / "bycp"), want);
  if (Have("rsync")) {
    EXPECT_EQ(Tree(mnt_ / "byrsync"), want);
  }
  ASSERT_NO_FATAL_FAILURE(Remount());
  EXPECT_EQ(Tree(mnt_ / "bycp"), want);
  if (Have("rsync")) {
    EXPECT_EQ(Tree(mnt_ / "byrsync"), want);
    // A second rsync finds nothing to change.
    EXPECT_EQ(Shell("umask 007 && rsync -rt --no-perms --itemize-changes " + src.string() + "/ " + (mnt_ / "byrsync").string() +
                    "/ | grep -q . && exit 1 || exit 0"),
              0);
  }
}

TEST_F(MountedMagazineTest, RenameMoveAndDelete) {
  Put(mnt_ / "one" / "a.txt", "alpha");
  Put(mnt_ / "one" / "b.txt", "bravo");
  fs::create_directories(mnt_ / "two");
  fs::rename(mnt_ / "one" / "a.txt", mnt_ / "one" / "A2.txt");      // rename in place
  fs::rename(mnt_ / "one" / "b.txt", mnt_ / "two" / "b.txt");       // move across folders
  fs::rename(mnt_ / "two", mnt_ / "one" / "two");                   // move a folder with its content
  Put(mnt_ / "one" / "c.txt", "charlie");
  fs::rename(mnt_ / "one" / "c.txt", mnt_ / "one" / "A2.txt");      // replace an existing file
  EXPECT_EQ(Get(mnt_ / "one" / "A2.txt"), "charlie");
  EXPECT_EQ(Get(mnt_ / "one" / "two" / "b.txt"), "bravo");
  EXPECT_FALSE(fs::exists(mnt_ / "two"));
  EXPECT_EQ(::rmdir((mnt_ / "one" / "two").c_str()), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  fs::remove(mnt_ / "one" / "two" / "b.txt");
  EXPECT_EQ(::rmdir((mnt_ / "one" / "two").c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(Remount());
  EXPECT_EQ(Get(mnt_ / "one" / "A2.txt"), "charlie");
  EXPECT_EQ(Tree(mnt_).size(), 2u);  // "one/" and "one/A2.txt"
}

// Writing a file anew over a longer one (an open with O_TRUNC, as shells,
// cp and most programs do) leaves only the new content, also once recorded.
TEST_F(MountedMagazineTest, RewritingALongerFileLeavesOnlyTheNewContent) {
  const struct {
    const char* name;
    size_t old_size;
    std::string fresh;
  } cases[] = {
      {"short.bin", 10000, "short"},
      {"empty.bin", 10000, ""},
      {"large.bin", 3 * 1024 * 1024, Bytes(1024 * 1024 + 7, 61)},
  };
  for (const auto& c : cases) {
    Put(mnt_ / c.name, Bytes(c.old_size, 60));
    Put(mnt_ / c.name, c.fresh);
    EXPECT_EQ(fs::file_size(mnt_ / c.name), c.fresh.size()) << c.name;
    EXPECT_TRUE(Get(mnt_ / c.name) == c.fresh) << c.name;
  }
  ASSERT_NO_FATAL_FAILURE(Remount());
  for (const auto& c : cases) EXPECT_TRUE(Get(mnt_ / c.name) == c.fresh) << c.name;
}

// Editors save through swap files, backups and a rename over the original.
TEST_F(MountedMagazineTest, EditorsSaveInPlace) {
  // Editors close a scratch file and delete it at once; the kernel delivers the
  // close after the delete has begun, and the delete waits for that holder. The
  // wait must take real time here, not the test clock's instant sleeps.
  clock_.SetAutoAdvanceOnSleep(false);
  clock_.SetScale(20);
  struct Case {
    const char* tool;
    std::string command;  // edits the file named last
  };
  const Case cases[] = {
      {"vim", "vim -Es -u NONE -N -c 'set swapfile backup writebackup backupcopy=no' -c 'normal Goadded' -c wq </dev/null "},
      {"sed", "sed -i 's/$/ added/' "},
      {"ed", "printf 'a\\nadded\\n.\\nw\\nq\\n' | ed -s "},
  };
  for (const Case& c : cases) {
    if (!Have(c.tool)) continue;
    SCOPED_TRACE(c.tool);
    const fs::path file = mnt_ / (std::string(c.tool) + ".txt");
    Put(file, "first line\n");
    ASSERT_EQ(Shell(c.command + file.string() + " >/dev/null 2>&1"), 0);
    EXPECT_NE(Get(file).find("added"), std::string::npos) << Get(file);
    EXPECT_EQ(Get(file).rfind("first line", 0), 0u);
  }
  // No swap or backup file is left behind.
  for (const auto& e : fs::directory_iterator(mnt_)) EXPECT_EQ(e.path().extension(), ".txt") << e.path();
}

TEST_F(MountedMagazineTest, NamedStreamsAreUserExtendedAttributes) {
  const fs::path file = mnt_ / "doc.txt";
  Put(file, "body");
  ASSERT_EQ(::setxattr(file.c_str(), "user.author", "kelva", 5, XATTR_CREATE), 0) << std::strerror(errno);
  EXPECT_EQ(::setxattr(file.c_str(), "user.author", "x", 1, XATTR_CREATE), -1);
  EXPECT_EQ(errno, EEXIST);
  if (Have("setfattr")) {
    ASSERT_EQ(Shell("setfattr -n user.note -v hello " + file.string()), 0);
  }
  ASSERT_NO_FATAL_FAILURE(Remount());
  char value[64] = {};
  ASSERT_EQ(::getxattr(file.c_str(), "user.author", value, sizeof value), 5);
  EXPECT_STREQ(value, "kelva");
  if (Have("getfattr")) {
    EXPECT_EQ(Shell("getfattr --only-values -n user.note " + file.string() + " | grep -qx hello"), 0);
  }
  EXPECT_EQ(Get(file), "body");  // the streams leave the content alone
  ASSERT_EQ(::removexattr(file.c_str(), "user.author"), 0);
  EXPECT_EQ(::getxattr(file.c_str(), "user.author", value, sizeof value), -1);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(MountedMagazineTest, DeletedViewShowsTombstonesReadOnly) {
  Put(mnt_ / "kept.txt", "kept");
  Put(mnt_ / "gone.txt", "gone");
  fs::remove(mnt_ / "gone.txt");
  EXPECT_FALSE(fs::exists(mnt_ / "gone.txt"));
  ASSERT_TRUE(worker_->volume()->SetDeletedView(true));
  ASSERT_TRUE(Eventually([&] { return fs::exists(mnt_ / "gone.txt"); }, 5000));
  char flag[4] = {};
  ASSERT_EQ(::getxattr((mnt_ / "gone.txt").c_str(), "user.kelva:deleted", flag, sizeof flag), 1);
  EXPECT_EQ(flag[0], '1');
  ASSERT_EQ(::getxattr((mnt_ / "kept.txt").c_str(), "user.kelva:deleted", flag, sizeof flag), 1);
  EXPECT_EQ(flag[0], '0');
  EXPECT_EQ(::open((mnt_ / "new.txt").c_str(), O_CREAT | O_WRONLY, 0660), -1);
  EXPECT_EQ(errno, EROFS);
  ASSERT_TRUE(worker_->volume()->SetDeletedView(false));
}

TEST_F(MountedMagazineTest, PulledMagazineFailsOpenFilesWithoutHanging) {
  const int fd = ::open((mnt_ / "open.txt").c_str(), O_CREAT | O_RDWR, 0660);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  sim_->PullMagazine();
  worker_->Dismount();
  EXPECT_EQ(::write(fd, "def", 3), -1);
  ::close(fd);  // returns at once, whatever it answers
  EXPECT_FALSE(IsMountPoint(mnt_));
}

// The unit is unplugged while a program writes: the program gets an error
// instead of hanging, and the user is told.
TEST_F(MountedMagazineTest, UnpluggedUnitFailsTheWriterWithoutHanging) {
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    const int fd = ::open((mnt_ / "growing.bin").c_str(), O_CREAT | O_WRONLY, 0660);
    if (fd < 0) {
      failed = true;
      return;
    }
    const std::string block = Bytes(65536, 9);
    for (int i = 0; i < 100000 && !failed; ++i) {
      if (::write(fd, block.data(), block.size()) < 0) failed = true;
    }
    ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sim_->Unplug();
  worker_->DeviceRemoved();
  writer.join();  // returns: the writer got an error instead of hanging
  EXPECT_TRUE(failed.load());
  EXPECT_FALSE(IsMountPoint(mnt_));
  EXPECT_EQ(notices_.Texts("The unit has been removed without ejecting the magazine."), 1);
}

// Disabled: a file the writer recorded onto the disc's file system before the
// unit was unplugged reads back as zeros once the unit is back, although it
// had been fsync'ed: the recording lets the cached copy go before the disc's
// volume was written back, and the unplug loses the disc's copy. The fault
// lies in the recording path below the mount; this test shows it.
TEST_F(MountedMagazineTest, WhatWasSyncedSurvivesAnUnplug) {
  const std::string synced = Bytes(200000, 7);
  const int fd = ::open((mnt_ / "synced.bin").c_str(), O_CREAT | O_WRONLY, 0660);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, synced.data(), synced.size()), static_cast<ssize_t>(synced.size()));
  ASSERT_EQ(::fsync(fd), 0);
  ASSERT_EQ(::close(fd), 0);
  std::atomic<bool> failed{false};
  std::thread writer([&] {  // a program writes on when the unit goes
    const int out = ::open((mnt_ / "growing.bin").c_str(), O_CREAT | O_WRONLY, 0660);
    const std::string block = Bytes(65536, 9);
    for (int i = 0; i < 100000 && out >= 0 && !failed; ++i) {
      if (::write(out, block.data(), block.size()) < 0) failed = true;
    }
    if (out >= 0) ::close(out);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sim_->Unplug();
  worker_->DeviceRemoved();
  writer.join();
  sim_->Plug();
  controller_->ResetMagazineState();
  worker_->Mount(nullptr);
  ASSERT_TRUE(worker_->HasVolume());
  EXPECT_EQ(Get(mnt_ / "synced.bin"), synced);
}

TEST_F(MountedMagazineTest, FullMagazineIsCannotMakeForTheFileManagerOnly) {
  // A copy of touch named as a file manager, and the magazine made full.
  const fs::path manager = temp_ / "nautilus";
  fs::copy_file("/usr/bin/touch", manager);
  CFsVolume* volume = worker_->volume();
  volume->AddPendingBytes(volume->FreeCapacity());
  const fs::path err = temp_ / "err.txt";
  EXPECT_NE(Shell("/usr/bin/touch " + (mnt_ / "a").string() + " 2>" + err.string()), 0);
  EXPECT_NE(Get(err).find("No space left on device"), std::string::npos) << Get(err);
  EXPECT_NE(Shell(manager.string() + " " + (mnt_ / "b").string() + " 2>" + err.string()), 0);
  EXPECT_NE(Get(err).find("Permission denied"), std::string::npos) << Get(err);
  volume->AddPendingBytes(-volume->pending_bytes());
}

TEST_F(MountedMagazineTest, OnlyTheGroupMayEnter) {
  struct stat st {};
  ASSERT_EQ(::stat(mnt_.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, getgid());
  EXPECT_EQ(st.st_mode & 0777, 0770u);
  Put(mnt_ / "private.txt", "secret");
  // A user outside the group: "nobody" in "nogroup". The child of this
  // threaded process allocates nothing: another thread may have held the
  // allocator's lock at the fork.
  const std::string file = (mnt_ / "private.txt").string();
  const std::string folder = mnt_.string();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
    const int fd = ::open(file.c_str(), O_RDONLY);
    const bool refused = fd < 0 && errno == EACCES;
    const bool listed = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY) >= 0;
    _exit(refused && !listed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// An ordinary tool workload: a source tarball of a few thousand files
// extracted into the magazine, hashed, and hashed again after a remount.
TEST_F(MountedMagazineTest, ExtractedTarballHashesTheSameAfterARemount) {
  const fs::path src = temp_ / "project";
  for (int d = 0; d < 40; ++d) {
    for (int f = 0; f < 50; ++f) {
      Put(src / ("dir" + std::to_string(d)) / ("file" + std::to_string(f) + ".c"),
          Bytes(static_cast<size_t>(100 + (d * 50 + f) * 7 % 9000), static_cast<uint32_t>(d * 50 + f)));
    }
  }
  const fs::path tarball = temp_ / "project.tar.gz";
  ASSERT_EQ(Shell("tar -C " + temp_.string() + " -czf " + tarball.string() + " project"), 0);
  ASSERT_EQ(Shell("umask 007 && tar --no-same-owner --no-same-permissions -C " + mnt_.string() + " -xzf " +
                  tarball.string()),
            0);
  const std::string sums = "cd " + mnt_.string() + " && find . -type f | sort | xargs sha256sum > ";
  ASSERT_EQ(Shell(sums + (temp_ / "before.txt").string()), 0);
  ASSERT_EQ(Shell("cd " + temp_.string() + " && find ./project -type f | sort | xargs sha256sum > " +
                  (temp_ / "source.txt").string()),
            0);
  ASSERT_NO_FATAL_FAILURE(Remount());
  ASSERT_EQ(Shell(sums + (temp_ / "after.txt").string()), 0);
  const std::string before = Get(temp_ / "before.txt");
  EXPECT_EQ(std::count(before.begin(), before.end(), '\n'), 2000);
  EXPECT_EQ(before, Get(temp_ / "after.txt"));
  EXPECT_EQ(before, Get(temp_ / "source.txt"));
}

}  // namespace
}  // namespace kelva::volume
