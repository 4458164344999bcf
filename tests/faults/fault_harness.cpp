#include "faults/fault_harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "disk/open_virtual_disk.h"
#include "platform/nt_file.h"

namespace faulttest {

using vmtest::Quote;

namespace {

constexpr NTSTATUS kInjected = static_cast<NTSTATUS>(0xC0000185);  // STATUS_IO_DEVICE_ERROR

struct HookState {
  std::string prefix;  // only files of the trial folder count
  FaultMode mode = FaultMode::kOnlyNth;
  int failAt = 0;      // 0: never fail
  int seen = 0;
  int failed = 0;
  std::vector<uint64_t>* ends = nullptr;
};

NTSTATUS Hook(const char* op, const char* path, uint64_t offset, uint32_t length, void* context) {
  auto* s = static_cast<HookState*>(context);
  // Flushes are tried on their own (fault_test.cpp); the trials count writes and sizes.
  if (strncmp(path, s->prefix.c_str(), s->prefix.size()) != 0 || strcmp(op, "flush") == 0) return 0;
  ++s->seen;
  if (s->ends) s->ends->push_back(strcmp(op, "write") == 0 ? offset + length : offset);
  bool fail = s->failAt > 0 && (s->mode == FaultMode::kOnlyNth ? s->seen == s->failAt : s->seen >= s->failAt);
  if (!fail) return 0;
  ++s->failed;
  return kInjected;
}

// Opens through the mount control's path (drive-letter form), the way the host does.
NTSTATUS OpenDisk(const std::string& posix, bool readOnly, vmpeek::VirtualDisk** disk) {
  return MountOpenVirtualDisk(vmtest::WinPath(posix).c_str(), readOnly ? 1 : 0, disk);
}

uint64_t Sectors(vmpeek::VirtualDisk* d) {
  uint64_t n = 0;
  d->GetGeometry(nullptr, nullptr, &n, nullptr, nullptr, nullptr);
  return n;
}

bool ReadAllSectors(vmpeek::VirtualDisk* d, std::vector<uint8_t>* out) {
  const uint64_t n = Sectors(d);
  out->assign(n * 512, 0);
  for (uint64_t s = 0; s < n; s += 4000) {
    uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(4000, n - s));
    if (d->Read(s, c, out->data() + s * 512) != 0) return false;
  }
  return true;
}

}  // namespace

FaultRunner::FaultRunner(const vmtest::TempDir& dir, ImageKind kind) : m_Dir(dir), m_Kind(std::move(kind)) {}

std::string FaultRunner::CopyTemplate(const std::string& label) {
  std::string folder = m_Dir.file("trial" + std::to_string(++m_Trial) + "-" + label);
  // Sparse-aware: continuation files of several GiB are mostly holes.
  EXPECT_EQ(vmtest::Run("cp -r --sparse=always " + Quote(m_Kind.folder) + " " + Quote(folder)), 0);
  return folder;
}

bool FaultRunner::Prepare() {
  vmpeek::VirtualDisk* d = nullptr;
  NTSTATUS st = OpenDisk(m_Kind.folder + "/" + m_Kind.image, true, &d);
  EXPECT_EQ(st, 0) << m_Kind.name << " template does not open";
  if (st != 0) return false;
  bool ok = ReadAllSectors(d, &m_Before);
  d->Release();
  EXPECT_TRUE(ok) << m_Kind.name << " template does not read";
  if (!ok || (m_Kind.sector + m_Kind.data.size() / 512) * 512 > m_Before.size()) return false;
  m_After = m_Before;
  std::copy(m_Kind.data.begin(), m_Kind.data.end(), m_After.begin() + m_Kind.sector * 512);
  if (!m_Kind.qemuFormat.empty()) {
    std::string raw = m_Dir.file(m_Kind.name + "-template.raw");
    EXPECT_EQ(vmtest::Run("qemu-img convert -U -f " + m_Kind.qemuFormat + " -O raw " +
                          Quote(m_Kind.folder + "/" + m_Kind.image) + " " + Quote(raw)), 0);
    bool same = vmtest::ReadAll(raw) == m_Before;
    std::remove(raw.c_str());
    EXPECT_TRUE(same) << m_Kind.name << ": qemu-img and our reader disagree before any write";
    if (!same) return false;
  }
  // One unfaulted write records the steps (and the file ends they reach).
  std::string folder = CopyTemplate("steps");
  HookState state;
  state.prefix = folder + "/";
  state.ends = &m_StepEnds;
  vmpeek::VirtualDisk* w = nullptr;
  EXPECT_EQ(OpenDisk(folder + "/" + m_Kind.image, false, &w), 0);
  if (!w) return false;
  PlatformSetFileFaultHook(Hook, &state);
  st = w->Write(m_Kind.sector, static_cast<uint32_t>(m_Kind.data.size() / 512), m_Kind.data.data());
  PlatformSetFileFaultHook(nullptr, nullptr);
  w->Release();
  EXPECT_EQ(st, 0) << m_Kind.name << " unfaulted write";
  Verify(folder, true, "unfaulted");
  std::filesystem::remove_all(folder);
  return st == 0 && !m_StepEnds.empty();
}

