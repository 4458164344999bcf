// Reaching the volume driver through its link library.
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "platform/loader.h"

// The link library's "QuillLoad2" object. LoadContentDriver hands out a ContentDriver with one
// reference for the driver named (UTF-16, "zeldrive"); returns a Win32 status.
class QuillLoader {
 public:
  virtual uint32_t AddRef() = 0;                                                        // 0
  virtual void Release() = 0;                                                           // 1
  virtual void Reserved2() = 0;                                                         // 2
  virtual uint32_t LoadContentDriver(const WCHAR* name, ContentDriver** driver) = 0;  // 3

 protected:
  ~QuillLoader() = default;
};

// Request codes of the volume driver.
enum MountRequest : uint32_t {
  VMMount_IoCtl_Mount = 1,
  VMMount_IoCtl_UnMount = 2,
  VMMount_IoCtl_StartFileVirtualisation = 3,
  VMMount_IoCtl_StartRegVirtualisation = 4,
  VMMount_IoCtl_StopVirtualisation = 5,
  VMMount_IoCtl_ReadOnly = 6,
};

// Size of the mount request's reply: the 8-byte mount id and the volume's root name.
#define MOUNT_REPLY_BYTES 218u

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
