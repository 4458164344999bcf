// The link library's objects: the loader handed out for "QuillLoad2" and the connections to
// the volume driver it creates.
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "vmpeek/types.h"

// What the exported NotComDllGetInterface answers: 0 and a loader with one reference for
// "QuillLoad2"; ERROR_INVALID_PARAMETER for null arguments; ERROR_INVALID_NAME otherwise.
uint32_t QuillGetInterface(const char* name, void** object);
