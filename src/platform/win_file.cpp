// The Win32 handle calls over host files and files inside volumes; failures set the thread's
// last error.
#include "platform/win_file.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_handle.h"
#include "platform/file_objects.h"
#include "platform/handles.h"
#include "platform/loader.h"
#include "platform/win_path.h"
#include "platform/win_registry.h"

namespace {

BOOL Fail(uint32_t err) {
  SetLastError(err);
  return 0;
}

// The Win32 file pointer of a file handle, null for anything else.
uint64_t* PositionOf(HANDLE h) {
  if (PlatformFile* f = PlatformFileFromHandle(h)) return &f->position;
  if (PlatformHandleKindOf(h) == PlatformHandleKind::kVolumeFile) return &static_cast<VolumeHandle*>(h)->position;
  return nullptr;
}

uint32_t SizeOf(HANDLE h, uint64_t* size) {
  VolumeFileInfo info;
  uint32_t err = PlatformHandleInfo(h, &info, nullptr);
  *size = info.size;
  return err;
}

void PutTime(FILETIME* ft, uint64_t t) {
  ft->dwLowDateTime = static_cast<uint32_t>(t);
  ft->dwHighDateTime = static_cast<uint32_t>(t >> 32);
}

}  // namespace


extern "C" {

HANDLE CreateFileW(const WCHAR* path, uint32_t desiredAccess, uint32_t shareMode, void*, uint32_t creationDisposition,
                   uint32_t flags, HANDLE) {
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  PlatformTarget t;
  uint32_t err = PlatformResolvePath(path, 0, &t);
  HANDLE h = INVALID_HANDLE_VALUE;
  bool existed = false;
  if (!err) err = PlatformOpenTarget(t, desiredAccess, shareMode, creationDisposition, flags, &h, &existed);
  if (err) {
    SetLastError(err);
    return INVALID_HANDLE_VALUE;
  }
  bool reportsExisting = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
  SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

int ReadFile(HANDLE file, void* buffer, uint32_t toRead, uint32_t* read, void*) {
  if (read) *read = 0;
  uint64_t* pos = PositionOf(file);
  if (!pos) return Fail(ERROR_INVALID_HANDLE);
  if (toRead && !buffer) return Fail(ERROR_NOACCESS);
  uint32_t n = 0;
  uint32_t err = PlatformReadAt(file, *pos, buffer, toRead, &n);
  if (err) return Fail(err);
  *pos += n;
  if (read) *read = n;
  return 1;
}

int WriteFile(HANDLE file, const void* buffer, uint32_t toWrite, uint32_t* written, void*) {
  if (written) *written = 0;
  uint64_t* pos = PositionOf(file);
  if (!pos) return Fail(ERROR_INVALID_HANDLE);
  if (toWrite && !buffer) return Fail(ERROR_NOACCESS);
  uint32_t n = 0;
  uint32_t err = PlatformWriteAt(file, *pos, buffer, toWrite, &n);
  *pos += n;
  if (written) *written = n;
  if (err) return Fail(err);
  return 1;
}

uint32_t GetFileSize(HANDLE file, uint32_t* high) {
  uint64_t size = 0;
  uint32_t err = SizeOf(file, &size);
  if (err) {
    SetLastError(err);
    if (high) *high = 0;
    return INVALID_FILE_SIZE;
  }
  if (high) *high = static_cast<uint32_t>(size >> 32);
  SetLastError(ERROR_SUCCESS);  // tells a size of 0xFFFFFFFF from a failure
  return static_cast<uint32_t>(size);
}

BOOL GetFileSizeEx(HANDLE file, int64_t* size) {
  uint64_t s = 0;
  uint32_t err = SizeOf(file, &s);
  if (err) return Fail(err);
  if (!size) return Fail(ERROR_NOACCESS);
  *size = static_cast<int64_t>(s);
  return 1;
}

BOOL SetFilePointerEx(HANDLE file, int64_t distance, int64_t* newPosition, uint32_t method) {
  uint64_t* pos = PositionOf(file);
  if (!pos) return Fail(ERROR_INVALID_HANDLE);
  int64_t base;
  switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<int64_t>(*pos); break;
    case FILE_END: {
      uint64_t size = 0;
      uint32_t err = SizeOf(file, &size);
      if (err) return Fail(err);
      base = static_cast<int64_t>(size);
      break;
    }
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
  int64_t to;
  if (__builtin_add_overflow(base, distance, &to)) return Fail(ERROR_INVALID_PARAMETER);
  if (to < 0) return Fail(ERROR_NEGATIVE_SEEK);
  *pos = static_cast<uint64_t>(to);
  if (newPosition) *newPosition = to;
  return 1;
}

BOOL SetEndOfFile(HANDLE file) {
  if (PlatformFile* f = PlatformFileFromHandle(file)) {
    if (f->isDirectory || !f->canWrite) return Fail(ERROR_ACCESS_DENIED);
    NTSTATUS st = ZwSetEndOfFile(file, f->position);
    return st == STATUS_SUCCESS ? 1 : Fail(RtlNtStatusToDosError(st));
  }
  if (PlatformHandleKindOf(file) != PlatformHandleKind::kVolumeFile) return Fail(ERROR_INVALID_HANDLE);
  auto* v = static_cast<VolumeHandle*>(file);
  if (v->isDirectory || !v->canWrite) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard<std::mutex> g(v->lock);
  v->dirty = true;
  uint32_t err = v->file->SetSize(v->position);
  return err ? Fail(err) : 1;
}

BOOL FlushFileBuffers(HANDLE file) {
  if (PlatformFile* f = PlatformFileFromHandle(file)) {
    if (!f->canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (fdatasync(f->fd) != 0 && errno != EINVAL)
      return Fail(RtlNtStatusToDosError(PlatformErrnoToNtStatus(errno)));
    f->dirty = false;
    return 1;
  }
  if (PlatformHandleKindOf(file) != PlatformHandleKind::kVolumeFile) return Fail(ERROR_INVALID_HANDLE);
  auto* v = static_cast<VolumeHandle*>(file);
  if (!v->canWrite) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard<std::mutex> g(v->lock);
  uint32_t err = v->file->Flush();
  if (!err) err = v->provider->Flush();
  if (err) return Fail(err);
  v->dirty = false;
  return 1;
}

int CloseHandle(HANDLE handle) {
  PlatformHandleKind kind = PlatformHandleKindOf(handle);
  if (kind == PlatformHandleKind::kHostFile || kind == PlatformHandleKind::kVolumeFile) {
    uint32_t err = PlatformCloseFile(handle);
    return err ? Fail(err) : 1;
  }
  if (kind == PlatformHandleKind::kNone && handle && handle != INVALID_HANDLE_VALUE &&
      PlatformCloseTokenHandle(handle))
    return 1;
  return Fail(ERROR_INVALID_HANDLE);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  VolumeFileInfo i;
  uint32_t serial = 0;
  uint32_t err = PlatformHandleInfo(file, &i, &serial);
  if (err) return Fail(err);
  if (!info) return Fail(ERROR_NOACCESS);
  info->dwFileAttributes = i.attributes ? i.attributes : FILE_ATTRIBUTE_NORMAL;
  PutTime(&info->ftCreationTime, i.creationTime);
  PutTime(&info->ftLastAccessTime, i.lastAccessTime);
  PutTime(&info->ftLastWriteTime, i.lastWriteTime);
  info->dwVolumeSerialNumber = serial;
  info->nFileSizeHigh = static_cast<uint32_t>(i.size >> 32);
  info->nFileSizeLow = static_cast<uint32_t>(i.size);
  info->nNumberOfLinks = i.linkCount;
  info->nFileIndexHigh = static_cast<uint32_t>(i.fileIndex >> 32);
  info->nFileIndexLow = static_cast<uint32_t>(i.fileIndex);
  return 1;
}

}  // extern "C"
