// The Win32 registry calls over the process-wide registry tree.
#include <cstring>

#include "platform/platform_trace.h"
#include "platform/reg_tree.h"
#include "platform/token.h"
#include "platform/win_registry.h"

#define ERROR_NOACCESS 998u
#define STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017C)
#define STATUS_REGISTRY_CORRUPT ((NTSTATUS)0xC000014C)
#define KEY_DELETE 0x00010000u
#define REG_OPTION_BACKUP_RESTORE 0x4u

namespace {

// One registry call: holds the lock, and drops the hive keys it materialised on the way out.
struct Call {
  Registry& r = Registry::Get();
  std::lock_guard<std::recursive_mutex> lock{r.Lock()};
  ~Call() { r.EndCall(); }
};

std::u16string Str(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(); }

// The root a hive may be loaded under: HKEY_LOCAL_MACHINE or HKEY_USERS (never redirected).
RegNode* HiveParent(Registry& r, HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return r.Machine();
  if (key == HKEY_USERS) return r.Users();
  return nullptr;
}

bool CopyName(const std::u16string& name, WCHAR* out, uint32_t* size) {
  if (name.size() >= *size) return false;
  memcpy(out, name.data(), name.size() * sizeof(WCHAR));
  out[name.size()] = 0;
  *size = static_cast<uint32_t>(name.size());
  return true;
}

void SetFiletime(FILETIME* ft, uint64_t t) {
  if (!ft) return;
  ft->dwLowDateTime = static_cast<uint32_t>(t);
  ft->dwHighDateTime = static_cast<uint32_t>(t >> 32);
}

}  // namespace

