#include "quilldrv/driver_errors.h"

#include <cerrno>

uint32_t ErrnoToWin32(int err, bool deviceFailed) {
  if (deviceFailed) return ERROR_IO_DEVICE;
  switch (err) {
    case 0: return ERROR_FILE_CORRUPT;  // a library failure that set nothing: treat the data as bad
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
    case EOVERFLOW: return ERROR_FILE_TOO_LARGE;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case EMLINK: return ERROR_ACCESS_DENIED;
    default: return ERROR_FILE_CORRUPT;  // EIO, ERANGE, EILSEQ, ...: inconsistent on-disk data
  }
}
