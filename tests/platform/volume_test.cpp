// Volumes in the namespace: per-thread redirection, copies and moves between places, read-only
// volumes, reported flush failures; path forms, drive devices and names on host drives.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

#include "folder_volume.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "platform/win_file.h"
#include "platform/wstr.h"
#include "support/test_support.h"

namespace {

using vmtest::TempDir;

TEST(Volumes, RedirectionIsPerThreadAndCoversEveryFormOfTheDrive) {
  TempDir prefix;
  ScopedEnv env("VMPEEK_PREFIX", prefix.path());
  RegisteredVolume vol(21);
  vmtest::WriteText(vol.dir.file("marker.txt"), "volume");
  EXPECT_EQ(GetFileAttributesW(u"C:\\"), FILE_ATTRIBUTE_DIRECTORY);  // made on first use
  vmtest::WriteText(prefix.file("drive_c/marker.txt"), "host");
  EXPECT_EQ(PlatformStartFileRedirection(u"\\Device\\VmpeekDrive_Q", vol.root.c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(PlatformStartFileRedirection(u"\\Device\\VmpeekDrive_C", u"\\Device\\NoSuchVolume"), ERROR_FILE_NOT_FOUND);
  std::atomic<int> ready{0}, wrong{0};
  auto redirected = [&] {
    EXPECT_EQ(PlatformStartFileRedirection(u"\\Device\\VmpeekDrive_C", vol.root.c_str()), 0u);
    ++ready;
    while (ready < 2) std::this_thread::yield();
    for (int i = 0; i < 200; ++i)
      for (const char16_t* p : {u"C:\\marker.txt", u"c:/MARKER.TXT", u"\\\\?\\C:\\marker.txt", u"\\??\\C:\\marker.txt",
                                u"\\Device\\VmpeekDrive_C\\marker.txt", u"C:\\..\\..\\marker.txt",
                                u"\\\\?\\GLOBALROOT\\Device\\VmpeekDrive_C\\marker.txt"})
        if (ReadText(p) != "volume") ++wrong;
    uint32_t err;
    EXPECT_EQ(Find(u"C:\\*", &err), std::set<std::u16string>{u"marker.txt"});  // a volume's root: no dots
    PlatformStopFileRedirection();
    if (ReadText(u"C:\\marker.txt") != "host") ++wrong;
  };
  auto plain = [&] {
    ++ready;
    while (ready < 2) std::this_thread::yield();
    for (int i = 0; i < 200; ++i)
      if (ReadText(u"C:\\marker.txt") != "host" || ReadText(u"\\Device\\VmpeekDrive_C\\marker.txt") != "host") ++wrong;
  };
  std::thread a(redirected), b(plain);
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  // A thread redirected to a volume that goes away sees nothing rather than the host drive.
  PlatformStartFileRedirection(u"\\Device\\VmpeekDrive_C", vol.root.c_str());
  PlatformUnregisterVolume(vol.root);
  EXPECT_EQ(ReadText(u"C:\\marker.txt"), "<3>");
  PlatformStopFileRedirection();
  EXPECT_EQ(ReadText(u"C:\\marker.txt"), "host");
}

TEST(Volumes, CopyAndMoveBetweenHostAndVolumes) {
  TempDir host;
  RegisteredVolume one(31), two(32);
  auto data = vmtest::PatternBytes(3 * 1024 * 1024 + 123, 7);  // several copy chunks and a tail
  vmtest::WriteAll(host.file("big.bin"), data);
  std::u16string src = vmtest::WinPath(host.file("big.bin"));
  std::u16string inOne = one.root + u"\\big.bin", inTwo = two.root + u"\\Moved.bin";
  EXPECT_TRUE(CopyFileW(src.c_str(), inOne.c_str(), true));
  EXPECT_EQ(ErrorOf(CopyFileW(src.c_str(), inOne.c_str(), true)), ERROR_FILE_EXISTS);
  EXPECT_EQ(ErrorOf(CopyFileW(inOne.c_str(), inOne.c_str(), false)), ERROR_SHARING_VIOLATION);  // never onto itself
  EXPECT_EQ(ErrorOf(MoveFileExW(inOne.c_str(), inTwo.c_str(), 0)), ERROR_NOT_SAME_DEVICE);  // needs a copy
  EXPECT_TRUE(MoveFileW(inOne.c_str(), inTwo.c_str()));
  EXPECT_EQ(GetFileAttributesW(inOne.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(vmtest::ReadAll(two.dir.file("Moved.bin")), data);
  vmtest::WriteText(host.file("there.bin"), "old");
  std::u16string back = vmtest::WinPath(host.file("there.bin"));
  EXPECT_EQ(ErrorOf(MoveFileW(inTwo.c_str(), back.c_str())), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExW(inTwo.c_str(), back.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(vmtest::ReadAll(host.file("there.bin")), data);
  // Inside one volume a move is a rename, also of the case of a name alone.
  vmtest::WriteText(one.dir.file("a.txt"), "a");
  EXPECT_TRUE(MoveFileW((one.root + u"\\a.txt").c_str(), (one.root + u"\\..\\b.txt").c_str()));
  EXPECT_EQ(vmtest::ReadAll(one.dir.file("b.txt")).size(), 1u);
  vmtest::WriteText(host.file("case.txt"), "c");
  EXPECT_TRUE(MoveFileW(vmtest::WinPath(host.file("case.txt")).c_str(), vmtest::WinPath(host.file("CASE.txt")).c_str()));
  EXPECT_EQ(vmtest::ReadAll(host.file("CASE.txt")).size(), 1u);
  // A source open without FILE_SHARE_DELETE stays where it is.
  HANDLE h = CreateFileW(back.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(ErrorOf(MoveFileW(back.c_str(), inOne.c_str())), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(GetFileAttributesW(inOne.c_str()), INVALID_FILE_ATTRIBUTES);
  CloseHandle(h);
}

TEST(Volumes, ReadOnlyVolumesAndFailedFlushes) {
  RegisteredVolume ro(41, true);
  vmtest::WriteText(ro.dir.file("f.txt"), "data");
  std::u16string f = ro.root + u"\\F.TXT";
  EXPECT_EQ(ReadText(f), "data");
  EXPECT_EQ(ErrorOfOpen(f, GENERIC_WRITE, 0, OPEN_EXISTING), ERROR_WRITE_PROTECT);
  EXPECT_EQ(ErrorOfOpen(f, GENERIC_READ, 0, CREATE_ALWAYS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(ErrorOfOpen(ro.root + u"\\new", GENERIC_READ, 0, OPEN_ALWAYS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(ErrorOf(DeleteFileW(f.c_str())), ERROR_WRITE_PROTECT);
  EXPECT_EQ(ErrorOf(CreateDirectoryW((ro.root + u"\\d").c_str(), nullptr)), ERROR_WRITE_PROTECT);

  RegisteredVolume rw(42);
  std::u16string g = rw.root + u"\\g.bin";
  HANDLE h = CreateFileW(g.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint32_t n;
  EXPECT_TRUE(WriteFile(h, "x", 1, &n, nullptr));
  rw.provider->m_FlushError = ERROR_DISK_FULL;
  EXPECT_EQ(ErrorOf(CloseHandle(h)), ERROR_DISK_FULL);  // the flush at close failed: reported
  EXPECT_EQ(ErrorOf(CloseHandle(h)), ERROR_INVALID_HANDLE);  // and the handle is gone
  // Volume information: the serial number that file information reports too.
  h = CreateFileW(g.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  BY_HANDLE_FILE_INFORMATION bi;
  EXPECT_TRUE(GetFileInformationByHandle(h, &bi));
  CloseHandle(h);
  uint32_t serial = 0, flags = 0;
  WCHAR fs[8];
  EXPECT_TRUE(GetVolumeInformationW((rw.root + u"\\").c_str(), nullptr, 0, &serial, nullptr, &flags, fs, 8));
  EXPECT_EQ(serial, bi.dwVolumeSerialNumber);
  EXPECT_EQ(std::u16string(fs), u"UNKNOWN");  // the provider names none
  EXPECT_EQ(ErrorOf(GetVolumeInformationW((rw.root + u"\\").c_str(), nullptr, 0, nullptr, nullptr, nullptr, fs, 7)),
            ERROR_BAD_LENGTH);
  EXPECT_EQ(ErrorOf(GetVolumeInformationW(rw.root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)),
            ERROR_INVALID_NAME);  // a root is written with its separator
  EXPECT_TRUE(GetVolumeInformationW((ro.root + u"\\").c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0));
  EXPECT_EQ(flags & 0x80000u, 0x80000u);  // FILE_READ_ONLY_VOLUME
  EXPECT_EQ(PlatformRegisterVolume(rw.root, rw.provider), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(PlatformRegisterVolume(std::u16string(100, u'x'), rw.provider), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(PlatformUnregisterVolume(rw.root), ERROR_DISK_FULL);
  EXPECT_EQ(GetFileAttributesW(g.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(Win32Paths, FullNamesDevicesAndTemporaryFolder) {
  const struct {
    std::u16string in, out;
    int filePart;
  } cases[] = {
      {u"C:\\a\\..\\..\\b\\.\\c.txt", u"C:\\b\\c.txt", 5},
      {u"c:/x/y/", u"C:\\x\\y\\", -1},
      {u"C:\\dir\\name. . ", u"C:\\dir\\name", 7},
      {u"\\\\?\\C:\\a\\b", u"\\\\?\\C:\\a\\b", 9},
      {u"\\\\?\\GLOBALROOT\\Device\\TestVolume{9}\\..\\x", u"\\\\?\\GLOBALROOT\\Device\\TestVolume{9}\\x", 36},
  };
  RegisteredVolume v(9);
  for (const auto& c : cases) {
    WCHAR buf[300];
    WCHAR* part = reinterpret_cast<WCHAR*>(1);
    uint32_t n = GetFullPathNameW(c.in.c_str(), 300, buf, &part);
    EXPECT_EQ(std::u16string(buf, n), c.out);
    EXPECT_EQ(part ? static_cast<int>(part - buf) : -1, c.filePart);
  }
  WCHAR small[4] = {u'!', u'!', u'!', u'!'};
  EXPECT_EQ(GetFullPathNameW(u"C:\\abc", 4, small, nullptr), 7u);  // size needed, terminator included
  EXPECT_EQ(small[0], u'!');
  // Relative names resolve against the current folder.
  WCHAR buf[600];
  uint32_t n = GetFullPathNameW(u"rel\\x", 600, buf, nullptr);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(std::u16string(buf, n), PlatformPosixToWindows(cwd) + u"\\rel\\x");
  // Drive devices.
  TempDir q;
  ScopedEnv env("VMPEEK_DRIVE_Q", q.path());
  WCHAR dev[64];
  EXPECT_EQ(QueryDosDeviceW(u"q:", dev, 64), 23u);
  EXPECT_EQ(std::u16string(dev, 23), std::u16string(u"\\Device\\VmpeekDrive_Q\0\0", 23));
  EXPECT_EQ(ErrorOf(QueryDosDeviceW(u"Q:", dev, 22)), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(ErrorOf(QueryDosDeviceW(u"P:", dev, 64)), ERROR_FILE_NOT_FOUND);
  n = QueryDosDeviceW(nullptr, dev, 64);
  EXPECT_EQ(std::u16string(dev, n), std::u16string(u"C:\0Q:\0Z:\0\0", 10));
  // The temporary folder, in drive form with its separator.
  ScopedEnv tmp("TMPDIR", q.path());
  EXPECT_EQ(GetTempPathW(64, dev), 3u);
  EXPECT_EQ(std::u16string(dev), u"Q:\\");
  EXPECT_EQ(GetTempPathW(3, dev), 4u);
  EXPECT_TRUE(GetVolumeInformationW(u"Q:\\", dev, 64, nullptr, nullptr, nullptr, dev + 32, 32));
  EXPECT_EQ(ErrorOf(GetVolumeInformationW(u"Z:\\tmp\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0)),
            ERROR_DIR_NOT_ROOT);
  // A drive root lists no dots; a name written after the drive's root is no search.
  vmtest::WriteText(q.file("only"), "");
  uint32_t err;
  EXPECT_EQ(Find(u"Q:\\*", &err), std::set<std::u16string>{u"only"});
  EXPECT_TRUE(Find(u"Q:\\", &err).empty());
  EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(u"Q:\\*", &d);
  EXPECT_EQ(ErrorOf(CloseHandle(f)), ERROR_INVALID_HANDLE);  // a search closes with FindClose only
  EXPECT_TRUE(FindClose(f));
}

TEST(Win32Paths, HostNamesLongAndUnusual) {
  TempDir dir;
  vmtest::WriteText(dir.file(std::string(255, 'n')), "long");
  vmtest::WriteText(dir.file("bad\xff\x3a.bin"), "raw");  // not UTF-8, with a colon
  WIN32_FIND_DATAW d;
  memset(&d, 0xCC, sizeof d);
  HANDLE f = FindFirstFileW((vmtest::WinPath(dir.path()) + u"\\n*").c_str(), &d);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(d.cFileName).size(), 255u);
  EXPECT_EQ(d.cFileName[255], 0);
  EXPECT_EQ(d.cAlternateFileName[0], 0);
  FindClose(f);
  std::u16string tooLong = vmtest::WinPath(dir.path()) + u"\\" + std::u16string(256, u'n');
  EXPECT_EQ(ErrorOfOpen(tooLong, GENERIC_WRITE, 0, CREATE_NEW), ERROR_FILENAME_EXCED_RANGE);
  // The name that is not UTF-8 is listed in a form that opens the same file again.
  f = FindFirstFileW((vmtest::WinPath(dir.path()) + u"\\bad*").c_str(), &d);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  FindClose(f);
  EXPECT_EQ(ReadText(vmtest::WinPath(dir.path()) + u"\\" + d.cFileName), "raw");
  std::u16string lone = vmtest::WinPath(dir.path()) + u"\\x\xD800y";
  EXPECT_EQ(ErrorOfOpen(lone, GENERIC_WRITE, 0, CREATE_NEW), ERROR_INVALID_NAME);
}

}  // namespace
