// NT native file calls on POSIX: positioned I/O, NT statuses, and share modes enforced across
// processes with open file description locks on marker bytes (readers/writers and what each
// opener denies), so two writers never open one image.
#include "platform/nt_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/file_handle.h"
#include "platform/handles.h"
#include "platform/helper_thread.h"
#include "platform/path.h"
#include "platform/volume_table.h"
#include "platform/win_file.h"

namespace {

// Marker bytes for the share-mode locks (far from anything a format would lock).
constexpr off_t kLockHasRead = 100;
constexpr off_t kLockHasWrite = 101;
constexpr off_t kLockDenyRead = 102;
constexpr off_t kLockDenyWrite = 103;
constexpr off_t kLockHasDelete = 104;
constexpr off_t kLockDenyDelete = 105;

std::atomic<PlatformFileFaultHook> g_FaultHook{nullptr};
std::atomic<void*> g_FaultContext{nullptr};

bool TakeShared(int fd, off_t byte) {
  struct flock fl = {};
  fl.l_type = F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t byte) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

NTSTATUS FaultCheck(const char* op, PlatformFile* f, uint64_t offset, uint32_t length) {
  PlatformFileFaultHook hook = g_FaultHook.load();
  if (!hook) return STATUS_SUCCESS;
  return hook(op, f->path.c_str(), offset, length, g_FaultContext.load());
}

// Status for a missing file: a missing folder on the way is "path not found".
NTSTATUS MissingStatus(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Flush(PlatformFile* f) {
  if (!f->dirty) return STATUS_SUCCESS;
  NTSTATUS st = FaultCheck("flush", f, 0, 0);
  if (st != STATUS_SUCCESS) return st;
  int r;
  do r = fdatasync(f->fd); while (r != 0 && errno == EINTR);
  if (r != 0 && errno != EINVAL) return PlatformErrnoToNtStatus(errno);  // EINVAL: cannot sync (a pipe)
  f->dirty = false;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PlatformApplyShareMode(int fd, uint32_t access, uint32_t share) {
  if (!access) return STATUS_SUCCESS;  // an opener without data access takes part in no sharing
  const struct {
    bool has;
    off_t mine, theirs;
  } own[] = {
      {(access & SHARE_ACCESS_READ) != 0, kLockHasRead, kLockDenyRead},
      {(access & SHARE_ACCESS_WRITE) != 0, kLockHasWrite, kLockDenyWrite},
      {(access & SHARE_ACCESS_DELETE) != 0, kLockHasDelete, kLockDenyDelete},
      {!(share & FILE_SHARE_READ), kLockDenyRead, kLockHasRead},
      {!(share & FILE_SHARE_WRITE), kLockDenyWrite, kLockHasWrite},
      {!(share & FILE_SHARE_DELETE), kLockDenyDelete, kLockHasDelete},
  };
  // Take our own markers first, then look for conflicts: two racing openers may both fail,
  // never both succeed.
  for (const auto& m : own) {
    if (m.has && !TakeShared(fd, m.mine))
      return errno == EINVAL || errno == ENOLCK ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION;
  }
  for (const auto& m : own)
    if (m.has && HeldByOthers(fd, m.theirs)) return STATUS_SHARING_VIOLATION;
  return STATUS_SUCCESS;
}

bool PlatformDeleteDenied(int fd) { return HeldByOthers(fd, kLockDenyDelete); }

PlatformFile* PlatformFileFromHandle(HANDLE h) {
  if (PlatformHandleKindOf(h) != PlatformHandleKind::kHostFile) return nullptr;
  return static_cast<PlatformFile*>(h);
}

HANDLE PlatformFileToHandle(PlatformFile* f) {
  PlatformHandleAdd(f, PlatformHandleKind::kHostFile);
  return f;
}

NTSTATUS PlatformOpenFile(HANDLE* file, uint32_t desiredAccess, const WCHAR* path, bool caseInsensitive,
                          uint32_t shareAccess, uint32_t createDisposition, uint32_t createOptions) {
  if (!file) return STATUS_INVALID_PARAMETER;
  *file = nullptr;
  std::string posix;
  NTSTATUS st = PlatformMapPath(path, caseInsensitive, &posix);
  if (st != STATUS_SUCCESS) return st;
  bool wantWrite = (desiredAccess & (GENERIC_WRITE | 0x2u /*FILE_WRITE_DATA*/ | 0x10000000u /*GENERIC_ALL*/)) != 0;
  bool wantRead = true;
  // Non-blocking so that naming a FIFO can never hang the open; cleared below.
  int flags = (wantWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK;
  switch (createDisposition) {
    case FILE_OPEN: break;
    case FILE_CREATE: flags |= O_CREAT | O_EXCL; break;
    case FILE_OPEN_IF: flags |= O_CREAT; break;
    case FILE_OVERWRITE: flags |= O_TRUNC; break;
    case FILE_SUPERSEDE:
    case FILE_OVERWRITE_IF: flags |= O_CREAT | O_TRUNC; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  if ((flags & O_TRUNC) && !wantWrite) return STATUS_INVALID_PARAMETER;
  int fd = open(posix.c_str(), flags, 0644);
  if (fd < 0) {
    int e = errno;
    return e == ENOENT ? MissingStatus(posix) : PlatformErrnoToNtStatus(e);
  }
  struct stat sb;
  if (fstat(fd, &sb) != 0) {
    int e = errno;
    close(fd);
    return PlatformErrnoToNtStatus(e);
  }
  if ((createOptions & FILE_NON_DIRECTORY_FILE) && S_ISDIR(sb.st_mode)) {
    close(fd);
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  // Only regular files and block devices hold images; pipes, sockets and character devices
  // would block or lie about their size.
  if (!S_ISREG(sb.st_mode) && !S_ISBLK(sb.st_mode) && !S_ISDIR(sb.st_mode)) {
    close(fd);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  st = PlatformApplyShareMode(fd, (wantRead ? SHARE_ACCESS_READ : 0) | (wantWrite ? SHARE_ACCESS_WRITE : 0),
                              shareAccess | FILE_SHARE_DELETE);
  if (st != STATUS_SUCCESS) {
    close(fd);
    return st;
  }
  auto* f = new (std::nothrow) PlatformFile;
  if (!f) {
    close(fd);
    return STATUS_NO_MEMORY;
  }
  f->fd = fd;
  f->canWrite = wantWrite;
  f->path = posix;
  *file = PlatformFileToHandle(f);
  return STATUS_SUCCESS;
}

extern "C" {

NTSTATUS ZwCreateFile(HANDLE* file, uint32_t desiredAccess, const WCHAR* ntPath, uint32_t objectAttributes,
                      uint32_t shareAccess, uint32_t createDisposition, uint32_t createOptions) {
  if (!file) return STATUS_INVALID_PARAMETER;
  *file = nullptr;
  // NT paths only: "\\??\\X:\\...".
  if (!ntPath || !(ntPath[0] == u'\\' && ntPath[1] == u'?' && ntPath[2] == u'?' && ntPath[3] == u'\\'))
    return STATUS_OBJECT_NAME_INVALID;
  return PlatformOpenFile(file, desiredAccess, ntPath, (objectAttributes & OBJ_CASE_INSENSITIVE) != 0,
                          shareAccess, createDisposition, createOptions);
}

namespace {

// Large reads are mostly the copy out of the page cache: from this size on, the second half is
// read on the process's helper thread while the caller reads the first (two processors copy).
constexpr uint32_t kMinHalvedRead = 1u << 20;

// Up to `length` bytes at `offset`: the bytes read (fewer only at the end of the file) or -errno.
int64_t ReadUpTo(int fd, uint8_t* p, uint32_t length, uint64_t offset) {
  uint32_t done = 0;
  while (done < length) {
    const ssize_t n = pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

// ReadUpTo in two halves, the second on the helper thread when it is free. The outcome is that
// of one read from the start: a file ending inside the first half ends the read there.
int64_t ReadInHalves(int fd, uint8_t* p, uint32_t length, uint64_t offset) {
  const uint32_t mid = (length / 2) & ~4095u;
  int64_t first = 0, second = 0;
  RunBesideHelper([&] { first = ReadUpTo(fd, p, mid, offset); },
                  [&] { second = ReadUpTo(fd, p + mid, length - mid, offset + mid); });
  if (first < static_cast<int64_t>(mid)) return first;  // an error, or the end of the file
  return second < 0 ? second : mid + second;
}

}  // namespace

NTSTATUS ZwReadFile(HANDLE file, void* buffer, uint32_t length, uint64_t offset, uint32_t* transferred) {
  if (transferred) *transferred = 0;
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (length && !buffer) return STATUS_INVALID_PARAMETER;
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return STATUS_INVALID_PARAMETER;
  uint8_t* p = static_cast<uint8_t*>(buffer);
  const int64_t got = length >= kMinHalvedRead ? ReadInHalves(f->fd, p, length, offset)
                                               : ReadUpTo(f->fd, p, length, offset);
  if (got < 0) return PlatformErrnoToNtStatus(static_cast<int>(-got));
  const uint32_t done = static_cast<uint32_t>(got);
  if (transferred) *transferred = done;
  if (done == 0 && length > 0) return STATUS_END_OF_FILE;
  if (done < length) memset(p + done, 0, length - done);
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFileScatter(HANDLE file, const FILE_SEGMENT_BUFFER* segments, uint32_t count, uint64_t offset,
                           uint32_t* transferred) {
  if (transferred) *transferred = 0;
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (count != 0 && !segments) return STATUS_INVALID_PARAMETER;
  uint64_t length = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (segments[i].length && !segments[i].buffer) return STATUS_INVALID_PARAMETER;
    length += segments[i].length;
  }
  if (length > UINT32_MAX || offset > static_cast<uint64_t>(INT64_MAX) - length) return STATUS_INVALID_PARAMETER;
  // One piece of memory: a plain read, which a large read also splits between two processors.
  if (count == 1) return ZwReadFile(file, segments[0].buffer, segments[0].length, offset, transferred);
  iovec vec[64];
  uint64_t done = 0;
  uint32_t first = 0;   // first segment not yet filled
  uint32_t skip = 0;    // bytes of it already filled
  while (first < count) {
    int n = 0;
    for (uint32_t i = first; i < count && n < 64; ++i, ++n) {
      const uint32_t from = i == first ? skip : 0;
      vec[n].iov_base = static_cast<uint8_t*>(segments[i].buffer) + from;
      vec[n].iov_len = segments[i].length - from;
    }
    ssize_t got = preadv(f->fd, vec, n, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return PlatformErrnoToNtStatus(errno);
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
    uint64_t left = static_cast<uint64_t>(got) + skip;
    while (first < count && left >= segments[first].length) left -= segments[first++].length;
    skip = static_cast<uint32_t>(left);
  }
  if (transferred) *transferred = static_cast<uint32_t>(done);
  if (done == 0 && length > 0) return STATUS_END_OF_FILE;
  // The end of file cut the read short: the rest reads as zeros.
  for (uint32_t i = first; i < count; ++i) {
    const uint32_t from = i == first ? skip : 0;
    memset(static_cast<uint8_t*>(segments[i].buffer) + from, 0, segments[i].length - from);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZwWriteFile(HANDLE file, const void* buffer, uint32_t length, uint64_t offset, uint32_t* transferred) {
  if (transferred) *transferred = 0;
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!f->canWrite) return STATUS_ACCESS_DENIED;
  if (length && !buffer) return STATUS_INVALID_PARAMETER;
  if (offset > static_cast<uint64_t>(INT64_MAX) - length) return STATUS_INVALID_PARAMETER;
  NTSTATUS st = FaultCheck("write", f, offset, length);
  if (st != STATUS_SUCCESS) return st;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = pwrite(f->fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (transferred) *transferred = done;
      return PlatformErrnoToNtStatus(errno);
    }
    if (n == 0) {
      if (transferred) *transferred = done;
      return STATUS_DISK_FULL;
    }
    done += static_cast<uint32_t>(n);
    f->dirty = true;
  }
  if (transferred) *transferred = done;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryFileSize(HANDLE file, uint64_t* endOfFile) {
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!endOfFile) return STATUS_INVALID_PARAMETER;
  struct stat sb;
  if (fstat(f->fd, &sb) != 0) return PlatformErrnoToNtStatus(errno);
  *endOfFile = static_cast<uint64_t>(sb.st_size);
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetEndOfFile(HANDLE file, uint64_t endOfFile) {
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (!f->canWrite) return STATUS_ACCESS_DENIED;
  if (endOfFile > static_cast<uint64_t>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
  NTSTATUS st = FaultCheck("setsize", f, endOfFile, 0);
  if (st != STATUS_SUCCESS) return st;
  int r;
  do r = ftruncate(f->fd, static_cast<off_t>(endOfFile)); while (r != 0 && errno == EINTR);
  if (r != 0) return PlatformErrnoToNtStatus(errno);
  f->dirty = true;
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushBuffersFile(HANDLE file) {
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  return Flush(f);
}

NTSTATUS ZwClose(HANDLE file) {
  if (!PlatformHandleTake(file, PlatformHandleKind::kHostFile)) return STATUS_INVALID_HANDLE;
  auto* f = static_cast<PlatformFile*>(file);
  const NTSTATUS st = Flush(f);
  close(f->fd);
  delete f;
  return st;
}

void PlatformSetFileFaultHook(PlatformFileFaultHook hook, void* context) {
  g_FaultContext.store(context);
  g_FaultHook.store(hook);
}

}  // extern "C"
