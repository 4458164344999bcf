// GPT details of an open disk for the host's inspection interface (CVmDiskInspect slots 5 and 6).
// Discovery itself is VirtualDisk::ProcessGPT (gpt_table.cpp), reached from ProcessNormalMBR.
#pragma once
#include "disk/virtual_disk.h"

// The type GUID (bytes as stored) and name (up to 36 units, terminated) of row `index`; both
// outputs are zeroed first. STATUS_NOT_FOUND when the rows do not come from a GPT,
// STATUS_INVALID_PARAMETER for a missing argument or an index past the rows.
NTSTATUS DiskGetGptEntry(VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]);
// The table the disk's rows came from (none for a disk without rows or an ISO image).
vmpeek::PartitionScheme DiskGetPartitionScheme(VirtualDisk* disk);
