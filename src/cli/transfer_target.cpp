#include "cli/transfer_target.h"

#include "cli/errors.h"
#include "cli/paths.h"
#include "cli/text_output.h"

int OpenTransferTarget(Host& host, const std::string& path, bool readOnly, int partition, TransferTarget* target) {
  NTSTATUS status = host.OpenDisk(ToLibraryPath(path), readOnly, &target->disk);
  if (status < 0) return host.FailDisk(path, status);
  target->disk->GetGeometry(nullptr, &target->bytesPerSector, &target->sectors, nullptr, nullptr, nullptr);
  target->diskSectors = target->sectors;
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
  uint8_t type = 0;
  uint64_t lengthBytes = 0;
  target->partition->GetInfo(&type, &lengthBytes, &target->partitionFirst);
  return kExitOk;
}

int CheckOnDisk(const TransferTarget& target, const std::string& path, int partition, uint64_t first, uint64_t count,
                const std::string& what) {
  if (target.OnDisk(first, count)) return kExitOk;
  const uint64_t bps = target.bytesPerSector;
  ReportFailure(path, "partition " + std::to_string(partition) + " (sectors " + std::to_string(target.partitionFirst) +
                          "-" + std::to_string(target.partitionFirst + target.sectors - 1) + ", " +
                          HumanSize(target.sectors * bps) + ") runs past the end of the disk (" +
                          std::to_string(target.diskSectors) + " sectors, " + HumanSize(target.diskSectors * bps) +
                          "); " + what);
  return kExitFailure;
}
