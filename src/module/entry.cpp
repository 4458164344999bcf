// Placeholder until the module entry lands.
#include "vmpeek/vmpeek.h"
extern "C" __attribute__((visibility("default"))) uint32_t NotComDllGetInterface(const char*, void** o) { if (!o) return 87; *o = nullptr; return 123; }
extern "C" __attribute__((visibility("default"))) void NotComDllUnload(void) {}
