// The drive letter a guest gave a partition, from the MountedDevices key of its SYSTEM hive.
#include <cstdlib>
#include <cstring>

#include "mounted/mounted_partition.h"
#include "platform/wstr.h"

namespace {

constexpr size_t kPrefixUnits = 12;  // "\DosDevices\"

// MountedDevices data naming a partition: 12 bytes (disk signature and offset) compared with
// identity bytes 0-11, or 24 bytes whose bytes 8-23 are the 16-byte identity.
bool DataNamesPartition(const uint8_t* data, uint32_t size, const uint8_t* identity) {
  if (size == 12) return memcmp(data, identity, 12) == 0;
  if (size == 24) return memcmp(data + 8, identity, 16) == 0;
  return false;
}

}  // namespace

WCHAR CMountedVirtualPartition::GetDriveLetter(const uint8_t* identity) {
  if (!identity) return 0;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SYSTEM\\MountedDevices", KEY_READ, &key) != 0) return 0;
  uint32_t longestName = 0, longestData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                       &longestData, nullptr, nullptr) != 0) {
    RegCloseKey(key);
    return 0;
  }
  auto* name = static_cast<WCHAR*>(malloc((static_cast<size_t>(longestName) + 1) * sizeof(WCHAR)));
  auto* data = static_cast<uint8_t*>(malloc(longestData ? longestData : 1));
  WCHAR letter = 0;
  for (uint32_t index = 0; name && data; ++index) {
    uint32_t nameSize = longestName + 1, dataSize = longestData, type = 0;
    if (RegEnumValueW(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != 0) break;
    if (type == REG_BINARY && nameSize >= kPrefixUnits && WStrNICmpAZ(name, u"\\DosDevices\\", kPrefixUnits) == 0 &&
        dataSize <= longestData && DataNamesPartition(data, dataSize, identity)) {
      letter = name[kPrefixUnits];
      break;
    }
  }
  free(name);
  free(data);
  RegCloseKey(key);
  return letter;
}
