// Per-disk facts the host interface's objects do not give, for the disk inspection interface.
#pragma once
#include <cstdint>

#include "disk/virtual_disk.h"

// The GPT details of partition `index` (as GetPartition counts): its type GUID (16 bytes, Windows
// byte order) and its name (up to 36 UTF-16 units and a terminator). STATUS_NOT_FOUND when the
// disk's partitions do not come from a GPT (today: always, until GPT discovery fills it in).
NTSTATUS DiskGetGptEntry(VirtualDisk* disk, uint8_t index, uint8_t typeGuid[16], WCHAR name[37]);
