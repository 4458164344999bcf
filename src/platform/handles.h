// The table of live handles: every file, volume-file and search handle this platform hands out is
// registered here, so a stale or foreign value is refused without ever being dereferenced.
#pragma once
#include <cstdint>

enum class PlatformHandleKind : uint8_t { kNone = 0, kHostFile, kVolumeFile, kFind };

void PlatformHandleAdd(void* handle, PlatformHandleKind kind);
// Removes a live handle of the given kind; false when it is not one (so two racing closes of one
// handle cannot both proceed).
bool PlatformHandleTake(void* handle, PlatformHandleKind kind);
// The kind of a live handle, kNone for anything else (null, INVALID_HANDLE_VALUE, closed, foreign).
PlatformHandleKind PlatformHandleKindOf(const void* handle);
