// Two independent halves of one request on two processors: the second half on the process's
// helper thread when it is free, the first on the caller's thread. The halves must not share
// state the other one writes (a child's own file and its parent, say).
#pragma once
#include "disk/no_memory.h"
#include "platform/helper_thread.h"
#include "platform/status.h"

struct HalfStatuses {
  NTSTATUS first;
  NTSTATUS second;
};

// Neither half may throw past the hand-over (the helper has no caller to unwind to, and the
// caller must not leave while the helper still uses its frame): memory exhaustion in either is
// STATUS_NO_MEMORY.
template <class First, class Second>
HalfStatuses RunAlongside(First first, Second second) {
  HalfStatuses result;
  RunBesideHelper([&] { result.first = StatusOrNoMemory(first); }, [&] { result.second = StatusOrNoMemory(second); });
  return result;
}
