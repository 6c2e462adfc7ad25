// The requests' error rules that do not need a mount.
#include "service/volume/volume_events.h"

#include <gtest/gtest.h>

namespace kelva::volume {
namespace {

// A full magazine is "cannot make" (82) only for the file managers, so that
// they refuse plainly; every other program and every other error is unchanged.
TEST(VolumeEventsTest, FullMagazineIsCannotMakeOnlyForFileManagers) {
  VolumeSlot slot;
  CVolumeEvents events(&slot, {"explorer.exe", "nautilus", "dolphin"}, nullptr);
  struct Case {
    Win32Error code;
    const char* image;
    Win32Error expected;
  };
  const Case cases[] = {
      {112, "/usr/bin/nautilus", 82},
      {112, "/usr/bin/Dolphin", 82},
      {112, "C:\\Windows\\EXPLORER.EXE", 82},
      {112, "/usr/bin/cp", 112},
      {112, "/usr/bin/nautilus-helper", 112},
      {112, "", 112},
      {5, "/usr/bin/nautilus", 5},
      {19, "/usr/bin/nautilus", 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    EXPECT_EQ(events.CreateErrorFor(c.code, c.image), c.expected);
  }
}

// Without a mounted volume every request is "not ready".
TEST(VolumeEventsTest, NoVolumeIsNotReady) {
  VolumeSlot slot;
  CVolumeEvents events(&slot, {}, nullptr);
  platform::FsContext context = nullptr;
  platform::FsFileInfo info;
  uint64_t total = 0, free_bytes = 0;
  std::vector<std::u16string> names;
  EXPECT_EQ(events.OnCreateFile(u"\\a", 0, &context), platform::ERROR_NOT_READY);
  EXPECT_EQ(events.OnOpenDirectory(u"\\", &context), platform::ERROR_NOT_READY);
  EXPECT_EQ(events.OnGetFileInfo(u"\\", nullptr, &info), platform::ERROR_NOT_READY);
  EXPECT_EQ(events.OnRename(u"\\a", u"\\b", true), platform::ERROR_NOT_READY);
  EXPECT_EQ(events.OnGetVolumeSize(&total, &free_bytes), platform::ERROR_NOT_READY);
  EXPECT_EQ(events.OnEnumerateStreams(u"\\a", &names), platform::ERROR_NOT_READY);
  EXPECT_EQ(context, nullptr);
}

}  // namespace
}  // namespace kelva::volume
