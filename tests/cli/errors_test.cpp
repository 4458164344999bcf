// Failures name the file, the status by name and hex and the trace line that explains it.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

namespace {

void ExpectFailure(const Result& r, const std::string& file, const std::string& status, const std::string& trace) {
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("vmpeek: " + file + ": " + status + "\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(trace), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--trace"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

}  // namespace

TEST(CliErrors, ImageAndConfigurationFailures) {
  TempDir dir;
  const std::string missing = dir.file("missing.vhd");
  ExpectFailure(Vmpeek("info " + Quote(missing)), missing, "STATUS_OBJECT_NAME_NOT_FOUND (0xc0000034)",
                "VHDVirtualDisk::Open m_Files.Open failed c0000034.");
  vmtest::WriteText(dir.file("disk.raw"), "");
  ExpectFailure(Vmpeek("read " + Quote(dir.file("disk.raw"))), dir.file("disk.raw"),
                "STATUS_UNSUCCESSFUL (0xc0000001)", "OpenVirtualDisk : unrecognised extension");

  // A VHD footer without its cookie, a sparse VMDK header with a grain size of 0.
  Sh("cp " + Quote(Samples() + "/microsoft/sample.vhd") + " " + Quote(Samples() + "/vmware/sample-base.vmdk") + " " +
     Quote(dir.path()));
  std::vector<uint8_t> vhd = ReadAll(dir.file("sample.vhd"));
  vhd[vhd.size() - 512] = 'X';
  vmtest::WriteAll(dir.file("sample.vhd"), vhd);
  ExpectFailure(Vmpeek("partitions " + Quote(dir.file("sample.vhd"))), dir.file("sample.vhd"),
                "STATUS_INVALID_IMAGE_FORMAT (0xc000007b)", "VHDVirtualDisk::Open no conectix signature in footer.");
  std::vector<uint8_t> vmdk = ReadAll(dir.file("sample-base.vmdk"));
  std::fill(vmdk.begin() + 20, vmdk.begin() + 28, 0);
  vmtest::WriteAll(dir.file("sample-base.vmdk"), vmdk);
  ExpectFailure(Vmpeek("chain " + Quote(dir.file("sample-base.vmdk"))), dir.file("sample-base.vmdk"),
                "STATUS_INVALID_IMAGE_FORMAT (0xc000007b)", "grain size of 0 sectors is out of range");

  ExpectFailure(Vmpeek("info " + Quote(dir.file("none.vmx"))), dir.file("none.vmx"), "ERROR_FILE_NOT_FOUND (0x2)",
                "CVMWareVirtualMachine::Open : failed to open file");
  vmtest::WriteText(dir.file("wrong.vmc"), "<?xml version=\"1.0\"?><config/>");
  ExpectFailure(Vmpeek("info " + Quote(dir.file("wrong.vmc"))), dir.file("wrong.vmc"), "E_FAIL (0x80004005)",
                "didn't get preferences. It got config");
}

TEST(CliErrors, UsageErrorsExitTwo) {
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
