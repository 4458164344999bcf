// Win32 codes the volume driver answers with beyond the platform's table, and the mapping of
// the filesystem libraries' errno values onto them.
#pragma once
#include <cstdint>
#include "platform/status.h"

#ifndef ERROR_DIR_NOT_EMPTY
#define ERROR_DIR_NOT_EMPTY 145u
#endif
#ifndef ERROR_DIRECTORY
#define ERROR_DIRECTORY 267u
#endif
#ifndef ERROR_UNRECOGNIZED_VOLUME
#define ERROR_UNRECOGNIZED_VOLUME 1005u
#endif
#ifndef ERROR_FILE_CORRUPT
#define ERROR_FILE_CORRUPT 1392u
#endif
#ifndef ERROR_BUFFER_OVERFLOW
#define ERROR_BUFFER_OVERFLOW 111u
#endif
#ifndef ERROR_NEGATIVE_SEEK
#define ERROR_NEGATIVE_SEEK 131u
#endif
#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223u
#endif

// errno of a failed libntfs-3g call. EIO is corruption unless the storage itself failed
// (deviceFailed), which is a device error.
uint32_t ErrnoToWin32(int err, bool deviceFailed);
