// libntfs-3g's device operations over a BlockDevice: the library sees the partition only, so
// nothing it reads or writes can lie outside it.
#pragma once
#include "quilldrv/block_device.h"
#include "quilldrv/ntfs_includes.h"

struct NtfsDeviceState {
  BlockDevice* device = nullptr;
  bool writable = false;    // writes reach the device only on a writable mount
  bool failed = false;      // the storage refused a transfer since the flag was last cleared
  int64_t position = 0;
};

// A device (name is only for the library's messages) the caller frees with ntfs_device_free
// when a mount fails; ntfs_umount frees it otherwise. state must outlive it.
struct ntfs_device* NewNtfsDevice(NtfsDeviceState* state);
// Sends libntfs-3g's error messages to the trace channel (once per process).
void RouteNtfsLogging();
