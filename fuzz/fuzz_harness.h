// The harness shared by the fuzz targets (fuzz/) and the replay of their findings
// (tests/hostile/<target>/): each target turns one input into files in a scratch folder on
// tmpfs, opens them through the library's real entry points, reads, writes and releases
// everything, and removes the files again.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vmfuzz {

using Runner = void (*)(const uint8_t* data, size_t size);

struct Target {
  const char* name;
  Runner run;
};

// Every target, in a fixed order.
const std::vector<Target>& Targets();
// The target of that name, or null.
const Target* FindTarget(const std::string& name);

// The status of the last open a disk or machine target made (NT status for disks, Win32 status
// for machines).
uint32_t LastOpenStatus();

// Inputs that hold several files separate them with this line.
constexpr char kFileSeparator[] = "\n==vmpeek-file==\n";
// Splits an input at each separator into at most maxParts pieces (the last keeps the rest).
std::vector<std::pair<const uint8_t*, size_t>> SplitFiles(const uint8_t* data, size_t size,
                                                          size_t maxParts);

}  // namespace vmfuzz
