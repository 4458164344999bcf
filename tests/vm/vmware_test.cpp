// VMware .vmx configurations: the slot probe, CD-ROM exclusions, guest table, suspended state,
// size bounds, unreadable files, and real configurations from public repositories.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <tuple>

#include "platform/nt_file.h"
#include "support/trace_capture.h"
#include "vm/vmware_virtual_machine.h"
#include "vm_test_util.h"

using namespace vmtest;

namespace {

const char kWorkstation[] =
    "#!/usr/bin/vmware\r\n"
    ".encoding = \"UTF-8\"\r\n"
    "config.version = \"8\"\r\n"
    "guestOS = \"WinXPPro\"\r\n"
    "ide0:0.present = \"TRUE\"\r\n"
    "ide0:0.fileName = \"Windows XP.vmdk\"\r\n"
    "ide0:1.fileName = \"\"\r\n"
    "ide1:0.present = \"TRUE\"\r\n"
    "ide1:0.deviceType = \"CDROM-Image\"\r\n"
    "ide1:0.fileName = \"D:\\isos\\setup.iso\"\r\n"
    "ide1:1.fileName = \"auto detect\"\r\n"
    "scsi0:0.present = \"FALSE\"\r\n"          // presence is not consulted
    "scsi0:0.fileName = \"data.vmdk\"\r\n"
    "scsi0:0.deviceType = \"scsi-hardDisk\"\r\n"
    "scsi0:1.fileName = \"cd.iso\"\r\n"
    "scsi0:1.deviceType = \"cdRom-IMAGE\"\r\n"
    "SCSI0:7.FILENAME = \"seven.vmdk\"\r\n"
    "scsi1:2.fileName = \"raw\"\r\n"
    "scsi1:2.deviceType = \"Atapi-CDROM\"\r\n"
    "scsi2:3.fileName = \"/dev/sr0\"\r\n"
    "scsi2:3.deviceType = \"cdrom-raw\"\r\n"
    "scsi3:15.fileName = \"last.vmdk\"\r\n"
    "scsi3:15.deviceType = \"plainDisk\"\r\n"
    "scsi4:0.fileName = \"never-scsi4.vmdk\"\r\n"
    "ide2:0.fileName = \"never-ide2.vmdk\"\r\n"
    // Later controllers come after every IDE and SCSI 0-15 slot: SATA, NVMe, then SCSI 16-64.
    "scsi0:16.fileName = sixteen.vmdk\nnvme3:14.fileName = nvme-last.vmdk\nSATA1:2.FILENAME = sata12.vmdk\n"
    "sata0:29.fileName = sata029.vmdk\nscsi3:64.fileName = scsi364.vmdk\nsata0:3.fileName = dvd.iso\n"
    "sata0:3.deviceType = sata-CDROM\nnvme0:1.fileName = a.flp\nnvme0:1.deviceType = Floppy_Image\n"
    "scsi2:20.fileName = /vmfs/devices/genscsi/tape0\nscsi2:20.deviceType = scsi-passthru\nscsi1:3.fileName = cd\n"
    "scsi1:3.deviceType = CD-ROM\nsata4:0.fileName = never\nsata0:30.fileName = never\nsata00:1.fileName = never\n"
    "nvme0:15.fileName = never\nscsi0:65.fileName = never\n"
    "checkpoint.vmState = \"Machine.vmss\"\r\n";

std::string Write(const TempDir& dir, const std::string& name, const std::string& text) {
  WriteText(dir.file(name), text);
  return dir.file(name);
}

// guestOS text padded with a comment to exactly `size` bytes.
std::string Sized(size_t size) {
  std::string text = "guestOS = \"dos\"\n#";
  text += std::string(size - text.size() - 1, 'x');
  return text + "\n";
}

}  // namespace

