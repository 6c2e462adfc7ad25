#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 14)
#include "platform/fshost/fs_storage.h"

#include <fuse3/fuse.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "platform/fshost/file_names.h"
#include "platform/guid.h"
#include "platform/fshost/win32_errno.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace kelva::platform {

namespace {

// Extended attributes: "user.NAME" is the named stream NAME. The system's
// attributes and the deleted-entry marker live under "user.kelva:", which no
// stream can use because stream names never hold a colon.
constexpr std::string_view kUserPrefix = "user.";
constexpr std::string_view kAttributesXattr = "user.kelva:attributes";
constexpr std::string_view kDeletedXattr = "user.kelva:deleted";

std::once_flag g_init_once;

// Which storage of this process holds each drive letter (its volume name).
std::mutex g_letters_mu;
std::u16string g_letter_volumes[26];

void SetLetterVolume(char letter, std::u16string name) {
  std::lock_guard lock(g_letters_mu);
  g_letter_volumes[letter - 'A'] = std::move(name);
}
Win32Error g_init_result = ERROR_SUCCESS;

FsStorage* Self() { return static_cast<FsStorage*>(fuse_get_context()->private_data); }
IFsEventHandler* Handler() { return Self()->handler(); }
FsContext Ctx(const fuse_file_info* fi) { return fi ? reinterpret_cast<FsContext>(fi->fh) : nullptr; }

// "/a/b" (UTF-8) as the volume's "\a\b" (UTF-16); empty when the request
// names an open file by its context only.
std::u16string VolumePath(const char* path) {
  if (path == nullptr) return {};
  std::u16string out = Utf8ToUtf16(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  if (out.empty()) out = u"\\";
  return out;
}

bool LastNameAllowed(std::u16string_view path) {
  return IsAllowedFileName(path.substr(path.rfind(u'\\') + 1));
}

int Reply(Win32Error code) { return -Win32ToErrno(code); }

// Every handler call goes through Guard so that no exception reaches libfuse.
template <typename F>
int Guard(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return -ENOMEM;
  } catch (...) {
    return -EIO;
  }
}

mode_t BaseMode(const FsStorageSettings& s, bool dir) {
  return (dir ? (S_IFDIR | 0777) : (S_IFREG | 0666)) & ~s.umask;
}

void FillStat(const FsStorageSettings& s, const FsFileInfo& info, struct stat* st) {
  std::memset(st, 0, sizeof(*st));
  const bool dir = (info.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  st->st_mode = BaseMode(s, dir);
  if (info.attributes & FILE_ATTRIBUTE_READONLY) st->st_mode &= ~static_cast<mode_t>(0222);
  st->st_nlink = dir ? 2 : 1;
  st->st_uid = s.uid;
  st->st_gid = s.gid;
  st->st_size = static_cast<off_t>(info.size);
  st->st_blksize = s.cluster_size;
  st->st_blocks = static_cast<blkcnt_t>((info.allocation + 511) / 512);
  st->st_atim = TimespecFromFileTime(info.access);
  st->st_mtim = TimespecFromFileTime(info.write);
  st->st_ctim = TimespecFromFileTime(info.change ? info.change : info.write);
}

// ---- the requests ----

void* OpInit(fuse_conn_info* conn, fuse_config* cfg) {
  FsStorage* self = Self();
  const FsStorageSettings& s = self->settings();
  cfg->entry_timeout = s.entry_timeout;
  cfg->attr_timeout = s.attr_timeout;
  cfg->negative_timeout = s.negative_timeout;
  // Requests on open files carry the volume's open context, not a path: no
  // path is built for them, and deleting an open file deletes it at once
  // (the volume keeps the open object alive) instead of hiding it.
  cfg->nullpath_ok = 1;
  cfg->hard_remove = 1;
  // Keep the page cache across opens while size and time stay the same.
  cfg->auto_cache = 1;
  cfg->use_ino = 0;
  conn->max_write = 1u << 20;
  // Every listing carries each entry's attributes (the volume reads them for
  // the listing anyway), so a stat after readdir is answered by the kernel's
  // cache. The automatic mode would alternate plain and plus listings and
  // send one lookup per entry for every plain one.
  conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // Opens with O_TRUNC reach the volume as a separate size change to 0: the
  // open itself does not cut the file.
  conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
  return self;
}

int OpGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return Guard([&] {
    FsFileInfo info;
    Win32Error err = Handler()->OnGetFileInfo(VolumePath(path), Ctx(fi), &info);
    if (err) return Reply(err);
    FillStat(Self()->settings(), info, st);
    return 0;
  });
}

int OpCreate(const char* path, mode_t, fuse_file_info* fi) {
  return Guard([&] {
    std::u16string p = VolumePath(path);
    if (!LastNameAllowed(p)) return -EINVAL;
    FsContext ctx = nullptr;
    Win32Error err = Handler()->OnCreateFile(p, FILE_ATTRIBUTE_ARCHIVE, &ctx);
    if (err) return Reply(err);
    Self()->TrackOpen(ctx, false);
    fi->fh = reinterpret_cast<uint64_t>(ctx);
    return 0;
  });
}

int OpMkdir(const char* path, mode_t) {
  return Guard([&] {
    std::u16string p = VolumePath(path);
    if (!LastNameAllowed(p)) return -EINVAL;
    return Reply(Handler()->OnCreateDirectory(p));
  });
}

int OpOpen(const char* path, fuse_file_info* fi) {
  return Guard([&] {
    FsContext ctx = nullptr;
    const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
    Win32Error err = Handler()->OnOpenFile(VolumePath(path), write, &ctx);
    if (err) return Reply(err);
    Self()->TrackOpen(ctx, false);
    fi->fh = reinterpret_cast<uint64_t>(ctx);
    return 0;
  });
}

int OpOpendir(const char* path, fuse_file_info* fi) {
  return Guard([&] {
    FsContext ctx = nullptr;
    Win32Error err = Handler()->OnOpenDirectory(VolumePath(path), &ctx);
    if (err) return Reply(err);
    Self()->TrackOpen(ctx, true);
    fi->fh = reinterpret_cast<uint64_t>(ctx);
    return 0;
  });
}

int OpRelease(const char*, fuse_file_info* fi) {
  return Guard([&] {
    Self()->TrackRelease(Ctx(fi));
    Handler()->OnCloseFile(Ctx(fi));
    return 0;
  });
}

int OpReleasedir(const char*, fuse_file_info* fi) {
  return Guard([&] {
    Self()->TrackRelease(Ctx(fi));
    Handler()->OnCloseDirectory(Ctx(fi));
    return 0;
  });
}

int OpReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info* fi,
              fuse_readdir_flags flags) {
  return Guard([&] {
    const FsStorageSettings& s = Self()->settings();
    const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
    const auto fill_flags = plus ? FUSE_FILL_DIR_PLUS : static_cast<fuse_fill_dir_flags>(0);
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    Win32Error err = Handler()->OnEnumerateDirectory(
        VolumePath(path), Ctx(fi), [&](const FsDirEntry& entry) {
          struct stat st;
          FillStat(s, entry.info, &st);
          return filler(buf, Utf16ToUtf8(entry.name).c_str(), &st, 0, fill_flags) == 0;
        });
    return Reply(err);
  });
}

int OpRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return Guard([&] {
    size_t done = 0;
    Win32Error err = Handler()->OnReadFile(Ctx(fi), static_cast<uint64_t>(offset), buf, size, &done);
    if (err && err != ERROR_HANDLE_EOF) return Reply(err);
    return static_cast<int>(done);
  });
}

int OpWrite(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return Guard([&] {
    size_t done = 0;
    Win32Error err = Handler()->OnWriteFile(Ctx(fi), static_cast<uint64_t>(offset), buf, size, &done);
    if (err) return Reply(err);
    return static_cast<int>(done);
  });
}

int OpTruncate(const char* path, off_t size, fuse_file_info* fi) {
  return Guard([&] {
    return Reply(Handler()->OnSetEndOfFile(VolumePath(path), Ctx(fi), static_cast<uint64_t>(size)));
  });
}

int OpFallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* fi) {
  return Guard([&] {
    if (mode != 0 || fi == nullptr) return -EOPNOTSUPP;
    return Reply(Handler()->OnSetAllocationSize(Ctx(fi), static_cast<uint64_t>(offset + length)));
  });
}

FileTime TimeOf(const timespec& ts, FileTime now) {
  if (ts.tv_nsec == UTIME_OMIT) return 0;
  if (ts.tv_nsec == UTIME_NOW) return now;
  return FileTimeFromTimespec(ts);
}

