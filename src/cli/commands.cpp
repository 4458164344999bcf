#include "cli/commands.h"

#include <CLI/CLI.hpp>

void AddCommands(CLI::App& app, CommandRunner* runner) {
  AddInfoCommand(app, runner);
  AddPartitionsCommand(app, runner);
  AddChainCommand(app, runner);
  AddTransferCommands(app, runner);  // read, write
  AddFileCommands(app, runner);      // ls, cat, get, put, rm, mkdir, mv
  AddRegCommand(app, runner);
  AddDrivesCommand(app, runner);
  AddInspectCommand(app, runner);
  AddFuseCommands(app, runner);      // mount, umount
  app.require_subcommand(0, 1);
}
