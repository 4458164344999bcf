#include "mounted/mounted_partition.h"

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <new>

#include "module/module_lifetime.h"
#include "module/trace.h"
#include "mount/driver_link.h"
#include "mount/to_nt_path.h"
#include "platform/endian.h"
#include "platform/loader.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/wstr.h"

namespace {

// Units of the root name the mount reply can hold (from byte 8 to its end).
constexpr size_t kReplyNameUnits = (MOUNT_REPLY_BYTES - 8) / 2;

struct FreeOnExit {
  void* p;
  ~FreeOnExit() { free(p); }
};

}  // namespace

CMountedVirtualPartition::CMountedVirtualPartition(ContentDriver* driver)
    : m_RefCount(1),
      m_Driver(driver),
      m_RootName{},
      m_MountId(0),
      m_SystemKeyName{},
      m_SoftwareKeyName{},
      m_DefaultKeyName{},
      m_RegistryKeyName{},
      m_TempSystemHive(nullptr),
      m_TempSoftwareHive(nullptr),
      m_TempDefaultHive(nullptr),
      m_RegistryRoot(nullptr),
      m_HKLM(nullptr),
      m_HKU(nullptr),
      m_HKCR(nullptr),
      m_HKCU(nullptr),
      m_TempLogs{},
      m_LoadedHives(0),
      m_Mounted(false) {
  ModuleAddRef();
  m_Driver->AddRef();
}

CMountedVirtualPartition::~CMountedVirtualPartition() {
  StopVirtualisation();
  // The mount id exists only once the driver has mounted the volume.
  if (m_Mounted) {
    uint8_t id[8];
    StoreLE64(id, m_MountId);
    DriverIoCtl(m_Driver, VMMount_IoCtl_UnMount, id, sizeof id, nullptr, 0, nullptr);
  }
  free(m_TempSystemHive);
  free(m_TempSoftwareHive);
  free(m_TempDefaultHive);
  m_Driver->Release();
  ModuleRelease();
}

uint32_t CMountedVirtualPartition::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CMountedVirtualPartition::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) delete this;
}