int OpUtimens(const char* path, const timespec tv[2], fuse_file_info* fi) {
  return Guard([&] {
    timespec now_ts;
    clock_gettime(CLOCK_REALTIME, &now_ts);
    const FileTime now = FileTimeFromTimespec(now_ts);
    FsTimes times;
    if (tv == nullptr) {
      times.access = times.write = now;
    } else {
      times.access = TimeOf(tv[0], now);
      times.write = TimeOf(tv[1], now);
    }
    return Reply(Handler()->OnSetTimes(VolumePath(path), Ctx(fi), times));
  });
}

// Only the read-only attribute can be stored: a mode without any write bit
// sets it, a mode with one clears it; bits beyond the mount's own permissions
// cannot be kept and are refused.
int OpChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  return Guard([&] {
    std::u16string p = VolumePath(path);
    FsFileInfo info;
    Win32Error err = Handler()->OnGetFileInfo(p, Ctx(fi), &info);
    if (err) return Reply(err);
    const FsStorageSettings& s = Self()->settings();
    const mode_t base = BaseMode(s, info.attributes & FILE_ATTRIBUTE_DIRECTORY) & 07777;
    if ((mode & 07777 & ~base) != 0) return -EPERM;
    uint32_t attributes = info.attributes & ~FILE_ATTRIBUTE_READONLY;
    if ((mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    if (attributes == info.attributes) return 0;
    return Reply(Handler()->OnSetAttributes(p, attributes));
  });
}

int OpChown(const char*, uid_t uid, gid_t gid, fuse_file_info*) {
  const FsStorageSettings& s = Self()->settings();
  const bool uid_same = uid == static_cast<uid_t>(-1) || uid == s.uid;
  const bool gid_same = gid == static_cast<gid_t>(-1) || gid == s.gid;
  return (uid_same && gid_same) ? 0 : -EPERM;
}

int OpUnlink(const char* path) {
  return Guard([&] { return Reply(Handler()->OnDeleteFile(VolumePath(path))); });
}

int OpRmdir(const char* path) {
  return Guard([&] { return Reply(Handler()->OnDeleteDirectory(VolumePath(path))); });
}

int OpRename(const char* from, const char* to, unsigned int flags) {
  return Guard([&] {
    if (flags & RENAME_EXCHANGE) return -EINVAL;
    std::u16string target = VolumePath(to);
    if (!LastNameAllowed(target)) return -EINVAL;
    return Reply(Handler()->OnRename(VolumePath(from), target, (flags & RENAME_NOREPLACE) == 0));
  });
}

int OpStatfs(const char*, struct statvfs* st) {
  return Guard([&] {
    uint64_t total = 0, free_bytes = 0;
    Win32Error err = Handler()->OnGetVolumeSize(&total, &free_bytes);
    if (err) return Reply(err);
    const FsStorageSettings& s = Self()->settings();
    std::memset(st, 0, sizeof(*st));
    st->f_bsize = s.cluster_size;
    st->f_frsize = s.cluster_size;
    st->f_blocks = total / s.cluster_size;
    st->f_bfree = free_bytes / s.cluster_size;
    st->f_bavail = st->f_bfree;
    st->f_namemax = s.max_file_name_length;
    return 0;
  });
}

int OpFlush(const char*, fuse_file_info* fi) {
  return Guard([&] { return Reply(Handler()->OnFlushFile(Ctx(fi))); });
}

int OpFsync(const char*, int datasync, fuse_file_info* fi) {
  return Guard([&] { return Reply(Handler()->OnSyncFile(Ctx(fi), datasync != 0)); });
}

int OpFsyncdir(const char*, int, fuse_file_info* fi) {
  return Guard([&] { return Reply(Handler()->OnSyncDirectory(Ctx(fi))); });
}

// Copies value into buf the way getxattr and listxattr answer: the size when
// size is 0, ERANGE when it does not fit.
int XattrAnswer(std::string_view value, char* buf, size_t size) {
  if (value.size() > INT_MAX) return -E2BIG;
  if (size == 0) return static_cast<int>(value.size());
  if (value.size() > size) return -ERANGE;
  std::memcpy(buf, value.data(), value.size());
  return static_cast<int>(value.size());
}

// The stream named by a "user.NAME" attribute; empty when the name is not one.
std::u16string StreamOf(std::string_view name) {
  if (name.substr(0, kUserPrefix.size()) != kUserPrefix) return {};
  return Utf8ToUtf16(name.substr(kUserPrefix.size()));
}

int OpGetxattr(const char* path, const char* name, char* buf, size_t size) {
  return Guard([&] {
    std::u16string p = VolumePath(path);
    if (name == kAttributesXattr || name == kDeletedXattr) {
      FsFileInfo info;
      Win32Error err = Handler()->OnGetFileInfo(p, nullptr, &info);
      if (err) return Reply(err);
      char text[16];
      if (name == kAttributesXattr) {
        std::snprintf(text, sizeof(text), "0x%08X", info.attributes);
      } else {
        std::snprintf(text, sizeof(text), "%d", info.deleted ? 1 : 0);
      }
      return XattrAnswer(text, buf, size);
    }
    std::u16string stream = StreamOf(name);
    if (stream.empty()) return -ENODATA;
    std::string data;
    Win32Error err = Handler()->OnReadStream(p, stream, &data);
    if (err == ERROR_FILE_NOT_FOUND) return -ENODATA;
    if (err) return Reply(err);
    return XattrAnswer(data, buf, size);
  });
}

int OpSetxattr(const char* path, const char* name, const char* value, size_t size, int flags) {
  return Guard([&] {
    std::u16string p = VolumePath(path);
    if (name == kDeletedXattr) return -EPERM;
    if (name == kAttributesXattr) {
      std::string text(value, size);
      char* end = nullptr;
      errno = 0;
      unsigned long attributes = std::strtoul(text.c_str(), &end, 0);
      if (errno != 0 || end == text.c_str() || *end != '\0' || attributes > UINT32_MAX) return -EINVAL;
      return Reply(Handler()->OnSetAttributes(p, static_cast<uint32_t>(attributes)));
    }
    std::u16string stream = StreamOf(name);
    if (stream.empty()) return -ENOTSUP;
    if (!IsAllowedFileName(stream)) return -EINVAL;
    Win32Error err = Handler()->OnWriteStream(p, stream, std::string_view(value, size),
                                              (flags & XATTR_CREATE) != 0, (flags & XATTR_REPLACE) != 0);
    if (err == ERROR_FILE_NOT_FOUND && (flags & XATTR_REPLACE)) return -ENODATA;
    return Reply(err);
  });
}

int OpListxattr(const char* path, char* buf, size_t size) {
  return Guard([&] {
    std::vector<std::u16string> streams;
    Win32Error err = Handler()->OnEnumerateStreams(VolumePath(path), &streams);
    if (err) return Reply(err);
    std::string list;
    for (const std::u16string& stream : streams) {
      list.append(kUserPrefix).append(Utf16ToUtf8(stream)).push_back('\0');
    }
    list.append(kAttributesXattr).push_back('\0');
    list.append(kDeletedXattr).push_back('\0');
    return XattrAnswer(list, buf, size);
  });
}

int OpRemovexattr(const char* path, const char* name) {
  return Guard([&] {
    if (name == kAttributesXattr || name == kDeletedXattr) return -EPERM;
    std::u16string stream = StreamOf(name);
    if (stream.empty()) return -ENOTSUP;
    Win32Error err = Handler()->OnDeleteStream(VolumePath(path), stream);
    if (err == ERROR_FILE_NOT_FOUND) return -ENODATA;
    return Reply(err);
  });
}

fuse_operations MakeOperations() {
  fuse_operations ops{};
  ops.init = OpInit;
  ops.getattr = OpGetattr;
  ops.create = OpCreate;
  ops.mkdir = OpMkdir;
  ops.open = OpOpen;
  ops.opendir = OpOpendir;
  ops.release = OpRelease;
  ops.releasedir = OpReleasedir;
  ops.readdir = OpReaddir;
  ops.read = OpRead;
  ops.write = OpWrite;
  ops.truncate = OpTruncate;
  ops.fallocate = OpFallocate;
  ops.utimens = OpUtimens;
  ops.chmod = OpChmod;
  ops.chown = OpChown;
  ops.unlink = OpUnlink;
  ops.rmdir = OpRmdir;
  ops.rename = OpRename;
  ops.statfs = OpStatfs;
  ops.flush = OpFlush;
  ops.fsync = OpFsync;
  ops.fsyncdir = OpFsyncdir;
  ops.getxattr = OpGetxattr;
  ops.setxattr = OpSetxattr;
  ops.listxattr = OpListxattr;
  ops.removexattr = OpRemovexattr;
  return ops;
}

const fuse_operations kOperations = MakeOperations();

bool ParseDrive(std::string_view drive, char* letter) {
  if (drive.size() != 2 || drive[1] != ':') return false;
  char c = drive[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (c < 'A' || c > 'Z') return false;
  *letter = c;
  return true;
}

// True when another file system is mounted at path. The mount of a session
// that died with its process (the folder answers ENOTCONN) is taken away.
bool IsMountPoint(const std::filesystem::path& path) {
  struct stat st, parent;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOTCONN) return false;
    ::umount2(path.c_str(), MNT_DETACH);
    return ::stat(path.c_str(), &st) != 0;
  }
  if (::stat(path.parent_path().c_str(), &parent) != 0) return false;
  return st.st_dev != parent.st_dev;
}

}  // namespace

