#include "quilldrv/ntfs_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "module/trace.h"

namespace {

NtfsDeviceState* StateOf(struct ntfs_device* dev) { return static_cast<NtfsDeviceState*>(dev->d_private); }

int DevOpen(struct ntfs_device* dev, int flags) {
  if (NDevOpen(dev)) {
    errno = EBUSY;
    return -1;
  }
  NtfsDeviceState* s = StateOf(dev);
  if ((flags & O_ACCMODE) != O_RDONLY && !s->writable) {
    errno = EROFS;
    return -1;
  }
  if (!s->writable) NDevSetReadOnly(dev);
  s->position = 0;
  NDevSetOpen(dev);
  return 0;
}

int DevClose(struct ntfs_device* dev) {
  if (!NDevOpen(dev)) {
    errno = EBADF;
    return -1;
  }
  NDevClearOpen(dev);
  return 0;
}

s64 DevPread(struct ntfs_device* dev, void* buf, s64 count, s64 offset) {
  NtfsDeviceState* s = StateOf(dev);
  if (count < 0 || offset < 0) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t size = s->device->Size();
  if (static_cast<uint64_t>(offset) >= size) return 0;
  uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(count), size - static_cast<uint64_t>(offset));
  NTSTATUS st;
  if (!s->device->ReadAt(static_cast<uint64_t>(offset), buf, n, &st)) {
    s->failed = true;
    errno = EIO;
    return -1;
  }
  return static_cast<s64>(n);
}

s64 DevPwrite(struct ntfs_device* dev, const void* buf, s64 count, s64 offset) {
  NtfsDeviceState* s = StateOf(dev);
  if (!s->writable) {
    errno = EROFS;
    return -1;
  }
  if (count < 0 || offset < 0) {
    errno = EINVAL;
    return -1;
  }
  const uint64_t size = s->device->Size();
  if (static_cast<uint64_t>(offset) >= size || static_cast<uint64_t>(count) > size - static_cast<uint64_t>(offset)) {
    errno = ENOSPC;  // never past the partition
    return -1;
  }
  NTSTATUS st;
  if (!s->device->WriteAt(static_cast<uint64_t>(offset), buf, static_cast<uint64_t>(count), &st)) {
    s->failed = true;
    errno = EIO;
    return -1;
  }
  NDevSetDirty(dev);
  return count;
}

s64 DevSeek(struct ntfs_device* dev, s64 offset, int whence) {
  NtfsDeviceState* s = StateOf(dev);
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : static_cast<int64_t>(s->device->Size());
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  s->position = base + offset;
  return s->position;
}

s64 DevRead(struct ntfs_device* dev, void* buf, s64 count) {
  s64 n = DevPread(dev, buf, count, StateOf(dev)->position);
  if (n > 0) StateOf(dev)->position += n;
  return n;
}

s64 DevWrite(struct ntfs_device* dev, const void* buf, s64 count) {
  s64 n = DevPwrite(dev, buf, count, StateOf(dev)->position);
  if (n > 0) StateOf(dev)->position += n;
  return n;
}

// Writes go to the image as they are made; nothing is held back here.
int DevSync(struct ntfs_device* dev) {
  NDevClearDirty(dev);
  return 0;
}

int DevStat(struct ntfs_device* dev, struct stat* buf) {
  memset(buf, 0, sizeof *buf);
  buf->st_mode = S_IFBLK;
  buf->st_size = static_cast<off_t>(StateOf(dev)->device->Size());
  buf->st_blksize = StateOf(dev)->device->SectorSize();
  return 0;
}

int DevIoctl(struct ntfs_device* dev, unsigned long request, void* argp) {
  switch (request) {
    case BLKGETSIZE64:
      *static_cast<uint64_t*>(argp) = StateOf(dev)->device->Size();
      return 0;
    case BLKGETSIZE:
      *static_cast<unsigned long*>(argp) = static_cast<unsigned long>(StateOf(dev)->device->Size() / 512);
      return 0;
    case BLKSSZGET:
      *static_cast<int*>(argp) = static_cast<int>(StateOf(dev)->device->SectorSize());
      return 0;
    default:
      errno = EOPNOTSUPP;
      return -1;
  }
}

struct ntfs_device_operations g_Ops = {DevOpen, DevClose, DevSeek, DevRead, DevWrite,
                                       DevPread, DevPwrite, DevSync, DevStat, DevIoctl};

int LogToTrace(const char* function, const char*, int, u32 level, void*, const char* format, va_list args) {
  char line[512];
  vsnprintf(line, sizeof line, format, args);
  size_t n = strlen(line);
  while (n > 0 && line[n - 1] == '\n') line[--n] = 0;
  TraceNarrow("quilldrv: ntfs %s: %s\n", function ? function : "", line);
  return static_cast<int>(n);
}

}  // namespace

struct ntfs_device* NewNtfsDevice(NtfsDeviceState* state) {
  return ntfs_device_alloc("quilldrv-volume", 0, &g_Ops, state);
}

void RouteNtfsLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    ntfs_log_set_handler(LogToTrace);
    ntfs_log_clear_levels(UINT32_MAX);
    ntfs_log_set_levels(NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL);
  });
}
