#include "module/module_startup.h"

#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/trace.h"
#include "mount/mount_control.h"
#include "vmpeek/vmpeek.h"

namespace {

constexpr int kMaxShutdownSteps = 16;
ShutdownStep g_ShutdownSteps[kMaxShutdownSteps];
int g_ShutdownCount = 0;
bool g_Started = false;

InterfaceEntry g_MountControlEntry;

void UnregisterMountControl() { UnregisterInterface(&g_MountControlEntry); }

}  // namespace

bool RegisterShutdownStep(ShutdownStep step) {
  if (g_ShutdownCount >= kMaxShutdownSteps) return false;
  g_ShutdownSteps[g_ShutdownCount++] = step;
  return true;
}

void ModuleStaticStartup() {
  if (g_Started) return;
  g_Started = true;
  RegisterInterface(&g_MountControlEntry, VMPEEK_MOUNT_CONTROL_INTERFACE, CreateVmMountControl);
  RegisterShutdownStep(UnregisterMountControl);
  InitializeModuleLock();
  RegisterShutdownStep(DeleteModuleLock);
  StartTracing();  // registers UnloadTraceLibrary as its own undo
}

void ModuleStaticShutdown() {
  while (g_ShutdownCount > 0) g_ShutdownSteps[--g_ShutdownCount]();
  g_Started = false;
}
