// Rates of the directory catalog's InsertEntry, GetEntry and EnumEntries next to
// the same statements run directly through SQLite in this process, first with
// synchronous=OFF (the cost of the code itself) and then with SQLite's default
// durability (a log sync per commit). Prints one line per operation with the
// ratio catalog / direct; the goal is at least 0.9.
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

struct Rates {
  double insert = 0, get = 0, enumerate = 0;
};

// The three operations through CDirectoryDb.
Rates RunCatalog(const fs::path& file, int n, bool durable, const std::vector<int>& order) {
  RemoveDb(file);
  CDirectoryDb db;
  if (db.Create(kelva::platform::Utf8ToUtf16(file.string())) != SQLITE_OK) std::abort();
  if (!durable) db.ExecuteStatement("PRAGMA synchronous=OFF;");
  std::vector<std::u16string> names;
  for (int i = 0; i < n; ++i) names.push_back(kelva::platform::Utf8ToUtf16(Name(i)));
  Rates r;
  r.insert = n / Seconds([&] {
    for (int i = 0; i < n; ++i) {
      if (db.InsertEntry(Entry(names[i], i)) != 1) std::abort();
    }
  });
  r.get = n / Seconds([&] {
    DirEntryRecord rec;
    for (int i : order) {
      rec.name = names[i];
      if (db.GetEntry(&rec) != 1) std::abort();
    }
  });
  int rows = 0;
  r.enumerate = Seconds([&] {
    DirEntryRecord rec;
    for (int pass = 0; pass < 5; ++pass) {
      for (int ok = db.EnumEntries(1, 0, &rec); ok; ok = db.EnumEntries(0, 0, &rec)) ++rows;
    }
  });
  r.enumerate = rows / r.enumerate;
  return r;
}

// The same statements straight on SQLite: prepare, bind, step, finalize per call.
Rates RunDirect(const fs::path& file, int n, bool durable, const std::vector<int>& order) {
  RemoveDb(file);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    std::abort();
  }
  sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr);
  if (!durable) sqlite3_exec(db, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(Name(i));
  Rates r;
  r.insert = n / Seconds([&] {
    for (int i = 0; i < n; ++i) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, kInsert, -1, &s, nullptr);
      sqlite3_bind_text(s, 1, names[i].data(), static_cast<int>(names[i].size()), SQLITE_STATIC);
      sqlite3_bind_int64(s, 2, 0);
      sqlite3_bind_int64(s, 3, 1);
      sqlite3_bind_int64(s, 4, i);
      sqlite3_bind_int64(s, 5, 0x20);
      sqlite3_bind_int64(s, 6, 4096);
      sqlite3_bind_int64(s, 7, 4096);
      for (int c = 8; c <= 10; ++c) sqlite3_bind_int64(s, c, 133000000000000000LL + i);
      sqlite3_bind_int64(s, 11, 255);
      sqlite3_bind_int64(s, 12, -1);
      if (sqlite3_step(s) != SQLITE_DONE || sqlite3_changes(db) != 1) std::abort();
      sqlite3_finalize(s);
    }
  });
  volatile int64_t sink = 0;
  r.get = n / Seconds([&] {
    for (int i : order) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, kGet, -1, &s, nullptr);
      sqlite3_bind_text(s, 1, names[i].data(), static_cast<int>(names[i].size()), SQLITE_STATIC);
      if (sqlite3_step(s) != SQLITE_ROW) std::abort();
      sink = sink + sqlite3_column_bytes(s, 0) + sqlite3_column_int64(s, 3);
      sqlite3_finalize(s);
    }
  });
  int rows = 0;
  r.enumerate = Seconds([&] {
    for (int pass = 0; pass < 5; ++pass) {
      sqlite3_stmt* s = nullptr;
      sqlite3_prepare_v2(db, kEnum, -1, &s, nullptr);
      sqlite3_bind_int64(s, 1, 0);
      while (sqlite3_step(s) == SQLITE_ROW) {
        sink = sink + sqlite3_column_bytes(s, 0);
        for (int c = 1; c < 12; ++c) sink = sink + sqlite3_column_int64(s, c);
        ++rows;
      }
      sqlite3_finalize(s);
    }
  });
  r.enumerate = rows / r.enumerate;
  sqlite3_close(db);
  return r;
}

void Report(const char* title, int n, bool durable, int rounds) {
  const fs::path dir = fs::temp_directory_path();
  const fs::path a = dir / ("kelva_bench_catalog_" + std::to_string(::getpid()) + ".DIR");
  const fs::path b = dir / ("kelva_bench_direct_" + std::to_string(::getpid()) + ".db");
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  Rates best_c, best_d;
  for (int round = 0; round < rounds; ++round) {  // best of several, alternating
    const Rates c = RunCatalog(a, n, durable, order);
    const Rates d = RunDirect(b, n, durable, order);
    best_c = {std::max(best_c.insert, c.insert), std::max(best_c.get, c.get), std::max(best_c.enumerate, c.enumerate)};
    best_d = {std::max(best_d.insert, d.insert), std::max(best_d.get, d.get), std::max(best_d.enumerate, d.enumerate)};
  }
  RemoveDb(a);
  RemoveDb(b);
  std::printf("%s, %d entries, best of %d\n", title, n, rounds);
  std::printf("  %-12s %14s %14s %7s\n", "operation", "catalog/s", "direct/s", "ratio");
  const auto line = [](const char* op, double c, double d) {
    std::printf("  %-12s %14.0f %14.0f %7.3f\n", op, c, d, c / d);
  };
  line("InsertEntry", best_c.insert, best_d.insert);
  line("GetEntry", best_c.get, best_d.get);
  line("EnumEntries", best_c.enumerate, best_d.enumerate);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  Report("synchronous=OFF", n, false, 5);
  Report("default durability (synchronous=FULL, one log sync per commit)", std::min(n, 1000), true, 1);
  return 0;
}