TEST(VMwareVirtualMachine, ProbesIdeThenScsiAndSkipsCdroms) {
  TempDir dir;
  ClearTrace();
  Machine m;
  OpenMachine(Write(dir, "Test.vmx", kWorkstation), &m);
  ASSERT_EQ(m.status, 0u);
  ASSERT_NE(m.p, nullptr);
  EXPECT_EQ(m.Disks(), (std::vector<std::string>{"Windows XP.vmdk", "data.vmdk", "seven.vmdk", "last.vmdk",
                                                  "sata029.vmdk", "sata12.vmdk", "nvme-last.vmdk", "sixteen.vmdk",
                                                  "scsi364.vmdk"}));
  EXPECT_EQ(m->GetGuestOperatingSystem(), vmpeek::GuestOsWindowsXP);
  EXPECT_TRUE(m->IsSuspended());

  auto details = RecentTrace("VMParseDetails");
  auto has = [&](const std::string& line) {
    return std::find(details.begin(), details.end(), line) != details.end();
  };
  EXPECT_TRUE(has("CVMWareVirtualMachine::FindDisksEx : IDE0:0 = Windows XP.vmdk()."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::FindDisksEx : IDE1:0 = D:\\isos\\setup.iso(CDROM-Image)."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::FindDisksEx : SCSI3:15 = last.vmdk(plainDisk)."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::FindDisksEx : SATA0:3 = dvd.iso(sata-CDROM)."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::FindDisks : found 9 disks."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::IsSuspended : checkpint.vmState = \"Machine.vmss\"."));
  EXPECT_TRUE(has("CVMWareVirtualMachine::GetGuestOperatingSystem : guestOS = \"WinXPPro\"."));
  EXPECT_FALSE(TraceContains("VMParseDetails", "IDE0:1 ="));  // empty file name: no line
  EXPECT_FALSE(TraceContains("VMParseDetails", "never-"));

  ClearTrace();
  EXPECT_EQ(m->GetDiskName(9), nullptr);
  EXPECT_EQ(m->GetDiskName(-1), nullptr);
  EXPECT_EQ(RecentTrace("VMParseErrors"),
            (std::vector<std::string>{
                "CVirtualMachine::GetDiskName : Request for diskname 9 when there's only 9",
                "CVirtualMachine::GetDiskName : Request for diskname -1 when there's only 9"}));
}

TEST(VMwareVirtualMachine, GuestTableAndSuspendedState) {
  TempDir dir;
  struct Row {
    std::string line;
    vmpeek::GuestOs guest;
  };
  const Row rows[] = {
      {"guestOS = \"WinXPPro\"", vmpeek::GuestOsWindowsXP},   {"guestOS = \"winxppro-64\"", vmpeek::GuestOsWindowsXP64},
      {"guestOS = \"darwin\"", vmpeek::GuestOsNonWindows},   {"guestOS = \"other-64\"", vmpeek::GuestOsUnknown},
      {"guestOS = \"other26xLinux-64\"", vmpeek::GuestOsNonWindows}, {"guestOS = \"DOS\"", vmpeek::GuestOsDos},
      {"guestOS = \"win31\"", vmpeek::GuestOsWindows31},      {"guestos=winme", vmpeek::GuestOsWindows9x},
      {"guestOS = \"winNT\"", vmpeek::GuestOsWindowsNT},      {"guestOS = \"win2000AdvServ\"", vmpeek::GuestOsWindows2000},
      {"guestOS = \"winnetweb\"", vmpeek::GuestOsWindows2003}, {"guestOS = \"winNetStandard-64\"", vmpeek::GuestOsWindows2003x64},
      {"guestOS = \"winvista\"", vmpeek::GuestOsWindowsVista}, {"guestOS = \"winvista-64\"", vmpeek::GuestOsWindowsVista64},
      {"guestOS = \"LONGHORN\"", vmpeek::GuestOsLonghorn},    {"guestOS = \"longhorn-64\"", vmpeek::GuestOsLonghorn64},
      {"guestOS = \" winxppro\"", vmpeek::GuestOsUnknown},    {"guestOS = \"winxppro \"", vmpeek::GuestOsUnknown},
      // Later Windows releases, and every non-Windows family VMware names.
      {"guestOS=windows7", vmpeek::GuestOsWindows7}, {"guestOS=Windows7-64", vmpeek::GuestOsWindows7x64},
      {"guestOS=windows8-64", vmpeek::GuestOsWindows8x64}, {"guestOS=windows9", vmpeek::GuestOsWindows10},
      {"guestOS=windows9-64", vmpeek::GuestOsWindows10x64}, {"guestOS=windows11-64", vmpeek::GuestOsWindows11x64},
      {"guestOS=windows7srv-64", vmpeek::GuestOsWindows2008R2x64}, {"guestOS=windows8srv-64", vmpeek::GuestOsWindows2012x64},
      {"guestOS=windows9srv-64", vmpeek::GuestOsWindows2016x64}, {"guestOS=windows2019srv-64", vmpeek::GuestOsWindows2019x64},
      {"guestOS=windows2019srvNext-64", vmpeek::GuestOsWindows2022x64}, {"guestOS=windows12-64", vmpeek::GuestOsUnknown},
      {"guestOS=rhel9-64", vmpeek::GuestOsNonWindows}, {"guestOS=other5xlinux-64", vmpeek::GuestOsNonWindows},
      {"guestOS=solaris11-64", vmpeek::GuestOsNonWindows}, {"guestOS=darwin21-64", vmpeek::GuestOsNonWindows},
      {"guestOS=freebsd13-64", vmpeek::GuestOsNonWindows}, {"guestOS=fred", vmpeek::GuestOsUnknown},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Machine m;
    OpenMachine(Write(dir, "g.vmx", row.line + "\n" + std::string(100, '#') + "\n"), &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.guest);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.guest);  // asked again: same answer
  }

  const std::string pad = "\n" + std::string(120, ';') + "\n";
  Machine empty, missing, saved;
  OpenMachine(Write(dir, "e.vmx", "checkpoint.vmState = \"\"" + pad), &empty);
  OpenMachine(Write(dir, "m.vmx", "config.version = \"8\"" + pad), &missing);
  OpenMachine(Write(dir, "s.vmx", "CHECKPOINT.VMSTATE = Machine.vmss" + pad), &saved);
  ClearTrace();
  EXPECT_FALSE(empty->IsSuspended());
  EXPECT_TRUE(saved->IsSuspended());
  EXPECT_FALSE(missing->IsSuspended());
  EXPECT_EQ(missing->GetGuestOperatingSystem(), vmpeek::GuestOsUnknown);
  EXPECT_EQ(RecentTrace("VMParseDetails"),
            (std::vector<std::string>{
                "CVMWareVirtualMachine::IsSuspended : checkpint.vmState = \"\".",
                "CVMWareVirtualMachine::IsSuspended : checkpint.vmState = \"Machine.vmss\".",
                "CVMWareVirtualMachine::IsSuspended : didn't find checkpoint.vmState line.",
                "CVMWareVirtualMachine::GetGuestOperatingSystem : didn't find guestOS line."}));
  EXPECT_EQ(missing->GetDiskCount(), 0);
}

