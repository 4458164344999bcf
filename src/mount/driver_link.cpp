#include "mount/driver_link.h"

#include <string>

#include "module/trace.h"
#include "platform/status.h"
#include "platform/wstr.h"
#include "vmpeek/vmpeek.h"

namespace {

const WCHAR* g_DriverLibrary = nullptr;  // null: "quilldrv.dll"

// The failure line of each request, by code.
const WCHAR* FailureFormat(MountRequest code) {
  switch (code) {
    case VMMount_IoCtl_Mount: return u"VMMount_IoCtl_Mount failed with error %d\n";
    case VMMount_IoCtl_UnMount: return u"VMMount_IoCtl_UnMount failed with error %d\n";
    case VMMount_IoCtl_StartFileVirtualisation: return u"VMMount_IoCtl_StartFileVirtualisation failed with error %d\n";
    case VMMount_IoCtl_StartRegVirtualisation: return u"VMMount_IoCtl_StartRegVirtualisation failed with error %d\n";
    case VMMount_IoCtl_StopVirtualisation: return u"VMMount_IoCtl_StopVirtualisation failed with error %d\n";
    case VMMount_IoCtl_ReadOnly: return u"VMMount_IoCtl_ReadOnly failed with error %d\n";
  }
  return u"VMMount_IoCtl %d failed\n";
}

}  // namespace

uint32_t LoadNotComInterface(const WCHAR* library, const char* interfaceName, void** object,
                             HMODULE nearModule) {
  HMODULE module = LoadLibraryExW(library, nullptr, 8);
  if (!module) module = LoadLibraryExW(library, nullptr, 0);
  if (!module && nearModule) {
    WCHAR modulePath[300];
    if (GetModuleFileNameW(nearModule, modulePath, 300) != 0) {
      std::u16string path(modulePath);
      size_t slash = path.find_last_of(u'\\');
      path = (slash == std::u16string::npos ? std::u16string() : path.substr(0, slash + 1)) + library;
      module = LoadLibraryW(path.c_str());
    }
  }
  if (!module) {
    uint32_t error = GetLastError();
    return error ? error : ERROR_MOD_NOT_FOUND;
  }
  uint32_t status;
  auto getInterface = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(module, "NotComDllGetInterface"));
  if (getInterface) {
    status = getInterface(interfaceName, object);
  } else {
    status = GetLastError();
    if (!status) status = ERROR_PROC_NOT_FOUND;
  }
  FreeLibrary(module);
  return status;
}

uint32_t ConnectDriver(ContentDriver** driver) {
  *driver = nullptr;
  void* object = nullptr;
  uint32_t status =
      LoadNotComInterface(g_DriverLibrary ? g_DriverLibrary : u"quilldrv.dll", "QuillLoad2", &object, nullptr);
  if (status == 0 && !object) status = ERROR_INVALID_HANDLE;
  if (status != 0) {
    Trace(u"QuillLoadCreate returned error %d\n", static_cast<int32_t>(status));
    return status;
  }
  auto* loader = static_cast<QuillLoader*>(object);
  status = loader->LoadContentDriver(u"zeldrive", driver);
  if (status == 0 && !*driver) status = ERROR_INVALID_HANDLE;
  if (status != 0) {
    Trace(u"LoadContentDriver returned error %d\n", static_cast<int32_t>(status));
    if (*driver) (*driver)->Release();
    *driver = nullptr;
  }
  loader->Release();
  return status;
}

uint32_t DriverIoCtl(ContentDriver* driver, MountRequest code, const void* in, uint64_t inSize, void* out,
                     uint64_t outSize, uint64_t* returned) {
  uint32_t status = driver->IoCtl(code, in, inSize, out, outSize, returned);
  if (status != 0) Trace(FailureFormat(code), static_cast<int32_t>(status));
  return status;
}

void SetDriverLibraryNameForTesting(const WCHAR* name) { g_DriverLibrary = name; }
