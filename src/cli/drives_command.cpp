// vmpeek drives TARGET: every partition of every disk, its filesystem, label, size and the
// drive letter the guest gives it.
#include <cinttypes>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/guest_drives.h"

namespace {

struct DrivesOptions {
  GuestOptions guest;
  bool json = false;
};

int RunDrives(Plugin& plugin, const DrivesOptions& o) {
  Host host(plugin);
  GuestSession session(host, plugin, o.guest);
  if (int rc = session.Open(false, false)) return rc;
  int rc = kExitOk;
  session.LoadRegistryIfAny(&rc);
  if (rc) return rc;
  std::vector<DriveRow> rows;
  if ((rc = CollectDrives(session, &rows))) return rc;
  if (o.json) {
    Json all = Json::array();
    for (const DriveRow& r : rows) all.push_back(DriveJson(r));
    PrintJson(all);
    return kExitOk;
  }
  printf("%-6s %-4s %-9s %-10s %14s  %-24s %s\n", "drive", "disk", "partition", "filesystem", "bytes", "label", "image");
  for (const DriveRow& r : rows) {
    std::string letter = r.volume.letter ? std::string(1, r.volume.letter) + ":" : "-";
    std::string part = r.volume.partition == 255 ? "whole" : std::to_string(r.volume.partition);
    printf("%-6s %-4d %-9s %-10s %14" PRIu64 "  %-24s %s\n", letter.c_str(), r.volume.disk, part.c_str(),
           r.fileSystem.empty() ? "-" : r.fileSystem.c_str(), r.volume.bytes, r.label.empty() ? "-" : r.label.c_str(),
           r.volume.image.c_str());
  }
  return kExitOk;
}

}  // namespace

void AddDrivesCommand(CLI::App& app, CommandRunner* runner) {
  auto o = std::make_shared<DrivesOptions>();
  CLI::App* c = app.add_subcommand("drives", "List every volume of every disk with its filesystem, label, size and "
                                             "the guest's drive letter");
  c->add_option("TARGET", o->guest.target, "Disk image, or a machine configuration (.vmx, .vmc)")->required();
  c->add_flag("--json", o->json, "Print a JSON array");
  c->callback([runner, o] { runner->run = [o](Plugin& plugin) { return RunDrives(plugin, *o); }; });
}
