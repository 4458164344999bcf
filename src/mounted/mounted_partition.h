// CMountedVirtualPartition: one volume mounted through the volume driver, its files, the guest's
// registry loaded into the host's, and redirection of a thread's file and registry access.
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "platform/win_registry.h"
#include "vmpeek/vmpeek.h"

#define MOUNTED_NAME_UNITS 100u  // root name and key-name fields, terminator included

class CMountedVirtualPartition final : public vmpeek::CMountedVirtualPartition {
 public:
  explicit CMountedVirtualPartition(ContentDriver* driver);

  uint32_t AddRef() override;
  void Release() override;
  uint8_t IsReadOnly() override;
  uint8_t HasRegistry() override;
  uint32_t LoadRegistry() override;
  void UnLoadRegistry() override;
  uint8_t StartFileVirtualisation(WCHAR driveLetter) override;
  uint8_t StartRegistryVirtualisation() override;
  uint8_t StopVirtualisation() override;
  WCHAR* GetFullPath(const WCHAR* path) override;
  void FreeString(WCHAR* string) override;
  HANDLE FindFirstFile(const WCHAR* path, WIN32_FIND_DATAW* findData) override;
  uint8_t DeleteFile(const WCHAR* path) override;
  HANDLE CreateFile(const WCHAR* path, uint32_t access, uint32_t shareMode, void* security, uint32_t disposition,
                    uint32_t flagsAndAttributes) override;
  uint8_t MoveFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to, uint8_t toIsFull) override;
  uint8_t CopyFile(const WCHAR* from, uint8_t fromIsFull, const WCHAR* to, uint8_t toIsFull) override;
  HKEY GetRegistryRoot(HKEY predefinedKey) override;
  uint32_t RegCreateKeyEx(HKEY root, const WCHAR* subKey, uint32_t access, HKEY* result,
                          uint32_t* disposition) override;
  uint32_t RegOpenKeyEx(HKEY root, const WCHAR* subKey, uint32_t access, HKEY* result) override;
  uint32_t RegDeleteKey(HKEY root, const WCHAR* subKey) override;
  WCHAR GetDriveLetter(const uint8_t* identity) override;

  // Has the driver mount `path` (called once, by the mount control); a Win32 status.
  uint32_t Mount(const WCHAR* path, uint8_t option1, uint8_t option2);

 private:
  ~CMountedVirtualPartition();

  // Guest registry helpers.
  bool FindWindowsDirectory(WCHAR* buffer, uint32_t size);
  static bool FileExists(const WCHAR* path);
  WCHAR* GetTempRegistryFile(const WCHAR* keyName, const WCHAR* source, uint8_t* logsCopied);
  static bool EnableBackupRestorePrivileges();
  static void MakeSymlink(HKEY parent, const WCHAR* subKey, const WCHAR* target);
  static void DeleteLinkKey(HKEY parent, const WCHAR* subKey);
  WCHAR* JoinRoot(const WCHAR* first, const WCHAR* second);
  void MakeKeyNames();
  static bool GetHKCUName(WCHAR* buffer, uint32_t size);

  volatile uint32_t m_RefCount;
  ContentDriver* m_Driver;
  WCHAR m_RootName[MOUNTED_NAME_UNITS];
  uint64_t m_MountId;
  WCHAR m_SystemKeyName[MOUNTED_NAME_UNITS];
  WCHAR m_SoftwareKeyName[MOUNTED_NAME_UNITS];
  WCHAR m_DefaultKeyName[MOUNTED_NAME_UNITS];
  WCHAR m_RegistryKeyName[MOUNTED_NAME_UNITS];
  WCHAR* m_TempSystemHive;
  WCHAR* m_TempSoftwareHive;
  WCHAR* m_TempDefaultHive;
  HKEY m_RegistryRoot;
  HKEY m_HKLM;
  HKEY m_HKU;
  HKEY m_HKCR;
  HKEY m_HKCU;
  // Which transaction logs were copied beside each temporary hive (bit i: kHiveLogSuffixes[i]),
  // in the order SYSTEM, SOFTWARE, DEFAULT.
  uint8_t m_TempLogs[3];
  uint8_t m_LoadedHives;  // hives this object loaded and has not unloaded yet (bits as above)
  bool m_Mounted;  // the driver mounted the volume: m_MountId is valid and must be unmounted
};