void FaultRunner::Verify(const std::string& folder, bool complete, const std::string& label) {
  SCOPED_TRACE(m_Kind.name + " " + label);
  const std::string image = folder + "/" + m_Kind.image;
  vmpeek::VirtualDisk* d = nullptr;
  NTSTATUS st = OpenDisk(image, true, &d);
  ASSERT_EQ(st, 0) << "the image no longer opens";
  std::vector<uint8_t> seen;
  bool ok = ReadAllSectors(d, &seen);
  d->Release();
  ASSERT_TRUE(ok) << "a read failed";
  ASSERT_EQ(seen.size(), m_Before.size());
  const uint64_t first = m_Kind.sector, end = first + m_Kind.data.size() / 512;
  for (uint64_t s = 0; s < seen.size() / 512; ++s) {
    const uint8_t* got = seen.data() + s * 512;
    bool old = memcmp(got, m_Before.data() + s * 512, 512) == 0;
    bool now = memcmp(got, m_After.data() + s * 512, 512) == 0;
    if (complete || s < first || s >= end) {
      ASSERT_TRUE(complete ? now : old) << "sector " << s << " holds neither the expected data";
    } else {
      ASSERT_TRUE(old || now) << "written sector " << s << " holds garbage";
    }
  }
  if (m_Kind.qemuFormat.empty()) return;
  if (m_Kind.qemuCheck) {
    std::string out;
    EXPECT_EQ(vmtest::Run("qemu-img check -U -f " + m_Kind.qemuFormat + " " + Quote(image) + " 2>&1", &out), 0)
        << out;
  }
  std::string raw = folder + ".qemu.raw";
  ASSERT_EQ(vmtest::Run("qemu-img convert -U -f " + m_Kind.qemuFormat + " -O raw " + Quote(image) + " " + Quote(raw)),
            0);
  std::vector<uint8_t> qemu = vmtest::ReadAll(raw);
  std::remove(raw.c_str());
  ASSERT_EQ(qemu.size(), seen.size());
  for (size_t s = 0; s < seen.size() / 512; ++s)
    ASSERT_EQ(memcmp(qemu.data() + s * 512, seen.data() + s * 512, 512), 0) << "qemu-img differs at sector " << s;
}

int FaultRunner::RunHookTrials(FaultMode mode) {
  const char* modeName = mode == FaultMode::kOnlyNth ? "only" : "from";
  const uint32_t count = static_cast<uint32_t>(m_Kind.data.size() / 512);
  for (int n = 1; n < 200; ++n) {
    std::string label = std::string(modeName) + std::to_string(n);
    SCOPED_TRACE(m_Kind.name + " fault at step " + std::to_string(n) + " (" + modeName + ")");
    std::string folder = CopyTemplate(label);
    HookState state;
    state.prefix = folder + "/";
    state.mode = mode;
    state.failAt = n;
    vmpeek::VirtualDisk* d = nullptr;
    EXPECT_EQ(OpenDisk(folder + "/" + m_Kind.image, false, &d), 0);
    if (!d) return 0;
    PlatformSetFileFaultHook(Hook, &state);
    NTSTATUS st = d->Write(m_Kind.sector, count, m_Kind.data.data());
    PlatformSetFileFaultHook(nullptr, nullptr);
    if (state.failed == 0) {
      // Every step went through: the sequence is exhausted.
      d->Release();
      EXPECT_EQ(st, 0);
      Verify(folder, true, label);
      std::filesystem::remove_all(folder);
      return n - 1;
    }
    // A request reports the status of its last run only, so a failure in an earlier block of a
    // request that crosses blocks may come back as success; the contents tell.
    if (mode == FaultMode::kOnlyNth) {
      // A passing fault: the same disk object must still complete the write.
      EXPECT_EQ(d->Write(m_Kind.sector, count, m_Kind.data.data()), 0) << "retry in the same session";
      d->Release();
      Verify(folder, true, label + "-retried");
    } else {
      d->Release();
      Verify(folder, false, label);
      // The image left behind must still grow.
      d = nullptr;
      EXPECT_EQ(OpenDisk(folder + "/" + m_Kind.image, false, &d), 0);
      if (d) {
        EXPECT_EQ(d->Write(m_Kind.sector, count, m_Kind.data.data()), 0) << "write after reopening";
        d->Release();
        Verify(folder, true, label + "-reopened");
      }
    }
    std::filesystem::remove_all(folder);
    if (testing::Test::HasFatalFailure()) return 0;
  }
  ADD_FAILURE() << "the write never completed";
  return 0;
}

int FaultRunner::RunLimitTrials() {
  // A limit of E - 1 fails the step that would make a file reach E; E itself lets it pass.
  std::vector<uint64_t> limits;
  for (uint64_t e : m_StepEnds)
    if (e > 0) limits.push_back(e - 1);
  std::sort(limits.begin(), limits.end());
  limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
  const uint32_t count = static_cast<uint32_t>(m_Kind.data.size() / 512);
  for (uint64_t limit : limits) {
    std::string label = "fsize" + std::to_string(limit);
    SCOPED_TRACE(m_Kind.name + " file size limit " + std::to_string(limit));
    std::string folder = CopyTemplate(label);
    const std::string image = folder + "/" + m_Kind.image;
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
      vmpeek::VirtualDisk* d = nullptr;
      if (OpenDisk(image, false, &d) != 0) _exit(2);
      NTSTATUS st = d->Write(m_Kind.sector, count, m_Kind.data.data());
      d->Release();
      _exit(st == 0 ? 0 : 1);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "the writer died";
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 9;
    EXPECT_LE(code, 1) << "the image did not open for writing";
    // Success covers the last block of the request only (see above), so the contents tell.
    if (code <= 1) Verify(folder, false, label);
    std::filesystem::remove_all(folder);
  }
  return static_cast<int>(limits.size());
}

}  // namespace faulttest
