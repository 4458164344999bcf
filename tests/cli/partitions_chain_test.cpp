// vmpeek partitions and vmpeek chain on disks made by sfdisk, qemu-img and vhd-lib.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

TEST(CliPartitions, TypeNamesAndRowsAgreeWithSfdisk) {
  TempDir dir;
  std::string raw = dir.file("disk.raw"), vmdk = dir.file("disk.vmdk");
  Sh("truncate -s 64M " + Quote(raw));
  Sh("printf 'label: dos\\nlabel-id: 0x01020304\\nstart=2048,size=8192,type=7\\nstart=10240,size=8192,type=c\\n"
     "start=18432,type=5\\nstart=20480,size=4096,type=83\\nstart=26624,size=4096,type=82\\n' | sfdisk -q " + Quote(raw));
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(raw) + " " + Quote(vmdk));

  Result text = Vmpeek("partitions " + Quote(vmdk));
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* name : {"0x07 NTFS/exFAT", "0x0c FAT32", "0x83 Linux", "0x82 Linux swap", "4.00 MiB",
                           "04030201000010000000000000000000"})
    EXPECT_NE(text.out.find(name), std::string::npos) << name << "\n" << text.out;

  nlohmann::json ours = VmpeekJson("partitions " + Quote(vmdk));
  nlohmann::json sf = nlohmann::json::parse(Sh("sfdisk --json " + Quote(raw)))["partitiontable"]["partitions"];
  std::vector<nlohmann::json> rows;
  for (auto& p : sf)
    if (p["type"] != "5") rows.push_back(p);
  ASSERT_EQ(ours["partitions"].size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const nlohmann::json& p = ours["partitions"][i];
    EXPECT_EQ(p["index"], i);
    EXPECT_EQ(p["first_sector"], rows[i]["start"]);
    EXPECT_EQ(p["sectors"], rows[i]["size"]);
    EXPECT_EQ(p["size"], rows[i]["size"].get<uint64_t>() * 512);
    EXPECT_EQ(p["type"], std::stoi(rows[i]["type"].get<std::string>(), nullptr, 16));
  }
  EXPECT_EQ(ours["partitions"][3]["type_name"], "Linux swap");
}

TEST(CliChain, VmdkChildOverParent) {
  const std::string s = Samples();
  // The descriptor's CID value as 8 hex digits (qemu-img writes it without leading zeros).
  auto cid = [](const std::string& file) {
    std::string line = Sh("grep -a -m1 '^CID=' " + Quote(file));
    char text[16];
    snprintf(text, sizeof text, "%08lx", std::stoul(line.substr(4), nullptr, 16));
    return std::string(text);
  };
  nlohmann::json j = VmpeekJson("chain " + Quote(s + "/vmware/sample.vmdk"));
  ASSERT_EQ(j["chain"].size(), 2u);
  EXPECT_EQ(j["chain"][0], (nlohmann::json{{"path", s + "/vmware/sample.vmdk"}, {"format", "vmdk"},
                                           {"size", 64 << 20}, {"content_id", cid(s + "/vmware/sample.vmdk")}}));
  EXPECT_EQ(j["chain"][1]["path"], s + "/vmware/sample-base.vmdk");
  EXPECT_EQ(j["chain"][1]["content_id"], cid(s + "/vmware/sample-base.vmdk"));
  Result text = Vmpeek("chain " + Quote(s + "/vmware/sample.vmdk"));
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("1      vmdk      64.0 MiB  " + cid(s + "/vmware/sample-base.vmdk")), std::string::npos)
      << text.out;
}

TEST(CliChain, VhdChildMadeByVhdLib) {
  // vhd-lib, an independent VHD writer, turns a qemu-made dynamic VHD into a differencing child.
  TempDir dir;
  std::string parent = dir.file("base.vhd"), child = dir.file("child.vhd");
  Sh("cp " + Quote(Samples() + "/microsoft/sample.vhd") + " " + Quote(parent));
  Sh("qemu-img create -q -f vpc -o subformat=dynamic " + Quote(child) + " 64M");
  VhdLibChild(parent, child, "4096:8:165");
  auto footerId = [](const std::string& file) {
    return Hex(ReadBytes(file, FileSize(file) - 512 + 68, 16).data(), 16);
  };
  nlohmann::json j = VmpeekJson("chain " + Quote(child));
  ASSERT_EQ(j["chain"].size(), 2u);
  EXPECT_EQ(j["chain"][0]["format"], "vhd");
  EXPECT_EQ(j["chain"][0]["content_id"], footerId(child));
  EXPECT_EQ(j["chain"][1]["path"], parent);
  EXPECT_EQ(j["chain"][1]["content_id"], footerId(parent));
  EXPECT_EQ(VmpeekJson("info " + Quote(child))["parent"], parent);
  // The child reads through its parent exactly as the data were written.
  Sh(Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek") + " read " + Quote(child) + " --first 4095 --count 10 -o " +
     Quote(dir.file("out")));
  std::vector<uint8_t> out = ReadAll(dir.file("out")), base = QemuRaw(parent);
  ASSERT_EQ(out.size(), 5120u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 512, base.begin() + 4095 * 512));
  EXPECT_EQ(std::count(out.begin() + 512, out.begin() + 9 * 512, 165), 8 * 512);
  EXPECT_TRUE(std::equal(out.begin() + 9 * 512, out.end(), base.begin() + 4104 * 512));
}
