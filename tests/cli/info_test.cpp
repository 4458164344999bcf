// vmpeek info on raw images, VHD and VMDK disks and machine configurations.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;
using nlohmann::json;

TEST(CliInfo, RawImageIsOneWholePartition) {
  TempDir dir;
  const std::string img = dir.file("floppy.img");
  Sh("mkfs.fat -C " + Quote(img) + " 1440 >/dev/null");
  ExpectJsonHas(VmpeekJson("info " + Quote(img)),
                {{"format", "raw"}, {"bytes_per_sector", 2048}, {"sectors", 720}, {"cylinders", 1}, {"heads", 1},
                 {"sectors_per_track", 720}, {"media_type", 11}, {"read_only", true}, {"saved_state", false},
                 {"parent", nullptr}, {"scheme", "none"},
                 {"partitions", json::array({{{"index", 0}, {"type", 2}, {"first_sector", 0}, {"sectors", 720},
                                              {"unique_id", std::string(32, '0')}}})}});
  EXPECT_NE(Vmpeek("info " + Quote(img)).out.find("whole image"), std::string::npos);
}

TEST(CliInfo, VmdkAndVhdDisks) {
  const std::string s = Samples();
  // Its rows are those vmpeek partitions lists (checked there): one per primary partition.
  const json child = VmpeekJson("info " + Quote(s + "/vmware/sample.vmdk"));
  ExpectJsonHas(child, {{"format", "vmdk"}, {"sectors", 131072}, {"media_type", 12}, {"read_only", true},
                        {"parent", s + "/vmware/sample-base.vmdk"}, {"scheme", "mbr"}});
  EXPECT_EQ(child["partitions"].size(), 3u);
  // The VHD's size is qemu-img's virtual size (its geometry rounds 64 MiB up).
  ExpectJsonHas(VmpeekJson("info " + Quote(s + "/microsoft/sample.vhd")),
                {{"format", "vhd"}, {"sectors", 131104}, {"parent", nullptr}, {"saved_state", false},
                 {"partitions", child["partitions"]}});
}

TEST(CliInfo, Configurations) {
  const std::string s = Samples();
  const json xp = {{"code", 7}, {"name", "Windows XP"}};
  ExpectJsonHas(VmpeekJson("info " + Quote(s + "/vmware/sample.vmx")),
                {{"guest_os", xp}, {"suspended", false},  // the CD-ROM is not a disk
                 {"disks", json::array({{{"name", "sample.vmdk"}, {"path", s + "/vmware/sample.vmdk"},
                                         {"image", VmpeekJson("info " + Quote(s + "/vmware/sample.vmdk"))}}})}});
  ExpectJsonHas(VmpeekJson("info " + Quote(s + "/microsoft/sample.vmc")),
                {{"guest_os", xp},
                 {"disks", json::array({{{"path", s + "/microsoft/sample.vhd"}, {"image", {{"format", "vhd"}}}}})}});

  // Relative names resolve against the configuration's folder; disks that do not open (missing,
  // damaged) are reported in place with their cause and fail the run with one line on standard
  // error; a saved-state file name means suspended.
  TempDir dir;
  const std::string machine = Quote(dir.file("machine.vmx")), bad = dir.file("bad.vhd");
  Sh("mkdir " + Quote(dir.file("vmware")) + " && cp " + Quote(s + "/vmware/sample-base.vmdk") + " " +
     Quote(dir.file("vmware")) + " && cp " + Quote(s + "/microsoft/sample.vhd") + " " + Quote(dir.path()));
  Sh("qemu-img create -q -f vpc -o subformat=fixed " + Quote(bad) + " 4M");
  PokeBytes(bad, FileSize(bad) - 512, {'X'});
  WriteText(dir.file("machine.vmx"), "guestOS = \"winNetStandard\"\nide0:0.fileName = \"vmware/sample-base.vmdk\"\n"
                                     "scsi0:0.fileName = \"gone.vmdk\"\nsata0:1.fileName = \"bad.vhd\"\n"
                                     "nvme0:0.fileName = \"sample.vhd\"\ncheckpoint.vmState = \"machine.vmss\"\n");
  for (auto [options, own] : {std::pair{"", "Windows Server 2003 (9)"}, {" --json", "\"suspended\": true"}}) {
    const Result r = Vmpeek("info " + machine + options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vmpeek: " + dir.file("machine.vmx") + ": 2 of 4 disks could not be opened\n");
    for (const char* fact : {own, "STATUS_OBJECT_NAME_NOT_FOUND", "0xc0000034", "no conectix signature in footer."})
      EXPECT_NE(r.out.find(fact), std::string::npos) << fact << "\n" << r.out;
  }
  const json j = json::parse(Vmpeek("info --json " + machine).out);
  ExpectJsonHas(j, {{"guest_os", {{"code", 9}, {"name", "Windows Server 2003"}}},
                    {"disks", json::array({{{"path", dir.file("vmware/sample-base.vmdk")}, {"image", {{"parent", nullptr}}}},
                                           {{"path", dir.file("gone.vmdk")},
                                            {"error", {{"status", "STATUS_OBJECT_NAME_NOT_FOUND"}, {"code", "0xc0000034"}}}},
                                           {{"path", bad}, {"error", {{"status", "STATUS_INVALID_IMAGE_FORMAT"}}}},
                                           {{"image", {{"format", "vhd"}}}}})}});
  EXPECT_FALSE(j["disks"][1].contains("image"));
}
