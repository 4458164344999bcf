#include "cli/commands.h"

#include <CLI/CLI.hpp>

#include "cli/plugin_loader.h"

void AddCommands(CLI::App& app, CommandRunner* runner) {
  // The image commands come here, one small file each:
  //   info PATH           what an image or machine configuration holds
  //   read PATH ...       sectors of a disk or partition
  //   write PATH ...      sectors into a disk or partition
  //   partitions PATH     the partition list
  //   chain PATH          a differencing chain from child to base
  (void)app;
  (void)runner;
}