TEST(VMwareVirtualMachine, SizeBoundsAndOddContent) {
  TempDir dir;
  for (size_t size : {size_t(99), size_t(8193), size_t(100000)}) {
    Machine m;
    ClearTrace();
    OpenMachine(Write(dir, "size.vmx", Sized(size)), &m);
    EXPECT_EQ(m.status, 11u);
    EXPECT_EQ(m.p, nullptr);
    EXPECT_TRUE(TraceContains("VMParseDetails",
                              "CVMWareVirtualMachine::Open : size of " + std::to_string(size) + " isn't valid ."));
  }
  for (size_t size : {size_t(100), size_t(8192)}) {
    Machine m;
    OpenMachine(Write(dir, "size.vmx", Sized(size)), &m);
    EXPECT_EQ(m.status, 0u);
    EXPECT_EQ(m->GetGuestOperatingSystem(), vmpeek::GuestOsDos);
  }
  Machine zero;
  OpenMachine(Write(dir, "zero.vmx", ""), &zero);
  EXPECT_EQ(zero.status, 11u);

  // Not a configuration at all: opens with nothing found.
  Machine junk;
  WriteAll(dir.file("junk.vmx"), PatternBytes(4000, 3));
  OpenMachine(dir.file("junk.vmx"), &junk);
  ASSERT_EQ(junk.status, 0u);
  EXPECT_EQ(junk->GetDiskCount(), 0);
  EXPECT_FALSE(junk->IsSuspended());
  EXPECT_EQ(junk->GetGuestOperatingSystem(), vmpeek::GuestOsUnknown);

  // A file name longer than the 260-unit value buffer is cut to 259 units; UTF-8 names decode.
  Machine longName;
  std::string name = std::string(300, 'n') + ".vmdk";
  OpenMachine(Write(dir, "long.vmx", "ide0:0.fileName = \"" + name + "\"\nscsi0:0.fileName = \"d\xC3\xA9j\xC3\xA0.vmdk\"\n"),
              &longName);
  ASSERT_EQ(longName.status, 0u);
  EXPECT_EQ(longName.Disks(), (std::vector<std::string>{name.substr(0, 259), "d\xC3\xA9j\xC3\xA0.vmdk"}));
}

