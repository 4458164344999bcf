// The Windows file API subset the configuration readers use (Win32 error codes via GetLastError).
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
#define FILE_ATTRIBUTE_NORMAL 0x80u

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
}
