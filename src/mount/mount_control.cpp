#include "mount/mount_control.h"

#include <new>

#include "disk/open_virtual_disk.h"
#include "module/module_lifetime.h"
#include "module/trace.h"
#include "mount/driver_link.h"
#include "mounted/mounted_partition.h"
#include "platform/status.h"
#include "platform/sync.h"
#include "vm/open_virtual_machine.h"

CVmMountControl::CVmMountControl() : m_RefCount(1), m_Driver(nullptr) { ModuleAddRef(); }

CVmMountControl::~CVmMountControl() {
  if (m_Driver) {
    m_Driver->Release();
    m_Driver = nullptr;
  }
  ModuleRelease();
}

uint32_t CVmMountControl::AddRef() { return InterlockedIncrement(&m_RefCount); }

void CVmMountControl::Release() {
  if (InterlockedDecrement(&m_RefCount) == 0) delete this;
}

uint32_t CVmMountControl::OpenVirtualMachine(const WCHAR* path, vmpeek::CVirtualMachine** machine) {
  if (machine) *machine = nullptr;
  return ::OpenVirtualMachine(path, machine);
}

NTSTATUS CVmMountControl::OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk) {
  return MountOpenVirtualDisk(path, readOnly, disk);
}

uint32_t CVmMountControl::Mount(const WCHAR* path, uint8_t option1, uint8_t option2,
                                vmpeek::CMountedVirtualPartition** mounted) {
  if (!mounted) {
    Trace(u"CVmMountControl::Mount - no output pointer\n");
    return ERROR_INVALID_PARAMETER;
  }
  uint32_t result = 0;
  // The connection is made on the first mount and kept; a failed one is tried again next time.
  if (!m_Driver) {
    Trace(u"CVmMountControl - need to connect to driver\n");
    result = ConnectDriver(&m_Driver);
  }
  ::CMountedVirtualPartition* partition = nullptr;
  if (m_Driver) {
    partition = new (std::nothrow)::CMountedVirtualPartition(m_Driver);
    if (!partition) {
      result = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      result = partition->Mount(path, option1, option2);
      if (result != 0) {
        partition->Release();
        partition = nullptr;
      }
    }
  }
  *mounted = partition;
  return result;
}

uint32_t CVmMountControl::Init() { return ERROR_SUCCESS; }

void* CreateVmMountControl(uint32_t* status) {
  *status = ERROR_OUTOFMEMORY;
  CVmMountControl* control = new (std::nothrow) CVmMountControl();
  if (!control) return nullptr;
  *status = control->Init();
  if (*status != 0) {
    Trace(u"CVmMountControl::Init returned error %d\n", static_cast<int32_t>(*status));
    control->Release();
    return nullptr;
  }
  return control;
}
