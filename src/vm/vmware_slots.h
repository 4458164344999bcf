// The device slots of a VMware configuration that can hold a disk, and which of them do: the
// IDE and SCSI slots every configuration has, then the SATA, NVMe and upper SCSI slots of later
// hardware versions.
#pragma once
#include <cstdint>
#include <vector>

#include "vm/cfg_ball.h"

struct VMwareBus {
  const WCHAR* nameFormat;   // "sata%d:%d.filename"
  const WCHAR* typeFormat;   // "sata%d:%d.deviceType"
  const WCHAR* traceFormat;  // the FindDisksEx line naming the slot
  int32_t buses;
  int32_t firstUnit;
  int32_t units;  // one past the last unit
};

// IDE 0:0-1:1 and SCSI 0:0-3:15, probed slot by slot in this order.
extern const VMwareBus kVMwareFixedBuses[2];

struct VMwareSlot {
  const VMwareBus* bus;
  int32_t busNumber;
  int32_t unit;
};

// The slots of SATA 0:0-3:29, NVMe 0:0-3:14 and SCSI 0:16-3:64 whose file name key the store
// holds, in that order and by bus and unit. Found from one pass over the key names; when the
// names cannot be listed (no memory) every such slot is returned.
std::vector<VMwareSlot> VMwareExtraSlots(CfgBall* store);

// Whether a slot with this file name and device type holds a disk image: not the automatic
// CD-ROM, not a CD-ROM or floppy drive under any spelling of its type, not a SCSI passthrough
// device (a host device, never an image file).
bool VMwareSlotHoldsDisk(const WCHAR* fileName, const WCHAR* deviceType);

// Whether `word` occurs in `text`, letters a-z compared without case.
bool ContainsAZ(const WCHAR* text, const WCHAR* word);
