// The host through a real FUSE mount, with an in-memory volume behind it.
#include "platform/fshost/fs_storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "memory_volume.h"
#include "tests/eventually.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;
using testing::MemoryVolume;
using kelva::test::Eventually;

constexpr gid_t kTestGroup = 4242;

class FsStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
    if (geteuid() != 0) GTEST_SKIP() << "mounting with allow_other needs root";
    root_ = fs::temp_directory_path() / ("kelva-fshost-" + std::to_string(getpid()));
    fs::create_directories(root_);
    setenv("KELVA_MOUNT_ROOT", root_.c_str(), 1);
    settings_.gid = kTestGroup;
    settings_.storage_guid = "{4D5E0B2A-0000-4000-8000-00000000000B}";
    ASSERT_EQ(FsStorage::Create(settings_, &volume_, &storage_), ERROR_SUCCESS);
    ASSERT_EQ(storage_->AddMountPoint("K:"), ERROR_SUCCESS);
    mnt_ = root_ / "K";
    ASSERT_EQ(storage_->MountMedia(), ERROR_SUCCESS);
  }
  void TearDown() override {
    storage_.reset();
    if (!root_.empty()) {
      ::umount2(mnt_.c_str(), MNT_DETACH);
      std::error_code ec;
      fs::remove_all(root_, ec);
    }
  }
  fs::path P(const std::string& rel) const { return mnt_ / rel; }
  void WriteFile(const std::string& rel, const std::string& data) {
    int fd = ::open(P(rel).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << rel << ": " << std::strerror(errno);
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::close(fd), 0);
  }
  std::string ReadFile(const std::string& rel) {
    std::ifstream in(P(rel), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::set<std::string> List(const std::string& rel) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(P(rel))) names.insert(entry.path().filename());
    return names;
  }
  // errno of a failed call, 0 when it succeeded.
  static int Errno(int result) { return result < 0 ? errno : 0; }

  fs::path root_, mnt_;
  FsStorageSettings settings_;
  MemoryVolume volume_;
  std::unique_ptr<FsStorage> storage_;
};

TEST_F(FsStorageTest, FilesAndFoldersReachTheVolumeWithWindowsPaths) {
  ASSERT_EQ(::mkdir(P("Docs").c_str(), 0755), 0);
  WriteFile("Docs/Report.txt", "hello magazine");
  auto node = volume_.Get(u"\\Docs\\Report.txt");
  ASSERT_TRUE(node);
  EXPECT_EQ(node->data, "hello magazine");
  EXPECT_EQ(ReadFile("Docs/Report.txt"), "hello magazine");
  // Lookups go through the volume, which matches names without regard to case.
  EXPECT_EQ(ReadFile("DOCS/report.TXT"), "hello magazine");

  ASSERT_EQ(::mkdir(P("Old").c_str(), 0755), 0);
  ASSERT_EQ(::rename(P("Docs/Report.txt").c_str(), P("Old/Moved.txt").c_str()), 0);
  EXPECT_EQ(List("Docs"), std::set<std::string>{});
  EXPECT_EQ(List("Old"), std::set<std::string>{"Moved.txt"});
  EXPECT_EQ(ReadFile("Old/Moved.txt"), "hello magazine");

  ASSERT_EQ(::truncate(P("Old/Moved.txt").c_str(), 5), 0);
  EXPECT_EQ(ReadFile("Old/Moved.txt"), "hello");
  EXPECT_EQ(Errno(::rmdir(P("Old").c_str())), ENOTEMPTY);
  ASSERT_EQ(::unlink(P("Old/Moved.txt").c_str()), 0);
  ASSERT_EQ(::rmdir(P("Old").c_str()), 0);
  EXPECT_EQ(List(""), std::set<std::string>{"Docs"});
  EXPECT_FALSE(volume_.Get(u"\\Old"));

  struct statvfs sv;
  ASSERT_EQ(::statvfs(mnt_.c_str(), &sv), 0);
  EXPECT_EQ(sv.f_frsize * sv.f_blocks, 300ull << 30);
  EXPECT_EQ(sv.f_namemax, 255u);
  // The kernel sends releases after close() returns.
  EXPECT_TRUE(Eventually([&] { return volume_.open_contexts() == 0; })) << "every open was released";
}

