// vmpeek ls / cat / get / put / rm / mkdir / mv: files inside a guest volume.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/guest_files.h"
#include "cli/guest_path.h"
#include "cli/guest_session.h"
#include "cli/json_output.h"
#include "platform/loader.h"
#include "platform/wstr.h"

namespace {

struct FileOptions {
  GuestOptions guest;
  std::string path, path2;
  bool long_ = false, recursive = false, json = false, parents = false;
};

// A guest path given with a drive letter ("C:\Windows") picks that drive unless a volume was
// chosen already.
std::u16string GuestPathOf(FileOptions& o, const std::string& text) {
  std::string rest;
  char letter = GuestPathDrive(text, &rest);
  if (letter && o.guest.partition.empty() && o.guest.drive.empty()) o.guest.drive = std::string(1, letter);
  return NormalizeGuestPath(rest);
}

std::string Shown(const std::u16string& guestPath) { return Utf16ToUtf8(guestPath); }

// Runs a command on a mounted session. guestArgs: which of PATH (1) and the second argument (2)
// are guest paths; they are parsed before mounting, since a drive letter in them picks the volume.
template <class F>
void Register(CLI::App* command, CommandRunner* runner, std::shared_ptr<FileOptions> o, bool writable,
              unsigned guestArgs, F body) {
  command->callback([runner, o, writable, guestArgs, body] {
    runner->run = [o, writable, guestArgs, body](Plugin& plugin) {
      Host host(plugin);
      std::u16string a = (guestArgs & 1) ? GuestPathOf(*o, o->path.empty() ? "\\" : o->path) : u"";
      std::u16string b = (guestArgs & 2) ? GuestPathOf(*o, o->path2) : u"";
      GuestSession session(host, plugin, o->guest);
      if (int rc = session.Open(writable, false); rc != kExitOk) return rc;
      return body(session, *o, a, b);
    };
  });
}

void PrintEntry(const GuestEntry& e, const FileOptions& o, const std::u16string& base) {
  std::string shown = Utf16ToUtf8(o.recursive ? e.path.substr(base == u"\\" ? 1 : base.size() + 1) : e.name);
  if (!o.long_) {
    printf("%s\n", shown.c_str());
    return;
  }
  std::string attrs;
  for (const std::string& a : AttributeNames(e.attributes))
    if (a != "directory" && a != "normal") attrs += (attrs.empty() ? "" : ",") + a;
  printf("%-9s %14" PRIu64 "  %-20s  %-24s %s\n", e.IsDirectory() ? "directory" : "file", e.size,
         FileTimeText(e.modified).c_str(), attrs.empty() ? "-" : attrs.c_str(), shown.c_str());
}

int RunLs(GuestSession& s, const FileOptions& o, const std::u16string& path, const std::u16string&) {
  GuestEntry top;
  if (uint32_t st = StatGuest(s.FullPath(path), path, &top); st != 0 && path != u"\\") return s.Fail(Shown(path), st);
  if (path == u"\\") top.attributes |= FILE_ATTRIBUTE_DIRECTORY;
  Json all = Json::array();
  auto emit = [&](const GuestEntry& e) {
    if (o.json)
      all.push_back(EntryJson(e));
    else
      PrintEntry(e, o, path);
  };
  if (!top.IsDirectory()) {
    emit(top);
  } else {
    // Breadth by folder, depth-first: each folder's entries, then its subfolders in that order.
    std::vector<std::u16string> pending{path};
    while (!pending.empty()) {
      std::u16string dir = pending.back();
      pending.pop_back();
      std::vector<std::u16string> subdirs;
      uint32_t st = ListGuestDirectory(s.FullPath(dir), dir, [&](const GuestEntry& e) {
        emit(e);
        if (o.recursive && e.IsDirectory() && !(e.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) subdirs.push_back(e.path);
      });
      if (st != 0) return s.Fail("listing " + Shown(dir), st);
      pending.insert(pending.end(), subdirs.rbegin(), subdirs.rend());
    }
  }
  if (o.json) PrintJson(all);
  return kExitOk;
}

int RunCat(GuestSession& s, const FileOptions&, const std::u16string& path, const std::u16string&) {
  bool hostSide = false;
  uint32_t st = CopyGuestToFd(s.FullPath(path), STDOUT_FILENO, 0, &hostSide);
  if (hostSide) {
    ReportMessage(std::string("standard output: ") + strerror(errno));
    return kExitFailure;
  }
  return st ? s.Fail("reading " + Shown(path), st) : kExitOk;
}

// Copies a guest file or (recursive) folder into the host folder descriptor dirFd as `name`.
int GetInto(GuestSession& s, const GuestEntry& e, int dirFd, const std::string& name, const std::string& hostShown,
            bool recursive) {
  if (e.IsDirectory()) {
    if (!recursive) {
      ReportMessage(Shown(e.path) + " is a folder: give --recursive to copy it");
      return kExitUsage;
    }
    if (mkdirat(dirFd, name.c_str(), 0777) != 0 && errno != EEXIST) {
      ReportMessage(hostShown + ": " + strerror(errno));
      return kExitFailure;
    }
    int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      ReportMessage(hostShown + ": " + strerror(errno));
      return kExitFailure;
    }
    std::vector<GuestEntry> children;
    uint32_t st = ListGuestDirectory(s.FullPath(e.path), e.path, [&](const GuestEntry& c) { children.push_back(c); });
    int rc = st ? s.Fail("listing " + Shown(e.path), st) : kExitOk;
    for (const GuestEntry& c : children) {
      if (rc != kExitOk) break;
      if (!SafeHostName(c.name)) {
        fprintf(stderr, "vmpeek: skipping %s: its name cannot be a host file name\n", Shown(c.path).c_str());
        continue;
      }
      std::string childName = Utf16ToUtf8(c.name);
      rc = GetInto(s, c, sub, childName, hostShown + "/" + childName, true);
    }
    close(sub);
    return rc;
  }
  int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    ReportMessage(hostShown + ": " + strerror(errno));
    return kExitFailure;
  }
  bool hostSide = false;
  uint32_t st = CopyGuestToFd(s.FullPath(e.path), fd, e.size, &hostSide);
  int saved = errno;
  if (close(fd) != 0 && st == 0) {
    hostSide = true;
    saved = errno;
    st = 1;
  }
  if (hostSide) {
    ReportMessage(hostShown + ": " + strerror(saved));
    return kExitFailure;
  }
  return st ? s.Fail("reading " + Shown(e.path), st) : kExitOk;
}

