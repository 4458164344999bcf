#include "module/module_startup.h"

#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/trace.h"
#include "mount/disk_inspect_control.h"
#include "mount/mount_control.h"
#include "vmpeek/vmpeek.h"

namespace {

constexpr int kMaxShutdownSteps = 16;
ShutdownStep g_ShutdownSteps[kMaxShutdownSteps];
int g_ShutdownCount = 0;
bool g_Started = false;

InterfaceEntry g_MountControlEntry;
InterfaceEntry g_DiskInspectEntry;

void UnregisterMountControl() { UnregisterInterface(&g_MountControlEntry); }
void UnregisterDiskInspect() { UnregisterInterface(&g_DiskInspectEntry); }

}  // namespace

bool RegisterShutdownStep(ShutdownStep step) {
  if (g_ShutdownCount >= kMaxShutdownSteps) return false;
  g_ShutdownSteps[g_ShutdownCount++] = step;
  return true;
}

void ModuleStaticStartup() {
  if (g_Started) return;
  g_Started = true;
  // The library's own interface first, so that the list still begins with VM_Mount_Control_1.
  RegisterInterface(&g_DiskInspectEntry, VMPEEK_DISK_INSPECT_INTERFACE, CreateVmDiskInspect);
  RegisterShutdownStep(UnregisterDiskInspect);
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