TEST_F(FsStorageTest, OwnershipPermissionsAndReadOnlyAttribute) {
  WriteFile("a.txt", "x");
  ASSERT_EQ(::mkdir(P("d").c_str(), 0700), 0);
  struct stat st;
  ASSERT_EQ(::stat(P("a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, kTestGroup);
  EXPECT_EQ(st.st_mode, S_IFREG | 0660u);
  ASSERT_EQ(::stat(P("d").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode, S_IFDIR | 0770u);

  ASSERT_EQ(::chmod(P("a.txt").c_str(), 0440), 0);
  EXPECT_EQ(volume_.Get(u"\\a.txt")->attributes & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  ASSERT_EQ(::stat(P("a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0440u);
  ASSERT_EQ(::chmod(P("a.txt").c_str(), 0660), 0);
  EXPECT_EQ(volume_.Get(u"\\a.txt")->attributes & FILE_ATTRIBUTE_READONLY, 0u);
  // What the discs cannot hold is refused.
  EXPECT_EQ(Errno(::chmod(P("a.txt").c_str(), 0755)), EPERM);
  EXPECT_EQ(Errno(::chmod(P("a.txt").c_str(), 04660)), EPERM);
  EXPECT_EQ(Errno(::chown(P("a.txt").c_str(), 1000, -1)), EPERM);
  EXPECT_EQ(::chown(P("a.txt").c_str(), 0, kTestGroup), 0);
}

// A user outside the group is refused at the kernel; a member gets in.
TEST_F(FsStorageTest, OnlyTheGroupMayUseTheMount) {
  WriteFile("secret.txt", "data");
  auto open_as = [&](gid_t supplementary) {
    pid_t pid = fork();
    if (pid == 0) {
      gid_t groups[] = {supplementary};
      if (setgroups(1, groups) != 0 || setresgid(65534, 65534, 65534) != 0 ||
          setresuid(65534, 65534, 65534) != 0) {
        _exit(100);
      }
      int fd = ::open((mnt_ / "secret.txt").c_str(), O_RDWR);
      _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(open_as(65534), EACCES);
  EXPECT_EQ(open_as(kTestGroup), 0);
}

TEST_F(FsStorageTest, VolumeErrorsBecomeErrno) {
  WriteFile("f", "content");
  struct Row {
    const char* event;
    Win32Error code;
    int expected;
  };
  const Row rows[] = {
      {"open", ERROR_NOT_READY, ENOMEDIUM},   {"open", ERROR_ACCESS_DENIED, EACCES},
      {"open", ERROR_SHARING_VIOLATION, EBUSY}, {"create", ERROR_DISK_FULL, ENOSPC},
      {"create", ERROR_WRITE_PROTECT, EROFS}, {"read", ERROR_READ_FAULT, EIO},
      {"write", ERROR_DISK_FULL, ENOSPC},     {"mkdir", ERROR_ALREADY_EXISTS, EEXIST},
      {"unlink", ERROR_ACCESS_DENIED, EACCES}, {"rename", 4330, EIO},
      {"fsync", ERROR_IO_DEVICE, EIO},         {"statfs", ERROR_DEVICE_NOT_CONNECTED, ENODEV},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.event) + " " + std::to_string(row.code));
    volume_.FailNext(row.event, row.code);
    const std::string ev = row.event;
    int err = 0;
    if (ev == "open") {
      err = Errno(::open(P("f").c_str(), O_RDONLY));
    } else if (ev == "create") {
      err = Errno(::open(P("new").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644));
    } else if (ev == "mkdir") {
      err = Errno(::mkdir(P("dir").c_str(), 0755));
    } else if (ev == "unlink") {
      err = Errno(::unlink(P("f").c_str()));
    } else if (ev == "rename") {
      err = Errno(::rename(P("f").c_str(), P("g").c_str()));
    } else if (ev == "statfs") {
      struct statvfs sv;
      err = Errno(::statvfs(mnt_.c_str(), &sv));
    } else {
      int fd = ::open(P("f").c_str(), O_RDWR | O_DIRECT);
      if (fd < 0) fd = ::open(P("f").c_str(), O_RDWR);
      ASSERT_GE(fd, 0);
      char buf[16] = {};
      if (ev == "read") {
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        err = Errno(static_cast<int>(::pread(fd, buf, sizeof(buf), 0)));
      } else if (ev == "write") {
        ssize_t n = ::pwrite(fd, "abc", 3, 0);
        err = n < 0 ? errno : Errno(::fsync(fd));
      } else {
        err = Errno(::fsync(fd));
      }
      ::close(fd);
    }
    EXPECT_EQ(err, row.expected);
  }
}

TEST_F(FsStorageTest, NamesWindowsForbidsAreRefused) {
  WriteFile("ok.txt", "1");
  const char* bad[] = {"a:b", "a*b", "what?", "pipe|", "q\"uote", "lt<", "trail.", "trail ", "CON", "nul.txt",
                       "com1", "Lpt9.log", "tab\tname", "256"};
  for (const char* raw : bad) {
    const std::string name = std::string(raw) == "256" ? std::string(256, 'n') : raw;
    SCOPED_TRACE(name.substr(0, 20));
    int err = Errno(::open(P(name).c_str(), O_CREAT | O_WRONLY, 0644));
    // The kernel refuses names over 255 bytes itself.
    EXPECT_TRUE(err == EINVAL || (name.size() > 255 && err == ENAMETOOLONG)) << err;
    if (name.size() > 255) continue;
    EXPECT_EQ(Errno(::mkdir(P(name).c_str(), 0755)), EINVAL);
    EXPECT_EQ(Errno(::rename(P("ok.txt").c_str(), P(name).c_str())), EINVAL);
  }
  EXPECT_EQ(List(""), std::set<std::string>{"ok.txt"});
  // Names that only look close are fine.
  for (const char* good : {"CONSOLE", "com0", "a.b.c", " lead", "ünïcødé名前"}) {
    EXPECT_EQ(::mkdir(P(good).c_str(), 0755), 0) << good;
  }
}

TEST_F(FsStorageTest, StreamsAndAttributesAsExtendedAttributes) {
  WriteFile("f", "x");
  const std::string f = P("f");
  ASSERT_EQ(::setxattr(f.c_str(), "user.Zone.Identifier", "zone", 4, 0), 0);
  EXPECT_EQ(volume_.Get(u"\\f")->streams.at(u"Zone.Identifier"), "zone");
  char buf[256];
  ASSERT_EQ(::getxattr(f.c_str(), "user.Zone.Identifier", buf, sizeof(buf)), 4);
  EXPECT_EQ(std::string(buf, 4), "zone");
  EXPECT_EQ(::getxattr(f.c_str(), "user.Zone.Identifier", nullptr, 0), 4);
  EXPECT_EQ(Errno(::getxattr(f.c_str(), "user.Zone.Identifier", buf, 2)), ERANGE);
  EXPECT_EQ(Errno(::setxattr(f.c_str(), "user.Zone.Identifier", "z", 1, XATTR_CREATE)), EEXIST);
  EXPECT_EQ(Errno(::setxattr(f.c_str(), "user.none", "z", 1, XATTR_REPLACE)), ENODATA);
  EXPECT_EQ(Errno(::getxattr(f.c_str(), "user.none", buf, sizeof(buf))), ENODATA);

  ssize_t n = ::listxattr(f.c_str(), buf, sizeof(buf));
  ASSERT_GT(n, 0);
  std::set<std::string> names;
  for (const char* p = buf; p < buf + n; p += std::strlen(p) + 1) names.insert(p);
  EXPECT_EQ(names, (std::set<std::string>{"user.Zone.Identifier", "user.kelva:attributes", "user.kelva:deleted"}));

  n = ::getxattr(f.c_str(), "user.kelva:attributes", buf, sizeof(buf));
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, n), "0x00000020");
  ASSERT_EQ(::setxattr(f.c_str(), "user.kelva:attributes", "0x22", 4, 0), 0);
  EXPECT_EQ(volume_.Get(u"\\f")->attributes, 0x22u);
  EXPECT_EQ(Errno(::setxattr(f.c_str(), "user.kelva:attributes", "junk", 4, 0)), EINVAL);
  n = ::getxattr(f.c_str(), "user.kelva:deleted", buf, sizeof(buf));
  EXPECT_EQ(std::string(buf, n), "0");
  EXPECT_EQ(Errno(::setxattr(f.c_str(), "user.kelva:deleted", "1", 1, 0)), EPERM);

  ASSERT_EQ(::removexattr(f.c_str(), "user.Zone.Identifier"), 0);
  EXPECT_TRUE(volume_.Get(u"\\f")->streams.empty());
  EXPECT_EQ(Errno(::removexattr(f.c_str(), "user.Zone.Identifier")), ENODATA);
  EXPECT_EQ(Errno(::setxattr(f.c_str(), "trusted.x", "1", 1, 0)), ENOTSUP);
}

TEST_F(FsStorageTest, ServesManyRequestsAtOnce) {
  volume_.AddFile(u"\\shared", std::string(4096, 's'));
  volume_.SetReadRendezvous(4);
  std::vector<std::thread> readers;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&, i] {
      int fd = ::open(P("shared").c_str(), O_RDONLY | O_DIRECT);
      char buf[4096] __attribute__((aligned(4096)));
      if (fd >= 0 && ::pread(fd, buf, sizeof(buf), 0) == 4096 && buf[100] == 's') ++good;
      ::close(fd);
      (void)i;
    });
  }
  for (auto& t : readers) t.join();
  volume_.SetReadRendezvous(0);
  EXPECT_EQ(good, 4);
  EXPECT_GE(volume_.max_concurrent_reads(), 4) << "reads were served one after the other";

  // And a burst of writers in separate folders: nothing lost or mixed up.
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([&, t] {
      const std::string dir = "w" + std::to_string(t);
      ::mkdir(P(dir).c_str(), 0755);
      for (int i = 0; i < 25; ++i) WriteFile(dir + "/" + std::to_string(i), dir + ":" + std::to_string(i));
    });
  }
  for (auto& t : writers) t.join();
  for (int t = 0; t < 8; ++t) {
    const std::string dir = "w" + std::to_string(t);
    ASSERT_EQ(List(dir).size(), 25u);
    EXPECT_EQ(ReadFile(dir + "/24"), dir + ":24");
  }
}

TEST_F(FsStorageTest, ForcedUnmountFailsOpenFilesAndAllowsRemount) {
  WriteFile("open.txt", "still here");
  int fd = ::open(P("open.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(storage_->UnmountMedia(), ERROR_SUCCESS);
  EXPECT_FALSE(storage_->IsActive());
  char buf[16];
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  EXPECT_LT(::pread(fd, buf, sizeof(buf), 0), 11) << "a read after the unmount must not see the volume";
  ::close(fd);
  EXPECT_EQ(volume_.open_contexts(), 0) << "the unmount released what the session could not";
  EXPECT_TRUE(fs::is_directory(mnt_)) << "the empty drive stays";
  EXPECT_TRUE(fs::is_empty(mnt_));
  EXPECT_EQ(storage_->UnmountMedia(), ERROR_SUCCESS) << "a second unmount is harmless";

  ASSERT_EQ(storage_->MountMedia(), ERROR_SUCCESS);
  EXPECT_EQ(ReadFile("open.txt"), "still here");
  EXPECT_EQ(storage_->MountMedia(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(storage_->DeleteMountPoint("K:"), ERROR_BUSY);
}

TEST_F(FsStorageTest, RemovalFromOutsideEjectsTheStorage) {
  for (const char* command : {"fusermount3 -u", "umount"}) {
    SCOPED_TRACE(command);
    if (!storage_) {
      ASSERT_EQ(FsStorage::Create(settings_, &volume_, &storage_), ERROR_SUCCESS);
      ASSERT_EQ(storage_->AddMountPoint("K:"), ERROR_SUCCESS);
      ASSERT_EQ(storage_->MountMedia(), ERROR_SUCCESS);
    }
    ASSERT_EQ(std::system((std::string(command) + " " + mnt_.string()).c_str()), 0);
    ASSERT_TRUE(volume_.WaitEjected(10000));
    EXPECT_TRUE(storage_->IsDeleted());
    EXPECT_FALSE(storage_->IsActive());
    EXPECT_TRUE(storage_->MountPoints().empty());
    EXPECT_FALSE(fs::exists(mnt_));
    EXPECT_EQ(storage_->MountMedia(), ERROR_INVALID_HANDLE);
    storage_.reset();
  }
}

TEST_F(FsStorageTest, DirectoryChangeNotificationsInvalidateTheKernelCache) {
  storage_.reset();
  settings_.entry_timeout = settings_.attr_timeout = 3600;
  ASSERT_EQ(FsStorage::Create(settings_, &volume_, &storage_), ERROR_SUCCESS);
  ASSERT_EQ(storage_->AddMountPoint("K:"), ERROR_SUCCESS);
  ASSERT_EQ(storage_->MountMedia(), ERROR_SUCCESS);
  ASSERT_EQ(::mkdir(P("dir").c_str(), 0755), 0);
  WriteFile("dir/f", "short");
  EXPECT_EQ(ReadFile("dir/f"), "short");
  ASSERT_EQ(List("dir").size(), 1u);
  struct stat st;
  ASSERT_EQ(::stat(P("dir/f").c_str(), &st), 0);

  // The volume changes behind the kernel's back: the cache still shows the old state.
  volume_.SetData(u"\\dir\\f", "much longer now");
  volume_.AddFile(u"\\dir\\g", "new");
  ASSERT_EQ(::stat(P("dir/f").c_str(), &st), 0);
  if (st.st_size != 5) GTEST_SKIP() << "the kernel dropped its cached attributes by itself";

  storage_->NotifyDirectoryChange(u"\\dir\\f", 4);
  storage_->NotifyDirectoryChange(u"\\dir\\g", 1);
  EXPECT_TRUE(Eventually([&] { return ::stat(P("dir/f").c_str(), &st) == 0 && st.st_size == 15; }));
  EXPECT_EQ(ReadFile("dir/f"), "much longer now");
  EXPECT_EQ(List("dir"), (std::set<std::string>{"f", "g"}));
}

TEST_F(FsStorageTest, RequesterImageIsTheCallingProgram) {
  volume_.requester_probe = [] { return FsStorage::RequesterImagePath(); };
  WriteFile("by-me", "1");
  EXPECT_EQ(volume_.last_requester(), fs::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(FsStorage::RequesterImagePath(), "") << "outside a request there is no requester";
  ASSERT_EQ(std::system(("touch " + P("by-touch").string()).c_str()), 0);
  EXPECT_EQ(fs::path(volume_.last_requester()).filename(), "touch");
}

// A service that died left its mount behind (the folder answers ENOTCONN):
// the next storage takes the folder over.
TEST_F(FsStorageTest, MountLeftByADeadProcessIsTakenOver) {
  pid_t pid = fork();
  if (pid == 0) {
    std::unique_ptr<FsStorage> orphan;
    if (FsStorage::Create(settings_, &volume_, &orphan) != 0 || orphan->AddMountPoint("L:") != 0 ||
        orphan->MountMedia() != 0) {
      _exit(1);
    }
    _exit(0);  // no unmount
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat st;
  ASSERT_NE(::stat((root_ / "L").c_str(), &st), 0);
  ASSERT_EQ(errno, ENOTCONN);

  std::unique_ptr<FsStorage> next;
  ASSERT_EQ(FsStorage::Create(settings_, &volume_, &next), ERROR_SUCCESS);
  ASSERT_EQ(next->AddMountPoint("L:"), ERROR_SUCCESS);
  ASSERT_EQ(next->MountMedia(), ERROR_SUCCESS);
  volume_.AddFile(u"\\x", "served");
  std::ifstream in(root_ / "L" / "x");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "served");
}

TEST_F(FsStorageTest, MountPointsAreDriveNames) {
  EXPECT_EQ(storage_->MountPoints(), std::vector<std::string>{"K:"});
  EXPECT_EQ(storage_->AddMountPoint("L:"), ERROR_ALREADY_EXISTS);
  std::unique_ptr<FsStorage> other;
  ASSERT_EQ(FsStorage::Create(settings_, &volume_, &other), ERROR_SUCCESS);
  for (const char* bad : {"", "K", "K:\\", "1:", "KK:"}) EXPECT_EQ(other->AddMountPoint(bad), ERROR_INVALID_NAME) << bad;
  EXPECT_EQ(other->AddMountPoint("k:"), ERROR_BUSY) << "K is mounted by the first storage";
  EXPECT_EQ(other->MountMedia(), ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(other->AddMountPoint("m:"), ERROR_SUCCESS);
  EXPECT_EQ(other->MountPoints(), std::vector<std::string>{"M:"});
  EXPECT_TRUE(fs::is_directory(root_ / "M"));
  EXPECT_EQ(other->DeleteMountPoint("M:"), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(root_ / "M"));
  EXPECT_EQ(other->DeleteMountPoint("M:"), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kelva::platform
