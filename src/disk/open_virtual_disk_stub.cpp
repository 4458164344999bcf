// Placeholder until the disk image factory lands.
#include "disk/open_virtual_disk.h"
NTSTATUS MountOpenVirtualDisk(const WCHAR*, uint8_t, vmpeek::VirtualDisk** disk) {
  if (disk) *disk = nullptr;
  return STATUS_UNSUCCESSFUL;
}
