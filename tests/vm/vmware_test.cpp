// VMware .vmx configurations: the slot probe, CD-ROM exclusions, guest rules, suspended state,
// long file names, open status by file, and real configurations from public repositories.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <tuple>

#include "platform/nt_file.h"
#include "support/trace_capture.h"
#include "vm_test_util.h"

using namespace vmtest;

namespace {

const char kWorkstation[] =
    "#!/usr/bin/vmware\r\n.encoding = \"UTF-8\"\r\nconfig.version = \"8\"\r\nguestOS = \"WinXPPro\"\r\n"
    "ide0:0.present = \"TRUE\"\r\nide0:0.fileName = \"Windows XP.vmdk\"\r\nide0:1.fileName = \"\"\r\n"
    "ide1:0.present = \"TRUE\"\r\nide1:0.deviceType = \"CDROM-Image\"\r\nide1:0.fileName = \"D:\\isos\\setup.iso\"\r\n"
    "ide1:1.fileName = \"auto detect\"\r\n"
    // Presence is not consulted.
    "scsi0:0.present = \"FALSE\"\r\nscsi0:0.fileName = \"data.vmdk\"\r\nscsi0:0.deviceType = \"scsi-hardDisk\"\r\n"
    "scsi0:1.fileName = \"cd.iso\"\r\nscsi0:1.deviceType = \"cdRom-IMAGE\"\r\nSCSI0:7.FILENAME = \"seven.vmdk\"\r\n"
    "scsi1:2.fileName = \"raw\"\r\nscsi1:2.deviceType = \"Atapi-CDROM\"\r\n"
    "scsi2:3.fileName = \"/dev/sr0\"\r\nscsi2:3.deviceType = \"cdrom-raw\"\r\n"
    "scsi3:15.fileName = \"last.vmdk\"\r\nscsi3:15.deviceType = \"plainDisk\"\r\n"
    "scsi4:0.fileName = \"never-scsi4.vmdk\"\r\nide2:0.fileName = \"never-ide2.vmdk\"\r\n"
    // Later controllers come after every IDE and SCSI 0-15 slot: SATA, NVMe, then SCSI 16-64.
    "scsi0:16.fileName = sixteen.vmdk\nnvme3:14.fileName = nvme-last.vmdk\nSATA1:2.FILENAME = sata12.vmdk\n"
    "sata0:29.fileName = sata029.vmdk\nscsi3:64.fileName = scsi364.vmdk\nsata0:3.fileName = dvd.iso\n"
    "sata0:3.deviceType = sata-CDROM\nnvme0:1.fileName = a.flp\nnvme0:1.deviceType = Floppy_Image\n"
    "scsi2:20.fileName = /vmfs/devices/genscsi/tape0\nscsi2:20.deviceType = scsi-passthru\nscsi1:3.fileName = cd\n"
    "scsi1:3.deviceType = CD-ROM\nsata4:0.fileName = never\nsata0:30.fileName = never\nsata00:1.fileName = never\n"
    "nvme0:15.fileName = never\nscsi0:65.fileName = never\n"
    "checkpoint.vmState = \"Machine.vmss\"\r\n";

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
  OpenText(dir, "Test.vmx", kWorkstation, &m);
  ASSERT_EQ(m.status, 0u);
  EXPECT_EQ(m.Disks(), (std::vector<std::string>{"Windows XP.vmdk", "data.vmdk", "seven.vmdk", "last.vmdk",
                                                  "sata029.vmdk", "sata12.vmdk", "nvme-last.vmdk", "sixteen.vmdk",
                                                  "scsi364.vmdk"}));
  EXPECT_EQ(m->GetGuestOperatingSystem(), vmpeek::GuestOsWindowsXP);
  EXPECT_TRUE(m->IsSuspended());
  // A slot that is not a disk is still named in the trace.
  EXPECT_TRUE(TraceContains("VMParseDetails", "CVMWareVirtualMachine::FindDisksEx : SATA0:3 = dvd.iso(sata-CDROM)."));

  ClearTrace();
  EXPECT_EQ(m->GetDiskName(9), nullptr);
  EXPECT_EQ(m->GetDiskName(-1), nullptr);
  EXPECT_TRUE(TraceContains("VMParseErrors", "Request for diskname 9 when there's only 9"));
}

