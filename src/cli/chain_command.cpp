// vmpeek chain PATH [--json]: a differencing disk's chain of images, child first, base last.
#include <cinttypes>
#include <memory>
#include <set>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/content_id.h"
#include "cli/disk_facts.h"
#include "cli/errors.h"
#include "cli/host.h"
#include "cli/json_output.h"
#include "cli/paths.h"
#include "cli/text_output.h"

namespace {

// The library refuses chains deeper than this; the host stops there too.
constexpr int kMaxLinks = 33;

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

int RunChain(Host& host, const ChainOptions& options) {
  std::u16string path = ToLibraryPath(options.path);
  std::string shown = options.path;
  std::set<std::string> seen;
  Json links = Json::array();
  for (int depth = 0;; ++depth) {
    std::string posix = ToPosixPath(path);
    if (depth >= kMaxLinks || !seen.insert(posix).second) {
      ReportFailure(shown, depth >= kMaxLinks ? "the chain is deeper than 32 parents" : "the chain reaches this image again");
      return kExitFailure;
    }
    Ref<vmpeek::VirtualDisk> disk;
    NTSTATUS status = host.OpenDisk(path, true, &disk);
    if (status < 0) return host.FailDisk(shown, status);
    Link link;
    link.path = depth == 0 ? options.path : posix;
    link.format = ImageFormatOf(posix);
    uint32_t bytesPerSector = 0;
    uint64_t sectors = 0;
    disk->GetGeometry(nullptr, &bytesPerSector, &sectors, nullptr, nullptr, nullptr);
    link.size = sectors * bytesPerSector;
    link.contentId = ReadContentId(posix, link.format);
    if (options.json) {
      links.push_back(Json{{"path", link.path},
                           {"format", link.format},
                           {"size", link.size},
                           {"content_id", link.contentId ? Json(*link.contentId) : Json(nullptr)}});
    } else {
      PrintLink(link, static_cast<size_t>(depth));
    }
    std::optional<std::u16string> parent = ParentPath(disk.Get());
    if (!parent) break;
    path = *parent;
    shown = ToPosixPath(path);
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
