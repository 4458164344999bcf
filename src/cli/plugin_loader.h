// Loads libvmpeek.so with the platform loader and holds what the host obtained from it; gives
// everything back (objects, the module's pin, the load) when destroyed.
#pragma once
#include <string>
#include "platform/loader.h"
#include "vmpeek/vmpeek.h"

class Plugin {
 public:
  Plugin() = default;
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // Loads the plug-in from ../lib beside this program, resolves its exports and obtains
  // "VM_Mount_Control_1" and "VmPeek_Disk_Inspect_1". On failure returns false with a message in
  // *error.
  bool Load(std::string* error);
  // Releases the mount control, lets the module drop its pin and unloads it.
  void Unload();

  vmpeek::CVmMountControl* MountControl() const { return m_MountControl; }
  vmpeek::CVmDiskInspect* DiskInspect() const { return m_DiskInspect; }
  const std::string& Path() const { return m_Path; }

 private:
  // A new object for the interface, or null with the failure in *error.
  void* GetInterface(const char* name, std::string* error);

  HMODULE m_Module = nullptr;
  PFN_NotComDllGetInterface m_GetInterface = nullptr;
  PFN_NotComDllUnload m_Unload = nullptr;
  vmpeek::CVmMountControl* m_MountControl = nullptr;
  vmpeek::CVmDiskInspect* m_DiskInspect = nullptr;
  std::string m_Path;
};

// The Z:\ path of libvmpeek.so for this program: <program dir>/../lib/libvmpeek.so.
std::u16string PluginPath();