int RunGet(GuestSession& s, const FileOptions& o, const std::u16string& path, const std::u16string&) {
  GuestEntry e;
  if (uint32_t st = StatGuest(s.FullPath(path), path, &e); st != 0) {
    if (path != u"\\") return s.Fail(Shown(path), st);
    e.path = path;
    e.attributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  // Like scp: no HOSTPATH puts the guest's name in the current folder; an existing host folder
  // receives the file under its guest name; otherwise HOSTPATH is the copy itself.
  std::string host = o.path2.empty() ? std::string(".") : o.path2;
  std::string name;
  struct stat st;
  bool into = o.path2.empty() || (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !(e.IsDirectory() && !o.path2.empty()));
  std::string folder;
  if (into) {
    std::u16string base = GuestBaseName(path);
    if (!SafeHostName(base)) base = u"root";
    folder = host;
    name = Utf16ToUtf8(base);
  } else {
    size_t slash = host.find_last_of('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : host.substr(0, slash));
    name = host.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    ReportMessage(folder + ": " + strerror(errno));
    return kExitFailure;
  }
  int rc = GetInto(s, e, dirFd, name, folder == "." ? name : folder + "/" + name, o.recursive);
  close(dirFd);
  return rc;
}

int RunPut(GuestSession& s, const FileOptions& o, const std::u16string&, const std::u16string& dest) {
  int fd = open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ReportMessage(o.path + ": " + (fd < 0 ? strerror(errno) : "not a regular file"));
    if (fd >= 0) close(fd);
    return kExitFailure;
  }
  std::u16string target = dest;
  GuestEntry existing;
  if (dest == u"\\" || (StatGuest(s.FullPath(dest), dest, &existing) == 0 && existing.IsDirectory())) {
    std::string base = o.path.substr(o.path.find_last_of('/') == std::string::npos ? 0 : o.path.find_last_of('/') + 1);
    target = (dest == u"\\" ? u"" : dest) + u"\\" + Utf8ToUtf16(base);
  }
  bool hostSide = false;
  uint32_t status = CopyFdToGuest(fd, static_cast<uint64_t>(st.st_size), s.FullPath(target), &hostSide);
  close(fd);
  if (hostSide) {
    ReportMessage(o.path + ": " + strerror(errno));
    return kExitFailure;
  }
  return status ? s.Fail("writing " + Shown(target), status) : kExitOk;
}

uint32_t RemoveTree(GuestSession& s, const std::u16string& path) {
  std::vector<GuestEntry> children;
  uint32_t st = ListGuestDirectory(s.FullPath(path), path, [&](const GuestEntry& c) { children.push_back(c); });
  for (const GuestEntry& c : children) {
    if (st) break;
    if (c.IsDirectory() && !(c.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      st = RemoveTree(s, c.path);
    else if (!(c.IsDirectory() ? RemoveDirectoryW(s.FullPath(c.path).c_str()) : DeleteFileW(s.FullPath(c.path).c_str())))
      st = GetLastError();
  }
  if (!st && !RemoveDirectoryW(s.FullPath(path).c_str())) st = GetLastError();
  return st;
}

int RunRm(GuestSession& s, const FileOptions& o, const std::u16string& path, const std::u16string&) {
  if (path == u"\\") {
    ReportMessage("refusing to remove the root of the volume");
    return kExitUsage;
  }
  GuestEntry e;
  if (uint32_t st = StatGuest(s.FullPath(path), path, &e); st != 0) return s.Fail(Shown(path), st);
  uint32_t st = 0;
  if (!e.IsDirectory()) {
    if (!DeleteFileW(s.FullPath(path).c_str())) st = GetLastError();
  } else if (o.recursive) {
    st = RemoveTree(s, path);
  } else if (!RemoveDirectoryW(s.FullPath(path).c_str())) {
    st = GetLastError();
  }
  return st ? s.Fail("removing " + Shown(path), st) : kExitOk;
}

int RunMkdir(GuestSession& s, const FileOptions& o, const std::u16string& path, const std::u16string&) {
  std::u16string partial;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    partial = path.substr(0, end);
    bool last = end == path.size();
    if (last || o.parents) {
      if (!CreateDirectoryW(s.FullPath(partial).c_str(), nullptr)) {
        uint32_t st = GetLastError();
        if (!(st == ERROR_ALREADY_EXISTS && o.parents)) return s.Fail("making " + Shown(partial), st);
      }
    }
    start = end + 1;
  }
  return kExitOk;
}

int RunMv(GuestSession& s, const FileOptions&, const std::u16string& from, const std::u16string& to) {
  std::u16string target = to;
  GuestEntry e;
  if (to == u"\\" || (StatGuest(s.FullPath(to), to, &e) == 0 && e.IsDirectory()))
    target = (to == u"\\" ? u"" : to) + u"\\" + GuestBaseName(from);
  if (!MoveFileExW(s.FullPath(from).c_str(), s.FullPath(target).c_str(), 0))
    return s.Fail("moving " + Shown(from) + " to " + Shown(target), GetLastError());
  return kExitOk;
}

}  // namespace

void AddFileCommands(CLI::App& app, CommandRunner* runner) {
  auto add = [&](const char* name, const char* help, bool writable) {
    auto o = std::make_shared<FileOptions>();
    CLI::App* c = app.add_subcommand(name, help);
    AddGuestOptions(c, &o->guest, writable);
    return std::make_pair(c, o);
  };
  {
    auto [c, o] = add("ls", "List a folder (or show a file) inside the guest", false);
    c->add_option("PATH", o->path, "Guest path, \\Windows or /Windows (default: the root)");
    c->add_flag("-l,--long", o->long_, "Type, size, modification time (UTC) and attributes");
    c->add_flag("-R,--recursive", o->recursive, "Every folder below PATH too");
    c->add_flag("--json", o->json, "Print a JSON array of entries");
    Register(c, runner, o, false, 1, RunLs);
  }
  {
    auto [c, o] = add("cat", "Write a guest file's bytes to standard output", false);
    c->add_option("PATH", o->path, "Guest path")->required();
    Register(c, runner, o, false, 1, RunCat);
  }
  {
    auto [c, o] = add("get", "Copy a guest file (or folder with --recursive) to the host", false);
    c->add_option("PATH", o->path, "Guest path")->required();
    c->add_option("HOSTPATH", o->path2, "Host file or folder (default: the guest's name in the current folder)");
    c->add_flag("-r,--recursive", o->recursive, "Copy a folder and everything below it");
    Register(c, runner, o, false, 1, RunGet);
  }
  {
    auto [c, o] = add("put", "Copy a host file into the guest (mounts the volume writable)", true);
    c->add_option("HOSTPATH", o->path, "Host file")->required();
    c->add_option("PATH", o->path2, "Guest file or folder")->required();
    Register(c, runner, o, true, 2, RunPut);
  }
  {
    auto [c, o] = add("rm", "Delete a guest file or empty folder (writable)", true);
    c->add_option("PATH", o->path, "Guest path")->required();
    c->add_flag("-r,--recursive", o->recursive, "Delete a folder and everything below it");
    Register(c, runner, o, true, 1, RunRm);
  }
  {
    auto [c, o] = add("mkdir", "Make a guest folder (writable)", true);
    c->add_option("PATH", o->path, "Guest path")->required();
    c->add_flag("-p,--parents", o->parents, "Make missing parent folders too; an existing folder is no error");
    Register(c, runner, o, true, 1, RunMkdir);
  }
  {
    auto [c, o] = add("mv", "Move or rename inside the guest (writable)", true);
    c->add_option("FROM", o->path, "Guest path")->required();
    c->add_option("TO", o->path2, "Guest path or folder")->required();
    Register(c, runner, o, true, 3, RunMv);
  }
}
