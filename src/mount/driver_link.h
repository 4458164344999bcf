// Reaching the volume driver through its link library.
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "platform/loader.h"

// Loads `library`, asks its NotComDllGetInterface for `interfaceName` and frees the library again
// at once (a library that hands out objects keeps itself loaded while they live). Tries the
// library by name with flags 8 and 0, then beside `nearModule` when given. Returns the export's
// status, or the loader's last error when no load works or the export is missing.
uint32_t LoadNotComInterface(const WCHAR* library, const char* interfaceName, void** object,
                             HMODULE nearModule);

// Connects to the volume driver: *driver receives a ContentDriver with one reference, or null.
uint32_t ConnectDriver(ContentDriver** driver);

// Sends one request; a non-zero status is traced with the request's name.
uint32_t DriverIoCtl(ContentDriver* driver, MountRequest code, const void* in, uint64_t inSize,
                     void* out, uint64_t outSize, uint64_t* returned);

// For tests: the link library ConnectDriver loads (null restores "quilldrv.dll"; not copied).
void SetDriverLibraryNameForTesting(const WCHAR* name);