std::string StorageGuidFor(std::u16string_view raw_volume_name) {
  constexpr std::u16string_view kPrefix = u"\\\\?\\Volume";
  if (raw_volume_name.size() >= kPrefix.size() + 38 &&
      EqualNoCase(raw_volume_name.substr(0, kPrefix.size()), kPrefix)) {
    if (auto guid = Guid::Parse(Utf16ToUtf8(raw_volume_name.substr(kPrefix.size(), 38)))) {
      guid->data1 ^= 1;
      return guid->ToString();
    }
  }
  std::random_device random;
  Guid guid;
  guid.data1 = random();
  guid.data2 = static_cast<uint16_t>(random());
  guid.data3 = static_cast<uint16_t>((random() & 0x0FFF) | 0x4000);
  for (uint8_t& b : guid.data4) b = static_cast<uint8_t>(random());
  guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);
  return guid.ToString();
}

gid_t DefaultMountGroup() {
  const char* setting = std::getenv("KELVA_MOUNT_GROUP");
  std::string name = (setting && *setting) ? setting : "kelva";
  char* end = nullptr;
  unsigned long number = std::strtoul(name.c_str(), &end, 10);
  if (end != name.c_str() && *end == '\0') return static_cast<gid_t>(number);
  std::vector<char> buffer(16384);
  struct group entry, *found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->gr_gid;
  }
  KLOG_WARN("mount group \"%s\" does not exist; mounts belong to group 0 until it is created", name.c_str());
  return 0;
}

