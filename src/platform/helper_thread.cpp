// The helper thread. Requests of a sequential read follow one another within microseconds, so
// both sides spin briefly before they sleep on a futex: a system call per hand-over costs more
// than the spin on a virtual machine, and sleeping keeps an idle helper off the processor.
#include "platform/helper_thread.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// How long the idle helper watches for the next job, and a caller for its job's end, before
// sleeping: longer than the gap between two requests of a sequential read, short enough that
// an idle helper leaves the processor at once on a human scale.
constexpr auto kIdleSpin = std::chrono::microseconds(50);
constexpr auto kWaitSpin = std::chrono::microseconds(200);

enum : uint32_t { kPending = 0, kDone = 1, kCallerSleeps = 2 };
enum : uint32_t { kNotStarted, kStarting, kRunning, kUnavailable };

std::atomic<HELPER_JOB*> g_Slot{nullptr};  // the job handed over; non-null while the helper is busy
std::atomic<uint32_t> g_Sleeping{0};       // futex word: 1 while the helper sleeps (or is about to)
std::atomic<uint32_t> g_Phase{kNotStarted};

void FutexWait(const void* word, uint32_t expected) {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void FutexWake(const void* word) { syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0); }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins until `ready()` or `budget` has passed; the clock is read every 64 turns.
template <class Ready>
bool SpinFor(std::chrono::microseconds budget, Ready ready) {
  const auto until = std::chrono::steady_clock::now() + budget;
  for (uint32_t i = 1;; ++i) {
    if (ready()) return true;
    CpuRelax();
    if ((i & 63) == 0 && std::chrono::steady_clock::now() > until) return false;
  }
}

// The next job: watched for a while, then slept for.
HELPER_JOB* AwaitJob() {
  for (;;) {
    HELPER_JOB* job = nullptr;
    if (SpinFor(kIdleSpin, [&] { return (job = g_Slot.load(std::memory_order_acquire)) != nullptr; })) return job;
    // Announce the sleep, then look once more: a submitter either sees the flag or its job is seen.
    g_Sleeping.store(1);
    if (g_Slot.load() == nullptr) FutexWait(&g_Sleeping, 1);
    g_Sleeping.store(0);
  }
}

// Runs for the life of the process: the library is never unloaded (linked nodelete, like the
// system libraries it stands in for), so the idle helper never sits in unmapped code.
void* HelperMain(void*) {
  for (;;) {
    HELPER_JOB* job = AwaitJob();
    job->routine(job->context);
    // Free for the next job before this one's caller learns it is done; after the exchange the
    // job may be gone, and only its address is used to wake a sleeping caller.
    g_Slot.store(nullptr, std::memory_order_release);
    if (__atomic_exchange_n(&job->state, kDone, __ATOMIC_ACQ_REL) == kCallerSleeps) FutexWake(&job->state);
  }
  return nullptr;
}

void WakeHelper() {
  if (g_Sleeping.load() == 1 && g_Sleeping.exchange(0) == 1) FutexWake(&g_Sleeping);
}

bool HasTwoProcessors() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
}

// Started at the first job, so a process that never splits work has no second thread.
bool EnsureStarted() {
  uint32_t phase = g_Phase.load(std::memory_order_acquire);
  if (phase == kRunning) return true;
  if (phase != kNotStarted || !g_Phase.compare_exchange_strong(phase, kStarting)) return false;
  // The default stack: a job may walk a parent chain as deep as the library allows.
  pthread_t thread;
  const bool started = HasTwoProcessors() && pthread_create(&thread, nullptr, HelperMain, nullptr) == 0;
  if (started) pthread_detach(thread);
  g_Phase.store(started ? kRunning : kUnavailable, std::memory_order_release);
  return started;
}

// A forked child has no helper thread (only the forking thread is copied): it starts its own.
const int g_AtFork = pthread_atfork(nullptr, nullptr, [] {
  g_Slot.store(nullptr);
  g_Sleeping.store(0);
  if (g_Phase.load() != kUnavailable) g_Phase.store(kNotStarted);
});

}  // namespace

extern "C" int TrySubmitHelperJob(HELPER_JOB* job) {
  // Read at every job, so a host (or a test) can turn the helper off at any time.
  const char* choice = getenv("VMPEEK_HELPER_THREAD");
  if (choice && strcmp(choice, "0") == 0) return 0;
  if (!EnsureStarted()) return 0;
  __atomic_store_n(&job->state, kPending, __ATOMIC_RELAXED);
  HELPER_JOB* expected = nullptr;
  if (!g_Slot.compare_exchange_strong(expected, job)) return 0;  // busy
  WakeHelper();
  return 1;
}

extern "C" void WaitForHelperJob(HELPER_JOB* job) {
  auto done = [job] { return __atomic_load_n(&job->state, __ATOMIC_ACQUIRE) == kDone; };
  if (SpinFor(kWaitSpin, done)) return;
  uint32_t pending = kPending;
  if (__atomic_compare_exchange_n(&job->state, &pending, kCallerSleeps, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    while (!done()) FutexWait(&job->state, kCallerSleeps);
  }
}
