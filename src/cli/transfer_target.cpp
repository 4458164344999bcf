#include "cli/transfer_target.h"

#include "cli/errors.h"
#include "cli/paths.h"

int OpenTransferTarget(Host& host, const std::string& path, bool readOnly, int partition, TransferTarget* target) {
  NTSTATUS status = host.OpenDisk(ToLibraryPath(path), readOnly, &target->disk);
  if (status < 0) return host.FailDisk(path, status);
  target->disk->GetGeometry(nullptr, &target->bytesPerSector, &target->sectors, nullptr, nullptr, nullptr);
  if (partition < 0) return kExitOk;
  unsigned count = target->disk->GetPartitionCount();
  if (static_cast<unsigned>(partition) >= count) {
    ReportMessage(path + ": no partition " + std::to_string(partition) + " (the disk has " + std::to_string(count) +
                  ", numbered from 0; see vmpeek partitions)");
    return kExitUsage;
  }
  host.ClearTrace();
  status = target->disk->GetPartition(static_cast<uint8_t>(partition), target->partition.Out());
  if (status < 0) return host.FailDisk(path, status, "partition " + std::to_string(partition));
  target->partition->GetGeometry(nullptr, nullptr, &target->sectors, nullptr, nullptr, nullptr);
  return kExitOk;
}
