// vmpeek partitions and vmpeek chain: rows, type names and GPT names of disks made by sfdisk and
// sgdisk, in the table and in JSON; a VMDK child's chain with the descriptors' content ids.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;
using nlohmann::json;

TEST(CliPartitions, RowsTypeNamesAndText) {
  TempDir dir;
  struct Case {
    const char* maker;  // a command ending with the raw disk's name
    const char* scheme;
    json rows;                      // what --json lists, for the keys given
    std::vector<std::string> text;  // in the tables of partitions and info
  } cases[] = {
      {"printf 'label: dos\\nlabel-id: 0x01020304\\nstart=2048,size=8192,type=7\\nstart=10240,size=8192,type=c\\n"
       "start=18432,type=5\\nstart=20480,size=4096,type=83\\nstart=26624,size=4096,type=82\\n' | sfdisk -q ",
       "mbr",
       json::array({{{"index", 0}, {"type", 7}, {"first_sector", 2048}, {"sectors", 8192}, {"size", 8192 * 512},
                     {"unique_id", "04030201000010000000000000000000"}},
                    {{"index", 1}, {"type", 0x0c}, {"first_sector", 10240}, {"sectors", 8192}},
                    {{"index", 2}, {"type", 0x83}, {"first_sector", 20480}, {"sectors", 4096}},
                    {{"index", 3}, {"type", 0x82}, {"first_sector", 26624}, {"size", 4096 * 512}, {"type_name", "Linux swap"}}}),
       {"0x07 NTFS/exFAT", "0x0c FAT32", "0x83 Linux", "0x82 Linux swap", "4.00 MiB", "04030201000010000000000000000000"}},
      {"sgdisk -n 1:2048:+1M -t 1:ef00 -c 1:'EFI system partition' -n 2:0:+16M -t 2:0c01 -n 3:0:+20M -t 3:0700 "
       "-c 3:'Données' -n 4:0:0 -t 4:2700 >/dev/null ",
       "gpt",
       json::array({{{"type_name", "EFI system"}, {"type_guid", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"},
                     {"name", "EFI system partition"}},
                    json::object(), {{"first_sector", 36864}, {"name", "Données"}}, {{"type_name", "Windows recovery"}}}),
       {"Microsoft basic data         36864", "  Données\n"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    const std::string raw = dir.file(std::string(c.scheme) + ".raw"), vmdk = Quote(raw + ".vmdk");
    Sh("truncate -s 64M " + Quote(raw) + " && " + c.maker + Quote(raw));
    Sh("qemu-img convert -q -f raw -O vmdk " + Quote(raw) + " " + vmdk);
    ExpectJsonHas(VmpeekJson("partitions " + vmdk), {{"bytes_per_sector", 512}, {"scheme", c.scheme}, {"partitions", c.rows}});
    std::string text;
    for (const char* command : {"partitions ", "info "}) {
      const Result r = Vmpeek(command + vmdk);
      EXPECT_EQ(r.status, 0) << r.err;
      text += r.out;
    }
    for (const std::string& t : c.text) EXPECT_NE(text.find(t), std::string::npos) << t << "\n" << text;
    EXPECT_NE(text.find("partitions:    4 (" + std::string(c.scheme) + ")"), std::string::npos) << text;
  }
}

TEST(CliChain, VmdkChildOverParent) {
  const std::string child = Samples() + "/vmware/sample.vmdk", base = Samples() + "/vmware/sample-base.vmdk";
  ExpectJsonHas(VmpeekJson("chain " + Quote(child)),
                {{"chain", json::array({{{"path", child}, {"format", "vmdk"}, {"size", 64 << 20},
                                         {"content_id", VmdkDescriptorId(child)}},
                                        {{"path", base}, {"content_id", VmdkDescriptorId(base)}}})}});
  const Result text = Vmpeek("chain " + Quote(child));
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("1      vmdk      64.0 MiB  " + VmdkDescriptorId(base)), std::string::npos) << text.out;
}
