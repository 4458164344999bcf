// The object behind a host file HANDLE of this platform (NT and Win32 calls share it).
#pragma once
#include <cstdint>
#include <string>
#include "platform/nt_file.h"

struct PlatformFile {
  int fd = -1;
  bool canRead = true;
  bool canWrite = false;
  bool dirty = false;
  bool isDirectory = false;
  bool deleteOnClose = false;
  uint64_t position = 0;  // Win32 ReadFile/WriteFile only
  std::string path;
  std::u16string openKey;   // Win32 opens: entry in the open-file table (delete on close)
  uint64_t openToken = 0;
};

// The file of a handle, or null for anything that is not an open host file handle of ours.
PlatformFile* PlatformFileFromHandle(HANDLE h);
// Registers a new host file object as a live handle.
HANDLE PlatformFileToHandle(PlatformFile* f);
// Opens a Windows path of any form the platform maps, with NT semantics and statuses.
NTSTATUS PlatformOpenFile(HANDLE* file, uint32_t desiredAccess, const WCHAR* path, bool caseInsensitive,
                          uint32_t shareAccess, uint32_t createDisposition, uint32_t createOptions);
// Enforces share modes across handles and processes with open file description locks on marker
// bytes; access is SHARE_ACCESS_* bits, share FILE_SHARE_* bits. STATUS_SHARING_VIOLATION on conflict.
NTSTATUS PlatformApplyShareMode(int fd, uint32_t access, uint32_t share);
// True when some other opener of the file denies deleting it (no FILE_SHARE_DELETE).
bool PlatformDeleteDenied(int fd);
