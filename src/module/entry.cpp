// libvmpeek.so's entry points: the two exports and the process attach and detach steps, run by
// the loader through the constructor and destructor functions below (static start-up first,
// shutdown last).
#include "module/interface_registry.h"
#include "module/module_lifetime.h"
#include "module/module_startup.h"
#include "platform/loader.h"

#define VMPEEK_EXPORT extern "C" __attribute__((visibility("default")))

VMPEEK_EXPORT uint32_t NotComDllGetInterface(const char* name, void** object) {
  return ModuleGetInterface(name, object);
}

VMPEEK_EXPORT void NotComDllUnload(void) { ModuleUnload(); }

namespace {

__attribute__((constructor)) void ProcessAttach() {
  ModuleStaticStartup();
  // A module without its path cannot pin itself; the loader here cannot refuse the load, so the
  // module stays loaded without the pin (its attach trace shows the missing path).
  ModuleProcessAttach(PlatformModuleFromAddress(reinterpret_cast<const void*>(&NotComDllGetInterface)));
}

__attribute__((destructor)) void ProcessDetach() {
  ModuleProcessDetach();
  ModuleStaticShutdown();
}

}  // namespace
