// What the host reports about a virtual machine configuration and each disk it names.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "cli/disk_facts.h"

class Host;

struct DiskError {
  std::string status;  // name, "STATUS_OBJECT_NAME_NOT_FOUND"
  std::string code;    // hex, "0xc0000034"
  std::string cause;   // "parent not found: tried ...", "VHDX is not supported yet", or ""
  std::vector<std::string> trace;
};

struct MachineDisk {
  std::string name;  // as the configuration writes it
  std::string path;  // the POSIX path it resolves to
  std::optional<DiskFacts> image;
  std::optional<DiskError> error;
};

struct MachineFacts {
  uint32_t guestCode = 0;
  bool suspended = false;
  std::vector<MachineDisk> disks;
};

// "Windows XP", "Windows Server 2003 x64", ...
const char* GuestOsName(uint32_t code);
// Opens each disk named by an open machine read-only and records what it holds or why it failed.
void CollectMachineFacts(Host& host, vmpeek::CVirtualMachine* machine, const std::u16string& configPath,
                         MachineFacts* facts);