TEST(VMwareVirtualMachine, UnreadableFiles) {
  TempDir dir;
  Machine missing;
  ClearTrace();
  OpenMachine(dir.file("absent.vmx"), &missing);
  EXPECT_EQ(missing.status, 2u);
  EXPECT_EQ(missing.p, nullptr);
  EXPECT_TRUE(TraceContains("VMParseDetails", "CVMWareVirtualMachine::Open : failed to open file " +
                                                  Utf16ToUtf8(WinPath(dir.file("absent.vmx"))) + " error=2 ."));
  Machine noFolder;
  OpenMachine(dir.file("nowhere/x.vmx"), &noFolder);
  EXPECT_EQ(noFolder.status, 3u);

  Machine folder;
  ASSERT_EQ(mkdir(dir.file("folder.vmx").c_str(), 0755), 0);
  OpenMachine(dir.file("folder.vmx"), &folder);
  EXPECT_EQ(folder.status, 5u);

  // Held open by a writer that shares nothing.
  const std::string locked = Write(dir, "locked.vmx", Sized(200));
  HANDLE h = nullptr;
  ASSERT_EQ(ZwCreateFile(&h, GENERIC_READ | GENERIC_WRITE, NtPath(locked).c_str(), OBJ_CASE_INSENSITIVE, 0,
                         FILE_OPEN, FILE_NON_DIRECTORY_FILE),
            STATUS_SUCCESS);
  Machine shared;
  ClearTrace();
  OpenMachine(locked, &shared);
  EXPECT_EQ(shared.status, 32u);
  EXPECT_TRUE(TraceContains("VMParseDetails", "error=32 ."));
  ZwClose(h);
  Machine after;
  OpenMachine(locked, &after);
  EXPECT_EQ(after.status, 0u);
}

// The disk files of libvirt's expected description, in vmpeek's order (IDE, SCSI 0-15, SATA,
// NVMe, SCSI 16-64, each by controller and unit), as the configuration names them: libvirt
// writes "[datastore] directory/NAME" for NAME and "[STORE] PATH" for /vmfs/volumes/STORE/PATH.
static std::vector<std::string> LibvirtDisks(const std::string& xml) {
  const std::regex disk("<disk type='file' device='disk'>([\\s\\S]*?)</disk>"), source("file='(\\[(.*)\\] )?(.*)'"),
      bus("bus='(\\w+)'"), address("controller='(\\d+)' bus='(\\d+)' target='0' unit='(\\d+)'");
  std::map<std::tuple<int, int, int, int>, std::string> found;
  for (std::sregex_iterator it(xml.begin(), xml.end(), disk), end; it != end; ++it) {
    const std::string body = (*it)[1];
    std::smatch f, b, a;
    EXPECT_TRUE(std::regex_search(body, f, source) && std::regex_search(body, b, bus) && regex_search(body, a, address));
    const int unit = std::stoi(a[3]);
    const int rank = b[1] == "ide" ? 0 : b[1] == "sata" ? 2 : b[1] == "nvme" ? 3 : unit < 16 ? 1 : 4;
    const std::string name = !f[1].matched ? f[3].str()
                             : f[2] == "datastore" ? f[3].str().substr(10)
                                                   : "/vmfs/volumes/" + f[2].str() + "/" + f[3].str();
    found[{rank, std::stoi(a[1]), std::stoi(a[2]), unit}] = name;
  }
  std::vector<std::string> names;
  for (const auto& [slot, name] : found) names.push_back(name);
  return names;
}

TEST(VMwareVirtualMachine, RealConfigurations) {
  // Every configuration written by a VMware product, beside libvirt's own reading of it.
  const std::map<std::string, vmpeek::GuestOs> windows = {{"vmx2xml-esx-in-the-wild-10.vmx", vmpeek::GuestOsWindows2019x64},
                                                          {"vmx2xml-fusion-in-the-wild-1.vmx", vmpeek::GuestOsWindowsXP}};
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(VMPEEK_SOURCE_DIR) + "/tests/data/vmx")) {
    const std::string vmx = entry.path().string(), file = entry.path().filename().string();
    if (entry.path().extension() != ".vmx") continue;
    SCOPED_TRACE(file + " " + std::to_string(++files));
    const std::vector<uint8_t> xml = ReadAll(vmx.substr(0, vmx.size() - 4) + ".xml");
    Machine m;
    OpenMachine(vmx, &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m.Disks(), LibvirtDisks(std::string(xml.begin(), xml.end())));
    EXPECT_FALSE(m.Disks().empty());
    EXPECT_EQ(m->GetGuestOperatingSystem(), windows.count(file) ? windows.at(file) : vmpeek::GuestOsNonWindows);
    EXPECT_FALSE(m->IsSuspended());
  }
  EXPECT_EQ(files, 15);
}
