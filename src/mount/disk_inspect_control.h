// CVmDiskInspect: the object the host receives for "VmPeek_Disk_Inspect_1", the library's own
// second interface (docs/disk-inspect.md). Like CVmMountControl it holds the module while alive.
#pragma once
#include <cstdint>
#include "vmpeek/vmpeek.h"

class CVmDiskInspect final : public vmpeek::CVmDiskInspect {
 public:
  CVmDiskInspect();

  uint32_t AddRef() override;
  void Release() override;
  NTSTATUS OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk) override;
  NTSTATUS GetContentIds(vmpeek::VirtualDisk* disk, uint8_t id[16], uint8_t parentId[16], uint32_t* size) override;
  NTSTATUS GetParent(vmpeek::VirtualDisk* disk, vmpeek::VirtualDisk** parent) override;
  vmpeek::PartitionScheme GetPartitionScheme(vmpeek::VirtualDisk* disk) override;
  NTSTATUS GetGptEntry(vmpeek::VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]) override;

 private:
  ~CVmDiskInspect();

  volatile uint32_t m_RefCount;
};

// The InterfaceFactory of "VmPeek_Disk_Inspect_1": 0 and a new object, or 14 when out of memory.
void* CreateVmDiskInspect(uint32_t* status);
