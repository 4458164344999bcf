// vmpeek read / vmpeek write: raw sectors of a disk or one partition to and from a file.
#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/fd_io.h"
#include "cli/paths.h"
#include "cli/progress.h"
#include "cli/transfer_target.h"

namespace {

// One request to the library and one write(2) per 2 MiB, through a single reused buffer. 2 MiB
// is large enough that per-call costs vanish and small enough that the copy out of the page
// cache stays in the processor's caches (4 MiB and more measured 15-20% slower); it is also one
// huge page and one dynamic VHD block.
constexpr size_t kBufferBytes = 2u << 20;

struct TransferOptions {
  std::string path;
  int partition = -1;
  uint64_t first = 0;
  uint64_t count = 0;
  bool countGiven = false;
  std::string file;
  bool force = false;
};

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Buffer AllocateBuffer() {
  Buffer buffer(static_cast<uint8_t*>(aligned_alloc(kBufferBytes, kBufferBytes)));
  // Best effort: one huge page spares the copies a TLB miss per 4 KiB.
  if (buffer) madvise(buffer.get(), kBufferBytes, MADV_HUGEPAGE);
  return buffer;
}

std::string Where(const TransferOptions& options) {
  return options.partition < 0 ? std::string("the disk") : "partition " + std::to_string(options.partition);
}

std::string SectorRange(uint64_t first, uint64_t count) {
  char text[64];
  snprintf(text, sizeof text, "sectors %" PRIu64 "-%" PRIu64, first, first + count - 1);
  return text;
}

int RunRead(Host& host, const TransferOptions& options) {
  if (options.file.empty() && isatty(STDOUT_FILENO)) {
    ReportMessage("refusing to write sectors to a terminal: give --output FILE or redirect standard output");
    return kExitUsage;
  }
  TransferTarget target;
  if (int rc = OpenTransferTarget(host, options.path, true, options.partition, &target)) return rc;
  if (options.first > target.sectors ||
      (options.countGiven && options.count > target.sectors - options.first)) {
    ReportMessage(options.path + ": the range asked for ends past " + Where(options) + " (" +
                  std::to_string(target.sectors) + " sectors)");
    return kExitUsage;
  }
  uint64_t count = options.countGiven ? options.count : target.sectors - options.first;
  if (int rc = CheckOnDisk(target, options.path, options.partition, options.first, count, "nothing was read")) return rc;
  int fd = OpenOutput(options.file);
  if (fd < 0) {
    ReportMessage(options.file + ": " + strerror(errno));
    return kExitFailure;
  }
  Buffer buffer = AllocateBuffer();
  if (!buffer) {
    ReportMessage("out of memory");
    return kExitFailure;
  }
  const uint32_t chunk = static_cast<uint32_t>(kBufferBytes / target.bytesPerSector);
  Progress progress(count * target.bytesPerSector, "read");
  int rc = kExitOk;
  for (uint64_t done = 0; done < count;) {
    uint32_t n = count - done < chunk ? static_cast<uint32_t>(count - done) : chunk;
    host.ClearTrace();
    NTSTATUS status = target.Read(options.first + done, n, buffer.get());
    if (status < 0) {
      rc = host.FailDisk(options.path, status, "reading " + SectorRange(options.first + done, n));
      break;
    }
    if (!WriteFully(fd, buffer.get(), static_cast<size_t>(n) * target.bytesPerSector)) {
      ReportMessage((options.file.empty() ? std::string("standard output") : options.file) + ": " + strerror(errno));
      rc = kExitFailure;
      break;
    }
    done += n;
    progress.Update(done * target.bytesPerSector);
  }
  if (rc == kExitOk) progress.Finish();
  if (fd != STDOUT_FILENO && close(fd) != 0 && rc == kExitOk) {
    ReportMessage(options.file + ": " + strerror(errno));
    rc = kExitFailure;
  }
  return rc;
}

std::string InputName(const TransferOptions& options) {
  return options.file.empty() ? std::string("standard input") : options.file;
}

// A suspended machine's disk is recognised on a read-only open, so it is never opened for writing.
int CheckNotSuspended(Host& host, const TransferOptions& options) {
  if (options.force) return kExitOk;
  Ref<vmpeek::VirtualDisk> probe;
  NTSTATUS status = host.OpenDisk(ToLibraryPath(options.path), true, &probe);
  if (status < 0) return host.FailDisk(options.path, status);
  if (probe->IsSavedState()) {
    ReportFailure(options.path, "the image belongs to a machine in saved state; changing it corrupts the "
                                "machine when it resumes (use --force to write anyway)");
    return kExitFailure;
  }
  return kExitOk;
}

// Everything that can be known before the first write: the target is writable, --first is
// inside it, a regular input file fits whole, and the range written lies on the disk.
int CheckWrite(Host& host, int fd, const TransferTarget& target, const TransferOptions& options, uint64_t* expected) {
  const uint32_t bps = target.bytesPerSector;
  if (target.disk->IsReadOnly()) {
    ReportFailure(options.path, "the image could not be opened for writing; nothing was written", host.ErrorLines());
    return kExitFailure;
  }
  if (options.first > target.sectors) {
    ReportMessage(options.path + ": --first is past the end of " + Where(options) + " (" +
                  std::to_string(target.sectors) + " sectors)");
    return kExitUsage;
  }
  const uint64_t room = target.sectors - options.first;
  uint64_t sectors = room;  // an input of unknown length may fill the target
  struct stat st;
  *expected = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    *expected = static_cast<uint64_t>(st.st_size);
    if (*expected % bps != 0) {
      ReportMessage(InputName(options) + ": " + std::to_string(*expected) + " bytes is not a whole number of " +
                    std::to_string(bps) + "-byte sectors (a partial sector at the end); nothing was written");
      return kExitFailure;
    }
    sectors = *expected / bps;
    if (sectors > room) {
      ReportMessage(options.path + ": the input's " + std::to_string(sectors) + " sectors do not fit in " +
                    Where(options) + " from sector " + std::to_string(options.first) + " (" + std::to_string(room) +
                    " sectors left); nothing was written");
      return kExitFailure;
    }
  }
  return CheckOnDisk(target, options.path, options.partition, options.first, sectors, "nothing was written");
}