extern "C" {

LSTATUS RegCreateKeyExW(HKEY key, const WCHAR* subKey, uint32_t, WCHAR*, uint32_t options, uint32_t access, void*,
                        HKEY* result, uint32_t* disposition) {
  if (!result) return ERROR_BADKEY;
  *result = nullptr;
  if (options & ~(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
    return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* base = nullptr;
  uint32_t st = c.r.KeyOf(key, 0, &base);
  if (st != ERROR_SUCCESS) return st;
  bool link = options & REG_OPTION_CREATE_LINK;
  RegNode *node = nullptr, *deepest = nullptr;
  std::vector<std::u16string> missing;
  st = c.r.Lookup(base, Str(subKey), link || (options & REG_OPTION_OPEN_LINK), &node, &deepest, &missing);
  if (st == ERROR_SUCCESS) {
    if (link) return ERROR_ALREADY_EXISTS;
    *result = c.r.NewHandle(node, access);
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  if (st != ERROR_FILE_NOT_FOUND || !deepest) return st;
  node = deepest;
  for (size_t i = 0; i < missing.size(); ++i) {
    st = c.r.CreateChild(node, missing[i], options & REG_OPTION_VOLATILE, link && i + 1 == missing.size(), &node);
    if (st != ERROR_SUCCESS) return st;
  }
  *result = c.r.NewHandle(node, access);
  if (disposition) *disposition = REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY key, const WCHAR* subKey, uint32_t options, uint32_t access, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Call c;
  RegNode *base = nullptr, *node = nullptr;
  uint32_t st = c.r.KeyOf(key, 0, &base);
  if (st == ERROR_SUCCESS) st = c.r.Lookup(base, Str(subKey), options & REG_OPTION_OPEN_LINK, &node);
  if (st == ERROR_SUCCESS) *result = c.r.NewHandle(node, access);
  return st;
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER)
    return ERROR_SUCCESS;
  Call c;
  return c.r.CloseHandleObj(key);
}

LSTATUS RegDeleteKeyW(HKEY key, const WCHAR* subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode *base = nullptr, *node = nullptr;
  uint32_t st = c.r.KeyOf(key, 0, &base);
  if (st == ERROR_SUCCESS) st = c.r.Lookup(base, subKey, false, &node);
  if (st == ERROR_SUCCESS) st = c.r.DeleteKey(node);
  return st;
}

LSTATUS RegDeleteValueW(HKEY key, const WCHAR* valueName) {
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_SET_VALUE, &node);
  if (st == ERROR_SUCCESS) st = c.r.DeleteValue(node, Str(valueName));
  return st;
}

LSTATUS RegSetValueExW(HKEY key, const WCHAR* valueName, uint32_t, uint32_t type, const uint8_t* data,
                       uint32_t size) {
  if (!data && size) return ERROR_NOACCESS;
  std::u16string name = Str(valueName);
  if (name.size() > kRegMaxValueName || size > kRegMaxValueSize) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_SET_VALUE, &node);
  if (st != ERROR_SUCCESS) return st;
  HiveValue v;
  v.name = std::move(name);
  v.type = type;
  v.data.assign(data, data + size);
  return c.r.SetValue(node, std::move(v));
}

LSTATUS RegQueryValueExW(HKEY key, const WCHAR* valueName, uint32_t* reserved, uint32_t* type, uint8_t* data,
                         uint32_t* size) {
  if ((data && !size) || reserved) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_QUERY_VALUE, &node);
  if (st != ERROR_SUCCESS) return st;
  HiveValue v;
  if ((st = c.r.FindValue(node, Str(valueName), &v, data != nullptr)) != ERROR_SUCCESS) return st;
  if (type) *type = v.type;
  uint32_t len = static_cast<uint32_t>(v.data.size());
  if (data) {
    if (*size < len) {
      *size = len;
      return ERROR_MORE_DATA;
    }
    memcpy(data, v.data.data(), len);
  }
  if (size) *size = len;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY key, WCHAR* keyClass, uint32_t* classSize, uint32_t* reserved, uint32_t* subKeys,
                         uint32_t* maxSubKeyLen, uint32_t* maxClassLen, uint32_t* values, uint32_t* maxValueNameLen,
                         uint32_t* maxValueLen, uint32_t* securityDescriptorSize, FILETIME* lastWriteTime) {
  if ((keyClass && !classSize) || reserved) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_QUERY_VALUE, &node);
  if (st != ERROR_SUCCESS) return st;
  size_t nk = 0, nv = 0, maxKey = 0, maxName = 0, maxData = 0;
  if ((st = c.r.SubkeyCount(node, &nk)) != ERROR_SUCCESS) return st;
  uint64_t t = 0;
  std::u16string name;
  if (maxSubKeyLen) {
    for (size_t i = 0; i < nk; ++i) {
      if ((st = c.r.SubkeyName(node, i, &name, &t)) != ERROR_SUCCESS) return st;
      maxKey = std::max(maxKey, name.size());
    }
  }
  if ((st = c.r.ValueCount(node, &nv)) != ERROR_SUCCESS) return st;
  if (maxValueNameLen || maxValueLen) {
    for (size_t i = 0; i < nv; ++i) {
      HiveValue v;
      if ((st = c.r.ValueAt(node, i, &v, false)) != ERROR_SUCCESS) return st;
      maxName = std::max(maxName, v.name.size());
      maxData = std::max(maxData, v.data.size());
    }
  }
  if (keyClass && *classSize) keyClass[0] = 0;
  if (classSize) *classSize = 0;
  if (subKeys) *subKeys = static_cast<uint32_t>(nk);
  if (maxSubKeyLen) *maxSubKeyLen = static_cast<uint32_t>(maxKey);
  if (maxClassLen) *maxClassLen = 0;
  if (values) *values = static_cast<uint32_t>(nv);
  if (maxValueNameLen) *maxValueNameLen = static_cast<uint32_t>(maxName);
  if (maxValueLen) *maxValueLen = static_cast<uint32_t>(maxData);
  if (securityDescriptorSize) *securityDescriptorSize = 0;
  SetFiletime(lastWriteTime, node->hn ? node->hive->Timestamp(node->hn) : node->lastWrite);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExW(HKEY key, uint32_t index, WCHAR* name, uint32_t* nameSize, uint32_t* reserved,
                      WCHAR* keyClass, uint32_t* classSize, FILETIME* lastWriteTime) {
  if (!name || !nameSize || reserved) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_ENUMERATE_SUB_KEYS, &node);
  if (st != ERROR_SUCCESS) return st;
  std::u16string n;
  uint64_t t = 0;
  if ((st = c.r.SubkeyName(node, index, &n, &t)) != ERROR_SUCCESS) return st;
  if (!CopyName(n, name, nameSize)) return ERROR_MORE_DATA;
  if (classSize) {
    if (keyClass && *classSize) keyClass[0] = 0;
    *classSize = 0;
  }
  SetFiletime(lastWriteTime, t);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, uint32_t index, WCHAR* name, uint32_t* nameSize, uint32_t* reserved,
                      uint32_t* type, uint8_t* data, uint32_t* dataSize) {
  if (!name || !nameSize || reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, KEY_QUERY_VALUE, &node);
  if (st != ERROR_SUCCESS) return st;
  HiveValue v;
  if ((st = c.r.ValueAt(node, index, &v, data != nullptr)) != ERROR_SUCCESS) return st;
  if (!CopyName(v.name, name, nameSize)) return ERROR_MORE_DATA;
  if (type) *type = v.type;
  uint32_t len = static_cast<uint32_t>(v.data.size());
  if (data && *dataSize < len) {
    *dataSize = len;
    return ERROR_MORE_DATA;
  }
  if (data) memcpy(data, v.data.data(), len);
  if (dataSize) *dataSize = len;
  return ERROR_SUCCESS;
}

