// vmpeek info PATH [--json]: what a disk image or a machine configuration holds.
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/host.h"
#include "cli/json_output.h"
#include "cli/paths.h"
#include "cli/text_output.h"

namespace {

struct InfoOptions {
  std::string path;
  bool json = false;
};

int InfoMachine(Host& host, const InfoOptions& options) {
  std::u16string configPath = ToLibraryPath(options.path);
  Ref<vmpeek::CVirtualMachine> machine;
  uint32_t status = host.OpenMachine(configPath, &machine);
  if (status != 0) {
    ReportFailure(options.path, MachineStatusText(status), host.ErrorLines(options.path));
    return kExitFailure;
  }
  MachineFacts facts;
  CollectMachineFacts(host, machine.Get(), configPath, &facts);
  if (options.json)
    PrintJson(MachineJson(facts));
  else
    PrintMachine(options.path, facts);
  // The machine was described; a disk that did not open still makes the run a failure, said
  // once on standard error (each disk's error is in the report).
  size_t failed = 0;
  for (const MachineDisk& disk : facts.disks) failed += disk.error ? 1 : 0;
  if (failed == 0) return kExitOk;
  fflush(stdout);
  ReportMessage(options.path + ": " + std::to_string(failed) + " of " + std::to_string(facts.disks.size()) +
                (facts.disks.size() == 1 ? " disk" : " disks") + " could not be opened");
  return kExitFailure;
}

int InfoDisk(Host& host, const InfoOptions& options) {
  Ref<vmpeek::VirtualDisk> disk;
  NTSTATUS status = host.OpenDisk(ToLibraryPath(options.path), true, &disk);
  if (status < 0) return host.FailDisk(options.path, status);
  DiskFacts facts;
  status = CollectDiskFacts(disk.Get(), options.path, &facts, host.Inspect());
  if (status < 0) return host.FailDisk(options.path, status, "reading the partition table");
  if (options.json) {
    PrintJson(DiskJson(facts));
  } else {
    printf("image:         %s\n", options.path.c_str());
    PrintDisk(facts, "");
  }
  return kExitOk;
}

}  // namespace

void AddInfoCommand(CLI::App& app, CommandRunner* runner) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      "info", "Describe a disk image (.vmdk, .vhd, .vud, .iso, .img) or a machine configuration "
              "(.vmx, .vmc) and the disks it names");
  command->add_option("PATH", options->path, "Image or configuration file")->required();
  command->add_flag("--json", options->json, "Print one JSON object instead of a table");
  command->callback([runner, options] {
    runner->run = [options](Plugin& plugin) {
      Host host(plugin);
      return IsMachinePath(options->path) ? InfoMachine(host, *options) : InfoDisk(host, *options);
    };
  });
}
