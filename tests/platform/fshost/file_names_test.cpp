#include "platform/fshost/file_names.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fshost/file_managers.h"
#include "platform/fshost/fs_storage.h"
#include "platform/fshost/win32_errno.h"

namespace kelva::platform {
namespace {

TEST(FileNamesTest, WindowsRulesDecide) {
  struct Row {
    std::u16string name;
    bool allowed;
  };
  const Row rows[] = {
      {u"report.txt", true},        {u"a", true},
      {u"CONSOLE", true},           {u"com0", true},
      {u"lpt", true},               {u".hidden", true},
      {u" lead", true},             {u"a.b.c", true},
      {u"名前\u00e9", true},         {std::u16string(255, u'x'), true},
      {u"", false},                 {u".", false},
      {u"..", false},               {std::u16string(256, u'x'), false},
      {u"a<b", false},              {u"a>b", false},
      {u"a:b", false},              {u"a\"b", false},
      {u"a/b", false},              {u"a\\b", false},
      {u"a|b", false},              {u"a?b", false},
      {u"a*b", false},              {u"a\x1f", false},
      {std::u16string(u"a\0b", 3), false},
      {u"dot.", false},             {u"space ", false},
      {u"CON", false},              {u"con", false},
      {u"Prn.txt", false},          {u"aux.tar.gz", false},
      {u"NUL", false},              {u"COM1", false},
      {u"com9.log", false},         {u"LPT5", false},
      {u"CON .txt", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsAllowedFileName(row.name), row.allowed) << std::string(row.name.begin(), row.name.end());
  }
}

TEST(Win32ErrnoTest, CodesMapToTheirErrno) {
  struct Row {
    Win32Error code;
    int err;
  };
  const Row rows[] = {
      {ERROR_SUCCESS, 0},
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_NOT_READY, ENOMEDIUM},
      {ERROR_DISK_FULL, ENOSPC},
      {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
      {ERROR_INVALID_NAME, EINVAL},
      {ERROR_INVALID_PARAMETER, EINVAL},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
      {ERROR_SHARING_VIOLATION, EBUSY},
      {ERROR_DIRECTORY, ENOTDIR},
      {ERROR_NOT_SUPPORTED, ENOTSUP},
      {ERROR_INVALID_FUNCTION, ENOSYS},
      {ERROR_DEVICE_NOT_CONNECTED, ENODEV},
      {ERROR_RETRY, EAGAIN},
      {641, EIO},   // refused while closing: no closer errno
      {4330, EIO},  // magazine eject failed
  };
  for (const Row& row : rows) EXPECT_EQ(Win32ToErrno(row.code), row.err) << row.code;
}

// Every code the platform produces from an errno comes back as an errno of
// the same kind, so an error from the computer's own disk reaches the user
// unchanged through the mount.
TEST(Win32ErrnoTest, RoundTripsThroughThePlatformTable) {
  for (int err : {ENOENT, EACCES, EROFS, EEXIST, ENOTEMPTY, ENOSPC, ENAMETOOLONG, EBUSY, ENOTSUP, EINVAL, EIO,
                  ENODEV, ETIMEDOUT, EAGAIN, ENOMEDIUM, ENOMEM, EBADF}) {
    EXPECT_EQ(Win32ToErrno(FromErrno(err)), err) << err;
  }
}

}  // namespace
}  // namespace kelva::platform

namespace kelva::platform {
namespace {

TEST(MountGroupTest, SettingNamesTheGroup) {
  struct Row {
    const char* setting;
    gid_t expected;
  };
  const Row rows[] = {
      {"4242", 4242},
      {"root", 0},
      {"no-such-group-kelva-test", 0},  // until the installer creates it
  };
  for (const Row& row : rows) {
    setenv("KELVA_MOUNT_GROUP", row.setting, 1);
    EXPECT_EQ(DefaultMountGroup(), row.expected) << row.setting;
  }
  unsetenv("KELVA_MOUNT_GROUP");
}

}  // namespace
}  // namespace kelva::platform

namespace kelva::platform {
namespace {

TEST(FileManagersTest, ImageNamesDecide) {
  unsetenv("KELVA_FILE_MANAGERS");
  const std::vector<std::string> defaults = FileManagerImages();
  struct Row {
    const char* image;
    bool file_manager;
  };
  const Row rows[] = {
      {"C:\\Windows\\Explorer.EXE", true}, {"/usr/bin/nautilus", true}, {"/usr/bin/dolphin", true},
      {"/usr/bin/cp", false},              {"/usr/bin/nautilus-helper", false}, {"", false},
      {"/opt/explorer.exe/cp", false},
  };
  for (const Row& row : rows) EXPECT_EQ(IsFileManagerImage(row.image, defaults), row.file_manager) << row.image;

  setenv("KELVA_FILE_MANAGERS", "krusader, mc,,", 1);
  EXPECT_EQ(FileManagerImages(), (std::vector<std::string>{"krusader", "mc"}));
  EXPECT_TRUE(IsFileManagerImage("/usr/bin/mc", FileManagerImages()));
  EXPECT_FALSE(IsFileManagerImage("/usr/bin/nautilus", FileManagerImages()));
  unsetenv("KELVA_FILE_MANAGERS");
}

}  // namespace
}  // namespace kelva::platform

namespace kelva::platform {
namespace {

TEST(StorageGuidTest, UnitKeepsItsGuid) {
  // 0x6F2A4B10 ^ 1 = 0x6F2A4B11, the rest unchanged.
  EXPECT_EQ(StorageGuidFor(u"\\\\?\\Volume{6f2a4b10-1c2d-4e3f-8a9b-0c1d2e3f4a5b}\\"),
            "{6F2A4B11-1C2D-4E3F-8A9B-0C1D2E3F4A5B}");
  EXPECT_EQ(StorageGuidFor(u"\\\\?\\VOLUME{00000001-0000-0000-0000-000000000000}"),
            "{00000000-0000-0000-0000-000000000000}");
  // Anything else gets a fresh random GUID each time.
  for (std::u16string_view other : {u"", u"\\\\?\\Volume{junk}", u"\\\\.\\CdRom0"}) {
    const std::string a = StorageGuidFor(other), b = StorageGuidFor(other);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 38u);
    EXPECT_EQ(a[15], '4') << "version 4";
  }
}

}  // namespace
}  // namespace kelva::platform
