#include "cli/machine_facts.h"

#include "cli/errors.h"
#include "cli/host.h"
#include "cli/paths.h"
#include "platform/wstr.h"

const char* GuestOsName(uint32_t code) {
  static const char* const kNames[] = {
      "unknown",       "non-Windows",         "DOS",           "Windows 3.1",
      "Windows 9x",    "Windows NT",          "Windows 2000",  "Windows XP",
      "Windows XP x64", "Windows Server 2003", "Windows Server 2003 x64",
      "Windows Vista", "Windows Vista x64",   "Longhorn",      "Longhorn x64",
      "Windows 7",     "Windows 7 x64",       "Windows 8",     "Windows 8 x64",
      "Windows 8.1",   "Windows 8.1 x64",     "Windows 10",    "Windows 10 x64",
      "Windows 11 x64", "Windows Server 2008 R2 x64", "Windows Server 2012 x64",
      "Windows Server 2012 R2 x64", "Windows Server 2016 x64", "Windows Server 2019 x64",
      "Windows Server 2022 x64"};
  return code < sizeof kNames / sizeof kNames[0] ? kNames[code] : "unknown";
}

void CollectMachineFacts(Host& host, vmpeek::CVirtualMachine* machine, const std::u16string& configPath,
                         MachineFacts* facts) {
  facts->guestCode = machine->GetGuestOperatingSystem();
  facts->suspended = machine->IsSuspended();
  int32_t count = machine->GetDiskCount();
  for (int32_t i = 0; i < count; ++i) {
    const WCHAR* name = machine->GetDiskName(i);
    if (!name) continue;
    MachineDisk disk;
    disk.name = Utf16ToUtf8(name);
    std::u16string path = ResolveDiskName(configPath, name);
    disk.path = ToPosixPath(path);
    Ref<vmpeek::VirtualDisk> image;
    NTSTATUS status = host.OpenDisk(path, true, &image);
    DiskFacts facts_;
    if (status >= 0) status = CollectDiskFacts(image.Get(), disk.path, &facts_, host.Inspect());
    if (status >= 0) {
      disk.image = std::move(facts_);
    } else {
      disk.error = DiskError{NtStatusName(status), HexStatus(static_cast<uint32_t>(status)),
                             host.FailureCause(disk.path), host.ErrorLines(disk.path)};
    }
    facts->disks.push_back(std::move(disk));
  }
}
