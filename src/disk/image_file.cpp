// Image file access through the NT native file calls.
#include "disk/image_file.h"

namespace {
constexpr uint64_t kMaxRun = 0x40000000;  // 1 GB per call, a whole number of sectors
}

NTSTATUS OpenImageFile(const WCHAR* ntPath, bool readOnly, HANDLE* file) {
  *file = nullptr;
  return ZwCreateFile(file, readOnly ? kImageAccessReadOnly : kImageAccessReadWrite, ntPath,
                      kImageAttributes, kImageShare, FILE_OPEN, kImageOptions);
}

NTSTATUS ReadImageBytes(HANDLE file, uint64_t offset, uint64_t length, void* buffer) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  NTSTATUS status = STATUS_SUCCESS;
  while (length != 0) {
    const uint32_t run = static_cast<uint32_t>(length < kMaxRun ? length : kMaxRun);
    uint32_t done = 0;
    status = ZwReadFile(file, out, run, offset, &done);
    if (status < 0) return status;
    out += run;
    offset += run;
    length -= run;
  }
  return status;
}

NTSTATUS WriteImageBytes(HANDLE file, uint64_t offset, uint64_t length, const void* buffer) {
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  NTSTATUS status = STATUS_SUCCESS;
  while (length != 0) {
    const uint32_t run = static_cast<uint32_t>(length < kMaxRun ? length : kMaxRun);
    uint32_t done = 0;
    status = ZwWriteFile(file, in, run, offset, &done);
    if (status < 0) return status;
    in += run;
    offset += run;
    length -= run;
  }
  return status;
}
