// The human-readable form of what the commands report.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/disk_facts.h"
#include "cli/machine_facts.h"

// "512 B", "24.0 MiB", "1.50 GiB".
std::string HumanSize(uint64_t bytes);
// One "name: value" block per disk, each line starting with indent.
void PrintDisk(const DiskFacts& disk, const std::string& indent);
// The partition table: index, type, start, sectors, size, unique id.
void PrintPartitions(const std::vector<PartitionFacts>& partitions, uint32_t bytesPerSector,
                     const std::string& indent);
void PrintMachine(const std::string& file, const MachineFacts& machine);