TEST(VMwareVirtualMachine, GuestSuspendedStateAndNames) {
  TempDir dir;
  struct Row {
    std::string text;
    vmpeek::GuestOs guest;
    bool suspended = false;
    std::vector<std::string> disks = {};
  };
  const std::string name = std::string(300, 'n') + ".vmdk";
  const Row rows[] = {
      // The table, matched whole and ignoring case; values are not trimmed.
      {"guestOS = \"WinXPPro\"", vmpeek::GuestOsWindowsXP},   {"guestos=winxppro-64", vmpeek::GuestOsWindowsXP64},
      {"guestOS=windows9", vmpeek::GuestOsWindows10},         {"guestOS = \"other-64\"", vmpeek::GuestOsUnknown},
      {"guestOS = \" winxppro\"", vmpeek::GuestOsUnknown},    {"guestOS = \"winxppro \"", vmpeek::GuestOsUnknown},
      // Then: later Windows stays unknown, non-Windows families by leading word, Linux and BSD anywhere.
      {"guestOS=windows12-64", vmpeek::GuestOsUnknown},       {"guestOS=rhel9-64", vmpeek::GuestOsNonWindows},
      {"guestOS=darwin21-64", vmpeek::GuestOsNonWindows},     {"guestOS=other5xlinux-64", vmpeek::GuestOsNonWindows},
      {"guestOS=fred", vmpeek::GuestOsUnknown},               {"config.version = \"8\"", vmpeek::GuestOsUnknown},
      // Suspended when the state file is named.
      {"guestOS=dos\ncheckpoint.vmState = \"\"", vmpeek::GuestOsDos, false},
      {"guestOS=dos\nCHECKPOINT.VMSTATE = Machine.vmss", vmpeek::GuestOsDos, true},
      // A file name longer than the 260-unit value buffer is cut to 259 units; UTF-8 names decode.
      {"ide0:0.fileName = \"" + name + "\"\nscsi0:0.fileName = \"d\xC3\xA9j\xC3\xA0.vmdk\"", vmpeek::GuestOsUnknown,
       false, {name.substr(0, 259), "d\xC3\xA9j\xC3\xA0.vmdk"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Machine m;
    OpenText(dir, "g.vmx", row.text + "\n" + std::string(100, '#') + "\n", &m);
    ASSERT_EQ(m.status, 0u);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.guest);
    EXPECT_EQ(m->GetGuestOperatingSystem(), row.guest);  // asked again: same answer
    EXPECT_EQ(m->IsSuspended(), row.suspended);
    EXPECT_EQ(m.Disks(), row.disks);
  }
}

// The open status by file, and the trace of each cause of refusal.
TEST(VMwareVirtualMachine, OpenStatusByFile) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("folder.vmx").c_str(), 0755), 0);
  const std::string locked = dir.file("locked.vmx");
  WriteText(locked, Sized(200));
  HANDLE h = nullptr;  // held open by a writer that shares nothing
  ASSERT_EQ(ZwCreateFile(&h, GENERIC_READ | GENERIC_WRITE, NtPath(locked).c_str(), OBJ_CASE_INSENSITIVE, 0,
                         FILE_OPEN, FILE_NON_DIRECTORY_FILE),
            STATUS_SUCCESS);
  struct Row {
    std::string path;
    std::optional<std::string> text;  // written first when given
    uint32_t status;
    std::string trace;
  };
  const std::vector<uint8_t> junk = PatternBytes(4000, 3);  // not a configuration at all: opens, finds nothing
  const Row rows[] = {
      {"least.vmx", Sized(100), 0, "found 0 disks."},
      {"most.vmx", Sized(8192), 0, "found 0 disks."},
      {"junk.vmx", std::string(junk.begin(), junk.end()), 0, "found 0 disks."},
      {"small.vmx", Sized(99), 11, "size of 99 isn't valid ."},
      {"large.vmx", Sized(8193), 11, "size of 8193 isn't valid ."},
      {"zero.vmx", "", 11, "size of 0 isn't valid ."},
      {"absent.vmx", {}, 2, "failed to open file " + Utf16ToUtf8(WinPath(dir.file("absent.vmx"))) + " error=2 ."},
      {"nowhere/x.vmx", {}, 3, "error=3 ."}, {"folder.vmx", {}, 5, "error=5 ."}, {"locked.vmx", {}, 32, "error=32 ."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    if (row.text) WriteText(dir.file(row.path), *row.text);
    ClearTrace();
    Machine m;
    OpenMachine(dir.file(row.path), &m);
    EXPECT_EQ(m.status, row.status);
    EXPECT_EQ(m.p == nullptr, row.status != 0);
    EXPECT_TRUE(TraceContains("VMParseDetails", row.trace));
  }
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
