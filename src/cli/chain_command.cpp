// vmpeek chain PATH [--json]: a differencing disk's chain of images, child first, base last.
#include <cinttypes>
#include <memory>
#include <optional>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/disk_facts.h"
#include "cli/errors.h"
#include "cli/host.h"
#include "cli/json_output.h"
#include "cli/paths.h"
#include "cli/text_output.h"

namespace {

struct ChainOptions {
  std::string path;
  bool json = false;
};

struct Link {
  std::string path;
  std::string format;
  uint64_t size = 0;
  std::optional<std::string> contentId;
};

void PrintLink(const Link& link, size_t depth) {
  if (depth == 0) printf("%-5s  %-6s  %10s  %-32s  %s\n", "link", "format", "size", "content id", "path");
  printf("%-5zu  %-6s  %10s  %-32s  %s\n", depth, link.format.c_str(), HumanSize(link.size).c_str(),
         link.contentId ? link.contentId->c_str() : "-", link.path.c_str());
  fflush(stdout);
}

// The library opened the whole chain with the child (and refused loops and chains too deep);
// each parent is taken from the disk below it, never reopened on its own.
int RunChain(Host& host, const ChainOptions& options) {
  Ref<vmpeek::VirtualDisk> disk;
  NTSTATUS status = host.OpenDisk(ToLibraryPath(options.path), true, &disk);
  if (status < 0) return host.FailDisk(options.path, status);
  Json links = Json::array();
  for (size_t depth = 0; disk; ++depth) {
    Link link;
    const std::string posix = ToPosixPath(disk->GetFileName());
    link.path = depth == 0 ? options.path : posix;
    link.format = ImageFormatOf(posix);
    uint32_t bytesPerSector = 0;
    uint64_t sectors = 0;
    disk->GetGeometry(nullptr, &bytesPerSector, &sectors, nullptr, nullptr, nullptr);
    link.size = sectors * bytesPerSector;
    link.contentId = host.ContentId(disk.Get());
    if (options.json) {
      links.push_back(Json{{"path", link.path},
                           {"format", link.format},
                           {"size", link.size},
                           {"content_id", link.contentId ? Json(*link.contentId) : Json(nullptr)}});
    } else {
      PrintLink(link, depth);
    }
    disk = host.Parent(disk.Get());
  }
  if (options.json) PrintJson(Json{{"chain", links}});
  return kExitOk;
}

}  // namespace

void AddChainCommand(CLI::App& app, CommandRunner* runner) {
  auto options = std::make_shared<ChainOptions>();
  CLI::App* command = app.add_subcommand(
      "chain", "Show the parent chain of a differencing disk, one line per image from the child to "
               "the base: format, size, content identifier and path");
  command->add_option("PATH", options->path, "Disk image file")->required();
  command->add_flag("--json", options->json, "Print one JSON object instead of a table");
  command->callback([runner, options] {
    runner->run = [options](Plugin& plugin) {
      Host host(plugin);
      return RunChain(host, *options);
    };
  });
}
