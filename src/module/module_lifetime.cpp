#include "module/module_lifetime.h"

#include <cstdlib>
#include <new>

#include "module/trace.h"
#include "platform/loader.h"
#include "platform/sync.h"
#include "platform/wstr.h"

namespace {

constexpr uint32_t kModulePathUnits = 300;

void* moduleHandle = nullptr;
WCHAR* modulePath = nullptr;
uint32_t liveObjects = 0;
int32_t pinned = 0;
// The extra load reference the pin holds (the module's own handle, as the loader returned it).
HMODULE pinHandle = nullptr;

// Constructed by start-up step 2 and destroyed by its undo, so it has no static constructor.
alignas(OwnedLock) unsigned char g_LockStorage[sizeof(OwnedLock)];
OwnedLock* moduleLock = nullptr;

class ModuleLockGuard {
 public:
  ModuleLockGuard() { if (moduleLock) moduleLock->Enter(); }
  ~ModuleLockGuard() { if (moduleLock) moduleLock->Leave(); }
  ModuleLockGuard(const ModuleLockGuard&) = delete;
  ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;
};

}  // namespace

void InitializeModuleLock() {
  if (!moduleLock) moduleLock = new (g_LockStorage) OwnedLock();
}

void DeleteModuleLock() {
  if (!moduleLock) return;
  moduleLock->~OwnedLock();
  moduleLock = nullptr;
}

void ModuleAddRef() {
  bool wasPinned;
  {
    ModuleLockGuard guard;
    ++liveObjects;
    wasPinned = pinned != 0;
    pinned = 1;
  }
  // Loader work happens outside the lock.
  if (!wasPinned && modulePath) {
    HMODULE self = LoadLibraryW(modulePath);
    if (self) {
      HMODULE previous = InterlockedExchangePointer<void>(&pinHandle, self);
      if (previous) FreeLibrary(previous);  // never hold two pins
    }
  }
}

void ModuleRelease() {
  ModuleLockGuard guard;
  if (liveObjects > 0) --liveObjects;
}

void ModuleUnload() {
  bool release = false;
  {
    ModuleLockGuard guard;
    if (liveObjects == 0 && pinned) {
      pinned = 0;
      release = true;
    }
  }
  if (!release) return;
  HMODULE self = InterlockedExchangePointer<void>(&pinHandle, nullptr);
  if (self) FreeLibrary(self);
}

bool ModuleProcessAttach(void* handle) {
  LoadTraceLibrary();
  moduleHandle = handle;
  WCHAR path[kModulePathUnits];
  uint32_t length = GetModuleFileNameW(static_cast<HMODULE>(handle), path, kModulePathUnits);
  if (length > 0 && length < kModulePathUnits) modulePath = WStrDup(path);
  TraceNarrow("Loaded Dll %ls\n", modulePath);
  const WCHAR* slash = WStrRChr(modulePath, u'\\');
  SetDefaultTraceChannel(OpenTraceChannel(slash ? slash + 1 : modulePath));
  TraceNarrow("DLL_PROCESS_ATTACH\n");
  return modulePath != nullptr;
}

void ModuleProcessDetach() {
  TraceNarrow("DLL_PROCESS_DETACH\n");
  SetDefaultTraceChannel(0);
  TraceNarrow("Unloaded Dll %ls\n", modulePath);
  free(modulePath);
  modulePath = nullptr;
  moduleHandle = nullptr;
  UnloadTraceLibrary();
}

const WCHAR* ModulePath() { return modulePath; }

uint32_t ModuleLiveObjects() {
  ModuleLockGuard guard;
  return liveObjects;
}

bool ModuleIsPinned() {
  ModuleLockGuard guard;
  return pinned != 0;
}
