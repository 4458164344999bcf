#include "cli/text_output.h"

#include <cinttypes>
#include <cstdio>

#include "cli/partition_types.h"
#include "cli/paths.h"
#include "platform/wstr.h"

std::string HumanSize(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 6) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, value < 10 ? "%.2f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

namespace {

const char* MediaTypeName(uint32_t type) {
  switch (type) {
    case 11: return "removable";
    case 12: return "fixed";
    default: return "other";
  }
}

}  // namespace

void PrintPartitions(const std::vector<PartitionFacts>& partitions, uint32_t bytesPerSector,
                     const std::string& indent) {
  const char* in = indent.c_str();
  const bool gpt = !partitions.empty() && partitions.front().gpt;
  printf("%s%-5s  %-20s  %12s  %12s  %10s  %s\n", in, "index", "type", "first sector", "sectors", "size",
         gpt ? "unique id                         name" : "unique id");
  for (const PartitionFacts& p : partitions) {
    // GPT rows show the type GUID's name (the byte is derived from it); MBR rows the byte.
    char type[48];
    if (p.gpt)
      snprintf(type, sizeof type, "%s", PartitionTypeNameOf(p));
    else
      snprintf(type, sizeof type, "0x%02x %s", p.type, PartitionTypeName(p.type));
    printf("%s%-5u  %-20s  %12" PRIu64 "  %12" PRIu64 "  %10s  %s%s%s\n", in, p.index, type, p.firstSector,
           p.sectors, HumanSize(p.sectors * bytesPerSector).c_str(),
           HexId(p.uniqueId.data(), p.uniqueId.size()).c_str(), p.name.empty() ? "" : "  ",
           Utf16ToUtf8(p.name).c_str());
  }
}

void PrintDisk(const DiskFacts& disk, const std::string& indent) {
  const char* in = indent.c_str();
  printf("%sformat:        %s\n", in, disk.format.c_str());
  printf("%svirtual size:  %s (%" PRIu64 " sectors of %u bytes)\n", in,
         HumanSize(disk.sectors * disk.bytesPerSector).c_str(), disk.sectors, disk.bytesPerSector);
  printf("%sgeometry:      %" PRIu64 " cylinders, %u heads, %u sectors per track\n", in, disk.cylinders,
         disk.heads, disk.sectorsPerTrack);
  printf("%smedia type:    %u (%s)\n", in, disk.mediaType, MediaTypeName(disk.mediaType));
  printf("%sread only:     %s\n", in, disk.readOnly ? "yes" : "no");
  printf("%ssaved state:   %s\n", in, disk.savedState ? "yes (the disk of a suspended machine)" : "no");
  printf("%sparent:        %s\n", in, disk.parent ? ToPosixPath(*disk.parent).c_str() : "none");
  printf("%spartitions:    %zu (%s)\n", in, disk.partitions.size(),
         disk.scheme == "none" ? "no partition table" : disk.scheme.c_str());
  if (!disk.partitions.empty()) PrintPartitions(disk.partitions, disk.bytesPerSector, indent + "  ");
}

void PrintMachine(const std::string& file, const MachineFacts& machine) {
  printf("configuration: %s\n", file.c_str());
  printf("guest os:      %s (%u)\n", GuestOsName(machine.guestCode), machine.guestCode);
  printf("suspended:     %s\n", machine.suspended ? "yes" : "no");
  printf("disks:         %zu\n", machine.disks.size());
  for (size_t i = 0; i < machine.disks.size(); ++i) {
    const MachineDisk& d = machine.disks[i];
    printf("\ndisk %zu:        %s\n", i, d.name.c_str());
    printf("  path:          %s\n", d.path.c_str());
    if (d.image) PrintDisk(*d.image, "  ");
    if (d.error) {
      printf("  error:         %s%s%s (%s)\n", d.error->cause.c_str(), d.error->cause.empty() ? "" : ": ",
             d.error->status.c_str(), d.error->code.c_str());
      for (const std::string& line : d.error->trace) printf("    %s\n", line.c_str());
    }
  }
}
