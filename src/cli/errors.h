// How the host reports failures: one line naming the file and the status (name and hex), the
// trace lines that explain it, and a pointer to --trace for the rest.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "vmpeek/types.h"

// Exit statuses of the program.
enum ExitStatus : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// "STATUS_INVALID_IMAGE_FORMAT (0xc000007b)"; unknown values as "status 0x........".
std::string NtStatusText(NTSTATUS status);
// Name alone ("STATUS_INVALID_IMAGE_FORMAT", or the hex value when unnamed) and hex alone.
std::string NtStatusName(NTSTATUS status);
std::string HexStatus(uint32_t status);
// Statuses of the virtual machine factory: Win32 codes by their ERROR_ names, negative COM
// statuses ("E_FAIL (0x80004005)") as hex.
std::string MachineStatusText(uint32_t status);
std::string MachineStatusName(uint32_t status);

// Lines that every open writes, failing or not: the factories' echo of the path, the probe for a
// VHD continuation file that is not there (how every file set ends), the parent locator searches.
bool IsRoutineLine(const std::string& line);
// The lines of an error channel that explain a failure: routine lines are dropped and only the
// last few lines are kept.
std::vector<std::string> ExplainingLines(const std::vector<std::string>& lines);

// Whether --trace was given (then the hint to use it is not printed).
void SetTraceGiven(bool given);
// vmpeek: FILE: WHAT, then the explaining lines indented, then the --trace hint (once per run).
void ReportFailure(const std::string& file, const std::string& what,
                   const std::vector<std::string>& trace = {});
// vmpeek: MESSAGE (usage and host-side problems, no trace).
void ReportMessage(const std::string& message);
