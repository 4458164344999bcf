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
