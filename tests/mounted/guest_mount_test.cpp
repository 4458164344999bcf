// Mounting partitions of real VMDK and VHD images through libvmpeek.so's host interface (by slot),
// the real driver library and the platform's file and registry: files, the guest registry tree,
// drive letters and per-thread redirection, checked against The Sleuth Kit and hivex.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/loader.h"
#include "platform/status.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"
#include "slots.h"
#include "support/test_support.h"
#include "vmpeek/vmpeek.h"

namespace {

vmtest::TempDir* g_Dir;
void* g_Control;
std::string g_Temp;  // the platform's temporary folder (TMPDIR)

std::u16string Win(const std::string& name) { return vmtest::WinPath(g_Dir->file(name)); }

void* MountOn(const std::string& image, uint8_t partition, bool writable) {
  void* mounted = nullptr;
  EXPECT_EQ(0u, MountSlot(g_Control, Win(image), partition, writable, &mounted)) << image << " " << int(partition);
  return mounted;
}

std::vector<uint8_t> Identity(const std::string& image, uint8_t partition) {
  void *disk = nullptr, *part = nullptr;
  std::vector<uint8_t> id(16);
  if (Slot<NTSTATUS>(g_Control, 3, Win(image).c_str(), uint8_t{1}, &disk) == 0 &&
      Slot<NTSTATUS>(disk, 8, partition, &part) == 0) {
    Slot<void>(part, 4, id.data());
    Slot<void>(part, 1);
  }
  if (disk) Slot<void>(disk, 1);
  return id;
}

// A string value of a guest key opened through the mounted partition's registry slot.
std::u16string Value(void* m, HKEY root, const WCHAR* path, const WCHAR* name, uint32_t options = 0) {
  HKEY key = nullptr;
  uint32_t status = options ? RegOpenKeyExW(Slot<HKEY>(m, kGetRegistryRoot, root), path, options, KEY_READ, &key)
                            : Slot<uint32_t>(m, kRegOpenKeyEx, root, path, KEY_READ, &key);
  if (status != 0) return u"<" + Utf8ToUtf16(std::to_string(status)) + u">";
  WCHAR text[512] = {};
  uint32_t type = 0, size = sizeof text - 2;
  status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<uint8_t*>(text), &size);
  RegCloseKey(key);
  return status ? u"<query " + Utf8ToUtf16(std::to_string(status)) + u">" : std::u16string(text);
}

// Subkeys (or values) of a key, -1 when it does not open.
int Count(HKEY root, const WCHAR* path, bool values) {
  HKEY key = nullptr;
  uint32_t n[2] = {};
  if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != 0) return -1;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &n[0], nullptr, nullptr, &n[1], nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return static_cast<int>(n[values]);
}

std::vector<std::string> TempFiles() {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(g_Temp)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class GuestMount : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_Dir = new vmtest::TempDir();
    vmtest::Sh(vmtest::Quote(VMPEEK_SOURCE_DIR "/tests/mounted/make_guest.sh") + " " + vmtest::Quote(g_Dir->path()) +
               " " + VMPEEK_BUILD_DIR "/bin/ntfs_fill >&2");
    g_Temp = g_Dir->file("tmp");
    std::filesystem::create_directories(g_Temp);
    setenv("TMPDIR", g_Temp.c_str(), 1);
    setenv("VMPEEK_PREFIX", g_Dir->file("prefix").c_str(), 1);  // an empty host C: drive
    HMODULE plugin = LoadLibraryW(vmtest::WinPath(VMPEEK_BUILD_DIR "/lib/libvmpeek.so").c_str());
    auto get = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(plugin, "NotComDllGetInterface"));
    ASSERT_TRUE(get && get(VMPEEK_MOUNT_CONTROL_INTERFACE, &g_Control) == 0);
  }
  static void TearDownTestSuite() {
    if (g_Control) Slot<void>(g_Control, 1);
    delete g_Dir;
  }
};

