// The Win32 file calls over the platform's file objects; failures set the thread's last error.
#include "platform/win_file.h"

#include <cerrno>
#include <string>
#include <unistd.h>

#include "platform/file_handle.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "platform/win_registry.h"

extern "C" {

HANDLE CreateFileW(const WCHAR* path, uint32_t desiredAccess, uint32_t shareMode, void*, uint32_t creationDisposition,
                   uint32_t, HANDLE) {
  uint32_t disposition;
  switch (creationDisposition) {
    case CREATE_NEW: disposition = FILE_CREATE; break;
    case CREATE_ALWAYS: disposition = FILE_OVERWRITE_IF; break;
    case OPEN_EXISTING: disposition = FILE_OPEN; break;
    case OPEN_ALWAYS: disposition = FILE_OPEN_IF; break;
    case TRUNCATE_EXISTING: disposition = FILE_OVERWRITE; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  if (!path || !path[0]) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = nullptr;
  NTSTATUS st = PlatformOpenFile(&h, desiredAccess, path, true, shareMode, disposition, FILE_NON_DIRECTORY_FILE);
  if (st != STATUS_SUCCESS) {
    SetLastError(st == STATUS_OBJECT_NAME_COLLISION ? ERROR_FILE_EXISTS : RtlNtStatusToDosError(st));
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

int ReadFile(HANDLE file, void* buffer, uint32_t toRead, uint32_t* read, void*) {
  if (read) *read = 0;
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
  uint32_t n = 0;
  NTSTATUS st = ZwReadFile(file, buffer, toRead, f->position, &n);
  if (st == STATUS_END_OF_FILE) st = STATUS_SUCCESS;  // Win32 reports end of file as 0 bytes read
  if (st != STATUS_SUCCESS) { SetLastError(RtlNtStatusToDosError(st)); return 0; }
  f->position += n;
  if (read) *read = n;
  return 1;
}

int WriteFile(HANDLE file, const void* buffer, uint32_t toWrite, uint32_t* written, void*) {
  if (written) *written = 0;
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
  uint32_t n = 0;
  NTSTATUS st = ZwWriteFile(file, buffer, toWrite, f->position, &n);
  f->position += n;
  if (written) *written = n;
  if (st != STATUS_SUCCESS) { SetLastError(RtlNtStatusToDosError(st)); return 0; }
  return 1;
}

uint32_t GetFileSize(HANDLE file, uint32_t* high) {
  uint64_t size = 0;
  NTSTATUS st = ZwQueryFileSize(file, &size);
  if (st != STATUS_SUCCESS) {
    SetLastError(RtlNtStatusToDosError(st));
    if (high) *high = 0;
    return INVALID_FILE_SIZE;
  }
  if (high) *high = static_cast<uint32_t>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<uint32_t>(size);
}

int CloseHandle(HANDLE handle) {
  if (PlatformCloseTokenHandle(handle)) return 1;
  if (!PlatformFileFromHandle(handle)) { SetLastError(ERROR_INVALID_HANDLE); return 0; }
  NTSTATUS st = ZwClose(handle);
  if (st != STATUS_SUCCESS) { SetLastError(RtlNtStatusToDosError(st)); return 0; }
  return 1;
}

int DeleteFileW(const WCHAR* path) {
  std::string posix;
  NTSTATUS st = PlatformMapPath(path, true, &posix);
  if (st == STATUS_SUCCESS && unlink(posix.c_str()) != 0) st = PlatformErrnoToNtStatus(errno);
  if (st != STATUS_SUCCESS) { SetLastError(RtlNtStatusToDosError(st)); return 0; }
  return 1;
}

}  // extern "C"
