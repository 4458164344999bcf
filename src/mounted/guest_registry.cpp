// Loading a Windows guest's SYSTEM, SOFTWARE and DEFAULT hives into the host registry behind a
// private tree of volatile links that looks like the guest's own root keys.
#include <cstdlib>

#include "module/trace.h"
#include "mounted/mounted_partition.h"
#include "platform/endian.h"
#include "platform/loader.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "platform/wstr.h"

namespace {

constexpr uint32_t kFormatUnits = 1024;  // wsprintfW's largest output
const WCHAR kTamsel[] = u"SOFTWARE\\Brenmoor\\Tamsel\\";
const WCHAR kMachine[] = u"\\Registry\\Machine\\";
const WCHAR* const kHiveFiles[3] = {u"\\system32\\config\\SYSTEM", u"\\system32\\config\\SOFTWARE",
                                    u"\\system32\\config\\DEFAULT"};
// Transaction logs beside a hive (older systems keep one, 8.1 and later two).
const WCHAR* const kHiveLogSuffixes[3] = {u".LOG", u".LOG1", u".LOG2"};

WCHAR* Concat(const WCHAR* a, const WCHAR* b) {
  const size_t la = WStrLen(a), lb = WStrLen(b);
  auto* s = static_cast<WCHAR*>(malloc((la + lb + 1) * sizeof(WCHAR)));
  if (!s) return nullptr;
  WStrCopy(s, la + 1, a);
  WStrCopy(s + la, lb + 1, b);
  return s;
}

}  // namespace

void CMountedVirtualPartition::MakeKeyNames() {
  WCHAR suffix[kFormatUnits];
  wsprintfW(suffix, u"_%x_%p", GetCurrentThreadId(), static_cast<void*>(this));
  WCHAR* const fields[4] = {m_SystemKeyName, m_SoftwareKeyName, m_DefaultKeyName, m_RegistryKeyName};
  const WCHAR* const bases[4] = {u"VM_SYSTEM", u"VM_SOFTWARE", u"VM_DEFAULT", u"VM_REGISTRY"};
  for (int i = 0; i < 4; ++i) {
    WStrCopy(fields[i], MOUNTED_NAME_UNITS, bases[i]);
    WStrAppend(fields[i], MOUNTED_NAME_UNITS, suffix);
  }
}

bool CMountedVirtualPartition::FindWindowsDirectory(WCHAR* buffer, uint32_t size) {
  const WCHAR* const candidates[2] = {u"\\winnt", u"\\windows"};
  const WCHAR* const misses[2] = {
      u"CMountedVirtualPartition::LoadRegistry - didn't find windows at \\winnt   - err = %d  attribs=%x\n",
      u"CMountedVirtualPartition::LoadRegistry - didn't find windows at \\windows - err = %d  attribs=%x\n"};
  for (int i = 0; i < 2; ++i) {
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFile(candidates[i], &found);
    const uint32_t error = GetLastError();
    const bool accepted = find != INVALID_HANDLE_VALUE && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    if (accepted) {
      WStrCopy(buffer, size, candidates[i]);
      Trace(u"CMountedVirtualPartition::LoadRegistry - found windows at %s\n", buffer);
      return true;
    }
    Trace(misses[i], static_cast<int32_t>(error), found.dwFileAttributes);
  }
  Trace(u"CMountedVirtualPartition::LoadRegistry - can't find Windows\n");
  return false;
}

