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

NTSTATUS TransferImageBytes(HANDLE file, uint64_t offset, uint64_t length, uint8_t* buffer, bool write) {
  NTSTATUS status = STATUS_SUCCESS;
  while (length != 0) {
    const uint32_t run = static_cast<uint32_t>(length < kMaxRun ? length : kMaxRun);
    uint32_t done = 0;
    status = write ? ZwWriteFile(file, buffer, run, offset, &done) : ZwReadFile(file, buffer, run, offset, &done);
    if (status < 0) return status;
    buffer += run;
    offset += run;
    length -= run;
  }
  return status;
}
