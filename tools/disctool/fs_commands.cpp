#include "tools/disctool/fs_commands.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/errors.h"
#include "platform/text.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/volume_layout.h"

namespace kelva::disctool {

namespace fs = std::filesystem;
namespace pe = platform;

namespace {

constexpr size_t kCopyChunk = 1 << 20;

bool Writes(const std::string& c) { return c == "put" || c == "mkdir" || c == "rm"; }

// "/a/b/" -> "a\b"
std::u16string VolumePath(const std::string& path) {
  std::u16string p = pe::Utf8ToUtf16(path);
  std::replace(p.begin(), p.end(), u'/', u'\\');
  while (!p.empty() && p.front() == u'\\') p.erase(p.begin());
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  return p;
}

std::u16string Join(const std::u16string& a, const std::u16string& b) {
  return a.empty() ? b : a + u"\\" + b;
}

std::u16string BaseName(const std::u16string& p) {
  const size_t at = p.rfind(u'\\');
  return at == std::u16string::npos ? p : p.substr(at + 1);
}

std::string TimeText(pe::FileTime ft) {
  const pe::SystemTime st = pe::FileTimeToSystemTime(ft);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond);
  return buf;
}

class Session {
 public:
  Session(udf::UdfFileSystem& fs, bool force, FILE* out, FILE* err)
      : fs_(fs), force_(force), out_(out), err_(err) {}

  int Fail(const std::u16string& path, pe::Win32Error e) {
    std::fprintf(err_, "kelva-disctool: %s: %s\n", pe::Utf16ToUtf8(path).c_str(),
                 pe::ErrorText(e).c_str());
    return 1;
  }

  void Line(const udf::UdfFileInfo& i) {
    const bool dir = i.attributes & udf::kAttrDirectory;
    std::fprintf(out_, "%c %12llu  %s  %s%s\n", dir ? 'd' : '-',
                 static_cast<unsigned long long>(i.size), TimeText(i.lastWriteTime).c_str(),
                 pe::Utf16ToUtf8(i.name).c_str(), dir ? "/" : "");
  }

  int List(const std::u16string& path) {
    udf::UdfFileInfo info;
    if (!pe::HasWildcards(path)) {
      if (pe::Win32Error e = fs_.GetInfo(path, &info)) return Fail(path, e);
      if (!(info.attributes & udf::kAttrDirectory)) {
        Line(info);
        return 0;
      }
      std::vector<udf::UdfFileInfo> list;
      if (pe::Win32Error e = fs_.Enumerate(path, &list)) return Fail(path, e);
      std::sort(list.begin(), list.end(), [](auto& a, auto& b) { return a.name < b.name; });
      for (const auto& i : list) Line(i);
      return 0;
    }
    if (pe::Win32Error e = fs_.Find(path, [&](const udf::UdfFileInfo& i) {
          Line(i);
          return true;
        }))
      return Fail(path, e);
    return 0;
  }

  int GetFile(const std::u16string& path, const fs::path& dest) {
    std::unique_ptr<udf::UdfFile> f;
    if (pe::Win32Error e = fs_.Open(path, udf::UdfCreate::kOpenExisting, false, &f))
      return Fail(path, e);
    std::ofstream o(dest, std::ios::binary | std::ios::trunc);
    if (!o) return Fail(pe::Utf8ToUtf16(dest.string()), pe::ERROR_CANNOT_MAKE);
    std::vector<char> buf(kCopyChunk);
    for (uint64_t at = 0;;) {
      size_t done = 0;
      if (pe::Win32Error e = f->ReadAt(at, buf.data(), buf.size(), &done)) return Fail(path, e);
      if (done == 0) break;
      o.write(buf.data(), static_cast<std::streamsize>(done));
      at += done;
    }
    o.close();
    if (!o) return Fail(pe::Utf8ToUtf16(dest.string()), pe::ERROR_WRITE_FAULT);
    return 0;
  }