bool CMountedVirtualPartition::FileExists(const WCHAR* path) {
  HANDLE file = CreateFileW(path, 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

uint8_t CMountedVirtualPartition::HasRegistry() {
  WCHAR windows[MOUNTED_NAME_UNITS];
  if (!FindWindowsDirectory(windows, MOUNTED_NAME_UNITS)) return 0;
  for (const WCHAR* hive : kHiveFiles) {
    WCHAR* path = JoinRoot(windows, hive);
    const bool exists = path && FileExists(path);
    free(path);
    if (!exists) return 0;
  }
  return 1;
}

WCHAR* CMountedVirtualPartition::GetTempRegistryFile(const WCHAR* keyName, const WCHAR* source, uint8_t* logsCopied) {
  *logsCopied = 0;
  WCHAR directory[MAX_PATH];
  const uint32_t length = GetTempPathW(MAX_PATH, directory);
  if (length == 0 || length >= MAX_PATH) {
    if (length >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    Trace(u"GetTempRegistryFile : GetTempPath failed %d\n", static_cast<int32_t>(GetLastError()));
    return nullptr;
  }
  Trace(u"GetTempRegistryFile : TempDir = %s\n", directory);
  const size_t units = length + 1 + WStrLen(keyName) + 9 + 1;
  auto* path = static_cast<WCHAR*>(malloc(units * sizeof(WCHAR)));
  if (!path) return nullptr;
  WStrCopy(path, units, directory);
  WStrAppend(path, units, u"\\");
  WStrAppend(path, units, keyName);
  WStrAppend(path, units, u"_temp.reg");
  if (!source || !CopyFileW(source, path, 0)) {
    free(path);
    return nullptr;
  }
  // A dirty hive needs its transaction logs beside it for the registry to replay them. A log
  // left from an earlier copy of that name must not be replayed into this one.
  for (int i = 0; i < 3; ++i) {
    WCHAR* from = Concat(source, kHiveLogSuffixes[i]);
    WCHAR* to = Concat(path, kHiveLogSuffixes[i]);
    if (from && to) {
      if (FileExists(from)) {
        if (CopyFileW(from, to, 0)) {
          *logsCopied |= static_cast<uint8_t>(1u << i);
        } else {
          Trace(u"GetTempRegistryFile : copy of %s failed %d\n", from, static_cast<int32_t>(GetLastError()));
          DeleteFileW(to);
        }
      } else {
        DeleteFileW(to);
      }
    }
    free(from);
    free(to);
  }
  return path;
}

bool CMountedVirtualPartition::EnableBackupRestorePrivileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  struct {
    uint32_t PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[2];
  } privileges{};
  privileges.PrivilegeCount = 2;
  LookupPrivilegeValueW(nullptr, u"SeRestorePrivilege", &privileges.Privileges[0].Luid);
  LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &privileges.Privileges[1].Luid);
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  privileges.Privileges[1].Attributes = SE_PRIVILEGE_ENABLED;
  const BOOL adjusted =
      AdjustTokenPrivileges(token, 0, reinterpret_cast<TOKEN_PRIVILEGES*>(&privileges), 0, nullptr, nullptr);
  CloseHandle(token);
  return adjusted != 0;
}

void CMountedVirtualPartition::MakeSymlink(HKEY parent, const WCHAR* subKey, const WCHAR* target) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(parent, subKey, 0, nullptr, REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK,
                                   KEY_SET_VALUE | KEY_CREATE_LINK | KEY_WOW64_64KEY, nullptr, &key, nullptr);
  if (status != 0) {
    Trace(u"CMountedVirtualPartition::MakeSymlink  RegCreateKeyEx(%s) failed %d\n", subKey, status);
    return;
  }
  status = RegSetValueExW(key, u"SymbolicLinkValue", 0, REG_LINK, reinterpret_cast<const uint8_t*>(target),
                          static_cast<uint32_t>(WStrLen(target) * sizeof(WCHAR)));
  if (status != 0) Trace(u"CMountedVirtualPartition::MakeSymlink  RegSetValueEx failed %d\n", status);
  RegCloseKey(key);
}

void CMountedVirtualPartition::DeleteLinkKey(HKEY parent, const WCHAR* subKey) {
  HKEY key = nullptr;
  if (!parent || RegOpenKeyExW(parent, subKey, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, &key) != 0) return;
  ZwDeleteKey(reinterpret_cast<HANDLE>(key));
  RegCloseKey(key);
}

