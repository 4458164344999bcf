// Redirecting the calling thread's file and registry access into the mounted guest: the records
// sent to the volume driver.
#include <cstdlib>

#include "module/trace.h"
#include "mount/driver_link.h"
#include "mounted/mounted_partition.h"
#include "platform/endian.h"
#include "platform/loader.h"
#include "platform/wstr.h"

namespace {

constexpr uint32_t kNameUnits = 256;

// Stores a UTF-16 string and its terminator little-endian at p; returns the bytes written.
size_t PutString(uint8_t* p, const WCHAR* s) {
  const size_t units = WStrLen(s);
  for (size_t i = 0; i < units; ++i) StoreLE16(p + 2 * i, s[i]);
  StoreLE16(p + 2 * units, 0);
  return 2 * (units + 1);
}

}  // namespace

uint8_t CMountedVirtualPartition::StartFileVirtualisation(WCHAR driveLetter) {
  WCHAR drive[1024];
  wsprintfW(drive, u"%c:", driveLetter);
  WCHAR device[kNameUnits] = {};
  if (QueryDosDeviceW(drive, device, kNameUnits) == 0) {
    Trace(u"QueryDosDevice(%s) failed with error %d\n", drive, static_cast<int32_t>(GetLastError()));
    return 0;
  }
  device[kNameUnits - 1] = 0;
  const size_t size = 2 * WStrLen(device) + 18;
  auto* request = static_cast<uint8_t*>(calloc(size, 1));
  if (!request) return 0;
  StoreLE64(request, m_MountId);
  PutString(request + 8, device);  // the last 8 bytes stay zero
  const uint32_t status =
      DriverIoCtl(m_Driver, VMMount_IoCtl_StartFileVirtualisation, request, size, nullptr, 0, nullptr);
  free(request);
  return status == 0;
}

bool CMountedVirtualPartition::GetHKCUName(WCHAR* buffer, uint32_t size) {
  UNICODE_STRING path{};
  if (size == 0 || !NT_SUCCESS(RtlFormatCurrentUserKeyPath(&path))) return false;
  size_t units = path.Length / sizeof(WCHAR);
  if (units > size - 1) units = size - 1;
  for (size_t i = 0; i < units; ++i) buffer[i] = path.Buffer ? path.Buffer[i] : 0;
  buffer[units] = 0;
  RtlFreeUnicodeString(&path);
  return true;
}

uint8_t CMountedVirtualPartition::StartRegistryVirtualisation() {
  WCHAR user[kNameUnits];
  if (!GetHKCUName(user, kNameUnits)) {
    Trace(u"StartRegistryVirtualisation failing because GetHKCUName failed\n");
    return 0;
  }
  WCHAR classes[kNameUnits], privateKey[kNameUnits];
  WStrCopy(classes, kNameUnits, user);
  WStrAppend(classes, kNameUnits, u"_classes");
  WStrCopy(privateKey, kNameUnits, u"\\Registry\\Machine\\");
  WStrAppend(privateKey, kNameUnits, u"SOFTWARE\\Brenmoor\\Tamsel\\");
  WStrAppend(privateKey, kNameUnits, m_RegistryKeyName);

  const size_t size = 2 * (WStrLen(classes) + WStrLen(user) + WStrLen(privateKey)) + 46;
  auto* request = static_cast<uint8_t*>(calloc(size, 1));
  if (!request) return 0;
  const HKEY keys[4] = {m_HKLM, m_HKU, m_HKCR, m_HKCU};
  for (int i = 0; i < 4; ++i) StoreLE64(request + 8 * i, reinterpret_cast<uintptr_t>(keys[i]));
  size_t at = 32;
  at += PutString(request + at, classes);
  at += PutString(request + at, user);
  PutString(request + at, privateKey);  // the last 8 bytes stay zero
  const uint32_t status =
      DriverIoCtl(m_Driver, VMMount_IoCtl_StartRegVirtualisation, request, size, nullptr, 0, nullptr);
  free(request);
  return status == 0;
}

uint8_t CMountedVirtualPartition::StopVirtualisation() {
  if (m_Driver) DriverIoCtl(m_Driver, VMMount_IoCtl_StopVirtualisation, nullptr, 0, nullptr, 0, nullptr);
  return 1;
}
