// The FUSE host check against prepared root folders.
#include "platform/host_installer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/file.h"

namespace kelva::platform {
namespace {

namespace fs = std::filesystem;

struct FuseCase {
  const char* name;
  bool device;             // dev/fuse exists
  const char* filesystems; // proc/filesystems, nullptr: missing
  const char* fusermount;  // where fusermount3 lies, nullptr: nowhere
  Win32Error expected;
  const char* reason;      // part of the message
};

TEST(FuseHostInstaller, ChecksTheDeviceTheKernelAndFusermount) {
  if (geteuid() != 0) {
    FuseHostInstaller installer("/nonexistent");
    std::string message;
    bool reboot = true;
    EXPECT_EQ(installer.Install(&message, &reboot), ERROR_ACCESS_DENIED);
    EXPECT_EQ(installer.Uninstall(&message, &reboot), ERROR_ACCESS_DENIED);
    GTEST_SKIP() << "the checks past the rights need root";
  }
  const FuseCase cases[] = {
      {"ready", true, "nodev\tsysfs\n\tfuseblk\nnodev\tfuse\n", "usr/bin", 0, ""},
      {"fusermount in /bin", true, "nodev\tfuse\n", "bin", 0, ""},
      {"no device", false, "nodev\tfuse\n", "usr/bin", ERROR_FILE_NOT_FOUND, "dev/fuse cannot be opened"},
      {"fuseblk only", true, "\tfuseblk\nnodev\tfusectl\n", "usr/bin", ERROR_NOT_SUPPORTED, "does not list \"fuse\""},
      {"no filesystem list", true, nullptr, "usr/bin", ERROR_NOT_SUPPORTED, "does not list \"fuse\""},
      {"no fusermount3", true, "nodev\tfuse\n", nullptr, ERROR_FILE_NOT_FOUND, "fusermount3 is missing"},
  };
  for (const FuseCase& c : cases) {
    char tmpl[] = "/tmp/kelva-fuse-XXXXXX";
    const fs::path root = mkdtemp(tmpl);
    fs::create_directories(root / "dev");
    fs::create_directories(root / "proc");
    if (c.device) {
      ASSERT_EQ(WriteWholeFile(root / "dev/fuse", ""), 0u);
    }
    if (c.filesystems) {
      ASSERT_EQ(WriteWholeFile(root / "proc/filesystems", c.filesystems), 0u);
    }
    if (c.fusermount) {
      fs::create_directories(root / c.fusermount);
      ASSERT_EQ(WriteWholeFile(root / c.fusermount / "fusermount3", "#!/bin/sh\n"), 0u);
      fs::permissions(root / c.fusermount / "fusermount3", fs::perms(0755));
    }
    FuseHostInstaller installer(root);
    std::string message;
    bool reboot = true;
    EXPECT_EQ(installer.Install(&message, &reboot), c.expected) << c.name;
    EXPECT_FALSE(reboot) << c.name;
    EXPECT_NE(message.find(c.reason), std::string::npos) << c.name << ": " << message;
    // Uninstalling leaves FUSE to the operating system and succeeds.
    EXPECT_EQ(installer.Uninstall(&message, &reboot), 0u) << c.name;
    EXPECT_FALSE(reboot);
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace kelva::platform
