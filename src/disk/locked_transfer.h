// The entry of every image class's Read and Write: the range test against the disk's size, the
// disk's lock around the class's own work, and one error trace for a failure.
#pragma once
#include <cstdint>

#include "disk/no_memory.h"
#include "module/parse_trace.h"
#include "platform/status.h"
#include "platform/sync.h"

// `op` runs under `lock` when sectors [first, first + count) lie inside a disk of `sectorCount`
// (STATUS_INVALID_PARAMETER otherwise, also for a missing buffer). Memory exhaustion inside op
// is STATUS_NO_MEMORY. A failure is traced with failTrace (first, count, status).
template <class Op>
NTSTATUS LockedTransfer(CRITICAL_SECTION* lock, uint64_t sectorCount, uint64_t first, uint32_t count,
                        const void* buffer, Op op, const WCHAR* failTrace) {
  NTSTATUS status;
  if (first > sectorCount || count > sectorCount - first || (buffer == nullptr && count != 0)) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    CsGuard guard(lock);
    status = StatusOrNoMemory(op);
  }
  if (status < 0) TRACE_ERR(failTrace, static_cast<int64_t>(first), static_cast<int32_t>(count), static_cast<uint32_t>(status));
  return status;
}