uint32_t CMountedVirtualPartition::Mount(const WCHAR* path, uint8_t option1, uint8_t option2) {
  WCHAR* ntPath = ToNtPath(path);
  if (!ntPath) return ERROR_NOT_ENOUGH_MEMORY;
  FreeOnExit freePath{ntPath};
  const size_t units = WStrLen(ntPath) + 1;
  const uint64_t requestSize = 2 * units + 4;
  auto* request = static_cast<uint8_t*>(calloc(requestSize, 1));
  FreeOnExit freeRequest{request};
  auto* reply = static_cast<uint8_t*>(calloc(MOUNT_REPLY_BYTES, 1));
  FreeOnExit freeReply{reply};
  if (!request || !reply) return ERROR_NOT_ENOUGH_MEMORY;
  request[0] = option1;
  request[1] = option2 == 0 ? 1 : 0;
  for (size_t i = 0; i < units; ++i) StoreLE16(request + 2 + 2 * i, ntPath[i]);

  uint32_t status = DriverIoCtl(m_Driver, VMMount_IoCtl_Mount, request, requestSize, reply, MOUNT_REPLY_BYTES, nullptr);
  if (status != 0) return status;
  m_MountId = LoadLE64(reply);
  m_Mounted = true;
  size_t length = 0;
  while (length < kReplyNameUnits && LoadLE16(reply + 8 + 2 * length) != 0) ++length;
  if (length >= MOUNTED_NAME_UNITS) {
    // The volume is mounted but cannot be addressed: the caller releases the object, which
    // unmounts it again.
    Trace(u"CMountedVirtualPartition::Mount - root name of %d units does not fit\n", static_cast<int32_t>(length));
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (size_t i = 0; i < length; ++i) m_RootName[i] = LoadLE16(reply + 8 + 2 * i);
  m_RootName[length] = 0;
  return 0;
}

uint8_t CMountedVirtualPartition::IsReadOnly() {
  uint8_t id[8], reply[4] = {};
  uint64_t returned = 0;
  StoreLE64(id, m_MountId);
  uint32_t status = DriverIoCtl(m_Driver, VMMount_IoCtl_ReadOnly, id, sizeof id, reply, sizeof reply, &returned);
  return !(status == 0 && returned == 4 && LoadLE32(reply) == 0);
}

WCHAR* CMountedVirtualPartition::GetFullPath(const WCHAR* path) { return JoinRoot(path, nullptr); }

WCHAR* CMountedVirtualPartition::JoinRoot(const WCHAR* first, const WCHAR* second) {
  const size_t root = WStrLen(m_RootName), a = WStrLen(first), b = WStrLen(second);
  auto* full = static_cast<WCHAR*>(malloc((root + a + b + 1) * sizeof(WCHAR)));
  if (!full) return nullptr;
  memcpy(full, m_RootName, root * sizeof(WCHAR));
  // Copied unit by unit: a null piece (length 0) is never handed to memcpy.
  std::copy_n(first ? first : u"", a, full + root);
  std::copy_n(second ? second : u"", b, full + root + a);
  full[root + a + b] = 0;
  return full;
}

void CMountedVirtualPartition::FreeString(WCHAR* string) { free(string); }

HANDLE CMountedVirtualPartition::FindFirstFile(const WCHAR* path, WIN32_FIND_DATAW* findData) {
  SetLastError(ERROR_SUCCESS);
  WCHAR* full = GetFullPath(path);
  if (!full) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE find = FindFirstFileW(full, findData);
  free(full);
  return find;
}

uint8_t CMountedVirtualPartition::DeleteFile(const WCHAR* path) {
  WCHAR* full = GetFullPath(path);
  if (!full) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  BOOL ok = DeleteFileW(full);
  free(full);
  return ok ? 1 : 0;
}

HANDLE CMountedVirtualPartition::CreateFile(const WCHAR* path, uint32_t access, uint32_t shareMode, void* security,
                                            uint32_t disposition, uint32_t flagsAndAttributes) {
  SetLastError(ERROR_SUCCESS);
  WCHAR* full = GetFullPath(path);
  if (!full) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = CreateFileW(full, access, shareMode, security, disposition, flagsAndAttributes, nullptr);
  free(full);
  return file;
}

namespace {

// A path of a move or copy: host paths are taken as they are, volume paths made full.
class EitherPath {
 public:
  EitherPath(CMountedVirtualPartition* mounted, const WCHAR* path, uint8_t isFull)
      : m_Made(isFull ? nullptr : mounted->GetFullPath(path)), m_Path(isFull ? path : m_Made) {}
  ~EitherPath() { free(m_Made); }
  EitherPath(const EitherPath&) = delete;
  EitherPath& operator=(const EitherPath&) = delete;
  const WCHAR* get() const { return m_Path; }

 private:
  WCHAR* m_Made;
  const WCHAR* m_Path;
};

}  // namespace

uint8_t CMountedVirtualPartition::MoveFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to, uint8_t toIsFull) {
  EitherPath source(this, from, fromIsFull), target(this, to, toIsFull);
  if ((!fromIsFull && !source.get()) || (!toIsFull && !target.get())) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return MoveFileW(source.get(), target.get()) ? 1 : 0;
}

uint8_t CMountedVirtualPartition::CopyFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to, uint8_t toIsFull) {
  EitherPath source(this, from, fromIsFull), target(this, to, toIsFull);
  if ((!fromIsFull && !source.get()) || (!toIsFull && !target.get())) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return CopyFileW(source.get(), target.get(), 0) ? 1 : 0;
}

HKEY CMountedVirtualPartition::GetRegistryRoot(HKEY predefinedKey) {
  if (predefinedKey == HKEY_LOCAL_MACHINE) return m_HKLM;
  if (predefinedKey == HKEY_CURRENT_USER) return m_HKCU;
  if (predefinedKey == HKEY_USERS) return m_HKU;
  if (predefinedKey == HKEY_CLASSES_ROOT) return m_HKCR;
  return nullptr;
}

uint32_t CMountedVirtualPartition::RegCreateKeyEx(HKEY root, const WCHAR* subKey, uint32_t access, HKEY* result,
                                                  uint32_t* disposition) {
  HKEY mapped = GetRegistryRoot(root);
  if (!mapped) return ERROR_BADKEY;
  return static_cast<uint32_t>(RegCreateKeyExW(mapped, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                               result, disposition));
}

uint32_t CMountedVirtualPartition::RegOpenKeyEx(HKEY root, const WCHAR* subKey, uint32_t access, HKEY* result) {
  HKEY mapped = GetRegistryRoot(root);
  if (!mapped) return ERROR_BADKEY;
  return static_cast<uint32_t>(RegOpenKeyExW(mapped, subKey, 0, access, result));
}

uint32_t CMountedVirtualPartition::RegDeleteKey(HKEY root, const WCHAR* subKey) {
  HKEY mapped = GetRegistryRoot(root);
  if (!mapped) return ERROR_BADKEY;
  return static_cast<uint32_t>(RegDeleteKeyW(mapped, subKey));
}
