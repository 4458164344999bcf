// The live-object count and the self-pin, in the linked code and in the real libvmpeek.so.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

#include "module/module_lifetime.h"
#include "module/module_startup.h"
#include "mount/mount_control.h"
#include "platform/loader.h"
#include "platform/path.h"
#include "support/trace_capture.h"
#include "vmpeek/vmpeek.h"

namespace {

const std::string kPlugin = VMPEEK_BUILD_DIR "/lib/libvmpeek.so";

bool IsLoaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

vmpeek::CVmMountControl* Create() {
  uint32_t status = 99;
  auto* control = static_cast<vmpeek::CVmMountControl*>(CreateVmMountControl(&status));
  EXPECT_EQ(0u, status);
  return control;
}

TEST(ModuleLifetime, CountAndPinFlag) {
  ModuleStaticStartup();
  ASSERT_EQ(0u, ModuleLiveObjects());
  ModuleUnload();
  ASSERT_FALSE(ModuleIsPinned());

  vmpeek::CVmMountControl* a = Create();
  vmpeek::CVmMountControl* b = Create();
  EXPECT_EQ(2u, ModuleLiveObjects());
  EXPECT_TRUE(ModuleIsPinned());
  ModuleUnload();  // objects alive: nothing happens
  EXPECT_TRUE(ModuleIsPinned());
  a->Release();
  b->Release();
  EXPECT_EQ(0u, ModuleLiveObjects());
  EXPECT_TRUE(ModuleIsPinned());  // released objects leave the pin in place
  ModuleUnload();
  EXPECT_FALSE(ModuleIsPinned());
  ModuleUnload();
  EXPECT_FALSE(ModuleIsPinned());

  vmpeek::CVmMountControl* c = Create();  // pins again
  EXPECT_TRUE(ModuleIsPinned());
  c->Release();
  ModuleUnload();
  EXPECT_FALSE(ModuleIsPinned());
}

class RealPlugin : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(IsLoaded(kPlugin)) << "an earlier test left the plug-in loaded"; }

  HMODULE Load() {
    HMODULE h = LoadLibraryW(PlatformPosixToWindows(kPlugin).c_str());
    EXPECT_NE(nullptr, h);
    m_GetInterface = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(h, "NotComDllGetInterface"));
    m_Unload = reinterpret_cast<PFN_NotComDllUnload>(GetProcAddress(h, "NotComDllUnload"));
    EXPECT_NE(nullptr, m_GetInterface);
    EXPECT_NE(nullptr, m_Unload);
    return h;
  }

  vmpeek::CVmMountControl* Get() {
    void* object = nullptr;
    EXPECT_EQ(0u, m_GetInterface("VM_Mount_Control_1", &object));
    return static_cast<vmpeek::CVmMountControl*>(object);
  }

  PFN_NotComDllGetInterface m_GetInterface = nullptr;
  PFN_NotComDllUnload m_Unload = nullptr;
};

TEST_F(RealPlugin, NoObjectsNoPin) {
  vmtest::ClearTrace();
  HMODULE h = Load();
  EXPECT_TRUE(vmtest::TraceContains("libvmpeek.so", "DLL_PROCESS_ATTACH"));
  EXPECT_TRUE(vmtest::TraceContains("default", "Loaded Dll Z:\\"));
  FreeLibrary(h);
  EXPECT_FALSE(IsLoaded(kPlugin));
  EXPECT_TRUE(vmtest::TraceContains("libvmpeek.so", "DLL_PROCESS_DETACH"));
  EXPECT_TRUE(vmtest::TraceContains("default", "Unloaded Dll Z:\\"));
}

TEST_F(RealPlugin, ObjectsPinUntilNotComDllUnload) {
  HMODULE h = Load();
  vmpeek::CVmMountControl* a = Get();
  vmpeek::CVmMountControl* b = Get();
  ASSERT_TRUE(a && b);
  a->Release();
  b->Release();
  FreeLibrary(h);
  EXPECT_TRUE(IsLoaded(kPlugin));  // held by its own pin

  HMODULE again = Load();
  m_Unload();  // gives exactly the pin back
  EXPECT_TRUE(IsLoaded(kPlugin));
  FreeLibrary(again);
  EXPECT_FALSE(IsLoaded(kPlugin));
}

TEST_F(RealPlugin, UnloadWithLiveObjectOrTwiceDoesNothing) {
  HMODULE h = Load();
  vmpeek::CVmMountControl* a = Get();
  ASSERT_TRUE(a);
  m_Unload();  // an object is alive
  a->Release();
  FreeLibrary(h);
  EXPECT_TRUE(IsLoaded(kPlugin));

  HMODULE again = Load();
  m_Unload();
  m_Unload();  // a second release of the pin would drop the host's own reference here
  EXPECT_TRUE(IsLoaded(kPlugin));
  FreeLibrary(again);
  EXPECT_FALSE(IsLoaded(kPlugin));
}

}  // namespace
