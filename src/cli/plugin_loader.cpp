#include "cli/plugin_loader.h"

#include "platform/status.h"
#include "platform/wstr.h"

std::u16string PluginPath() {
  WCHAR buffer[4096];
  uint32_t length = GetModuleFileNameW(nullptr, buffer, sizeof buffer / sizeof buffer[0]);
  if (length == 0 || length >= sizeof buffer / sizeof buffer[0]) return u"";
  std::u16string path(buffer, length);
  // Drop the program's name and its folder (bin), then go to lib.
  for (int i = 0; i < 2; ++i) {
    size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos) return u"";
    path.resize(slash);
  }
  return path + u"\\lib\\libvmpeek.so";
}

bool Plugin::Load(std::string* error) {
  std::u16string path = PluginPath();
  if (path.empty()) {
    *error = "cannot find this program's own path";
    return false;
  }
  m_Path = Utf16ToUtf8(path);
  m_Module = LoadLibraryW(path.c_str());
  if (!m_Module) {
    uint32_t code = GetLastError();
    *error = "cannot load " + m_Path + " (error " + std::to_string(code) + ")";
    return false;
  }
  m_GetInterface = reinterpret_cast<PFN_NotComDllGetInterface>(GetProcAddress(m_Module, "NotComDllGetInterface"));
  m_Unload = reinterpret_cast<PFN_NotComDllUnload>(GetProcAddress(m_Module, "NotComDllUnload"));
  if (!m_GetInterface || !m_Unload) {
    *error = m_Path + " does not export NotComDllGetInterface and NotComDllUnload";
    Unload();
    return false;
  }
  void* control = GetInterface(VMPEEK_MOUNT_CONTROL_INTERFACE, error);
  void* inspect = control ? GetInterface(VMPEEK_DISK_INSPECT_INTERFACE, error) : nullptr;
  m_MountControl = static_cast<vmpeek::CVmMountControl*>(control);
  m_DiskInspect = static_cast<vmpeek::CVmDiskInspect*>(inspect);
  if (!inspect) {
    Unload();
    return false;
  }
  return true;
}

void* Plugin::GetInterface(const char* name, std::string* error) {
  void* object = nullptr;
  uint32_t status = m_GetInterface(name, &object);
  if (status != 0 || !object) {
    const char* text = PlatformWin32ErrorName(status);
    *error = std::string("NotComDllGetInterface ") + name + " failed: " + (text ? text : "error") + " (" +
             std::to_string(status) + ")";
    return nullptr;
  }
  return object;
}

void Plugin::Unload() {
  if (m_DiskInspect) {
    m_DiskInspect->Release();
    m_DiskInspect = nullptr;
  }
  if (m_MountControl) {
    m_MountControl->Release();
    m_MountControl = nullptr;
  }
  if (m_Unload) m_Unload();
  m_GetInterface = nullptr;
  m_Unload = nullptr;
  if (m_Module) {
    FreeLibrary(m_Module);
    m_Module = nullptr;
  }
}

Plugin::~Plugin() { Unload(); }
