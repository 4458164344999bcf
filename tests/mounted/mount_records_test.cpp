// The mount control's connection and the records a mounted partition sends, against a stand-in
// for the external driver's link library that records them.
#include <gtest/gtest.h>

#include <cstring>

#include "module/module_startup.h"
#include "mount/driver_link.h"
#include "mount/mount_control.h"
#include "mounted/quill_double/quill_double.h"
#include "platform/loader.h"
#include "platform/win_registry.h"
#include "slots.h"
#include "support/trace_capture.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> head, const std::u16string& text, size_t zeros) {
  std::vector<uint8_t> v(head);
  for (WCHAR c : text) v.insert(v.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  v.insert(v.end(), zeros, 0);
  return v;
}

const std::vector<uint8_t> kId = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

class MountRecords : public testing::Test {
 protected:
  void SetUp() override {
    ModuleStaticStartup();
    auto get = reinterpret_cast<PFN_QuillDoubleState>(
        GetProcAddress(LoadLibraryW(u"quilldrv_double.dll"), "QuillDoubleGetState"));
    ASSERT_NE(nullptr, get);
    s = get();
    *s = QuillDoubleState();
    uint32_t status = 1;
    control = CreateVmMountControl(&status);
    vmtest::ClearTrace();
  }
  void TearDown() override { SetDriverLibraryNameForTesting(nullptr); }
  std::vector<uint32_t> Codes() {
    std::vector<uint32_t> codes;
    for (auto& r : s->requests) codes.push_back(r.code);
    s->requests.clear();
    return codes;
  }
  QuillDoubleState* s = nullptr;
  void* control = nullptr;
};

TEST_F(MountRecords, MissingLinkLibraryFailsEachMountAndIsRetried) {
  SetDriverLibraryNameForTesting(u"quilldrv_absent.dll");
  for (int attempt = 0; attempt < 2; ++attempt) {
    void* mounted = reinterpret_cast<void*>(1);
    EXPECT_EQ(ERROR_MOD_NOT_FOUND, MountSlot(control, u"C:\\d.vmdk", 0, 0, &mounted));
    EXPECT_EQ(nullptr, mounted);
    EXPECT_EQ(2 * (attempt + 1), static_cast<int>(vmtest::RecentTrace("default").size()));
  }
  EXPECT_TRUE(vmtest::TraceContains("default", "QuillLoadCreate returned error 126"));
  SetDriverLibraryNameForTesting(u"quilldrv_double.dll");
  void* mounted = nullptr;
  ASSERT_EQ(0u, MountSlot(control, u"C:\\d.vmdk", 0, 0, &mounted));
  EXPECT_TRUE(vmtest::TraceContains("default", "CVmMountControl - need to connect to driver"));
  Slot<void>(mounted, kRelease);
  Slot<void>(control, 1);
  EXPECT_EQ(0, s->driverRefs);
}

