// Diagnostics of the platform library: one UTF-16 line per failure site, handed to a hook that
// the host (or a test) installs. Nothing is written while no hook is set.
#pragma once
#include "platform/export.h"
#include "vmpeek/types.h"

typedef void (*PlatformTraceHook)(const WCHAR* line, void* context);

extern "C" {
VMPLAT_API void PlatformSetTraceHook(PlatformTraceHook hook, void* context);
}

// Formats with the conventions of WStrFormat and passes the line to the hook.
void PlatformTrace(const WCHAR* format, ...);
