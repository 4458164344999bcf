#include "quilldrv/volume_driver.h"

#include <cstring>

#include "module/trace.h"
#include "platform/endian.h"
#include "platform/win_registry.h"
#include "platform/wstr.h"
#include "quilldrv/driver_errors.h"
#include "quilldrv/request_records.h"

// The platform's volume namespace and redirection calls, bound weakly: a platform library
// without them still loads this one, and mounts then stay reachable only through this library.
VMPLAT_API uint32_t PlatformRegisterVolume(const std::u16string& root, std::shared_ptr<VolumeProvider> provider)
    __attribute__((weak));
VMPLAT_API uint32_t PlatformUnregisterVolume(const std::u16string& root) __attribute__((weak));
VMPLAT_API uint32_t PlatformStartFileRedirection(const WCHAR* deviceName, const WCHAR* volumeRoot)
    __attribute__((weak));
VMPLAT_API void PlatformStopFileRedirection() __attribute__((weak));
extern "C" {
VMPLAT_API uint32_t PlatformStartRegistryRedirection(HKEY hklm, HKEY hku, HKEY hkcr, HKEY hkcu,
                                                     const WCHAR* classesPath, const WCHAR* userPath,
                                                     const WCHAR* privatePath) __attribute__((weak));
VMPLAT_API void PlatformStopRegistryRedirection() __attribute__((weak));
}

namespace {

const char* RequestName(uint32_t code) {
  switch (code) {
    case VMMount_IoCtl_Mount: return "VMMount_IoCtl_Mount";
    case VMMount_IoCtl_UnMount: return "VMMount_IoCtl_UnMount";
    case VMMount_IoCtl_StartFileVirtualisation: return "VMMount_IoCtl_StartFileVirtualisation";
    case VMMount_IoCtl_StartRegVirtualisation: return "VMMount_IoCtl_StartRegVirtualisation";
    case VMMount_IoCtl_StopVirtualisation: return "VMMount_IoCtl_StopVirtualisation";
    case VMMount_IoCtl_ReadOnly: return "VMMount_IoCtl_ReadOnly";
    default: return "unknown request";
  }
}

}  // namespace

VolumeDriver& VolumeDriver::Instance() {
  static VolumeDriver* driver = new VolumeDriver();  // lives as long as the process
  return *driver;
}

std::shared_ptr<VolumeProvider> VolumeDriver::ProviderFor(uint64_t id) {
  std::lock_guard<std::mutex> lock(m_Lock);
  auto it = m_Mounts.find(id);
  return it == m_Mounts.end() ? nullptr : it->second.provider;
}

uint32_t VolumeDriver::IoCtl(uint32_t code, const void* in, uint64_t inSize, void* out, uint64_t outSize,
                             uint64_t* returned) {
  if (returned) *returned = 0;
  if (!in && inSize) return ERROR_INVALID_PARAMETER;
  if (!out && outSize) return ERROR_INVALID_PARAMETER;
  uint32_t st;
  switch (code) {
    case VMMount_IoCtl_Mount: st = Mount(in, inSize, out, outSize, returned); break;
    case VMMount_IoCtl_UnMount: st = Unmount(in, inSize); break;
    case VMMount_IoCtl_StartFileVirtualisation: st = StartFileRedirection(in, inSize); break;
    case VMMount_IoCtl_StartRegVirtualisation: st = StartRegistryRedirection(in, inSize); break;
    case VMMount_IoCtl_StopVirtualisation: st = StopRedirection(inSize); break;
    case VMMount_IoCtl_ReadOnly: st = ReadOnly(in, inSize, out, outSize, returned); break;
    default: st = ERROR_INVALID_FUNCTION; break;
  }
  if (st) TraceNarrow("quilldrv: %s (%u) failed with error %u\n", RequestName(code), code, st);
  return st;
}