// Copies the input into the target in 2 MiB requests.
int CopyIn(Host& host, int fd, TransferTarget& target, const TransferOptions& options, uint64_t expected) {
  const uint32_t bps = target.bytesPerSector;
  const uint64_t room = target.sectors - options.first;
  Buffer buffer = AllocateBuffer();
  if (!buffer) {
    ReportMessage("out of memory");
    return kExitFailure;
  }
  Progress progress(expected, "wrote");
  uint64_t done = 0;
  for (;;) {
    long long got = ReadFully(fd, buffer.get(), kBufferBytes);
    if (got < 0) {
      ReportMessage(InputName(options) + ": " + strerror(errno));
      return kExitFailure;
    }
    uint32_t n = static_cast<uint32_t>(static_cast<uint64_t>(got) / bps);
    uint32_t tail = static_cast<uint32_t>(static_cast<uint64_t>(got) % bps);
    if (n > room - done) {
      ReportMessage(options.path + ": the input is longer than " + Where(options) + " from sector " +
                    std::to_string(options.first) + "; " + std::to_string(done) + " sectors were written");
      return kExitFailure;
    }
    if (n > 0) {
      host.ClearTrace();
      NTSTATUS status = target.Write(options.first + done, n, buffer.get());
      if (status < 0) return host.FailDisk(options.path, status, "writing " + SectorRange(options.first + done, n));
      done += n;
      progress.Update(done * bps);
    }
    if (tail != 0) {
      ReportMessage(InputName(options) + ": the input ends with a partial sector (" + std::to_string(tail) + " of " +
                    std::to_string(bps) + " bytes), which was not written; " + std::to_string(done) +
                    " whole sectors were written");
      return kExitFailure;
    }
    if (static_cast<size_t>(got) < kBufferBytes) break;
  }
  progress.Finish();
  return kExitOk;
}

int RunWrite(Host& host, const TransferOptions& options) {
  if (options.file.empty() && isatty(STDIN_FILENO)) {
    ReportMessage("no input: give --input FILE or redirect standard input");
    return kExitUsage;
  }
  int fd = OpenInput(options.file);
  if (fd < 0) {
    ReportMessage(options.file + ": " + strerror(errno));
    return kExitFailure;
  }
  struct FdCloser {
    int fd;
    ~FdCloser() {
      if (fd != STDIN_FILENO) close(fd);
    }
  } closer{fd};
  if (int rc = CheckNotSuspended(host, options)) return rc;
  TransferTarget target;
  if (int rc = OpenTransferTarget(host, options.path, false, options.partition, &target)) return rc;
  uint64_t expected = 0;
  if (int rc = CheckWrite(host, fd, target, options, &expected)) return rc;
  int rc = CopyIn(host, fd, target, options, expected);
  // Closing the image is its final flush: a failure there means the data may not be on disk.
  const std::vector<std::string> closeErrors = host.Close(&target.partition, &target.disk);
  if (!closeErrors.empty()) {
    ReportFailure(options.path, "the final flush of the image failed when it was closed; the data written may "
                                "not be on disk", closeErrors);
    return kExitFailure;
  }
  return rc;
}

void AddCommonOptions(CLI::App* command, TransferOptions* options) {
  command->add_option("PATH", options->path, "Disk image file")->required();
  command->add_option("--partition", options->partition,
                      "Work on this partition (index from 0, as vmpeek partitions lists it); sectors count "
                      "from its start")
      ->check(CLI::Range(0, 251));
}

}  // namespace

void AddTransferCommands(CLI::App& app, CommandRunner* runner) {
  auto readOptions = std::make_shared<TransferOptions>();
  CLI::App* read = app.add_subcommand(
      "read", "Copy raw sectors of a disk image or of one partition (all of it by default) to a file "
              "or standard output");
  AddCommonOptions(read, readOptions.get());
  read->add_option("--first", readOptions->first, "First sector (default 0)");
  CLI::Option* count = read->add_option("--count", readOptions->count, "Number of sectors (default: to the end)");
  read->add_option("--output,-o", readOptions->file, "Output file (default standard output)");
  read->callback([runner, readOptions, count] {
    readOptions->countGiven = count->count() > 0;
    runner->run = [readOptions](Plugin& plugin) {
      Host host(plugin);
      return RunRead(host, *readOptions);
    };
  });

  auto writeOptions = std::make_shared<TransferOptions>();
  CLI::App* write = app.add_subcommand(
      "write", "Write whole sectors from a file or standard input into a disk image or one partition, "
               "opened read-write");
  AddCommonOptions(write, writeOptions.get());
  write->add_option("--first", writeOptions->first, "First sector to write")->required();
  write->add_option("--input,-i", writeOptions->file, "Input file (default standard input)");
  write->add_flag("--force", writeOptions->force,
                  "Write even to the disk of a machine in saved state (it will not resume correctly)");
  write->callback([runner, writeOptions] {
    runner->run = [writeOptions](Plugin& plugin) {
      Host host(plugin);
      return RunWrite(host, *writeOptions);
    };
  });
}
