// Shared pieces of the catalog tests: a scratch folder per test, the sqlite3
// command-line program for looking at files from outside, and record builders.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/text.h"
#include "service/storage/catalog_records.h"

namespace kelva::storage::testing {

namespace fs = std::filesystem;

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("kelva_catalog_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // A path in the scratch folder, as the catalogs take it.
  std::u16string Path(const std::string& name) const { return platform::Utf8ToUtf16((dir_ / name).string()); }
  fs::path FsPath(const std::string& name) const { return dir_ / name; }

  fs::path dir_;
};

// Runs the sqlite3 program on file with one SQL text and returns its output.
inline std::string Sqlite3(const fs::path& file, const std::string& sql) {
  const std::string cmd = "/usr/bin/sqlite3 -batch '" + file.string() + "' \"" + sql + "\" 2>&1";
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

inline DirEntryRecord FileEntry(std::u16string name, uint32_t file = 1, int64_t size = 0) {
  DirEntryRecord r;
  r.type = ENTRY_KIND_FILE;
  r.disk = 1;
  r.file = file;
  r.attr = 0x20;
  r.size = size;
  r.alloc = size;
  r.ctime = 133000000000000000LL;
  r.atime = r.ctime + 1;
  r.mtime = r.ctime + 2;
  r.name = std::move(name);
  return r;
}

inline DirEntryRecord DirectoryEntry(std::u16string name, uint32_t file) {
  DirEntryRecord r = FileEntry(std::move(name), file);
  r.type = ENTRY_KIND_DIRECTORY;
  r.attr = FILE_ATTRIBUTE_DIRECTORY;
  return r;
}

inline DirEntryRecord StreamEntry(std::u16string full_name, uint32_t file) {
  DirEntryRecord r = FileEntry(std::move(full_name), file);
  r.type = ENTRY_STREAM;
  return r;
}

}  // namespace kelva::storage::testing