TEST_F(MountRecords, TwoMountsShareOneConnectionAndSendExactRecords) {
  SetDriverLibraryNameForTesting(u"quilldrv_double.dll");
  void *first = nullptr, *second = nullptr;
  ASSERT_EQ(0u, MountSlot(control, u"C:\\vm\\d.vmdk", 3, 0, &first));
  ASSERT_EQ(0u, MountSlot(control, u"\\??\\C:\\e.vhd", 255, 7, &second));
  EXPECT_EQ(1, s->connections);
  EXPECT_EQ(3, s->driverRefs);
  ASSERT_EQ(2u, s->requests.size());
  EXPECT_EQ(Bytes({3, 1}, u"\\??\\C:\\vm\\d.vmdk", 4), s->requests[0].in);
  EXPECT_EQ(Bytes({255, 0}, u"\\??\\C:\\e.vhd", 4), s->requests[1].in);
  EXPECT_EQ(218u, s->requests[1].outSize);
  EXPECT_EQ(s->rootName + u"\\Windows", FullPath(first, u"\\Windows"));
  EXPECT_EQ(s->rootName, FullPath(first, u""));
  s->requests.clear();

  // Read-only unless the driver answers 0 with exactly 4 bytes.
  struct { uint32_t status, value; uint64_t returned; uint8_t expected; } cases[] = {
      {0, 0, 4, 0}, {0, 1, 4, 1}, {0, 0, 2, 1}, {5, 0, 4, 1}};
  for (auto& c : cases) {
    s->status[VMMount_IoCtl_ReadOnly] = c.status, s->readOnlyValue = c.value, s->readOnlyReturned = c.returned;
    EXPECT_EQ(c.expected, Slot<uint8_t>(first, kIsReadOnly)) << c.status << " " << c.value << " " << c.returned;
    EXPECT_EQ(kId, s->requests.back().in);
    EXPECT_TRUE(s->requests.back().wantsReturned);
  }
  EXPECT_TRUE(vmtest::TraceContains("default", "VMMount_IoCtl_ReadOnly failed with error 5"));
  s->requests.clear();

  // Before LoadRegistry no guest key is open.
  const HKEY roots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CLASSES_ROOT};
  for (HKEY root : roots) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(nullptr, Slot<HKEY>(first, kGetRegistryRoot, root));
    EXPECT_EQ(1010u, Slot<uint32_t>(first, kRegOpenKeyEx, root, u"SYSTEM", KEY_READ, &key));
    EXPECT_EQ(1010u, Slot<uint32_t>(first, kRegDeleteKey, root, u"SYSTEM"));
  }
  EXPECT_EQ(1u, Slot<uint8_t>(first, kStopVirtualisation));
  s->status[VMMount_IoCtl_StopVirtualisation] = 31;
  Slot<void>(first, kRelease);
  EXPECT_TRUE(vmtest::TraceContains("default", "VMMount_IoCtl_StopVirtualisation failed with error 31"));
  ASSERT_EQ(3u, s->requests.size());
  EXPECT_EQ((std::vector<uint32_t>{5, 5, 2}), Codes());
  Slot<void>(control, 1);
  EXPECT_EQ(1, s->driverRefs);  // the second mount keeps the connection alive
  Slot<void>(second, kRelease);
  EXPECT_EQ(0, s->driverRefs);
}

TEST_F(MountRecords, FailedMountsAndOverlongRootNames) {
  SetDriverLibraryNameForTesting(u"quilldrv_double.dll");
  void* mounted = reinterpret_cast<void*>(1);
  s->status[VMMount_IoCtl_Mount] = 1392;
  EXPECT_EQ(1392u, MountSlot(control, u"C:\\d.vmdk", 0, 0, &mounted));
  EXPECT_EQ(nullptr, mounted);
  EXPECT_EQ((std::vector<uint32_t>{1, 5}), Codes());  // nothing mounted: no unmount
  EXPECT_TRUE(vmtest::TraceContains("default", "VMMount_IoCtl_Mount failed with error 1392"));

  // 99 units fit the 100-unit field; 100 and an unterminated 105 do not, and are unmounted again.
  s->status[VMMount_IoCtl_Mount] = 0;
  for (size_t units : {99u, 100u, 105u}) {
    s->rootName = std::u16string(units, u'R');
    mounted = reinterpret_cast<void*>(1);
    const uint32_t status = MountSlot(control, u"C:\\d.vmdk", 0, 0, &mounted);
    if (units == 99) {
      ASSERT_EQ(0u, status);
      EXPECT_EQ(s->rootName + u"\\x", FullPath(mounted, u"\\x"));
      Slot<void>(mounted, kRelease);
    } else {
      EXPECT_EQ(206u, status) << units;
      EXPECT_EQ(nullptr, mounted);
    }
    auto requests = s->requests;
    EXPECT_EQ((std::vector<uint32_t>{1, 5, 2}), Codes()) << units;
    EXPECT_EQ(kId, requests.back().in);
  }
  Slot<void>(control, 1);
  EXPECT_EQ(0, s->driverRefs);
}

}  // namespace
