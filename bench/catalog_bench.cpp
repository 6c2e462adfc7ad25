// Rates of the directory catalog's InsertEntry, GetEntry and EnumEntries next to
// the same statements run directly through SQLite in this process, first with
// synchronous=OFF (the cost of the code itself) and then with SQLite's default
// durability (a log sync per commit). Prints one line per operation: the rates
// and the ratio catalog / direct (1.0: as fast as SQLite alone); the goal is at
// least 0.9.
//
// Usage: catalog_bench [entries]   (default 20000)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "service/storage/catalog_directory.h"

namespace {

namespace fs = std::filesystem;
using kelva::storage::CDirectoryDb;
using kelva::storage::DirEntryRecord;

constexpr char kCreate[] =
    "CREATE TABLE IF NOT EXISTS dirent(name TEXT COLLATE NOCASE, type INTEGER, disk INTEGER, file INTEGER, "
    "attr INTEGER, size INTEGER, alloc INTEGER, ctime INTEGER, atime INTEGER, mtime INTEGER, hdisk INTEGER, "
    "hfile INTEGER, UNIQUE(name));";
constexpr char kInsert[] =
    "INSERT INTO dirent (name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?);";
constexpr char kGet[] =
    "SELECT name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile FROM dirent WHERE name=?;";
constexpr char kEnum[] =
    "SELECT name,type,disk,file,attr,size,alloc,ctime,atime,mtime,hdisk,hfile FROM dirent WHERE (type&8)=0 "
    "LIMIT -1 OFFSET ?;";

double Seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string Name(int i) { return "Document number " + std::to_string(i) + ".txt"; }

DirEntryRecord Entry(const std::u16string& name, int i) {
  DirEntryRecord r;
  r.name = name;
  r.disk = 1;
  r.file = static_cast<uint32_t>(i);
  r.attr = 0x20;
  r.size = r.alloc = 4096;
  r.ctime = r.atime = r.mtime = 133000000000000000LL + i;
  return r;
}

void RemoveDb(const fs::path& p) {
  for (const char* s : {"", "-wal", "-shm"}) fs::remove(p.string() + s);
}

// Both sides run the same work in alternating chunks, so that load from other
// processes falls on both alike; the ratio is the median of the chunk ratios.
class Measure {
 public:
  void Add(double catalog_s, double direct_s) {
    catalog_ += catalog_s;
    direct_ += direct_s;
    ratios_.push_back(direct_s / catalog_s);
  }
  void Print(const char* op, double units) {
    std::sort(ratios_.begin(), ratios_.end());
    std::printf("  %-12s %14.0f %14.0f %7.3f\n", op, units / catalog_, units / direct_, ratios_[ratios_.size() / 2]);
  }

 private:
  double catalog_ = 0, direct_ = 0;
  std::vector<double> ratios_;
};

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) std::abort();
  return s;
}

