// Failure messages lead with the file and their cause, the status by name and hex, and explain it
// with the library's line in the user's paths: damaged and missing images and configurations,
// formats vmpeek does not read, a missing differencing parent, the probes every open makes (never
// shown); usage errors exit with 2.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

namespace {

// Failed with the headline, a line holding `text` and the hint to --trace; no library path form
// or probe in it.
void ExpectReport(const Result& r, const std::string& headline, const std::string& text) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("vmpeek: " + headline + "\n  ", 0), 0u) << r.err;
  for (const std::string& line : {text, std::string("\nvmpeek: run with --trace")})
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
  for (const char* form : {"\\??\\", "Z:\\", ".V01", "Looking for"}) EXPECT_EQ(r.err.find(form), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

}  // namespace

TEST(CliMessages, FailuresNameTheFileTheStatusAndTheCause) {
  TempDir dir;
  SfdiskDisk(dir.file("disk.raw"), 8 << 20, "start=2048, type=7\n");
  Sh("cd " + Quote(dir.path()) + " && qemu-img convert -q -f raw -O vhdx disk.raw new.vhdx && cp new.vhdx renamed.vhd" +
     " && qemu-img convert -q -f raw -O vmdk -o subformat=streamOptimized disk.raw stream.vmdk" +
     " && cp stream.vmdk moved.vmdk && qemu-img convert -q -f raw -O vmdk disk.raw packed.vmdk" +
     " && qemu-img create -q -f vpc -o subformat=fixed disk.vhd 4M");
  // A hosted sparse extent with only its compressed-grains flag (bit 16) set, one with a grain size
  // of 0, a fixed VHD without its footer cookie, a configuration of the wrong kind.
  PokeBytes(dir.file("packed.vmdk"), 10, {0x01});
  PokeBytes(CopyFile(Samples() + "/vmware/sample-base.vmdk", dir.file("zero.vmdk")), 20, std::vector<uint8_t>(8, 0));
  PokeBytes(dir.file("disk.vhd"), FileSize(dir.file("disk.vhd")) - 512, {'X'});
  WriteText(dir.file("wrong.vmc"), "<?xml version=\"1.0\"?><config/>");
  const std::string invalid = "STATUS_INVALID_IMAGE_FORMAT (0xc000007b)", stream = "stream-optimized VMDK";
  const std::string rows[][3] = {  // command and file, headline after the file name, the library's line
      {"info missing.vhd", "STATUS_OBJECT_NAME_NOT_FOUND (0xc0000034)", "VHDVirtualDisk::Open m_Files.Open failed c0000034."},
      {"read disk.raw", "STATUS_UNSUCCESSFUL (0xc0000001)", "OpenVirtualDisk : unrecognised extension"},
      {"chain zero.vmdk", invalid, "grain size of 0 sectors is out of range"},
      // The explanation is the footer, not the .V01 probe.
      {"partitions disk.vhd", invalid, "\n  VHDVirtualDisk::Open no conectix signature in footer.\nvmpeek: run with"},
      {"info none.vmx", "ERROR_FILE_NOT_FOUND (0x2)", "CVMWareVirtualMachine::Open : failed to open file"},
      {"info wrong.vmc", "E_FAIL (0x80004005)", "didn't get preferences. It got config"},
      {"info new.vhdx", "VHDX is not supported yet: STATUS_UNSUCCESSFUL (0xc0000001)", "OpenVirtualDisk : VHDX"},
      {"info renamed.vhd", "VHDX is not supported yet: " + invalid, "VHDVirtualDisk::Open VHDX"},
      // As written, and under another name than its extent line gives.
      {"info stream.vmdk", stream + " is not supported yet: " + invalid, "ProcessDescriptorFile " + stream},
      {"info moved.vmdk", stream + " is not supported yet: " + invalid, "ProcessDescriptorFile " + stream},
      {"info packed.vmdk", "compressed grains are not supported yet: " + invalid, "packed.vmdk has compressed grains"},
  };
  for (const auto& [command, headline, line] : rows)
    ExpectReport(Vmpeek(command, "", dir.path()), command.substr(command.find(' ') + 1) + ": " + headline, line);
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

TEST(CliMessages, UsageErrorsExitTwo) {
  const std::string vhd = Quote(Samples() + "/microsoft/sample.vhd");
  for (const std::string& args : std::vector<std::string>{"", "--no-such-option", "info", "frobnicate " + vhd,
                                 "info " + vhd + " --bogus", "write " + vhd, "read " + vhd + " --partition x",
                                 "read " + vhd + " --first -1"})
    EXPECT_EQ(Vmpeek(args).status, 2) << args;
  Result bare = Vmpeek("");
  EXPECT_NE((bare.out + bare.err).find("--version"), std::string::npos) << bare.err;
  for (auto [args, option] : {std::pair{"write --help", "--force"}, {"--help", "--trace"}}) {
    Result help = Vmpeek(args);
    EXPECT_EQ(help.status, 0) << args;
    EXPECT_NE(help.out.find(option), std::string::npos) << args;
  }
}
