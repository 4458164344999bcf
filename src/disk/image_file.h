// Image file access shared by the image classes: files opened through the NT native calls for
// unbuffered, synchronous, positioned transfers of whole sectors.
#pragma once
#include <cstdint>

#include "platform/nt_file.h"

// Access masks, sharing, disposition, options and attributes of an image file.
constexpr uint32_t kImageAccessReadOnly = GENERIC_READ | SYNCHRONIZE;                   // 0x80100000
constexpr uint32_t kImageAccessReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;  // 0xC0100000
constexpr uint32_t kImageShare = FILE_SHARE_READ;                                       // 1
constexpr uint32_t kImageOptions =
    FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING;  // 0x68
constexpr uint32_t kImageAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;         // 0x240

// Opens an existing image file (ntPath carries the "\??\" prefix).
NTSTATUS OpenImageFile(const WCHAR* ntPath, bool readOnly, HANDLE* file);
// Positioned transfers of `length` bytes, split into runs the 32-bit calls can carry. A read
// cut short by the end of file succeeds with the rest of the buffer zeroed.
NTSTATUS TransferImageBytes(HANDLE file, uint64_t offset, uint64_t length, uint8_t* buffer, bool write);
inline NTSTATUS ReadImageBytes(HANDLE file, uint64_t offset, uint64_t length, void* buffer) {
  return TransferImageBytes(file, offset, length, static_cast<uint8_t*>(buffer), false);
}
inline NTSTATUS WriteImageBytes(HANDLE file, uint64_t offset, uint64_t length, const void* buffer) {
  return TransferImageBytes(file, offset, length, static_cast<uint8_t*>(const_cast<void*>(buffer)), true);
}
