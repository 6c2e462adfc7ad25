#include "platform/file.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/errors.h"

namespace kelva::platform {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelva_file_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(FileTest, DispositionsFollowWin32Rules) {
  const fs::path p = dir_ / "a.bin";
  File f;
  EXPECT_EQ(File::Open(p, kAccessRead, Disposition::kOpenExisting, &f), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(File::Open(dir_ / "no" / "a.bin", kAccessRead, Disposition::kOpenExisting, &f), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(File::Open(dir_ / "no" / "a.bin", kAccessWrite, Disposition::kCreateNew, &f), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(File::Open(p, kAccessReadWrite, Disposition::kTruncateExisting, &f), ERROR_FILE_NOT_FOUND);
  bool existed = true;
  ASSERT_EQ(File::Open(p, kAccessReadWrite, Disposition::kCreateNew, &f, &existed), ERROR_SUCCESS);
  EXPECT_FALSE(existed);
  ASSERT_EQ(f.WriteAllAt(0, "hello", 5), ERROR_SUCCESS);
  f.Close();
  EXPECT_EQ(File::Open(p, kAccessWrite, Disposition::kCreateNew, &f), ERROR_FILE_EXISTS);
  ASSERT_EQ(File::Open(p, kAccessReadWrite, Disposition::kOpenAlways, &f, &existed), ERROR_SUCCESS);
  EXPECT_TRUE(existed);
  uint64_t size = 0;
  ASSERT_EQ(f.Size(&size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  ASSERT_EQ(File::Open(p, kAccessWrite, Disposition::kCreateAlways, &f, &existed), ERROR_SUCCESS);
  EXPECT_TRUE(existed);
  ASSERT_EQ(f.Size(&size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(File::Open(dir_, kAccessRead, Disposition::kOpenExisting, &f), ERROR_ACCESS_DENIED);
}

TEST_F(FileTest, ReadWriteSeekAndEndOfFile) {
  File f;
  ASSERT_EQ(File::Open(dir_ / "b", kAccessReadWrite, Disposition::kCreateAlways, &f), ERROR_SUCCESS);
  uint32_t done = 0;
  ASSERT_EQ(f.Write("0123456789", 10, &done), ERROR_SUCCESS);
  EXPECT_EQ(done, 10u);
  ASSERT_EQ(f.Seek(4), ERROR_SUCCESS);
  ASSERT_EQ(f.SetEndOfFile(), ERROR_SUCCESS);
  char buf[16] = {};
  ASSERT_EQ(f.ReadAt(0, buf, sizeof buf, &done), ERROR_SUCCESS);
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(f.ReadExactAt(2, buf, 3), ERROR_HANDLE_EOF);
  ASSERT_EQ(f.SetLastWriteTime(FileTimeFromUnixSeconds(1000000000)), ERROR_SUCCESS);
  FileTime t = 0;
  ASSERT_EQ(GetLastWriteTime(dir_ / "b", &t), ERROR_SUCCESS);
  EXPECT_EQ(t, FileTimeFromUnixSeconds(1000000000));
}

TEST_F(FileTest, FindFilesMatchesWithoutRegardToCase) {
  for (const char* n : {"0001234.DB", "0001235.db", "resume.bin", "~db1.tmp"}) WriteWholeFile(dir_ / n, "x");
  CreateDirectory(dir_ / "STRUCT");
  std::vector<FindData> found;
  ASSERT_EQ(FindFiles(dir_, u"*.db", &found), ERROR_SUCCESS);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "0001234.DB");
  ASSERT_EQ(FindFiles(dir_, u"struct", &found), ERROR_SUCCESS);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].is_directory);
  EXPECT_EQ(FindFiles(dir_, u"*.LOG", &found), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFiles(dir_ / "missing", u"*", &found), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileTest, FolderChainsMovesAndLinks) {
  const fs::path deep = dir_ / "a" / "b" / "c";
  ASSERT_EQ(CreateDirectoryChain(deep), ERROR_SUCCESS);
  EXPECT_EQ(CreateDirectoryChain(deep), ERROR_SUCCESS);
  EXPECT_EQ(CreateDirectory(deep), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(CreateDirectory(dir_ / "x" / "y"), ERROR_PATH_NOT_FOUND);
  ASSERT_EQ(WriteWholeFile(deep / "f", "data"), ERROR_SUCCESS);
  EXPECT_EQ(RemoveDirectory(deep), ERROR_DIR_NOT_EMPTY);
  ASSERT_EQ(CreateHardLink(dir_ / "link", deep / "f"), ERROR_SUCCESS);
  EXPECT_EQ(CreateHardLink(dir_ / "link", deep / "f"), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(WriteWholeFile(dir_ / "other", "o"), ERROR_SUCCESS);
  EXPECT_EQ(MoveFile(dir_ / "other", dir_ / "link", false), ERROR_ALREADY_EXISTS);
  ASSERT_EQ(MoveFile(dir_ / "other", dir_ / "link", true), ERROR_SUCCESS);
  std::string s;
  ASSERT_EQ(ReadWholeFile(deep / "f", &s), ERROR_SUCCESS);
  EXPECT_EQ(s, "data");  // replacing the link left the other name alone
  EXPECT_EQ(DeleteFile(dir_ / "nothing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeleteFile(dir_ / "nope" / "nothing"), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(MoveFile(dir_ / "nothing", dir_ / "n2", false), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, TempNamesAreUniqueAndCarryThePrefix) {
  std::set<fs::path> names;
  for (int i = 0; i < 50; ++i) {
    fs::path p;
    ASSERT_EQ(GetTempFileName(dir_, "~dbx", &p), ERROR_SUCCESS);
    EXPECT_EQ(p.filename().string().substr(0, 3), "~db");
    EXPECT_EQ(p.extension(), ".tmp");
    EXPECT_TRUE(FileExists(p));
    names.insert(p);
  }
  EXPECT_EQ(names.size(), 50u);
}

TEST(Errors, ErrnoTranslation) {
  EXPECT_EQ(FromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(FromErrno(EROFS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(FromErrno(EEXIST), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(FromErrno(ENOTEMPTY), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(ErrorText(112), "112 (not enough space on the disk)");
}

}  // namespace
}  // namespace kelva::platform
