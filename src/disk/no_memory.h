// How the disk layer runs out of memory. Memory comes from containers and std::make_unique, so
// a failed allocation is std::bad_alloc wherever it happens (a constructor's member included,
// which `new (std::nothrow)` would let through). The entry points a caller reaches — the
// factories, Open, Read and Write (LockedTransfer), Flush — turn it into STATUS_NO_MEMORY, or a
// null object for a factory, here; nothing below them checks an allocation.
#pragma once
#include <new>
#include <utility>

#include "module/parse_trace.h"
#include "platform/status.h"

// f() with memory exhaustion as STATUS_NO_MEMORY, traced with `trace` when given.
template <class F>
NTSTATUS StatusOrNoMemory(F&& f, const WCHAR* trace = nullptr) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    if (trace) TRACE_ERR(trace);
    return STATUS_NO_MEMORY;
  }
}

// A new T, or null when memory is exhausted.
template <class T, class... Args>
T* CreateOrNull(Args&&... args) {
  try {
    return new T(std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
