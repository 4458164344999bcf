#include "cli/commands.h"

#include <CLI/CLI.hpp>

void AddCommands(CLI::App& app, CommandRunner* runner) {
  AddInfoCommand(app, runner);
  AddPartitionsCommand(app, runner);
  AddChainCommand(app, runner);
  AddTransferCommands(app, runner);  // read, write
  app.require_subcommand(0, 1);
}
