#include "disk/disk_inspect.h"

#include <cstring>

NTSTATUS DiskGetGptEntry(VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]) {
  if (typeGuid != nullptr) memset(typeGuid, 0, 16);
  if (name != nullptr) name[0] = 0;
  if (disk == nullptr || typeGuid == nullptr || name == nullptr) return STATUS_INVALID_PARAMETER;
  return STATUS_NOT_FOUND;  // no GPT entries are kept yet
}
