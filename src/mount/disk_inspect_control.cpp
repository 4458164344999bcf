#include "mount/disk_inspect_control.h"

#include <cstring>
#include <new>

#include "disk/gpt_table.h"
#include "disk/open_virtual_disk.h"
#include "module/module_lifetime.h"
#include "module/parse_trace.h"
#include "platform/endian.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "vhd/vhd_virtual_disk.h"
#include "vmdk/vmdk_virtual_disk.h"

namespace {

// Disks handed to the host are the library's own (the interface's contract).
VirtualDisk* Own(vmpeek::VirtualDisk* disk) { return static_cast<VirtualDisk*>(disk); }

constexpr uint32_t kNoParentCid = 0xFFFFFFFF;  // a VMDK base disk's parentCID

}  // namespace

CVmDiskInspect::CVmDiskInspect() : m_RefCount(1) { ModuleAddRef(); }

CVmDiskInspect::~CVmDiskInspect() { ModuleRelease(); }

uint32_t CVmDiskInspect::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CVmDiskInspect::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) delete this;
}

NTSTATUS CVmDiskInspect::OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk) {
  return OpenVirtualDiskFor(VirtualDisk::OpenPurpose::WholeDisk, path, readOnly, disk);
}

NTSTATUS CVmDiskInspect::GetContentIds(vmpeek::VirtualDisk* disk, uint8_t id[16], uint8_t parentId[16],
                                       uint32_t* size) {
  if (id != nullptr) memset(id, 0, 16);
  if (parentId != nullptr) memset(parentId, 0, 16);
  if (size != nullptr) *size = 0;
  if (disk == nullptr || id == nullptr || parentId == nullptr || size == nullptr) return STATUS_INVALID_PARAMETER;
  if (auto* vmdk = dynamic_cast<VMDKVirtualDisk*>(Own(disk))) {
    StoreBE32(id, vmdk->CID());  // big-endian: the hex digits read as the descriptor writes them
    if (vmdk->ParentCID() != kNoParentCid || vmdk->Parent() != nullptr) StoreBE32(parentId, vmdk->ParentCID());
    *size = 4;
  } else if (auto* vhd = dynamic_cast<VHDVirtualDisk*>(Own(disk))) {
    vhd->GetUniqueId(id);
    if (const uint8_t* recorded = vhd->ParentUniqueId()) memcpy(parentId, recorded, 16);
    *size = 16;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CVmDiskInspect::GetParent(vmpeek::VirtualDisk* disk, vmpeek::VirtualDisk** parent) {
  if (parent != nullptr) *parent = nullptr;
  if (disk == nullptr || parent == nullptr) return STATUS_INVALID_PARAMETER;
  VirtualDisk* found = nullptr;
  if (auto* vmdk = dynamic_cast<VMDKVirtualDisk*>(Own(disk))) found = vmdk->Parent();
  if (auto* vhd = dynamic_cast<VHDVirtualDisk*>(Own(disk))) found = vhd->Parent();
  if (found != nullptr) found->AddRef();
  *parent = found;
  return STATUS_SUCCESS;
}

vmpeek::PartitionScheme CVmDiskInspect::GetPartitionScheme(vmpeek::VirtualDisk* disk) {
  return DiskGetPartitionScheme(disk == nullptr ? nullptr : Own(disk));
}

NTSTATUS CVmDiskInspect::GetGptEntry(vmpeek::VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]) {
  return DiskGetGptEntry(disk == nullptr ? nullptr : Own(disk), index, typeGuid, name);
}

void* CreateVmDiskInspect(uint32_t* status) {
  CVmDiskInspect* inspect = new (std::nothrow) CVmDiskInspect();
  *status = inspect ? ERROR_SUCCESS : ERROR_OUTOFMEMORY;
  return inspect;
}
