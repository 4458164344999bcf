// libquilldrv.so's one export.
#include "quilldrv/driver_link.h"

extern "C" __attribute__((visibility("default"))) uint32_t NotComDllGetInterface(const char* name, void** object) {
  return QuillGetInterface(name, object);
}
