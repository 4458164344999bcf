// The connection to the volume driver, as the driver-link library hands it out; only the slots
// the module calls are named.
#pragma once
#include <cstdint>
#include "vmpeek/types.h"

class ContentDriver {
 public:
  virtual uint32_t AddRef() = 0;                                                    // 0
  virtual void Release() = 0;                                                       // 1
  virtual void Reserved2() = 0;                                                     // 2
  virtual uint32_t IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out,
                         uint64_t outSize, uint64_t* returned) = 0;                 // 3

 protected:
  ~ContentDriver() = default;
};

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