void Report(const char* title, int n, bool durable) {
  const fs::path dir = fs::temp_directory_path();
  const fs::path a = dir / ("kelva_bench_catalog_" + std::to_string(::getpid()) + ".DIR");
  const fs::path b = dir / ("kelva_bench_direct_" + std::to_string(::getpid()) + ".db");
  RemoveDb(a);
  RemoveDb(b);

  CDirectoryDb cat;
  if (cat.Create(kelva::platform::Utf8ToUtf16(a.string())) != SQLITE_OK) std::abort();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(b.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    std::abort();
  }
  sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
  if (!durable) {
    cat.ExecuteStatement("PRAGMA synchronous=OFF;");
    sqlite3_exec(db, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
  }
  std::vector<std::u16string> names16;
  std::vector<std::string> names8;
  for (int i = 0; i < n; ++i) {
    names8.push_back(Name(i));
    names16.push_back(kelva::platform::Utf8ToUtf16(names8.back()));
  }
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  const int chunk = std::max(1, n / 20);
  volatile int64_t sink = 0;

  Measure insert;
  for (int from = 0; from < n; from += chunk) {
    const int to = std::min(n, from + chunk);
    const double c = Seconds([&] {
      for (int i = from; i < to; ++i) {
        if (cat.InsertEntry(Entry(names16[i], i)) != 1) std::abort();
      }
    });
    const double d = Seconds([&] {
      for (int i = from; i < to; ++i) {
        sqlite3_stmt* s = Prepare(db, kInsert);
        sqlite3_bind_text(s, 1, names8[i].data(), static_cast<int>(names8[i].size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, 0);
        sqlite3_bind_int64(s, 3, 1);
        sqlite3_bind_int64(s, 4, i);
        sqlite3_bind_int64(s, 5, 0x20);
        sqlite3_bind_int64(s, 6, 4096);
        sqlite3_bind_int64(s, 7, 4096);
        for (int col = 8; col <= 10; ++col) sqlite3_bind_int64(s, col, 133000000000000000LL + i);
        sqlite3_bind_int64(s, 11, 255);
        sqlite3_bind_int64(s, 12, -1);
        if (sqlite3_step(s) != SQLITE_DONE || sqlite3_changes(db) != 1) std::abort();
        sqlite3_finalize(s);
      }
    });
    insert.Add(c, d);
  }

  Measure get;
  for (int from = 0; from < n && !durable; from += chunk) {
    const int to = std::min(n, from + chunk);
    const double c = Seconds([&] {
      DirEntryRecord rec;
      for (int k = from; k < to; ++k) {
        rec.name = names16[order[k]];
        if (cat.GetEntry(&rec) != 1) std::abort();
      }
    });
    const double d = Seconds([&] {
      for (int k = from; k < to; ++k) {
        const std::string& name = names8[order[k]];
        sqlite3_stmt* s = Prepare(db, kGet);
        sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        if (sqlite3_step(s) != SQLITE_ROW) std::abort();
        sink = sink + sqlite3_column_text(s, 0)[0] + sqlite3_column_bytes(s, 0);
        for (int col = 1; col < 12; ++col) sink = sink + sqlite3_column_int64(s, col);
        sqlite3_finalize(s);
      }
    });
    get.Add(c, d);
  }

  Measure enumerate;
  constexpr int kPasses = 40;
  for (int pass = 0; pass < kPasses && !durable; ++pass) {
    const double c = Seconds([&] {
      DirEntryRecord rec;
      int rows = 0;
      for (int ok = cat.EnumEntries(1, 0, &rec); ok; ok = cat.EnumEntries(0, 0, &rec)) ++rows;
      if (rows != n) std::abort();
    });
    const double d = Seconds([&] {
      sqlite3_stmt* s = Prepare(db, kEnum);
      sqlite3_bind_int64(s, 1, 0);
      int rows = 0;
      while (sqlite3_step(s) == SQLITE_ROW) {
        sink = sink + sqlite3_column_text(s, 0)[0] + sqlite3_column_bytes(s, 0);
        for (int col = 1; col < 12; ++col) sink = sink + sqlite3_column_int64(s, col);
        ++rows;
      }
      sqlite3_finalize(s);
      if (rows != n) std::abort();
    });
    enumerate.Add(c, d);
  }

  std::printf("%s, %d entries\n", title, n);
  std::printf("  %-12s %14s %14s %7s\n", "operation", "catalog/s", "direct/s", "ratio");
  insert.Print("InsertEntry", n);
  if (!durable) {  // reads do not sync: their rates do not depend on durability
    get.Print("GetEntry", n);
    enumerate.Print("EnumEntries", static_cast<double>(n) * kPasses);
  }
  cat.Close();
  sqlite3_close(db);
  RemoveDb(a);
  RemoveDb(b);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  Report("synchronous=OFF", n, false);
  Report("default durability (synchronous=FULL, one log sync per commit)", std::min(n, 1000), true);
  return 0;
}
