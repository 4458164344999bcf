#include "cli/disk_facts.h"

#include <vector>

#include "cli/object_ref.h"
#include "cli/partition_types.h"
#include "cli/paths.h"
#include "platform/status.h"

std::optional<std::u16string> ParentPath(vmpeek::VirtualDisk* disk) {
  uint64_t size = 0;
  if (disk->GetParentFileName(nullptr, &size) != STATUS_BUFFER_TOO_SMALL || size == 0 || size > 65536)
    return std::nullopt;
  std::vector<WCHAR> buffer(size);
  if (disk->GetParentFileName(buffer.data(), &size) < 0) return std::nullopt;
  buffer.back() = 0;
  return std::u16string(buffer.data());
}

PartitionFacts CollectPartitionFacts(vmpeek::VirtualPartition* partition, unsigned index) {
  PartitionFacts row;
  row.index = index;
  uint64_t lengthBytes = 0;
  partition->GetInfo(&row.type, &lengthBytes, &row.firstSector);
  // GetInfo counts 512-byte units whatever the sector size; the geometry has the true count.
  partition->GetGeometry(nullptr, nullptr, &row.sectors, nullptr, nullptr, nullptr);
  partition->GetUniqueId(row.uniqueId.data());
  return row;
}

namespace {

const char* SchemeName(vmpeek::PartitionScheme scheme) {
  switch (scheme) {
    case vmpeek::PartitionSchemeNone: return "none";
    case vmpeek::PartitionSchemeMbr: return "mbr";
    case vmpeek::PartitionSchemeLdm: return "ldm";
    case vmpeek::PartitionSchemeGpt: return "gpt";
  }
  return "unknown";
}

void CollectGptFacts(vmpeek::CVmDiskInspect* inspect, vmpeek::VirtualDisk* disk, DiskFacts* facts) {
  facts->scheme = SchemeName(inspect->GetPartitionScheme(disk));
  if (facts->scheme != "gpt") return;
  for (PartitionFacts& row : facts->partitions) {
    WCHAR name[37] = {};
    if (inspect->GetGptEntry(disk, static_cast<uint8_t>(row.index), row.typeGuid.data(), name) < 0) continue;
    name[36] = 0;
    row.gpt = true;
    row.name = name;
  }
}

}  // namespace

const char* PartitionTypeNameOf(const PartitionFacts& partition) {
  return partition.gpt ? GptTypeName(partition.typeGuid.data()) : PartitionTypeName(partition.type);
}

NTSTATUS CollectDiskFacts(vmpeek::VirtualDisk* disk, const std::string& fileName, DiskFacts* facts,
                          vmpeek::CVmDiskInspect* inspect) {
  facts->format = ImageFormatOf(fileName);
  disk->GetGeometry(&facts->mediaType, &facts->bytesPerSector, &facts->sectors, &facts->cylinders,
                    &facts->heads, &facts->sectorsPerTrack);
  facts->readOnly = disk->IsReadOnly() != 0;
  facts->savedState = disk->IsSavedState() != 0;
  facts->parent = ParentPath(disk);
  unsigned count = disk->GetPartitionCount();
  for (unsigned i = 0; i < count; ++i) {
    Ref<vmpeek::VirtualPartition> partition;
    NTSTATUS status = disk->GetPartition(static_cast<uint8_t>(i), partition.Out());
    if (status < 0) return status;
    facts->partitions.push_back(CollectPartitionFacts(partition.Get(), i));
  }
  CollectGptFacts(inspect, disk, facts);
  return STATUS_SUCCESS;
}

std::string HexId(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}
