// Path mapping, NT and Win32 file calls on real files, share modes across processes, faults.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "folder_volume.h"
#include "platform/loader.h"
#include "platform/nt_file.h"
#include "platform/path.h"
#include "platform/win_file.h"
#include "support/test_support.h"

namespace {

using vmtest::NtPath;
using vmtest::TempDir;

constexpr uint32_t kRead = GENERIC_READ | SYNCHRONIZE;
constexpr uint32_t kReadWrite = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr uint32_t kOptions = 0x68;
constexpr uint32_t kAttrs = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

NTSTATUS Open(HANDLE* h, const std::string& posix, uint32_t access, uint32_t share = FILE_SHARE_READ,
              uint32_t disposition = FILE_OPEN, uint32_t attrs = kAttrs) {
  return ZwCreateFile(h, access, NtPath(posix).c_str(), attrs, share, disposition, kOptions);
}

TEST(Paths, DriveLettersMapAndFoldCase) {
  TempDir dir;
  mkdir(dir.file("VMs").c_str(), 0755);
  vmtest::WriteText(dir.file("VMs/Base.VMDK"), "x");
  std::string out;
  ASSERT_EQ(PlatformMapPath(u"\\??\\Z:\\tmp\\a\\..\\b\\.\\c", false, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, "/tmp/b/c");
  ASSERT_EQ(PlatformMapPath(u"\\??\\z:\\..\\..\\etc", false, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, "/etc");  // ".." never climbs above the drive's root
  EXPECT_EQ(PlatformMapPath(u"\\??\\Q:\\x", false, &out), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(PlatformMapPath(u"\\??\\UNC\\server\\share", false, &out), STATUS_OBJECT_NAME_INVALID);
  {
    ScopedEnv c("VMPEEK_DRIVE_C", dir.path() + "/");
    ASSERT_EQ(PlatformMapPath(u"\\??\\C:\\vms\\base.vmdk", true, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, dir.path() + "/VMs/Base.VMDK");  // case-insensitive per component
    ASSERT_EQ(PlatformMapPath(u"C:\\vms\\base.vmdk", false, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, dir.path() + "/vms/base.vmdk");  // exact only without the attribute
    EXPECT_EQ(PlatformPosixToWindows(dir.file("VMs/Base.VMDK")), u"C:\\VMs\\Base.VMDK");
  }
  EXPECT_EQ(PlatformPosixToWindows("/tmp/x y/z"), u"Z:\\tmp\\x y\\z");
}

TEST(NtFile, StatusesOnRealFiles) {
  TempDir dir;
  std::string file = dir.file("img.bin");
  vmtest::WriteAll(file, vmtest::PatternBytes(1024, 1));
  HANDLE h = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(Open(&h, dir.file("missing.bin"), kRead), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(Open(&h, dir.file("nodir/x.bin"), kRead), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(&h, dir.path(), kRead), STATUS_FILE_IS_A_DIRECTORY);
  ASSERT_EQ(mkfifo(dir.file("fifo.vmdk").c_str(), 0644), 0);
  EXPECT_EQ(Open(&h, dir.file("fifo.vmdk"), kRead), STATUS_INVALID_DEVICE_REQUEST);  // never blocks
  EXPECT_EQ(ZwCreateFile(&h, kRead, u"Z:\\tmp\\x", kAttrs, 1, FILE_OPEN, kOptions), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(&h, file, kRead, FILE_SHARE_READ, FILE_CREATE), STATUS_OBJECT_NAME_COLLISION);
  // Case-insensitive attribute: found under another case only with it.
  EXPECT_EQ(Open(&h, dir.file("IMG.BIN"), kRead, 1, FILE_OPEN, 0), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(Open(&h, dir.file("IMG.BIN"), kRead), STATUS_SUCCESS);
  uint64_t size = 0;
  EXPECT_EQ(ZwQueryFileSize(h, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 1024u);
  uint8_t buf[600];
  uint32_t got = 99;
  EXPECT_EQ(ZwReadFile(h, buf, 512, 512, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(ZwReadFile(h, buf, 512, 1024, &got), STATUS_END_OF_FILE);
  EXPECT_EQ(got, 0u);
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(ZwReadFile(h, buf, 600, 512, &got), STATUS_SUCCESS);  // cut short by the end
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(buf[599], 0);  // the rest is zeroed, never stale
  EXPECT_EQ(ZwWriteFile(h, buf, 512, 0, &got), STATUS_ACCESS_DENIED);  // read-only handle
  EXPECT_EQ(ZwSetEndOfFile(h, 0), STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
  // Create, grow, write, read back.
  ASSERT_EQ(Open(&h, dir.file("new.bin"), kReadWrite, FILE_SHARE_READ, FILE_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetEndOfFile(h, 4096), STATUS_SUCCESS);
  auto data = vmtest::PatternBytes(512, 2);
  EXPECT_EQ(ZwWriteFile(h, data.data(), 512, 3584, &got), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  auto back = vmtest::ReadAll(dir.file("new.bin"));
  ASSERT_EQ(back.size(), 4096u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 3584));
}

// Reads of 1 MiB and more go out in two halves, the second on the process's helper thread: the
// outcome is that of one read wherever the file ends, from several threads at once (the helper
// busy, asleep or free), with the helper turned off, and in a forked child (which must start a
// helper of its own).
TEST(NtFile, LargeReadsInHalvesEndLikeOneRead) {
  constexpr uint64_t kMiB = 1u << 20, kFile = 3 * kMiB + 1000;
  TempDir dir;
  const std::vector<uint8_t> data = vmtest::PatternBytes(kFile, 9);
  vmtest::WriteAll(dir.file("big.bin"), data);
  HANDLE h = nullptr;
  ASSERT_EQ(Open(&h, dir.file("big.bin"), kRead), STATUS_SUCCESS);
  // Inside the file, an odd length, the end inside the first half, at the split, inside the
  // second half, and a start at the end.
  const std::pair<uint64_t, uint32_t> rows[] = {{1000, 2 * kMiB},          {4095, kMiB + 513},
                                                {kFile - 600 * 1024, 2 * kMiB}, {kFile - kMiB, 2 * kMiB},
                                                {kFile - kMiB - 100, 2 * kMiB}, {kFile, 2 * kMiB}};
  // Every row read as one read would; the last 64 bytes of the buffer guard its end.
  auto readsRight = [&] {
    bool ok = true;
    for (const auto& [offset, length] : rows) {
      std::vector<uint8_t> buf(length + 64, 0xCC);
      uint32_t got = 0xDEAD;
      const uint64_t want = offset >= kFile ? 0 : std::min<uint64_t>(length, kFile - offset);
      ok = ok && ZwReadFile(h, buf.data(), length, offset, &got) == (want ? STATUS_SUCCESS : STATUS_END_OF_FILE) &&
           got == want && memcmp(buf.data(), data.data() + offset, want) == 0 &&
           (want == 0 || std::count(buf.begin() + want, buf.begin() + length, 0) == static_cast<long>(length - want)) &&
           std::count(buf.end() - 64, buf.end(), 0xCC) == 64;
    }
    return ok;
  };
  for (const char* helper : {"1", "0"}) {
    ScopedEnv env("VMPEEK_HELPER_THREAD", helper);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&] { for (int i = 0; i < 8; ++i) wrong += !readsRight(); });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0) << "VMPEEK_HELPER_THREAD=" << helper;
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(10);  // a child waiting for a helper it does not have would hang
    _exit(readsRight() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST(NtFile, FileSizeLimitIsDiskFull) {
  TempDir dir;
  std::string file = dir.file("limited.bin");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {8192, 8192};
    setrlimit(RLIMIT_FSIZE, &rl);
    HANDLE h;
    if (Open(&h, file, kReadWrite, FILE_SHARE_READ, FILE_CREATE) != STATUS_SUCCESS) _exit(10);
    uint8_t buf[4096] = {};
    if (ZwWriteFile(h, buf, 4096, 4096, nullptr) != STATUS_SUCCESS) _exit(11);
    _exit(ZwWriteFile(h, buf, 4096, 8192, nullptr) == STATUS_DISK_FULL ? 0 : 12);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(NtFile, OneWriterAcrossProcesses) {
  TempDir dir;
  std::string file = dir.file("disk.img");
  vmtest::WriteAll(file, std::vector<uint8_t>(4096, 0));
  HANDLE writer;
  ASSERT_EQ(Open(&writer, file, kReadWrite), STATUS_SUCCESS);
  HANDLE h;
  // In this process: a second writer, and a reader that denies writing, are refused.
  EXPECT_EQ(Open(&h, file, kReadWrite), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Open(&h, file, kRead, FILE_SHARE_READ), STATUS_SHARING_VIOLATION);
  ASSERT_EQ(Open(&h, file, kRead, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
  ZwClose(h);
  // In another process, likewise.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HANDLE c;
    if (Open(&c, file, kReadWrite) != STATUS_SHARING_VIOLATION) _exit(1);
    if (Open(&c, file, kRead, FILE_SHARE_READ | FILE_SHARE_WRITE) != STATUS_SUCCESS) _exit(2);
    ZwClose(c);
    _exit(0);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  EXPECT_EQ(WEXITSTATUS(st), 0);
  ZwClose(writer);
  // Once the writer is gone another may open for writing.
  ASSERT_EQ(Open(&h, file, kReadWrite), STATUS_SUCCESS);
  ZwClose(h);
}

struct FaultState {
  int calls = 0;
  int failAt = -1;
};

NTSTATUS FailNth(const char*, const char*, uint64_t, uint32_t, void* ctx) {
  auto* s = static_cast<FaultState*>(ctx);
  return s->calls++ == s->failAt ? STATUS_DISK_FULL : STATUS_SUCCESS;
}

TEST(NtFile, FaultHookFailsChosenWrite) {
  TempDir dir;
  HANDLE h;
  ASSERT_EQ(Open(&h, dir.file("f.bin"), kReadWrite, 1, FILE_CREATE), STATUS_SUCCESS);
  FaultState s;
  s.failAt = 1;
  PlatformSetFileFaultHook(FailNth, &s);
  uint8_t buf[512] = {1};
  EXPECT_EQ(ZwWriteFile(h, buf, 512, 0, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ZwWriteFile(h, buf, 512, 512, nullptr), STATUS_DISK_FULL);
  EXPECT_EQ(ZwSetEndOfFile(h, 8192), STATUS_SUCCESS);
  PlatformSetFileFaultHook(nullptr, nullptr);
  uint64_t size;
  ZwQueryFileSize(h, &size);
  EXPECT_EQ(size, 8192u);
  ZwClose(h);
}

TEST(Win32File, ReadsSequentiallyAndSetsLastError) {
  TempDir dir;
  vmtest::WriteText(dir.file("Test.vmx"), "config.version = \"8\"\n");
  HANDLE h = CreateFileW(vmtest::WinPath(dir.file("test.VMX")).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint32_t high = 7;
  EXPECT_EQ(GetFileSize(h, &high), 21u);
  EXPECT_EQ(high, 0u);
  char buf[64] = {};
  uint32_t n = 0;
  EXPECT_TRUE(ReadFile(h, buf, 6, &n, nullptr));
  EXPECT_TRUE(ReadFile(h, buf + 6, 32, &n, nullptr));
  EXPECT_EQ(n, 15u);
  EXPECT_STREQ(buf, "config.version = \"8\"\n");
  EXPECT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);  // end of file: success with nothing read
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(CreateFileW(vmtest::WinPath(dir.file("none.vmx")).c_str(), GENERIC_READ, 1, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateFileW(vmtest::WinPath(dir.file("no/none.vmx")).c_str(), GENERIC_READ, 1, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Loader, MapsLibraryNamesAndReportsModulePaths) {
  WCHAR path[300];
  uint32_t n = GetModuleFileNameW(nullptr, path, 300);
  ASSERT_GT(n, 0u);
  std::u16string self(path);
  EXPECT_EQ(self.substr(0, 3), u"Z:\\");
  EXPECT_NE(self.find(u"\\bin\\test_platform"), std::u16string::npos);
  WCHAR tiny[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u);  // truncated, terminated
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(tiny[3], 0);
  EXPECT_EQ(LoadLibraryW(u"no-such-library.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  // A Windows library name maps to lib<name>.so (found through the platform library's own
  // search path); a full Windows path loads the same module, and its path reads back.
  HMODULE byName = LoadLibraryW(u"VEXLOG.DLL");
  ASSERT_NE(byName, nullptr);
  EXPECT_NE(GetProcAddress(byName, "vexlogexports1"), nullptr);
  EXPECT_EQ(GetProcAddress(byName, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  ASSERT_GT(GetModuleFileNameW(byName, path, 300), 0u);
  std::u16string libPath(path);
  EXPECT_NE(libPath.find(u"\\lib\\libvexlog.so"), std::u16string::npos);
  HMODULE byPath = LoadLibraryW(libPath.c_str());
  EXPECT_EQ(byPath, byName);
  EXPECT_TRUE(FreeLibrary(byPath));
  EXPECT_TRUE(FreeLibrary(byName));
}

}  // namespace
