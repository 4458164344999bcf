// The object behind a file HANDLE of this platform (NT and Win32 calls share it).
#pragma once
#include <cstdint>
#include <string>
#include "platform/nt_file.h"

struct PlatformFile {
  static constexpr uint32_t kMagic = 0x454C4946;  // "FILE"
  uint32_t magic = kMagic;
  int fd = -1;
  bool canWrite = false;
  bool dirty = false;
  uint64_t position = 0;  // Win32 ReadFile/WriteFile only
  std::string path;
};

// The file of a handle, or null for anything that is not an open handle of ours.
PlatformFile* PlatformFileFromHandle(HANDLE h);
// Opens a Windows path of any form the platform maps, with NT semantics and statuses.
NTSTATUS PlatformOpenFile(HANDLE* file, uint32_t desiredAccess, const WCHAR* path, bool caseInsensitive,
                          uint32_t shareAccess, uint32_t createDisposition, uint32_t createOptions);