uint32_t CMountedVirtualPartition::LoadRegistry() {
  MakeKeyNames();
  WCHAR windows[MOUNTED_NAME_UNITS];
  if (!HasRegistry() || !FindWindowsDirectory(windows, MOUNTED_NAME_UNITS)) return ERROR_PATH_NOT_FOUND;
  if (!EnableBackupRestorePrivileges()) return ERROR_PRIVILEGE_NOT_HELD;

  WCHAR* volumePaths[3];
  for (int i = 0; i < 3; ++i) volumePaths[i] = JoinRoot(windows, kHiveFiles[i]);
  const WCHAR* const keyNames[3] = {m_SystemKeyName, m_SoftwareKeyName, m_DefaultKeyName};
  WCHAR** const temps[3] = {&m_TempSystemHive, &m_TempSoftwareHive, &m_TempDefaultHive};
  const bool readOnly = IsReadOnly() != 0;
  if (readOnly) {
    for (int i = 0; i < 3; ++i) {
      free(*temps[i]);
      *temps[i] = GetTempRegistryFile(keyNames[i], volumePaths[i], &m_TempLogs[i]);
    }
  }
  LSTATUS status = 0;
  for (int i = 0; i < 3 && status == 0; ++i) {
    const WCHAR* file = readOnly ? *temps[i] : volumePaths[i];
    status = file ? RegLoadKeyW(HKEY_LOCAL_MACHINE, keyNames[i], file) : static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
    if (status == 0) m_LoadedHives |= static_cast<uint8_t>(1u << i);
    Trace(u"CMountedVirtualPartition::LoadRegistry RegLoadKey(%s,%s) returned %d\n", keyNames[i],
          file ? file : u"(null)", status);
  }
  for (WCHAR* path : volumePaths) free(path);
  if (status != 0) return static_cast<uint32_t>(status);  // hives already loaded stay for UnLoadRegistry

  WCHAR keyPath[kFormatUnits];
  wsprintfW(keyPath, u"%s%s", kTamsel, m_RegistryKeyName);
  status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_VOLATILE, KEY_WOW64_64KEY, nullptr,
                           &m_RegistryRoot, nullptr);
  if (status != 0) {
    m_RegistryRoot = nullptr;
    Trace(u"CMountedVirtualPartition::LoadRegistry  RegCreateKeyEx(%s) failed %d\n", keyPath, status);
    UnLoadRegistry();
    return static_cast<uint32_t>(status);
  }
  status = RegCreateKeyExW(m_RegistryRoot, u"HKLM", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_HKLM,
                           nullptr);
  if (status != 0) {
    m_HKLM = nullptr;
    Trace(u"CMountedVirtualPartition::LoadRegistry  RegCreateKeyEx(%s\\HKLM) failed %d\n", m_RegistryKeyName, status);
  }
  status = RegCreateKeyExW(m_RegistryRoot, u"HKU", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &m_HKU,
                           nullptr);
  if (status != 0) {
    m_HKU = nullptr;
    Trace(u"CMountedVirtualPartition::LoadRegistry  RegCreateKeyEx(%s\\HKU) failed %d\n", m_RegistryKeyName, status);
  }

  const HKEY linkParents[3] = {m_HKLM, m_HKLM, m_HKU};
  const WCHAR* const linkNames[3] = {u"SYSTEM", u"SOFTWARE", u".DEFAULT"};
  for (int i = 0; i < 3; ++i) {
    WCHAR target[MOUNTED_NAME_UNITS];
    WStrCopy(target, MOUNTED_NAME_UNITS, kMachine);
    WStrAppend(target, MOUNTED_NAME_UNITS, keyNames[i]);
    MakeSymlink(linkParents[i], linkNames[i], target);
  }

  status = RegOpenKeyExW(m_HKLM, u"SOFTWARE\\Classes", 0, KEY_ALL_ACCESS, &m_HKCR);
  if (status != 0) {
    m_HKCR = nullptr;
    Trace(u"CMountedVirtualPartition::LoadRegistry  RegOpenKeyEx(m_HKLM,SOFTWARE\\Classes) failed %d\n", status);
  }
  status = RegOpenKeyExW(m_HKU, u".DEFAULT", 0, KEY_ALL_ACCESS, &m_HKCU);
  if (status != 0) {
    m_HKCU = nullptr;
    Trace(u"CMountedVirtualPartition::LoadRegistry  RegOpenKeyEx(m_HKU,.DEFAULT) failed %d\n", status);
  }

  HKEY select = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\Select", KEY_READ, &select) != 0) return 0;
  uint8_t value[4] = {};
  uint32_t type = 0, size = sizeof value;
  int32_t current = 0;
  if (RegQueryValueExW(select, u"Current", nullptr, &type, value, &size) == 0 && size == sizeof value)
    current = static_cast<int32_t>(LoadLE32(value));
  WCHAR target[kFormatUnits];
  wsprintfW(target, u"%s%s\\ControlSet%03d", kMachine, m_SystemKeyName, current);
  MakeSymlink(m_HKLM, u"SYSTEM\\CurrentControlSet", target);
  RegCloseKey(select);
  return 0;
}

