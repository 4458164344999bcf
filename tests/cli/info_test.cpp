// vmpeek info on raw images, VHD and VMDK disks and machine configurations.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

TEST(CliInfo, RawIsoAndImg) {
  TempDir dir;
  Sh("mkdir " + Quote(dir.file("tree")) + " && head -c 300000 /dev/urandom > " + Quote(dir.file("tree/data.bin")));
  Sh("xorriso -as mkisofs -quiet -o " + Quote(dir.file("disc.iso")) + " " + Quote(dir.file("tree")) + " 2>/dev/null");
  Sh("mkfs.fat -C " + Quote(dir.file("floppy.img")) + " 1440 >/dev/null");
  for (const char* name : {"disc.iso", "floppy.img"}) {
    uint64_t sectors = ReadAll(dir.file(name)).size() / 2048;
    nlohmann::json j = VmpeekJson("info " + Quote(dir.file(name)));
    EXPECT_EQ(j["format"], "raw");
    EXPECT_EQ(j["bytes_per_sector"], 2048);
    EXPECT_EQ(j["sectors"], sectors);
    EXPECT_EQ(j["cylinders"], 1);
    EXPECT_EQ(j["heads"], 1);
    EXPECT_EQ(j["sectors_per_track"], sectors);
    EXPECT_EQ(j["media_type"], 11);
    EXPECT_EQ(j["read_only"], true);
    EXPECT_EQ(j["saved_state"], false);
    EXPECT_TRUE(j["parent"].is_null());
    ASSERT_EQ(j["partitions"].size(), 1u);
    EXPECT_EQ(j["partitions"][0], (nlohmann::json{{"index", 0}, {"type", 2}, {"first_sector", 0},
                                                  {"sectors", sectors}, {"unique_id", std::string(32, '0')}}));
  }
  EXPECT_NE(Vmpeek("info " + Quote(dir.file("floppy.img"))).out.find("whole image"), std::string::npos);
}

TEST(CliInfo, VmdkAndVhdDisks) {
  const std::string s = Samples();
  nlohmann::json child = VmpeekJson("info " + Quote(s + "/vmware/sample.vmdk"));
  EXPECT_EQ(child["format"], "vmdk");
  EXPECT_EQ(child["sectors"], 131072);
  EXPECT_EQ(child["media_type"], 12);
  EXPECT_EQ(child["parent"], s + "/vmware/sample-base.vmdk");
  // The rows agree with what sfdisk reads from the same disk.
  std::string raw = s + "/sample.raw";
  vmtest::WriteAll(raw, QemuRaw(s + "/vmware/sample.vmdk"));
  nlohmann::json sf = nlohmann::json::parse(Sh("sfdisk --json " + Quote(raw)))["partitiontable"]["partitions"];
  std::vector<nlohmann::json> primaries;
  for (auto& p : sf)
    if (p["type"] != "5") primaries.push_back(p);
  ASSERT_EQ(child["partitions"].size(), primaries.size());
  for (size_t i = 0; i < primaries.size(); ++i) {
    EXPECT_EQ(child["partitions"][i]["first_sector"], primaries[i]["start"]);
    EXPECT_EQ(child["partitions"][i]["sectors"], primaries[i]["size"]);
    EXPECT_EQ(child["partitions"][i]["type"], 6);
  }
  // Disk signature 0x5eed1e55 as stored, then the byte offset little-endian.
  EXPECT_EQ(child["partitions"][0]["unique_id"], "551eed5e000010000000000000000000");

  nlohmann::json vhd = VmpeekJson("info " + Quote(s + "/microsoft/sample.vhd"));
  nlohmann::json qemu = nlohmann::json::parse(Sh("qemu-img info --output=json " + Quote(s + "/microsoft/sample.vhd")));
  EXPECT_EQ(vhd["format"], "vhd");
  EXPECT_EQ(vhd["sectors"].get<uint64_t>() * 512, qemu["virtual-size"].get<uint64_t>());
  EXPECT_TRUE(vhd["parent"].is_null());
  EXPECT_EQ(vhd["saved_state"], false);
  EXPECT_EQ(vhd["partitions"], child["partitions"]);
}

TEST(CliInfo, Configurations) {
  const std::string s = Samples();
  nlohmann::json vmx = VmpeekJson("info " + Quote(s + "/vmware/sample.vmx"));
  EXPECT_EQ(vmx["guest_os"], (nlohmann::json{{"code", 7}, {"name", "Windows XP"}}));
  EXPECT_EQ(vmx["suspended"], false);
  ASSERT_EQ(vmx["disks"].size(), 1u);  // the CD-ROM is not a disk
  EXPECT_EQ(vmx["disks"][0]["name"], "sample.vmdk");
  EXPECT_EQ(vmx["disks"][0]["path"], s + "/vmware/sample.vmdk");
  EXPECT_EQ(vmx["disks"][0]["image"], VmpeekJson("info " + Quote(s + "/vmware/sample.vmdk")));

  nlohmann::json vmc = VmpeekJson("info " + Quote(s + "/microsoft/sample.vmc"));
  EXPECT_EQ(vmc["guest_os"], (nlohmann::json{{"code", 7}, {"name", "Windows XP"}}));
  ASSERT_EQ(vmc["disks"].size(), 1u);
  EXPECT_EQ(vmc["disks"][0]["path"], s + "/microsoft/sample.vhd");
  EXPECT_EQ(vmc["disks"][0]["image"]["format"], "vhd");

  // Relative names resolve against the configuration's folder; a missing disk is reported in
  // place and makes the run fail; a saved-state file name means suspended.
  vmtest::WriteText(s + "/two.vmx",
                    "guestOS = \"winNetStandard\"\nide0:0.fileName = \"vmware/sample-base.vmdk\"\n"
                    "scsi0:0.fileName = \"gone.vmdk\"\ncheckpoint.vmState = \"two.vmss\"\n");
  Result r = Vmpeek("info --json " + Quote(s + "/two.vmx"));
  EXPECT_EQ(r.status, 1);
  nlohmann::json two = nlohmann::json::parse(r.out);
  EXPECT_EQ(two["suspended"], true);
  EXPECT_EQ(two["guest_os"]["code"], 9);
  EXPECT_EQ(two["disks"][0]["path"], s + "/vmware/sample-base.vmdk");
  EXPECT_EQ(two["disks"][0]["image"]["parent"], nullptr);
  EXPECT_EQ(two["disks"][1]["path"], s + "/gone.vmdk");
  EXPECT_FALSE(two["disks"][1].contains("image"));
  EXPECT_EQ(two["disks"][1]["error"]["status"], "STATUS_OBJECT_NAME_NOT_FOUND");
  EXPECT_EQ(two["disks"][1]["error"]["code"], "0xc0000034");
  // The table names the same facts.
  r = Vmpeek("info " + Quote(s + "/two.vmx"));
  EXPECT_NE(r.out.find("Windows Server 2003 (9)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("STATUS_OBJECT_NAME_NOT_FOUND (0xc0000034)"), std::string::npos) << r.out;
}
