#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <random>
#include <thread>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace kelva::platform {

namespace fs = std::filesystem;

namespace {

// On disk: value files are "#" + escaped name; key folders are the escaped
// name, where a leading "#" or "." is escaped too, so that keys, values and
// the temporary files of a write (".tmp...") never collide.
std::string Escape(std::string_view name, bool is_key) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool special = c == '%' || c == '/' || (i == 0 && (c == '.' || (is_key && c == '#')));
    if (special) {
      static const char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return is_key ? out : "#" + out;
}

std::string Unescape(std::string_view file) {
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size()) {
      auto hex = [](char c) { return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10; };
      out += static_cast<char>(hex(file[i + 1]) << 4 | hex(file[i + 2]));
      i += 2;
    } else {
      out += file[i];
    }
  }
  return out;
}

std::string_view RootAlias(std::string_view part) {
  if (EqualNoCase(Utf8ToUtf16(part), u"HKLM")) return "HKEY_LOCAL_MACHINE";
  if (EqualNoCase(Utf8ToUtf16(part), u"HKU")) return "HKEY_USERS";
  if (EqualNoCase(Utf8ToUtf16(part), u"HKCU")) return "HKEY_CURRENT_USER";
  if (EqualNoCase(Utf8ToUtf16(part), u"HKCR")) return "HKEY_CLASSES_ROOT";
  return part;
}

// Finds the entry of folder named file_name, exactly or else without regard to
// case; empty when there is none.
std::string FindEntry(const fs::path& folder, const std::string& file_name) {
  std::error_code ec;
  if (fs::exists(folder / file_name, ec)) return file_name;
  DIR* d = opendir(folder.c_str());
  if (!d) return {};
  const std::u16string wanted = Utf8ToUtf16(Unescape(file_name));
  std::string found;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    if ((n[0] == '#') != (file_name[0] == '#')) continue;
    if (EqualNoCase(Utf8ToUtf16(Unescape(n)), wanted)) {
      found = n;
      break;
    }
  }
  closedir(d);
  return found;
}

std::vector<std::string> SplitKey(std::string_view key) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string_view::npos) end = key.size();
    if (end > start) parts.emplace_back(key.substr(start, end - start));
    start = end + 1;
  }
  if (!parts.empty()) parts[0] = std::string(RootAlias(parts[0]));
  return parts;
}

}  // namespace

Registry::Registry(fs::path root) : root_(root.empty() ? RegistryRoot() : std::move(root)) {}

Win32Error Registry::Resolve(std::string_view key, bool create, fs::path* folder) const {
  const std::vector<std::string> parts = SplitKey(key);
  if (parts.empty()) return ERROR_INVALID_PARAMETER;
  fs::path p = root_;
  if (create)
    if (Win32Error e = CreateDirectoryChain(root_)) return e;
  for (const std::string& part : parts) {
    const std::string escaped = Escape(part, true);
    std::string entry = FindEntry(p, escaped);
    if (entry.empty()) {
      if (!create) return ERROR_FILE_NOT_FOUND;
      entry = escaped;
      Win32Error e = CreateDirectory(p / entry);
      if (e && e != ERROR_ALREADY_EXISTS) return e;
    }
    p /= entry;
    if (!DirectoryExists(p)) return ERROR_FILE_NOT_FOUND;
  }
  *folder = p;
  return ERROR_SUCCESS;
}

Win32Error Registry::CreateKey(std::string_view key) {
  fs::path folder;
  return Resolve(key, true, &folder);
}

Win32Error Registry::OpenKey(std::string_view key, fs::path* folder) const {
  fs::path f;
  Win32Error e = Resolve(key, false, &f);
  if (!e && folder) *folder = f;
  return e;
}

Win32Error Registry::DeleteKeyTree(std::string_view key) {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ec ? FromErrno(ec.value()) : ERROR_SUCCESS;
}

Win32Error Registry::SetValue(std::string_view key, std::string_view name, uint32_t type, std::string_view data) {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  std::string entry = FindEntry(folder, Escape(name, false));
  if (entry.empty()) entry = Escape(name, false);
  std::string contents(4, '\0');
  for (int i = 0; i < 4; ++i) contents[i] = static_cast<char>(type >> (8 * i));
  contents.append(data);
  thread_local std::mt19937_64 rng{std::random_device{}()};
  const fs::path tmp = folder / (".tmp" + std::to_string(getpid()) + "." + std::to_string(rng()));
  if (Win32Error e = WriteWholeFile(tmp, contents)) return e;
  if (rename(tmp.c_str(), (folder / entry).c_str()) != 0) {
    const int err = errno;
    unlink(tmp.c_str());
    return FromErrno(err);
  }
  return ERROR_SUCCESS;
}

