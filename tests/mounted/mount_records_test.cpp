// The mount control's connection and the exact records a mounted partition sends, against a
// stand-in for the external driver's link library that records them.
#include <gtest/gtest.h>

#include "module/module_startup.h"
#include "mount/driver_link.h"
#include "mount/mount_control.h"
#include "mounted/quill_double/quill_double.h"
#include "platform/loader.h"
#include "platform/status.h"
#include "platform/win_registry.h"
#include "slots.h"
#include "support/trace_capture.h"

namespace {

std::vector<uint8_t> Bytes(std::vector<uint8_t> v, const std::u16string& text, size_t zeros) {
  for (WCHAR c : text) v.insert(v.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  v.insert(v.end(), zeros, 0);
  return v;
}
const std::vector<uint8_t> kId = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

TEST(MountRecords, ConnectionRecordsReadOnlyRepliesAndUnmounts) {
  ModuleStaticStartup();
  auto* s = reinterpret_cast<PFN_QuillDoubleState>(
      GetProcAddress(LoadLibraryW(u"quilldrv_double.dll"), "QuillDoubleGetState"))();
  uint32_t status = 1;
  void* control = CreateVmMountControl(&status);
  auto codes = [&] {
    std::vector<uint32_t> c;
    for (auto& r : s->requests) c.push_back(r.code);
    return c;
  };
  // A missing link library fails each Mount with the loader's status, and each Mount retries.
  vmtest::ClearTrace();
  SetDriverLibraryNameForTesting(u"quilldrv_absent.dll");
  void* first = reinterpret_cast<void*>(1);
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, MountSlot(control, u"C:\\d.vmdk", 0, 0, &first));
  EXPECT_EQ(ERROR_MOD_NOT_FOUND, MountSlot(control, u"C:\\d.vmdk", 0, 0, &first));
  EXPECT_EQ(nullptr, first);
  EXPECT_EQ((std::vector<std::string>{"CVmMountControl - need to connect to driver", "QuillLoadCreate returned error 126",
                                      "CVmMountControl - need to connect to driver", "QuillLoadCreate returned error 126"}),
            vmtest::RecentTrace("default"));

  // Two mounts share one connection; byte 1 is the inverse of option2.
  SetDriverLibraryNameForTesting(u"quilldrv_double.dll");
  void* second = nullptr;
  ASSERT_EQ(0u, MountSlot(control, u"C:\\vm\\d.vmdk", 3, 0, &first));
  ASSERT_EQ(0u, MountSlot(control, u"\\??\\C:\\e.vhd", 255, 7, &second));
  EXPECT_EQ(1, s->connections);
  EXPECT_EQ(3, s->driverRefs);
  EXPECT_EQ(Bytes({3, 1}, u"\\??\\C:\\vm\\d.vmdk", 4), s->requests[0].in);
  EXPECT_EQ(Bytes({255, 0}, u"\\??\\C:\\e.vhd", 4), s->requests[1].in);
  EXPECT_EQ(218u, s->requests[1].outSize);
  EXPECT_EQ(s->rootName + u"\\Windows", FullPath(first, u"\\Windows"));
  EXPECT_EQ(s->rootName, FullPath(first, u""));

  // Read-only unless the driver answers 0 with exactly 4 bytes of 0.
  struct { uint32_t status, value; uint64_t returned; uint8_t expected; } cases[] = {
      {0, 0, 4, 0}, {0, 1, 4, 1}, {0, 0, 2, 1}, {5, 0, 4, 1}};
  for (auto& c : cases) {
    s->status[VMMount_IoCtl_ReadOnly] = c.status, s->readOnlyValue = c.value, s->readOnlyReturned = c.returned;
    EXPECT_EQ(c.expected, Slot<uint8_t>(first, kIsReadOnly)) << c.status << " " << c.value << " " << c.returned;
    EXPECT_EQ(kId, s->requests.back().in);
  }
  EXPECT_TRUE(vmtest::TraceContains("default", "VMMount_IoCtl_ReadOnly failed with error 5"));
  EXPECT_EQ(nullptr, Slot<HKEY>(first, kGetRegistryRoot, HKEY_LOCAL_MACHINE));
  EXPECT_EQ(1010u, Slot<uint32_t>(first, kRegDeleteKey, HKEY_LOCAL_MACHINE, u"SYSTEM"));

  // Redirection records: the drive's device, the current user's key paths, 8 trailing zero bytes;
  // before LoadRegistry the keys are null and the private key's name is empty.
  s->requests.clear();
  WCHAR device[256] = {};
  ASSERT_NE(0u, QueryDosDeviceW(u"C:", device, 256));
  EXPECT_EQ(1, Slot<uint8_t>(first, kStartFile, u'C'));
  EXPECT_EQ(Bytes(kId, device, 10), s->requests.back().in);
  EXPECT_EQ(0, Slot<uint8_t>(first, kStartFile, u'Q'));
  EXPECT_TRUE(vmtest::TraceContains("default", "QueryDosDevice(Q:) failed with error 2"));
  UNICODE_STRING user{};
  ASSERT_EQ(0, RtlFormatCurrentUserKeyPath(&user));
  const std::u16string u(user.Buffer, user.Length / 2);
  RtlFreeUnicodeString(&user);
  EXPECT_EQ(1, Slot<uint8_t>(first, kStartRegistry));
  EXPECT_EQ(Bytes(Bytes(Bytes(std::vector<uint8_t>(32), u + u"_classes", 2), u, 2),
                  u"\\Registry\\Machine\\SOFTWARE\\Brenmoor\\Tamsel\\", 10),
            s->requests.back().in);
  EXPECT_EQ((std::vector<uint32_t>{3, 4}), codes());

  // Releasing stops redirection and unmounts; a refused stop is only traced.
  s->requests.clear();
  s->status[VMMount_IoCtl_StopVirtualisation] = 31;
  Slot<void>(first, kRelease);
  EXPECT_TRUE(vmtest::TraceContains("default", "VMMount_IoCtl_StopVirtualisation failed with error 31"));
  EXPECT_EQ((std::vector<uint32_t>{5, 2}), codes());
  EXPECT_EQ(kId, s->requests.back().in);

  // A refused mount is never unmounted; a root name of 100 units or more (105 unterminated) does
  // not fit its field and fails with 206 after the driver is told to unmount it.
  struct { uint32_t status; size_t units; uint32_t expected; std::vector<uint32_t> codes; } mounts[] = {
      {1392, 10, 1392, {1, 5}}, {0, 99, 0, {1, 5, 2}}, {0, 100, 206, {1, 5, 2}}, {0, 105, 206, {1, 5, 2}}};
  for (auto& c : mounts) {
    s->requests.clear();
    s->status[VMMount_IoCtl_Mount] = c.status;
    s->rootName = std::u16string(c.units, u'R');
    void* mounted = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.expected, MountSlot(control, u"C:\\d.vmdk", 0, 0, &mounted)) << c.units;
    EXPECT_EQ(c.expected == 0, mounted != nullptr);
    if (mounted) Slot<void>(mounted, kRelease);
    EXPECT_EQ(c.codes, codes()) << c.units;
  }
  Slot<void>(control, 1);
  EXPECT_EQ(1, s->driverRefs);  // the second mount keeps the connection alive
  Slot<void>(second, kRelease);
  EXPECT_EQ(0, s->driverRefs);
  SetDriverLibraryNameForTesting(nullptr);
}

}  // namespace
