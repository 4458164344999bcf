// The Windows registry and token calls of this platform: one process-wide registry with Windows
// semantics; loaded hives are regf files read and written with hivex. Statuses are Win32 codes.
#pragma once
#include <cstdint>
#include "platform/export.h"
#include "platform/win_file.h"
#include "vmpeek/types.h"

typedef struct PlatformKey* HKEY;
typedef int32_t LSTATUS;

// Predefined keys: the sign-extended 64-bit handle values of Windows x64.
#define HKEY_CLASSES_ROOT   ((HKEY)(intptr_t)(int32_t)0x80000000)
#define HKEY_CURRENT_USER   ((HKEY)(intptr_t)(int32_t)0x80000001)
#define HKEY_LOCAL_MACHINE  ((HKEY)(intptr_t)(int32_t)0x80000002)
#define HKEY_USERS          ((HKEY)(intptr_t)(int32_t)0x80000003)

// Value types.
#define REG_NONE      0u
#define REG_SZ        1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY    3u
#define REG_DWORD     4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK      6u
#define REG_MULTI_SZ  7u
#define REG_QWORD     11u

// Options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE     0x1u
#define REG_OPTION_CREATE_LINK  0x2u
#define REG_OPTION_OPEN_LINK    0x8u
#define REG_CREATED_NEW_KEY     1u
#define REG_OPENED_EXISTING_KEY 2u

// Access rights.
#define KEY_QUERY_VALUE        0x0001u
#define KEY_SET_VALUE          0x0002u
#define KEY_CREATE_SUB_KEY     0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY             0x0010u
#define KEY_CREATE_LINK        0x0020u
#define KEY_WOW64_64KEY        0x0100u
#define KEY_WOW64_32KEY        0x0200u
#define KEY_READ               0x20019u
#define KEY_WRITE              0x20006u
#define KEY_ALL_ACCESS         0xF003Fu

// Registry errors beyond status.h.
#define ERROR_BADDB                1009u
#define ERROR_BADKEY               1010u
#define ERROR_REGISTRY_CORRUPT     1015u
#define ERROR_KEY_DELETED          1018u
#define ERROR_CHILD_MUST_BE_VOLATILE 1021u
#define ERROR_PRIVILEGE_NOT_HELD   1314u
#define ERROR_CANT_RESOLVE_FILENAME 1921u

// Tokens and privileges.
#define TOKEN_QUERY             0x0008u
#define TOKEN_ADJUST_PRIVILEGES 0x0020u
#define SE_PRIVILEGE_ENABLED    0x2u
#define ERROR_NOT_ALL_ASSIGNED  1300u
#define TokenUser 1

struct LUID {
  uint32_t LowPart;
  int32_t HighPart;
};
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  uint32_t Attributes;
};
struct TOKEN_PRIVILEGES {
  uint32_t PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};
struct SID_AND_ATTRIBUTES {
  void* Sid;
  uint32_t Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

struct UNICODE_STRING {
  uint16_t Length;         // bytes, without the terminator
  uint16_t MaximumLength;  // bytes
  WCHAR* Buffer;
};

extern "C" {
VMPLAT_API LSTATUS RegCreateKeyExW(HKEY key, const WCHAR* subKey, uint32_t reserved, WCHAR* keyClass,
                                   uint32_t options, uint32_t access, void* security, HKEY* result,
                                   uint32_t* disposition);
VMPLAT_API LSTATUS RegOpenKeyExW(HKEY key, const WCHAR* subKey, uint32_t options, uint32_t access,
                                 HKEY* result);
VMPLAT_API LSTATUS RegCloseKey(HKEY key);
VMPLAT_API LSTATUS RegDeleteKeyW(HKEY key, const WCHAR* subKey);
VMPLAT_API LSTATUS RegDeleteValueW(HKEY key, const WCHAR* valueName);
VMPLAT_API LSTATUS RegSetValueExW(HKEY key, const WCHAR* valueName, uint32_t reserved, uint32_t type,
                                  const uint8_t* data, uint32_t size);
VMPLAT_API LSTATUS RegQueryValueExW(HKEY key, const WCHAR* valueName, uint32_t* reserved, uint32_t* type,
                                    uint8_t* data, uint32_t* size);
VMPLAT_API LSTATUS RegQueryInfoKeyW(HKEY key, WCHAR* keyClass, uint32_t* classSize, uint32_t* reserved,
                                    uint32_t* subKeys, uint32_t* maxSubKeyLen, uint32_t* maxClassLen,
                                    uint32_t* values, uint32_t* maxValueNameLen, uint32_t* maxValueLen,
                                    uint32_t* securityDescriptorSize, FILETIME* lastWriteTime);
VMPLAT_API LSTATUS RegEnumKeyExW(HKEY key, uint32_t index, WCHAR* name, uint32_t* nameSize,
                                 uint32_t* reserved, WCHAR* keyClass, uint32_t* classSize,
                                 FILETIME* lastWriteTime);
VMPLAT_API LSTATUS RegEnumValueW(HKEY key, uint32_t index, WCHAR* name, uint32_t* nameSize,
                                 uint32_t* reserved, uint32_t* type, uint8_t* data, uint32_t* dataSize);
VMPLAT_API LSTATUS RegLoadKeyW(HKEY key, const WCHAR* subKey, const WCHAR* file);
VMPLAT_API LSTATUS RegUnLoadKeyW(HKEY key, const WCHAR* subKey);
VMPLAT_API LSTATUS RegFlushKey(HKEY key);
VMPLAT_API NTSTATUS ZwDeleteKey(HANDLE key);
VMPLAT_API NTSTATUS RtlFormatCurrentUserKeyPath(UNICODE_STRING* path);
VMPLAT_API void RtlFreeUnicodeString(UNICODE_STRING* string);

VMPLAT_API HANDLE GetCurrentProcess(void);
VMPLAT_API BOOL OpenProcessToken(HANDLE process, uint32_t access, HANDLE* token);
VMPLAT_API BOOL LookupPrivilegeValueW(const WCHAR* systemName, const WCHAR* name, LUID* luid);
VMPLAT_API BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState,
                                      uint32_t bufferLength, TOKEN_PRIVILEGES* previousState,
                                      uint32_t* returnLength);
VMPLAT_API BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, uint32_t length,
                                    uint32_t* returnLength);
// Closes a token handle; false (and nothing done) for a handle that is not a token. CloseHandle
// calls it for handles that are not files.
VMPLAT_API BOOL PlatformCloseTokenHandle(HANDLE handle);

// Windows-convention formatting into a buffer of at most 1024 units: %s (UTF-16), %x, %p, %c, %d.
VMPLAT_API int wsprintfW(WCHAR* buffer, const WCHAR* format, ...);

// Per-thread registry redirection (the volume driver's registry request): while set, the calling
// thread's predefined keys resolve to the given keys (HKEY_LOCAL_MACHINE to hklm, HKEY_USERS to hku,
// HKEY_CLASSES_ROOT to hkcr, HKEY_CURRENT_USER to hkcu), and absolute paths under the process
// user's key (userPath) and its classes key (classesPath) resolve to hkcu and hkcr; paths under
// privatePath are never redirected. Null keys stay unredirected. Returns a Win32 status.
VMPLAT_API uint32_t PlatformStartRegistryRedirection(HKEY hklm, HKEY hku, HKEY hkcr, HKEY hkcu,
                                                     const WCHAR* classesPath, const WCHAR* userPath,
                                                     const WCHAR* privatePath);
VMPLAT_API void PlatformStopRegistryRedirection();
}
