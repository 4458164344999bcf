// vmpeek mount TARGET DIR / vmpeek umount DIR: a guest volume as a FUSE filesystem, served
// through the platform's Win32 file calls on the mounted partition, so every Linux tool can
// read it. Read-only unless --rw. One request at a time: the volume's library serialises anyway.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/guest_session.h"
#include "platform/loader.h"
#include "platform/win_file.h"
#include "platform/wstr.h"

namespace {

struct MountOptions {
  GuestOptions guest;
  std::string dir;
  bool rw = false;
  bool foreground = false;
};

struct FuseContext {
  GuestSession* session;
  bool writable;
  uid_t uid;
  gid_t gid;
};

FuseContext* Context() { return static_cast<FuseContext*>(fuse_get_context()->private_data); }

// Win32 errors as the errno values the kernel passes on to programs.
int Errno(uint32_t error) {
  switch (error) {
    case 2: case 3: case 15: case 161: return ENOENT;
    case 5: return EACCES;
    case 8: case 14: return ENOMEM;
    case 19: return EROFS;
    case 32: case 33: return EBUSY;
    case 80: case 183: return EEXIST;
    case 87: case 123: return EINVAL;
    case 112: return ENOSPC;
    case 145: return ENOTEMPTY;
    case 206: return ENAMETOOLONG;
    case 267: return ENOTDIR;
    case 50: case 1: return EOPNOTSUPP;
    default: return EIO;
  }
}

std::u16string Full(const char* path) {
  std::u16string p = Utf8ToUtf16(path);
  for (char16_t& c : p)
    if (c == u'/') c = u'\\';
  if (p == u"\\") p.clear();
  return Context()->session->FullPath(p);
}

uint64_t Value(const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

struct timespec TimeOf(const FILETIME& t) {
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;
  uint64_t v = Value(t);
  struct timespec ts{};
  if (v >= kUnixEpoch) {
    ts.tv_sec = static_cast<time_t>((v - kUnixEpoch) / 10000000);
    ts.tv_nsec = static_cast<long>((v - kUnixEpoch) % 10000000 * 100);
  }
  return ts;
}

void Fill(struct stat* st, uint32_t attributes, uint32_t high, uint32_t low, const FILETIME& c, const FILETIME& a,
          const FILETIME& m) {
  FuseContext* ctx = Context();
  memset(st, 0, sizeof *st);
  bool dir = attributes & FILE_ATTRIBUTE_DIRECTORY;
  bool writable = ctx->writable && !(attributes & FILE_ATTRIBUTE_READONLY);
  st->st_mode = dir ? (S_IFDIR | 0555 | (writable ? 0200 : 0)) : (S_IFREG | 0444 | (writable ? 0200 : 0));
  st->st_nlink = dir ? 2 : 1;
  st->st_size = static_cast<off_t>((static_cast<uint64_t>(high) << 32) | low);
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_uid = ctx->uid;
  st->st_gid = ctx->gid;
  st->st_atim = TimeOf(a);
  st->st_mtim = TimeOf(m);
  st->st_ctim = TimeOf(c);
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  WIN32_FILE_ATTRIBUTE_DATA d{};
  if (!GetFileAttributesExW(Full(path).c_str(), GetFileExInfoStandard, &d)) {
    if (strcmp(path, "/") != 0) return -Errno(GetLastError());
    d.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  Fill(st, d.dwFileAttributes, d.nFileSizeHigh, d.nFileSizeLow, d.ftCreationTime, d.ftLastAccessTime, d.ftLastWriteTime);
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*, enum fuse_readdir_flags) {
  std::u16string pattern = Full(path);
  if (pattern.empty() || pattern.back() != u'\\') pattern += u'\\';
  pattern += u'*';
  WIN32_FIND_DATAW d;
  HANDLE find = FindFirstFileW(pattern.c_str(), &d);
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == 2 ? 0 : -Errno(GetLastError());
  do {
    std::u16string name = d.cFileName;
    if (name == u"." || name == u"..") continue;
    // A guest name holding "/" cannot be a Linux name: it is left out rather than misread.
    if (name.find(u'/') != std::u16string::npos) continue;
    struct stat st;
    Fill(&st, d.dwFileAttributes, d.nFileSizeHigh, d.nFileSizeLow, d.ftCreationTime, d.ftLastAccessTime, d.ftLastWriteTime);
    if (filler(buf, Utf16ToUtf8(name).c_str(), &st, 0, FUSE_FILL_DIR_PLUS)) break;
  } while (FindNextFileW(find, &d));
  FindClose(find);
  return 0;
}

int OpenWith(const char* path, struct fuse_file_info* fi, uint32_t disposition) {
  int mode = fi->flags & O_ACCMODE;
  uint32_t access = mode == O_RDONLY ? GENERIC_READ : mode == O_WRONLY ? GENERIC_WRITE : (GENERIC_READ | GENERIC_WRITE);
  if (access & GENERIC_WRITE && !Context()->writable) return -EROFS;
  if (fi->flags & O_TRUNC && disposition == OPEN_EXISTING) disposition = TRUNCATE_EXISTING;
  HANDLE h = CreateFileW(Full(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -Errno(GetLastError());
  fi->fh = reinterpret_cast<uint64_t>(h);
  return 0;
}

int Open(const char* path, struct fuse_file_info* fi) { return OpenWith(path, fi, OPEN_EXISTING); }
int Create(const char* path, mode_t, struct fuse_file_info* fi) {
  if (!Context()->writable) return -EROFS;
  return OpenWith(path, fi, (fi->flags & O_EXCL) ? CREATE_NEW : OPEN_ALWAYS);
}

HANDLE HandleOf(struct fuse_file_info* fi) { return reinterpret_cast<HANDLE>(fi->fh); }

int Read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  HANDLE h = HandleOf(fi);
  if (!SetFilePointerEx(h, offset, nullptr, FILE_BEGIN)) return -Errno(GetLastError());
  size_t done = 0;
  while (done < size) {
    uint32_t n = 0;
    if (!ReadFile(h, buf + done, static_cast<uint32_t>(size - done), &n, nullptr)) return -Errno(GetLastError());
    if (n == 0) break;
    done += n;
  }
  return static_cast<int>(done);
}

int Write(const char*, const char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  HANDLE h = HandleOf(fi);
  uint32_t n = 0;
  if (!SetFilePointerEx(h, offset, nullptr, FILE_BEGIN) || !WriteFile(h, buf, static_cast<uint32_t>(size), &n, nullptr))
    return -Errno(GetLastError());
  return static_cast<int>(n);
}

int Flush(const char*, struct fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) == O_RDONLY) return 0;
  return FlushFileBuffers(HandleOf(fi)) ? 0 : -Errno(GetLastError());
}

int Release(const char*, struct fuse_file_info* fi) { return CloseHandle(HandleOf(fi)) ? 0 : -Errno(GetLastError()); }

int Truncate(const char* path, off_t size, struct fuse_file_info* fi) {
  if (!Context()->writable) return -EROFS;
  HANDLE h = fi ? HandleOf(fi)
                : CreateFileW(Full(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -Errno(GetLastError());
  int rc = SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h) ? 0 : -Errno(GetLastError());
  if (!fi && !CloseHandle(h) && rc == 0) rc = -Errno(GetLastError());
  return rc;
}

int Unlink(const char* path) { return DeleteFileW(Full(path).c_str()) ? 0 : -Errno(GetLastError()); }
int MkDir(const char* path, mode_t) { return CreateDirectoryW(Full(path).c_str(), nullptr) ? 0 : -Errno(GetLastError()); }
int RmDir(const char* path) { return RemoveDirectoryW(Full(path).c_str()) ? 0 : -Errno(GetLastError()); }
int Rename(const char* from, const char* to, unsigned int flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
  uint32_t how = (flags & RENAME_NOREPLACE) ? 0 : MOVEFILE_REPLACE_EXISTING;
  return MoveFileExW(Full(from).c_str(), Full(to).c_str(), how) ? 0 : -Errno(GetLastError());
}

int StatFs(const char*, struct statvfs* st) {
  memset(st, 0, sizeof *st);
  st->f_bsize = 4096;
  st->f_frsize = 4096;
  st->f_namemax = 255;
  return 0;
}

int RunMount(Plugin& plugin, const MountOptions& o) {
  struct stat st;
  if (stat(o.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    ReportMessage(o.dir + ": not a folder to mount on");
    return kExitUsage;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    ReportMessage("/dev/fuse is missing or not usable here: FUSE mounts need it (" + std::string(strerror(errno)) + ")");
    return kExitFailure;
  }
  Host host(plugin);
  GuestSession session(host, plugin, o.guest);
  if (int rc = session.Open(o.rw, false)) return rc;

  FuseContext ctx{&session, o.rw, getuid(), getgid()};
  struct fuse_operations ops {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.flush = Flush;
  ops.release = Release;
  ops.statfs = StatFs;
  if (o.rw) {
    ops.create = Create;
    ops.write = Write;
    ops.truncate = Truncate;
    ops.unlink = Unlink;
    ops.mkdir = MkDir;
    ops.rmdir = RmDir;
    ops.rename = Rename;
  }
  std::string fsOptions = std::string(o.rw ? "rw" : "ro") + ",fsname=vmpeek,subtype=vmpeek,default_permissions";
  const char* argv[] = {"vmpeek", "-o", fsOptions.c_str()};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  struct fuse* fuse = fuse_new(&args, &ops, sizeof ops, &ctx);
  if (!fuse) {
    ReportMessage("FUSE refused the filesystem's options");
    return kExitFailure;
  }
  int rc = kExitOk;
  if (fuse_mount(fuse, o.dir.c_str()) != 0) {
    ReportMessage(o.dir + ": the FUSE mount failed");
    rc = kExitFailure;
  } else {
    if (fuse_daemonize(o.foreground ? 1 : 0) != 0) rc = kExitFailure;
    if (rc == kExitOk && fuse_loop(fuse) != 0) rc = kExitFailure;
    fuse_unmount(fuse);
  }
  fuse_destroy(fuse);
  fuse_opt_free_args(&args);
  return rc;
}

int RunUmount(const std::string& dir) {
  pid_t pid = fork();
  if (pid == 0) {
    execlp("fusermount3", "fusermount3", "-u", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) < 0) {
    ReportMessage(std::string("fusermount3: ") + strerror(errno));
    return kExitFailure;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
    ReportMessage("fusermount3 is not installed (Debian package fuse3)");
    return kExitFailure;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

void AddFuseCommands(CLI::App& app, CommandRunner* runner) {
  auto o = std::make_shared<MountOptions>();
  CLI::App* m = app.add_subcommand("mount", "Mount a guest volume on a host folder (FUSE), read-only unless --rw");
  AddGuestOptions(m, &o->guest, true);
  m->add_option("DIR", o->dir, "Host folder to mount on")->required();
  m->add_flag("--rw", o->rw, "Mount writable (NTFS volumes only)");
  m->add_flag("-f,--foreground", o->foreground, "Stay in the foreground until unmounted");
  m->callback([runner, o] { runner->run = [o](Plugin& plugin) { return RunMount(plugin, *o); }; });

  auto dir = std::make_shared<std::string>();
  CLI::App* u = app.add_subcommand("umount", "Unmount a folder mounted by vmpeek mount (flushes and closes the image)");
  u->add_option("DIR", *dir, "The mounted folder")->required();
  u->callback([runner, dir] { runner->run = [dir](Plugin&) { return RunUmount(*dir); }; });
}
