// The interface list, NotComDllGetInterface's statuses, the mount control's slots and ToNtPath.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/module_startup.h"
#include "mount/driver_link.h"
#include "mount/mount_control.h"
#include "mount/to_nt_path.h"
#include "support/test_support.h"
#include "support/trace_capture.h"
#include "vmpeek/vmpeek.h"

namespace {

void* const kJunk = reinterpret_cast<void*>(0x1234);

void* FailingFactory(uint32_t* status) {
  *status = 14;
  return nullptr;
}

void* OtherFactory(uint32_t* status) {
  *status = 0;
  static int object;
  return &object;
}

std::u16string Take(WCHAR* s) {
  std::u16string r = s ? std::u16string(s) : u"<null>";
  free(s);
  return r;
}

TEST(InterfaceLookup, StatusesAndTraceLines) {
  ModuleStaticStartup();
  vmtest::ClearTrace();
  EXPECT_EQ(87u, ModuleGetInterface("VM_Mount_Control_1", nullptr));
  EXPECT_TRUE(vmtest::TraceContains("default", "NotComDllGetInterface VM_Mount_Control_1 returned 87"));

  const char* const names[] = {"vm_mount_control_1", "VM_Mount_Control_2", "VM_Mount_Control_1 ", "", nullptr};
  for (const char* name : names) {
    void* object = kJunk;
    EXPECT_EQ(123u, ModuleGetInterface(name, &object)) << (name ? name : "(null)");
    EXPECT_EQ(nullptr, object);
  }
  EXPECT_TRUE(vmtest::TraceContains("default", "NotComDllGetInterface vm_mount_control_1 returned 123"));

  void* object = nullptr;
  ASSERT_EQ(0u, ModuleGetInterface(VMPEEK_MOUNT_CONTROL_INTERFACE, &object));
  ASSERT_NE(nullptr, object);
  EXPECT_TRUE(vmtest::TraceContains("default", "NotComDllGetInterface VM_Mount_Control_1 returned 0"));
  auto* control = static_cast<vmpeek::CVmMountControl*>(object);
  EXPECT_EQ(1u, ModuleLiveObjects());
  EXPECT_EQ(2u, control->AddRef());
  control->Release();
  EXPECT_EQ(1u, ModuleLiveObjects());
  control->Release();
  EXPECT_EQ(0u, ModuleLiveObjects());
  ModuleUnload();
}

TEST(InterfaceLookup, RegistryOrderFactoryStatusAndUnregistering) {
  ModuleStaticStartup();
  InterfaceEntry* builtIn = FirstInterface();
  ASSERT_NE(nullptr, builtIn);
  EXPECT_STREQ("VM_Mount_Control_1", builtIn->name);

  // A newer entry of the same name is found first; its factory's failure status is returned.
  InterfaceEntry failing, other, stranger;
  EXPECT_EQ(&failing, RegisterInterface(&failing, "VM_Mount_Control_1", FailingFactory));
  RegisterInterface(&other, "Other", OtherFactory);
  void* object = kJunk;
  EXPECT_EQ(14u, ModuleGetInterface("VM_Mount_Control_1", &object));
  EXPECT_EQ(nullptr, object);
  EXPECT_EQ(0u, ModuleGetInterface("Other", &object));
  EXPECT_NE(nullptr, object);

  // Unlinking something that is not in the list changes nothing.
  UnregisterInterface(&stranger);
  EXPECT_EQ(&other, FirstInterface());
  UnregisterInterface(&failing);
  EXPECT_EQ(&other, FirstInterface());
  EXPECT_EQ(builtIn, other.next);
  UnregisterInterface(&other);
  EXPECT_EQ(builtIn, FirstInterface());

  // The library's own second interface comes after it; unregistering both empties the list.
  InterfaceEntry* inspect = builtIn->next;
  ASSERT_NE(nullptr, inspect);
  EXPECT_STREQ("VmPeek_Disk_Inspect_1", inspect->name);
  EXPECT_EQ(nullptr, inspect->next);
  UnregisterInterface(inspect);
  UnregisterInterface(builtIn);
  EXPECT_EQ(nullptr, FirstInterface());
  object = kJunk;
  EXPECT_EQ(123u, ModuleGetInterface("VM_Mount_Control_1", &object));
  EXPECT_EQ(nullptr, object);
  RegisterInterface(inspect, inspect->name, inspect->factory);
  RegisterInterface(builtIn, builtIn->name, builtIn->factory);
  EXPECT_EQ(builtIn, FirstInterface());
  EXPECT_EQ(inspect, builtIn->next);
}

// Calls the mount control strictly by virtual-table slot, as a host does.
TEST(MountControl, SlotOrder) {
  ModuleStaticStartup();
  void* object = nullptr;
  ASSERT_EQ(0u, ModuleGetInterface("VM_Mount_Control_1", &object));
  void** vtable = *static_cast<void***>(object);
  auto addRef = reinterpret_cast<uint32_t (*)(void*)>(vtable[0]);
  auto release = reinterpret_cast<void (*)(void*)>(vtable[1]);
  auto openMachine = reinterpret_cast<uint32_t (*)(void*, const WCHAR*, void**)>(vtable[2]);
  auto openDisk = reinterpret_cast<NTSTATUS (*)(void*, const WCHAR*, uint8_t, void**)>(vtable[3]);
  auto mount = reinterpret_cast<uint32_t (*)(void*, const WCHAR*, uint8_t, uint8_t, void**)>(vtable[4]);

  EXPECT_EQ(2u, addRef(object));
  EXPECT_EQ(3u, addRef(object));
  release(object);

  void* machine = kJunk;
  EXPECT_EQ(3u, openMachine(object, u"Z:\\no\\such\\folder\\machine.vmx", &machine));
  EXPECT_EQ(nullptr, machine);
  vmtest::TempDir dir;
  EXPECT_EQ(2u, openMachine(object, vmtest::WinPath(dir.file("missing.vmx")).c_str(), &machine));
  vmtest::WriteText(dir.file("ok.vmx"), "guestOS = winnet\n" + std::string(100, ';') + "\n");
  ASSERT_EQ(0u, openMachine(object, vmtest::WinPath(dir.file("ok.vmx")).c_str(), &machine));
  EXPECT_EQ(vmpeek::GuestOsWindows2003, static_cast<vmpeek::CVirtualMachine*>(machine)->GetGuestOperatingSystem());
  static_cast<vmpeek::CVirtualMachine*>(machine)->Release();
  void* disk = kJunk;
  EXPECT_LT(openDisk(object, u"Z:\\no\\such\\folder\\disk.img", 1, &disk), 0);
  EXPECT_EQ(nullptr, disk);

  vmtest::ClearTrace();
  void* mounted = kJunk;
  // Without the driver's link library (the real one would stay loaded with the plug-in it loads).
  SetDriverLibraryNameForTesting(u"quilldrv_absent.dll");
  EXPECT_EQ(126u, mount(object, u"Z:\\no\\such\\folder\\disk.img", 0, 0, &mounted));
  SetDriverLibraryNameForTesting(nullptr);
  EXPECT_EQ(nullptr, mounted);
  EXPECT_TRUE(vmtest::TraceContains("default", "CVmMountControl - need to connect to driver"));

  EXPECT_EQ(1u, ModuleLiveObjects());
  release(object);
  release(object);
  EXPECT_EQ(0u, ModuleLiveObjects());
  ModuleUnload();
}

TEST(MountControl, ToNtPath) {
  EXPECT_EQ(u"<null>", Take(ToNtPath(nullptr)));
  EXPECT_EQ(u"\\??\\", Take(ToNtPath(u"")));
  EXPECT_EQ(u"\\??\\C:\\vm\\disk.vmdk", Take(ToNtPath(u"C:\\vm\\disk.vmdk")));
  EXPECT_EQ(u"\\??\\C:\\vm\\disk.vmdk", Take(ToNtPath(u"\\??\\C:\\vm\\disk.vmdk")));
  EXPECT_EQ(u"\\??\\", Take(ToNtPath(u"\\??\\")));
  // Only the exact four units count: the Win32 long form and near misses get the prefix.
  EXPECT_EQ(u"\\??\\\\\\?\\C:\\x", Take(ToNtPath(u"\\\\?\\C:\\x")));
  EXPECT_EQ(u"\\??\\\\??", Take(ToNtPath(u"\\??")));
  EXPECT_EQ(u"\\??\\\\?\?/C:", Take(ToNtPath(u"\\?\?/C:")));
}

}  // namespace
