// The process's helper thread: a second core for work a caller can split in two. The caller
// hands one half to the helper, does the other half itself, then waits for the helper's half.
// There is one helper per process and no queue: a caller that finds it busy (another thread's
// job, or its own job asking again from inside the helper) does the job itself, so nothing
// waits on work that cannot start.
#pragma once
#include <cstdint>
#include <type_traits>

#include "platform/export.h"

typedef struct HELPER_JOB {
  void (*routine)(void* context);
  void* context;
  uint32_t state;  // the platform's; zero before TrySubmitHelperJob
} HELPER_JOB;

extern "C" {
// Starts `job` on the helper thread. FALSE (0) when the helper is busy, when the process has one
// processor or VMPEEK_HELPER_THREAD=0, or when the thread cannot be started: the caller then runs
// the routine itself. After TRUE the caller must call WaitForHelperJob before `job` goes away.
VMPLAT_API int TrySubmitHelperJob(HELPER_JOB* job);
// Returns once the helper has finished `job` (its writes are visible to the caller).
VMPLAT_API void WaitForHelperJob(HELPER_JOB* job);
}

// Runs `second` on the helper thread when it takes it, else after `first`, and `first` on the
// calling thread; returns once both are done. Neither may throw.
template <class First, class Second>
void RunBesideHelper(First&& first, Second&& second) {
  HELPER_JOB job{[](void* c) { (*static_cast<std::remove_reference_t<Second>*>(c))(); }, &second, 0};
  const bool helped = TrySubmitHelperJob(&job) != 0;
  first();
  if (helped) {
    WaitForHelperJob(&job);
  } else {
    second();
  }
}
