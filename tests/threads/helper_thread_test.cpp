// The process's helper thread: every job runs exactly once and its writes are seen by its caller,
// whoever ran it, also when the helper or the caller has gone to sleep in between; a busy helper
// (a job asking from inside the helper) or VMPEEK_HELPER_THREAD=0 leaves the job to the caller;
// a forked child starts a helper of its own.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/helper_thread.h"

namespace {

struct Work {
  uint32_t seed = 0;
  std::vector<uint32_t> data = std::vector<uint32_t>(512);
  int runs = 0;
  std::chrono::microseconds pause{0};  // a long job: the caller goes to sleep waiting for it
  int nestedSubmit = -1;               // what a submit from inside the job returned
};

void Fill(void* context) {
  Work* w = static_cast<Work*>(context);
  if (w->pause.count() != 0) std::this_thread::sleep_for(w->pause);
  for (uint32_t i = 0; i < w->data.size(); ++i) w->data[i] = w->seed * 7919 + i;
  ++w->runs;
}

void FillAndNest(void* context) {
  Work* w = static_cast<Work*>(context);
  Work inner;
  HELPER_JOB job{Fill, &inner, 0};
  w->nestedSubmit = TrySubmitHelperJob(&job);
  if (w->nestedSubmit) WaitForHelperJob(&job);
  Fill(w);
}

// Runs `job` on the helper if it takes it, else here; true when the helper ran it.
bool RunJob(HELPER_JOB* job) {
  if (TrySubmitHelperJob(job)) {
    WaitForHelperJob(job);
    return true;
  }
  job->routine(job->context);
  return false;
}

bool TwoProcessors() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2;
}

TEST(HelperThread, EveryJobOnceFromConcurrentCallers) {
  constexpr int kThreads = 4, kJobs = 1500;
  std::atomic<int> onHelper{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kJobs; ++i) {
        Work w;
        w.seed = static_cast<uint32_t>(t * kJobs + i);
        if (i % 97 == 0) w.pause = std::chrono::microseconds(400);
        HELPER_JOB job{Fill, &w, 0};
        if (RunJob(&job)) ++onHelper;
        bool ok = w.runs == 1;
        for (uint32_t k = 0; k < w.data.size(); ++k) ok = ok && w.data[k] == w.seed * 7919 + k;
        if (!ok) ++wrong;
        // Now and then a gap longer than the helper's watch, so it sleeps and must be woken.
        if (i % 101 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  if (TwoProcessors()) {
    EXPECT_GT(onHelper.load(), 0);
  }
}

TEST(HelperThread, BusyOrTurnedOffLeavesTheJobToTheCaller) {
  if (TwoProcessors()) {
    Work outer;
    HELPER_JOB job{FillAndNest, &outer, 0};
    ASSERT_TRUE(TrySubmitHelperJob(&job));
    WaitForHelperJob(&job);
    EXPECT_EQ(outer.nestedSubmit, 0);  // the helper was busy with the job asking
    EXPECT_EQ(outer.runs, 1);
  }
  setenv("VMPEEK_HELPER_THREAD", "0", 1);
  Work w;
  HELPER_JOB job{Fill, &w, 0};
  EXPECT_FALSE(RunJob(&job));
  EXPECT_EQ(w.runs, 1);
  unsetenv("VMPEEK_HELPER_THREAD");
}

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer does not support threads after a fork
TEST(HelperThread, ForkedChildStartsItsOwn) {
  if (!TwoProcessors()) GTEST_SKIP() << "one processor: no helper";
  Work before;
  HELPER_JOB job{Fill, &before, 0};
  ASSERT_TRUE(RunJob(&job));  // the parent's helper is running
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    Work w;
    HELPER_JOB child{Fill, &w, 0};
    _exit(RunJob(&child) && w.runs == 1 ? 0 : 1);
  }
  // A child left waiting for a helper it does not have would hang: give it ten seconds.
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

}  // namespace
