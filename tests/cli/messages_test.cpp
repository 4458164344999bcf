// Failure messages lead with their cause and speak in the user's paths: formats vmpeek does not
// read, a missing differencing parent, the probes every open makes, and a configuration whose
// disks partly fail.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

namespace {

// Failed with the headline and a line holding `text`; no library path form or probe in it.
void ExpectReport(const Result& r, const std::string& headline, const std::string& text) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("vmpeek: " + headline + "\n  ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
  for (const char* form : {"\\??\\", "Z:\\", ".V01", "Looking for"}) EXPECT_EQ(r.err.find(form), std::string::npos) << r.err;
}

}  // namespace

TEST(CliMessages, UnsupportedFormatsSayWhich) {
  TempDir dir;
  SfdiskDisk(dir.file("disk.raw"), 8 << 20, "start=2048, type=7\n");
  Sh("cd " + Quote(dir.path()) + " && qemu-img convert -q -f raw -O vhdx disk.raw new.vhdx && cp new.vhdx renamed.vhd" +
     " && qemu-img convert -q -f raw -O vmdk -o subformat=streamOptimized disk.raw stream.vmdk" +
     " && cp stream.vmdk moved.vmdk && qemu-img convert -q -f raw -O vmdk disk.raw packed.vmdk");
  // A hosted sparse extent with only its compressed-grains flag (bit 16) set.
  PokeBytes(dir.file("packed.vmdk"), 10, {0x01});
  const std::string invalid = ": STATUS_INVALID_IMAGE_FORMAT (0xc000007b)", stream = "stream-optimized VMDK";
  // file, headline after the file name, the library's line.
  const std::string rows[][3] = {
      {"new.vhdx", "VHDX is not supported yet: STATUS_UNSUCCESSFUL (0xc0000001)", "OpenVirtualDisk : VHDX"},
      {"renamed.vhd", "VHDX is not supported yet" + invalid, "VHDVirtualDisk::Open VHDX"},
      // As written, and under another name than its extent line gives.
      {"stream.vmdk", stream + " is not supported yet" + invalid, "ProcessDescriptorFile " + stream},
      {"moved.vmdk", stream + " is not supported yet" + invalid, "ProcessDescriptorFile " + stream},
      {"packed.vmdk", "compressed grains are not supported yet" + invalid, "packed.vmdk has compressed grains"},
  };
  for (const auto& [file, headline, line] : rows) ExpectReport(Vmpeek("info " + file, "", dir.path()), file + ": " + headline, line);
}

TEST(CliMessages, MissingParentLeadsAndPathsAreTheUsers) {
  TempDir dir;
  Sh("mkdir " + Quote(dir.file("My VMs")));
  const std::string base = dir.file("My VMs/Base.vhd"), mid = dir.file("My VMs/Mid.vhd"), top = dir.file("My VMs/Top.vhd");
  for (const std::string& image : {base, mid, top})
    Sh("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(image) + " 8M");
  VhdLibChild(base, mid, "");
  VhdLibChild(mid, top, "");
  Sh("mv " + Quote(base) + " " + Quote(dir.file("elsewhere.vhd")));

  // Typed relative to the current folder, and absolute: the report keeps the user's form.
  for (const std::string& folder : {std::string("My VMs/"), dir.file("My VMs/")}) {
    SCOPED_TRACE(folder);
    ExpectReport(Vmpeek("info " + Quote(folder + "Mid.vhd"), "", dir.path()),
                 folder + "Mid.vhd: parent not found: tried " + folder + "Base.vhd: STATUS_INVALID_OWNER (0xc000005a)",
                 "\n  VHDVirtualDisk::FindParent trying parent " + folder + "Base.vhd.\n");
  }
  // The parent is there but its own parent is not: the missing grandparent is the cause.
  ExpectReport(Vmpeek("partitions " + Quote(top)), top + ": parent not found: tried " + base + ": STATUS_INVALID_OWNER (0xc000005a)",
               "\n  VHDVirtualDisk::Open failed to get parent of difference disk c000005a.\n");
}

TEST(CliMessages, RoutineProbesAreNotShownAndPartialMachinesSaySo) {
  TempDir dir;
  // A fixed VHD without its footer cookie: the explanation is the footer, not the .V01 probe.
  Sh("qemu-img create -q -f vpc -o subformat=fixed " + Quote(dir.file("disk.vhd")) + " 4M");
  PokeBytes(dir.file("disk.vhd"), FileSize(dir.file("disk.vhd")) - 512, {'X'});
  ExpectReport(Vmpeek("info disk.vhd", "", dir.path()), "disk.vhd: STATUS_INVALID_IMAGE_FORMAT (0xc000007b)",
               "\n  VHDVirtualDisk::Open no conectix signature in footer.\nvmpeek: run with");

  // One of three disks does not open: the report has all three, stderr one line.
  Sh("cp " + Quote(Samples() + "/vmware/sample-base.vmdk") + " " + Quote(Samples() + "/microsoft/sample.vhd") + " " +
     Quote(dir.path()));
  WriteText(dir.file("machine.vmx"), "guestOS = \"windows9-64\"\nsata0:0.fileName = \"sample-base.vmdk\"\n"
                                     "sata0:1.fileName = \"disk.vhd\"\nnvme0:0.fileName = \"sample.vhd\"\n");
  Result r;
  for (const char* json : {"", " --json"}) {
    r = Vmpeek(std::string("info machine.vmx") + json, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vmpeek: machine.vmx: 1 of 3 disks could not be opened\n");
    EXPECT_NE(r.out.find("no conectix signature in footer."), std::string::npos) << r.out;
  }
  nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["guest_os"]["name"], "Windows 10 x64");
  EXPECT_TRUE(j["disks"][0].contains("image") && j["disks"][1].contains("error") && j["disks"][2].contains("image"));
}