TEST_F(GuestMount, ReadOnlyRegistryTreeDriveLettersAndTemporaryCopies) {
  void* m = MountOn("disk.vmdk", 0, false);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(1, Slot<uint8_t>(m, kIsReadOnly));
  EXPECT_EQ(1, Slot<uint8_t>(m, kHasRegistry));
  ASSERT_EQ(0u, Slot<uint32_t>(m, kLoadRegistry));
  auto temps = TempFiles();
  ASSERT_EQ(3u, temps.size());
  for (auto& name : temps) EXPECT_TRUE(name.ends_with("_temp.reg")) << name;
  // Select\Current is 2 in this guest: the link must lead to ControlSet002, whose computer name
  // differs from ControlSet001's (WKS-WIN732BITA).
  EXPECT_TRUE(Value(m, HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet", u"SymbolicLinkValue", REG_OPTION_OPEN_LINK)
                  .ends_with(u"\\ControlSet002"));
  EXPECT_EQ(u"WIN-V5T3CSP8U4H", Value(m, HKEY_LOCAL_MACHINE,
                                      u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", u"ComputerName"));
  EXPECT_EQ(u"txtfile", Value(m, HKEY_CLASSES_ROOT, u".txt", u""));
  EXPECT_EQ(u"en-GB", Value(m, HKEY_CURRENT_USER, u"Control Panel\\International", u"LocaleName"));
  // G: is 12-byte data for partition 0, H: 24-byte data for partition 1 (after a string value and
  // a 16-byte value with the same bytes, which must not match).
  EXPECT_EQ(u'G', Slot<WCHAR>(m, kGetDriveLetter, Identity("disk.vmdk", 0).data()));
  EXPECT_EQ(u'H', Slot<WCHAR>(m, kGetDriveLetter, Identity("disk.vmdk", 1).data()));
  EXPECT_EQ(0, Slot<WCHAR>(m, kGetDriveLetter, std::vector<uint8_t>(16, 0).data()));

  Slot<void>(m, kUnLoadRegistry);
  EXPECT_TRUE(TempFiles().empty());
  EXPECT_EQ(nullptr, Slot<HKEY>(m, kGetRegistryRoot, HKEY_LOCAL_MACHINE));
  EXPECT_EQ(0, Count(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Brenmoor\\Tamsel", false));
  Slot<void>(m, kRelease);
}

TEST_F(GuestMount, DirtyHiveIsLoadedWithItsCopiedLogs) {
  void* m = MountOn("disk.vhd", 1, false);
  ASSERT_NE(nullptr, m);
  ASSERT_EQ(0u, Slot<uint32_t>(m, kLoadRegistry));
  auto temps = TempFiles();
  EXPECT_EQ(5u, temps.size());
  EXPECT_EQ(2, std::count_if(temps.begin(), temps.end(), [](auto& n) { return n.ends_with("_temp.reg.LOG1") ||
                                                                              n.ends_with("_temp.reg.LOG2"); }));
  // 6 values in the primary file, \DosDevices\F: from the logs.
  EXPECT_EQ(7, Count(Slot<HKEY>(m, kGetRegistryRoot, HKEY_LOCAL_MACHINE), u"SYSTEM\\MountedDevices", true));
  Slot<void>(m, kUnLoadRegistry);
  EXPECT_TRUE(TempFiles().empty());
  Slot<void>(m, kRelease);
}

TEST_F(GuestMount, WritableMountFilesAcrossHostAndVolumeAndHiveWriteBack) {
  vmtest::CopyFile(g_Dir->file("disk.vhd"), g_Dir->file("w.vhd"));
  void* m = MountOn("w.vhd", 0, true);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(0, Slot<uint8_t>(m, kIsReadOnly));
  ASSERT_EQ(0u, Slot<uint32_t>(m, kLoadRegistry));
  EXPECT_TRUE(TempFiles().empty());
  HKEY key = nullptr;
  ASSERT_EQ(0u, Slot<uint32_t>(m, kRegCreateKeyEx, HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vmpeek", KEY_ALL_ACCESS, &key,
                               static_cast<uint32_t*>(nullptr)));
  EXPECT_EQ(0, RegSetValueExW(key, u"Written", 0, REG_SZ, reinterpret_cast<const uint8_t*>(u"yes"), 8));
  RegCloseKey(key);
  Slot<void>(m, kUnLoadRegistry);

  HANDLE file = Slot<HANDLE>(m, kCreateFile, u"\\data\\new.txt", GENERIC_WRITE, 0u, static_cast<void*>(nullptr),
                             CREATE_NEW, 0u);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  uint32_t written = 0;
  EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
  EXPECT_TRUE(CloseHandle(file));
  WIN32_FIND_DATAW found{};
  HANDLE find = Slot<HANDLE>(m, kFindFirstFile, u"\\data\\*.txt", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  int count = 1;
  while (FindNextFileW(find, &found)) ++count;
  FindClose(find);
  EXPECT_EQ(2, count);
  const std::u16string host = Win("out.txt");
  EXPECT_EQ(1, Slot<uint8_t>(m, kCopyFile, u"\\data\\hello.txt", uint8_t{0}, host.c_str(), uint8_t{1}));
  EXPECT_EQ("guest file\n", vmtest::Sh("cat " + vmtest::Quote(g_Dir->file("out.txt"))));
  EXPECT_EQ(1, Slot<uint8_t>(m, kCopyFile, host.c_str(), uint8_t{1}, u"\\data\\fromhost.txt", uint8_t{0})) << GetLastError();
  EXPECT_EQ(1, Slot<uint8_t>(m, kMoveFile, u"\\data\\new.txt", uint8_t{0}, u"\\moved.txt", uint8_t{0}));
  EXPECT_EQ(1, Slot<uint8_t>(m, kMoveFile, host.c_str(), uint8_t{1}, Win("out2.txt").c_str(), uint8_t{1}));
  EXPECT_EQ(0, Slot<uint8_t>(m, kDeleteFile, u"\\data\\no-such.txt"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  Slot<void>(m, kRelease);

  // What the guest volume holds now, read by ntfs-3g's tools and hivex from the image.
  const std::string raw = vmtest::QemuToRaw(g_Dir->file("w.vhd"), g_Dir->file("w.raw"), "vpc");
  const std::string part = vmtest::Quote(raw + ".p1"), cat = "ntfscat " + part + " ";
  vmtest::Sh("dd if=" + vmtest::Quote(raw) + " of=" + part + " bs=512 skip=2048 count=81920 status=none");
  EXPECT_EQ("abc", vmtest::Sh(cat + "/moved.txt"));
  EXPECT_EQ("guest file\n", vmtest::Sh(cat + "/data/fromhost.txt"));
  vmtest::Sh(cat + "/Windows/System32/config/SOFTWARE > " + part + ".soft");
  vmtest::Sh(cat + "/Windows/System32/config/SYSTEM > " + part + ".sys");
  EXPECT_EQ("yes\n", vmtest::Sh("hivexget " + part + ".soft '\\Vmpeek' Written"));
  EXPECT_NE(0, vmtest::Run("hivexget " + part + ".sys '\\CurrentControlSet' >/dev/null 2>&1"));  // volatile
}

TEST_F(GuestMount, RedirectionIsPerThreadAndStops) {
  void* m = MountOn("disk.vmdk", 0, false);
  ASSERT_NE(nullptr, m);
  ASSERT_EQ(0u, Slot<uint32_t>(m, kLoadRegistry));
  auto sees = [] {
    HKEY key = nullptr;
    const bool registry = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.txt", 0, KEY_READ, &key) == 0;
    if (registry) RegCloseKey(key);
    const bool files = GetFileAttributesW(u"C:\\Windows\\System32\\config\\SOFTWARE") != INVALID_FILE_ATTRIBUTES;
    return std::make_pair(files, registry);
  };
  std::promise<void> started, checked;
  std::thread guest([&] {
    EXPECT_EQ(1, Slot<uint8_t>(m, kStartFile, u'C'));
    EXPECT_EQ(1, Slot<uint8_t>(m, kStartRegistry));
    EXPECT_EQ(std::make_pair(true, true), sees());
    started.set_value();
    checked.get_future().wait();
    EXPECT_EQ(1, Slot<uint8_t>(m, kStopVirtualisation));
    EXPECT_EQ(std::make_pair(false, false), sees());
  });
  started.get_future().wait();
  EXPECT_EQ(std::make_pair(false, false), sees());  // this thread still sees the host
  checked.set_value();
  guest.join();
  Slot<void>(m, kUnLoadRegistry);
  Slot<void>(m, kRelease);
}

}  // namespace