uint32_t VolumeDriver::Mount(const void* in, uint64_t inSize, void* out, uint64_t outSize, uint64_t* returned) {
  MountRecord record;
  uint32_t st = ParseMountRecord(in, inSize, &record);
  if (st) return st;
  if (!out || outSize < MOUNT_REPLY_BYTES) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<VolumeProvider> provider;
  if ((st = OpenImageVolume(record.path, record.partition, !record.readOnly, &provider))) return st;

  uint64_t id;
  std::u16string root;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    id = ++m_LastId;
    root = u"\\\\?\\GLOBALROOT\\Device\\ZelVolume{" + Utf8ToUtf16(std::to_string(id)) + u"}";
    Mounted& m = m_Mounts[id];
    m.root = root;
    m.provider = provider;
  }
  bool registered = false;
  if (PlatformRegisterVolume) {
    st = PlatformRegisterVolume(root, provider);
    if (st) {
      std::lock_guard<std::mutex> lock(m_Lock);
      m_Mounts.erase(id);
      return st;
    }
    registered = true;
  } else {
    TraceNarrow("quilldrv: the platform has no volume namespace; %s is reachable only through the driver\n",
                Utf16ToUtf8(root).c_str());
  }
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Mounts[id].registered = registered;
  }
  auto* reply = static_cast<uint8_t*>(out);
  memset(reply, 0, MOUNT_REPLY_BYTES);
  StoreLE64(reply, id);
  for (size_t i = 0; i < root.size(); ++i) StoreLE16(reply + 8 + 2 * i, root[i]);
  if (returned) *returned = 8 + 2 * (root.size() + 1);
  TraceNarrow("quilldrv: mounted partition %u of %s as %s (%s)\n", record.partition,
              Utf16ToUtf8(record.path).c_str(), Utf16ToUtf8(root).c_str(),
              provider->IsReadOnly() ? "read-only" : "read-write");
  return ERROR_SUCCESS;
}

uint32_t VolumeDriver::Unmount(const void* in, uint64_t inSize) {
  uint64_t id;
  uint32_t st = ParseIdRecord(in, inSize, &id);
  if (st) return st;
  Mounted m;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Mounts.find(id);
    if (it == m_Mounts.end()) return ERROR_INVALID_PARAMETER;
    m = std::move(it->second);
    m_Mounts.erase(it);
  }
  // Handles still open keep the volume until they close; what is cached is written now.
  st = m.registered && PlatformUnregisterVolume ? PlatformUnregisterVolume(m.root) : m.provider->Flush();
  if (st) TraceNarrow("quilldrv: flushing %s failed with error %u\n", Utf16ToUtf8(m.root).c_str(), st);
  return st;
}

uint32_t VolumeDriver::StartFileRedirection(const void* in, uint64_t inSize) {
  FileRedirectionRecord record;
  uint32_t st = ParseFileRedirectionRecord(in, inSize, &record);
  if (st) return st;
  std::u16string root;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto it = m_Mounts.find(record.id);
    if (it == m_Mounts.end()) return ERROR_INVALID_PARAMETER;
    root = it->second.root;
  }
  if (!PlatformStartFileRedirection) return ERROR_NOT_SUPPORTED;
  return PlatformStartFileRedirection(record.deviceName.c_str(), root.c_str());
}

uint32_t VolumeDriver::StartRegistryRedirection(const void* in, uint64_t inSize) {
  RegistryRedirectionRecord r;
  uint32_t st = ParseRegistryRedirectionRecord(in, inSize, &r);
  if (st) return st;
  if (!PlatformStartRegistryRedirection) return ERROR_NOT_SUPPORTED;
  auto key = [](uint64_t v) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(v)); };
  return PlatformStartRegistryRedirection(key(r.keys[0]), key(r.keys[1]), key(r.keys[2]), key(r.keys[3]),
                                          r.classesPath.c_str(), r.userPath.c_str(), r.privatePath.c_str());
}

uint32_t VolumeDriver::StopRedirection(uint64_t inSize) {
  if (inSize != 0) return ERROR_INVALID_PARAMETER;
  if (PlatformStopFileRedirection) PlatformStopFileRedirection();
  if (PlatformStopRegistryRedirection) PlatformStopRegistryRedirection();
  return ERROR_SUCCESS;
}

uint32_t VolumeDriver::ReadOnly(const void* in, uint64_t inSize, void* out, uint64_t outSize, uint64_t* returned) {
  uint64_t id;
  uint32_t st = ParseIdRecord(in, inSize, &id);
  if (st) return st;
  if (!out || outSize < 4) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<VolumeProvider> provider = ProviderFor(id);
  if (!provider) return ERROR_INVALID_PARAMETER;
  StoreLE32(static_cast<uint8_t*>(out), provider->IsReadOnly() ? 1 : 0);
  if (returned) *returned = 4;
  return ERROR_SUCCESS;
}