  int Get(const std::u16string& path, fs::path dest) {
    udf::UdfFileInfo info;
    if (pe::Win32Error e = fs_.GetInfo(path, &info)) return Fail(path, e);
    if (fs::is_directory(dest) && !path.empty())
      dest /= fs::path(pe::Utf16ToUtf8(BaseName(path)));
    if (!(info.attributes & udf::kAttrDirectory)) return GetFile(path, dest);
    std::error_code ec;
    fs::create_directories(dest, ec);
    std::vector<udf::UdfFileInfo> list;
    if (pe::Win32Error e = fs_.Enumerate(path, &list)) return Fail(path, e);
    for (const auto& i : list) {
      const fs::path target = dest / fs::path(pe::Utf16ToUtf8(i.name));
      const int rc = (i.attributes & udf::kAttrDirectory)
                         ? Get(Join(path, i.name), target)
                         : GetFile(Join(path, i.name), target);
      if (rc) return rc;
    }
    return 0;
  }

  int PutFile(const fs::path& src, const std::u16string& path) {
    std::ifstream in(src, std::ios::binary);
    if (!in) return Fail(pe::Utf8ToUtf16(src.string()), pe::ERROR_FILE_NOT_FOUND);
    std::unique_ptr<udf::UdfFile> f;
    pe::Win32Error e = fs_.Open(path, udf::UdfCreate::kCreateNew, true, &f);
    if (e == pe::ERROR_FILE_EXISTS) {
      // An existing file is kept unless --force asks to replace it (then as cp does).
      if (!force_) {
        std::fprintf(err_, "kelva-disctool: %s: the file exists (--force replaces it)\n",
                     pe::Utf16ToUtf8(path).c_str());
        return 1;
      }
      e = fs_.Open(path, udf::UdfCreate::kOpenExisting, true, &f);
      if (e == pe::ERROR_SUCCESS) e = f->SetEndOfFile(0);
    }
    if (e) return Fail(path, e);
    std::vector<char> buf(kCopyChunk);
    uint64_t at = 0;
    while (in) {
      in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
      const size_t n = static_cast<size_t>(in.gcount());
      if (n == 0) break;
      if (pe::Win32Error e = f->WriteAt(at, buf.data(), n)) return Fail(path, e);
      at += n;
    }
    std::error_code ec;
    const auto mtime = fs::last_write_time(src, ec);
    if (!ec) {
      const auto sys = std::chrono::file_clock::to_sys(mtime);
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sys.time_since_epoch()).count();
      const pe::FileTime ft = pe::kUnixEpochAsFileTime + static_cast<uint64_t>(ns / 100);
      f->SetTimes(0, 0, ft);
    }
    return 0;
  }

  int Put(const fs::path& src, std::u16string path) {
    udf::UdfFileInfo info;
    if (fs_.GetInfo(path, &info) == 0 && (info.attributes & udf::kAttrDirectory))
      path = Join(path, pe::Utf8ToUtf16(src.filename().string()));
    if (!fs::is_directory(src)) return PutFile(src, path);
    if (pe::Win32Error e = fs_.CreateFolder(path); e && e != pe::ERROR_ALREADY_EXISTS)
      return Fail(path, e);
    std::vector<fs::directory_entry> entries(fs::directory_iterator(src), {});
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
      const std::u16string target = Join(path, pe::Utf8ToUtf16(entry.path().filename().string()));
      const int rc = entry.is_directory() ? Put(entry.path(), target) : PutFile(entry.path(), target);
      if (rc) return rc;
    }
    return 0;
  }

  int MakeFolder(const std::u16string& path) {
    std::u16string prefix;
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = path.find(u'\\', start);
      if (end == std::u16string::npos) end = path.size();
      prefix = path.substr(0, end);
      const pe::Win32Error e = fs_.CreateFolder(prefix);
      if (e && !(e == pe::ERROR_ALREADY_EXISTS && end < path.size())) return Fail(prefix, e);
      start = end + 1;
    }
    return 0;
  }

  int Remove(const std::u16string& path) {
    udf::UdfFileInfo info;
    if (pe::Win32Error e = fs_.GetInfo(path, &info)) return Fail(path, e);
    const pe::Win32Error e = (info.attributes & udf::kAttrDirectory) ? fs_.RemoveFolder(path)
                                                                     : fs_.Delete(path);
    return e ? Fail(path, e) : 0;
  }

 private:
  udf::UdfFileSystem& fs_;
  bool force_;
  FILE* out_;
  FILE* err_;
};

}  // namespace

