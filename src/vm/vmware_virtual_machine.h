// CVMWareVirtualMachine: a VMware .vmx configuration. Open loads the file into a CfgBall and lists
// the disk files of the IDE and SCSI slots, then of the SATA, NVMe and upper SCSI slots; the
// guest system and the suspended state are looked up in the stored text on every call.
#pragma once
#include "vm/cfg_ball.h"
#include "vm/virtual_machine.h"
#include "vm/vmware_slots.h"
#include "module/object.h"

class CVMWareVirtualMachine final : public CVirtualMachine {
 public:
  explicit CVMWareVirtualMachine(const WCHAR* path) : CVirtualMachine(path) {}

  bool IsSuspended() override;
  vmpeek::GuestOs GetGuestOperatingSystem() override;
  VMPEEK_DESTROY_SLOT(CVMWareVirtualMachine)
  uint32_t Open() override;

  // Accepted file sizes in bytes.
  static constexpr uint32_t kMinSize = 100;
  static constexpr uint32_t kMaxSize = 8192;

 private:
  ~CVMWareVirtualMachine();
  void FindDisks();
  // Probes every slot that can hold a disk; stores names when the array exists. Returns the disks found.
  int32_t FindDisksEx();
  void ProbeSlot(const VMwareSlot& slot, int32_t* found);

  CfgBall* m_Store = nullptr;
};

// The GuestOs code of a "guestOS" identifier (0 when it is not in the table).
vmpeek::GuestOs VMwareGuestOsCode(const WCHAR* identifier);
