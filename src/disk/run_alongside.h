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
  struct Job {
    Second* routine;
    NTSTATUS status;
  } job{&second, STATUS_SUCCESS};
  HELPER_JOB helper{[](void* c) {
                      Job* j = static_cast<Job*>(c);
                      j->status = StatusOrNoMemory(*j->routine);
                    },
                    &job, 0};
  HalfStatuses result;
  if (TrySubmitHelperJob(&helper)) {
    result.first = StatusOrNoMemory(first);
    WaitForHelperJob(&helper);
    result.second = job.status;
  } else {
    result.first = StatusOrNoMemory(first);
    result.second = StatusOrNoMemory(second);
  }
  return result;
}
