// A plain FUSE passthrough: every request on the mount is done on a backing
// folder, with the same libfuse API, threads and cache settings as the
// magazine's mount. It is the baseline the magazine's mount is measured against.
//
//   bench_fuse_passthrough BACKING MOUNTPOINT    (runs until unmounted or signalled)
#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 14)
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_root = -1;

// "/a/b" as a path relative to the backing folder.
const char* Rel(const char* path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

int Err(int result) { return result < 0 ? -errno : result; }

void* Init(fuse_conn_info* conn, fuse_config* cfg) {
  cfg->entry_timeout = 1.0;
  cfg->attr_timeout = 1.0;
  cfg->negative_timeout = 0.0;
  cfg->nullpath_ok = 1;
  cfg->hard_remove = 1;
  // Keep the page cache across opens while size and time stay the same.
  cfg->auto_cache = 1;
  conn->max_write = 1u << 20;
  conn->want |= FUSE_CAP_READDIRPLUS;
  return nullptr;
}

int Getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (fi) return Err(fstat(static_cast<int>(fi->fh), st));
  return Err(fstatat(g_root, Rel(path), st, AT_SYMLINK_NOFOLLOW));
}

int Open(const char* path, fuse_file_info* fi) {
  int fd = openat(g_root, Rel(path), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  int fd = openat(g_root, Rel(path), fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int Release(const char*, fuse_file_info* fi) { return Err(close(static_cast<int>(fi->fh))); }

int Opendir(const char* path, fuse_file_info* fi) {
  int fd = openat(g_root, Rel(path), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return -errno;
  }
  fi->fh = reinterpret_cast<uint64_t>(dir);
  return 0;
}

int Releasedir(const char*, fuse_file_info* fi) { return Err(closedir(reinterpret_cast<DIR*>(fi->fh))); }

int Readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info* fi, fuse_readdir_flags flags) {
  DIR* dir = reinterpret_cast<DIR*>(fi->fh);
  rewinddir(dir);
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  while (dirent* entry = readdir(dir)) {
    struct stat st {};
    if (plus) fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW);
    if (filler(buf, entry->d_name, plus ? &st : nullptr, 0, plus ? FUSE_FILL_DIR_PLUS : fuse_fill_dir_flags{}))
      break;
  }
  return 0;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return static_cast<int>(Err(static_cast<int>(pread(static_cast<int>(fi->fh), buf, size, offset))));
}

int Write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return Err(static_cast<int>(pwrite(static_cast<int>(fi->fh), buf, size, offset)));
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  if (fi) return Err(ftruncate(static_cast<int>(fi->fh), size));
  int fd = openat(g_root, Rel(path), O_WRONLY);
  if (fd < 0) return -errno;
  int result = Err(ftruncate(fd, size));
  close(fd);
  return result;
}

int Utimens(const char* path, const timespec tv[2], fuse_file_info* fi) {
  if (fi) return Err(futimens(static_cast<int>(fi->fh), tv));
  return Err(utimensat(g_root, Rel(path), tv, AT_SYMLINK_NOFOLLOW));
}

int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  if (fi) return Err(fchmod(static_cast<int>(fi->fh), mode));
  return Err(fchmodat(g_root, Rel(path), mode, 0));
}

int Mkdir(const char* path, mode_t mode) { return Err(mkdirat(g_root, Rel(path), mode)); }
int Unlink(const char* path) { return Err(unlinkat(g_root, Rel(path), 0)); }
int Rmdir(const char* path) { return Err(unlinkat(g_root, Rel(path), AT_REMOVEDIR)); }

int Rename(const char* from, const char* to, unsigned int flags) {
  return Err(renameat2(g_root, Rel(from), g_root, Rel(to), flags));
}

int Statfs(const char*, struct statvfs* st) { return Err(fstatvfs(g_root, st)); }

int Flush(const char*, fuse_file_info* fi) { return Err(close(dup(static_cast<int>(fi->fh)))); }

int Fsync(const char*, int datasync, fuse_file_info* fi) {
  const int fd = static_cast<int>(fi->fh);
  return Err(datasync ? fdatasync(fd) : fsync(fd));
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = Getattr;
  ops.open = Open;
  ops.create = Create;
  ops.release = Release;
  ops.opendir = Opendir;
  ops.releasedir = Releasedir;
  ops.readdir = Readdir;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.utimens = Utimens;
  ops.chmod = Chmod;
  ops.mkdir = Mkdir;
  ops.unlink = Unlink;
  ops.rmdir = Rmdir;
  ops.rename = Rename;
  ops.statfs = Statfs;
  ops.flush = Flush;
  ops.fsync = Fsync;
  return ops;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "--help") == 0) {
    std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT\n", argv[0]);
    return argc == 2 ? 0 : 2;
  }
  g_root = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (g_root < 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  const char* args[] = {argv[0], "-o", "allow_other,default_permissions,noatime,fsname=passthrough"};
  fuse_args fargs = FUSE_ARGS_INIT(3, const_cast<char**>(args));
  const fuse_operations ops = Operations();
  fuse* session = fuse_new(&fargs, &ops, sizeof(ops), nullptr);
  fuse_opt_free_args(&fargs);
  if (session == nullptr || fuse_mount(session, argv[2]) != 0) {
    std::fprintf(stderr, "cannot mount %s\n", argv[2]);
    return 1;
  }
  fuse_set_signal_handlers(fuse_get_session(session));
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 16);
  fuse_loop_cfg_set_clone_fd(config, 1);
  int result = fuse_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);
  fuse_remove_signal_handlers(fuse_get_session(session));
  fuse_unmount(session);
  fuse_destroy(session);
  return result == 0 ? 0 : 1;
}