void CMountedVirtualPartition::UnLoadRegistry() {
  HKEY* const opened[2] = {&m_HKCR, &m_HKCU};
  for (HKEY* key : opened) {
    if (*key) RegCloseKey(*key);
    *key = nullptr;
  }
  // The control-set link is reached through the SYSTEM link, so it goes first.
  DeleteLinkKey(m_HKLM, u"SYSTEM\\CurrentControlSet");
  DeleteLinkKey(m_HKLM, u"SOFTWARE");
  DeleteLinkKey(m_HKLM, u"SYSTEM");
  DeleteLinkKey(m_HKU, u".DEFAULT");
  if (m_HKLM) {
    RegCloseKey(m_HKLM);
    m_HKLM = nullptr;
    if (m_RegistryRoot) RegDeleteKeyW(m_RegistryRoot, u"HKLM");
  }
  if (m_HKU) {
    RegCloseKey(m_HKU);
    m_HKU = nullptr;
    if (m_RegistryRoot) RegDeleteKeyW(m_RegistryRoot, u"HKU");
  }
  if (m_RegistryRoot) RegCloseKey(m_RegistryRoot);
  m_RegistryRoot = nullptr;

  if (m_RegistryKeyName[0]) {
    WCHAR keyPath[kFormatUnits];
    wsprintfW(keyPath, u"%s%s", kTamsel, m_RegistryKeyName);
    LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath);
    if (status != 0) Trace(u"UnLoadRegistry : failed to delete %s - %d\n", keyPath, status);
    const WCHAR* const keyNames[3] = {m_SystemKeyName, m_SoftwareKeyName, m_DefaultKeyName};
    for (int i = 0; i < 3; ++i) {
      status = RegUnLoadKeyW(HKEY_LOCAL_MACHINE, keyNames[i]);
      // Unloading writes a writable hive back; a hive this object loaded must say when that fails.
      if (status != 0 && (m_LoadedHives & (1u << i)))
        Trace(u"UnLoadRegistry : RegUnLoadKey(%s) failed %d\n", keyNames[i], status);
    }
    m_LoadedHives = 0;
  }

  WCHAR** const temps[3] = {&m_TempSystemHive, &m_TempSoftwareHive, &m_TempDefaultHive};
  for (int i = 0; i < 3; ++i) {
    WCHAR* temp = *temps[i];
    if (!temp) continue;
    if (!DeleteFileW(temp)) Trace(u"UnLoadRegistry : failed to delete %s - %d\n", temp, static_cast<int32_t>(GetLastError()));
    for (int log = 0; log < 3; ++log) {
      if (!(m_TempLogs[i] & (1u << log))) continue;
      WCHAR* copy = Concat(temp, kHiveLogSuffixes[log]);
      if (copy && !DeleteFileW(copy))
        Trace(u"UnLoadRegistry : failed to delete %s - %d\n", copy, static_cast<int32_t>(GetLastError()));
      free(copy);
    }
    m_TempLogs[i] = 0;
    free(temp);
    *temps[i] = nullptr;
  }
}
