#include "cli/errors.h"

#include <cstdio>
#include <regex>

#include "platform/status.h"

namespace {

bool g_TraceGiven = false;
bool g_HintShown = false;

// The COM statuses the configuration reader passes on.
const char* ComStatusName(uint32_t status) {
  switch (status) {
    case 0x80004001u: return "E_NOTIMPL";
    case 0x80004005u: return "E_FAIL";
    case 0x8007000Eu: return "E_OUTOFMEMORY";
    case 0x80070057u: return "E_INVALIDARG";
    case 0x80070005u: return "E_ACCESSDENIED";
    case 0x80070002u: return "HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)";
    case 0x80070003u: return "HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)";
    case 0x80010106u: return "RPC_E_CHANGED_MODE";
    case 0xC00CE558u: return "XML_E_INVALIDATROOTLEVEL";
    default: return nullptr;
  }
}

}  // namespace

std::string HexStatus(uint32_t status) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", status);
  return text;
}

std::string NtStatusName(NTSTATUS status) {
  const char* name = PlatformNtStatusName(status);
  return name ? name : HexStatus(static_cast<uint32_t>(status));
}

std::string NtStatusText(NTSTATUS status) {
  const char* name = PlatformNtStatusName(status);
  std::string hex = HexStatus(static_cast<uint32_t>(status));
  return name ? std::string(name) + " (" + hex + ")" : "status " + hex;
}

std::string MachineStatusName(uint32_t status) {
  const char* name = (status & 0x80000000u) ? ComStatusName(status) : PlatformWin32ErrorName(status);
  return name ? name : HexStatus(status);
}

std::string MachineStatusText(uint32_t status) {
  const char* name = (status & 0x80000000u) ? ComStatusName(status) : PlatformWin32ErrorName(status);
  char hex[16];
  snprintf(hex, sizeof hex, (status & 0x80000000u) ? "0x%08x" : "0x%x", status);
  return name ? std::string(name) + " (" + hex + ")" : std::string("status ") + hex;
}

bool IsRoutineLine(const std::string& line) {
  // The factories' echo of the path; the look for a next continuation file (.V01, .V02, ...)
  // that ends every VHD file set; the announcement of each parent locator searched.
  static const std::regex kRoutine(
      "(OpenVirtualDisk|OpenVirtualMachine)\\(.*"
      "|VHDFileSet::(Add|Open Add)\\(.*\\.V[0-9][0-9]\\) (open for R/O failed|gave) c0000034\\.?"
      "|VHDVirtualDisk::FindParent : Looking for W2[kr]u\\.?",
      std::regex::icase | std::regex::optimize);
  return std::regex_match(line, kRoutine);
}

std::vector<std::string> ExplainingLines(const std::vector<std::string>& lines) {
  constexpr size_t kKeep = 8;
  std::vector<std::string> kept;
  for (const std::string& line : lines)
    if (!IsRoutineLine(line)) kept.push_back(line);
  if (kept.size() > kKeep) kept.erase(kept.begin(), kept.end() - kKeep);
  return kept;
}

void SetTraceGiven(bool given) { g_TraceGiven = given; }

void ReportFailure(const std::string& file, const std::string& what,
                   const std::vector<std::string>& trace) {
  fprintf(stderr, "vmpeek: %s: %s\n", file.c_str(), what.c_str());
  for (const std::string& line : trace) fprintf(stderr, "  %s\n", line.c_str());
  if (!g_TraceGiven && !g_HintShown) {
    g_HintShown = true;
    fputs("vmpeek: run with --trace VMParseErrors,VMParseDetails for the full trace\n", stderr);
  }
}

void ReportMessage(const std::string& message) { fprintf(stderr, "vmpeek: %s\n", message.c_str()); }