LSTATUS RegLoadKeyW(HKEY key, const WCHAR* subKey, const WCHAR* file) {
  if (!subKey || !*subKey || !file || !*file) return ERROR_INVALID_PARAMETER;
  std::u16string name(subKey);
  if (name.find(u'\\') != std::u16string::npos) return ERROR_INVALID_PARAMETER;
  if (!ProcessPrivilegeEnabled(SE_RESTORE_PRIVILEGE) || !ProcessPrivilegeEnabled(SE_BACKUP_PRIVILEGE))
    return ERROR_PRIVILEGE_NOT_HELD;
  Call c;
  RegNode* parent = HiveParent(c.r, key);
  if (!parent) return ERROR_INVALID_PARAMETER;
  RegNode* existing = nullptr;
  uint32_t st = c.r.Lookup(parent, name, true, &existing);
  if (st == ERROR_SUCCESS) return ERROR_ALREADY_EXISTS;
  if (c.r.HiveLoadedFrom(file)) return ERROR_SHARING_VIOLATION;
  std::unique_ptr<RegHive> hive;
  if ((st = RegHive::Load(file, &hive)) != ERROR_SUCCESS) {
    PlatformTrace(u"RegLoadKeyW(%s, %s) failed with %u\n", subKey, file, st);
    return st;
  }
  return c.r.Mount(parent, name, std::move(hive));
}

LSTATUS RegUnLoadKeyW(HKEY key, const WCHAR* subKey) {
  if (!subKey || !*subKey) return ERROR_INVALID_PARAMETER;
  if (!ProcessPrivilegeEnabled(SE_RESTORE_PRIVILEGE)) return ERROR_PRIVILEGE_NOT_HELD;
  Call c;
  RegNode* parent = HiveParent(c.r, key);
  if (!parent) return ERROR_INVALID_PARAMETER;
  RegNode* mount = nullptr;
  uint32_t st = c.r.Lookup(parent, subKey, true, &mount);
  if (st != ERROR_SUCCESS) return st;
  if (!mount->ownedHive || mount->parent != parent) return ERROR_INVALID_PARAMETER;
  return c.r.Unmount(mount);
}

LSTATUS RegFlushKey(HKEY key) {
  Call c;
  RegNode* node = nullptr;
  uint32_t st = c.r.KeyOf(key, 0, &node);
  if (st == ERROR_SUCCESS && node->hive) st = node->hive->Flush();
  return st;
}

NTSTATUS ZwDeleteKey(HANDLE key) {
  Call c;
  RegHandleObj* h = c.r.HandleOf(static_cast<HKEY>(key));
  if (!h) return STATUS_INVALID_HANDLE;
  if (!(h->access & KEY_DELETE)) return STATUS_ACCESS_DENIED;
  if (h->node->deleted) return STATUS_KEY_DELETED;
  uint32_t st = c.r.DeleteKey(h->node);
  if (st == ERROR_SUCCESS) return STATUS_SUCCESS;
  if (st == ERROR_ACCESS_DENIED) return STATUS_CANNOT_DELETE;
  if (st == ERROR_NOT_ENOUGH_MEMORY) return STATUS_NO_MEMORY;
  return STATUS_REGISTRY_CORRUPT;
}

uint32_t PlatformStartRegistryRedirection(HKEY hklm, HKEY hku, HKEY hkcr, HKEY hkcu, const WCHAR* classesPath,
                                          const WCHAR* userPath, const WCHAR* privatePath) {
  Call c;
  return c.r.StartRedirection(hklm, hku, hkcr, hkcu, classesPath, userPath, privatePath);
}

void PlatformStopRegistryRedirection() {
  Call c;
  c.r.StopRedirection();
}

}  // extern "C"
