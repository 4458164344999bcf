// The loader: Windows library names map to shared objects ("name.dll" -> "libname.so"),
// looked for beside the calling module first, then by the normal search.
#pragma once
#include <cstdint>
#include "platform/export.h"
#include "vmpeek/types.h"

typedef void* HMODULE;

extern "C" {
VMPLAT_API HMODULE LoadLibraryW(const WCHAR* name);
VMPLAT_API HMODULE LoadLibraryExW(const WCHAR* name, void* reserved, uint32_t flags);
VMPLAT_API void* GetProcAddress(HMODULE module, const char* name);
VMPLAT_API int FreeLibrary(HMODULE module);
// The file path of the module containing `address` (or of the main program for null address),
// in the drive-letter form (Z:\...). Returns the length copied, 0 on failure.
VMPLAT_API uint32_t GetModuleFileNameW(HMODULE module, WCHAR* buffer, uint32_t size);
// The module handle of the module containing an address (for a library's own handle).
VMPLAT_API HMODULE PlatformModuleFromAddress(const void* address);
VMPLAT_API uint32_t GetLastError(void);
VMPLAT_API void SetLastError(uint32_t code);
}
