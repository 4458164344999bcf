// Disks without a partition table, chains over them, partitions that run past the disk's end and
// a final flush that fails: what vmpeek info, read, chain and write make of them.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli_util.h"

using namespace clitest;

TEST(CliWholeDisk, BlankDisksAreDescribedAndRead) {
  TempDir dir;
  const std::string base = dir.file("base.vmdk"), child = Quote(dir.file("child.vmdk"));
  Sh("qemu-img create -q -f vmdk " + Quote(base) + " 8M");
  Sh("qemu-img create -q -f vmdk -b " + Quote(base) + " -F vmdk " + child);
  ExpectJsonHas(VmpeekJson("info " + child), {{"partitions", nlohmann::json::array()}, {"scheme", "none"}});
  Result read = Vmpeek("read " + child + " --first 16 --count 8");
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, std::string(8 * 512, '\0'));
  // The chain is the library's: the base, which has no partitions either, is never reopened alone.
  nlohmann::json chain = VmpeekJson("chain " + child);
  ASSERT_EQ(chain["chain"].size(), 2u);
  ExpectJsonHas(chain["chain"][1], {{"path", base}, {"content_id", VmdkDescriptorId(base)}});
}

TEST(CliWholeDisk, PartitionsPastTheDiskEndAreRefusedBeforeAnyByte) {
  TempDir dir;
  // A GPT disk with both headers spoilt lists its protective entry, here covering 2^32-1 sectors;
  // an MBR entry of a truncated image.
  const std::string gpt = dir.file("gpt.raw"), mbr = dir.file("mbr.raw");
  Sh("truncate -s 16M " + Quote(gpt) + " && sgdisk -o -n 1:2048:+4M " + Quote(gpt) + " >/dev/null");
  PokeBytes(gpt, 446 + 12, {0xFF, 0xFF, 0xFF, 0xFF});  // as written for disks past 2 TiB
  PokeBytes(gpt, 512, {'X'});                          // primary header signature
  PokeBytes(gpt, (16 << 20) - 512, {'X'});             // backup header signature
  SfdiskDisk(mbr, 16 << 20, "start=30000, type=83");
  PokeBytes(mbr, 446 + 12, {0x10, 0x27, 0, 0});  // 10000 sectors from 30000, on a disk of 32768
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(gpt) + " " + Quote(dir.file("gpt.vmdk")));
  Sh("qemu-img convert -q -f raw -O vmdk " + Quote(mbr) + " " + Quote(dir.file("mbr.vmdk")));
  WriteAll(dir.file("in.bin"), PatternBytes(4000 * 512, 3));
  const std::string gptRange = "(sectors 1-4294967295, 2.00 TiB)", mbrRange = "(sectors 30000-39999, 4.88 MiB)";
  const std::string out = " -o " + Quote(dir.file("out.bin"));
  const std::string past = " runs past the end of the disk (32768 sectors, 16.0 MiB); nothing was ";
  const std::string cases[][2] = {  // command, what follows "partition 0 " in the report
      {"read " + Quote(dir.file("gpt.vmdk")) + " --partition 0" + out, gptRange + past + "read"},
      {"read " + Quote(dir.file("mbr.vmdk")) + " --partition 0" + out, mbrRange + past + "read"},
      {"write " + Quote(dir.file("mbr.vmdk")) + " --partition 0 --first 0 -i " + Quote(dir.file("in.bin")),
       mbrRange + past + "written"}};
  const std::vector<uint8_t> before = QemuRaw(dir.file("mbr.vmdk"));
  for (const auto& [command, report] : cases) {
    SCOPED_TRACE(command);
    std::filesystem::remove(dir.file("out.bin"));
    ExpectExit(Vmpeek(command), 1, "partition 0 " + report);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bin")));
  }
  EXPECT_TRUE(QemuRaw(dir.file("mbr.vmdk")) == before);
  // A range inside the disk still reads.
  EXPECT_EQ(Vmpeek("read " + Quote(dir.file("gpt.vmdk")) + " --partition 0 --first 0 --count 33").status, 0);
}

TEST(CliWholeDisk, AFailedFinalFlushFailsTheWrite) {
  TempDir dir;
  WriteAll(dir.file("in.bin"), PatternBytes(64 * 512, 5));
  // Under AddressSanitizer the preloaded library comes before its runtime: allow that order.
  const std::string vmpeek = "ASAN_OPTIONS=\"${ASAN_OPTIONS}:verify_asan_link_order=0\" LD_PRELOAD=" +
                             Quote(std::string(VMPEEK_BUILD_DIR) + "/lib/libvmtest_fail_fdatasync.so") + " " +
                             Quote(std::string(VMPEEK_BUILD_DIR) + "/bin/vmpeek");
  for (auto [name, format] : {std::pair{"d.vmdk", "vmdk"}, {"d.vhd", "vpc"}}) {
    SCOPED_TRACE(name);
    const std::string image = Quote(dir.file(name));
    Sh("qemu-img create -q -f " + std::string(format) + " " + image + " 8M");
    std::string out;
    EXPECT_EQ(vmtest::Run(vmpeek + " write " + image + " --first 100 -i " + Quote(dir.file("in.bin")) + " 2>&1 </dev/null", &out), 1)
        << out;
    EXPECT_NE(out.find("the final flush of the image failed"), std::string::npos) << out;
  }
}
