// vmpeek: the host program. Loads libvmpeek.so, obtains its mount control and runs one command.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/plugin_loader.h"

#ifndef VMPEEK_VERSION
#define VMPEEK_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
  CLI::App app{"vmpeek: looks inside powered-off and suspended virtual machines and their disk images"};
  app.name("vmpeek");
  app.footer("Exit status: 0 success, 1 the image or configuration failed, 2 usage error.\n"
             "Run vmpeek COMMAND --help for a command's options.");
  bool version = false;
  std::string trace;
  app.add_flag("--version", version, "Print the version and load the plug-in");
  app.add_option("--trace", trace,
                 "Write trace lines of these channels to standard error (comma-separated names, "
                 "or all); VEXLOG_FILE names a file instead");
  CommandRunner runner;
  AddCommands(app, &runner);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help prints and succeeds; every other parse failure is a usage error.
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }

  if (!version && !runner.run) {
    fputs(app.help().c_str(), stderr);
    return kExitUsage;
  }
  // The trace library reads its configuration when the plug-in opens it.
  if (!trace.empty()) setenv("VEXLOG", trace.c_str(), 1);
  SetTraceGiven(!trace.empty());

  Plugin plugin;
  std::string error;
  bool loaded = plugin.Load(&error);
  if (version) {
    printf("vmpeek %s\n", VMPEEK_VERSION);
    if (loaded) printf("plug-in %s\n", plugin.Path().c_str());
  }
  if (!loaded) {
    fprintf(stderr, "vmpeek: %s\n", error.c_str());
    return kExitFailure;
  }
  int status = runner.run ? runner.run(plugin) : kExitOk;
  fflush(stdout);
  plugin.Unload();
  return status;
}