bool IsFileCommand(const std::string& c) {
  return c == "ls" || c == "get" || c == "put" || c == "mkdir" || c == "rm" || c == "df" ||
         c == "check";
}

bool FileCommandOperandsOk(const Options& o, std::string* error) {
  const size_t n = o.operands.size();
  const std::string& c = o.command;
  const bool ok = (c == "ls" && n <= 1) || ((c == "get" || c == "put") && n == 2) ||
                  ((c == "mkdir" || c == "rm") && n == 1) || ((c == "df" || c == "check") && n == 0);
  if (!ok) *error = "wrong number of operands for " + c;
  return ok;
}

int RunFileCommand(const Options& o, udf::IUdfDrive& drive, FILE* out, FILE* err) {
  // The medium decides how the volume is written; an image has no tracks, so a
  // write-once volume in an image follows its recorded blocks instead.
  bool recordable = false;
  if (o.image.empty()) {
    std::vector<uint8_t> config(512);
    if (drive.GetConfiguration(0, config) == 0)
      recordable = udf::CurrentProfileFromConfiguration(config) == udf::kProfileBdrSequential;
  }
  udf::DriveSectorDevice device(&drive, recordable);
  udf::UdfMountOptions mo;
  mo.readOnly = !Writes(o.command);
  std::unique_ptr<udf::UdfFileSystem> fs;
  if (pe::Win32Error e = udf::UdfFileSystem::Mount(&device, mo, &fs)) {
    std::fprintf(err, "kelva-disctool: cannot mount the volume: %s\n", pe::ErrorText(e).c_str());
    return 1;
  }
  Session s(*fs, o.force, out, err);
  const std::vector<std::string>& a = o.operands;
  int rc = 0;
  if (o.command == "ls") {
    rc = s.List(VolumePath(a.empty() ? "/" : a[0]));
  } else if (o.command == "get") {
    rc = s.Get(VolumePath(a[0]), a[1]);
  } else if (o.command == "put") {
    rc = s.Put(a[0], VolumePath(a[1]));
  } else if (o.command == "mkdir") {
    rc = s.MakeFolder(VolumePath(a[0]));
  } else if (o.command == "rm") {
    rc = s.Remove(VolumePath(a[0]));
  } else if (o.command == "df") {
    uint64_t free_bytes = 0, total = 0;
    udf::UdfVolumeInfo vi;
    fs->GetVolumeInformation(&vi);
    // Free space is counted on a writable mount (a read-only one reports none).
    std::unique_ptr<udf::UdfFileSystem> rw;
    udf::DriveSectorDevice device2(&drive, recordable);
    if (!vi.integrityOpen) {
      fs.reset();
      if (udf::UdfFileSystem::Mount(&device2, {}, &rw) == 0) rw->GetFreeSpace(&free_bytes, &total);
    }
    std::fprintf(out, "file system  %s %x.%02x, %s%s\n", vi.fileSystemName.c_str(),
                 vi.udfRevision >> 8, vi.udfRevision & 0xFF,
                 vi.recordable ? "recordable" : "rewritable",
                 vi.integrityOpen ? ", integrity open (read-only)" : "");
    std::fprintf(out, "free         %llu bytes of %llu\n", static_cast<unsigned long long>(free_bytes),
                 static_cast<unsigned long long>(total));
    return 0;
  } else if (o.command == "check") {
    std::vector<std::string> problems;
    fs->Check(&problems);
    for (const auto& p : problems) std::fprintf(out, "problem: %s\n", p.c_str());
    std::fprintf(out, "%s: %zu problem(s)\n", problems.empty() ? "clean" : "damaged", problems.size());
    return problems.empty() ? 0 : 1;
  }
  if (Writes(o.command)) {
    if (pe::Win32Error e = fs->Dismount()) {
      std::fprintf(err, "kelva-disctool: writing the volume back failed: %s\n",
                   pe::ErrorText(e).c_str());
      return 1;
    }
  }
  return rc;
}

}  // namespace kelva::disctool
