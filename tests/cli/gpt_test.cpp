// vmpeek partitions and info on a GPT disk made by sgdisk: type names, type GUIDs and entry names
// come through the plug-in's inspection interface.
#include <gtest/gtest.h>

#include "cli_util.h"

using namespace clitest;

TEST(CliPartitions, GptTypesAndNames) {
  TempDir dir;
  const std::string raw = dir.file("disk.raw"), vmdk = dir.file("disk.vmdk");
  Sh("truncate -s 64M " + Quote(raw) + " && sgdisk -n 1:2048:+1M -t 1:ef00 -c 1:'EFI system partition' "
     "-n 2:0:+16M -t 2:0c01 -n 3:0:+20M -t 3:0700 -c 3:'Données' -n 4:0:0 -t 4:2700 " + Quote(raw) + " >/dev/null");
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(raw) + " " + Quote(vmdk));

  const nlohmann::json rows = VmpeekJson("partitions " + Quote(vmdk));
  // The host leaves the scheme out only when the plug-in lacks the interface.
  if (!rows.contains("scheme")) GTEST_SKIP() << "the plug-in offers no VmPeek_Disk_Inspect_1 interface";
  EXPECT_EQ(rows["scheme"], "gpt");
  ASSERT_EQ(rows["partitions"].size(), 4u);
  const nlohmann::json& efi = rows["partitions"][0];
  EXPECT_EQ(efi["type_name"], "EFI system");
  EXPECT_EQ(efi["type_guid"], "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(efi["name"], "EFI system partition");
  EXPECT_EQ(rows["partitions"][3]["type_name"], "Windows recovery");
  const nlohmann::json info = VmpeekJson("info " + Quote(vmdk));
  EXPECT_EQ(info["scheme"], "gpt");
  EXPECT_EQ(info["partitions"][2]["name"], "Données");

  const Result text = Vmpeek("info " + Quote(vmdk));
  EXPECT_NE(text.out.find("partitions:    4 (gpt)"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Microsoft basic data         36864"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("  Données\n"), std::string::npos) << text.out;
}
