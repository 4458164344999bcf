#include "cli/json_output.h"

#include <cstdio>

#include "cli/paths.h"
#include "disk/gpt_types.h"
#include "platform/wstr.h"

Json PartitionJson(const PartitionFacts& partition) {
  Json json{{"index", partition.index},
              {"type", partition.type},
              {"first_sector", partition.firstSector},
              {"sectors", partition.sectors},
              {"unique_id", HexId(partition.uniqueId.data(), partition.uniqueId.size())}};
  if (partition.gpt) {
    json["type_guid"] = GuidToText(partition.typeGuid.data());
    json["name"] = Utf16ToUtf8(partition.name.c_str());
  }
  return json;
}

Json DiskJson(const DiskFacts& disk) {
  Json partitions = Json::array();
  for (const PartitionFacts& p : disk.partitions) partitions.push_back(PartitionJson(p));
  return Json{{"format", disk.format},
              {"bytes_per_sector", disk.bytesPerSector},
              {"sectors", disk.sectors},
              {"cylinders", disk.cylinders},
              {"heads", disk.heads},
              {"sectors_per_track", disk.sectorsPerTrack},
              {"media_type", disk.mediaType},
              {"read_only", disk.readOnly},
              {"saved_state", disk.savedState},
              {"parent", disk.parent ? Json(ToPosixPath(*disk.parent)) : Json(nullptr)},
              {"scheme", disk.scheme},
              {"partitions", partitions}};
}

Json MachineJson(const MachineFacts& machine) {
  Json disks = Json::array();
  for (const MachineDisk& d : machine.disks) {
    Json disk{{"name", d.name}, {"path", d.path}};
    if (d.image) disk["image"] = DiskJson(*d.image);
    if (d.error)
      disk["error"] = Json{{"status", d.error->status},
                           {"code", d.error->code},
                           {"cause", d.error->cause.empty() ? Json(nullptr) : Json(d.error->cause)},
                           {"trace", d.error->trace}};
    disks.push_back(disk);
  }
  return Json{{"guest_os", {{"code", machine.guestCode}, {"name", GuestOsName(machine.guestCode)}}},
              {"suspended", machine.suspended},
              {"disks", disks}};
}

void PrintJson(const Json& json) {
  // Names from hostile files may hold invalid UTF-8: replace rather than fail.
  std::string text = json.dump(2, ' ', false, Json::error_handler_t::replace);
  fwrite(text.data(), 1, text.size(), stdout);
  fputc('\n', stdout);
}