Win32Error InitializeHost(std::string_view product_id) {
  std::call_once(g_init_once, [&] {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      g_init_result = ERROR_NOT_SUPPORTED;
      KLOG_ERROR("file system host: /dev/fuse is not usable (%s)", std::strerror(errno));
      return;
    }
    KLOG_DEBUG("file system host initialised (%.*s, libfuse %d)", static_cast<int>(product_id.size()),
               product_id.data(), fuse_version());
  });
  return g_init_result;
}

FsStorage::FsStorage(const FsStorageSettings& settings, IFsEventHandler* handler)
    : settings_(settings), handler_(handler) {}

Win32Error FsStorage::Create(const FsStorageSettings& settings, IFsEventHandler* handler,
                             std::unique_ptr<FsStorage>* out) {
  if (handler == nullptr || settings.cluster_size == 0) return ERROR_INVALID_PARAMETER;
  Win32Error err = InitializeHost(kHostProductId);
  if (err) return err;
  out->reset(new FsStorage(settings, handler));
  return ERROR_SUCCESS;
}

FsStorage::~FsStorage() {
  Delete();
  std::lock_guard lock(mu_);
  if (session_thread_.joinable()) {
    if (session_thread_.get_id() == std::this_thread::get_id()) {
      session_thread_.detach();  // deleted from its own ejection notice; it touches nothing after
    } else {
      session_thread_.join();
    }
  }
}

std::filesystem::path FsStorage::MountPointPath(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
  return MountRoot() / std::string(1, letter);
}

Win32Error FsStorage::AddMountPoint(std::string_view drive) {
  char letter;
  if (!ParseDrive(drive, &letter)) return ERROR_INVALID_NAME;
  std::lock_guard lock(mu_);
  if (deleted_) return ERROR_INVALID_HANDLE;
  if (!mount_points_.empty()) return ERROR_ALREADY_EXISTS;
  const std::filesystem::path path = MountPointPath(letter);
  if (IsMountPoint(path)) return ERROR_BUSY;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return FromErrno(ec.value());
  mount_points_.push_back(std::string{letter, ':'});
  SetLetterVolume(letter, VolumeName());
  return ERROR_SUCCESS;
}

