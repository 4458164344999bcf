// The host's subcommands. Each is declared on the command line first and run after the
// plug-in is loaded; a command returns the program's exit status.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}
class Plugin;

// The subcommand that was chosen and how to run it.
struct CommandRunner {
  std::function<int(Plugin& plugin)> run;
};

// Adds the subcommands (info, read, write, partitions, chain) to the application; the chosen
// one fills *runner while its options are parsed.
void AddCommands(CLI::App& app, CommandRunner* runner);

// One per command file.
void AddInfoCommand(CLI::App& app, CommandRunner* runner);
void AddTransferCommands(CLI::App& app, CommandRunner* runner);
void AddPartitionsCommand(CLI::App& app, CommandRunner* runner);
void AddChainCommand(CLI::App& app, CommandRunner* runner);
// Looking inside a guest: files, registry, drives, inspection, FUSE mount.
void AddFileCommands(CLI::App& app, CommandRunner* runner);
void AddRegCommand(CLI::App& app, CommandRunner* runner);
void AddDrivesCommand(CLI::App& app, CommandRunner* runner);
void AddInspectCommand(CLI::App& app, CommandRunner* runner);
void AddFuseCommands(CLI::App& app, CommandRunner* runner);
