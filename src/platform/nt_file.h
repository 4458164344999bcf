// NT native file calls for image files, with NT statuses. Positioned buffered I/O stands in for
// unbuffered I/O; data written through a handle reaches the disk at ZwFlushBuffersFile and when
// the handle is closed (whose status reports a failed flush).
#pragma once
#include <cstdint>
#include "platform/export.h"
#include "platform/status.h"
#include "vmpeek/types.h"

typedef void* HANDLE;

// Access masks.
#define GENERIC_READ      0x80000000u
#define GENERIC_WRITE     0x40000000u
#define SYNCHRONIZE       0x00100000u
// Share modes.
#define FILE_SHARE_READ   0x1u
#define FILE_SHARE_WRITE  0x2u
// Dispositions.
#define FILE_SUPERSEDE    0u
#define FILE_OPEN         1u
#define FILE_CREATE       2u
#define FILE_OPEN_IF      3u
#define FILE_OVERWRITE    4u
#define FILE_OVERWRITE_IF 5u
// Options.
#define FILE_SYNCHRONOUS_IO_NONALERT 0x20u
#define FILE_NON_DIRECTORY_FILE      0x40u
#define FILE_NO_INTERMEDIATE_BUFFERING 0x8u
// Object attributes.
#define OBJ_CASE_INSENSITIVE 0x40u
#define OBJ_KERNEL_HANDLE    0x200u

extern "C" {
// Opens `ntPath` (an NT path "\??\X:\..."). A second writer of a file already open for writing
// (in any process) fails with STATUS_SHARING_VIOLATION unless the first allowed FILE_SHARE_WRITE;
// likewise opening for writing a file others opened without FILE_SHARE_WRITE.
VMPLAT_API NTSTATUS ZwCreateFile(HANDLE* file, uint32_t desiredAccess, const WCHAR* ntPath,
                                 uint32_t objectAttributes, uint32_t shareAccess,
                                 uint32_t createDisposition, uint32_t createOptions);
// Reads `length` bytes at `offset`. At or past the end of file: STATUS_END_OF_FILE. A read that
// the end of file cuts short succeeds with *transferred < length and the rest of the buffer zeroed.
// From 1 MiB on, the second half is read on the process's helper thread when it is free.
VMPLAT_API NTSTATUS ZwReadFile(HANDLE file, void* buffer, uint32_t length, uint64_t offset,
                               uint32_t* transferred);
// One piece of a scatter read: `length` bytes into `buffer`.
typedef struct FILE_SEGMENT_BUFFER {
  void* buffer;
  uint32_t length;
} FILE_SEGMENT_BUFFER;
// Reads the bytes from `offset` on into the segments in turn, in one call: what ZwReadFile would
// read into one buffer of their total length (at most 4 GB - 1), with the same end-of-file rule.
VMPLAT_API NTSTATUS ZwReadFileScatter(HANDLE file, const FILE_SEGMENT_BUFFER* segments, uint32_t count,
                                      uint64_t offset, uint32_t* transferred);
// One scatter read of a batch: the bytes from `offset` on into `count` segments in turn.
typedef struct FILE_SCATTER_REQUEST {
  uint64_t offset;
  const FILE_SEGMENT_BUFFER* segments;
  uint32_t count;
} FILE_SCATTER_REQUEST;
// Reads every request of the batch as ZwReadFileScatter reads it, handing the kernel the whole
// batch at once where it can (io_uring) and one request after another where it cannot. The
// status is the first failing request's.
VMPLAT_API NTSTATUS ZwReadFileScatterBatch(HANDLE file, const FILE_SCATTER_REQUEST* requests, uint32_t count);
VMPLAT_API NTSTATUS ZwWriteFile(HANDLE file, const void* buffer, uint32_t length, uint64_t offset,
                                uint32_t* transferred);
// End-of-file of the file (the standard-information query).
VMPLAT_API NTSTATUS ZwQueryFileSize(HANDLE file, uint64_t* endOfFile);
VMPLAT_API NTSTATUS ZwSetEndOfFile(HANDLE file, uint64_t endOfFile);
// Makes everything written through the handle durable (fdatasync) before it returns: writers
// call it where a later write must not reach the disk before an earlier one. Nothing to do for a
// handle that wrote nothing since its last flush.
VMPLAT_API NTSTATUS ZwFlushBuffersFile(HANDLE file);
// Flushes a handle that wrote (as ZwFlushBuffersFile) and closes it; the handle is gone even
// when the flush fails, and that failure is the status.
VMPLAT_API NTSTATUS ZwClose(HANDLE file);

// Fault injection for tests: when set, the hook is asked before every write ("write"),
// set-end-of-file ("setsize") and flush of a handle that wrote ("flush", offset and length 0);
// a non-zero return fails that call with the returned status and nothing is written or flushed.
typedef NTSTATUS (*PlatformFileFaultHook)(const char* op, const char* posixPath, uint64_t offset,
                                          uint32_t length, void* context);
VMPLAT_API void PlatformSetFileFaultHook(PlatformFileFaultHook hook, void* context);
}

// RAII owner of an NT file handle, for code inside the library.
class NtHandle {
 public:
  NtHandle() = default;
  explicit NtHandle(HANDLE h) : m_Handle(h) {}
  ~NtHandle() { Close(); }
  NtHandle(const NtHandle&) = delete;
  NtHandle& operator=(const NtHandle&) = delete;
  NtHandle(NtHandle&& o) noexcept : m_Handle(o.m_Handle) { o.m_Handle = nullptr; }
  NtHandle& operator=(NtHandle&& o) noexcept {
    if (this != &o) { Close(); m_Handle = o.m_Handle; o.m_Handle = nullptr; }
    return *this;
  }
  HANDLE get() const { return m_Handle; }
  HANDLE* put() { Close(); return &m_Handle; }
  explicit operator bool() const { return m_Handle != nullptr; }
  NTSTATUS Close() {
    NTSTATUS s = STATUS_SUCCESS;
    if (m_Handle) { s = ZwClose(m_Handle); m_Handle = nullptr; }
    return s;
  }

 private:
  HANDLE m_Handle = nullptr;
};