std::vector<std::string> FsStorage::MountPoints() const {
  std::lock_guard lock(mu_);
  return mount_points_;
}

Win32Error FsStorage::DeleteMountPoint(std::string_view drive) {
  char letter;
  if (!ParseDrive(drive, &letter)) return ERROR_INVALID_NAME;
  std::lock_guard lock(mu_);
  auto it = std::find(mount_points_.begin(), mount_points_.end(), std::string{letter, ':'});
  if (it == mount_points_.end()) return ERROR_FILE_NOT_FOUND;
  if (active_) return ERROR_BUSY;
  mount_points_.erase(it);
  SetLetterVolume(letter, {});
  std::error_code ec;
  std::filesystem::remove(MountPointPath(letter), ec);  // only when empty; a user's folder stays
  return ERROR_SUCCESS;
}

uint32_t FsStorage::LogicalDriveMask() {
  uint32_t mask = 0;
  for (int index = 0; index < 26; ++index) {
    std::error_code ec;
    if (std::filesystem::exists(MountPointPath(static_cast<char>('A' + index)), ec)) mask |= 1u << index;
  }
  return mask;
}

Win32Error FsStorage::VolumeNameForMountPoint(char letter, std::u16string* name) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
  if (letter < 'A' || letter > 'Z') return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(g_letters_mu);
  if (g_letter_volumes[letter - 'A'].empty()) return ERROR_FILE_NOT_FOUND;
  *name = g_letter_volumes[letter - 'A'];
  return ERROR_SUCCESS;
}

std::u16string FsStorage::VolumeName() const {
  if (settings_.storage_guid.empty()) return {};
  return u"\\\\?\\Volume" + Utf8ToUtf16(settings_.storage_guid) + u"\\";
}

Win32Error FsStorage::MountMedia() {
  std::unique_lock lock(mu_);
  if (deleted_) return ERROR_INVALID_HANDLE;
  if (active_) return ERROR_ALREADY_EXISTS;
  if (mount_points_.empty()) return ERROR_PATH_NOT_FOUND;
  if (session_thread_.joinable()) session_thread_.join();  // an ended session's thread
  const std::filesystem::path path = MountPointPath(mount_points_.front()[0]);

  std::string options = "allow_other,default_permissions,noatime,fsname=" + settings_.file_system_name;
  if (!settings_.storage_guid.empty()) options += "-" + settings_.storage_guid;
  options += ",subtype=kelva";
  const char* argv[] = {"kelva", "-o", options.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  struct fuse* session = fuse_new(&args, &kOperations, sizeof(kOperations), this);
  fuse_opt_free_args(&args);
  if (session == nullptr) return ERROR_GEN_FAILURE;
  if (IsMountPoint(path)) {
    fuse_destroy(session);
    return ERROR_BUSY;
  }
  if (fuse_mount(session, path.c_str()) != 0) {
    fuse_destroy(session);
    KLOG_ERROR("mounting %s failed", path.c_str());
    return ERROR_OPEN_FAILED;
  }
  session_ = session;
  mounted_at_ = path;
  active_ = true;
  unmount_requested_ = false;
  {
    std::lock_guard inval_lock(inval_mu_);
    inval_stop_ = false;
    inval_queue_.clear();
  }
  inval_thread_ = std::thread(&FsStorage::InvalidationMain, this);
  session_thread_ = std::thread(&FsStorage::SessionMain, this, session);
  KLOG_INFO("mounted %s at %s", settings_.file_system_name.c_str(), path.c_str());
  return ERROR_SUCCESS;
}

void FsStorage::SessionMain(struct fuse* session) {
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, settings_.max_threads);
  fuse_loop_cfg_set_clone_fd(config, 1);
  fuse_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);

  std::unique_lock lock(mu_);
  if (unmount_requested_) return;  // UnmountMedia frees the session
  // Removed from outside: the storage is gone, as when the user ejects a drive.
  KLOG_INFO("%s was unmounted from outside; the storage is ejected", mounted_at_.c_str());
  ReleaseSession(session);
  deleted_ = true;
  for (const std::string& drive : mount_points_) {
    std::error_code ec;
    std::filesystem::remove(MountPointPath(drive[0]), ec);
    SetLetterVolume(drive[0], {});
  }
  mount_points_.clear();
  IFsEventHandler* handler = handler_;
  lock.unlock();
  handler->OnStorageEjected();  // may delete this storage: touch nothing after
}