Win32Error Registry::QueryValue(std::string_view key, std::string_view name, uint32_t* type,
                                std::string* data) const {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  const std::string entry = FindEntry(folder, Escape(name, false));
  if (entry.empty()) return ERROR_FILE_NOT_FOUND;
  std::string contents;
  if (Win32Error e = ReadWholeFile(folder / entry, &contents)) return e;
  if (contents.size() < 4) return ERROR_INVALID_DATA;
  uint32_t t = 0;
  for (int i = 0; i < 4; ++i) t |= uint32_t(static_cast<uint8_t>(contents[i])) << (8 * i);
  if (type) *type = t;
  if (data) *data = contents.substr(4);
  return ERROR_SUCCESS;
}

Win32Error Registry::DeleteValue(std::string_view key, std::string_view name) {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  const std::string entry = FindEntry(folder, Escape(name, false));
  if (entry.empty()) return ERROR_FILE_NOT_FOUND;
  return DeleteFile(folder / entry);
}

namespace {
Win32Error ListEntries(const fs::path& folder, bool values, std::vector<std::string>* names) {
  names->clear();
  DIR* d = opendir(folder.c_str());
  if (!d) return FromErrno(errno);
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.empty() || n[0] == '.') continue;
    const bool is_value = n[0] == '#';
    if (is_value != values) continue;
    names->push_back(Unescape(is_value ? n.substr(1) : n));
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  return ERROR_SUCCESS;
}
}  // namespace

Win32Error Registry::EnumValues(std::string_view key, std::vector<std::string>* names) const {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  return ListEntries(folder, true, names);
}

Win32Error Registry::EnumKeys(std::string_view key, std::vector<std::string>* names) const {
  fs::path folder;
  if (Win32Error e = Resolve(key, false, &folder)) return e;
  return ListEntries(folder, false, names);
}

Win32Error Registry::SetDword(std::string_view key, std::string_view name, uint32_t value) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(value >> (8 * i));
  return SetValue(key, name, REG_DWORD, std::string_view(b, 4));
}

Win32Error Registry::QueryDword(std::string_view key, std::string_view name, uint32_t* value) const {
  uint32_t type = 0;
  std::string data;
  if (Win32Error e = QueryValue(key, name, &type, &data)) return e;
  if (type != REG_DWORD || data.size() != 4) return ERROR_INVALID_DATA;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(static_cast<uint8_t>(data[i])) << (8 * i);
  *value = v;
  return ERROR_SUCCESS;
}

Win32Error Registry::SetString(std::string_view key, std::string_view name, std::u16string_view value) {
  std::string data;
  for (char16_t c : value) {
    data += static_cast<char>(c & 0xFF);
    data += static_cast<char>(c >> 8);
  }
  data.append(2, '\0');
  return SetValue(key, name, REG_SZ, data);
}

Win32Error Registry::QueryString(std::string_view key, std::string_view name, std::u16string* value) const {
  uint32_t type = 0;
  std::string data;
  if (Win32Error e = QueryValue(key, name, &type, &data)) return e;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  value->clear();
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(static_cast<uint8_t>(data[i]) | static_cast<uint8_t>(data[i + 1]) << 8);
    if (c == 0) break;
    value->push_back(c);
  }
  return ERROR_SUCCESS;
}

namespace {

class InotifyKeyNotifier final : public KeyChangeNotifier {
 public:
  InotifyKeyNotifier(int ino, int wake) : ino_(ino), wake_(wake), thread_([this] { Run(); }) {}
  ~InotifyKeyNotifier() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
    thread_.join();
    close(ino_);
    close(wake_);
  }

  Win32Error Arm(Event* event) override {
    std::lock_guard<std::mutex> g(mu_);
    if (gone_) return ERROR_INVALID_HANDLE;
    event_ = event;
    return ERROR_SUCCESS;
  }

 private:
  void Run() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
      pollfd fds[2] = {{ino_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents & POLLIN) return;
      const ssize_t n = read(ino_, buf, sizeof buf);
      if (n <= 0) continue;
      bool changed = false, gone = false;
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) gone = true;
        // Only value files ("#...") count; subkey folders and temporary files do not.
        if (ev->len > 0 && ev->name[0] == '#') changed = true;
      }
      std::lock_guard<std::mutex> g(mu_);
      if (gone) gone_ = true;
      if ((changed || gone) && event_) event_->Set();
    }
  }

  int ino_;
  int wake_;
  std::mutex mu_;
  Event* event_ = nullptr;
  bool gone_ = false;
  std::thread thread_;
};

}  // namespace

Win32Error OpenKeyChangeNotifier(const Registry& registry, std::string_view key,
                                 std::unique_ptr<KeyChangeNotifier>* out) {
  fs::path folder;
  if (Win32Error e = registry.OpenKey(key, &folder)) return e;
  const int ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (ino < 0) return FromErrno(errno);
  const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_DELETE_SELF |
                        IN_MOVE_SELF | IN_ONLYDIR;
  if (inotify_add_watch(ino, folder.c_str(), mask) < 0) {
    const int err = errno;
    close(ino);
    return FromErrno(err);
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int err = errno;
    close(ino);
    return FromErrno(err);
  }
  out->reset(new InotifyKeyNotifier(ino, wake));
  return ERROR_SUCCESS;
}

}  // namespace kelva::platform
