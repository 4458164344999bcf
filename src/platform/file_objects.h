// File objects behind Win32 handles: host files (PlatformFile) and files inside volumes, opened
// with Win32 semantics. Shared by the handle calls, the path calls and copying.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include "platform/volume_provider.h"
#include "platform/win_file.h"
#include "platform/win_path.h"

#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define MAXIMUM_ALLOWED 0x02000000u
#define FILE_READ_DATA 0x1u
#define FILE_WRITE_DATA 0x2u
#define FILE_APPEND_DATA 0x4u
#define FILE_EXECUTE 0x20u

struct VolumeHandle {
  std::mutex lock;  // serialises calls on one handle
  std::shared_ptr<VolumeProvider> provider;
  std::unique_ptr<VolumeFile> file;
  std::u16string fileKey;
  std::u16string inner;
  uint64_t shareToken = 0;
  uint64_t position = 0;
  bool canRead = false;
  bool canWrite = false;
  bool isDirectory = false;
  bool dirty = false;
  bool deleteOnClose = false;
  uint32_t serial = 0;
};

// SHARE_ACCESS_* bits of a Win32 access mask.
uint32_t PlatformAccessBits(uint32_t desiredAccess);
// Opens `t` (CreateFileW semantics). *existed tells whether the file was there before.
uint32_t PlatformOpenTarget(const PlatformTarget& t, uint32_t desiredAccess, uint32_t share, uint32_t disposition,
                            uint32_t flagsAndAttributes, HANDLE* out, bool* existed);
// Positioned transfers and information on a handle from PlatformOpenTarget (Win32 errors).
uint32_t PlatformReadAt(HANDLE h, uint64_t offset, void* buffer, uint32_t length, uint32_t* done);
uint32_t PlatformWriteAt(HANDLE h, uint64_t offset, const void* buffer, uint32_t length, uint32_t* done);
uint32_t PlatformHandleInfo(HANDLE h, VolumeFileInfo* info, uint32_t* serial);
// Closes a file handle; the error of its final flush, if any (the handle is gone either way).
uint32_t PlatformCloseFile(HANDLE h);
// What is at a path; ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND when nothing is.
uint32_t PlatformTargetInfo(const PlatformTarget& t, VolumeFileInfo* info);
// Information of a host file (following a symbolic link, or of the link itself when broken);
// an errno value on failure.
int PlatformHostPathInfo(const std::string& posix, VolumeFileInfo* info);
// FILETIME of a host time.
uint64_t PlatformFileTime(int64_t seconds, int64_t nanoseconds);
// 32-bit serial number of a volume key.
uint32_t PlatformVolumeSerial(const std::u16string& key);
