#include "mount/mount_control.h"

#include <new>

#include "disk/open_virtual_disk.h"
#include "module/module_lifetime.h"
#include "module/trace.h"
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
  if (mounted) *mounted = nullptr;
  // The volume driver and its link library do not exist on this platform: the connection that
  // the first mount would make always fails as a missing library.
  Trace(u"CVmMountControl - need to connect to driver\n");
  Trace(u"QuillLoadCreate returned error %d\n", static_cast<int32_t>(ERROR_FILE_NOT_FOUND));
  return ERROR_FILE_NOT_FOUND;
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
