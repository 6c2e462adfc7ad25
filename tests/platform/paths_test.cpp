#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kelva::platform {
namespace {

mode_t ModeOf(const std::filesystem::path& p) {
  struct stat st{};
  return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The run folder keeps our sockets where only its owner writes, whatever mode
// it had (an older installation left it open to everybody); users create
// their mailslots in the sticky user part.
TEST(RunDirs, OurSocketsWhereOnlyWeWriteUsersMailslotsInAStickyPart) {
  char tmpl[] = "/tmp/kelva-paths-XXXXXX";
  const std::filesystem::path root = mkdtemp(tmpl);
  const std::filesystem::path run = root / "run";
  setenv("KELVA_RUN_DIR", run.c_str(), 1);
  struct Case {
    const char* name;
    int existing_mode;  // -1: missing
  };
  for (const Case c : {Case{"missing", -1}, Case{"open to everybody", 01777}, Case{"group-writable", 0775}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(run);
    if (c.existing_mode >= 0) {
      ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
      ASSERT_EQ(chmod(run.c_str(), static_cast<mode_t>(c.existing_mode)), 0);
    }
    ASSERT_EQ(PrepareRunDirs(), ERROR_SUCCESS);
    EXPECT_EQ(ModeOf(RunDir()), 0755u);
    EXPECT_EQ(UserRunDir(), run / "user");
    EXPECT_EQ(ModeOf(UserRunDir()), 01777u);
  }
  unsetenv("KELVA_RUN_DIR");
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kelva::platform
