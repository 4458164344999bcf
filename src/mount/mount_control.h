// CVmMountControl: the object the host receives for "VM_Mount_Control_1".
#pragma once
#include <cstdint>
#include "mount/content_driver.h"
#include "vmpeek/vmpeek.h"

class CVmMountControl final : public vmpeek::CVmMountControl {
 public:
  CVmMountControl();

  uint32_t AddRef() override;
  void Release() override;
  uint32_t OpenVirtualMachine(const WCHAR* path, vmpeek::CVirtualMachine** machine) override;
  NTSTATUS OpenVirtualDisk(const WCHAR* path, uint8_t readOnly, vmpeek::VirtualDisk** disk) override;
  uint32_t Mount(const WCHAR* path, uint8_t option1, uint8_t option2,
                 vmpeek::CMountedVirtualPartition** mounted) override;

  // Nothing to prepare; 0.
  uint32_t Init();

 private:
  ~CVmMountControl();

  volatile uint32_t m_RefCount;
  ContentDriver* m_Driver;  // null until the first Mount connects
};

// The InterfaceFactory of "VM_Mount_Control_1": 0 and a new object, 14 when out of memory, or
// Init's status.
void* CreateVmMountControl(uint32_t* status);
