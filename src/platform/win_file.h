// The Windows file API over host drives and mounted volumes (Win32 error codes via GetLastError).
// Paths: "X:\dir\file", "X:/dir/file", "\\?\X:\...", "\??\X:\...", relative paths, and the
// root names of registered volumes (platform/volume_provider.h).
#pragma once
#include <cstdint>
#include "platform/export.h"
#include "platform/nt_file.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define CREATE_NEW        1u
#define CREATE_ALWAYS     2u
#define OPEN_EXISTING     3u
#define OPEN_ALWAYS       4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY  0x1u
#define FILE_ATTRIBUTE_HIDDEN    0x2u
#define FILE_ATTRIBUTE_SYSTEM    0x4u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE   0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400u
#define FILE_ATTRIBUTE_COMPRESSED 0x800u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_SHARE_DELETE 0x4u
#define DELETE 0x00010000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_DELETE_ON_CLOSE  0x04000000u
#define FILE_BEGIN   0u
#define FILE_CURRENT 1u
#define FILE_END     2u
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_COPY_ALLOWED     0x2u
#define MAX_PATH 260

typedef int BOOL;

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

// Laid out as on Windows x64 (592 bytes).
struct WIN32_FIND_DATAW {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  uint32_t dwReserved0;
  uint32_t dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

struct WIN32_FILE_ATTRIBUTE_DATA {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
};

struct BY_HANDLE_FILE_INFORMATION {
  uint32_t dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  uint32_t dwVolumeSerialNumber;
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  uint32_t nNumberOfLinks;
  uint32_t nFileIndexHigh;
  uint32_t nFileIndexLow;
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

extern "C" {
// Win32 path ("C:\dir\file" or "\\?\C:\dir\file"); names are matched case-insensitively.
VMPLAT_API HANDLE CreateFileW(const WCHAR* path, uint32_t desiredAccess, uint32_t shareMode,
                              void* security, uint32_t creationDisposition, uint32_t flags,
                              HANDLE templateFile);
VMPLAT_API int ReadFile(HANDLE file, void* buffer, uint32_t toRead, uint32_t* read, void* overlapped);
VMPLAT_API int WriteFile(HANDLE file, const void* buffer, uint32_t toWrite, uint32_t* written, void* overlapped);
VMPLAT_API uint32_t GetFileSize(HANDLE file, uint32_t* high);
VMPLAT_API int CloseHandle(HANDLE handle);
VMPLAT_API int DeleteFileW(const WCHAR* path);

VMPLAT_API BOOL SetFilePointerEx(HANDLE file, int64_t distance, int64_t* newPosition, uint32_t method);
VMPLAT_API BOOL GetFileSizeEx(HANDLE file, int64_t* size);
VMPLAT_API BOOL SetEndOfFile(HANDLE file);
VMPLAT_API BOOL FlushFileBuffers(HANDLE file);
VMPLAT_API uint32_t GetFileAttributesW(const WCHAR* path);
VMPLAT_API BOOL GetFileAttributesExW(const WCHAR* path, GET_FILEEX_INFO_LEVELS level, void* info);
VMPLAT_API BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
VMPLAT_API HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* data);
VMPLAT_API BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
VMPLAT_API BOOL FindClose(HANDLE find);
VMPLAT_API BOOL CreateDirectoryW(const WCHAR* path, void* security);
VMPLAT_API BOOL RemoveDirectoryW(const WCHAR* path);
VMPLAT_API BOOL MoveFileW(const WCHAR* from, const WCHAR* to);
VMPLAT_API BOOL MoveFileExW(const WCHAR* from, const WCHAR* to, uint32_t flags);
VMPLAT_API BOOL CopyFileW(const WCHAR* from, const WCHAR* to, BOOL failIfExists);
// Length without the terminator on success; the size needed (terminator included) when the
// buffer is too small; 0 on failure.
VMPLAT_API uint32_t GetTempPathW(uint32_t size, WCHAR* buffer);
VMPLAT_API uint32_t QueryDosDeviceW(const WCHAR* deviceName, WCHAR* targetPath, uint32_t size);
// rootPath names a drive ("C:\\") or a volume root with a trailing backslash.
VMPLAT_API BOOL GetVolumeInformationW(const WCHAR* rootPath, WCHAR* label, uint32_t labelSize,
                                      uint32_t* serial, uint32_t* maxComponentLength,
                                      uint32_t* fileSystemFlags, WCHAR* fileSystemName,
                                      uint32_t fileSystemNameSize);
VMPLAT_API uint32_t GetFullPathNameW(const WCHAR* path, uint32_t size, WCHAR* buffer, WCHAR** filePart);
}
