// vmpeek partitions PATH [--json]: the partition table of a disk image.
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/host.h"
#include "cli/json_output.h"
#include "cli/paths.h"
#include "cli/text_output.h"

namespace {

struct PartitionsOptions {
  std::string path;
  bool json = false;
};

int RunPartitions(Host& host, const PartitionsOptions& options) {
  Ref<vmpeek::VirtualDisk> disk;
  NTSTATUS status = host.OpenDisk(ToLibraryPath(options.path), true, &disk);
  if (status < 0) return host.FailDisk(options.path, status);
  DiskFacts facts;
  status = CollectDiskFacts(disk.Get(), options.path, &facts, host.Inspect());
  if (status < 0) return host.FailDisk(options.path, status, "reading the partition table");
  if (!options.json) {
    PrintPartitions(facts.partitions, facts.bytesPerSector, "");
    return kExitOk;
  }
  Json rows = Json::array();
  for (const PartitionFacts& p : facts.partitions) {
    Json row = PartitionJson(p);
    row["type_name"] = PartitionTypeNameOf(p);
    row["size"] = p.sectors * facts.bytesPerSector;
    rows.push_back(row);
  }
  PrintJson(Json{{"bytes_per_sector", facts.bytesPerSector}, {"scheme", facts.scheme}, {"partitions", rows}});
  return kExitOk;
}

}  // namespace

void AddPartitionsCommand(CLI::App& app, CommandRunner* runner) {
  auto options = std::make_shared<PartitionsOptions>();
  CLI::App* command = app.add_subcommand(
      "partitions", "List the partitions of a disk image (MBR, extended, LDM and GPT): index, type, "
                    "start, size, unique id and, on GPT disks, the partition's name");
  command->add_option("PATH", options->path, "Disk image file")->required();
  command->add_flag("--json", options->json, "Print one JSON object instead of a table");
  command->callback([runner, options] {
    runner->run = [options](Plugin& plugin) {
      Host host(plugin);
      return RunPartitions(host, *options);
    };
  });
}
