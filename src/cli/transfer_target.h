// The disk or single partition a read or write works on, opened through the host.
#pragma once
#include <cstdint>
#include <string>

#include "cli/host.h"

struct TransferTarget {
  Ref<vmpeek::VirtualDisk> disk;
  Ref<vmpeek::VirtualPartition> partition;  // set when --partition was given
  uint32_t bytesPerSector = 0;
  uint64_t sectors = 0;  // of the partition when there is one
  uint64_t diskSectors = 0;
  uint64_t partitionFirst = 0;  // the partition's first sector on the disk

  // Whether sectors first .. first+count-1 (of the target) lie on the disk: a partition row may
  // run past the disk's end (a GPT disk's protective entry, a truncated image).
  bool OnDisk(uint64_t first, uint64_t count) const {
    const uint64_t start = partitionFirst + first;
    return start >= partitionFirst && start <= diskSectors && count <= diskSectors - start;
  }

  NTSTATUS Read(uint64_t first, uint32_t count, void* buffer) {
    return partition ? partition->Read(first, count, buffer) : disk->Read(first, count, buffer);
  }
  NTSTATUS Write(uint64_t first, uint32_t count, const void* buffer) {
    return partition ? partition->Write(first, count, buffer) : disk->Write(first, count, buffer);
  }
};

// Opens the image (read-only or read-write) and, for partition >= 0, that partition. Returns
// kExitOk, or the exit status after reporting the failure.
int OpenTransferTarget(Host& host, const std::string& path, bool readOnly, int partition, TransferTarget* target);
// Unless the range lies on the disk, reports that the partition runs past the disk's end (both
// sizes) and returns the failure exit status; otherwise kExitOk. `what` ends the message.
int CheckOnDisk(const TransferTarget& target, const std::string& path, int partition, uint64_t first, uint64_t count,
                const std::string& what);
