// The --json form of what the commands report.
#pragma once
#include <nlohmann/json.hpp>

#include "cli/disk_facts.h"
#include "cli/machine_facts.h"

using Json = nlohmann::ordered_json;

Json PartitionJson(const PartitionFacts& partition);
// format, bytes_per_sector, sectors, cylinders, heads, sectors_per_track, media_type, read_only,
// saved_state, parent, scheme (when the plug-in reports it), partitions. GPT partitions add
// type_guid and name.
Json DiskJson(const DiskFacts& disk);
// guest_os {code, name}, suspended, disks [{name, path, image | error}].
Json MachineJson(const MachineFacts& machine);
// Writes one JSON document and a line end to standard output.
void PrintJson(const Json& json);
