// Batches of scatter reads from one file. A differencing disk reads its parent in many pieces
// that do not touch (the child holds the grains between them); one system call per piece costs
// more than the copies on a virtual machine, so each thread hands whole batches to io_uring and
// reads the pieces one by one only where the kernel or a sandbox refuses io_uring.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <sys/uio.h>
#include <vector>

#include "platform/file_handle.h"
#include "platform/handles.h"
#include "platform/nt_file.h"

#ifdef VMPEEK_HAVE_URING
#include <liburing.h>
#endif

namespace {

#ifdef VMPEEK_HAVE_URING
// Requests in flight at once: the ring's size.
constexpr unsigned kRingEntries = 64;
// Pieces of one request the kernel takes in one readv (UIO_MAXIOV).
constexpr uint32_t kMaxVectors = 1024;

// Bumped in the child of every fork: a ring inherited from the parent process is shared with it
// and must not be used; the child sets up its own.
std::atomic<uint32_t> g_ForkGeneration{0};
const int g_AtFork = pthread_atfork(nullptr, nullptr, [] { g_ForkGeneration.fetch_add(1); });

// The calling thread's ring, set up at its first batch; a thread whose ring cannot be set up
// (old kernel, a sandbox that forbids it) or fails reads one request after another from then on.
class ThreadRing {
 public:
  ThreadRing() = default;
  ThreadRing(const ThreadRing&) = delete;
  ThreadRing& operator=(const ThreadRing&) = delete;
  ~ThreadRing() { Disable(); }
  io_uring* Get() {
    const uint32_t generation = g_ForkGeneration.load(std::memory_order_relaxed);
    if (m_Tried && generation != m_Generation) {
      Disable();
      m_Tried = false;
    }
    if (!m_Tried) {
      m_Tried = true;
      m_Generation = generation;
      // VMPEEK_IO_URING=0 keeps the thread on plain reads (for comparison, or where io_uring
      // is audited); read at each thread's first batch.
      const char* choice = getenv("VMPEEK_IO_URING");
      if (choice && strcmp(choice, "0") == 0) return nullptr;
      // One thread submits and reaps, and completions run at reaping: the cheapest setup on
      // kernels that have it (6.1), plain elsewhere.
      m_Ready = io_uring_queue_init(kRingEntries, &m_Ring,
                                    IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN) == 0 ||
                io_uring_queue_init(kRingEntries, &m_Ring, 0) == 0;
    }
    return m_Ready ? &m_Ring : nullptr;
  }
  // Only with nothing in flight: the kernel may still write into buffers of requests in flight.
  void Disable() {
    if (m_Ready) io_uring_queue_exit(&m_Ring);
    m_Ready = false;
  }

 private:
  io_uring m_Ring{};
  uint32_t m_Generation = 0;
  bool m_Tried = false;
  bool m_Ready = false;
};

thread_local ThreadRing t_Ring;

uint64_t RequestBytes(const FILE_SCATTER_REQUEST& r) {
  uint64_t n = 0;
  for (uint32_t i = 0; i < r.count; ++i) n += r.segments[i].length;
  return n;
}

// Reads up to kRingEntries requests through the ring and waits for every one it handed over.
// A request the ring did not read whole (a short read at the end of the file, an error, one
// never handed over) is read again the plain way, which also gives the end-of-file rule.
void RingReadSome(io_uring* ring, HANDLE file, int fd, const FILE_SCATTER_REQUEST* requests, uint32_t count,
                  NTSTATUS* results) {
  std::vector<iovec> vectors;
  size_t total = 0;
  for (uint32_t i = 0; i < count; ++i) total += requests[i].count;
  vectors.reserve(total);  // never reallocated: the queued requests point into it
  for (uint32_t i = 0; i < count; ++i) results[i] = STATUS_PENDING;
  unsigned queued = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const FILE_SCATTER_REQUEST& r = requests[i];
    if (r.count == 0 || r.count > kMaxVectors || r.offset > static_cast<uint64_t>(INT64_MAX)) continue;
    io_uring_sqe* sqe = io_uring_get_sqe(ring);
    if (!sqe) break;
    const size_t first = vectors.size();
    for (uint32_t k = 0; k < r.count; ++k) vectors.push_back({r.segments[k].buffer, r.segments[k].length});
    io_uring_prep_readv(sqe, fd, &vectors[first], r.count, r.offset);
    io_uring_sqe_set_data64(sqe, i);
    ++queued;
  }
  unsigned submitted = 0;
  bool broken = false;
  while (submitted < queued) {
    const int rc = io_uring_submit(ring);
    if (rc == -EINTR || rc == -EAGAIN) continue;
    if (rc <= 0) {
      broken = true;
      break;
    }
    submitted += static_cast<unsigned>(rc);
  }
  for (unsigned seen = 0; seen < submitted;) {
    io_uring_cqe* cqe = nullptr;
    const int rc = io_uring_wait_cqe(ring, &cqe);
    if (rc == -EINTR || rc == -EAGAIN) continue;
    if (rc < 0) {
      broken = true;  // cannot happen with requests in flight; stop waiting rather than spin
      break;
    }
    const uint64_t index = io_uring_cqe_get_data64(cqe);
    const int res = cqe->res;
    io_uring_cqe_seen(ring, cqe);
    ++seen;
    if (index < count && res >= 0 && static_cast<uint64_t>(res) == RequestBytes(requests[index])) {
      results[index] = STATUS_SUCCESS;
    }
  }
  // A ring that failed may still hold unsubmitted entries pointing at this call's vectors.
  if (broken) t_Ring.Disable();
  for (uint32_t i = 0; i < count; ++i) {
    if (results[i] == STATUS_PENDING) {
      results[i] = ZwReadFileScatter(file, requests[i].segments, requests[i].count, requests[i].offset, nullptr);
    }
  }
}
#endif

}  // namespace

NTSTATUS ZwReadFileScatterBatch(HANDLE file, const FILE_SCATTER_REQUEST* requests, uint32_t count) {
  PlatformFile* f = PlatformFileFromHandle(file);
  if (!f) return STATUS_INVALID_HANDLE;
  if (count != 0 && !requests) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  uint32_t done = 0;
#ifdef VMPEEK_HAVE_URING
  // A single request gains nothing from the ring. The ring is asked again for every chunk: a
  // chunk that broke it leaves the rest to plain reads.
  io_uring* ring = nullptr;
  while (count > 1 && done < count && (ring = t_Ring.Get()) != nullptr) {
    const uint32_t n = count - done < kRingEntries ? count - done : kRingEntries;
    NTSTATUS results[kRingEntries];
    try {
      RingReadSome(ring, file, f->fd, requests + done, n, results);
    } catch (const std::bad_alloc&) {
      break;  // no room for the vectors (nothing was queued): the rest go the plain way
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (results[i] < 0 && status >= 0) status = results[i];
    }
    done += n;
  }
#endif
  for (; done < count; ++done) {
    const NTSTATUS st = ZwReadFileScatter(file, requests[done].segments, requests[done].count, requests[done].offset,
                                          nullptr);
    if (st < 0 && status >= 0) status = st;
  }
  return status;
}
