// The Win32 calls on paths: attributes, delete, folders, move and copy between any two places
// (host drives and volumes).
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/file_handle.h"
#include "platform/file_objects.h"
#include "platform/host_names.h"
#include "platform/loader.h"
#include "platform/win_file.h"
#include "platform/win_path.h"

namespace {

constexpr uint32_t kCopyChunk = 1u << 20;

uint32_t ErrnoToWin32(int e) { return RtlNtStatusToDosError(PlatformErrnoToNtStatus(e)); }

BOOL Finish(uint32_t err) {
  if (err) {
    SetLastError(err);
    return 0;
  }
  return 1;
}

// True when another opener of a host file denies deleting (or renaming) it.
bool HostDeleteDenied(const std::string& posix) {
  int fd = open(posix.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  bool denied = PlatformDeleteDenied(fd);
  close(fd);
  return denied;
}

// Deletes a file; with force (the source of a move) a read-only attribute does not stop it.
uint32_t DeleteTarget(const PlatformTarget& t, bool force = false) {
  if (t.isRoot) return ERROR_ACCESS_DENIED;
  if (t.onVolume) {
    VolumeProvider* p = t.volume.provider.get();
    VolumeFileInfo info;
    uint32_t err = p->GetInfo(t.inner, &info);
    if (err) return err;
    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    if (p->IsReadOnly()) return ERROR_WRITE_PROTECT;
    if (!VolumeShareDeleteAllowed(t.FileKey())) return ERROR_SHARING_VIOLATION;
    if (info.attributes & FILE_ATTRIBUTE_READONLY) {
      if (!force) return ERROR_ACCESS_DENIED;
      err = p->SetAttributes(t.inner, info.attributes & ~FILE_ATTRIBUTE_READONLY);
      if (err) return err;
    }
    return p->DeleteFile(t.inner);
  }
  struct stat st;
  if (lstat(t.posix.c_str(), &st) != 0)
    return errno == ENOENT ? PlatformMissingError(t) : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!force && !S_ISLNK(st.st_mode) && !(st.st_mode & 0222)) return ERROR_ACCESS_DENIED;  // read-only attribute
  if (S_ISREG(st.st_mode) && HostDeleteDenied(t.posix)) return ERROR_SHARING_VIOLATION;
  return unlink(t.posix.c_str()) == 0 ? ERROR_SUCCESS : ErrnoToWin32(errno);
}

void SetHostWriteTime(const std::string& posix, uint64_t fileTime) {
  if (!fileTime) return;
  int64_t t = static_cast<int64_t>(fileTime) - 116444736000000000LL;
  struct timespec ts[2];
  ts[0].tv_nsec = UTIME_OMIT;
  ts[0].tv_sec = 0;
  ts[1].tv_sec = t / 10000000;
  ts[1].tv_nsec = (t % 10000000) * 100;
  if (ts[1].tv_nsec < 0) {
    ts[1].tv_sec -= 1;
    ts[1].tv_nsec += 1000000000;
  }
  utimensat(AT_FDCWD, posix.c_str(), ts, 0);
}

// Streams one file to another place; a partial target is removed on failure.
uint32_t CopyTargets(const PlatformTarget& from, const PlatformTarget& to, bool failIfExists) {
  HANDLE src, dst;
  bool existed;
  uint32_t err = PlatformOpenTarget(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING, 0, &src,
                                    &existed);
  if (err) return err;
  VolumeFileInfo info;
  err = PlatformHandleInfo(src, &info, nullptr);
  if (!err && (info.attributes & FILE_ATTRIBUTE_DIRECTORY)) err = ERROR_ACCESS_DENIED;
  uint32_t attrs = info.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  if (!err)
    err = PlatformOpenTarget(to, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                             attrs | FILE_ATTRIBUTE_ARCHIVE, &dst, &existed);
  if (err) {
    PlatformCloseFile(src);
    return err;
  }
  std::vector<uint8_t> buf;
  try {
    buf.resize(kCopyChunk);
  } catch (...) {
    err = ERROR_NOT_ENOUGH_MEMORY;
  }
  for (uint64_t offset = 0; !err;) {
    uint32_t got = 0, put = 0;
    err = PlatformReadAt(src, offset, buf.data(), kCopyChunk, &got);
    if (err || got == 0) break;
    err = PlatformWriteAt(dst, offset, buf.data(), got, &put);
    if (!err && put != got) err = ERROR_DISK_FULL;
    offset += got;
  }
  uint32_t closeErr = PlatformCloseFile(dst);
  if (!err) err = closeErr;
  PlatformCloseFile(src);
  if (err) {
    DeleteTarget(to);
  } else if (!to.onVolume) {
    SetHostWriteTime(to.posix, info.lastWriteTime);
  }
  return err;
}

// Same file or folder (so a rename only changes the case of its name)?
bool SameObject(const PlatformTarget& a, const PlatformTarget& b) {
  if (!a.SamePlace(b)) return false;
  if (a.onVolume) return a.FileKey() == b.FileKey();
  struct stat sa, sb;
  return lstat(a.posix.c_str(), &sa) == 0 && lstat(b.posix.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

uint32_t HostRename(const PlatformTarget& from, const std::string& toPosix, bool replace) {
  if (HostDeleteDenied(from.posix)) return ERROR_SHARING_VIOLATION;
  int r = replace ? rename(from.posix.c_str(), toPosix.c_str())
                  : static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from.posix.c_str(), AT_FDCWD, toPosix.c_str(),
                                             RENAME_NOREPLACE));
  if (r == 0) return ERROR_SUCCESS;
  if (errno == EEXIST || errno == ENOTEMPTY) return ERROR_ALREADY_EXISTS;
  if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
  return ErrnoToWin32(errno);
}

uint32_t MoveTargets(const PlatformTarget& from, const PlatformTarget& to, uint32_t flags) {
  bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
  VolumeFileInfo srcInfo, dstInfo;
  uint32_t err = PlatformTargetInfo(from, &srcInfo);
  if (err) return err;
  if (from.isRoot || to.isRoot) return ERROR_ACCESS_DENIED;
  bool srcDir = (srcInfo.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  bool same = SameObject(from, to);
  uint32_t dstErr = same ? ERROR_FILE_NOT_FOUND : PlatformTargetInfo(to, &dstInfo);
  if (dstErr == ERROR_SUCCESS) {
    if (!replace) return ERROR_ALREADY_EXISTS;
    if (srcDir || (dstInfo.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
      return ERROR_ACCESS_DENIED;
  } else if (dstErr != ERROR_FILE_NOT_FOUND) {
    return dstErr;
  }
  if (from.SamePlace(to)) {
    if (from.onVolume) {
      VolumeProvider* p = from.volume.provider.get();
      if (p->IsReadOnly()) return ERROR_WRITE_PROTECT;
      if (!VolumeShareDeleteAllowed(from.FileKey())) return ERROR_SHARING_VIOLATION;
      if (dstErr == ERROR_SUCCESS && !VolumeShareDeleteAllowed(to.FileKey())) return ERROR_SHARING_VIOLATION;
      return p->Rename(from.inner, to.inner, replace);
    }
    std::string toPosix = to.posix;
    if (same) {  // a new case for the same name: the name as written
      std::string bytes;
      if (!WindowsNameToHost(to.name, &bytes)) return ERROR_INVALID_NAME;
      toPosix = (to.posixParent == "/" ? "" : to.posixParent) + "/" + bytes;
      if (toPosix == from.posix) return ERROR_SUCCESS;
    } else if (dstErr == ERROR_SUCCESS && HostDeleteDenied(to.posix)) {
      return ERROR_SHARING_VIOLATION;
    }
    err = HostRename(from, toPosix, replace || same);
    if (err != ERROR_NOT_SAME_DEVICE) return err;
  }
  if (!(flags & MOVEFILE_COPY_ALLOWED) || srcDir) return ERROR_NOT_SAME_DEVICE;
  err = CopyTargets(from, to, !replace);
  if (err) return err;
  err = DeleteTarget(from, true);
  if (err) DeleteTarget(to, true);  // never leave the data in two places
  return err;
}

uint32_t Resolve(const WCHAR* path, PlatformTarget* t) {
  if (!path) return ERROR_INVALID_PARAMETER;
  return PlatformResolvePath(path, 0, t);
}

}  // namespace

extern "C" {

uint32_t GetFileAttributesW(const WCHAR* path) {
  PlatformTarget t;
  VolumeFileInfo info;
  uint32_t err = Resolve(path, &t);
  if (!err) err = PlatformTargetInfo(t, &info);
  if (err) {
    SetLastError(err);
    return INVALID_FILE_ATTRIBUTES;
  }
  return info.attributes ? info.attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL GetFileAttributesExW(const WCHAR* path, GET_FILEEX_INFO_LEVELS level, void* out) {
  if (level != GetFileExInfoStandard || !out) return Finish(ERROR_INVALID_PARAMETER);
  PlatformTarget t;
  VolumeFileInfo i;
  uint32_t err = Resolve(path, &t);
  if (!err) err = PlatformTargetInfo(t, &i);
  if (err) return Finish(err);
  auto* d = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(out);
  d->dwFileAttributes = i.attributes ? i.attributes : FILE_ATTRIBUTE_NORMAL;
  d->ftCreationTime = {static_cast<uint32_t>(i.creationTime), static_cast<uint32_t>(i.creationTime >> 32)};
  d->ftLastAccessTime = {static_cast<uint32_t>(i.lastAccessTime), static_cast<uint32_t>(i.lastAccessTime >> 32)};
  d->ftLastWriteTime = {static_cast<uint32_t>(i.lastWriteTime), static_cast<uint32_t>(i.lastWriteTime >> 32)};
  d->nFileSizeHigh = static_cast<uint32_t>(i.size >> 32);
  d->nFileSizeLow = static_cast<uint32_t>(i.size);
  return 1;
}

int DeleteFileW(const WCHAR* path) {
  PlatformTarget t;
  uint32_t err = Resolve(path, &t);
  return Finish(err ? err : DeleteTarget(t));
}

BOOL CreateDirectoryW(const WCHAR* path, void*) {
  PlatformTarget t;
  uint32_t err = Resolve(path, &t);
  if (err) return Finish(err);
  if (t.isRoot) return Finish(ERROR_ACCESS_DENIED);
  if (t.onVolume) {
    VolumeProvider* p = t.volume.provider.get();
    if (p->IsReadOnly()) return Finish(ERROR_WRITE_PROTECT);
    std::unique_ptr<VolumeFile> f;
    bool created = false;
    err = p->Open(t.inner, VOLUME_OPEN_CREATE_DIR | VOLUME_OPEN_DIRECTORY, CREATE_NEW, FILE_ATTRIBUTE_DIRECTORY, &f,
                  &created);
    if (err == ERROR_FILE_EXISTS) err = ERROR_ALREADY_EXISTS;
    if (!err && f) err = f->Close();
    return Finish(err);
  }
  if (mkdir(t.posix.c_str(), 0777) == 0) return 1;
  if (errno == EEXIST) return Finish(ERROR_ALREADY_EXISTS);
  return Finish(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno));
}

BOOL RemoveDirectoryW(const WCHAR* path) {
  PlatformTarget t;
  uint32_t err = Resolve(path, &t);
  if (err) return Finish(err);
  if (t.isRoot) return Finish(ERROR_ACCESS_DENIED);
  if (t.onVolume) {
    VolumeProvider* p = t.volume.provider.get();
    VolumeFileInfo info;
    err = p->GetInfo(t.inner, &info);
    if (err) return Finish(err);
    if (!(info.attributes & FILE_ATTRIBUTE_DIRECTORY)) return Finish(ERROR_DIRECTORY);
    if (p->IsReadOnly()) return Finish(ERROR_WRITE_PROTECT);
    if (!VolumeShareDeleteAllowed(t.FileKey())) return Finish(ERROR_SHARING_VIOLATION);
    return Finish(p->RemoveDirectory(t.inner));
  }
  struct stat st;
  if (lstat(t.posix.c_str(), &st) != 0)
    return Finish(errno == ENOENT ? PlatformMissingError(t) : ERROR_PATH_NOT_FOUND);
  if (!S_ISDIR(st.st_mode)) return Finish(ERROR_DIRECTORY);
  if (rmdir(t.posix.c_str()) == 0) return 1;
  return Finish(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : ErrnoToWin32(errno));
}

BOOL MoveFileExW(const WCHAR* from, const WCHAR* to, uint32_t flags) {
  PlatformTarget a, b;
  uint32_t err = Resolve(from, &a);
  if (!err) err = Resolve(to, &b);
  return Finish(err ? err : MoveTargets(a, b, flags));
}

BOOL MoveFileW(const WCHAR* from, const WCHAR* to) { return MoveFileExW(from, to, MOVEFILE_COPY_ALLOWED); }

BOOL CopyFileW(const WCHAR* from, const WCHAR* to, BOOL failIfExists) {
  PlatformTarget a, b;
  uint32_t err = Resolve(from, &a);
  if (!err) err = Resolve(to, &b);
  if (!err && SameObject(a, b)) err = ERROR_SHARING_VIOLATION;  // a file never copies onto itself
  return Finish(err ? err : CopyTargets(a, b, failIfExists != 0));
}

}  // extern "C"