void FsStorage::ReleaseSession(struct fuse* session) {
  {
    std::lock_guard inval_lock(inval_mu_);
    inval_stop_ = true;
  }
  inval_cv_.notify_all();
  if (inval_thread_.joinable()) inval_thread_.join();
  fuse_unmount(session);
  fuse_destroy(session);
  session_ = nullptr;
  active_ = false;
  std::unordered_map<FsContext, bool> left;
  {
    std::lock_guard open_lock(open_mu_);
    left.swap(open_);
  }
  for (const auto& [context, dir] : left) {
    if (dir) {
      handler_->OnCloseDirectory(context);
    } else {
      handler_->OnCloseFile(context);
    }
  }
}

void FsStorage::TrackOpen(FsContext context, bool dir) {
  if (context == nullptr) return;
  std::lock_guard lock(open_mu_);
  open_[context] = dir;
}

void FsStorage::TrackRelease(FsContext context) {
  std::lock_guard lock(open_mu_);
  open_.erase(context);
}

Win32Error FsStorage::UnmountMedia() {
  std::unique_lock lock(mu_);
  if (!active_ || unmount_requested_) return ERROR_SUCCESS;
  unmount_requested_ = true;
  struct fuse* session = session_;
  // MNT_FORCE aborts the connection, so requests in flight and open files
  // fail instead of holding the unmount; MNT_DETACH takes the mount away now.
  if (::umount2(mounted_at_.c_str(), MNT_FORCE | MNT_DETACH) != 0 && errno != EINVAL) {
    KLOG_WARN("forced unmount of %s: %s", mounted_at_.c_str(), std::strerror(errno));
    fuse_exit(session);
  }
  std::thread thread = std::move(session_thread_);
  lock.unlock();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  lock.lock();
  ReleaseSession(session);
  unmount_requested_ = false;
  KLOG_INFO("unmounted %s", mounted_at_.c_str());
  return ERROR_SUCCESS;
}

bool FsStorage::IsActive() const {
  std::lock_guard lock(mu_);
  return active_;
}

bool FsStorage::IsDeleted() const {
  std::lock_guard lock(mu_);
  return deleted_;
}

Win32Error FsStorage::Delete() {
  UnmountMedia();
  std::lock_guard lock(mu_);
  if (deleted_) return ERROR_SUCCESS;
  deleted_ = true;
  for (const std::string& drive : mount_points_) {
    std::error_code ec;
    std::filesystem::remove(MountPointPath(drive[0]), ec);
    SetLetterVolume(drive[0], {});
  }
  mount_points_.clear();
  return ERROR_SUCCESS;
}

void FsStorage::NotifyDirectoryChange(std::u16string_view path, uint32_t) {
  std::string utf8 = Utf16ToUtf8(path);
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  if (utf8.empty()) utf8 = "/";
  std::lock_guard lock(inval_mu_);
  if (inval_stop_) return;
  inval_queue_.push_back(std::move(utf8));
  inval_cv_.notify_one();
}

// Invalidations go out from a thread of their own: the kernel may hold the
// folder's lock while the request that caused the change is still running.
void FsStorage::InvalidationMain() {
  std::unique_lock lock(inval_mu_);
  for (;;) {
    inval_cv_.wait(lock, [&] { return inval_stop_ || !inval_queue_.empty(); });
    if (inval_stop_) return;
    std::string path = std::move(inval_queue_.front());
    inval_queue_.pop_front();
    struct fuse* session = session_;  // stays valid until this thread is joined
    lock.unlock();
    fuse_invalidate_path(session, path.c_str());
    if (path != "/") {
      size_t slash = path.rfind('/');
      fuse_invalidate_path(session, slash == 0 ? "/" : path.substr(0, slash).c_str());
    }
    lock.lock();
  }
}

std::string FsStorage::RequesterImagePath() {
  fuse_context* context = fuse_get_context();
  if (context == nullptr || context->pid <= 0) return {};
  char link[64];
  std::snprintf(link, sizeof(link), "/proc/%d/exe", static_cast<int>(context->pid));
  char target[PATH_MAX];
  ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return {};
  return std::string(target, static_cast<size_t>(n));
}

}  // namespace kelva::platform
