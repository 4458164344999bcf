// The link library's objects: the loader handed out for "QuillLoad2" and the connections to
// the volume driver it creates.
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "vmpeek/types.h"

// Loader object slots: 0 AddRef, 1 Release, 2 reserved, 3 LoadContentDriver.
class QuillLoader {
 public:
  virtual uint32_t AddRef() = 0;                                                   // 0
  virtual void Release() = 0;                                                      // 1
  virtual void Reserved2() = 0;                                                    // 2
  virtual uint32_t LoadContentDriver(const WCHAR* name, ContentDriver** driver) = 0;  // 3

 protected:
  ~QuillLoader() = default;
};

// What the exported NotComDllGetInterface answers: 0 and a loader with one reference for
// "QuillLoad2"; ERROR_INVALID_PARAMETER for null arguments; ERROR_INVALID_NAME otherwise.
uint32_t QuillGetInterface(const char* name, void** object);
